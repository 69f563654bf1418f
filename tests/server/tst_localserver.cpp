// The job queue's operations with their replies, the engine reports and the
// jobs folder failure.

#include "FreeDiskGauge.h"
#include "JournalStore.h"
#include "LocalServer.h"
#include "NesterJob.h"
#include "RecentAdders.h"
#include "StoreTestSupport.h"
#include "TestMain.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <future>
#include <mutex>
#include <thread>

using namespace Orvane::Zendral;
using StoreTest::AddRequest;
using StoreTest::MoveRequest;

Q_DECLARE_METATYPE(QList<Orvane::Zendral::NesterJob *>)

namespace {
const QString Client = QStringLiteral("192.168.1.20");
const QString Other = QStringLiteral("192.168.1.21");
}

class TestLocalServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void addReplies();
    void addReducesNames();
    void addMakesNamesSafe_data();
    void addMakesNamesSafe();
    void changesTakenBackWhenBackupFails();
    void addRepliesOnlyAfterJournalSync();
    void groupCommitWaitsForRecentAdders();
    void addersForgottenAfterTheirWindow();
    void sameSecondAddsGetOwnFolders();
    void quotasRefuseAdds();
    void freeDiskReadOnceInAWhile();
    void removeAndPickUp();
    void listPositionsAndMarker();
    void moves();
    void pickJob();
    void engineReports();
    void failedRunsWaitAtTheirPlaceThenFail();
    void resultWriteFailureKeepsPreviousResult();
    void sessionChangesReachGuiThread();
    void jobsFolderFailure();

private:
    std::unique_ptr<LocalServer> server;
    NesterJob *find(const QString &id)
    {
        for (NesterJob *job : server->Jobs())
            if (job->job_id == id)
                return job;
        return nullptr;
    }
    QString add(const QString &name, const QString &from = Client)
    {
        const Reply r = server->AddNesterJob(AddRequest(name, "data of " + name.toUtf8()), from);
        return r.first ? QString::fromLatin1(r.second) : QString();
    }
    QStringList ids()
    {
        QStringList list;
        for (NesterJob *job : server->Jobs())
            list << job->job_id;
        return list;
    }
};

void TestLocalServer::initTestCase()
{
    qRegisterMetaType<QList<NesterJob *>>("QList<NesterJob*>");
}

void TestLocalServer::init()
{
    server.reset();
    QVERIFY(StoreTest::UseFreshDataFolder(QString::fromLatin1(QTest::currentTestFunction())));
    QSettings settings;
    settings.setValue("worker/retry_delay_seconds", 0);
    settings.remove("worker/max_failed_runs");
    settings.remove("worker/max_jobs_per_client");
    settings.remove("worker/min_free_disk_mb");
    server = std::make_unique<LocalServer>();
    QVERIFY(server->Jobs().isEmpty());
}

void TestLocalServer::addReplies()
{
    QCOMPARE(server->InitSession(), Reply(true, QByteArray()));

    Reply r = server->AddNesterJob(AddRequest("order.rev.aex", "\x01\x02marker"), Client);
    QVERIFY(r.first);
    QCOMPARE(r.second.size(), 38);
    NesterJob *job = find(QString::fromLatin1(r.second));
    QVERIFY(job);
    QCOMPARE(job->time, 90);
    QCOMPARE(job->job_name, QStringLiteral("order.rev"));
    QCOMPARE(job->from, Client);
    QCOMPARE(QFileInfo(job->fileaex).fileName(), QStringLiteral("order.rev.aex"));
    QCOMPARE(QFileInfo(QFileInfo(job->fileaex).absolutePath()).absolutePath(), StoreTest::JobsPath() + "/" + Client);
    QCOMPARE(StoreTest::ReadFile(job->fileaex), QByteArray("\x01\x02marker"));
    QCOMPARE(job->fileaexres, job->fileaex + "_RES");

    r = server->AddNesterJob(R"({"job_name":"f.aex","work_data":"AAAA","time":12.5})", Client);
    QCOMPARE(find(QString::fromLatin1(r.second))->time, 90);
    // A budget outside 1 s to a week is moved to the nearest end.
    for (const auto &sent : {qMakePair(0, 1), qMakePair(-5, 1), qMakePair(604801, 604800), qMakePair(7, 7)}) {
        r = server->AddNesterJob(QByteArray(R"({"job_name":"t.aex","work_data":"eA==","time":)")
                                     + QByteArray::number(sent.first) + "}",
                                 Client);
        QVERIFY(r.first);
        QCOMPARE(find(QString::fromLatin1(r.second))->time, sent.second);
        QVERIFY(server->RemoveNesterJob(QString::fromLatin1(r.second)).first);
    }

    const Reply nameEmpty(false, "Job name is empty...");
    QCOMPARE(server->AddNesterJob(R"([{"job_name":"a.aex"}])", Client), nameEmpty);
    QCOMPARE(server->AddNesterJob(R"({"job_name":""})", Client), nameEmpty);
    QCOMPARE(server->AddNesterJob(R"({"work_data":"AAAA"})", Client), nameEmpty);
    QCOMPARE(server->AddNesterJob(R"({"job_name":7})", Client), nameEmpty);
    const Reply invalid(false, "Invalid data...");
    QCOMPARE(server->AddNesterJob("not json", Client), invalid);
    QCOMPARE(server->AddNesterJob("", Client), invalid);
    // "work_data" missing, not a string or not standard Base64.
    for (const char *data : {"", R"(,"work_data":7)", R"(,"work_data":null)", R"(,"work_data":{})",
                             R"(,"work_data":["AAAA"])", R"(,"work_data":"A")",
                             R"(,"work_data":"AA=A")", R"(,"work_data":"AAAA=")", R"(,"work_data":"AA-_")",
                             R"(,"work_data":"AA==AA==")", R"(,"work_data":"====")"}) {
        const QByteArray request = QByteArray(R"({"job_name":"d.aex")") + data + "}";
        QVERIFY2(server->AddNesterJob(request, Client) == invalid, request.constData());
    }
    for (const char *data : {"", "AA==", "AAA=", "AAA", "AA", "QUJD\\nREVG", "QUJD REVG"}) {
        const QByteArray request = QByteArray(R"({"job_name":"d.aex","work_data":")") + data + "\"}";
        QVERIFY2(server->AddNesterJob(request, Client).first, request.constData());
    }
    QCOMPARE(server->Jobs().size(), 9);
}

