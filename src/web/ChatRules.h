#pragma once

#include <QString>
#include <QStringView>

namespace kova::web {

// What a browser may send to the chat server through the gateway. The server's stream has no separators, so its
// readers find messages by their patterns, "NAME:" (a roster entry) and "RNAME:" (a leave notice); a client's
// chat line never holds "NAME:" (the server would take it as a registration), so the patterns in the stream are
// the server's own unless one is made up across the end of one message and the start of the next. The rules
// below keep browsers from doing that; the page gives the same refusals before sending.

// Why the nickname cannot be used, or empty: it must not be empty, hold ":", "+" or " > ", or begin or end with
// a space (no ":" means no part of "NAME:" can end in it).
QString nicknameRefusal(QStringView name);

// Why the gateway refuses what a browser sent, or empty: one registration "NAME:" + a nickname of the rules
// above, or a chat line without "NAME:".
QString sendRefusal(QStringView text);

// What a browser sent, as the gateway passes it on: a registration as it is; a chat line ending in a proper beginning
// of "NAME:" or "RNAME:" (in "R", "N", "NA", "NAM" or "NAME") could complete the pattern with what follows it in the
// stream (the next speaker's name, a roster), so it gets a trailing space, which readers do not show. Any other line is
// left as it is: with no ":" in browsers' names, nothing else can form a pattern across a browser's message.
QString harmlessLine(const QString& line);

// Whether next, passed on after previous, would complete "NAME:" or "RNAME:" across their meeting: previous is then a
// registration whose nickname ends in a proper beginning of a pattern (a line is made harmless at its end instead),
// and the gateway puts a space before next, which leaves a chat line as readers see it and a registration as the
// server reads it.
bool completesAPattern(QStringView previous, QStringView next);

} // namespace kova::web
