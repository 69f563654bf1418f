#include "ClusterBench.h"

#include "AdderPool.h"
#include "BenchDocument.h"
#include "BenchFailure.h"
#include "Console.h"
#include "EventWait.h"
#include "ScratchFolder.h"
#include "ThrowawayPostgres.h"
#include "ZendralService.h"
#include "ZendralWire.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <memory>
#include <vector>

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
constexpr int DocumentSize = 1024;
constexpr quint64 DocumentSeed = 1;
constexpr int RunsTimeoutMs = 600000;

// Engine runs that ended, from the stand-in engine's run logs.
int EndedRuns(const QStringList &logs)
{
    int ended = 0;
    for (const QString &path : logs) {
        QFile log(path);
        if (log.open(QIODevice::ReadOnly))
            ended += log.readAll().count("\nend ") + (log.peek(4) == "end " ? 1 : 0);
    }
    return ended;
}
} // namespace

ClusterBench::ClusterBench(const QString &program, const QString &engine, int clients, int seconds, int runs)
    : program(program)
    , engine(engine)
    , clients(clients)
    , seconds(seconds)
    , runs(runs)
{
}

void ClusterBench::Run(ScratchFolder &scratch)
{
    ThrowawayPostgres database;
    QString error;
    if (!database.Start(&error))
        throw BenchFailure{error};
    // The file store, then the shared queue with 1, 2 and 3 nodes; each
    // measurement on services (and a database) of its own.
    for (int config = 0; config < 4; ++config) {
        Row row;
        row.store = config == 0 ? QStringLiteral("files") : QStringLiteral("postgresql");
        row.nodes = qMax(1, config);
        for (const bool engines : {false, true}) {
            const QString name = QStringLiteral("%1-%2-%3").arg(row.store).arg(row.nodes).arg(engines ? "runs" : "adds");
            QMap<QString, QVariant> settings{{QStringLiteral("maxWorkerCount"), engines ? 1 : 0},
                                             {QStringLiteral("worker/engine"), engine},
                                             {QStringLiteral("config/pick_job_interval"), 1}};
            if (config > 0) {
                const QString databaseName = QString(name).replace(QLatin1Char('-'), QLatin1Char('_'));
                if (!database.CreateDatabase(databaseName, &error))
                    throw BenchFailure{error};
                settings.insert(QStringLiteral("store/backend"), QStringLiteral("postgresql"));
                settings.insert(QStringLiteral("store/connection"), database.Connection(databaseName));
            }
            std::vector<std::unique_ptr<ZendralService>> nodes;
            QVector<quint16> ports;
            QStringList logs;
            for (int n = 0; n < row.nodes; ++n) {
                const QString root = scratch.Make(QStringLiteral("%1/node-%2").arg(name).arg(n));
                nodes.emplace_back(new ZendralService(program, root));
                settings.insert(QStringLiteral("store/node"), QStringLiteral("node-%1").arg(n));
                nodes.back()->SetSettings(settings);
                logs << QDir(root).filePath(QStringLiteral("runs.log"));
                nodes.back()->SetEnvironment({{QStringLiteral("ZENDRAL_STUB_MESSAGES"), QStringLiteral("1")},
                                              {QStringLiteral("ZENDRAL_STUB_PAUSE_MS"), QStringLiteral("20")},
                                              {QStringLiteral("ZENDRAL_STUB_RUN_LOG"), logs.last()}});
                nodes.back()->Start();
                ports << nodes.back()->Port();
            }
            Console::Progress(QStringLiteral("cluster: %1").arg(name));
            if (engines)
                row.runsPerSecond = MeasureRuns(ports, logs);
            else
                row.addsPerSecond = MeasureAdds(ports);
        }
        rows.append(row);
    }
}

// The adding clients, spread over the nodes, add for `seconds`.
double ClusterBench::MeasureAdds(const QVector<quint16> &ports)
{
    static const ZendralWire wire;
    const QByteArray document = BenchDocument::Make(DocumentSize, DocumentSeed);
    std::vector<std::unique_ptr<AdderPool>> pools;
    for (int n = 0; n < ports.size(); ++n) {
        pools.emplace_back(new AdderPool(wire, qMax(1, clients / int(ports.size())), document));
        pools.back()->Open(ports[n]);
    }
    QElapsedTimer clock;
    clock.start();
    for (auto &pool : pools)
        pool->StartContinuous();
    EventWait::Sleep(seconds * 1000);
    for (auto &pool : pools)
        pool->StopAndDrain();
    const double elapsed = clock.nsecsElapsed() / 1e9;
    int accepted = 0;
    for (auto &pool : pools)
        accepted += pool->Accepted();
    return elapsed > 0 ? accepted / elapsed : -1;
}

// `runs` jobs added through the first node; every node's engine takes them.
double ClusterBench::MeasureRuns(const QVector<quint16> &ports, const QStringList &runLogs)
{
    static const ZendralWire wire;
    AdderPool adders(wire, 1, BenchDocument::Make(DocumentSize, DocumentSeed));
    adders.Open(ports.first());
    QElapsedTimer clock;
    clock.start();
    adders.Run(runs);
    EventWait::Until([&] { return EndedRuns(runLogs) >= adders.Accepted(); }, RunsTimeoutMs,
                     QStringLiteral("the engine runs"));
    const double elapsed = clock.nsecsElapsed() / 1e9;
    return elapsed > 0 ? adders.Accepted() / elapsed : -1;
}

void ClusterBench::Print() const
{
    if (rows.isEmpty())
        return;
    Console::Result(QString());
    Console::Result(QStringLiteral("Cluster mode (PostgreSQL on this machine; adds for %1 s by %2 clients spread over "
                                   "the nodes, engines off; %3 engine runs of one message, one engine per node)")
                        .arg(seconds)
                        .arg(clients)
                        .arg(runs));
    Console::Result(QStringLiteral("  %1 %2 %3 %4").arg(QStringLiteral("store"), -12).arg(QStringLiteral("nodes"), 6)
                        .arg(QStringLiteral("adds/s"), 10).arg(QStringLiteral("engine runs/s"), 15));
    for (const Row &row : rows) {
        Console::Result(QStringLiteral("  %1 %2 %3 %4")
                            .arg(row.store, -12)
                            .arg(row.nodes, 6)
                            .arg(row.addsPerSecond < 0 ? QStringLiteral("n/a") : QString::number(row.addsPerSecond, 'f', 1), 10)
                            .arg(row.runsPerSecond < 0 ? QStringLiteral("n/a") : QString::number(row.runsPerSecond, 'f', 2), 15));
    }
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
