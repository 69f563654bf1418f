#pragma once

#include <QFlags>

#include <shared_mutex>

namespace Orvane {
namespace Zendral {

enum LockerModeFlag { Read = 1, Write = 2 };
Q_DECLARE_FLAGS(LockerMode, LockerModeFlag)
Q_DECLARE_OPERATORS_FOR_FLAGS(LockerMode)

// Scope guard over the result-file lock: readers of a result file share it,
// a writer holds it alone. Read wins when both flags are given. The lock is
// a std::shared_mutex, which the thread sanitizer can follow (Qt's
// QReadWriteLock works on futexes it cannot see).
// Throws Orvane::NonFatalError ("Invalid Operation") when no mode (or no
// lock) is given.
//
// Thread: any; the guard is used on the thread that made it.
class JobFileLocker
{
public:
    JobFileLocker(std::shared_mutex *lock, LockerMode mode);
    ~JobFileLocker();

    JobFileLocker(const JobFileLocker &) = delete;
    JobFileLocker &operator=(const JobFileLocker &) = delete;

private:
    std::shared_mutex *lock;
    bool shared = false;
};

} // namespace Zendral
} // namespace Orvane
