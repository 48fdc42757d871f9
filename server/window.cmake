# Main window, line table, its in-place editor and the line menu.
target_sources(server_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/frmain.cpp ${CMAKE_CURRENT_LIST_DIR}/frmain.h
  ${CMAKE_CURRENT_LIST_DIR}/linetablemodel.cpp ${CMAKE_CURRENT_LIST_DIR}/linetablemodel.h
  ${CMAKE_CURRENT_LIST_DIR}/celleditor.cpp ${CMAKE_CURRENT_LIST_DIR}/celleditor.h
  ${CMAKE_CURRENT_LIST_DIR}/linemenu.cpp ${CMAKE_CURRENT_LIST_DIR}/linemenu.h
)
