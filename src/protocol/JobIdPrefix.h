#pragma once

#include <QString>
#include <QStringList>

namespace Orvane {
namespace Zendral {

// How a person names a job on a command line: its full id, with or without
// the braces, or a beginning of it that only one job has (letters in any
// case). zendral-client looks names up among its own jobs, the operator
// channel among all jobs.
//
// Thread: any (no state).
class JobIdPrefix
{
public:
    // The id without its braces.
    static QString Bare(const QString &id);
    // The ids among `ids` that `argument` names (empty argument: none).
    static QStringList Matches(const QString &argument, const QStringList &ids);
};

} // namespace Zendral
} // namespace Orvane
