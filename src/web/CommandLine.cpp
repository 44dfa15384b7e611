#include "CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

namespace kova::web {

namespace {

struct HostPort {
    QString host;
    std::optional<quint16> port;
};

std::optional<quint16> parsePort(QStringView text)
{
    bool ok = false;
    const uint port = text.toUInt(&ok);
    if (!ok || port == 0 || port > 65535 || !text.front().isDigit())
        return std::nullopt;
    return quint16(port);
}

std::optional<HostPort> splitHostPort(const QString& text)
{
    QString host = text;
    QString port;
    bool hasPort = false;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0)
            return std::nullopt;
        host = text.mid(1, close - 1);
        const QString rest = text.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(u':'))
                return std::nullopt;
            hasPort = true;
            port = rest.mid(1);
        }
    } else if (text.count(u':') == 1) {
        const qsizetype colon = text.indexOf(u':');
        host = text.left(colon);
        port = text.mid(colon + 1);
        hasPort = true;
    }
    if (host.isEmpty())
        return std::nullopt;
    HostPort result{host, std::nullopt};
    if (hasPort) {
        result.port = parsePort(port);
        if (!result.port)
            return std::nullopt;
    }
    return result;
}

QString hostForUrl(const QString& host)
{
    return host.contains(u':') ? u'[' + host + u']' : host;
}

[[noreturn]] void fail(const QString& message, int status = EXIT_FAILURE)
{
    std::fprintf(stderr, "kova-web: %s\n", qPrintable(message));
    std::exit(status);
}

} // namespace

QString ListenAddress::toString() const
{
    const QString host = address == QHostAddress::Any ? QStringLiteral("*") : hostForUrl(address.toString());
    return host + u':' + QString::number(port);
}

QString ServerAddress::toString() const
{
    return hostForUrl(host) + u':' + QString::number(port);
}

QString addressText(const QHostAddress& address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : address.toString();
}

QString endpointText(const QHostAddress& address, quint16 port)
{
    return hostForUrl(addressText(address)) + u':' + QString::number(port);
}

std::optional<ListenAddress> parseListenAddress(const QString& text)
{
    const auto parts = splitHostPort(text);
    if (!parts || !parts->port)
        return std::nullopt;
    ListenAddress listen;
    listen.port = *parts->port;
    if (parts->host == u"*")
        listen.address = QHostAddress::Any;
    else if (parts->host == u"localhost")
        listen.address = QHostAddress::LocalHost;
    else if (!listen.address.setAddress(parts->host))
        return std::nullopt;
    return listen;
}

std::optional<ServerAddress> parseServerAddress(const QString& text)
{
    const auto parts = splitHostPort(text);
    if (!parts)
        return std::nullopt;
    return ServerAddress{parts->host, parts->port.value_or(DefaultServerPort)};
}

Options parseCommandLine(QCoreApplication& app)
{
    QCoreApplication::setApplicationName(QStringLiteral("kova-web"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KOVA_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Serves the KOVA chat page to browsers; each browser becomes one client of the chat server."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption listen(QStringLiteral("listen"),
                                    QStringLiteral("Where browsers connect, ADDRESS:PORT; * for every address "
                                                   "(default: *:8557)."),
                                    QStringLiteral("ADDRESS:PORT"));
    const QCommandLineOption server(QStringLiteral("server"),
                                    QStringLiteral("The chat server, HOST or HOST:PORT (default: 127.0.0.1:557)."),
                                    QStringLiteral("HOST[:PORT]"));
    const QCommandLineOption history(
        QStringLiteral("history"),
        QStringLiteral("Chat lines kept in memory for browsers that join later, 0 for none "
                       "(default: %1, at most %2).")
            .arg(DefaultHistoryLines)
            .arg(MaxHistoryLines),
        QStringLiteral("N"));
    const QCommandLineOption tlsCertificate(
        QStringLiteral("tls-cert"),
        QStringLiteral("Serve HTTPS and WSS with this certificate, PEM (the chain may follow it); with --tls-key."),
        QStringLiteral("FILE"));
    const QCommandLineOption tlsKey(QStringLiteral("tls-key"),
                                    QStringLiteral("The certificate's private key, PEM; with --tls-cert."),
                                    QStringLiteral("FILE"));
    parser.addOption(listen);
    parser.addOption(server);
    parser.addOption(history);
    const QCommandLineOption accessKey(QStringLiteral("access-key-file"),
                                       QStringLiteral("Let in only browsers that give the room key in this file, its "
                                                      "one line (at least 8 characters)."),
                                       QStringLiteral("FILE"));
    parser.addOption(tlsCertificate);
    parser.addOption(tlsKey);
    parser.addOption(accessKey);
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        fail(QStringLiteral("unexpected argument \"%1\"; see kova-web --help")
                 .arg(parser.positionalArguments().first()));

    Options options;
    if (parser.isSet(listen)) {
        const auto address = parseListenAddress(parser.value(listen));
        if (!address)
            fail(QStringLiteral("--listen \"%1\" is not ADDRESS:PORT, e.g. 0.0.0.0:8557, *:8557 or [::1]:8557")
                     .arg(parser.value(listen)));
        options.listen = *address;
    }
    if (parser.isSet(server)) {
        const auto address = parseServerAddress(parser.value(server));
        if (!address)
            fail(QStringLiteral("--server \"%1\" is not HOST or HOST:PORT, e.g. 192.168.1.10 or chat.lan:557")
                     .arg(parser.value(server)));
        options.server = *address;
    }
    if (parser.isSet(history)) {
        bool ok = false;
        const int lines = parser.value(history).toInt(&ok);
        if (!ok || lines < 0 || lines > MaxHistoryLines)
            fail(QStringLiteral("--history \"%1\" is not a number of lines from 0 to %2")
                     .arg(parser.value(history))
                     .arg(MaxHistoryLines));
        options.historyLines = lines;
    }
    if (parser.isSet(tlsCertificate) != parser.isSet(tlsKey))
        fail(QStringLiteral("--tls-cert and --tls-key go together: give both for HTTPS, or neither"),
             ConfigurationError);
    if (parser.isSet(tlsCertificate) && (parser.value(tlsCertificate).isEmpty() || parser.value(tlsKey).isEmpty()))
        fail(QStringLiteral("--tls-cert and --tls-key need a file each"), ConfigurationError);
    if (parser.isSet(accessKey) && parser.value(accessKey).isEmpty())
        fail(QStringLiteral("--access-key-file needs a file"), ConfigurationError);
    options.accessKeyFile = parser.value(accessKey);
    options.tlsCertificateFile = parser.value(tlsCertificate);
    options.tlsKeyFile = parser.value(tlsKey);
    return options;
}

} // namespace kova::web
