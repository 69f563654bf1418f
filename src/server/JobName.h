#pragma once

#include <QString>

namespace Orvane {
namespace Zendral {

// A job's name as clients send it: usually URL-safe Base64 of
// "work::name" (UTF-8). Split gives the work and the name; a name that is
// not such text (not Base64, not UTF-8, or with control characters) is the
// name itself, with no work.
//
// Thread: any (no state).
class JobName
{
public:
    static void Split(const QString &jobName, QString *work, QString *name);
};

} // namespace Zendral
} // namespace Orvane
