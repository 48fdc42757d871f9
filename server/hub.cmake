# Client connections: the epoll hub and the client list model.
target_sources(server_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/connectionhub.cpp ${CMAKE_CURRENT_LIST_DIR}/connectionhub.h
  ${CMAKE_CURRENT_LIST_DIR}/clientlistmodel.cpp ${CMAKE_CURRENT_LIST_DIR}/clientlistmodel.h
)
