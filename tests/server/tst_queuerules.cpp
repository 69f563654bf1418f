// The queue's rules seen from its operations, the same scenarios against
// both stores: the file journal and a queue shared through PostgreSQL (a
// throwaway server of this test's own). Set ZENDRAL_SKIP_PG=1 to run the
// file store only; without it a PostgreSQL that cannot start fails the test.
#include "JobFolders.h"
#include "JournalStore.h"
#include "LocalServer.h"
#include "MoveStep.h"
#include "NesterJob.h"
#include "StoreTestSupport.h"
#include "ThrowawayPostgres.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QtTest>

#include <memory>

using namespace Orvane::Zendral;
using StoreTest::AddRequest;
using StoreTest::MoveRequest;

namespace {

const QString Client = QStringLiteral("192.168.1.20");
const Reply Refused(false, QByteArray());

bool SkipPostgres()
{
    return qEnvironmentVariableIntValue("ZENDRAL_SKIP_PG") == 1;
}

} // namespace

class TestQueueRules : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void addListMoveRemove_data() { stores(); }
    void addListMoveRemove();
    void movesAroundARunningJob_data() { stores(); }
    void movesAroundARunningJob();
    void pickUpEndsTheJob_data() { stores(); }
    void pickUpEndsTheJob();
    void failedRunWaitsThenFailsThenRetry_data() { stores(); }
    void failedRunWaitsThenFailsThenRetry();
    void stoppedRunCountsNoFailure_data() { stores(); }
    void stoppedRunCountsNoFailure();
    void startThatFailedIsAFailedRun_data() { stores(); }
    void startThatFailedIsAFailedRun();
    void engineOutputKeptWithTheRecord_data() { stores(); }
    void engineOutputKeptWithTheRecord();
    void journalReplayAppliesChanges();
    void runWithoutResultIsAFailedRun_data() { stores(); }
    void runWithoutResultIsAFailedRun();
    void removalOnReadOnlyFolderIsRefused();
    void journalWithoutBackupTakesNoChange();
    void brokenFolderGivesJobBack_data();
    void brokenFolderGivesJobBack();
    void segmentWithoutHeaderKeepsItsRecords();
    void holdKeepsPlaceAndIsNeverPicked_data() { stores(); }
    void holdKeepsPlaceAndIsNeverPicked();
    void holdOfRunningJobStopsItWithoutFailure_data() { stores(); }
    void holdOfRunningJobStopsItWithoutFailure();
    void holdRunsOutAndSurvivesRestart_data() { stores(); }
    void holdRunsOutAndSurvivesRestart();

private:
    void stores();
    // A fresh queue of the row's store with the given failure policy.
    void open(int maxFailedRuns, int retryDelaySeconds);
    QString add(const QString &name);
    // The client's list: job ids head first, and each job's listed fields.
    QStringList order();
    QJsonObject listed(const QString &id);
    // Picks the next job and starts it as the engine runner does; its id.
    QString pickAndStart();
    // The engine's result of the running job, as its runner delivers it.
    bool result(const QString &id, const QByteArray &bytes)
    {
        return server->UpdateData(QJsonObject{{"job_id", id}, {"data", QString::fromLatin1(bytes.toBase64())}});
    }
    // A run that ends well: a result, then exit code 0.
    void finish(const QString &id)
    {
        QVERIFY(result(id, "result of " + id.toLatin1()));
        server->OnJobEnded(id, 0, QString(), false);
    }
    bool move(const QString &id, MoveStep step) { return server->MoveNesterJob(MoveRequest(id, step)).first; }

    ThrowawayPostgres postgres;
    bool postgresUp = false;
    int databases = 0;
    std::unique_ptr<LocalServer> server;
};

void TestQueueRules::initTestCase()
{
    if (SkipPostgres())
        return;
    QString error;
    QVERIFY2(!ThrowawayPostgres::BinFolder().isEmpty(),
             "PostgreSQL (initdb) is not installed; set ZENDRAL_SKIP_PG=1 to test the file store only");
    QVERIFY2(postgres.Start(&error), qPrintable(error));
    postgresUp = true;
}

