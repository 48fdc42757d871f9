#include "server/frmain.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    torvane::server::FrMain window;
    // A second copy has told the user and ends here; the first keeps running untouched.
    if (!window.start())
        return 0;
    return app.exec();
}