void TestLocalServer::addReducesNames()
{
    QTemporaryDir outside;
    const QString escape = outside.filePath("escaped.aex");
    const QStringList names{"../../escaped.aex", escape, "C:\\dir\\escaped.aex", "C:escaped.aex", "a/b\\escaped.aex"};
    for (const QString &name : names) {
        const QString id = add(name);
        QVERIFY2(!id.isEmpty(), qPrintable(name));
        NesterJob *job = find(id);
        QCOMPARE(QFileInfo(job->fileaex).fileName(), QStringLiteral("escaped.aex"));
        QCOMPARE(QFileInfo(QFileInfo(job->fileaex).absolutePath()).absolutePath(),
                 StoreTest::JobsPath() + "/" + Client);
    }
    QVERIFY(!QFileInfo::exists(escape));
    QVERIFY(!QFileInfo::exists(StoreTest::JobsPath() + "/escaped.aex"));
    QVERIFY(!QFileInfo::exists(QFileInfo(StoreTest::JobsPath()).absolutePath() + "/escaped.aex"));

    const Reply nameEmpty(false, "Job name is empty...");
    for (const char *name : {"..", ".", "dir/..", "C:", "a/", "\\"})
        QCOMPARE(server->AddNesterJob(AddRequest(name, "x"), Client), nameEmpty);
    QCOMPARE(server->Jobs().size(), names.size());

    // Removing one of them removes only its own folder.
    const QStringList before = QDir(StoreTest::JobsPath() + "/" + Client).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(before.size(), names.size());
    QVERIFY(server->RemoveNesterJob(server->Jobs().first()->job_id).first);
    QCOMPARE(QDir(StoreTest::JobsPath() + "/" + Client).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(),
             names.size() - 1);
    QVERIFY(QFileInfo::exists(StoreTest::JobsPath()));
}

// Names that Windows would refuse or treat as devices are made safe the
// same way on every platform; ordinary names stay as they are. An empty
// expected name means the add is refused.
void TestLocalServer::addMakesNamesSafe_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::newRow("ordinary") << "order.rev.aex" << "order.rev.aex";
    QTest::newRow("spaces inside") << "my order 2.aex" << "my order 2.aex";
    QTest::newRow("non-ASCII") << QString::fromUtf8("Bestellung \xc3\xa4\xe6\xb8\xac.aex")
                               << QString::fromUtf8("Bestellung \xc3\xa4\xe6\xb8\xac.aex");
    QTest::newRow("refused characters") << "a<b>c:d\"e|f?g*h.aex" << "a_b_c_d_e_f_g_h.aex";
    QTest::newRow("control characters") << QString("a\tb\x01" "c\x7f.aex") << "a_b_c_.aex";
    QTest::newRow("trailing dots and spaces") << "order.aex. . " << "order.aex";
    QTest::newRow("NUL with suffix") << "NUL.aex" << "_NUL.aex";
    QTest::newRow("con lower case") << "con" << "_con";
    QTest::newRow("Com1 two suffixes") << "Com1.tar.aex" << "_Com1.tar.aex";
    QTest::newRow("LPT9") << "LPT9.aex" << "_LPT9.aex";
    QTest::newRow("aux before spaces") << "aux .aex" << "_aux .aex";
    QTest::newRow("prn after trimming") << "prn. " << "_prn";
    QTest::newRow("COM10 is not a device") << "COM10.aex" << "COM10.aex";
    QTest::newRow("LPT0 is not a device") << "LPT0.aex" << "LPT0.aex";
    QTest::newRow("device name inside") << "NULL.aex" << "NULL.aex";
    QTest::newRow("only dots and spaces") << "... " << "";
    QTest::newRow("only spaces") << "   " << "";
    QTest::newRow("folder part dropped, then trimmed") << "dir/. ." << "";
}

void TestLocalServer::addMakesNamesSafe()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);
    const Reply r = server->AddNesterJob(AddRequest(name, "x"), Client);
    if (expected.isEmpty()) {
        QCOMPARE(r, Reply(false, "Job name is empty..."));
        QVERIFY(server->Jobs().isEmpty());
        QVERIFY(QDir(StoreTest::JobsPath() + "/" + Client).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
        return;
    }
    QVERIFY(r.first);
    const NesterJob *job = find(QString::fromLatin1(r.second));
    QVERIFY(job);
    QCOMPARE(QFileInfo(job->fileaex).fileName(), expected);
    QCOMPARE(StoreTest::ReadFile(job->fileaex), QByteArray("x"));
}

