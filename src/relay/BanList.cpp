#include "BanList.h"

namespace kova {

QHostAddress BanList::normalized(const QHostAddress& address)
{
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (isIPv4)
        return QHostAddress(ipv4);
    QHostAddress plain = address;
    // A scope (fe80::1%eth0) names the interface, not the peer.
    plain.setScopeId({});
    return plain;
}

bool BanList::ban(const QHostAddress& address)
{
    if (address.isNull() || isBanned(address))
        return false;
    m_addresses.append(normalized(address));
    return true;
}

bool BanList::lift(const QHostAddress& address)
{
    return m_addresses.removeOne(normalized(address));
}

bool BanList::isBanned(const QHostAddress& address) const
{
    return !address.isNull() && m_addresses.contains(normalized(address));
}

} // namespace kova
