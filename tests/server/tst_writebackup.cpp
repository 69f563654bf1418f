// The queue backup: what is written, how the queue comes back from it (also
// one written by the version before the journal) or from the job folders,
// and what happens to an unreadable backup.

#include "LocalServer.h"
#include "NesterJob.h"
#include "StoreTestSupport.h"
#include "TestMain.h"
#include "WriteBackup.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <QtTest>

#include <memory>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

using namespace Orvane::Zendral;
using StoreTest::AddRequest;
using StoreTest::MoveRequest;

namespace {
const QString Client = QStringLiteral("10.0.0.1");
}

class TestWriteBackup : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void writtenFileAndRestore();
    void restoreOrderFromHandWrittenBackup_data();
    void restoreOrderFromHandWrittenBackup();
    void removeFromSharedFolder();
    void folderScan();
    void unreadableBackupKeptAside_data();
    void unreadableBackupKeptAside();
    void emptyBackupMeansEmptyQueue();
    void burstOfChangesEndsOnDisk();
    void backupOfEarlierVersionRestoresUnchanged();

private:
    QString backupPath() const { return StoreTest::JobsPath() + "/JOB_LIST.BAK"; }
    QJsonArray readBackup()
    {
        return QJsonDocument::fromJson(StoreTest::ReadFile(backupPath())).array();
    }
    static QStringList ids(const QList<NesterJob *> &jobs)
    {
        QStringList list;
        for (NesterJob *job : jobs)
            list << job->job_id;
        return list;
    }
    static QString add(LocalServer &server, const QString &name, int time = 90)
    {
        return QString::fromLatin1(server.AddNesterJob(AddRequest(name, name.toUtf8(), time), Client).second);
    }
};

void TestWriteBackup::init()
{
    QVERIFY(StoreTest::UseFreshDataFolder(QString::fromLatin1(QTest::currentTestFunction())));
}

void TestWriteBackup::writtenFileAndRestore()
{
    QStringList order;
    QString running;
    {
        LocalServer server;
        const QString f = add(server, "f.aex"), a = add(server, "a.aex", 20), b = add(server, "b.aex"),
                      c = add(server, "c.aex");
        running = add(server, "r.aex");
        server.OnJobStarted(f);
        server.UpdateData(QJsonObject{{"job_id", f}, {"data", QString::fromLatin1(QByteArray("<MARKER_DOCUMENT/>").toBase64())}});
        server.OnJobFinish(f, 0);
        QVERIFY(server.MoveNesterJob(MoveRequest(c, MoveStep::Up)).first);
        QVERIFY(server.MoveNesterJob(MoveRequest(running, MoveStep::Top)).first);
        server.OnJobStarted(running);
        server.OnJobUpdate(running, QJsonObject{{"time_limit", 100}, {"time_elapsed", 40}});
        order = ids(server.Jobs());
        QCOMPARE(order, (QStringList{f, running, a, c, b}));
    }
    // The destructor wrote the final state: compact JSON, positions counted
    // over the waiting jobs only; the journal is folded into it.
    const QByteArray raw = StoreTest::ReadFile(backupPath());
    QCOMPARE(raw, QJsonDocument::fromJson(raw).toJson(QJsonDocument::Compact));
    const QJsonArray saved = readBackup();
    QCOMPARE(saved.size(), 5);
    QList<int> positions;
    for (const QJsonValue &v : saved)
        positions << v.toObject().value("position").toInt();
    QCOMPARE(positions, (QList<int>{0, 0, 1, 2, 3}));
    QCOMPARE(saved.at(0).toObject().value("state").toInt(), 2);
    QCOMPARE(saved.at(1).toObject().value("state").toInt(), 1);
    QCOMPARE(saved.at(1).toObject().value("completed").toDouble(), 40.0);
    QCOMPARE(QDir(StoreTest::JobsPath()).entryList({"JOB_LIST.JOURNAL.*"}, QDir::Files), QStringList());

    LocalServer restored;
    const QList<NesterJob *> jobs = restored.Jobs();
    QCOMPARE(ids(jobs), order);
    QVERIFY(jobs.at(0)->IsFinished());
    QCOMPARE(jobs.at(0)->completed, 100.0);
    QVERIFY(jobs.at(1)->IsWaiting()); // the interrupted run is done again
    QCOMPARE(jobs.at(1)->completed, 0.0);
    QVERIFY(jobs.at(1)->start.isEmpty());
    QCOMPARE(jobs.at(2)->time, 20);
    QVERIFY(jobs.at(2)->submit_time.isValid());
    // The restored queue serves as before.
    QCOMPARE(restored.PickJob().job_id, running);
}

