// The main window controller driven through a test subclass: a small in-test
// job queue, real timers at short intervals, the real engine runner and the
// stand-in engine.
#include "ServiceController.h"
#include "TestSettings.h"
#include "TestMain.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <memory>
#include <stdexcept>

using Orvane::Zendral::PickedJob;
using Orvane::Zendral::ServiceController;

namespace {

struct FakeJob
{
    QString id;
    QString path;
    int state = 0; // 0 waiting, 1 running, 2 finished
};

// Implements the abstract operations against an in-test queue and records
// what the controller asked for.
class TestWindow : public ServiceController
{
public:
    explicit TestWindow(bool autoStart = false) : ServiceController(TestSettings::userSettings(), autoStart)
    {
        retryIntervalMs = 100;
        clock.start();
    }

    using ServiceController::OnStartServer;
    using ServiceController::OnStopServer;
    using ServiceController::StopJobRun;

    void setRetryInterval(int ms) { retryIntervalMs = ms; }
    int pickTimer() const { return pickTimerId; }
    int retryTimer() const { return retryTimerId; }
    int pickSeconds() const { return pickInterval; }
    int autoUpdateSeconds() const { return autoUpdateInterval; }
    int nextUpdate() const { return nextUpdateSeconds; }

    FakeJob *job(const QString &id)
    {
        for (FakeJob &j : jobs) {
            if (j.id == id)
                return &j;
        }
        return nullptr;
    }

    QList<FakeJob> jobs;
    int maxWorkers = 1;
    QList<int> startAnswers; // consumed one per StartServer; -1 throws; then 1
    bool alwaysThrowOnStart = false;
    int nextJobThrows = 0;   // that many NextJob calls throw first
    bool throwOnJobStarted = false;
    bool throwOnUpdateData = false;
    int dataReports = 0;
    bool markRunning = true; // false: the queue keeps offering a running job
    bool offerAlways = false; // a new job at every NextJob, whatever runs
    int maxActiveSeen = 0;
    QStringList engineChanges;

    int startCalls = 0;
    int resetCalls = 0;
    int stopCalls = 0;
    int nextJobCalls = 0;
    int progressReports = 0;
    QStringList events;
    QList<qint64> startTimes;
    QList<int> activeAtStart;
    QMap<QString, int> exitCodes;
    QElapsedTimer clock;

protected:
    bool OnJobUpdateData(const QJsonObject &) override
    {
        ++dataReports;
        if (throwOnUpdateData)
            throw std::runtime_error("store broke");
        return true;
    }
    int MaxWorkerCount() override { return maxWorkers; }

    int StartServer() override
    {
        ++startCalls;
        const int answer = startAnswers.isEmpty() ? 1 : startAnswers.takeFirst();
        if (alwaysThrowOnStart || answer < 0)
            throw std::runtime_error("listener broke");
        return answer;
    }
    void StopServer() override { ++stopCalls; }
    void ResetServer() override { ++resetCalls; }

    void JobStarted(QByteArray job_id) override
    {
        const QString id = QString::fromUtf8(job_id);
        events << QStringLiteral("started ") + id;
        startTimes << clock.elapsed();
        activeAtStart << ActiveRunCount();
        maxActiveSeen = qMax(maxActiveSeen, ActiveRunCount());
        if (markRunning && job(id))
            job(id)->state = 1;
        if (throwOnJobStarted)
            throw std::runtime_error("queue broke");
    }

    void JobFinished(QByteArray job_id, int exit_code, const QString &, bool, const QString &) override
    {
        const QString id = QString::fromUtf8(job_id);
        events << QStringLiteral("finished ") + id;
        exitCodes[id] = exit_code;
        if (job(id))
            job(id)->state = exit_code == 0 ? 2 : 0;
    }

    void JobUpdated(QByteArray, const QJsonObject &) override { ++progressReports; }

    void EngineAvailabilityChanged(bool usable, const QString &path) override
    {
        engineChanges << (usable ? QStringLiteral("usable ") : QStringLiteral("unusable ")) + path;
    }

    PickedJob NextJob() override
    {
        ++nextJobCalls;
        if (nextJobThrows > 0) {
            --nextJobThrows;
            throw std::runtime_error("queue broke");
        }
        if (offerAlways)
            return offerNewJob();
        if (ActiveRunCount() >= maxWorkers)
            return PickedJob();
        for (const FakeJob &j : jobs) {
            if (j.state == 0 && QFile::exists(j.path))
                return PickedJob{j.id, j.path, 5, QString()};
        }
        return PickedJob();
    }

