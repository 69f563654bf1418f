#pragma once

#include <QString>

namespace Orvane {
namespace Zendral {

// Where the operator channel listens: the setting "admin/socket" when set,
// else "zendral-admin" in the runtime folder (QStandardPaths::RuntimeLocation;
// on Windows a named pipe of that name). The service and zendralctl find it
// through this one rule.
//
// Thread: any (no state).
class AdminSocketPath
{
public:
    static QString Resolve(const QString &setting);
};

} // namespace Zendral
} // namespace Orvane