void TestQueueRules::cleanup()
{
    server.reset();
}

void TestQueueRules::stores()
{
    QTest::addColumn<bool>("shared");
    QTest::newRow("journal") << false;
    if (!SkipPostgres())
        QTest::newRow("postgresql") << true;
}

void TestQueueRules::open(int maxFailedRuns, int retryDelaySeconds)
{
    QFETCH(bool, shared);
    server.reset();
    const QString name = QStringLiteral("%1_%2").arg(QLatin1String(QTest::currentTestFunction()),
                                                     QLatin1String(QTest::currentDataTag()));
    QVERIFY(StoreTest::UseFreshDataFolder(name));
    QSettings settings;
    settings.clear();
    settings.setValue("worker/max_failed_runs", maxFailedRuns);
    settings.setValue("worker/retry_delay_seconds", retryDelaySeconds);
    if (shared) {
        QVERIFY(postgresUp);
        const QString database = QStringLiteral("rules%1").arg(++databases);
        QString error;
        QVERIFY2(postgres.CreateDatabase(database, &error), qPrintable(error));
        settings.setValue("store/backend", "postgresql");
        settings.setValue("store/connection", postgres.Connection(database));
        settings.setValue("store/node", "node-a");
    }
    settings.sync();
    server = std::make_unique<LocalServer>();
    QVERIFY(server->Shared() != nullptr || !shared);
    QVERIFY(order().isEmpty());
}

QString TestQueueRules::add(const QString &name)
{
    const Reply reply = server->AddNesterJob(AddRequest(name, "document of " + name.toUtf8(), 20), Client);
    return reply.first ? QString::fromLatin1(reply.second) : QString();
}

QStringList TestQueueRules::order()
{
    QStringList ids;
    const QJsonArray list = QJsonDocument::fromJson(server->GetNesterJobList(Client, QString()).second).array();
    for (const QJsonValue &item : list)
        ids << item.toObject().value("job_id").toString();
    return ids;
}

QJsonObject TestQueueRules::listed(const QString &id)
{
    const QJsonArray list = QJsonDocument::fromJson(server->GetNesterJobList(Client, QString()).second).array();
    for (const QJsonValue &item : list) {
        if (item.toObject().value("job_id").toString() == id)
            return item.toObject();
    }
    return QJsonObject();
}

QString TestQueueRules::pickAndStart()
{
    const PickedJob picked = server->PickJob();
    if (!picked.IsValid())
        return QString();
    server->OnJobStarted(picked.job_id);
    return picked.job_id;
}

// Every step of a move on waiting jobs, places as the client sees them,
// steps that cannot move, and removal.
void TestQueueRules::addListMoveRemove()
{
    open(3, 60);
    const QString a = add("a.aex"), b = add("b.aex"), c = add("c.aex"), d = add("d.aex");
    QVERIFY(!a.isEmpty() && !b.isEmpty() && !c.isEmpty() && !d.isEmpty());
    QCOMPARE(order(), (QStringList{a, b, c, d}));
    QCOMPARE(listed(c).value("position").toInt(), 3);
    QCOMPARE(listed(c).value("state").toString(), QStringLiteral("waiting"));
    QCOMPARE(listed(c).value("job_name").toString(), "c:" + Client);

    QVERIFY(move(d, MoveStep::Up));
    QCOMPARE(order(), (QStringList{a, b, d, c}));
    QVERIFY(move(d, MoveStep::Top));
    QCOMPARE(order(), (QStringList{d, a, b, c}));
    QVERIFY(move(a, MoveStep::Down));
    QCOMPARE(order(), (QStringList{d, b, a, c}));
    QVERIFY(move(d, MoveStep::Bottom));
    QCOMPARE(order(), (QStringList{b, a, c, d}));
    QVERIFY(move(c, MoveStep::Top));
    QCOMPARE(order(), (QStringList{c, b, a, d}));
    QCOMPARE(listed(a).value("position").toInt(), 3);

    QVERIFY(!move(c, MoveStep::Up));     // the head
    QVERIFY(!move(c, MoveStep::Top));
    QVERIFY(!move(d, MoveStep::Down));   // the tail
    QVERIFY(!move(d, MoveStep::Bottom));
    QCOMPARE(server->MoveNesterJob(MoveRequest(a, 2)), Refused); // no such step
    QCOMPARE(server->MoveNesterJob(MoveRequest("{none}", 1)), Refused);
    QCOMPARE(order(), (QStringList{c, b, a, d}));

    QCOMPARE(server->RemoveNesterJob(b), Reply(true, QByteArray()));
    QCOMPARE(order(), (QStringList{c, a, d}));
    QCOMPARE(listed(d).value("position").toInt(), 3);
    QCOMPARE(server->RemoveNesterJob(b), Reply(false, "Job non-existent..."));
}