// An add is answered with its id only when the backup holds it. A folder
// where the backup file belongs makes every write fail (also as root).
// Adds and moves whose backup cannot be written are taken back and refused:
// what a client is told is what a restart restores.
void TestLocalServer::changesTakenBackWhenBackupFails()
{
    const QString kept = add("kept.aex");
    const QString kept2 = add("kept2.aex");
    QVERIFY(!kept.isEmpty() && !kept2.isEmpty());
    const QString clientDir = StoreTest::JobsPath() + "/" + Client;
    const QStringList foldersBefore = QDir(clientDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    const Reply failed(false, "Data upload exception, Please contact the server administrator...");
    Reply fromSession;
    {
        // The journal's flush fails (as on a full disk or a failing one);
        // the job files can still be written.
        auto *journal = dynamic_cast<JournalStore *>(server->Store());
        QVERIFY(journal);
        journal->SetSyncHook([] { return false; });
        const std::shared_ptr<void> unhook(nullptr, [journal](void *) { journal->SetSyncHook(nullptr); });
        QCOMPARE(server->AddNesterJob(AddRequest("lost.aex", "x"), Client), failed);
        std::thread session([&] { fromSession = server->AddNesterJob(AddRequest("lost2.aex", "x"), Client); });
        session.join();
        QCOMPARE(server->MoveNesterJob(MoveRequest(kept2, MoveStep::Top)), Reply(false, QByteArray()));
    }
    QCOMPARE(fromSession, failed);

    // No trace of either add, the move undone; the earlier jobs stay.
    QCOMPARE(ids(), (QStringList{kept, kept2}));
    QCOMPARE(QDir(clientDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot), foldersBefore);
    QCOMPARE(StoreTest::ReadFile(find(kept)->fileaex), QByteArray("data of kept.aex"));

    // Once the journal can be written again, changes are taken; a restart
    // restores exactly what was acknowledged.
    const QString later = add("later.aex");
    QVERIFY(!later.isEmpty());
    QVERIFY(server->MoveNesterJob(MoveRequest(later, MoveStep::Top)).first);
    server.reset();
    server = std::make_unique<LocalServer>();
    QCOMPARE(ids(), (QStringList{later, kept, kept2}));
}

// An add is acknowledged only once the journal's flush has returned: while
// the flush is held back no reply comes, and a flush that fails refuses the
// add and leaves no job behind.
void TestLocalServer::addRepliesOnlyAfterJournalSync()
{
    auto *journal = dynamic_cast<JournalStore *>(server->Store());
    QVERIFY(journal);
    std::mutex mutex;
    std::condition_variable changed;
    bool syncing = false;
    bool release = false;
    bool replied = false;
    bool repliedDuringSync = false;
    bool failSync = false;
    journal->SetSyncHook([&] {
        std::unique_lock<std::mutex> lock(mutex);
        syncing = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(60), [&] { return release; });
        repliedDuringSync = repliedDuringSync || replied;
        syncing = false;
        return !failSync;
    });
    // The hook goes before the variables it uses do, whatever happens.
    const std::shared_ptr<void> unhook(nullptr, [journal](void *) { journal->SetSyncHook(nullptr); });
    const auto addInThread = [&](Reply *reply, const QByteArray &name) {
        return std::thread([&, reply, name] {
            *reply = server->AddNesterJob(AddRequest(QString::fromLatin1(name), "x"), Client);
            std::lock_guard<std::mutex> lock(mutex);
            replied = true;
            changed.notify_all();
        });
    };
    for (bool fail : {false, true}) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            syncing = release = replied = repliedDuringSync = false;
            failSync = fail;
        }
        Reply reply;
        std::thread session = addInThread(&reply, fail ? "refused.aex" : "held.aex");
        bool entered = false;
        {
            std::unique_lock<std::mutex> lock(mutex);
            entered = changed.wait_for(lock, std::chrono::seconds(60), [&] { return syncing; });
            // Held back well past the time a reply takes: none may come.
            if (entered)
                changed.wait_for(lock, std::chrono::seconds(2), [&] { return replied; });
            release = true;
            changed.notify_all();
        }
        session.join();
        QVERIFY2(entered, "the add never reached the journal's flush");
        QVERIFY2(!repliedDuringSync, "the add was acknowledged before the journal's flush returned");
        QCOMPARE(reply.first, !fail);
        if (fail)
            QCOMPARE(reply, Reply(false, "Data upload exception, Please contact the server administrator..."));
    }
    QCOMPARE(server->Jobs().size(), 1);
    QCOMPARE(server->Jobs().first()->job_name, QStringLiteral("held"));
}

