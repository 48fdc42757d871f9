# The whole system in network namespaces: the real Server and Clients on a virtual LAN.

# Shows the Clients' reports as they cross the wire; the demo runs it on the admin host.
add_executable(tv_reportwatch reportwatch.cpp)
target_link_libraries(tv_reportwatch PRIVATE torvane_common torvane_warnings)

# The Server's window hosted on the admin host, real Clients on two workstations.
torvane_add_qtest(test_system SOURCES test_system.cpp LIBS server_core)
target_compile_definitions(test_system PRIVATE
  TORVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
  TORVANE_CLIENT_BINARY="$<TARGET_FILE:Client>")
add_dependencies(test_system Client)
set_tests_properties(test_system PROPERTIES LABELS "e2e" RUN_SERIAL TRUE TIMEOUT 300)