// A running job does not move, and no waiting job passes it upwards; down
// passes it.
void TestQueueRules::movesAroundARunningJob()
{
    open(3, 60);
    const QString a = add("a.aex"), b = add("b.aex"), c = add("c.aex");
    QCOMPARE(pickAndStart(), a);
    QCOMPARE(listed(a).value("state").toString(), QStringLiteral("running"));
    QCOMPARE(listed(a).value("position").toInt(), 0);
    QCOMPARE(listed(b).value("position").toInt(), 1);
    QVERIFY(!move(a, MoveStep::Down));
    QVERIFY(!move(b, MoveStep::Up));  // the previous job runs
    QVERIFY(!move(b, MoveStep::Top)); // already the first waiting job
    QVERIFY(move(c, MoveStep::Top));
    QCOMPARE(order(), (QStringList{a, c, b}));
    QVERIFY(move(c, MoveStep::Down));
    QCOMPARE(order(), (QStringList{a, b, c}));
}

// A finished job's result goes to the client once; the job is gone then.
void TestQueueRules::pickUpEndsTheJob()
{
    open(3, 60);
    const QString a = add("a.aex");
    QCOMPARE(pickAndStart(), a);
    QVERIFY(server->UpdateData(QJsonObject{{"job_id", a}, {"data", QString::fromLatin1(QByteArray("result").toBase64())}}));
    server->OnJobEnded(a, 0, QString(), false);
    QCOMPARE(listed(a).value("state").toString(), QStringLiteral("finished"));
    QCOMPARE(listed(a).value("complete_percent").toDouble(), 100.0);
    QVERIFY(!server->PickJob().IsValid());
    QCOMPARE(server->PickUpNesterJob(a), Reply(true, QByteArray("result").toBase64(QByteArray::Base64UrlEncoding)));
    QVERIFY(order().isEmpty());
    QVERIFY(!server->PickUpNesterJob(a).first);
}

// A failed run waits at its place for the retry delay while the jobs behind
// it run; after the maximum of failed runs it is failed and listed so, until
// the operator's retry puts it at the tail with its count reset.
void TestQueueRules::failedRunWaitsThenFailsThenRetry()
{
    open(2, 1);
    const QString a = add("a.aex"), b = add("b.aex"), c = add("c.aex");
    QCOMPARE(pickAndStart(), a);
    server->OnJobEnded(a, 3, "exit code 3", false);
    QCOMPARE(listed(a).value("state").toString(), QStringLiteral("waiting"));
    QCOMPARE(order(), (QStringList{a, b, c}));
    QCOMPARE(pickAndStart(), b); // a waits for its retry
    finish(b);
    QTest::qWait(1500); // past the retry delay: a, at the head, goes before c
    QCOMPARE(pickAndStart(), a);
    server->OnJobEnded(a, 124, "time limit exceeded", false);
    QCOMPARE(listed(a).value("state").toString(), QStringLiteral("failed"));
    QCOMPARE(listed(a).value("error").toString(), QStringLiteral("time limit exceeded"));
    QCOMPARE(listed(a).value("position").toInt(), 0);
    QCOMPARE(listed(c).value("position").toInt(), 1);
    QVERIFY(!move(a, MoveStep::Down)); // a failed job does not move
    QCOMPARE(pickAndStart(), c);
    finish(c);
    QVERIFY(!server->PickJob().IsValid()); // never handed out again

    QCOMPARE(server->RetryNesterJob(b), Reply(false, "Job non-existent...")); // b is not failed
    QCOMPARE(server->RetryNesterJob(a), Reply(true, QByteArray()));
    QCOMPARE(order(), (QStringList{b, c, a}));
    QCOMPARE(listed(a).value("state").toString(), QStringLiteral("waiting"));
    QCOMPARE(listed(a).value("position").toInt(), 1);
    QCOMPARE(pickAndStart(), a); // no retry delay after the operator's retry
    server->OnJobEnded(a, 3, "exit code 3", false);
    QCOMPARE(listed(a).value("state").toString(), QStringLiteral("waiting")); // the count starts again
}