// Two sessions (threads) that added lately: the next add of one waits for
// the other's, and one flush makes both durable.
void TestLocalServer::groupCommitWaitsForRecentAdders()
{
    auto *journal = dynamic_cast<JournalStore *>(server->Store());
    QVERIFY(journal);
    // Long enough that no test machine is slower; the hold ends with the other add.
    journal->SetCommitHold(std::chrono::seconds(30), std::chrono::seconds(30));
    // Each promise is kept once, in this order, before the joins (no check
    // returns early before them).
    std::promise<void> firstB, secondA, secondB;
    std::atomic<int> addsDone{0};
    std::atomic<bool> secondADone{false};
    QStringList added[2];
    std::thread a([&, go = secondA.get_future()] {
        added[0] << add("a1.aex");
        ++addsDone;
        go.wait();
        added[0] << add("a2.aex");
        secondADone = true;
    });
    std::thread b([&, first = firstB.get_future(), second = secondB.get_future()] {
        first.wait();
        added[1] << add("b1.aex");
        ++addsDone;
        second.wait();
        added[1] << add("b2.aex");
    });
    // Each thread adds once, one after the other.
    const bool firstDone = QTest::qWaitFor([&] { return addsDone == 1; }, 30000);
    firstB.set_value();
    const bool bothDone = firstDone && QTest::qWaitFor([&] { return addsDone == 2; }, 30000);
    const quint64 before = journal->FlushCount();
    secondA.set_value();
    QTest::qWait(300);
    const bool heldBack = !secondADone;
    secondB.set_value();
    a.join();
    b.join();
    QVERIFY(bothDone);
    QVERIFY2(heldBack, "the add was flushed alone while the other session was expected to add");
    QCOMPARE(journal->FlushCount(), before + 1);
    QCOMPARE(added[0].size(), 2);
    QVERIFY(!added[0].contains(QString()) && !added[1].contains(QString()));
}

// A thread that stopped adding no longer holds flushes back once its
// window has passed; one seen again counts from its latest add.
void TestLocalServer::addersForgottenAfterTheirWindow()
{
    using std::chrono::milliseconds;
    const RecentAdders::Clock::time_point start;
    const std::thread::id one = std::this_thread::get_id();
    std::thread other([] {});
    const std::thread::id two = other.get_id();
    other.join();
    RecentAdders adders;
    adders.Saw(one, start);
    adders.Saw(two, start + milliseconds(40));
    QCOMPARE(adders.Count(start + milliseconds(50), milliseconds(50)), 2);
    QCOMPARE(adders.Count(start + milliseconds(51), milliseconds(50)), 1);
    adders.Saw(two, start + milliseconds(10)); // an older sighting changes nothing
    QCOMPARE(adders.Count(start + milliseconds(70), milliseconds(50)), 1);
    adders.Saw(one, start + milliseconds(80));
    QCOMPARE(adders.Count(start + milliseconds(91), milliseconds(50)), 1);
    QCOMPARE(adders.Count(start + milliseconds(131), milliseconds(50)), 0);
}

// A client's job quota and the free space the jobs folder's disk must keep:
// an add beyond either is refused, with nothing left behind; other clients
// and smaller documents go on.
void TestLocalServer::quotasRefuseAdds()
{
    QSettings().setValue("worker/max_jobs_per_client", 2);
    server.reset(); // one service on a jobs folder at a time
    server = std::make_unique<LocalServer>();
    QVERIFY(!add("a.aex").isEmpty());
    QVERIFY(!add("b.aex").isEmpty());
    QCOMPARE(server->AddNesterJob(AddRequest("c.aex", "c"), Client), Reply(false, "Too many jobs..."));
    QVERIFY(!add("other.aex", Other).isEmpty());
    QVERIFY(server->RemoveNesterJob(ids().first()).first);
    QVERIFY(!add("c.aex").isEmpty()); // room again
    QCOMPARE(QDir(StoreTest::JobsPath() + "/" + Client).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 2);

    QSettings().setValue("worker/max_jobs_per_client", 0); // no limit
    QSettings().setValue("worker/min_free_disk_mb", 1 << 30); // more than any disk has
    server.reset();
    server = std::make_unique<LocalServer>();
    QCOMPARE(server->AddNesterJob(AddRequest("d.aex", "d"), Other), Reply(false, "Not enough disk space..."));
    QCOMPARE(ids().size(), 3);
}

// The disk's free space is read once per interval; the documents let
// through in between are counted off, so a burst stops at the limit on an
// old reading. A new reading comes after the interval; an unknown one lets
// adds through.
void TestLocalServer::freeDiskReadOnceInAWhile()
{
    qint64 nowMs = 0;
    qint64 disk = 10 * 1000;
    int reads = 0;
    FreeDiskGauge gauge(
        StoreTest::JobsPath(), [&](const QString &) {
            ++reads;
            return disk;
        }, [&] { return nowMs; });
    QVERIFY(gauge.Take(1000, 8000));
    QVERIFY(gauge.Take(1000, 8000)); // 8,000 left
    QVERIFY(!gauge.Take(1, 8000));
    QCOMPARE(reads, 1);

    nowMs += FreeDiskGauge::ReadEveryMs - 1;
    disk = 20 * 1000; // files removed meanwhile: seen at the next reading
    QVERIFY(!gauge.Take(1, 8000));
    nowMs += 1;
    QVERIFY(gauge.Take(12000, 8000));
    QCOMPARE(reads, 2);

    nowMs += FreeDiskGauge::ReadEveryMs;
    disk = -1;
    QVERIFY(gauge.Take(1 << 30, 8000));
}

