#include "RunCommand.h"

#include <QProcess>

namespace kova::test {

bool run(const QString& program, const QStringList& arguments, QString* error)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool ok =
        process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!ok && error) {
        *error = QStringLiteral("%1 %2: %3")
                     .arg(program, arguments.join(u' '), QString::fromLocal8Bit(process.readAll()).trimmed());
    }
    return ok;
}

} // namespace kova::test
