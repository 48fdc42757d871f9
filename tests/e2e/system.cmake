# The whole system in network namespaces: the real Server and Clients on a virtual LAN.

# Shows the Clients' reports as they cross the wire; the demo runs it on the admin host.
add_executable(tv_reportwatch reportwatch.cpp)
target_link_libraries(tv_reportwatch PRIVATE torvane_common torvane_warnings)
