#include "History.h"

#include <QDateTime>
#include <QJsonArray>

#include <algorithm>

namespace kova::web {

namespace {

const QString Arrow = QStringLiteral(" > ");
const QString Leave = QStringLiteral("RNAME:");
const QString Entry = QStringLiteral("NAME:");
const QString OperatorEntry = QStringLiteral("NAME:0:");

bool isClientSlot(QChar c)
{
    return c >= u'1' && c <= u'9';
}

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

} // namespace

qsizetype StreamLines::window() const
{
    qsizetype longest = 7 + MaxName + 1;
    for (const auto& name : m_names) {
        if (name && !name->isEmpty())
            longest = std::max(longest, name->size() + 3);
    }
    return longest;
}

bool StreamLines::leaveAt(const QString& t, qsizetype i) const
{
    return QStringView(t).sliced(i).startsWith(Leave) && i + 8 <= t.size() && isClientSlot(t[i + 6]) &&
           t[i + 7] == u':';
}

qsizetype StreamLines::boundary(const QString& t, qsizetype from) const
{
    qsizetype best = -1;
    for (qsizetype i = t.indexOf(Leave, from); i != -1; i = t.indexOf(Leave, i + 1)) {
        if (leaveAt(t, i)) {
            best = i;
            break;
        }
    }
    for (qsizetype i = t.indexOf(OperatorEntry, from); i != -1 && (best == -1 || i < best);
         i = t.indexOf(OperatorEntry, i + 1)) {
        Message entry;
        if (entryAt(t, i, &entry) == Found::Yes) {
            best = i;
            break;
        }
    }
    for (const auto& name : m_names) {
        if (!name || name->isEmpty())
            continue;
        const qsizetype i = t.indexOf(*name + Arrow, from);
        if (i != -1 && (best == -1 || i < best))
            best = i;
    }
    return best;
}

StreamLines::Found StreamLines::entryAt(const QString& t, qsizetype i, Message* entry) const
{
    const qsizetype have = std::min(t.size() - i, Entry.size());
    if (QStringView(t).sliced(i, have) != QStringView(Entry).first(have))
        return Found::No;
    if (have < Entry.size() || i + 5 >= t.size())
        return Found::Partial;
    if (!isDigit(t[i + 5]))
        return Found::No;
    if (i + 6 >= t.size())
        return Found::Partial;
    if (t[i + 6] != u':')
        return Found::No;
    const qsizetype start = i + 7;
    const qsizetype plus = t.indexOf(u'+', start);
    const qsizetype end = plus == -1 ? t.size() : plus;
    const QString name = t.mid(start, std::min(end, start + MaxName + 1) - start);
    if (name.size() > MaxName || name.contains(Arrow))
        return Found::No;
    if (plus == -1)
        return Found::Partial;
    *entry = {Message::Entry, t[i + 5].digitValue(), name, plus + 1 - i};
    return Found::Yes;
}

StreamLines::Found StreamLines::structural(const QString& t, qsizetype pos, Message* message) const
{
    if (t[pos] == u'R') {
        const qsizetype have = std::min(t.size() - pos, Leave.size());
        if (QStringView(t).sliced(pos, have) != QStringView(Leave).first(have))
            return Found::No;
        if (pos + 8 > t.size())
            return pos + 6 < t.size() && !isClientSlot(t[pos + 6]) ? Found::No : Found::Partial;
        if (!leaveAt(t, pos))
            return Found::No;
        *message = {Message::Leave, t[pos + 6].digitValue(), {}, 8};
        return Found::Yes;
    }
    return t[pos] == u'N' ? entryAt(t, pos, message) : Found::No;
}

StreamLines::Found StreamLines::speaker(const QString& t, qsizetype pos, std::optional<QString>* speaker,
                                        qsizetype* length) const
{
    const QString* best = nullptr;
    for (const auto& name : m_names) {
        if (name && !name->isEmpty() && (!best || name->size() > best->size()) &&
            QStringView(t).sliced(pos).startsWith(*name + Arrow))
            best = &*name;
    }
    if (best) {
        *speaker = *best;
        *length = best->size() + 3;
        return Found::Yes;
    }
    const qsizetype arrow = t.indexOf(Arrow, pos);
    if (arrow != -1 && arrow - pos <= MaxName) {
        *speaker = t.mid(pos, arrow - pos);
        *length = arrow - pos + 3;
        return Found::Yes;
    }
    if (arrow == -1 && t.size() - pos < MaxName + 3)
        return Found::Partial;
    *speaker = std::nullopt;
    *length = 0;
    return Found::Yes;
}

void StreamLines::apply(const Message& message)
{
    if (message.kind == Message::Leave) {
        endRoster();
        m_names[std::size_t(message.slot)].reset();
        return;
    }
    const int slot = message.slot;
    if (slot == 0) {
        endRoster();
        m_roster = Roster{0, 1};
    } else if (m_roster && slot > m_roster->last) {
        // A slot that the roster skips is empty.
        for (int s = m_roster->last + 1; s < slot; ++s)
            m_names[std::size_t(s)].reset();
        m_roster->last = slot;
        ++m_roster->count;
    } else {
        endRoster();
    }
    m_names[std::size_t(slot)] = message.name;
}

// A lone NAME:0: entry only renames the operator; a roster lists every occupied slot.
void StreamLines::endRoster()
{
    if (m_roster && m_roster->count >= 2) {
        for (int s = m_roster->last + 1; s < int(m_names.size()); ++s)
            m_names[std::size_t(s)].reset();
    }
    m_roster.reset();
}

ChatLine StreamLines::lineOf(const QString& rest) const
{
    return {m_speaker, (m_head + rest).left(ChatLine::MaxText)};
}

QList<ChatLine> StreamLines::feed(const QString& text)
{
    QList<ChatLine> closed;
    const QString t = m_tail + text;
    qsizetype pos = 0;
    for (;;) {
        if (m_open) {
            // Only a pattern that ends in what is new can be new; each pattern is shorter than the window.
            const qsizetype from = std::max(pos + 1, pos + m_scanned - window());
            const qsizetype end = boundary(t, from);
            if (end == -1) {
                // A long line keeps its start and only as much of its end as a pattern needs.
                const qsizetype keep = window() + 1;
                if (t.size() - pos > 2 * keep) {
                    const qsizetype cut = t.size() - keep;
                    if (m_head.size() < ChatLine::MaxText)
                        m_head += QStringView(t).sliced(pos, cut - pos).left(ChatLine::MaxText - m_head.size());
                    pos = cut;
                }
                m_scanned = t.size() - pos;
                break;
            }
            closed.append(lineOf(t.mid(pos, end - pos)));
            m_open = false;
            m_head.clear();
            pos = end;
            continue;
        }
        if (pos == t.size())
            break;
        Message message;
        const Found found = structural(t, pos, &message);
        if (found == Found::Partial)
            break;
        if (found == Found::Yes) {
            apply(message);
            pos += message.length;
            continue;
        }
        qsizetype length = 0;
        if (speaker(t, pos, &m_speaker, &length) == Found::Partial)
            break;
        endRoster();
        m_open = true;
        m_scanned = 0;
        pos += length;
    }
    m_tail = t.mid(pos);
    return closed;
}

std::optional<ChatLine> StreamLines::openLine() const
{
    if (!m_open)
        return std::nullopt;
    return lineOf(m_tail);
}

History::History(int maxLines, QObject* parent)
    : QObject(parent)
    , m_maxLines(maxLines)
{}

void History::attach(const QObject* session)
{
    if (!enabled())
        return;
    m_sessions.append(session);
    m_readers.insert(session, {});
    if (m_sessions.size() == 1 && m_gapStart >= 0) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        // Gaps in a row, with no line between them, are one.
        if (!m_items.empty() && m_items.back().gapEnd >= 0)
            m_items.back().gapEnd = now;
        else if (!m_items.empty())
            m_items.push_back({{}, m_gapStart, now});
        m_gapStart = -1;
    }
}