    // Leaves the limit to the controller alone: a fresh job on the first
    // job's file at every call.
    PickedJob offerNewJob()
    {
        FakeJob fresh{QUuid::createUuid().toString(), jobs.value(0).path, 0};
        jobs << fresh;
        return PickedJob{fresh.id, fresh.path, 5, QString()};
    }
};

} // namespace

class TestServiceController : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void oneRunAtATime();
    void freeSlotsFillAtOnceThenCloseKillsRuns();
    void slotsNeverIdleWhileJobsWait();
    void controllerHoldsTheLimitItself();
    void runningJobIsNotStartedTwice();
    void missingEngineLeavesJobWaiting();
    void stopJobRunEndsThatRun();
    void retryRebuildsServiceUntilPortFree();
    void stopEndsRetrying();
    void startExceptionRetriedThroughEventLoop();
    void persistentStartExceptionIsPaced();
    void pickExceptionRebuildsServiceLater();
    void runnerSlotExceptionIsLogged();
    void resultReportExceptionFreesSlot();
    void settingsDefaultsWrittenAtExit();

private:
    void addJobs(TestWindow &w, int count, const QString &stem = QStringLiteral("marker"));

    QScopedPointer<QTemporaryDir> dir;
};

void TestServiceController::initTestCase()
{
#ifndef ZENDRAL_STUB_ENGINE_PATH
    QSKIP("the stand-in engine is not built");
#endif
}

void TestServiceController::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
    QSettings settings;
    settings.clear();
    settings.setValue(QStringLiteral("config/pick_job_interval"), 1);
#ifdef ZENDRAL_STUB_ENGINE_PATH
    settings.setValue(QStringLiteral("worker/engine"), QStringLiteral(ZENDRAL_STUB_ENGINE_PATH));
#endif
    qputenv("ZENDRAL_STUB_MODE", "normal");
    qputenv("ZENDRAL_STUB_MESSAGES", "2");
    qputenv("ZENDRAL_STUB_PAUSE_MS", "150");
    qputenv("ZENDRAL_STUB_EXIT", "0");
}

void TestServiceController::cleanup()
{
    dir.reset();
}