// The engine's last words and the run's times stay with the record, in the
// list of a failed job and across a restart of the service; in this
// machine's queue a run log beside the job holds them and goes with the job.
void TestQueueRules::engineOutputKeptWithTheRecord()
{
    QFETCH(bool, shared);
    open(1, 60);
    const QString a = add("a.aex");
    QCOMPARE(pickAndStart(), a);
    const QString words = QStringLiteral("checking licence\nlicence file missing\n");
    server->OnJobEnded(a, 3, "exit code 3: licence file missing", false, words);
    QCOMPARE(listed(a).value("error").toString(), QStringLiteral("exit code 3: licence file missing"));
    QCOMPARE(listed(a).value("engine_output").toString(), words);
    NesterJob job;
    QVERIFY(server->CopyJob(a, &job));
    QVERIFY(!job.run_start.isEmpty());
    QVERIFY(job.run_end >= job.run_start);
    const QString log = job.RunLogPath();
    if (!shared) {
        QFile file(log);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY2(text.contains("licence file missing\n") && text.contains(job.run_start.toLatin1()), text.constData());
    }

    server.reset(); // a restart on the same store
    server = std::make_unique<LocalServer>();
    QCOMPARE(listed(a).value("engine_output").toString(), words);
    NesterJob restored;
    QVERIFY(server->CopyJob(a, &restored));
    QCOMPARE(restored.run_start, job.run_start);
    QCOMPARE(restored.run_end, job.run_end);
    QVERIFY(server->RemoveNesterJob(a).first);
    QVERIFY(!QFile::exists(log));
}

// A run the operator stopped waits again at its place, at once, with no
// failure counted.
void TestQueueRules::stoppedRunCountsNoFailure()
{
    open(1, 60);
    const QString a = add("a.aex"), b = add("b.aex");
    QCOMPARE(pickAndStart(), a);
    server->OnJobEnded(a, 9, "stopped", true);
    QCOMPARE(listed(a).value("state").toString(), QStringLiteral("waiting"));
    QCOMPARE(order(), (QStringList{a, b}));
    QCOMPARE(pickAndStart(), a);
}

// An engine that never started (exit -1) is a failed run like any other: it
// waits for the retry delay, and it counts towards the maximum.
void TestQueueRules::startThatFailedIsAFailedRun()
{
    open(2, 60);
    const QString a = add("a.aex"), b = add("b.aex");
    QCOMPARE(pickAndStart(), a);
    server->OnJobEnded(a, -1, "did not start within 30 s", false);
    QCOMPARE(listed(a).value("state").toString(), QStringLiteral("waiting"));
    QCOMPARE(pickAndStart(), b); // a waits for its retry
    server->OnJobEnded(b, -1, "an earlier engine still runs", false);
    QVERIFY(!server->PickJob().IsValid());

    open(1, 60);
    const QString c = add("c.aex");
    QCOMPARE(pickAndStart(), c);
    server->OnJobEnded(c, -1, "did not start within 30 s", false);
    QCOMPARE(listed(c).value("state").toString(), QStringLiteral("failed"));
    QCOMPARE(listed(c).value("error").toString(), QStringLiteral("did not start within 30 s"));
}

