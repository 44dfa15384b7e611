#include "GuessingReport.h"

#include "CommandLine.h"

#include <QStringList>

namespace kova::web {

namespace {

constexpr qint64 WindowSeconds = std::chrono::seconds(RoomKey::Window).count();

} // namespace

GuessingReport::GuessingReport(Log log, SteadyClock clock, QObject* timerParent)
    : m_log(std::move(log))
    , m_tally(
          IntervalNanoseconds, [this](const QHostAddress& address, const Tally& tally) { m_log(line(address, tally)); },
          std::move(clock), timerParent)
{}

GuessingReport::Tally& GuessingReport::Tally::operator+=(const Tally& other)
{
    wrong += other.wrong;
    lockouts += other.lockouts;
    whileLockedOut += other.whileLockedOut;
    return *this;
}

QString GuessingReport::reason(RoomKey::Verdict verdict)
{
    if (verdict == RoomKey::Verdict::LockedOut)
        return QStringLiteral("too many wrong room keys; try again in a minute");
    return QStringLiteral("wrong room key");
}

void GuessingReport::onRefused(const QHostAddress& address, quint16 port, RoomKey::Verdict verdict)
{
    const Tally event{.wrong = verdict == RoomKey::Verdict::LockedOut ? 0 : 1,
                      .lockouts = verdict == RoomKey::Verdict::WrongLockingOut ? 1 : 0,
                      .whileLockedOut = verdict == RoomKey::Verdict::LockedOut ? 1 : 0};
    if (!m_tally.add(address, event))
        return;
    QString text = QStringLiteral("browser %1 refused: %2").arg(endpointText(address, port), reason(verdict));
    if (verdict == RoomKey::Verdict::WrongLockingOut)
        text += QStringLiteral(", %1 within %2 s: the address is locked out for %2 s")
                    .arg(RoomKey::MaxWrongKeys)
                    .arg(WindowSeconds);
    m_log(text);
}

void GuessingReport::reportDue()
{
    m_tally.reportDue();
}

void GuessingReport::reportAll()
{
    m_tally.reportAll();
}

QString GuessingReport::line(const QHostAddress& address, const Tally& tally)
{
    QStringList parts;
    if (tally.wrong > 0)
        parts += tally.wrong == 1 ? QStringLiteral("1 more wrong room key")
                                  : QStringLiteral("%1 more wrong room keys").arg(tally.wrong);
    if (tally.lockouts == 1)
        parts += QStringLiteral("locked out for %1 s").arg(WindowSeconds);
    else if (tally.lockouts > 1)
        parts += QStringLiteral("locked out %1 times for %2 s").arg(tally.lockouts).arg(WindowSeconds);
    if (tally.whileLockedOut > 0)
        parts += QStringLiteral("%1 more refused while locked out").arg(tally.whileLockedOut);
    return QStringLiteral("browser address %1: %2").arg(addressText(address), parts.join(QStringLiteral(", ")));
}

} // namespace kova::web
