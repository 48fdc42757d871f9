# Windows executables: a version resource and icon, no console window, Qt linked in statically.

# torvane_windows_program(<target> <ico file> <description>)
function(torvane_windows_program target icon description)
  set(TV_PROGRAM ${target})
  set(TV_ICON ${icon})
  set(TV_DESCRIPTION ${description})
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/program.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)
  torvane_windows_static_link(${target} GUI)
endfunction()

# torvane_windows_static_link(<target> [GUI])
# Everything in one file: no MinGW runtime DLLs beside the program; with GUI, Qt's Windows
# platform plus the offscreen one (for headless runs and tests) linked in.
function(torvane_windows_static_link target)
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  if("GUI" IN_LIST ARGN AND TARGET Qt6::QOffscreenIntegrationPlugin)
    qt_import_plugins(${target} INCLUDE Qt6::QWindowsIntegrationPlugin
                      Qt6::QOffscreenIntegrationPlugin)
  endif()
endfunction()
