# The built Client in a network namespace against a server played by a Python script (root).
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME test_client_e2e
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/client/test_client_e2e.py
          $<TARGET_FILE:Client>)
set_tests_properties(test_client_e2e PROPERTIES LABELS "e2e" RUN_SERIAL TRUE TIMEOUT 300)
