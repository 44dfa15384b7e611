#include "Program.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    if (!kova::windowChosen(argc, argv)) {
        QCoreApplication qtApp(argc, argv);
        return kova::runProgram(false);
    }
    QApplication qtApp(argc, argv);
    return kova::runProgram(true);
}