// The journal's changes, replayed after a crash (no final backup), give the
// order the queue had: the same function applies them as a shared queue's
// change log. A change of an unknown kind is refused and leaves no record
// that would end the replay early.
void TestQueueRules::journalReplayAppliesChanges()
{
    QVERIFY(StoreTest::UseFreshDataFolder(QStringLiteral("journalReplay")));
    JobFolders folders;
    QStringList ids;
    {
        JournalStore store(folders.Dir());
        QList<NesterJob *> none;
        store.Load(none);
        quint64 ticket = 0;
        for (const char *name : {"a.aex", "b.aex", "c.aex", "d.aex"}) {
            const QString file = folders.MakeJobFolder(Client) + "/" + name;
            QVERIFY(StoreTest::WriteFile(file, "document"));
            const NesterJob job(file, Client, 10);
            ids << job.job_id;
            QueueChange put;
            put.id = job.job_id;
            put.record = QJsonDocument(job.ToJson(0)).toJson(QJsonDocument::Compact);
            put.newFile = file;
            ticket = store.Record(put);
        }
        const auto move = [&](int job, int after) {
            QueueChange change;
            change.kind = QueueChange::Move;
            change.id = ids[job];
            change.after = after < 0 ? QString() : ids[after];
            ticket = store.Record(change);
        };
        QueueChange unknown; // of a kind this version does not know
        unknown.kind = QueueChange::Kind(3);
        unknown.id = ids[0];
        QCOMPARE(store.Record(unknown), quint64(0)); // not taken, and no record
        move(3, 1);  // a b d c
        move(0, 2);  // b d c a
        move(2, -1); // c b d a
        QueueChange remove;
        remove.kind = QueueChange::Remove;
        remove.id = ids[0];
        ticket = store.Record(remove);
        QVERIFY(store.WaitDurable(ticket));
    }
    JournalStore again(folders.Dir());
    QList<NesterJob *> restored;
    again.Load(restored);
    QStringList order;
    for (const NesterJob *job : qAsConst(restored))
        order << job->job_id;
    qDeleteAll(restored);
    QCOMPARE(order, (QStringList{ids[2], ids[1], ids[3]}));
}

// An engine that exits 0 without a result, or with an empty one, has failed
// its run; a result an earlier, failed run left is not this run's result.
void TestQueueRules::runWithoutResultIsAFailedRun()
{
    open(2, 0);
    const QString a = add("a.aex");
    QCOMPARE(pickAndStart(), a);
    QVERIFY(result(a, "result of the first run"));
    server->OnJobEnded(a, 3, "exit code 3", false);
    QCOMPARE(pickAndStart(), a);
    QVERIFY(result(a, QByteArray()));
    server->OnJobEnded(a, 0, QString(), false);
    QCOMPARE(listed(a).value("state").toString(), QStringLiteral("failed"));
    QCOMPARE(listed(a).value("error").toString(), QStringLiteral("no result written"));

    const QString b = add("b.aex");
    QCOMPARE(pickAndStart(), b);
    finish(b);
    QCOMPARE(listed(b).value("state").toString(), QStringLiteral("finished"));
    QCOMPARE(server->PickUpNesterJob(b).second, QByteArray("result of " + b.toLatin1()).toBase64(QByteArray::Base64UrlEncoding));
}

