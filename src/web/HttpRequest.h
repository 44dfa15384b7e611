#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

namespace kova::web {

// The request line and the headers together, at most; the page's requests are well under 2 KiB.
constexpr qsizetype MaxRequestHead = 16 * 1024;

// One request's head as it came, without a body: the page never sends one.
struct HttpRequest {
    QByteArray method;
    QByteArray target;                                // as sent: path and query
    int minorVersion = 1;                             // HTTP/1.0 or HTTP/1.1
    QList<std::pair<QByteArray, QByteArray>> headers; // names in lower case, values trimmed

    QByteArray path() const;
    // The value of the header, the first one if it came more than once; empty when absent.
    QByteArray value(QByteArrayView name) const;
    bool has(QByteArrayView name) const;
    // Whether the comma-separated header lists the token (case-insensitive), as Connection and Upgrade do.
    bool lists(QByteArrayView name, QByteArrayView token) const;
    // HTTP/1.0 closes after each answer unless it asks otherwise; we do not keep those open.
    bool keepsOpen() const;
};

// What the start of a connection's input holds: a complete head, not yet one, or what is wrong with it.
struct HeadParse {
    enum class Result { Incomplete, Complete, Refused };
    Result result = Result::Incomplete;
    HttpRequest request;
    qsizetype length = 0; // of the head, blank line included, when complete
    int status = 0;       // when refused
    QString reason;       // when refused, for the log
};

// Reads a request head from the start of data, refusing it as soon as it cannot become a request that we serve:
// 400 for what is not HTTP/1.x, 414 for a request line and 431 for a head over MaxRequestHead, 505 for another
// version, 413 for a request with a body.
HeadParse parseRequestHead(QByteArrayView data);

} // namespace kova::web
