#pragma once

#include "io/AddressTally.h"
#include "io/SteadyClock.h"

#include <QHostAddress>
#include <QObject>

namespace kova {

class LogText;

// Tells the operator about connections refused for coming too often, in one log line per address per minute at
// most: the first refusal at once, the ones that follow within the minute counted and logged when it is over.
class RefusalReport : public QObject {
    Q_OBJECT

public:
    static constexpr qint64 IntervalNanoseconds = 60'000'000'000;

    explicit RefusalReport(LogText& log, SteadyClock clock = &steadyNanoseconds, QObject* parent = nullptr);

    void onRefused(const QHostAddress& address);
    // Logs the counts whose minute is over; the timer calls it, and the tests after moving their clock on.
    void reportDue();
    // Logs every count still waiting, as the server ends.
    void reportAll();

    static QString line(const QHostAddress& address, qint64 refused);

private:
    LogText& m_log;
    AddressTally<qint64> m_refused;
};

} // namespace kova