// Removal and pick-up on a read-only jobs folder are refused with a reason,
// and the jobs are still there after a restart.
void TestQueueRules::removalOnReadOnlyFolderIsRefused()
{
    QVERIFY(StoreTest::UseFreshDataFolder(QStringLiteral("readOnly")));
    QSettings settings;
    settings.clear();
    settings.setValue("worker/min_free_disk_mb", 0);
    settings.sync();
    server = std::make_unique<LocalServer>();
    const QString b = add("b.aex"), a = add("a.aex");
    QCOMPARE(pickAndStart(), b);
    finish(b);
    const Reply refused(false, "Job could not be removed...");
    NesterJob ja, jb;
    QVERIFY(server->CopyJob(a, &ja) && server->CopyJob(b, &jb));
    {
        StoreTest::ImmutableFolders readOnly(QStringList{QFileInfo(ja.fileaex).absolutePath(),
                                                         QFileInfo(jb.fileaex).absolutePath()});
        if (!readOnly.Done())
            QSKIP("chattr +i is not available here");
        QCOMPARE(server->RemoveNesterJob(a), refused);
        QCOMPARE(server->PickUpNesterJob(b), refused);
        QCOMPARE(order(), (QStringList{b, a}));
    }
    server.reset();
    server = std::make_unique<LocalServer>();
    QCOMPARE(order(), (QStringList{b, a}));
    QCOMPARE(listed(b).value("state").toString(), QStringLiteral("finished"));
    QCOMPARE(server->RemoveNesterJob(a), Reply(true, QByteArray()));
    QVERIFY(server->PickUpNesterJob(b).first);
    QVERIFY(order().isEmpty());
}

namespace {

// A put of a new job (its file written first), as the queue records it.
QueueChange NewJob(JobFolders &folders, const QString &name, QString *id)
{
    const QString file = folders.MakeJobFolder(Client) + "/" + name;
    StoreTest::WriteFile(file, "document");
    const NesterJob job(file, Client, 10);
    *id = job.job_id;
    QueueChange put;
    put.id = job.job_id;
    put.record = QJsonDocument(job.ToJson(0)).toJson(QJsonDocument::Compact);
    put.newFile = file;
    put.durable = true;
    return put;
}

QStringList Restored(const QDir &dir)
{
    JournalStore store(dir);
    QList<NesterJob *> restored;
    store.Load(restored);
    QStringList ids;
    for (const NesterJob *job : qAsConst(restored))
        ids << job->job_id;
    qDeleteAll(restored);
    return ids;
}

} // namespace

// A start whose backup cannot be written (a full disk) takes no change until
// one is: nothing is acknowledged that the next start would set aside with
// the journal. Once the disk has room, a change writes the backup and the
// changes after it survive a crash under their ids.
void TestQueueRules::journalWithoutBackupTakesNoChange()
{
    QVERIFY(StoreTest::UseFreshDataFolder(QStringLiteral("noBackup")));
    JobFolders folders;
    QString a, b;
    {
        JournalStore store(folders.Dir());
        QueueSnapshot queue; // the queue in memory, as the compaction copies it
        store.SetSnapshotSource([&queue] { return queue; });
        store.FailBackupWrites(true);
        QList<NesterJob *> none;
        store.Load(none);
        QueueChange put = NewJob(folders, "a.aex", &a);
        queue.append({put.record, true});
        QVERIFY(!store.WaitDurable(store.Record(put)));
        store.FailBackupWrites(false);
        // A change after the disk has room starts a compaction that writes
        // the backup. Changes recorded before its rotation are refused (also
        // one that meets the failed compaction still under way); the first
        // after the rotation waits for the backup and is taken: at most
        // three tries.
        bool taken = false;
        for (int attempt = 0; attempt < 3 && !taken; ++attempt)
            taken = store.WaitDurable(store.Record(put));
        QVERIFY(taken);
        put = NewJob(folders, "b.aex", &b);
        queue.append({put.record, true});
        QVERIFY(store.WaitDurable(store.Record(put)));
    } // no Close: as a crash
    QCOMPARE(Restored(folders.Dir()), (QStringList{a, b}));
}

