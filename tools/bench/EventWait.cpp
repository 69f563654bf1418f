#include "EventWait.h"

#include "BenchFailure.h"
#include "Interruption.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QString>
#include <QTimer>

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
// How often a condition is looked at. Measurements are taken where the
// events arrive, not here, so this only delays the end of a wait.
constexpr int TickMs = 20;

// Runs the loop until `finished` says so; rethrows what the check threw
// once the loop has returned.
void Spin(const std::function<bool()> &finished)
{
    QEventLoop loop;
    QTimer tick;
    tick.setInterval(TickMs);
    bool thrown = false;
    BenchFailure failure;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        try {
            if (finished())
                loop.quit();
        } catch (const BenchFailure &f) {
            failure = f;
            thrown = true;
            loop.quit();
        }
    });
    tick.start();
    loop.exec();
    if (thrown)
        throw failure;
}
} // namespace

void EventWait::Until(const std::function<bool()> &done, int timeoutMs, const QString &what)
{
    if (done())
        return;
    QElapsedTimer clock;
    clock.start();
    bool timedOut = false;
    Spin([&] {
        if (Interruption::Requested())
            throw BenchFailure{QStringLiteral("interrupted")};
        if (done())
            return true;
        timedOut = clock.hasExpired(timeoutMs);
        return timedOut;
    });
    if (timedOut)
        throw BenchFailure{QStringLiteral("timed out after %1 s waiting for %2").arg(timeoutMs / 1000.0).arg(what)};
}

void EventWait::Sleep(int ms)
{
    QElapsedTimer clock;
    clock.start();
    Spin([&] {
        if (Interruption::Requested())
            throw BenchFailure{QStringLiteral("interrupted")};
        return clock.hasExpired(ms);
    });
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
