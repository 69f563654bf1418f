#pragma once

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

namespace Orvane {
namespace Zendral {

// Which client addresses may connect: the setting "allowed_clients", a
// comma-separated list of addresses ("192.168.1.20") and CIDR networks
// ("192.168.1.0/24", "fd00::/8"). An empty list lets everyone in. An entry
// that is neither is left out and reported, so a typing error never opens
// the service wider than the list says.
//
// Thread: a plain value, read-only after construction; any thread.
class AddressFilter
{
public:
    explicit AddressFilter(const QString &list = QString());

    bool AllowsEveryone() const { return everyone; }
    bool Allows(const QHostAddress &address) const;
    // The entries that are not an address or a network.
    QStringList InvalidEntries() const { return invalid; }

private:
    bool everyone = true;
    QList<QPair<QHostAddress, int>> networks;
    QStringList invalid;
};

} // namespace Zendral
} // namespace Orvane