void TestLocalServer::sameSecondAddsGetOwnFolders()
{
    // Retry until two adds land in the same second (a loaded machine may
    // need several tries); the jobs of a try that did not go again.
    QString first, second;
    for (int attempt = 0; attempt < 20; ++attempt) {
        const QString stamp = QDateTime::currentDateTime().toString("yyyyMMddhhmmss");
        first = add("same.aex");
        second = add("same.aex");
        if (QDateTime::currentDateTime().toString("yyyyMMddhhmmss") == stamp)
            break;
        server->RemoveNesterJob(first);
        server->RemoveNesterJob(second);
    }
    NesterJob *a = find(first);
    NesterJob *b = find(second);
    QVERIFY(a && b);
    const QString folderA = QFileInfo(a->fileaex).absolutePath();
    const QString folderB = QFileInfo(b->fileaex).absolutePath();
    QVERIFY(folderA != folderB);
    // Same stamp, the later one with a two-digit suffix that sorts after it.
    const QString nameA = QFileInfo(folderA).fileName(), nameB = QFileInfo(folderB).fileName();
    QCOMPARE(nameB.left(14), nameA.left(14));
    QVERIFY2(QRegularExpression("^\\d{14}_\\d{2}$").match(nameB).hasMatch(), qPrintable(nameB));
    QVERIFY(nameA < nameB);
    const QString fileB = b->fileaex;

    QCOMPARE(server->RemoveNesterJob(first), Reply(true, QByteArray()));
    QVERIFY(!QFileInfo::exists(folderA));
    QCOMPARE(StoreTest::ReadFile(fileB), QByteArray("data of same.aex"));
    QCOMPARE(ids(), QStringList{second});

    // An add in a later second is named after that second.
    const QString before = QDateTime::currentDateTime().toString("yyyyMMddhhmmss");
    QVERIFY(QTest::qWaitFor([&] { return QDateTime::currentDateTime().toString("yyyyMMddhhmmss") != before; }, 3000));
    QString later, laterStamp;
    for (int attempt = 0; attempt < 20 && later.isEmpty(); ++attempt) {
        laterStamp = QDateTime::currentDateTime().toString("yyyyMMddhhmmss");
        later = add("later.aex");
        if (QDateTime::currentDateTime().toString("yyyyMMddhhmmss") != laterStamp) {
            server->RemoveNesterJob(later);
            later.clear();
        }
    }
    QVERIFY(!later.isEmpty());
    QCOMPARE(QFileInfo(QFileInfo(find(later)->fileaex).absolutePath()).fileName().left(14), laterStamp);
}

void TestLocalServer::removeAndPickUp()
{
    QSignalSpy removed(server.get(), &LocalServer::jobRemoved);
    QCOMPARE(server->RemoveNesterJob("{nope}"), Reply(false, "Job non-existent..."));
    QCOMPARE(server->PickUpNesterJob("{nope}"), Reply(false, QByteArray()));

    const QString a = add("a.aex");
    const QString folder = QFileInfo(find(a)->fileaex).absolutePath();
    server->OnJobStarted(a); // removed whatever its state
    QCOMPARE(server->RemoveNesterJob(a), Reply(true, QByteArray()));
    QVERIFY(!QFileInfo::exists(folder));
    QVERIFY(!find(a));
    QCOMPARE(removed.count(), 1);
    QCOMPARE(removed.at(0).at(0).toString(), a);

    // Without a result: failure text, and the job is gone all the same.
    const QString b = add("b.aex");
    const QString folderB = QFileInfo(find(b)->fileaex).absolutePath();
    QCOMPARE(server->PickUpNesterJob(b), Reply(false, "Job non-existent..."));
    QVERIFY(!find(b));
    QVERIFY(!QFileInfo::exists(folderB));

    // With a result: URL-safe Base64 with the "=" kept.
    const QString c = add("c.aex");
    const QByteArray result("\xfb\xff\xfe result>>??", 14);
    server->UpdateData(QJsonObject{{"job_id", c}, {"data", QString::fromLatin1(result.toBase64())}});
    QCOMPARE(StoreTest::ReadFile(find(c)->fileaexres), result);
    const QString folderC = QFileInfo(find(c)->fileaex).absolutePath();
    const Reply picked = server->PickUpNesterJob(c);
    QVERIFY(picked.first);
    QCOMPARE(picked.second, result.toBase64(QByteArray::Base64UrlEncoding));
    QVERIFY(picked.second.contains('=') && picked.second.contains('-') && picked.second.contains('_'));
    QVERIFY(!find(c));
    QVERIFY(!QFileInfo::exists(folderC));
    QCOMPARE(server->PickUpNesterJob(c), Reply(false, QByteArray()));
    QCOMPARE(removed.count(), 3);

    // A job that left the queue is never brought back by a late report.
    server->OnJobStarted(c);
    server->OnJobFinish(c, 0);
    server->UpdateData(QJsonObject{{"job_id", c}, {"data", "AAAA"}});
    QVERIFY(server->Jobs().isEmpty());
    QVERIFY(!QFileInfo::exists(folderC));
}

