// Sends arbitrary bytes to the gateway's page server over loopback as one connection's requests, then ends the
// connection's sending side, and reads every answer. Each answer must be a well-formed HTTP/1.1 answer with the
// headers that every answer carries, one for each request and at most one more for a request it refuses; its body
// must be as long as it says, none for HEAD; only /chat switches to a WebSocket.
#include "FuzzCheck.h"
#include "RunUntil.h"
#include "web/HttpRequest.h"
#include "web/PageServer.h"

#include <QCoreApplication>
#include <QTcpSocket>

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

using namespace kova::web;
using kova::fuzz::check;
using kova::fuzz::runUntil;

namespace {

PageServer* pages = nullptr;
std::vector<std::unique_ptr<BrowserSocket>> webSockets;

// The requests as the server must read them: those with complete heads, up to the first it refuses.
QList<HttpRequest> requestsIn(QByteArrayView input)
{
    QList<HttpRequest> requests;
    while (!input.isEmpty()) {
        const HeadParse parse = parseRequestHead(input);
        if (parse.result != HeadParse::Result::Complete)
            break;
        requests.append(parse.request);
        input = input.sliced(parse.length);
    }
    return requests;
}

QByteArray headerValue(const QList<QByteArray>& lines, QByteArrayView name)
{
    for (const QByteArray& line : lines) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.first(colon).compare(name, Qt::CaseInsensitive) == 0)
            return line.sliced(colon + 1).trimmed();
    }
    return {};
}

void checkAnswers(QByteArrayView answers, const QList<HttpRequest>& requests)
{
    qsizetype count = 0;
    while (!answers.isEmpty()) {
        const qsizetype end = answers.indexOf("\r\n\r\n");
        check(end > 0, "an answer's head is complete");
        const QList<QByteArray> lines = answers.first(end).toByteArray().split('\n');
        answers = answers.sliced(end + 4);
        check(lines[0].startsWith("HTTP/1.1 ") && lines[0].size() >= 13, "a status line");
        const int status = lines[0].mid(9, 3).toInt();
        check(status >= 101 && status <= 599, "a status");
        check(headerValue(lines, "X-Content-Type-Options") == "nosniff", "nosniff on every answer");
        check(headerValue(lines, "Referrer-Policy") == "no-referrer", "no referrer on every answer");
        check(headerValue(lines, "Cache-Control") == "no-cache", "no-cache on every answer");
        check(headerValue(lines, "Content-Security-Policy").contains("default-src"), "a policy on every answer");
        const bool forRequest = count < requests.size();
        check(forRequest || status >= 400, "no more answers than requests, but for a refusal");
        ++count;
        if (status == 101) {
            check(forRequest && requests[count - 1].path() == PageServer::ChatPath, "only /chat switches");
            return;
        }
        bool numeric = false;
        const qsizetype length = headerValue(lines, "Content-Length").toLongLong(&numeric);
        check(numeric && length >= 0, "every answer says its length");
        if (forRequest && requests[count - 1].method == "HEAD")
            continue;
        check(answers.size() >= length, "the whole body");
        answers = answers.sliced(length);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    static PageServer server;
    QString error;
    check(server.startListening(QHostAddress::LocalHost, 0, &error), "the page server listens");
    QObject::connect(&server, &PageServer::newWebSocketConnection, [] {
        while (auto webSocket = server.nextPendingWebSocketConnection())
            webSockets.push_back(std::move(webSocket));
    });
    pages = &server;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView input(data, qsizetype(size));
    QTcpSocket browser;
    QByteArray answers;
    QObject::connect(&browser, &QTcpSocket::readyRead, [&] { answers += browser.readAll(); });
    browser.connectToHost(QHostAddress::LocalHost, pages->serverPort());
    runUntil([&] { return browser.state() == QAbstractSocket::ConnectedState; }, "the page server accepts");
    browser.write(input.toByteArray());
    runUntil([&] { return browser.bytesToWrite() == 0; }, "the request goes out");
    ::shutdown(int(browser.socketDescriptor()), SHUT_WR);
    runUntil([&] { return browser.state() == QAbstractSocket::UnconnectedState; }, "the page server closes");
    answers += browser.readAll();
    webSockets.clear();

    checkAnswers(answers, requestsIn(input));
    return 0;
}
