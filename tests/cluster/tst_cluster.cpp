// Several Zendral nodes sharing one queue through a throwaway PostgreSQL
// server (started once for the whole fixture): where jobs run, that every
// node lists the same queue, moves reaching every node's copy in the
// database's order, a node killed in the middle of a run, a node that hangs
// past its lease, adds on all nodes while nodes are killed, and the database
// going away: a node that hangs holds up no other node, and a run that ends
// while the database is away is written once it is back, also after a
// restart of its node.
#include "ClusterNode.h"
#include "ClusterStore.h"
#include "MoveStep.h"
#include "PgConnection.h"
#include "PgResult.h"
#include "ProtocolTestClient.h"
#include "TestProcesses.h"
#include "ThrowawayPostgres.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace Orvane::Zendral;
using TestProcesses::pollUntil;

namespace {

const QByteArray Document = "<?xml version=\"1.0\"?><MARKER_DOCUMENT><MARKER><PIECE/></MARKER></MARKER_DOCUMENT>";

QHostAddress Client(int n)
{
    return QHostAddress(QStringLiteral("127.0.0.%1").arg(n));
}

// ADD_NESTER_JOB; the answer's content is the job id when accepted.
ProtocolTestClient::Answer Add(ProtocolTestClient &client, const QString &name, int seconds)
{
    const QJsonObject request{{QStringLiteral("job_name"), name},
                              {QStringLiteral("work_data"), QString::fromLatin1(Document.toBase64())},
                              {QStringLiteral("time"), seconds}};
    return client.Request("ADD_NESTER_JOB", QJsonDocument(request).toJson(QJsonDocument::Compact), 15000);
}

QJsonArray List(ProtocolTestClient &client)
{
    const ProtocolTestClient::Answer answer = client.Request("GET_NESTER_JOB_LIST", QByteArray(), 15000);
    return answer.ok && answer.state ? QJsonDocument::fromJson(answer.content.toUtf8()).array() : QJsonArray();
}

// The list as id, state and position per job, for comparing nodes.
QStringList Summary(const QJsonArray &list)
{
    QStringList rows;
    for (const QJsonValue &value : list) {
        const QJsonObject job = value.toObject();
        rows << QStringLiteral("%1 %2 %3")
                    .arg(job.value(QStringLiteral("job_id")).toString(), job.value(QStringLiteral("state")).toString())
                    .arg(job.value(QStringLiteral("position")).toInt());
    }
    return rows;
}

QString StateOf(const QJsonArray &list, const QString &id)
{
    for (const QJsonValue &value : list) {
        if (value.toObject().value(QStringLiteral("job_id")).toString() == id)
            return value.toObject().value(QStringLiteral("state")).toString();
    }
    return QString();
}

// One engine run from a node's run log: start and end (ms since the epoch;
// end -1 when the engine did not end by itself).
struct Run
{
    QString node;
    qint64 start = 0;
    qint64 end = -1;
};

QHash<QString, QList<Run>> ReadRuns(const ClusterNode &node, QHash<QString, QList<Run>> runs = {})
{
    QFile log(node.RunLog());
    if (!log.open(QIODevice::ReadOnly))
        return runs;
    QHash<QString, QPair<QString, int>> open; // pid: job file name, index of its run
    for (const QByteArray &line : log.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 4)
            continue;
        const QString pid = QString::fromLatin1(fields.at(2));
        const QString name = QString::fromUtf8(fields.at(3));
        if (fields.at(0) == "start") {
            runs[name].append(Run{node.Name(), fields.at(1).toLongLong(), -1});
            open.insert(pid, {name, runs[name].size() - 1});
        } else if (open.contains(pid)) {
            const auto run = open.take(pid);
            runs[run.first][run.second].end = fields.at(1).toLongLong();
        }
    }
    return runs;
}

// The ends of runs a node keeps on disk until the database has them.
QStringList KeptEnds(const ClusterNode &node)
{
    QStringList found;
    QDirIterator it(node.Root(), {QStringLiteral("*") + QLatin1String(ClusterStore::RunEndSuffix)}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found << it.next();
    return found;
}

} // namespace

