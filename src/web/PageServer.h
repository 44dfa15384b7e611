#pragma once

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QHttpServerResponder>
#include <QString>

namespace kova::web {

// The HTTP side of the gateway: the page and its two files from the program's resources, and the WebSocket
// upgrade at /chat, refused to pages of another origin.
class PageServer : public QAbstractHttpServer {
    Q_OBJECT

public:
    static inline const QString ChatPath = QStringLiteral("/chat");

    explicit PageServer(QObject* parent = nullptr);

Q_SIGNALS:
    void upgradeRefused(const QHostAddress& address, quint16 port, const QString& reason);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    void respond(const QHttpServerRequest& request, QTcpSocket* socket, const QByteArray& contentType,
                 const QByteArray& body, QHttpServerResponder::StatusCode status);

    struct File {
        QByteArray contentType;
        QByteArray content;
    };

    QHash<QString, File> m_files;
};

} // namespace kova::web
