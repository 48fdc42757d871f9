# Adapter layer without privileges: resolver file, masks and adapter policy, the fake.
torvane_add_qtest(test_resolverfile SOURCES adapter/testresolverfile.cpp LIBS client_core)
torvane_add_qtest(test_adapterpolicy SOURCES adapter/testadapterpolicy.cpp LIBS client_core)
torvane_add_qtest(test_fakeadapter SOURCES adapter/testfakeadapter.cpp LIBS client_core)
