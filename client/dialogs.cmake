# The Client's dialogs: line editor with the connection settings, password lock, autostart entry.
target_sources(client_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/autostart.cpp ${CMAKE_CURRENT_LIST_DIR}/autostart.h
  ${CMAKE_CURRENT_LIST_DIR}/dialogkit.cpp ${CMAKE_CURRENT_LIST_DIR}/dialogkit.h
  ${CMAKE_CURRENT_LIST_DIR}/fradd.cpp ${CMAKE_CURRENT_LIST_DIR}/fradd.h
  ${CMAKE_CURRENT_LIST_DIR}/frpwd.cpp ${CMAKE_CURRENT_LIST_DIR}/frpwd.h
)
