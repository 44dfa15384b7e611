#include "OperatorCommands.h"
#include "Program.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    const bool outputOpen = kova::reserveStandardStreams();
    if (const auto request = kova::OperatorCommands::requestFor(argc, argv)) {
        QCoreApplication qtApp(argc, argv);
        return kova::OperatorCommands::run(*request);
    }
    if (!kova::windowChosen(argc, argv)) {
        QCoreApplication qtApp(argc, argv);
        return kova::runProgram(false, outputOpen);
    }
    QApplication qtApp(argc, argv);
    return kova::runProgram(true);
}
