#include "frmain.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    // The window lives hidden in the notification area; only its close ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    FrMain window;
    if (!window.start())
        return 0;
    QObject::connect(&window, &FrMain::closed, &app, &QApplication::quit);
    return app.exec();
}
