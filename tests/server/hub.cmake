torvane_add_qtest(test_connectionhub SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_connectionhub.cpp
  LIBS server_core)
torvane_add_qtest(test_clientlistmodel SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_clientlistmodel.cpp
  LIBS server_core)
