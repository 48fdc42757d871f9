# Offscreen tests of the Client's main window, line list and server link.
torvane_add_qtest(test_client_frmain
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/mainwindow/tst_frmain.cpp ${CMAKE_CURRENT_LIST_DIR}/mainwindow/clienttestsupport.h
  LIBS client_core)
torvane_add_qtest(test_client_link
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/mainwindow/tst_clientlink.cpp ${CMAKE_CURRENT_LIST_DIR}/mainwindow/clienttestsupport.h
  LIBS client_core)
