#include "Program.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    const bool outputOpen = kova::reserveStandardStreams();
    if (!kova::windowChosen(argc, argv)) {
        QCoreApplication qtApp(argc, argv);
        return kova::runProgram(false, outputOpen);
    }
    QApplication qtApp(argc, argv);
    return kova::runProgram(true);
}
