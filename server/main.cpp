#include "common/linefilelocation.h"
#include "common/logging.h"
#include "common/translations.h"
#include "server/frmain.h"
#include "server/linetablecontroller.h"
#include "server/servercontroller.h"

#include <QApplication>

using namespace torvane;
using namespace torvane::server;

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    InstallMessageFormat();
    InstallQtTranslation();
    // The window over the two controllers; MainConfig.dat lives beside the program, or where its
    // installation put it.
    const QString lineFile =
        InstalledLineFilePath(QCoreApplication::applicationDirPath(), QStringLiteral("Server"));
    ServerController server(lineFile);
    LineTableController lines(lineFile, server.hub());
    FrMain window(&server, &lines);
    // A second copy has told the user and ends here; the first keeps running untouched.
    if (!window.start())
        return 0;
    // A hidden window closed from the tray menu is no "last window closed": quit explicitly.
    QObject::connect(&window, &FrMain::closed, &app, &QApplication::quit);
    return app.exec();
}