// A crash between making a journal segment and writing its header leaves an
// empty segment; the next start must not append records where the replay
// expects the header.
void TestQueueRules::segmentWithoutHeaderKeepsItsRecords()
{
    QVERIFY(StoreTest::UseFreshDataFolder(QStringLiteral("headerless")));
    JobFolders folders;
    QString a, b;
    {
        JournalStore store(folders.Dir());
        QList<NesterJob *> none;
        store.Load(none);
        QVERIFY(store.WaitDurable(store.Record(NewJob(folders, "a.aex", &a))));
    }
    QCOMPARE(QFileInfo(StoreTest::JournalPath()).fileName(), QStringLiteral("JOB_LIST.JOURNAL.000001"));
    QVERIFY(StoreTest::WriteFile(StoreTest::JobsPath() + "/JOB_LIST.JOURNAL.000002", QByteArray())); // no header
    {
        JournalStore store(folders.Dir());
        QList<NesterJob *> restored;
        store.Load(restored);
        QCOMPARE(restored.size(), 1);
        qDeleteAll(restored);
        QVERIFY(store.WaitDurable(store.Record(NewJob(folders, "b.aex", &b))));
    }
    QCOMPARE(Restored(folders.Dir()), (QStringList{a, b}));
}

// A node whose jobs folder takes no file cannot fetch a claimed document:
// that is the node's fault, not the job's. The job waits again unclaimed
// with no failed run counted, and the node claims nothing until its folder
// works again, saying why meanwhile.
void TestQueueRules::brokenFolderGivesJobBack_data()
{
    QTest::addColumn<bool>("shared");
    QTest::newRow("postgresql") << true;
}

void TestQueueRules::brokenFolderGivesJobBack()
{
    if (SkipPostgres())
        QSKIP("ZENDRAL_SKIP_PG=1: no shared queue to test");
    open(1, 0);
    const QString a = add("a.aex");
    {
        StoreTest::ImmutableFolders readOnly(QStringList{StoreTest::JobsPath()});
        if (!readOnly.Done())
            QSKIP("chattr +i is not available here");
        QVERIFY(!server->PickJob().IsValid());
        QCOMPARE(listed(a).value("state").toString(), QStringLiteral("waiting"));
        QVERIFY(server->Shared()->ClaimsSuspended());
        QVERIFY2(server->Shared()->ClaimsSuspendedReason().contains(QStringLiteral("jobs folder")),
                 qPrintable(server->Shared()->ClaimsSuspendedReason()));
        QVERIFY(!server->PickJob().IsValid());
    }
    QCOMPARE(pickAndStart(), a);
    QVERIFY(!server->Shared()->ClaimsSuspended());
    QCOMPARE(server->Shared()->ClaimsSuspendedReason(), QString());
    finish(a);
    QCOMPARE(listed(a).value("state").toString(), QStringLiteral("finished"));
}


namespace {

bool Held(LocalServer &server, const QString &id, const QDateTime &until = QDateTime(), bool *stopRun = nullptr)
{
    bool stop = false;
    const bool held = server.HoldNesterJob(id, until, &stop).first;
    if (stopRun)
        *stopRun = stop;
    return held;
}

} // namespace

// A held job keeps its place, shows as held with no place, and is passed by
// the jobs behind it until it is released; the counts follow every change.
void TestQueueRules::holdKeepsPlaceAndIsNeverPicked()
{
    open(3, 60);
    const QString a = add("a.aex"), b = add("b.aex"), c = add("c.aex");
    bool stopRun = true;
    QVERIFY(Held(*server, b, QDateTime(), &stopRun));
    QVERIFY(!stopRun);
    QCOMPARE(listed(b).value("state").toString(), QStringLiteral("held"));
    QCOMPARE(listed(b).value("position").toInt(), 0);
    QCOMPARE(server->StateCounts().value("held").toInt(), 1);
    QCOMPARE(server->StateCounts().value("waiting").toInt(), 2);
    QCOMPARE(server->HoldNesterJob(b, QDateTime(), &stopRun), Reply(true, QByteArray())); // held again: still held
    QCOMPARE(pickAndStart(), a);
    finish(a);
    QCOMPARE(server->HoldNesterJob(a, QDateTime(), &stopRun), Reply(false, "Only a waiting or running job can be held..."));
    QCOMPARE(server->ReleaseNesterJob(c), Reply(false, "Job is not held..."));
    QCOMPARE(pickAndStart(), c); // b is passed
    QVERIFY(!server->PickJob().IsValid());
    QCOMPARE(order(), (QStringList{a, b, c}));
    const QJsonArray jobs = server->OperatorJobs();
    QCOMPARE(jobs.size(), 3);
    QCOMPARE(jobs.at(1).toObject().value("state").toString(), QStringLiteral("held"));
    QCOMPARE(jobs.at(1).toObject().value("id").toString(), b);

    QCOMPARE(server->ReleaseNesterJob(b), Reply(true, QByteArray()));
    QCOMPARE(listed(b).value("state").toString(), QStringLiteral("waiting"));
    QCOMPARE(server->StateCounts().value("held").toInt(), 0);
    QCOMPARE(server->StateCounts().value("finished").toInt(), 1);
    QCOMPARE(server->StateCounts().value("running").toInt(), 1);
    QCOMPARE(pickAndStart(), b);
}

