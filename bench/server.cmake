# Server load: the hub in a child process, a load generator of N loopback clients in the parent.
add_executable(bench_server_load ${CMAKE_CURRENT_LIST_DIR}/server_load.cpp)
target_link_libraries(bench_server_load PRIVATE server_core torvane_warnings)
