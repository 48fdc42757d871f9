#include "client/clientcontroller.h"
#include "client/frmain.h"
#include "common/logging.h"
#include "common/translations.h"

#include <QApplication>
#include <QStyle>

int main(int argc, char* argv[]) {
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