// Restore keeps the file's order; only the waiting records (position above
// 0) are ordered by position, within the places they hold in the file.
// Each record is "name:position:state:completed", "-" marks a record whose
// job file is gone.
void TestWriteBackup::restoreOrderFromHandWrittenBackup_data()
{
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("saved order comes back exactly")
        << QStringList{"A:1:0:0", "C:0:2:100", "B:2:0:0"} << QStringList{"A", "C", "B"};
    QTest::newRow("waiting out of order, finished keeps its place")
        << QStringList{"B:2:0:0", "C:0:2:100", "A:1:0:0"} << QStringList{"A", "C", "B"};
    QTest::newRow("running and finished between waiting, missing file dropped")
        << QStringList{"w2:2:0:0", "fin:0:2:100", "w1:1:0:0", "run40:0:1:40", "-gone:1:0:0", "run100:0:1:100",
                       "w3:3:0:0"}
        << QStringList{"w1", "fin", "run40", "w2", "run100", "w3"};
    QTest::newRow("equal positions stay in file order")
        << QStringList{"x:1:0:0", "y:1:0:0", "f:0:2:100"} << QStringList{"x", "y", "f"};
}

void TestWriteBackup::restoreOrderFromHandWrittenBackup()
{
    QFETCH(QStringList, records);
    QFETCH(QStringList, expected);
    const QString jobs = StoreTest::JobsPath();
    QJsonArray array;
    int n = 0;
    for (QString text : records) {
        const bool fileThere = !text.startsWith('-');
        const QStringList f = text.remove(QRegularExpression("^-")).split(':');
        const QString file = QString("%1/%2/2026010100%3/%4.aex").arg(jobs, Client).arg(n++, 4, 10, QChar('0')).arg(f[0]);
        if (fileThere)
            QVERIFY(StoreTest::WriteFile(file, "x"));
        array.append(QJsonObject{{"job_id", f[0]}, {"job_name", f[0]}, {"from", Client}, {"fileaex", file},
                                 {"fileaexres", file + "_RES"}, {"position", f[1].toInt()}, {"state", f[2].toInt()},
                                 {"completed", f[3].toDouble()}, {"time", 30}});
    }
    QVERIFY(StoreTest::WriteFile(backupPath(), QJsonDocument(array).toJson()));

    LocalServer server;
    const QList<NesterJob *> list = server.Jobs();
    QCOMPARE(ids(list), expected);
    for (const NesterJob *job : list) {
        if (job->job_id == "run40")
            QVERIFY(job->IsWaiting() && job->completed == 0);
        if (job->job_id == "run100")
            QVERIFY(job->IsFinished() && job->completed == 100);
    }
    // No backup is written by a restore alone.
    QCOMPARE(QJsonDocument::fromJson(StoreTest::ReadFile(backupPath())).array(), array);
}

