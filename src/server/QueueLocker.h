#pragma once

#include "LocalServer.h"

#include <QMutex>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace Orvane {
namespace Zendral {

// Holds the queue mutex for a scope; use it instead of a QMutexLocker on
// QueueMutex(). Qt's QMutex locks inside the Qt library, which a
// ThreadSanitizer build cannot see, so the hand-over is announced to the
// sanitizer here (no effect in other builds).
class QueueLocker
{
public:
    QueueLocker()
        : mutex(LocalServer::QueueMutex())
    {
        mutex.lock();
#if defined(__SANITIZE_THREAD__)
        __tsan_acquire(&mutex);
#endif
    }
    ~QueueLocker()
    {
#if defined(__SANITIZE_THREAD__)
        __tsan_release(&mutex);
#endif
        mutex.unlock();
    }
    QueueLocker(const QueueLocker &) = delete;
    QueueLocker &operator=(const QueueLocker &) = delete;

private:
    QMutex &mutex;
};

} // namespace Zendral
} // namespace Orvane
