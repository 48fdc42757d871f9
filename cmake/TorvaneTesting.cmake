# torvane_add_qtest(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>])
# One QtTest executable registered with CTest; widget tests run offscreen with their own
# settings folder so they never touch the user's.
function(torvane_add_qtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} Qt6::Test torvane_warnings)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/${name}-config"
    LABELS "unit;${ARG_LABELS}")
endfunction()
