#include "ProxyHeader.h"

#include <QRegularExpression>

namespace kova {

namespace {
const QByteArray Tag = QByteArrayLiteral("PROXY ");

ProxyHeader::Result outcome(ProxyHeader::Outcome outcome, qsizetype length = 0)
{
    ProxyHeader::Result result;
    result.outcome = outcome;
    result.length = length;
    return result;
}

bool isPort(QByteArrayView text, quint16& port)
{
    if (text.isEmpty() || text.size() > 5 || (text.size() > 1 && text.front() == '0'))
        return false;
    uint value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + uint(c - '0');
    }
    if (value > 65535)
        return false;
    port = quint16(value);
    return true;
}

// Only the plain forms: four decimal octets for TCP4, an IPv6 address without scope for TCP6.
bool isAddress(QByteArrayView text, QAbstractSocket::NetworkLayerProtocol family, QHostAddress& address)
{
    static const QRegularExpression ipv4(QStringLiteral("^(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])"
                                                        "(\\.(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])){3}$"));
    const QString string = QString::fromLatin1(text);
    if (family == QAbstractSocket::IPv4Protocol && !ipv4.match(string).hasMatch())
        return false;
    if (family == QAbstractSocket::IPv6Protocol && (string.contains(u'%') || string.contains(u'.')))
        return false;
    return address.setAddress(string) && address.protocol() == family;
}
} // namespace

ProxyHeader::Result ProxyHeader::read(QByteArrayView bytes, const QHostAddress& peer, bool final)
{
    const QByteArrayView start = bytes.first(std::min(bytes.size(), Tag.size()));
    if (!Tag.startsWith(start))
        return outcome(Outcome::Absent);
    if (bytes.size() < Tag.size())
        return outcome(final ? Outcome::Absent : Outcome::Incomplete);
    // Whoever may not send a header has it refused as soon as it is recognised, whatever follows.
    if (!peer.isLoopback())
        return outcome(Outcome::Untrusted);
    const qsizetype end = bytes.first(std::min(bytes.size(), MaxLength)).indexOf("\r\n");
    if (end < 0)
        return outcome(final || bytes.size() >= MaxLength ? Outcome::Malformed : Outcome::Incomplete);
    const qsizetype length = end + 2;
    const QList<QByteArray> fields = bytes.first(end).toByteArray().split(' ');
    // The tag ends in a space, so there is always a second field.
    if (fields.at(1) == "UNKNOWN")
        return outcome(Outcome::Accepted, length);
    if (fields.size() != 6)
        return outcome(Outcome::Malformed);
    QAbstractSocket::NetworkLayerProtocol family = QAbstractSocket::UnknownNetworkLayerProtocol;
    if (fields.at(1) == "TCP4")
        family = QAbstractSocket::IPv4Protocol;
    else if (fields.at(1) == "TCP6")
        family = QAbstractSocket::IPv6Protocol;
    Result result = outcome(Outcome::Accepted, length);
    QHostAddress destination;
    quint16 destinationPort = 0;
    if (family == QAbstractSocket::UnknownNetworkLayerProtocol || !isAddress(fields.at(2), family, result.source) ||
        !isAddress(fields.at(3), family, destination) || !isPort(fields.at(4), result.sourcePort) ||
        !isPort(fields.at(5), destinationPort))
        return outcome(Outcome::Malformed);
    return result;
}

QByteArray ProxyHeader::make(const QHostAddress& source, quint16 sourcePort, const QHostAddress& destination,
                             quint16 destinationPort)
{
    // An IPv4 browser of a dual-stack listener arrives dressed as IPv6 (::ffff:192.0.2.7): it is sent as IPv4.
    bool sourceIsV4 = false;
    bool destinationIsV4 = false;
    const quint32 source4 = source.toIPv4Address(&sourceIsV4);
    const quint32 destination4 = destination.toIPv4Address(&destinationIsV4);
    if (sourceIsV4 && destinationIsV4) {
        return "PROXY TCP4 " + QHostAddress(source4).toString().toLatin1() + ' ' +
               QHostAddress(destination4).toString().toLatin1() + ' ' + QByteArray::number(sourcePort) + ' ' +
               QByteArray::number(destinationPort) + "\r\n";
    }
    if (source.protocol() == QAbstractSocket::IPv6Protocol && destination.protocol() == QAbstractSocket::IPv6Protocol) {
        QHostAddress plainSource = source;
        QHostAddress plainDestination = destination;
        plainSource.setScopeId({});
        plainDestination.setScopeId({});
        return "PROXY TCP6 " + plainSource.toString().toLatin1() + ' ' + plainDestination.toString().toLatin1() + ' ' +
               QByteArray::number(sourcePort) + ' ' + QByteArray::number(destinationPort) + "\r\n";
    }
    return QByteArrayLiteral("PROXY UNKNOWN\r\n");
}

} // namespace kova