void TestServiceController::addJobs(TestWindow &w, int count, const QString &stem)
{
    for (int i = 0; i < count; ++i) {
        FakeJob job;
        job.id = QUuid::createUuid().toString();
        job.path = dir->filePath(QStringLiteral("%1_%2.xml").arg(stem).arg(i));
        QFile file(job.path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("<MARKER_DOCUMENT/>");
        w.jobs << job;
    }
}

// Non-ASCII file names also check that the path reaches the engine intact:
// a mangled path makes the stand-in engine exit with 2.
void TestServiceController::oneRunAtATime()
{
    TestWindow w;
    addJobs(w, 3, QStringLiteral("Märker_ß"));
    w.OnStartServer();
    QTRY_COMPARE_WITH_TIMEOUT(w.exitCodes.size(), 3, 15000);

    QStringList expected;
    for (const FakeJob &job : w.jobs)
        expected << QStringLiteral("started ") + job.id << QStringLiteral("finished ") + job.id;
    QCOMPARE(w.events, expected);
    QCOMPARE(w.activeAtStart, QList<int>({1, 1, 1}));
    for (const FakeJob &job : w.jobs) {
        QCOMPARE(w.exitCodes.value(job.id), 0);
        QCOMPARE(job.state, 2);
    }
    QVERIFY(w.progressReports > 0);
    QCOMPARE(w.ActiveRunCount(), 0);
    w.OnStopServer();
}

// Free slots fill one start per event-loop pass, at once, without waiting
// for ticks of the pick timer (here a minute).
void TestServiceController::freeSlotsFillAtOnceThenCloseKillsRuns()
{
    qputenv("ZENDRAL_STUB_MODE", "hang");
    QSettings().setValue(QStringLiteral("config/pick_job_interval"), 60);
    std::unique_ptr<TestWindow> w(new TestWindow(true));
    w->maxWorkers = 3;
    addJobs(*w, 4);
    QVERIFY(w->Launch());
    QCOMPARE(w->startTimes.size(), 1); // the first at once when the listener opens
    QTRY_COMPARE_WITH_TIMEOUT(w->ActiveRunCount(), 3, 5000);
    QCOMPARE(w->activeAtStart, QList<int>({1, 2, 3}));
    QVERIFY2(w->startTimes[2] - w->startTimes[0] < 5000, "the slots waited for a tick");
    QTest::qWait(300); // room for a wrong fourth start
    QCOMPARE(w->ActiveRunCount(), 3);

    w->OnStopServer();
    QCOMPARE(w->ActiveRunCount(), 0);
    QCOMPARE(w->exitCodes.size(), 3);
    for (const FakeJob &job : w->jobs) {
        QVERIFY(!w->exitCodes.contains(job.id) || w->exitCodes.value(job.id) != 0);
        QCOMPARE(job.state, 0);
    }
    QCOMPARE(w->stopCalls, 1);
    QCOMPARE(w->pickTimer(), -1);
    const int picks = w->nextJobCalls;
    QTest::qWait(1300);
    QCOMPARE(w->nextJobCalls, picks);

    w.reset();
    QSettings settings;
    QCOMPARE(settings.value(QStringLiteral("config/pick_job_interval")).toInt(), 60);
    QCOMPARE(settings.value(QStringLiteral("config/auto_update_interval")).toInt(), 86400);
    QCOMPARE(settings.value(QStringLiteral("worker/next_update_seconds")).toInt(), 3);
}

// Ten short runs on two slots with a pick interval of a minute: each ending
// run frees its slot for the next job at once.
void TestServiceController::slotsNeverIdleWhileJobsWait()
{
    qputenv("ZENDRAL_STUB_MESSAGES", "1");
    qputenv("ZENDRAL_STUB_PAUSE_MS", "0");
    QSettings().setValue(QStringLiteral("config/pick_job_interval"), 60);
    TestWindow w;
    w.maxWorkers = 2;
    addJobs(w, 10);
    w.OnStartServer();
    QTRY_COMPARE_WITH_TIMEOUT(w.exitCodes.size(), 10, 10000);
    for (const FakeJob &job : w.jobs)
        QCOMPARE(job.state, 2);
    QVERIFY2(w.clock.elapsed() < 10000, "runs waited for ticks");
    QCOMPARE(w.maxActiveSeen, 2);
    w.OnStopServer();
}

// A window that offers a job at every ask leaves the limit to the
// controller: it must never run more than the maximum, neither through
// events nor through ticks.
void TestServiceController::controllerHoldsTheLimitItself()
{
    qputenv("ZENDRAL_STUB_MODE", "hang");
    TestWindow w;
    w.maxWorkers = 2;
    w.offerAlways = true;
    addJobs(w, 1);
    w.OnStartServer();
    QTRY_COMPARE_WITH_TIMEOUT(w.ActiveRunCount(), 2, 5000);
    QTest::qWait(1500); // at least one tick of the one-second pick timer
    QCOMPARE(w.ActiveRunCount(), 2);
    QCOMPARE(w.maxActiveSeen, 2);
    w.OnStopServer();
}

// The queue marks a job running only when the engine has started; a queue
// that offers it again must not get a second engine on the same job.
void TestServiceController::runningJobIsNotStartedTwice()
{
    qputenv("ZENDRAL_STUB_MODE", "hang");
    TestWindow w;
    w.maxWorkers = 2;
    w.markRunning = false;
    addJobs(w, 1);
    w.OnStartServer();
    QTRY_VERIFY_WITH_TIMEOUT(w.nextJobCalls >= 3, 5000);
    QCOMPARE(w.startTimes.size(), 1);
    QCOMPARE(w.ActiveRunCount(), 1);
    w.OnStopServer();
    QCOMPARE(w.events.size(), 2);
}

// While the engine is missing no job is handed out (none burns a failed run
// for it); the change is reported once, not at every tick, and the jobs run
// as soon as the engine is there.
void TestServiceController::missingEngineLeavesJobWaiting()
{
    const QString engine = dir->filePath(QStringLiteral("engine"));
    QSettings().setValue(QStringLiteral("worker/engine"), engine);
    TestWindow w;
    addJobs(w, 1);
    w.OnStartServer();
    QTest::qWait(2500); // two ticks of the one-second pick timer
    QCOMPARE(w.nextJobCalls, 0);
    QVERIFY(w.events.isEmpty());
    QCOMPARE(w.engineChanges, QStringList{"unusable " + engine});

    QVERIFY(QFile::copy(QStringLiteral(ZENDRAL_STUB_ENGINE_PATH), engine));
    QTRY_COMPARE_WITH_TIMEOUT(w.exitCodes.value(w.jobs[0].id, -100), 0, 5000);
    QCOMPARE(w.engineChanges, (QStringList{"unusable " + engine, "usable " + engine}));
    w.OnStopServer();
}

void TestServiceController::stopJobRunEndsThatRun()
{
    qputenv("ZENDRAL_STUB_MODE", "hang");
    TestWindow w;
    w.maxWorkers = 2;
    addJobs(w, 2);
    w.OnStartServer();
    QTRY_COMPARE_WITH_TIMEOUT(w.ActiveRunCount(), 2, 5000);
    w.StopJobRun(w.jobs[0].id);
    QCOMPARE(w.ActiveRunCount(), 1);
    QVERIFY(w.exitCodes.value(w.jobs[0].id) != 0);
    QVERIFY(!w.exitCodes.contains(w.jobs[1].id));
    w.StopJobRun(QStringLiteral("{not-a-job}"));
    QCOMPARE(w.ActiveRunCount(), 1);
    w.OnStopServer();
    QCOMPARE(w.ActiveRunCount(), 0);
}

void TestServiceController::retryRebuildsServiceUntilPortFree()
{
    TestWindow w(true);
    w.startAnswers = {0, 0, 0, 1};
    QVERIFY(w.Launch());
    QCOMPARE(w.startCalls, 1);
    QVERIFY(w.retryTimer() != -1);
    QCOMPARE(w.nextJobCalls, 0);

    QTRY_COMPARE_WITH_TIMEOUT(w.startCalls, 4, 5000);
    QCOMPARE(w.resetCalls, 3); // each retry rebuilds the service first
    QCOMPARE(w.retryTimer(), -1);
    QVERIFY(w.pickTimer() != -1);
    QVERIFY(w.nextJobCalls >= 1); // picking began at once
    QTest::qWait(400);
    QCOMPARE(w.startCalls, 4);
    QCOMPARE(w.resetCalls, 3);
    w.OnStopServer();
}

void TestServiceController::stopEndsRetrying()
{
    TestWindow w;
    for (int i = 0; i < 100; ++i)
        w.startAnswers << 0;
    w.OnStartServer();
    QTRY_VERIFY_WITH_TIMEOUT(w.resetCalls >= 2, 5000);
    w.OnStopServer();
    QCOMPARE(w.retryTimer(), -1);
    const int starts = w.startCalls;
    QTest::qWait(500);
    QCOMPARE(w.startCalls, starts);
    QCOMPARE(w.stopCalls, 1);
    w.OnStopServer();
}

void TestServiceController::startExceptionRetriedThroughEventLoop()
{
    TestWindow w;
    w.startAnswers = {-1, -1, 1};
    QTest::ignoreMessage(QtWarningMsg, "connect to server error.");
    QTest::ignoreMessage(QtWarningMsg, "connect to server error.");
    w.OnStartServer();
    // The slot returned after one attempt: no retry inside it.
    QCOMPARE(w.startCalls, 1);
    QCOMPARE(w.pickTimer(), -1);
    QTRY_COMPARE_WITH_TIMEOUT(w.startCalls, 3, 2000);
    QVERIFY(w.pickTimer() != -1);
    QCOMPARE(w.nextJobCalls, 1);
    QCOMPARE(w.resetCalls, 0);
    QTest::qWait(200);
    QCOMPARE(w.startCalls, 3);
    w.OnStopServer();
}

// A start that throws every time is retried a few times at once, then only
// at the retry interval, and Stop ends it.
void TestServiceController::persistentStartExceptionIsPaced()
{
    TestWindow w;
    w.setRetryInterval(250);
    w.alwaysThrowOnStart = true;
    w.OnStartServer();
    QTest::qWait(600);
    QVERIFY2(w.startCalls >= 4, qPrintable(QString::number(w.startCalls)));
    QVERIFY2(w.startCalls <= 8, qPrintable(QString::number(w.startCalls)));
    w.OnStopServer();
    const int starts = w.startCalls;
    QTest::qWait(600);
    QCOMPARE(w.startCalls, starts);
    w.OnStopServer();
}

void TestServiceController::pickExceptionRebuildsServiceLater()
{
    TestWindow w;
    addJobs(w, 1);
    w.nextJobThrows = 1;
    QTest::ignoreMessage(QtWarningMsg, "pick job has some error.");
    w.OnStartServer();
    // The rebuild is not run inside the failed pick (it would recurse).
    QCOMPARE(w.resetCalls, 0);
    QCOMPARE(w.startCalls, 1);
    QTRY_COMPARE_WITH_TIMEOUT(w.resetCalls, 1, 2000);
    QCOMPARE(w.startCalls, 2);
    QTRY_COMPARE_WITH_TIMEOUT(w.exitCodes.value(w.jobs[0].id, -100), 0, 5000);
    w.OnStopServer();
}

void TestServiceController::runnerSlotExceptionIsLogged()
{
    TestWindow w;
    w.throwOnJobStarted = true;
    addJobs(w, 1);
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral(
                             "^File: .*ServiceController\\.cpp\nLine: \\d+\nFunction: "
                             "Orvane::Zendral::ServiceController::OnJobStarted\n$")));
    w.OnStartServer();
    // The run goes on and ends as usual.
    QTRY_COMPARE_WITH_TIMEOUT(w.exitCodes.value(w.jobs[0].id, -100), 0, 5000);
    QCOMPARE(w.ActiveRunCount(), 0);
    w.OnStopServer();
}

