#include "HttpRequest.h"

#include <algorithm>

namespace kova::web {

namespace {

bool isTokenChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool isToken(QByteArrayView text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

// Field values: visible characters, spaces and tabs, and bytes of UTF-8 or any other encoding; no controls.
bool isFieldValue(QByteArrayView text)
{
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto u = quint8(c);
        return u == '\t' || (u >= 0x20 && u != 0x7f);
    });
}

HeadParse refused(int status, const QString& reason)
{
    HeadParse parse;
    parse.result = HeadParse::Result::Refused;
    parse.status = status;
    parse.reason = reason;
    return parse;
}

HeadParse badRequest(const QString& reason)
{
    return refused(400, reason);
}

// The request line, complete or only begun (then only what is there is checked).
HeadParse checkRequestLine(QByteArrayView line, bool complete, HttpRequest* request)
{
    const qsizetype firstSpace = line.indexOf(' ');
    const QByteArrayView method = firstSpace == -1 ? line : line.first(firstSpace);
    if (!std::all_of(method.begin(), method.end(), isTokenChar) || (firstSpace == 0))
        return badRequest(QStringLiteral("not an HTTP request"));
    if (!complete)
        return {};
    const qsizetype secondSpace = firstSpace == -1 ? -1 : line.indexOf(' ', firstSpace + 1);
    if (secondSpace == -1 || line.indexOf(' ', secondSpace + 1) != -1)
        return badRequest(QStringLiteral("not an HTTP request line"));
    const QByteArrayView target = line.sliced(firstSpace + 1, secondSpace - firstSpace - 1);
    const QByteArrayView version = line.sliced(secondSpace + 1);
    if (!version.startsWith("HTTP/"))
        return badRequest(QStringLiteral("not an HTTP request line"));
    if (version.size() != 8 || version[6] != '.' || version[5] < '0' || version[5] > '9' || version[7] < '0' ||
        version[7] > '9')
        return badRequest(QStringLiteral("not an HTTP version"));
    if (version[5] != '1' || version[7] > '1')
        return refused(505, QStringLiteral("HTTP version %1").arg(QString::fromLatin1(version.sliced(5))));
    if (!target.startsWith('/') ||
        !std::all_of(target.begin(), target.end(), [](char c) { return quint8(c) > 0x20 && quint8(c) < 0x7f; }))
        return badRequest(QStringLiteral("not a path"));
    request->method = method.toByteArray();
    request->target = target.toByteArray();
    request->minorVersion = version[7] - '0';
    return {};
}

} // namespace

QByteArray HttpRequest::path() const
{
    const qsizetype query = target.indexOf('?');
    return query == -1 ? target : target.left(query);
}

QByteArray HttpRequest::value(QByteArrayView name) const
{
    for (const auto& [key, value] : headers) {
        if (key == name)
            return value;
    }
    return {};
}

bool HttpRequest::has(QByteArrayView name) const
{
    return std::any_of(headers.begin(), headers.end(), [name](const auto& header) { return header.first == name; });
}

bool HttpRequest::lists(QByteArrayView name, QByteArrayView token) const
{
    for (const auto& [key, value] : headers) {
        if (key != name)
            continue;
        for (const QByteArray& item : value.split(',')) {
            if (item.trimmed().compare(token, Qt::CaseInsensitive) == 0)
                return true;
        }
    }
    return false;
}

bool HttpRequest::keepsOpen() const
{
    return minorVersion == 1 && !lists("connection", "close");
}

HeadParse parseRequestHead(QByteArrayView data)
{
    const QByteArrayView window = data.first(std::min(data.size(), MaxRequestHead));
    HeadParse parse;
    qsizetype pos = 0;
    bool requestLine = true;
    for (;;) {
        const qsizetype end = window.indexOf('\n', pos);
        if (end == -1) {
            const QByteArrayView partial = window.sliced(pos);
            if (const qsizetype cr = partial.indexOf('\r'); cr != -1 && cr != partial.size() - 1)
                return badRequest(QStringLiteral("a line break that is not CR LF"));
            if (requestLine) {
                if (HeadParse check = checkRequestLine(partial, false, &parse.request);
                    check.result == HeadParse::Result::Refused)
                    return check;
            }
            if (data.size() < MaxRequestHead)
                return parse;
            return requestLine ? refused(414, QStringLiteral("a request line over %1 KiB").arg(MaxRequestHead / 1024))
                               : refused(431, QStringLiteral("a request head over %1 KiB").arg(MaxRequestHead / 1024));
        }
        if (end == pos || window[end - 1] != '\r')
            return badRequest(QStringLiteral("a line break that is not CR LF"));
        const QByteArrayView line = window.sliced(pos, end - 1 - pos);
        pos = end + 1;
        if (line.contains('\r'))
            return badRequest(QStringLiteral("a line break that is not CR LF"));
        if (requestLine) {
            if (HeadParse check = checkRequestLine(line, true, &parse.request);
                check.result == HeadParse::Result::Refused)
                return check;
            requestLine = false;
            continue;
        }
        if (line.isEmpty())
            break;
        const qsizetype colon = line.indexOf(':');
        if (colon == -1 || !isToken(line.first(colon)) || !isFieldValue(line.sliced(colon + 1)))
            return badRequest(QStringLiteral("a malformed header line"));
        parse.request.headers.append(
            {line.first(colon).toByteArray().toLower(), line.sliced(colon + 1).toByteArray().trimmed()});
    }

    HttpRequest& request = parse.request;
    if (request.has("transfer-encoding"))
        return refused(413, QStringLiteral("a request with a body"));
    for (const auto& [key, value] : std::as_const(request.headers)) {
        if (key != "content-length")
            continue;
        if (value.isEmpty() || !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return badRequest(QStringLiteral("a malformed Content-Length"));
        if (value.count('0') != value.size())
            return refused(413, QStringLiteral("a request with a body"));
    }
    const auto hosts = std::count_if(request.headers.begin(), request.headers.end(),
                                     [](const auto& header) { return header.first == "host"; });
    if (hosts > 1 || (hosts == 0 && request.minorVersion == 1))
        return badRequest(QStringLiteral("no single Host header"));
    parse.result = HeadParse::Result::Complete;
    parse.length = pos;
    return parse;
}

} // namespace kova::web
