#pragma once

#include <QHostAddress>
#include <QList>

namespace kova {

// Addresses whose new connections the operator refuses, held in memory until the server ends. An IPv4 client of
// the dual-stack listener counts as its IPv4 address, however it is written.
class BanList {
public:
    // False when the address was banned already or is no address.
    bool ban(const QHostAddress& address);
    // False when the address was not banned.
    bool lift(const QHostAddress& address);
    bool isBanned(const QHostAddress& address) const;
    // In the order in which they were banned.
    const QList<QHostAddress>& addresses() const { return m_addresses; }

    // An IPv4-mapped IPv6 address as its IPv4 address, any other as it is.
    static QHostAddress normalized(const QHostAddress& address);

private:
    QList<QHostAddress> m_addresses;
};

} // namespace kova