// Records restored from an older backup can share one folder: removing one
// takes only its own files (job file, result, its leftovers), never the
// other's, even when the other's name starts with its name.
void TestWriteBackup::removeFromSharedFolder()
{
    const QString folder = StoreTest::JobsPath() + "/" + Client + "/20250101120000/";
    for (const char *name : {"order", "order_RES", "order.engine.xml", "order.aex", "order.aex_RES", "orderly.aex"})
        QVERIFY(StoreTest::WriteFile(folder + name, name));
    auto record = [&](const QString &id, const QString &name) {
        return QJsonObject{{"job_id", id}, {"job_name", name}, {"from", Client}, {"fileaex", folder + name},
                           {"fileaexres", folder + name + "_RES"}, {"position", 0}, {"state", 2},
                           {"completed", 100}};
    };
    QVERIFY(StoreTest::WriteFile(backupPath(), QJsonDocument(QJsonArray{record("short", "order"),
                                                                         record("long", "order.aex"),
                                                                         record("ly", "orderly.aex")}).toJson()));
    LocalServer server;
    QCOMPARE(ids(server.Jobs()), (QStringList{"short", "long", "ly"}));

    QVERIFY(server.RemoveNesterJob("short").first);
    QCOMPARE(QDir(folder).entryList(QDir::Files, QDir::Name), (QStringList{"order.aex", "order.aex_RES", "orderly.aex"}));
    QCOMPARE(StoreTest::ReadFile(folder + "order.aex"), QByteArray("order.aex"));
    QCOMPARE(server.PickUpNesterJob("long"), Reply(true, QByteArray("order.aex_RES").toBase64(QByteArray::Base64UrlEncoding)));
    QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{"orderly.aex"});
    QVERIFY(server.RemoveNesterJob("ly").first);
    QVERIFY(!QFileInfo::exists(folder));
    QVERIFY(QFileInfo::exists(StoreTest::JobsPath() + "/" + Client));
}

void TestWriteBackup::folderScan()
{
    const QString jobs = StoreTest::JobsPath();
    const QString c1 = jobs + "/10.0.0.1/";
    QVERIFY(StoreTest::WriteFile(c1 + "20260101120000/a.aex", "a"));
    QVERIFY(StoreTest::WriteFile(c1 + "20250101120000/b.aex", "b"));
    QVERIFY(StoreTest::WriteFile(c1 + "20250101120000/b.aex_RES", "r"));
    QVERIFY(QDir().mkpath(c1 + "20240101000000"));                         // empty: skipped
    for (const char *name : {"1.aex", "2.aex", "3.aex"})                  // three files: skipped
        QVERIFY(StoreTest::WriteFile(c1 + "20240101000001/" + name, "x"));
    QVERIFY(StoreTest::WriteFile(c1 + "20260101120000_01/d.aex", "d"));
    QVERIFY(StoreTest::WriteFile(jobs + "/10.0.0.2/20250601000000/c.aex", "c"));
    QVERIFY(StoreTest::WriteFile(jobs + "/10.0.0.3/20230101000000/x.aex_RES", "r"));
    QVERIFY(StoreTest::WriteFile(jobs + "/notaclient/20200101000000/n.aex", "n"));

    LocalServer server;
    const QList<NesterJob *> list = server.Jobs();
    QStringList names;
    for (NesterJob *job : list)
        names << job->job_name;
    QCOMPARE(names, (QStringList{"", "b.aex", "c.aex", "a.aex", "d.aex"}));
    QVERIFY(list.at(0)->IsFinished() && list.at(0)->fileaex.isEmpty());
    QCOMPARE(list.at(0)->from, QStringLiteral("10.0.0.3"));
    QVERIFY(list.at(1)->IsFinished());
    QCOMPARE(list.at(1)->completed, 100.0);
    QCOMPARE(list.at(1)->time, 0);
    QCOMPARE(list.at(1)->fileaexres, QFileInfo(c1 + "20250101120000/b.aex_RES").absoluteFilePath());
    QVERIFY(list.at(3)->IsWaiting());
    QCOMPARE(list.at(3)->fileaexres, list.at(3)->fileaex + "_RES");
    QCOMPARE(list.at(3)->job_id.size(), 38);
    QVERIFY(!list.at(3)->submit_time.isValid());

    // The result-only record removes its own job folder and nothing more.
    QVERIFY(server.RemoveNesterJob(list.at(0)->job_id).first);
    QVERIFY(!QFileInfo::exists(jobs + "/10.0.0.3/20230101000000"));
    QVERIFY(QFileInfo::exists(jobs + "/10.0.0.3"));
    QVERIFY(QFileInfo::exists(c1 + "20240101000001/1.aex"));
}

void TestWriteBackup::unreadableBackupKeptAside_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("not json") << QByteArray("[{\"job_id\":");
    QTest::newRow("not an array") << QByteArray("{\"job_id\":\"x\"}");
}

