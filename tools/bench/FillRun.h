#pragma once

#include <QMap>
#include <QString>
#include <QVector>
#include <QtGlobal>

#include <functional>

namespace Orvane {
namespace Zendral {
namespace Bench {

class AdderPool;

// Fills a server's queue from empty: the adders add without pause, and at
// every window boundary (1,000, 2,000, ... accepted adds) the time and the
// server's CPU time are noted.
//
// Thread: main thread only.
class FillRun
{
public:
    struct Result
    {
        QString server;
        // Adds per second in each window of queued jobs.
        QVector<double> windowRates;
        // Server CPU (all threads) per add over the last window, in ms;
        // -1 when it could not be read.
        double cpuPerAddMs = -1;
        // The benchmark's own CPU per add over the same window: when it nears
        // the time per add, the clients and not the server set the pace.
        double clientCpuPerAddMs = -1;
        // Server CPU per add over the last window by thread role, in ms.
        QMap<QString, double> threadCpuPerAddMs;
        // Flushes to stable storage per 1,000 adds over the whole fill; -1
        // when they were not counted.
        double flushesPer1000 = -1;
        // Counted by the service (its journal's group commits, /metrics)
        // rather than by perf.
        bool flushesByService = false;
        int refused = 0;
        QString lastRefusal;
    };

    // `cpuSeconds` reads the server's CPU time (negative when unknown).
    // `result` grows window by window, so that a run that fails or is
    // interrupted still shows the windows it measured.
    // `threadCpu` (may be empty) reads it by thread role.
    static void Run(AdderPool &adders, int jobs, int window, const std::function<double()> &cpuSeconds,
                    Result &result, const std::function<QMap<QString, double>()> &threadCpu = {});
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
