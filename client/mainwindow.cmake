# Main window, line list and server link.
target_sources(client_core PRIVATE
  frmain.cpp frmain.h
  frmaincontext.cpp frmaincontext.h
  linelist.cpp linelist.h
  serverlink.cpp serverlink.h
)