void History::received(const QObject* session, const QString& text)
{
    const auto reader = m_readers.find(session);
    if (reader == m_readers.end())
        return;
    const QList<ChatLine> lines = reader->lines.feed(text);
    if (m_sessions.isEmpty() || m_sessions.first() != session)
        return;
    for (const ChatLine& line : lines) {
        if (reader->skipOpen) {
            reader->skipOpen = false;
            continue;
        }
        record(line);
    }
}

void History::detach(const QObject* session)
{
    const auto reader = m_readers.find(session);
    if (reader == m_readers.end())
        return;
    const bool wasRead = m_sessions.first() == session;
    // Its last line ends here as far as anyone can tell.
    const std::optional<ChatLine> open = reader->lines.openLine();
    if (wasRead && open && !reader->skipOpen)
        record(*open);
    m_readers.erase(reader);
    m_sessions.removeOne(session);
    if (!wasRead)
        return;
    if (m_sessions.isEmpty()) {
        m_gapStart = QDateTime::currentMSecsSinceEpoch();
        return;
    }
    // The next one read had that line open too, most likely.
    Reader& next = m_readers[m_sessions.first()];
    next.skipOpen = wasRead && open && next.lines.openLine().has_value();
}

void History::record(const ChatLine& line)
{
    m_items.push_back({line, QDateTime::currentMSecsSinceEpoch()});
    ++m_lines;
    trim();
}

void History::trim()
{
    while (m_lines > m_maxLines) {
        if (m_items.front().gapEnd < 0)
            --m_lines;
        m_items.pop_front();
        m_complete = false;
    }
    // A gap with nothing before it says nothing.
    while (!m_items.empty() && m_items.front().gapEnd >= 0)
        m_items.pop_front();
}

QJsonObject History::message() const
{
    QJsonArray lines;
    auto add = [&lines](const ChatLine& line, qint64 time) {
        lines.append(QJsonObject{{QStringLiteral("speaker"), line.speaker ? QJsonValue(*line.speaker) : QJsonValue()},
                                 {QStringLiteral("text"), line.text},
                                 {QStringLiteral("time"), time}});
    };
    for (const Item& item : m_items) {
        if (item.gapEnd >= 0)
            lines.append(QJsonObject{{QStringLiteral("kind"), QStringLiteral("gap")},
                                     {QStringLiteral("time"), item.time},
                                     {QStringLiteral("to"), item.gapEnd}});
        else
            add(item.line, item.time);
    }
    // A line still growing is part of what was said.
    if (!m_sessions.isEmpty()) {
        const Reader& reader = m_readers[m_sessions.first()];
        if (const auto open = reader.lines.openLine(); open && !reader.skipOpen)
            add(*open, QDateTime::currentMSecsSinceEpoch());
    }
    return {{QStringLiteral("type"), QStringLiteral("history")},
            {QStringLiteral("complete"), m_complete},
            {QStringLiteral("lines"), lines}};
}

} // namespace kova::web
