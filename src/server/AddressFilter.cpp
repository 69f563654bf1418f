#include "AddressFilter.h"

#include <QRegularExpression>

namespace Orvane {
namespace Zendral {

namespace {

// Dotted decimal, four parts of 0 to 255 without leading zeros (which some
// readers take as octal).
bool IsDottedDecimal(const QString &text)
{
    static const QRegularExpression form(
        QStringLiteral("^(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])(\\.(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])){3}$"));
    return form.match(text).hasMatch();
}

// An IPv4-mapped IPv6 address as its IPv4 address; others as they are.
QHostAddress Unmapped(const QHostAddress &address, bool *mapped = nullptr)
{
    bool isV4 = false;
    const quint32 v4 = address.protocol() == QAbstractSocket::IPv6Protocol ? address.toIPv4Address(&isV4) : 0;
    if (mapped)
        *mapped = isV4;
    return isV4 ? QHostAddress(v4) : address;
}

} // namespace

AddressFilter::AddressFilter(const QString &list)
{
    const QStringList entries = list.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &raw : entries) {
        const QString entry = raw.trimmed();
        if (entry.isEmpty())
            continue;
        everyone = false;
        QPair<QHostAddress, int> network;
        const QString why = Parse(entry, &network);
        if (why.isEmpty()) {
            networks << network;
        } else {
            invalid << entry;
            problems << QStringLiteral("%1: %2").arg(entry, why);
        }
    }
}

QString AddressFilter::Parse(const QString &entry, QPair<QHostAddress, int> *network)
{
    const int slash = entry.indexOf(QLatin1Char('/'));
    const QString host = (slash < 0 ? entry : entry.left(slash)).trimmed();
    const bool v6 = host.contains(QLatin1Char(':'));
    if (!v6 && !IsDottedDecimal(host))
        return QStringLiteral("not an IPv4 address in dotted decimal (a.b.c.d) nor an IPv6 address");
    const QHostAddress parsed(host);
    if (parsed.isNull() || !parsed.scopeId().isEmpty())
        return QStringLiteral("not an IP address");
    bool mapped = false;
    const QHostAddress address = Unmapped(parsed, &mapped);
    const int bits = v6 ? 128 : 32;
    int prefix = bits;
    if (slash >= 0) {
        const QString digits = entry.mid(slash + 1).trimmed();
        static const QRegularExpression number(QStringLiteral("^[0-9]{1,3}$"));
        prefix = number.match(digits).hasMatch() ? digits.toInt() : -1;
        if (prefix < 0 || prefix > bits)
            return QStringLiteral("the prefix must be a whole number from 1 to %1").arg(bits);
        if (prefix == 0)
            return QStringLiteral("a /0 network lets every address in; leave the list empty for that");
    }
    if (mapped) {
        if (prefix < 96)
            return QStringLiteral("an IPv4-mapped network needs a prefix of 96 or more");
        prefix -= 96;
        if (prefix == 0)
            return QStringLiteral("a /0 network lets every address in; leave the list empty for that");
    }
    *network = qMakePair(address, prefix);
    return QString();
}

bool AddressFilter::Allows(const QHostAddress &address) const
{
    if (everyone)
        return true;
    // An IPv4 client seen through an IPv6 socket (::ffff:a.b.c.d) is
    // matched as the IPv4 address it is.
    const QHostAddress plain = Unmapped(address);
    for (const auto &network : networks) {
        if (plain.isInSubnet(network.first, network.second))
            return true;
    }
    return false;
}

} // namespace Zendral
} // namespace Orvane
