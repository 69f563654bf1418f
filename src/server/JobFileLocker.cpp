#include "JobFileLocker.h"

#include "NonFatalError.h"

#include <QCoreApplication>

namespace Orvane {
namespace Zendral {

JobFileLocker::JobFileLocker(std::shared_mutex *lock, LockerMode mode)
    : lock(lock)
    , shared(mode.testFlag(Read))
{
    if (lock && mode.testFlag(Read))
        lock->lock_shared();
    else if (lock && mode.testFlag(Write))
        lock->lock();
    else
        ORVANE_THROW(Orvane::NonFatalError,
                     QCoreApplication::translate("Orvane::VelApplication", "Invalid Operation"));
}

JobFileLocker::~JobFileLocker()
{
    if (shared)
        lock->unlock_shared();
    else
        lock->unlock();
}

} // namespace Zendral
} // namespace Orvane
