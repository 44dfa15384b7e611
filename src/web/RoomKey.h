#pragma once

#include "io/SteadyClock.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QString>

#include <chrono>
#include <optional>

namespace kova::web {

// The key that a browser must offer to be let in, when the gateway has one, and the count of wrong keys that each
// browser address has offered. A page cannot give a WebSocket headers of its own, and the key must never stand in
// a URL: it offers the key as its WebSocket subprotocol, ProtocolPrefix and then the key's UTF-8 in base64url
// without padding, which the gateway echoes when it accepts (as the protocol requires), to that browser only.
class RoomKey {
public:
    static inline const QByteArray ProtocolPrefix = QByteArrayLiteral("kova-key.");
    static constexpr int MinLength = 8;
    static constexpr qint64 MaxFileSize = 4096;
    // This many wrong keys from one address within Window, and it is refused for Window, right key or not.
    static constexpr int MaxWrongKeys = 5;
    static constexpr std::chrono::minutes Window{1};
    // Addresses remembered at most; the oldest is forgotten first.
    static constexpr int MaxAddresses = 4096;

    enum class Verdict {
        Admitted,
        Wrong,
        // Wrong, and the address's last allowed try: it is refused from now on, for Window.
        WrongLockingOut,
        // Refused without a look at the key.
        LockedOut,
    };

    explicit RoomKey(const QString& key, SteadyClock clock = steadyNanoseconds);

    // The key in the file: one line, at least MinLength characters of UTF-8; none, with what is wrong in *error.
    static std::optional<QString> read(const QString& path, QString* error);
    // Whether the WebSocket subprotocol is one that carries a key.
    static bool carriesKey(QByteArrayView protocol);
    // The subprotocol that offers the key.
    static QByteArray protocolFor(const QString& key);

    // Judges what the browser at the address offered as its subprotocol (empty for none), in constant time for
    // keys of any length.
    Verdict check(const QHostAddress& address, QByteArrayView protocol);

private:
    struct Attempts {
        QList<qint64> wrong; // when, in steady nanoseconds, within the window
        std::optional<qint64> lockedUntil;
        qint64 last = 0;
    };

    bool matches(QByteArrayView protocol) const;
    void forgetOld(qint64 now);

    QByteArray m_digest; // SHA-256 of the key's UTF-8
    SteadyClock m_clock;
    QHash<QHostAddress, Attempts> m_attempts;
};

} // namespace kova::web
