#include "client/adapter/adapterfactory.h"
#include "client/clientcontroller.h"
#include "client/frmain.h"
#include "common/linefilelocation.h"
#include "common/logging.h"
#include "common/translations.h"

#include <QApplication>
#include <QDir>
#include <QStyle>
#include <QTextStream>

#include <cstring>

namespace {

// `Client --version`: the program, its version, the adapter backend this machine would use and
// the line file it would read, without a window (works over ssh and in scripts).
int PrintVersion(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    torvane::InstallMessageFormat();
    const auto adapter = torvane::client::CreateNetworkAdapter();
    QTextStream(stdout) << "Torvane Client " << TORVANE_VERSION
                        << ", adapter backend: " << adapter->backendName() << Qt::endl
                        << "line file: "
                        << QDir::toNativeSeparators(torvane::InstalledLineFilePath(
                               QCoreApplication::applicationDirPath(), QStringLiteral("Client")))
                        << Qt::endl;
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return PrintVersion(argc, argv);
    QApplication app(argc, argv);
    torvane::InstallMessageFormat();
    torvane::InstallQtTranslation();
    // One icon for the window, its dialogs and the notification area.
    QApplication::setWindowIcon(QApplication::style()->standardIcon(QStyle::SP_ComputerIcon));
    // The window lives hidden in the notification area; only its close ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    torvane::client::ClientController controller;
    torvane::client::FrMain window(controller);
    if (!window.start())
        return 0;
    QObject::connect(&window, &torvane::client::FrMain::closed, &app, &QApplication::quit);
    return app.exec();
}
