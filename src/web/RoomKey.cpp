#include "RoomKey.h"

#include <QCryptographicHash>
#include <QFile>
#include <QStringDecoder>

#include <algorithm>

namespace kova::web {

namespace {

qint64 nanoseconds(std::chrono::nanoseconds duration)
{
    return duration.count();
}

QByteArray digest(QByteArrayView bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

} // namespace

RoomKey::RoomKey(const QString& key, SteadyClock clock)
    : m_digest(digest(key.toUtf8()))
    , m_clock(std::move(clock))
{}

std::optional<QString> RoomKey::read(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the room key file %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    // A key longer than this is a file given by mistake.
    QByteArray bytes = file.read(MaxFileSize + 1);
    if (bytes.size() > MaxFileSize) {
        *error = QStringLiteral("the room key file %1 is longer than %2 bytes; the key is its only line")
                     .arg(path)
                     .arg(MaxFileSize);
        return std::nullopt;
    }
    if (bytes.endsWith('\n'))
        bytes.chop(bytes.endsWith("\r\n") ? 2 : 1);
    QStringDecoder decoder(QStringConverter::Utf8);
    const QString key = decoder.decode(bytes);
    if (decoder.hasError()) {
        *error = QStringLiteral("the room key file %1 is not UTF-8 text").arg(path);
        return std::nullopt;
    }
    if (key.contains(u'\n') || key.contains(u'\r')) {
        *error = QStringLiteral("the room key file %1 holds more than one line; the key is its only line").arg(path);
        return std::nullopt;
    }
    if (key.size() < MinLength) {
        *error = QStringLiteral("the room key in %1 is shorter than %2 characters").arg(path).arg(MinLength);
        return std::nullopt;
    }
    return key;
}

bool RoomKey::carriesKey(QByteArrayView protocol)
{
    return protocol.startsWith(ProtocolPrefix);
}

QByteArray RoomKey::protocolFor(const QString& key)
{
    return ProtocolPrefix + key.toUtf8().toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

bool RoomKey::matches(QByteArrayView protocol) const
{
    if (!carriesKey(protocol))
        return false;
    const auto decoded = QByteArray::fromBase64Encoding(protocol.sliced(ProtocolPrefix.size()).toByteArray(),
                                                        QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals |
                                                            QByteArray::AbortOnBase64DecodingErrors);
    // The digests have one length whatever was offered; every byte of them is compared.
    const QByteArray offered = digest(decoded ? decoded.decoded : QByteArray());
    unsigned char difference = decoded ? 0 : 1;
    for (qsizetype i = 0; i < m_digest.size(); ++i)
        difference |= static_cast<unsigned char>(offered[i] ^ m_digest[i]);
    return difference == 0;
}

void RoomKey::forgetOld(qint64 now)
{
    const qint64 window = nanoseconds(Window);
    for (auto it = m_attempts.begin(); it != m_attempts.end();) {
        Attempts& attempts = it.value();
        attempts.wrong.removeIf([&](qint64 when) { return now - when >= window; });
        if (attempts.lockedUntil && now >= *attempts.lockedUntil)
            attempts.lockedUntil.reset();
        if (attempts.wrong.isEmpty() && !attempts.lockedUntil)
            it = m_attempts.erase(it);
        else
            ++it;
    }
}

RoomKey::Verdict RoomKey::check(const QHostAddress& address, QByteArrayView protocol)
{
    const qint64 now = m_clock();
    forgetOld(now);
    const auto known = m_attempts.find(address);
    if (known != m_attempts.end() && known->lockedUntil)
        return Verdict::LockedOut;
    if (matches(protocol))
        return Verdict::Admitted;
    if (known == m_attempts.end() && m_attempts.size() >= MaxAddresses) {
        const auto oldest = std::min_element(m_attempts.begin(), m_attempts.end(),
                                             [](const Attempts& a, const Attempts& b) { return a.last < b.last; });
        m_attempts.erase(oldest);
    }
    Attempts& attempts = m_attempts[address];
    attempts.last = now;
    attempts.wrong.append(now);
    if (attempts.wrong.size() < MaxWrongKeys)
        return Verdict::Wrong;
    attempts.wrong.clear();
    attempts.lockedUntil = now + nanoseconds(Window);
    return Verdict::WrongLockingOut;
}

} // namespace kova::web
