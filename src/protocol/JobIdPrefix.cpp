#include "JobIdPrefix.h"

namespace Orvane {
namespace Zendral {

QString JobIdPrefix::Bare(const QString &id)
{
    QString bare = id;
    if (bare.startsWith(QLatin1Char('{')))
        bare.remove(0, 1);
    if (bare.endsWith(QLatin1Char('}')))
        bare.chop(1);
    return bare;
}

QStringList JobIdPrefix::Matches(const QString &argument, const QStringList &ids)
{
    const QString bare = Bare(argument);
    QStringList matches;
    if (bare.isEmpty())
        return matches;
    for (const QString &id : ids) {
        if (Bare(id).startsWith(bare, Qt::CaseInsensitive))
            matches << id;
    }
    return matches;
}

} // namespace Zendral
} // namespace Orvane
