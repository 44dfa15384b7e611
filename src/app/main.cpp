#include "Application.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication qtApp(argc, argv);
    kova::Application app(QDir::current());
    if (const int status = app.start(); status != 0)
        return status;
    const int loopStatus = QApplication::exec();
    return loopStatus != 0 ? loopStatus : app.exitStatus();
}
