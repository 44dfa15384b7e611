#include "Application.h"
#include "SignalHandler.h"
#include "SingleInstance.h"
#include "ui/Fonts.h"
#include "ui/MainWindow.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication qtApp(argc, argv);
    const kova::SingleInstance instance;
    if (!instance.acquired())
        return 0;

    kova::registerFontSubstitutions();
    kova::Application app(QDir::current());
    kova::SignalHandler terminationSignals;
    QObject::connect(&terminationSignals, &kova::SignalHandler::terminationRequested, &app.window(), &QWidget::close);
    if (const int status = app.start(); status != 0)
        return status;
    const int loopStatus = QApplication::exec();
    return loopStatus != 0 ? loopStatus : app.exitStatus();
}
