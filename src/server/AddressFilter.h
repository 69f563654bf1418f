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
// ("192.168.1.0/24", "fd00::/8"). An empty list lets everyone in.
//
// Entries are understood exactly or not at all: IPv4 only in dotted decimal
// (not "0x7f.0.0.5" or "2130706437"), a prefix of 1 to 32 (IPv4) or 128
// (IPv6) in decimal; a /0 network is refused (an empty list says
// "everyone"). An IPv4-mapped IPv6 entry ("::ffff:127.0.0.5") stands for
// its IPv4 address. Any other entry is left out and reported with the
// reason, so a typing error never opens the service wider than the list
// says (a list of bad entries only lets nobody in).
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
    // Each refused entry with its reason: "300.1.1.1/33: ...".
    QStringList Problems() const { return problems; }

private:
    // Parses one entry into `network`; the reason when it is refused.
    static QString Parse(const QString &entry, QPair<QHostAddress, int> *network);

    bool everyone = true;
    QList<QPair<QHostAddress, int>> networks;
    QStringList invalid;
    QStringList problems;
};

} // namespace Zendral
} // namespace Orvane
