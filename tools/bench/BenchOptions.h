#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

namespace Orvane {
namespace Zendral {
namespace Bench {

// The command line of zendral-bench.
//
// Thread: main thread only.
struct BenchOptions
{
    enum class Outcome { Run, Help, Error };

    int jobs = 10000;
    int window = 1000;
    int clients = 8;
    int pollers = 50;
    int pollSeconds = 5;
    int burst = 1000;
    int burstClients = 100;
    QVector<qint64> uploadSizes{64LL * 1024 * 1024, 128LL * 1024 * 1024};
    QString zendral;    // empty: beside zendral-bench
    QString beanstalkd; // empty: from PATH
    bool skipBeanstalkd = false;
    bool skipFloor = false;
    bool skipPoll = false;
    bool skipMemory = false;
    bool skipDurability = false;
    // The cluster comparison instead of the rest: the file store beside the
    // shared queue on PostgreSQL with 1, 2 and 3 nodes.
    bool cluster = false;
    int clusterSeconds = 5;
    int clusterRuns = 100;

    // Fills `options` from `arguments`; `text` is the help text (Help) or
    // the error (Error).
    static Outcome Parse(const QStringList &arguments, BenchOptions &options, QString &text);
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
