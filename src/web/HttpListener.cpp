#include "HttpListener.h"

#include <QSslSocket>

#include <unistd.h>

namespace kova::web {

void HttpListener::incomingConnection(qintptr descriptor)
{
    if (!m_tls) {
        QTcpServer::incomingConnection(descriptor);
        return;
    }
    auto* socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        ::close(int(descriptor));
        return;
    }
    socket->setSslConfiguration(*m_tls);
    addPendingConnection(socket);
    socket->startServerEncryption();
}

} // namespace kova::web
