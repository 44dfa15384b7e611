// Appends lines of 40 characters through the log with the window's view attached, one event-loop turn
// between two lines, and reports the time per thousand appends at the start and at the end: the cost of a
// line must not grow with the log.
#include "log/LogText.h"
#include "ui/LogView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int lines = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 30000;
    QTemporaryDir dir;
    kova::LogText log{QDir(dir.path())};
    kova::LogView window(log);
    window.show();

    const QString message(40, u'あ');
    QList<qint64> blockNs;
    QElapsedTimer timer;
    timer.start();
    for (int i = 1; i <= lines; ++i) {
        log.AppendLog(message);
        // As in the program, the event loop runs between two lines.
        QCoreApplication::processEvents();
        if (i % 1000 == 0) {
            blockNs.append(timer.nsecsElapsed());
            timer.restart();
        }
    }
    QTextStream out(stdout);
    out << "log appends: " << lines << " lines of 40 characters, view attached\n";
    // The median of the first five and of the last five blocks of a thousand, so that one hiccup of a shared
    // machine does not decide.
    auto medianOf = [](QList<qint64> blocks) {
        std::sort(blocks.begin(), blocks.end());
        return blocks.at(blocks.size() / 2);
    };
    if (blockNs.size() >= 10) {
        out << "first 1000: " << medianOf(blockNs.first(5)) / 1000 << " ns per line\n";
        out << "last 1000:  " << medianOf(blockNs.last(5)) / 1000 << " ns per line\n";
    }
    out << "log files written: " << QDir(dir.path()).entryList({QStringLiteral("*.log")}).size() << "\n";
    return 0;
}
