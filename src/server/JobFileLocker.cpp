#include "JobFileLocker.h"

#include "NonFatalError.h"

#include <QCoreApplication>

namespace Orvane {
namespace Zendral {

JobFileLocker::JobFileLocker(QReadWriteLock *lock, LockerMode mode)
    : lock(lock)
{
    if (lock && mode.testFlag(Read))
        lock->lockForRead();
    else if (lock && mode.testFlag(Write))
        lock->lockForWrite();
    else
        ORVANE_THROW(Orvane::NonFatalError,
                     QCoreApplication::translate("Orvane::VelApplication", "Invalid Operation"));
}

JobFileLocker::~JobFileLocker()
{
    lock->unlock();
}

} // namespace Zendral
} // namespace Orvane