void TestLocalServer::listPositionsAndMarker()
{
    QCOMPARE(server->GetNesterJobList(Client, QString()), Reply(true, "[]"));
    const QString run = add("run.aex");
    const QString w1 = add("w1.aex");
    const QString w2 = add("w2.aex", Other);
    const QString w3 = add("w3.aex");
    server->OnJobStarted(run);
    server->UpdateData(QJsonObject{{"job_id", run},
        {"data", QString::fromLatin1(QByteArray("<MARKER_DOCUMENT><INFO/><MARKER l=\"5\"><P/></MARKER></MARKER_DOCUMENT>").toBase64())}});

    Reply r = server->GetNesterJobList(Client, "run");
    QVERIFY(r.first);
    QCOMPARE(r.second, QJsonDocument::fromJson(r.second).toJson(QJsonDocument::Compact));
    QJsonArray list = QJsonDocument::fromJson(r.second).array();
    QCOMPARE(list.size(), 3);
    QCOMPARE(list.at(0).toObject().value("job_id").toString(), run);
    QCOMPARE(list.at(0).toObject().value("position").toInt(), 0);
    QCOMPARE(QByteArray::fromBase64(list.at(0).toObject().value("job_data").toString().toLatin1(),
                                    QByteArray::Base64UrlEncoding),
             QByteArray("<MARKER l=\"5\"><P/></MARKER>"));
    QCOMPARE(list.at(1).toObject().value("job_id").toString(), w1);
    QCOMPARE(list.at(1).toObject().value("position").toInt(), 1);
    QVERIFY(!list.at(1).toObject().contains("job_data"));
    QCOMPARE(list.at(2).toObject().value("job_id").toString(), w3);
    QCOMPARE(list.at(2).toObject().value("position").toInt(), 3);

    list = QJsonDocument::fromJson(server->GetNesterJobList(Other, "run").second).array();
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.at(0).toObject().value("position").toInt(), 2);
    QCOMPARE(list.at(0).toObject().value("job_name").toString(), "w2:" + Other);
    QCOMPARE(QJsonDocument::fromJson(server->GetNesterJobList("10.9.9.9", "run").second).array().size(), 0);
    // Another name: no marker.
    list = QJsonDocument::fromJson(server->GetNesterJobList(Client, "w1").second).array();
    QVERIFY(!list.at(0).toObject().contains("job_data"));
    Q_UNUSED(w2);
}

void TestLocalServer::moves()
{
    const QString a = add("a.aex"), b = add("b.aex"), c = add("c.aex");
    const Reply fail(false, QByteArray()), ok(true, QByteArray());
    QCOMPARE(server->MoveNesterJob(MoveRequest(a, MoveStep::Top)), fail);   // already first waiting
    QCOMPARE(server->MoveNesterJob(MoveRequest(a, MoveStep::Up)), fail);  // head
    QCOMPARE(server->MoveNesterJob(MoveRequest(c, MoveStep::Down)), fail);   // last
    QCOMPARE(server->MoveNesterJob(MoveRequest(c, MoveStep::Bottom)), fail);   // last
    QCOMPARE(server->MoveNesterJob(MoveRequest(b, 2)), fail);   // no such step
    QCOMPARE(server->MoveNesterJob(MoveRequest("{none}", MoveStep::Down)), fail);
    QCOMPARE(server->MoveNesterJob("not json"), fail);
    QCOMPARE(ids(), (QStringList{a, b, c}));

    QCOMPARE(server->MoveNesterJob(MoveRequest(c, MoveStep::Up)), ok);
    QCOMPARE(ids(), (QStringList{a, c, b}));
    QCOMPARE(server->MoveNesterJob(MoveRequest(b, MoveStep::Top)), ok);
    QCOMPARE(ids(), (QStringList{b, a, c}));
    QCOMPARE(server->MoveNesterJob(MoveRequest(b, MoveStep::Bottom)), ok);
    QCOMPARE(ids(), (QStringList{a, c, b}));
    QCOMPARE(server->MoveNesterJob(MoveRequest(a, MoveStep::Down)), ok);
    QCOMPARE(ids(), (QStringList{c, a, b}));
    // "step" missing counts as 0 (to the top).
    QCOMPARE(server->MoveNesterJob(QJsonDocument(QJsonObject{{"job_id", b}}).toJson()), ok);
    QCOMPARE(ids(), (QStringList{b, c, a}));

    // A running job at the head: the first waiting job behind it cannot go up
    // or to the top; a running job cannot move at all.
    server->OnJobStarted(b);
    QCOMPARE(server->MoveNesterJob(MoveRequest(c, MoveStep::Up)), fail);
    QCOMPARE(server->MoveNesterJob(MoveRequest(c, MoveStep::Top)), fail);
    QCOMPARE(server->MoveNesterJob(MoveRequest(b, MoveStep::Down)), fail);
    QCOMPARE(server->MoveNesterJob(MoveRequest(a, MoveStep::Top)), ok);
    QCOMPARE(ids(), (QStringList{b, a, c}));

    // Down swaps a waiting job behind the finished job that follows it.
    server->OnJobStarted(c);
    server->UpdateData(QJsonObject{{"job_id", c}, {"data", QString::fromLatin1(QByteArray("<MARKER_DOCUMENT/>").toBase64())}});
    server->OnJobFinish(c, 0);
    QCOMPARE(server->MoveNesterJob(MoveRequest(a, MoveStep::Down)), ok);
    QCOMPARE(ids(), (QStringList{b, c, a}));
}