// A subclass that fails to store a result report (the final one included)
// must not keep the run's slot: the run ends, and the next job gets the slot.
void TestServiceController::resultReportExceptionFreesSlot()
{
    TestWindow w;
    w.throwOnUpdateData = true;
    addJobs(w, 2);
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral(
                             "^File: .*ServiceController\\.cpp\nLine: \\d+\nFunction: "
                             "Orvane::Zendral::ServiceController::OnJobUpdateData\n$")));
    w.OnStartServer();
    QTRY_COMPARE_WITH_TIMEOUT(w.exitCodes.size(), 2, 10000);
    QCOMPARE(w.exitCodes.value(w.jobs[0].id), 0);
    QCOMPARE(w.exitCodes.value(w.jobs[1].id), 0);
    QCOMPARE(w.events, QStringList({"started " + w.jobs[0].id, "finished " + w.jobs[0].id,
                                    "started " + w.jobs[1].id, "finished " + w.jobs[1].id}));
    // At least each run's final report reached the subclass (and threw).
    QVERIFY2(w.dataReports >= 2, qPrintable(QString::number(w.dataReports)));
    QCOMPARE(w.ActiveRunCount(), 0);
    w.OnStopServer();
}

void TestServiceController::settingsDefaultsWrittenAtExit()
{
    QSettings().clear();
    {
        TestWindow w;
        QCOMPARE(w.pickSeconds(), 5);
        QCOMPARE(w.autoUpdateSeconds(), 86400);
        QCOMPARE(w.nextUpdate(), 3);
    }
    {
        QSettings settings;
        QCOMPARE(settings.value(QStringLiteral("config/pick_job_interval")).toInt(), 5);
        QCOMPARE(settings.value(QStringLiteral("config/auto_update_interval")).toInt(), 86400);
        QCOMPARE(settings.value(QStringLiteral("worker/next_update_seconds")).toInt(), 3);
        settings.setValue(QStringLiteral("config/pick_job_interval"), QStringLiteral("soon"));
        settings.setValue(QStringLiteral("worker/next_update_seconds"), 7);
    }
    {
        TestWindow w;
        QCOMPARE(w.pickSeconds(), 5); // not a number: the default, never a timer of 0 ms
        QCOMPARE(w.nextUpdate(), 7);
    }
    QSettings settings;
    QCOMPARE(settings.value(QStringLiteral("config/pick_job_interval")).toInt(), 5);
    QCOMPARE(settings.value(QStringLiteral("worker/next_update_seconds")).toInt(), 7);
}

ZENDRAL_CORE_TEST_MAIN(TestServiceController)
#include "tst_servicecontroller.moc"
