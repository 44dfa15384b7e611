#pragma once

#include <QByteArrayView>
#include <QHostAddress>

namespace kova {

// The line a gateway on this machine puts before a browser's bytes, so that the server sees the browser's address:
// "PROXY TCP4 <browser> <gateway> <browser port> <gateway port>\r\n" (TCP6 for IPv6; "PROXY UNKNOWN ...\r\n" when the
// gateway does not know), as the very first bytes of the connection, 107 bytes at most.
struct ProxyHeader {
    static constexpr qsizetype MaxLength = 107;

    enum class Outcome {
        Absent,     // the connection's first bytes are not a header: they are the client's own
        Incomplete, // too few bytes yet to tell
        Accepted,   // a header from a peer that may send one; length bytes of it are to be skipped
        Malformed,  // a header that breaks the format
        Untrusted,  // a header from a peer that is not on this machine
    };

    struct Result {
        Outcome outcome = Outcome::Absent;
        qsizetype length = 0;
        // Accepted: the browser's address and port; null for UNKNOWN, which keeps the connection's own.
        QHostAddress source;
        quint16 sourcePort = 0;
    };

    // Reads the start of a connection from peer. final: no more bytes will come, so an incomplete header is malformed
    // and the beginning of one is the client's text.
    static Result read(QByteArrayView bytes, const QHostAddress& peer, bool final = false);
    // The header for a connection from source (a browser) to destination (the gateway), both of one family.
    static QByteArray make(const QHostAddress& source, quint16 sourcePort, const QHostAddress& destination,
                           quint16 destinationPort);
};

} // namespace kova