// Holding a running job asks for its run to be stopped; whatever way the
// run then ends (stopped, or killed before it saw the stop), the job waits
// held with no failure counted, and a run that finished first stays finished.
void TestQueueRules::holdOfRunningJobStopsItWithoutFailure()
{
    open(1, 60);
    const QString a = add("a.aex"), b = add("b.aex");
    QCOMPARE(pickAndStart(), a);
    bool stopRun = false;
    QVERIFY(Held(*server, a, QDateTime(), &stopRun));
    QVERIFY(stopRun);
    server->OnJobEnded(a, 9, "engine crashed", false);
    QCOMPARE(listed(a).value("state").toString(), QStringLiteral("held"));
    NesterJob job;
    QVERIFY(server->CopyJob(a, &job));
    QCOMPARE(job.failed_runs, 0);
    QVERIFY(job.IsWaiting());
    QCOMPARE(pickAndStart(), b);
    QVERIFY(Held(*server, b, QDateTime(), &stopRun));
    finish(b); // the run ended well before the stop reached it
    QCOMPARE(listed(b).value("state").toString(), QStringLiteral("finished"));
    QCOMPARE(server->ReleaseNesterJob(b), Reply(false, "Job is not held...")); // the finish ended the hold
    QVERIFY(!server->PickJob().IsValid());
    QVERIFY(server->ReleaseNesterJob(a).first);
    QCOMPARE(pickAndStart(), a);
}

// A hold with a time is released by itself once the time has come, and a
// hold (with its time) is kept across a restart.
void TestQueueRules::holdRunsOutAndSurvivesRestart()
{
    open(3, 60);
    const QString a = add("a.aex"), b = add("b.aex");
    const QDateTime until = QDateTime::currentDateTimeUtc().addSecs(2);
    QVERIFY(Held(*server, a, until));
    QVERIFY(Held(*server, b));

    server.reset(); // a restart on the same store
    server = std::make_unique<LocalServer>();
    QCOMPARE(listed(a).value("state").toString(), QStringLiteral("held"));
    QCOMPARE(listed(b).value("state").toString(), QStringLiteral("held"));
    NesterJob job;
    QVERIFY(server->CopyJob(a, &job));
    QCOMPARE(job.held_until.toSecsSinceEpoch(), until.toSecsSinceEpoch());
    QVERIFY(!server->PickJob().IsValid()); // the time has not come

    QString picked;
    for (int i = 0; i < 60 && picked.isEmpty(); ++i) { // at most 6 s
        QTest::qWait(100);
        picked = pickAndStart();
    }
    QCOMPARE(picked, a);
    QVERIFY(QDateTime::currentDateTimeUtc() >= until.addMSecs(-999)); // not before its time (to the second)
    QCOMPARE(listed(b).value("state").toString(), QStringLiteral("held"));
}

QTEST_GUILESS_MAIN(TestQueueRules)
#include "tst_queuerules.moc"