void TestWriteBackup::unreadableBackupKeptAside()
{
    QFETCH(QByteArray, content);
    QVERIFY(StoreTest::WriteFile(StoreTest::JobsPath() + "/10.0.0.1/20260101120000/a.aex", "a"));
    QVERIFY(StoreTest::WriteFile(backupPath(), content));
    {
        LocalServer server;
        QCOMPARE(server.Jobs().size(), 1); // rebuilt by the scan
        QCOMPARE(server.Jobs().first()->job_name, QStringLiteral("a.aex"));
    }
    const QStringList aside = QDir(StoreTest::JobsPath()).entryList({"JOB_LIST.BAK.unreadable-*"}, QDir::Files);
    QCOMPARE(aside.size(), 1);
    QCOMPARE(StoreTest::ReadFile(StoreTest::JobsPath() + "/" + aside.first()), content);
    QCOMPARE(readBackup().size(), 1); // a good backup replaces it
}

void TestWriteBackup::emptyBackupMeansEmptyQueue()
{
    QVERIFY(StoreTest::WriteFile(StoreTest::JobsPath() + "/10.0.0.1/20260101120000/a.aex", "a"));
    QVERIFY(StoreTest::WriteFile(backupPath(), "[]"));
    LocalServer server;
    QVERIFY(server.Jobs().isEmpty());
    QVERIFY(QDir(StoreTest::JobsPath()).entryList({"JOB_LIST.BAK.*"}, QDir::Files).isEmpty());
}

// Progress is not awaited on disk, but every report reaches it: the last
// state is what a clean exit leaves in the backup.
void TestWriteBackup::burstOfChangesEndsOnDisk()
{
    {
        LocalServer server;
        const QString id = add(server, "a.aex");
        server.OnJobStarted(id);
        for (int i = 1; i <= 200; ++i)
            server.OnJobUpdate(id, QJsonObject{{"time_limit", 1000}, {"time_elapsed", i}, {"efficiency", i}});
    }
    QCOMPARE(readBackup().at(0).toObject().value("efficient").toDouble(), 200.0);
    QCOMPARE(readBackup().at(0).toObject().value("completed").toDouble(), 20.0);
}

// A backup and job folders as the version before the journal wrote them
// (test data; the jobs folder path filled in): the same queue comes back,
// the backup stays as it is, and the journal goes on from it.
void TestWriteBackup::backupOfEarlierVersionRestoresUnchanged()
{
    const QString source = QStringLiteral(ZENDRAL_SOURCE_DIR "/tests/server/data/legacy-queue");
    const QString jobs = StoreTest::JobsPath();
    QDirIterator it(source, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        QByteArray bytes = StoreTest::ReadFile(file);
        bytes.replace("@JOBS@", jobs.toUtf8());
        QVERIFY(StoreTest::WriteFile(jobs + file.mid(source.size()), bytes));
    }
    const QByteArray written = StoreTest::ReadFile(backupPath());
    const QStringList expected{"{837bebf6-9ddc-481d-bafc-b5d80e70ecc9}", "{6379ec2b-02d5-4e53-979d-c4ce20652f0a}",
                               "{212c0994-1ec9-449f-af74-30ae0cc5daaf}", "{af154a08-4573-47f4-8034-9033794e1341}",
                               "{55d072d3-7a8d-4449-881c-95b14061bcdd}"};
    QString added;
    {
        LocalServer server;
        const QList<NesterJob *> list = server.Jobs();
        QCOMPARE(ids(list), expected);
        QVERIFY(list.at(0)->IsFinished());
        QCOMPARE(list.at(0)->time, 1);
        for (int i = 1; i < 5; ++i)
            QVERIFY(list.at(i)->IsWaiting() && list.at(i)->time == 30);
        QCOMPARE(list.at(1)->job_name, QStringLiteral("ZmlmdGg=")); // the name as stored, not re-encoded
        QCOMPARE(StoreTest::ReadFile(backupPath()), written);
        added = add(server, "later.aex");
    }
    LocalServer again;
    QCOMPARE(ids(again.Jobs()), expected + QStringList{added});
}

QTEST_GUILESS_MAIN(TestWriteBackup)
#include "tst_writebackup.moc"