class TestCluster : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        folder.reset(new QTemporaryDir);
        QVERIFY(folder->isValid());
        if (ThrowawayPostgres::BinFolder().isEmpty())
            QSKIP("PostgreSQL (initdb) is not installed: apt-get install postgresql");
        QString error;
        QVERIFY2(database.Start(&error), qPrintable(error));
        connection = database.Connection(QStringLiteral("postgres"));
        // A has no engine slot: its jobs run on B and C.
        nodes.emplace_back(new ClusterNode(QStringLiteral("node-a"), folder->path(), connection, 0));
        nodes.emplace_back(new ClusterNode(QStringLiteral("node-b"), folder->path(), connection, 1));
        nodes.emplace_back(new ClusterNode(QStringLiteral("node-c"), folder->path(), connection, 1));
        for (auto &node : nodes)
            QVERIFY2(node->Start(), qPrintable(node->Name()));
    }

    // After a failure, what the nodes printed (a sanitizer's report, say)
    // goes to the test's output: the folder is gone afterwards.
    void cleanup()
    {
        if (!QTest::currentTestFailed())
            return;
        for (auto &node : nodes) {
            QFile log(node->ServiceLog());
            if (log.open(QIODevice::ReadOnly))
                qInfo("--- %s (last 16 KiB) ---\n%s", qPrintable(node->Name()), log.readAll().right(16384).constData());
        }
    }

    void cleanupTestCase()
    {
        nodes.clear();
        database.Stop();
    }

    // A job added on A runs on B or C; every node lists the same queue, and
    // a move made on one node shows on the others.
    void oneQueueForEveryNode()
    {
        ProtocolTestClient onA(false), onB(false), onC(false);
        QVERIFY(onA.Open(nodes[0]->Port(), Client(2)));
        QVERIFY(onB.Open(nodes[1]->Port(), Client(2)));
        QVERIFY(onC.Open(nodes[2]->Port(), Client(2)));
        QStringList ids;
        for (int n = 0; n < 5; ++n) {
            const auto answer = Add(onA, QStringLiteral("one-%1.aex").arg(n), 10);
            QVERIFY2(answer.state, qPrintable(answer.content));
            ids << answer.content;
            // The node that made the change lists it at once.
            QVERIFY(!StateOf(List(onA), answer.content).isEmpty());
        }
        // Two run (B and C), three wait: B moves the last one to the top.
        QVERIFY(pollUntil([&] { return StateOf(List(onA), ids[1]) == QLatin1String("running"); }, 20000));
        const QByteArray move = QJsonDocument(QJsonObject{{QStringLiteral("job_id"), ids[4]}, {QStringLiteral("step"), int(MoveStep::Top)}})
                                    .toJson(QJsonDocument::Compact);
        QVERIFY(onB.Request("MOVE_NESTER_JOB_STEP", move).state);
        QStringList onNodeA, onNodeB, onNodeC;
        QVERIFY2(pollUntil([&] {
            onNodeA = Summary(List(onA));
            onNodeB = Summary(List(onB));
            onNodeC = Summary(List(onC));
            return onNodeA == onNodeB && onNodeB == onNodeC && onNodeA.contains(ids[4] + QStringLiteral(" waiting 1"));
        }, 10000), qPrintable(onNodeA.join(QLatin1Char('\n')) + QStringLiteral("\n--\n") + onNodeB.join(QLatin1Char('\n'))));
        QVERIFY(onNodeA.contains(ids[2] + QStringLiteral(" waiting 2")));
        // Down from the top on C swaps with the next waiting job.
        const QByteArray down = QJsonDocument(QJsonObject{{QStringLiteral("job_id"), ids[4]}, {QStringLiteral("step"), int(MoveStep::Down)}})
                                    .toJson(QJsonDocument::Compact);
        QVERIFY(onC.Request("MOVE_NESTER_JOB_STEP", down).state);
        QVERIFY(pollUntil([&] { return Summary(List(onA)).contains(ids[4] + QStringLiteral(" waiting 2")); }, 5000));
        QVERIFY(pollUntil([&] {
            const QJsonArray list = List(onB);
            for (const QString &id : ids) {
                if (StateOf(list, id) != QLatin1String("finished"))
                    return false;
            }
            return true;
        }, 60000));
        // A has no slot: it ran none of them.
        const QHash<QString, QList<Run>> runs = ReadRuns(*nodes[2], ReadRuns(*nodes[1], ReadRuns(*nodes[0])));
        for (int n = 0; n < 5; ++n) {
            const QList<Run> jobRuns = runs.value(QStringLiteral("one-%1.aex").arg(n));
            QCOMPARE(jobRuns.size(), 1);
            QVERIFY(jobRuns.first().node != QLatin1String("node-a"));
        }
        // A pick-up on any node ends the job there and everywhere.
        const auto picked = onC.Request("PICKUP_NESTER_JOB", ids[0].toUtf8(), 15000);
        QVERIFY(picked.state);
        QVERIFY(QByteArray::fromBase64(picked.content.toLatin1(), QByteArray::Base64UrlEncoding).contains("MARKER"));
        QVERIFY(pollUntil([&] { return StateOf(List(onA), ids[0]).isEmpty(); }, 5000));
    }

    // The operator's hold, release and pause through each node's channel
    // (zendralctl): a hold made on one node keeps the job from every node,
    // a held running job has its run stopped on the node that runs it, a
    // release on another node lets it run; a pause keeps that node alone
    // from starting runs, and every node's status shows it.
    void operatorHoldReleaseAndPause()
    {
        ProtocolTestClient onA(false);
        QVERIFY(onA.Open(nodes[0]->Port(), Client(3)));
        QCOMPARE(Ctl(*nodes[1], {"pause"}).first, 0);
        QCOMPARE(Ctl(*nodes[2], {"pause"}).first, 0);
        const QString first = Add(onA, QStringLiteral("op-1.aex"), 10).content;
        const QString second = Add(onA, QStringLiteral("op-2.aex"), 10).content;
        QVERIFY(!first.isEmpty() && !second.isEmpty());
        QCOMPARE(Ctl(*nodes[0], {"hold", first.mid(1, 8)}).first, 0);
        QVERIFY(pollUntil([&] { return CtlJob(*nodes[2], first).value("state") == QLatin1String("held"); }, 10000));
        QVERIFY(pollUntil([&] {
            const QJsonArray listed = QJsonDocument::fromJson(Ctl(*nodes[0], {"--json", "status"}).second)
                                          .object().value("nodes").toArray();
            int paused = 0;
            for (const QJsonValue &node : listed)
                paused += node.toObject().value("paused").toBool() ? 1 : 0;
            return listed.size() == 3 && paused == 2;
        }, 10000));
        // Paused B and C, and A without a slot: for several pick intervals
        // (1 s) nothing starts.
        QVERIFY(!pollUntil([&] { return CtlJob(*nodes[0], second).value("state") != QLatin1String("waiting"); }, 3000));

        // Only C resumes: the second job runs there, the held one does not.
        QCOMPARE(Ctl(*nodes[2], {"resume"}).first, 0);
        QVERIFY(pollUntil([&] { return CtlJob(*nodes[1], second).value("state") == QLatin1String("finished"); }, 30000));
        QCOMPARE(CtlJob(*nodes[1], first).value("state").toString(), QStringLiteral("held"));
        // Released on B, it runs on C (B is paused, A has no slot).
        QCOMPARE(Ctl(*nodes[1], {"release", first.mid(1, 8)}).first, 0);
        QVERIFY(pollUntil([&] { return CtlJob(*nodes[0], first).value("state") == QLatin1String("running"); }, 20000));
        QCOMPARE(CtlJob(*nodes[0], first).value("node").toString(), QStringLiteral("node-c"));
        // Held while it runs on C, from A: C stops it, no failure counted.
        QCOMPARE(Ctl(*nodes[0], {"hold", first.mid(1, 8)}).first, 0);
        QVERIFY(pollUntil([&] {
            const QJsonObject job = CtlJob(*nodes[2], first);
            return job.value("state") == QLatin1String("held") && job.value("node").toString().isEmpty();
        }, 20000));
        QCOMPARE(CtlJob(*nodes[2], first).value("failed_runs").toInt(), 0);

        QCOMPARE(Ctl(*nodes[1], {"resume"}).first, 0);
        QCOMPARE(Ctl(*nodes[2], {"remove", first.mid(1, 8), second.mid(1, 8)}).first, 0);
        QVERIFY(pollUntil([&] { return CtlJob(*nodes[0], first).isEmpty(); }, 10000));
    }

    // Moves up, down, to the top and to the bottom on each node in turn:
    // after each, every node lists the jobs in the order the database
    // holds (each node's copy applies the others' moves from the change
    // log). Jobs start meanwhile; a start does not change the order.
    void movesKeepEveryCopyInOrder()
    {
        std::vector<std::unique_ptr<ProtocolTestClient>> clients;
        for (auto &node : nodes) {
            clients.emplace_back(new ProtocolTestClient(false));
            QVERIFY(clients.back()->Open(node->Port(), Client(30)));
        }
        QStringList ids;
        for (int n = 0; n < 8; ++n) {
            const auto answer = Add(*clients[0], QStringLiteral("order-%1.aex").arg(n), 20);
            QVERIFY2(answer.state, qPrintable(answer.content));
            ids << answer.content;
        }
        PgConnection db;
        QVERIFY2(OpenDatabase(db), qPrintable(db.Error()));
        const auto databaseOrder = [&] {
            QStringList order;
            const PgResult rows = db.Exec("SELECT job_id FROM zendral_jobs ORDER BY ord");
            for (int r = 0; rows.Ok() && r < rows.Rows(); ++r) {
                if (ids.contains(rows.Text(r, 0)))
                    order << rows.Text(r, 0);
            }
            return order;
        };
        const auto nodeOrder = [&](int node) {
            QStringList order;
            for (const QJsonValue &job : List(*clients[size_t(node)]))
                order << job.toObject().value(QStringLiteral("job_id")).toString();
            return order;
        };
        // From the end of the queue (the jobs that wait longest), one
        // move per node in turn.
        const QList<QPair<int, MoveStep>> moves{{7, MoveStep::Top},    {6, MoveStep::Down}, {5, MoveStep::Down},
                                                {4, MoveStep::Up},     {7, MoveStep::Bottom}, {3, MoveStep::Down},
                                                {6, MoveStep::Up},     {5, MoveStep::Bottom}, {4, MoveStep::Down}};
        int moved = 0;
        for (int m = 0; m < moves.size(); ++m) {
            const QByteArray request = QJsonDocument(QJsonObject{{QStringLiteral("job_id"), ids[moves[m].first]},
                                                                 {QStringLiteral("step"), int(moves[m].second)}})
                                           .toJson(QJsonDocument::Compact);
            // Refused when the job has started meanwhile, or is at the end
            // already: the copies must agree either way.
            if (clients[size_t(m % 3)]->Request("MOVE_NESTER_JOB_STEP", request, 15000).state)
                ++moved;
            QStringList expected, seen;
            QVERIFY2(pollUntil([&] {
                expected = databaseOrder();
                for (int n = 0; n < 3; ++n) {
                    seen = nodeOrder(n);
                    if (seen != expected)
                        return false;
                }
                return expected.size() == ids.size();
            }, 20000), qPrintable(QStringLiteral("after move %1:\n%2\n-- database:\n%3")
                                      .arg(m)
                                      .arg(seen.join(QLatin1Char('\n')), expected.join(QLatin1Char('\n')))));
        }
        QVERIFY2(moved >= 6, "too few moves were made to tell anything");
        // The waiting jobs go, the running ones end by themselves, so that
        // later cases have the engines to themselves.
        QVERIFY(pollUntil([&] {
            int running = 0;
            for (const QJsonValue &value : List(*clients[0])) {
                const QJsonObject job = value.toObject();
                const QString state = job.value(QStringLiteral("state")).toString();
                if (state == QLatin1String("running"))
                    ++running;
                else
                    clients[0]->Request("REMOVE_NESTER_JOB", job.value(QStringLiteral("job_id")).toString().toUtf8(), 15000);
            }
            return running == 0 && List(*clients[0]).isEmpty();
        }, 90000));
    }

    // The node running a job hangs (SIGSTOP) past its lease: another node
    // takes the job over and runs it. The hung node's engine ends meanwhile;
    // once the node goes on, that old run's end changes nothing: the job
    // stays running until the new run ends, and then is finished.
    void endOfOldRunIgnored()
    {
        ProtocolTestClient onA(false);
        QVERIFY(onA.Open(nodes[0]->Port(), Client(31)));
        const auto answer = Add(onA, QStringLiteral("late.aex"), 20);
        QVERIFY(answer.state);
        const QString name = QStringLiteral("late.aex");
        ClusterNode *runner = nullptr;
        QVERIFY(pollUntil([&] { return (runner = RunnerOf(name)) != nullptr; }, 30000));
        ClusterNode *other = runner == nodes[1].get() ? nodes[2].get() : nodes[1].get();
        runner->Pause(true);
        // The other node takes the job over; the hung node's engine ends by
        // itself (its output waits in the pipe).
        const bool takenOver = pollUntil([&] {
            const QList<Run> old = ReadRuns(*runner).value(name);
            return !ReadRuns(*other).value(name).isEmpty() && !old.isEmpty() && old.first().end >= 0;
        }, 60000);
        runner->Pause(false);
        QVERIFY(takenOver);
        QVERIFY2(ReadRuns(*other).value(name).first().end < 0, "the new run ended before the old node went on");
        // Until the new run ends, the job runs: the old run's end, which the
        // node that hung writes once it goes on, is not taken.
        QString wrongState;
        QVERIFY(pollUntil([&] {
            const QString state = StateOf(List(onA), answer.content);
            // Read after the state: a job no longer running is right only
            // once the new run has ended.
            if (ReadRuns(*other).value(name).first().end >= 0)
                return true;
            if (state != QLatin1String("running"))
                wrongState = state;
            return !wrongState.isEmpty();
        }, 60000));
        QVERIFY2(wrongState.isEmpty(),
                 qPrintable(QStringLiteral("the job was %1 while its new run went on").arg(wrongState)));
        QVERIFY(pollUntil([&] { return StateOf(List(onA), answer.content) == QLatin1String("finished"); }, 30000));
        QCOMPARE(ReadRuns(*other).value(name).size(), 1);
        QVERIFY(ReadRuns(*other).value(name).first().end >= 0);
    }

    // The node running a job is killed: after the lease another node takes
    // the job over and finishes it; the runs never overlap.
    void killedNodeLosesItsJob()
    {
        ProtocolTestClient onA(false);
        QVERIFY(onA.Open(nodes[0]->Port(), Client(3)));
        const auto answer = Add(onA, QStringLiteral("kill.aex"), 20);
        QVERIFY(answer.state);
        ClusterNode *runner = nullptr;
        QVERIFY(pollUntil([&] {
            const QList<Run> runs = ReadRuns(*nodes[2], ReadRuns(*nodes[1])).value(QStringLiteral("kill.aex"));
            if (!runs.isEmpty())
                runner = runs.first().node == nodes[1]->Name() ? nodes[1].get() : nodes[2].get();
            return runner != nullptr;
        }, 20000));
        QTest::qWait(1000);
        const qint64 killedAt = QDateTime::currentMSecsSinceEpoch();
        runner->Kill();
        ClusterNode *other = runner == nodes[1].get() ? nodes[2].get() : nodes[1].get();
        QVERIFY(pollUntil([&] { return StateOf(List(onA), answer.content) == QLatin1String("finished"); }, 40000));
        const QList<Run> runs = ReadRuns(*other).value(QStringLiteral("kill.aex"));
        QCOMPARE(runs.size(), 1);
        QVERIFY(runs.first().start > killedAt);
        QVERIFY(runner->Start());
    }

    // Adds on all three nodes at once while B is killed and started again:
    // every acknowledged job is there and finishes, and no job runs on two
    // nodes at the same time.
    void addsAndKillsLoseNothing()
    {
        std::atomic<bool> stop{false};
        std::mutex mutex;
        QStringList acknowledged;
        std::vector<std::thread> adders;
        const QVector<quint16> ports{nodes[0]->Port(), nodes[1]->Port(), nodes[2]->Port()};
        for (int t = 0; t < 3; ++t) {
            adders.emplace_back([&, t] {
                ProtocolTestClient client(false);
                if (!client.Open(ports[t], Client(10 + t)))
                    return;
                for (int n = 0; n < 12 && !stop; ++n) {
                    const auto answer = Add(client, QStringLiteral("burst-%1-%2.aex").arg(t).arg(n), 1);
                    if (!answer.ok)
                        return; // the node went away: what it acknowledged counts
                    if (answer.state) {
                        std::lock_guard<std::mutex> lock(mutex);
                        acknowledged << answer.content;
                    }
                }
            });
        }
        QTest::qWait(700);
        nodes[1]->Kill();
        // Taken once B is gone: a run it started until then has ended.
        const qint64 killedAt = QDateTime::currentMSecsSinceEpoch();
        QTest::qWait(1500);
        QVERIFY(nodes[1]->Start());
        for (std::thread &adder : adders)
            adder.join();
        QVERIFY(acknowledged.size() >= 24);
        ProtocolTestClient checker(false);
        QVERIFY(checker.Open(nodes[2]->Port(), Client(10)));
        QStringList unfinished;
        QVERIFY2(pollUntil([&] {
            QJsonArray all;
            for (int t = 0; t < 3; ++t) {
                ProtocolTestClient client(false);
                if (!client.Open(ports[2], Client(10 + t)))
                    return false;
                for (const QJsonValue &job : List(client))
                    all.append(job);
            }
            unfinished.clear();
            for (const QString &id : acknowledged) {
                if (StateOf(all, id) != QLatin1String("finished"))
                    unfinished << id + QLatin1Char(' ') + StateOf(all, id);
            }
            return unfinished.isEmpty();
        }, 90000), qPrintable(unfinished.join(QLatin1Char('\n'))));
        // Runs of one job never overlap. A run killed with node B has no end
        // in the log: it ended when B was killed.
        QHash<QString, QList<Run>> runs;
        for (auto &node : nodes)
            runs = ReadRuns(*node, runs);
        for (auto it = runs.cbegin(); it != runs.cend(); ++it) {
            if (!it.key().startsWith(QLatin1String("burst-")))
                continue;
            QList<Run> list = it.value();
            for (Run &run : list) {
                if (run.end < 0 && run.node == nodes[1]->Name() && run.start <= killedAt)
                    run.end = killedAt;
            }
            std::sort(list.begin(), list.end(), [](const Run &a, const Run &b) { return a.start < b.start; });
            for (int i = 1; i < list.size(); ++i) {
                const Run &before = list.at(i - 1);
                const QString runs = QStringLiteral("%1: run on %2 from %3 to %4, next on %5 from %6")
                                         .arg(it.key(), before.node)
                                         .arg(before.start)
                                         .arg(before.end)
                                         .arg(list.at(i).node)
                                         .arg(list.at(i).start);
                // A run stopped by its node (its lease lost) has no end line.
                QVERIFY2(before.end >= 0, qPrintable(runs + QStringLiteral(" (no end: stopped)")));
                QVERIFY2(before.end <= list.at(i).start, qPrintable(runs + QStringLiteral(" (overlap)")));
            }
        }
    }

    // While the database is away, adds are refused with a clear reply and
    // nothing acknowledged is lost; afterwards everything goes on.
    void databaseOutageRefusesAdds()
    {
        ProtocolTestClient onA(false), onC(false);
        QVERIFY(onA.Open(nodes[0]->Port(), Client(20)));
        QVERIFY(onC.Open(nodes[2]->Port(), Client(20)));
        QStringList ids;
        for (int n = 0; n < 2; ++n) {
            const auto answer = Add(onA, QStringLiteral("outage-%1.aex").arg(n), 6);
            QVERIFY(answer.state);
            ids << answer.content;
        }
        database.Stop();
        for (ProtocolTestClient *client : {&onA, &onC}) {
            const auto refused = Add(*client, QStringLiteral("refused.aex"), 1);
            QVERIFY(refused.ok);
            QVERIFY(!refused.state);
            QCOMPARE(refused.content, QStringLiteral("Service busy..."));
        }
        QCOMPARE(Summary(List(onA)).size(), 2); // the list still answers
        QTest::qWait(2000);
        QString error;
        QVERIFY2(database.Resume(&error), qPrintable(error));
        QVERIFY(pollUntil([&] {
            const auto answer = Add(onC, QStringLiteral("outage-after.aex"), 1);
            if (answer.state)
                ids << answer.content;
            return answer.state;
        }, 30000));
        QVERIFY(pollUntil([&] {
            const QJsonArray list = List(onA);
            for (const QString &id : ids) {
                if (StateOf(list, id) != QLatin1String("finished"))
                    return false;
            }
            return true;
        }, 60000));
        QCOMPARE(Summary(List(onA)).size(), 3);
    }

    // A node that hangs (SIGSTOP) holds up no other node. D stops itself
    // while it reports progress: none of its sessions waits inside a
    // transaction. While the queue's lock is held longer than a lease (by
    // the test here; D's lease runs out, so every reaper waits for it), the
    // lease of the job running on E is renewed all along. D, going on, stops
    // itself inside its next change, holding the queue's lock: the server
    // ends that session within seconds and an add on A is answered.
    void hungNodeStallsNoOne()
    {
        // B and C step aside: the jobs run on D and on E (a slow engine).
        nodes[1]->Kill();
        nodes[2]->Kill();
        ClusterNode hung(QStringLiteral("node-d"), folder->path(), connection, 1);
        hung.SetEnvironment(QStringLiteral("ZENDRAL_TEST_STOP_AT"), QStringLiteral("progress,change"));
        ClusterNode healthy(QStringLiteral("node-e"), folder->path(), connection, 1);
        healthy.SetEnvironment(QStringLiteral("ZENDRAL_STUB_PAUSE_MS"), QStringLiteral("1000"));
        QVERIFY(hung.Start());
        QVERIFY(healthy.Start());
        PgConnection db;
        QVERIFY2(OpenDatabase(db), qPrintable(db.Error()));
        ProtocolTestClient onA(false);
        QVERIFY(onA.Open(nodes[0]->Port(), Client(40)));
        QStringList ids;
        for (int n = 0; n < 2; ++n) {
            const auto answer = Add(onA, QStringLiteral("hang-%1.aex").arg(n), 20);
            QVERIFY2(answer.state, qPrintable(answer.content));
            ids << answer.content;
        }
        const auto runningOn = [&](const char *node) {
            const PgResult row = db.Exec("SELECT job_id FROM zendral_jobs WHERE node = $1 AND state = 1 AND "
                                         "job_id IN ($2, $3)",
                                         {node, ids[0], ids[1]});
            return row.Ok() && row.Rows() == 1 ? row.Text(0, 0) : QString();
        };
        QVERIFY(pollUntil([&] { return hung.IsStopped(); }, 30000));
        QString slowJob;
        QVERIFY(pollUntil([&] { return !(slowJob = runningOn("node-e")).isEmpty(); }, 20000));
        const auto waitingInTransaction = [&](const char *node) {
            const PgResult count = db.Exec("SELECT count(*) FROM pg_stat_activity WHERE application_name = $1 "
                                           "AND state LIKE 'idle in transaction%'",
                                           {QStringLiteral("zendral %1").arg(QLatin1String(node))});
            return count.Ok() ? count.Int(0, 0) : -1;
        };
        for (int n = 0; n < 10; ++n) {
            QCOMPARE(waitingInTransaction("node-d"), 0);
            QTest::qWait(200);
        }

        // Statements inside the transaction keep the test's own session busy.
        QVERIFY(db.Begin());
        QVERIFY(db.Run("SELECT pg_advisory_xact_lock($1)", {ClusterStore::QueueLockKey}));
        QElapsedTimer held;
        held.start();
        while (held.elapsed() < 7000) {
            const PgResult lease = db.Exec("SELECT count(*) FROM zendral_jobs WHERE job_id = $1 AND state = 1 AND "
                                           "lease_until > clock_timestamp()",
                                           {slowJob});
            QVERIFY2(lease.Ok() && lease.Int(0, 0) == 1,
                     qPrintable(QStringLiteral("the lease of E's job ran out after %1 ms of the lock held: %2")
                                    .arg(held.elapsed())
                                    .arg(db.Error())));
            QTest::qWait(250);
        }
        QVERIFY(db.Commit());

        // D's job goes back (its lease ran out); then D goes on and stops
        // inside a change.
        QVERIFY(pollUntil([&] { return runningOn("node-d").isEmpty(); }, 20000));
        hung.Pause(false);
        QVERIFY(pollUntil([&] { return hung.IsStopped(); }, 30000));
        QElapsedTimer answered;
        answered.start();
        const auto late = Add(onA, QStringLiteral("after-hang.aex"), 1);
        QVERIFY2(late.state, qPrintable(late.content));
        QVERIFY2(answered.elapsed() < 9000, qPrintable(QStringLiteral("answered after %1 ms").arg(answered.elapsed())));
        QVERIFY(pollUntil([&] { return waitingInTransaction("node-d") == 0; }, 10000));
        hung.Kill();
        // E's run was never charged for D's hang.
        QVERIFY(pollUntil([&] { return StateOf(List(onA), slowJob) == QLatin1String("finished"); }, 40000));
        const PgResult failed = db.Exec("SELECT failed_runs FROM zendral_jobs WHERE job_id = $1", {slowJob});
        QVERIFY(failed.Ok() && failed.Rows() == 1);
        QCOMPARE(failed.Int(0, 0), 0);
        healthy.Kill();
        QVERIFY(nodes[1]->Start());
        QVERIFY(nodes[2]->Start());
    }

    // The run's end comes while the database is away and its node is then
    // stopped (SIGTERM): the end and the result wait on disk, and once the
    // database is back the restarted node writes them. The job is finished
    // with its result and no failed run; the kept end is gone.
    void runEndSurvivesOutageAndRestart()
    {
        for (size_t n = 1; n < nodes.size(); ++n) {
            if (nodes[n]->Pid() == 0) // stopped by a case before that failed
                QVERIFY(nodes[n]->Start());
        }
        ProtocolTestClient onA(false);
        QVERIFY(onA.Open(nodes[0]->Port(), Client(41)));
        const QString name = QStringLiteral("kept.aex");
        const auto answer = Add(onA, name, 8);
        QVERIFY(answer.state);
        ClusterNode *runner = nullptr;
        QVERIFY(pollUntil([&] { return (runner = RunnerOf(name)) != nullptr; }, 30000));
        ClusterNode *other = runner == nodes[1].get() ? nodes[2].get() : nodes[1].get();
        database.Stop();
        QVERIFY(pollUntil([&] {
            const QList<Run> runs = ReadRuns(*runner).value(name);
            return !runs.isEmpty() && runs.first().end >= 0 && !KeptEnds(*runner).isEmpty();
        }, 30000));
        QVERIFY(runner->Terminate());
        QCOMPARE(KeptEnds(*runner).size(), 1);
        // The other nodes hang until the job is written, so that none takes
        // it over (its lease ran out) before the runner is back.
        nodes[0]->Pause(true);
        other->Pause(true);
        const bool restarted = runner->Start();
        QString error;
        const bool resumed = database.Resume(&error);
        PgConnection db;
        const bool opened = resumed && OpenDatabase(db);
        int state = -1;
        const bool written = opened && pollUntil([&] {
            const PgResult row = db.Exec("SELECT state FROM zendral_jobs WHERE job_id = $1", {answer.content});
            state = row.Ok() && row.Rows() == 1 ? int(row.Int(0, 0)) : -1;
            return state != 1;
        }, 30000);
        nodes[0]->Pause(false);
        other->Pause(false);
        QVERIFY(restarted);
        QVERIFY2(resumed, qPrintable(error));
        QVERIFY2(opened, qPrintable(db.Error()));
        QVERIFY(written);
        const PgResult row = db.Exec("SELECT state, failed_runs, (SELECT count(*) FROM zendral_results r WHERE "
                                     "r.job_id = j.job_id) FROM zendral_jobs j WHERE job_id = $1",
                                     {answer.content});
        QVERIFY(row.Ok() && row.Rows() == 1);
        QCOMPARE(int(row.Int(0, 0)), 2); // finished
        QCOMPARE(int(row.Int(0, 1)), 0);
        QCOMPARE(int(row.Int(0, 2)), 1);
        QVERIFY(pollUntil([&] { return KeptEnds(*runner).isEmpty(); }, 10000));
        QCOMPARE(ReadRuns(*runner).value(name).size() + ReadRuns(*other).value(name).size(), 1);
        ProtocolTestClient onRunner(false);
        QVERIFY(onRunner.Open(runner->Port(), Client(41)));
        const auto picked = onRunner.Request("PICKUP_NESTER_JOB", answer.content.toUtf8(), 15000);
        QVERIFY(picked.state);
        QVERIFY(QByteArray::fromBase64(picked.content.toLatin1(), QByteArray::Base64UrlEncoding).contains("MARKER"));
    }

