#include "TimeSlice.h"

#include <QFile>
#include <QRegularExpression>

#include <sys/utsname.h>

#include <utility>

namespace kova::test {

bool kernelKeepsTimeSlices()
{
    utsname system{};
    if (uname(&system) != 0)
        return false;
    const QList<QByteArray> version = QByteArray(system.release).split('.');
    return version.size() >= 2 && std::pair(version[0].toInt(), version[1].toInt()) >= std::pair(6, 12);
}

quint64 timeSliceOf(qint64 pid, qint64 tid)
{
    QFile sched(QStringLiteral("/proc/%1/task/%2/sched").arg(pid).arg(tid));
    if (!sched.open(QIODevice::ReadOnly))
        return 0;
    static const QRegularExpression slice(QStringLiteral(R"(\nse\.slice\s*:\s*(\d+))"));
    return slice.match(QString::fromLatin1(sched.readAll())).captured(1).toULongLong();
}

} // namespace kova::test
