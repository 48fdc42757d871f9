# Client switch latency and memory in network namespaces (root): `ninja bench_client_switch`.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  add_custom_target(bench_client_switch
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/client_switch.py
            $<TARGET_FILE:Client> 50
    DEPENDS Client
    USES_TERMINAL
    COMMENT "Client: switch command to report, median over 50 switches; resident memory")
endif()
