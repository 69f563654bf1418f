#pragma once

#include <QString>
#include <QVector>

namespace Orvane {
namespace Zendral {
namespace Bench {

class ScratchFolder;

// The cluster comparison: adds/s and engine runs/s of the file store (one
// service) beside the shared queue on PostgreSQL with 1, 2 and 3 nodes on
// this machine. Adds: the adding clients spread over the nodes add for a
// fixed time, engines off. Runs: a batch of jobs with the stand-in engine
// and runs of one short message, one engine per node, timed from the first
// add until every engine has ended (counted in the engines' run logs).
//
// Thread: main thread only.
class ClusterBench
{
public:
    struct Row
    {
        QString store;
        int nodes = 1;
        double addsPerSecond = -1;
        double runsPerSecond = -1;
    };

    ClusterBench(const QString &program, const QString &engine, int clients, int seconds, int runs);

    // Measures every row; throws BenchFailure (what was measured is in Rows()).
    void Run(ScratchFolder &scratch);
    const QVector<Row> &Rows() const { return rows; }
    void Print() const;

private:
    double MeasureAdds(const QVector<quint16> &ports);
    double MeasureRuns(const QVector<quint16> &ports, const QStringList &runLogs);

    QString program;
    QString engine;
    int clients;
    int seconds;
    int runs;
    QVector<Row> rows;
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