void TestLocalServer::pickJob()
{
    QVERIFY(!server->PickJob().IsValid());
    const QString a = add("a.aex"), b = add("b.x.aex");
    server->AddNesterJob(AddRequest("c.aex", "x", 33), Client);
    PickedJob next = server->PickJob();
    QCOMPARE(next.job_id, a);
    QVERIFY(next.IsValid());
    QVERIFY(find(a)->IsWaiting()); // picking does not start it

    QVERIFY(QFile::remove(find(a)->fileaex));
    server->OnJobStarted(b);
    next = server->PickJob();
    const NesterJob *c = server->Jobs().last();
    QCOMPARE(next.file_path, c->fileaex);
    QCOMPARE(next.job_id, c->job_id);
    QCOMPARE(next.work_seconds, 33);
    QCOMPARE(next.job_name, "c:" + Client);
    QVERIFY(QFile::remove(c->fileaex));
    QVERIFY(!server->PickJob().IsValid());
}

void TestLocalServer::engineReports()
{
    QSignalSpy updates(server.get(), &LocalServer::updateJobList);
    const QString id = add("a.aex");
    NesterJob *job = find(id);
    updates.clear();

    server->OnJobStarted(id);
    QVERIFY(job->IsRunning());
    QCOMPARE(updates.count(), 1); // emitted at once on the GUI thread

    auto report = [&](double limit, double elapsed, double efficiency) {
        server->OnJobUpdate(id, QJsonObject{{"time_limit", limit}, {"time_elapsed", elapsed}, {"efficiency", efficiency}});
    };
    report(90, 45, 71.5);
    QCOMPARE(job->completed, 50.0);
    QCOMPARE(job->efficient, 71.5);
    report(90, 30, 72);
    QCOMPARE(job->completed, 50.0);
    QCOMPARE(job->efficient, 72.0);
    report(90, 90, 73);
    QCOMPARE(job->completed, 50.0);
    report(0, 10, 74);
    QCOMPARE(job->completed, 50.0);
    report(90, 89.1, 75);
    QCOMPARE(job->completed, 99.0);
    server->OnJobUpdate(id, QJsonObject{});
    QCOMPARE(job->efficient, 0.0);
    QCOMPARE(updates.count(), 7);

    // A failed run waits again and is handed out again (no retry delay here).
    server->OnJobFinish(id, 1);
    QVERIFY(job->IsWaiting());
    QVERIFY(job->start.isEmpty());
    QCOMPARE(job->completed, 0.0);
    QCOMPARE(job->efficient, 0.0);
    QCOMPARE(server->PickJob().job_id, id);

    QCOMPARE(job->failed_runs, 1);
    QCOMPARE(job->error, QStringLiteral("exit code 1"));
    server->OnJobStarted(id);
    server->UpdateData(QJsonObject{{"job_id", id}, {"data", QString::fromLatin1(QByteArray("<MARKER_DOCUMENT/>").toBase64())}});
    server->OnJobFinish(id, 0);
    QVERIFY(job->IsFinished());
    QCOMPARE(job->completed, 100.0);
    QCOMPARE(job->failed_runs, 0);
    server->OnJobFinish(id, 3); // a finished job stays finished
    QVERIFY(job->IsFinished());
    server->OnJobFinish("{unknown}", 0);
    server->OnJobUpdate("{unknown}", QJsonObject{{"time_limit", 1}});

    // UpdateData rewrites the result file whole.
    server->UpdateData(QJsonObject{{"job_id", id}, {"data", QString::fromLatin1(QByteArray("long first").toBase64())}});
    server->UpdateData(QJsonObject{{"job_id", id}, {"data", QString::fromLatin1(QByteArray("2nd").toBase64())}});
    QCOMPARE(StoreTest::ReadFile(job->fileaexres), QByteArray("2nd"));
}

// A failed run keeps its place and waits for its retry while the jobs behind
// it run; after the maximum of failed runs the job is failed, listed so and
// never handed out, until the operator retries it (then at the tail). A run
// the operator stopped counts no failure.
void TestLocalServer::failedRunsWaitAtTheirPlaceThenFail()
{
    QSettings().setValue("worker/retry_delay_seconds", 1);
    QSettings().setValue("worker/max_failed_runs", 2);
    server.reset(); // the queue takes its settings when it is made
    server = std::make_unique<LocalServer>();
    const QString a = add("a.aex"), b = add("b.aex"), c = add("c.aex");
    server->OnJobStarted(a);
    server->OnJobEnded(a, 3, "exit code 3", false);
    QVERIFY(find(a)->IsWaiting());
    QCOMPARE(ids(), (QStringList{a, b, c}));
    QCOMPARE(server->PickJob().job_id, b); // a waits for its retry
    QTRY_COMPARE_WITH_TIMEOUT(server->PickJob().job_id, a, 5000);

    server->OnJobStarted(a);
    server->OnJobEnded(a, 9, "stopped", true); // stopped by the operator
    QVERIFY(find(a)->IsWaiting());
    QCOMPARE(find(a)->failed_runs, 1);
    QCOMPARE(server->PickJob().job_id, a);

    server->OnJobStarted(a);
    server->OnJobEnded(a, 124, "time limit exceeded", false);
    QVERIFY(find(a)->IsFailed());
    QCOMPARE(ids(), (QStringList{a, b, c}));
    QCOMPARE(server->PickJob().job_id, b);
    const QJsonArray list = QJsonDocument::fromJson(server->GetNesterJobList(Client, QString()).second).array();
    QCOMPARE(list.at(0).toObject().value("state").toString(), QStringLiteral("failed"));
    QCOMPARE(list.at(0).toObject().value("error").toString(), QStringLiteral("time limit exceeded"));
    QCOMPARE(list.at(0).toObject().value("position").toInt(), 0);
    QCOMPARE(list.at(1).toObject().value("position").toInt(), 1);

    QCOMPARE(server->RetryNesterJob(b), Reply(false, "Job non-existent...")); // not failed
    server.reset(); // the failure is what a restart restores
    server = std::make_unique<LocalServer>();
    QVERIFY(find(a)->IsFailed());
    QCOMPARE(find(a)->error, QStringLiteral("time limit exceeded"));

    QCOMPARE(server->RetryNesterJob(a), Reply(true, QByteArray()));
    QCOMPARE(ids(), (QStringList{b, c, a}));
    QVERIFY(find(a)->IsWaiting());
    QCOMPARE(find(a)->failed_runs, 0);
    QVERIFY(find(a)->error.isEmpty());
}

