# The built Client in a network namespace against a server played by a Python script (root).
# Without Python the test still exists and fails: it must never vanish silently.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  add_test(NAME test_client_e2e
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/client/test_client_e2e.py
            $<TARGET_FILE:Client>)
else()
  message(WARNING "python3 not found: test_client_e2e will fail")
  add_test(NAME test_client_e2e COMMAND ${CMAKE_COMMAND} -E false)
endif()
set_tests_properties(test_client_e2e PROPERTIES LABELS "e2e" RUN_SERIAL TRUE TIMEOUT 300)
