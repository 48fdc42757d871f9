# The Server's line table, line menu and main window (widget tests run offscreen).
torvane_add_qtest(test_server_linetable SOURCES test_linetable.cpp LIBS server_core)
torvane_add_qtest(test_server_window SOURCES test_frmain.cpp LIBS server_core)
