#include "tests/e2e/adapter/adapterprobe.h"
#include "tests/e2e/adapter/test_adapter_e2e.h"

#include <QCoreApplication>
#include <QTest>

#include <cstring>

int main(int argc, char** argv) {
    // The test re-runs itself inside a namespace as the probe.
    if (argc >= 2 && std::strcmp(argv[1], "--probe") == 0)
        return RunAdapterProbe(argc, argv);
    QCoreApplication app(argc, argv);
    TestAdapterE2e test;
    return QTest::qExec(&test, argc, argv);
}