// A result that cannot be written (the file size limit stands in for a full
// disk) leaves the previous result, and the run's successful exit does not
// finish the job with it.
void TestLocalServer::resultWriteFailureKeepsPreviousResult()
{
#ifdef Q_OS_UNIX
    const QString id = add("r.aex");
    NesterJob *job = find(id);
    server->OnJobStarted(id);
    const QByteArray first(4096, 'a');
    const QByteArray big(600060, 'b');
    auto update = [&](const QByteArray &bytes) {
        return server->UpdateData(QJsonObject{{"job_id", id}, {"data", QString::fromLatin1(bytes.toBase64())}});
    };
    QVERIFY(update(first));
    bool written = true;
    {
        StoreTest::FileSizeLimit limit(65536);
        written = update(big);
    }
    QVERIFY(!written);
    QCOMPARE(StoreTest::ReadFile(job->fileaexres), first);
    QCOMPARE(QDir(QFileInfo(job->fileaexres).absolutePath()).entryList(QDir::Files).size(), 2); // no leftovers
    server->OnJobEnded(id, 0, QString(), false);
    QVERIFY(!job->IsFinished());
    QCOMPARE(job->error, QStringLiteral("result could not be written"));
#else
    QSKIP("the file size limit is a Unix facility");
#endif
}

void TestLocalServer::sessionChangesReachGuiThread()
{
    QList<QThread *> emittedOn;
    QList<int> sizes;
    connect(server.get(), &LocalServer::updateJobList, this, [&](QList<NesterJob *> jobs) {
        emittedOn << QThread::currentThread();
        sizes << jobs.size();
        for (NesterJob *job : jobs) // the records are alive for the receiver
            QVERIFY(!job->job_id.isEmpty());
    }, Qt::DirectConnection);
    QStringList removedIds;
    connect(server.get(), &LocalServer::jobRemoved, this, [&](QString id) {
        QCOMPARE(QThread::currentThread(), thread());
        removedIds << id;
    }, Qt::DirectConnection);

    QString id;
    std::thread session([&] {
        id = add("s.aex");
        add("t.aex");
        server->RemoveNesterJob(id);
    });
    session.join();
    QVERIFY(emittedOn.isEmpty()); // nothing emitted on the session thread
    QTRY_VERIFY_WITH_TIMEOUT(!emittedOn.isEmpty() && removedIds.size() == 1, 5000);
    QCoreApplication::processEvents();
    for (QThread *t : emittedOn)
        QCOMPARE(t, thread());
    QCOMPARE(emittedOn.size(), 1); // three changes, one coalesced notification
    QCOMPARE(sizes.last(), 1);
    QCOMPARE(removedIds, QStringList{id});
}

void TestLocalServer::jobsFolderFailure()
{
    server.reset();
    const QString jobs = StoreTest::JobsPath();
    for (const QString &name : QDir(jobs).entryList(QDir::Files))
        QVERIFY(QFile::remove(jobs + "/" + name)); // the backup and its journal
    QVERIFY(QDir(jobs).rmdir(jobs));
    QVERIFY(StoreTest::WriteFile(jobs, "a file where the jobs folder should be"));

    QList<QStringList> shown;
    QList<QThread *> shownOn;
    const auto reporter = [&](const QString &title, const QString &text) {
        shown << QStringList{title, text};
        shownOn << QThread::currentThread();
    };
    const QStringList cwdBefore = QDir::current().entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    server = std::make_unique<LocalServer>(nullptr, reporter);
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown.first(), (QStringList{"Error", "Cannot create directory for application data."}));
    QVERIFY(server->Jobs().isEmpty());

    const Reply failed(false, "Data upload exception, Please contact the server administrator...");
    QCOMPARE(server->AddNesterJob(AddRequest("a.aex", "x"), Client), failed);
    Reply fromSession;
    std::thread session([&] { fromSession = server->AddNesterJob(AddRequest("b.aex", "x"), Client); });
    session.join();
    QCOMPARE(fromSession, failed);
    QCOMPARE(shown.size(), 2); // the session thread showed nothing
    for (QThread *t : shownOn)
        QCOMPARE(t, thread());
    QVERIFY(server->Jobs().isEmpty());
    server.reset();
    QCOMPARE(QDir::current().entryList(QDir::AllEntries | QDir::NoDotAndDotDot), cwdBefore);
    QCOMPARE(StoreTest::ReadFile(jobs), QByteArray("a file where the jobs folder should be"));
    QVERIFY(QFile::remove(jobs));
}

QTEST_GUILESS_MAIN(TestLocalServer)
#include "tst_localserver.moc"
