#include "AddressFilter.h"

namespace Orvane {
namespace Zendral {

AddressFilter::AddressFilter(const QString &list)
{
    const QStringList entries = list.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &raw : entries) {
        const QString entry = raw.trimmed();
        if (entry.isEmpty())
            continue;
        everyone = false;
        if (entry.contains(QLatin1Char('/'))) {
            const QPair<QHostAddress, int> network = QHostAddress::parseSubnet(entry);
            if (network.first.isNull())
                invalid << entry;
            else
                networks << network;
            continue;
        }
        const QHostAddress address(entry);
        if (address.isNull()) {
            invalid << entry;
            continue;
        }
        networks << qMakePair(address, address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128);
    }
}

bool AddressFilter::Allows(const QHostAddress &address) const
{
    if (everyone)
        return true;
    // An IPv4 client seen through an IPv6 socket (::ffff:a.b.c.d) is
    // matched as the IPv4 address it is.
    QHostAddress plain = address;
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        plain = QHostAddress(v4);
    for (const auto &network : networks) {
        if (plain.isInSubnet(network.first, network.second))
            return true;
    }
    return false;
}

} // namespace Zendral
} // namespace Orvane
