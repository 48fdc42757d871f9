# torvane_add_qtest(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>])
# One QtTest executable registered with CTest; widget tests run offscreen with their own
# settings folder so they never touch the user's.
#
# Cross-built for Windows, each test runs under Wine (scripts/wine-test): headless, in a Wine
# prefix of its own copied from a prepared one (the registry is the settings store there), with
# a time limit, its output taken from a file.
function(torvane_add_qtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} Qt6::Test torvane_warnings)
  if(WIN32)
    set(gui OFF)
    foreach(lib IN LISTS ARG_LIBS)
      if(lib MATCHES "_gui$|Widgets|Gui")
        set(gui ON)
      endif()
    endforeach()
    if(gui)
      torvane_windows_static_link(${name} GUI)
    else()
      torvane_windows_static_link(${name})
    endif()
  endif()
  if(WIN32 AND CMAKE_CROSSCOMPILING)
    add_test(NAME ${name}
      COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine-test ${CMAKE_BINARY_DIR}/wine-prefix
              $<TARGET_FILE:${name}>)
    set_tests_properties(${name} PROPERTIES TIMEOUT 300 LABELS "unit;wine;${ARG_LABELS}")
    return()
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/${name}-config"
    LABELS "unit;${ARG_LABELS}")
endfunction()
