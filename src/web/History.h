#pragma once

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include <array>
#include <deque>
#include <optional>

namespace kova::web {

// A chat line as the page shows it: the speaker (none when unknown) and the text, at most MaxText characters.
struct ChatLine {
    static constexpr qsizetype MaxText = 4096;

    std::optional<QString> speaker;
    QString text;
};

// Finds the chat lines in the chat server's stream, as the page's reader does (src/web/page/stream.js): rosters
// and leave notices once complete, and a chat line running until the next message begins, so that however the
// stream is cut into reads, the lines are the same. Memory stays bounded however long a line is.
class StreamLines {
public:
    static constexpr qsizetype MaxName = 1024;

    // The lines that the text completes.
    QList<ChatLine> feed(const QString& text);
    // The line that may still grow, if any.
    std::optional<ChatLine> openLine() const;

private:
    struct Message {
        enum Kind { Entry, Leave } kind;
        int slot;
        QString name;
        qsizetype length;
    };
    enum class Found { No, Partial, Yes };

    qsizetype window() const;
    qsizetype boundary(const QString& t, qsizetype from) const;
    bool leaveAt(const QString& t, qsizetype i) const;
    Found entryAt(const QString& t, qsizetype i, Message* entry) const;
    Found structural(const QString& t, qsizetype pos, Message* message) const;
    Found speaker(const QString& t, qsizetype pos, std::optional<QString>* speaker, qsizetype* length) const;
    void apply(const Message& message);
    void endRoster();
    ChatLine lineOf(const QString& rest) const;

    std::array<std::optional<QString>, 10> m_names; // "" for a slot without a name
    QString m_tail;
    bool m_open = false;
    std::optional<QString> m_speaker;
    QString m_head;          // the open line's text that left the tail already (MaxText at most)
    qsizetype m_scanned = 0; // how much of the tail's open line was searched already
    struct Roster {
        int last;
        int count;
    };
    std::optional<Roster> m_roster;
};

// What the gateway's browsers received, the last maxLines chat lines, in memory only: a browser that joins gets
// them first. The oldest connected browser's stream is read; when none is connected, nothing can be known, and
// the record says where that gap is.
class History : public QObject {
    Q_OBJECT

public:
    explicit History(int maxLines, QObject* parent = nullptr);

    bool enabled() const { return m_maxLines > 0; }
    // A browser's connection, from its start, with what it receives and its end.
    void attach(const QObject* session);
    void received(const QObject* session, const QString& text);
    void detach(const QObject* session);
    // {"type":"history","complete":…,"lines":[{"speaker":…,"text":…,"time":…} or {"kind":"gap","time":…,"to":…}]},
    // complete while nothing was dropped from its start.
    QJsonObject message() const;

private:
    struct Item {
        ChatLine line;
        qint64 time = 0;
        qint64 gapEnd = -1; // a gap from time to gapEnd instead of a line
    };
    struct Reader {
        StreamLines lines;
        bool skipOpen = false; // its open line was recorded when it took over
    };

    void record(const ChatLine& line);
    void trim();

    int m_maxLines;
    QList<const QObject*> m_sessions; // oldest first; the first is read
    QHash<const QObject*, Reader> m_readers;
    std::deque<Item> m_items;
    int m_lines = 0;
    bool m_complete = true;
    qint64 m_gapStart = -1;
};

} // namespace kova::web
