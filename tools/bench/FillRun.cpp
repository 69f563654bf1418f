#include "FillRun.h"

#include "AdderPool.h"
#include "BenchFailure.h"
#include "Console.h"
#include "ProcessStats.h"

#include <QCoreApplication>

#include <QElapsedTimer>

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
// A server that refuses this share of the adds cannot be measured.
constexpr int MaxRefusedShare = 10;
} // namespace

void FillRun::Run(AdderPool &adders, int jobs, int window, const std::function<double()> &cpuSeconds, Result &result,
                  const std::function<QMap<QString, double>()> &threadCpu)
{
    QMap<QString, double> markThreads;
    QElapsedTimer clock;
    // Time and server CPU at the last window boundary.
    qint64 markNs = 0;
    double markCpu = -1;
    double markClientCpu = -1;
    const qint64 self = QCoreApplication::applicationPid();
    const int first = adders.Accepted();
    adders.OnAccepted([&](int accepted) {
        const int queued = accepted - first;
        if (queued % window != 0 || queued > jobs)
            return;
        const qint64 now = clock.nsecsElapsed();
        const double cpu = cpuSeconds();
        const double clientCpu = ProcessStats::CpuSeconds(self);
        const QMap<QString, double> threads = threadCpu ? threadCpu() : QMap<QString, double>();
        result.threadCpuPerAddMs.clear();
        for (auto it = threads.constBegin(); it != threads.constEnd(); ++it)
            result.threadCpuPerAddMs[it.key()] = (it.value() - markThreads.value(it.key())) * 1000.0 / window;
        markThreads = threads;
        const double seconds = (now - markNs) / 1e9;
        result.windowRates.append(seconds > 0 ? window / seconds : 0);
        // CPU over the window just ended; the last window's is the one reported.
        result.cpuPerAddMs = cpu >= 0 && markCpu >= 0 ? (cpu - markCpu) * 1000.0 / window : -1;
        result.clientCpuPerAddMs = clientCpu >= 0 && markClientCpu >= 0 ? (clientCpu - markClientCpu) * 1000.0 / window : -1;
        result.refused = adders.Refused();
        result.lastRefusal = adders.LastRefusal();
        Console::Progress(QStringLiteral("%1: %2 jobs queued, %3 adds/s")
                              .arg(result.server)
                              .arg(queued)
                              .arg(result.windowRates.last(), 0, 'f', 1));
        markNs = now;
        markCpu = cpu;
        markClientCpu = clientCpu;
    });
    // The hook refers to this frame: it goes when the frame goes, also on a throw.
    struct Unhook
    {
        AdderPool &adders;
        ~Unhook() { adders.OnAccepted(nullptr); }
    } unhook{adders};
    clock.start();
    markCpu = cpuSeconds();
    if (threadCpu)
        markThreads = threadCpu();
    markClientCpu = ProcessStats::CpuSeconds(self);
    while (adders.Accepted() - first < jobs) {
        adders.Run(jobs - (adders.Accepted() - first));
        result.refused = adders.Refused();
        result.lastRefusal = adders.LastRefusal();
        if (adders.Refused() * MaxRefusedShare > jobs)
            throw BenchFailure{QStringLiteral("%1 refused %2 adds, the last with \"%3\"")
                                   .arg(result.server)
                                   .arg(adders.Refused())
                                   .arg(adders.LastRefusal())};
    }
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
