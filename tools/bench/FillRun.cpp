#include "FillRun.h"

#include "AdderPool.h"
#include "BenchFailure.h"
#include "Console.h"

#include <QElapsedTimer>

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
// A server that refuses this share of the adds cannot be measured.
constexpr int MaxRefusedShare = 10;

struct Mark
{
    qint64 nanoseconds;
    double cpuSeconds;
};
} // namespace

FillRun::Result FillRun::Run(const QString &server, AdderPool &adders, int jobs, int window,
                             const std::function<double()> &cpuSeconds)
{
    Result result;
    result.server = server;
    QElapsedTimer clock;
    QVector<Mark> marks;
    const int first = adders.Accepted();
    adders.OnAccepted([&](int accepted) {
        const int queued = accepted - first;
        if (queued % window != 0 || queued > jobs)
            return;
        const Mark mark{clock.nsecsElapsed(), cpuSeconds()};
        if (!marks.isEmpty()) {
            const double seconds = (mark.nanoseconds - marks.last().nanoseconds) / 1e9;
            result.windowRates.append(seconds > 0 ? window / seconds : 0);
            Console::Progress(QStringLiteral("%1: %2 jobs queued, %3 adds/s")
                                  .arg(server)
                                  .arg(queued)
                                  .arg(result.windowRates.last(), 0, 'f', 1));
        }
        marks.append(mark);
    });
    clock.start();
    marks.append(Mark{0, cpuSeconds()});
    while (adders.Accepted() - first < jobs) {
        adders.Run(jobs - (adders.Accepted() - first));
        if (adders.Refused() * MaxRefusedShare > jobs)
            throw BenchFailure{QStringLiteral("%1 refused %2 adds, the last with \"%3\"")
                                   .arg(server)
                                   .arg(adders.Refused())
                                   .arg(adders.LastRefusal())};
    }
    adders.OnAccepted(nullptr);
    result.refused = adders.Refused();
    result.lastRefusal = adders.LastRefusal();
    if (marks.size() >= 2 && marks.last().cpuSeconds >= 0 && marks.at(marks.size() - 2).cpuSeconds >= 0)
        result.cpuPerAddMs = (marks.last().cpuSeconds - marks.at(marks.size() - 2).cpuSeconds) * 1000.0 / window;
    return result;
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