private:
    // Which of B and C ran the job of this name first (null: none yet).
    ClusterNode *RunnerOf(const QString &name)
    {
        const QList<Run> runs = ReadRuns(*nodes[2], ReadRuns(*nodes[1])).value(name);
        if (runs.isEmpty())
            return nullptr;
        return runs.first().node == nodes[1]->Name() ? nodes[1].get() : nodes[2].get();
    }

    bool OpenDatabase(PgConnection &db)
    {
        return db.Open({{"host", "127.0.0.1"},
                        {"port", QByteArray::number(database.Port())},
                        {"dbname", "postgres"},
                        {"user", "zendral"}});
    }

    // zendralctl on a node's channel: its exit code and standard output.
    static QPair<int, QByteArray> Ctl(const ClusterNode &node, const QStringList &arguments)
    {
        QProcess run;
        run.start(QStringLiteral(ZENDRALCTL_PATH), QStringList{"--socket", node.AdminSocket()} + arguments);
        if (!run.waitForFinished(30000)) {
            run.kill();
            run.waitForFinished(5000);
            return {-1, QByteArray()};
        }
        if (run.exitCode() != 0)
            qWarning("zendralctl %s: %s", qPrintable(arguments.join(' ')), run.readAllStandardError().constData());
        return {run.exitCode(), run.readAllStandardOutput()};
    }

    // The job as zendralctl lists it on the node (empty when not listed).
    static QJsonObject CtlJob(const ClusterNode &node, const QString &id)
    {
        const QJsonArray jobs = QJsonDocument::fromJson(Ctl(node, {"--json", "jobs"}).second).object().value("jobs").toArray();
        for (const QJsonValue &job : jobs)
            if (job.toObject().value("id").toString() == id)
                return job.toObject();
        return QJsonObject();
    }

    std::unique_ptr<QTemporaryDir> folder;
    QString connection;
    ThrowawayPostgres database;
    std::vector<std::unique_ptr<ClusterNode>> nodes;
};

QTEST_GUILESS_MAIN(TestCluster)
#include "tst_cluster.moc"
