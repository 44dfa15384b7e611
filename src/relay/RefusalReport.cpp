#include "RefusalReport.h"

#include "log/LogText.h"

namespace kova {

RefusalReport::RefusalReport(LogText& log, SteadyClock clock, QObject* parent)
    : QObject(parent)
    , m_log(log)
    , m_refused(
          IntervalNanoseconds,
          [this](const QHostAddress& address, qint64 refused) { m_log.AppendLog(line(address, refused)); },
          std::move(clock), this)
{}

QString RefusalReport::line(const QHostAddress& address, qint64 refused)
{
    return QStringLiteral("%1 からの接続が多すぎるため、%2 件を断りました。").arg(address.toString()).arg(refused);
}

void RefusalReport::onRefused(const QHostAddress& address)
{
    if (m_refused.add(address, 1))
        m_log.AppendLog(line(address, 1));
}

void RefusalReport::reportDue()
{
    m_refused.reportDue();
}

void RefusalReport::reportAll()
{
    m_refused.reportAll();
}

} // namespace kova
