# The Linux adapter for real, in network namespaces the test creates (root).
torvane_add_qtest(test_adapter_e2e
  SOURCES adapter/main.cpp adapter/testadaptere2e.cpp adapter/testadaptere2e.h
          adapter/adapternetns.cpp adapter/adapternetns.h
          adapter/adapterprobe.cpp adapter/adapterprobe.h
  LIBS client_core
  LABELS e2e)
set_tests_properties(test_adapter_e2e PROPERTIES RUN_SERIAL TRUE TIMEOUT 300)
