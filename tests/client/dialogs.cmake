# Widget tests of the Client's dialogs, driven offscreen by object name.
torvane_add_qtest(tst_fradd
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/dialogs/tst_fradd.cpp
          ${CMAKE_CURRENT_LIST_DIR}/dialogs/fakeclientcontext.h
          ${CMAKE_CURRENT_LIST_DIR}/dialogs/messagerecorder.h ${CMAKE_CURRENT_LIST_DIR}/dialogs/dialogdriver.h
  LIBS client_core)
torvane_add_qtest(tst_frpwd
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/dialogs/tst_frpwd.cpp
          ${CMAKE_CURRENT_LIST_DIR}/dialogs/fakeclientcontext.h
          ${CMAKE_CURRENT_LIST_DIR}/dialogs/messagerecorder.h ${CMAKE_CURRENT_LIST_DIR}/dialogs/dialogdriver.h
  LIBS client_core)
