#pragma once

#include <QHostAddress>
#include <QString>

#include <optional>

class QCoreApplication;

namespace kova::web {

constexpr quint16 DefaultListenPort = 8557;
constexpr quint16 DefaultServerPort = 557;
constexpr int DefaultHistoryLines = 200;
constexpr int MaxHistoryLines = 10000;

// Where the gateway listens for browsers.
struct ListenAddress {
    QHostAddress address = QHostAddress::Any;
    quint16 port = DefaultListenPort;

    QString toString() const;
};

// The chat server that each browser becomes a client of; the host may be a name, looked up per connection.
struct ServerAddress {
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = DefaultServerPort;

    QString toString() const;
};

// "ADDRESS:PORT", an IPv6 address in brackets.
std::optional<ListenAddress> parseListenAddress(const QString& text);
// "HOST" or "HOST:PORT", an IPv6 address in brackets when a port follows.
std::optional<ServerAddress> parseServerAddress(const QString& text);

// An address and port as the log shows them: 192.0.2.7:50312, [2001:db8::7]:50312 (IPv4 clients of a dual-stack
// listener without their IPv6 dress).
QString endpointText(const QHostAddress& address, quint16 port);
// The address alone, as endpointText shows it, without brackets.
QString addressText(const QHostAddress& address);

struct Options {
    ListenAddress listen;
    ServerAddress server;
    int historyLines = DefaultHistoryLines;
    // Both or neither: with them, HTTPS and WSS.
    QString tlsCertificateFile;
    QString tlsKeyFile;
    // With it, only browsers that offer the key in it are let in.
    QString accessKeyFile;
};

// The status of a program that ends because it cannot work as configured: an option that needs another, a file
// that cannot be used.
constexpr int ConfigurationError = 2;

// Reads the command line; prints help, the version or what is wrong, and ends the program where
// QCommandLineParser does (status 0 for help and version, 1 for a mistake; ConfigurationError for an option
// that needs another).
Options parseCommandLine(QCoreApplication& app);

} // namespace kova::web
