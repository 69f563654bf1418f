// The engine runner driven against the stand-in engine process.

#include "EngineProcess.h"
#include "JobManager.h"
#include "ServiceSettings.h"

#include <QJsonObject>
#include <QElapsedTimer>
#include <QMutex>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <stdexcept>

using Orvane::Zendral::EngineProcess;
using Orvane::Zendral::JobManager;
using Orvane::Zendral::ServiceConfig;
using Orvane::Zendral::ServiceSettings;

namespace {

const int kTimeoutMs = 10000;
const QByteArray kJobId = "{8a1f3c52-0b7e-4d6a-9c2f-1e5d7b3a9f60}";
const QString kMarkerName = QStringLiteral("Örnek_标记.aex");

QMutex logMutex;
QStringList logLines;

void captureMessage(QtMsgType, const QMessageLogContext &, const QString &text)
{
    QMutexLocker locker(&logMutex);
    logLines << text;
}

// One runner and what it reported. `order` spells the signals as they came:
// D updateData, U update, F finished. Like the controller, the receiver of
// finished destroys the runner inside the emission (unless told to keep it).
struct Run
{
    JobManager *runner = new JobManager;
    QSignalSpy started{runner, &JobManager::started};
    QSignalSpy finished{runner, &JobManager::finished};
    QSignalSpy update{runner, &JobManager::update};
    QSignalSpy updateData{runner, &JobManager::updateData};
    QString order;
    QString enginePath;

    explicit Run(bool deleteOnFinish = true)
    {
        QObject::connect(runner, &JobManager::updateData, [this] { order += 'D'; });
        QObject::connect(runner, &JobManager::update, [this] { order += 'U'; });
        QObject::connect(runner, &JobManager::finished, [this, deleteOnFinish] {
            order += 'F';
            enginePath = runner->enginePath();
            if (deleteOnFinish) {
                delete runner;
                runner = nullptr;
            }
        });
    }
    ~Run() { delete runner; }
    QJsonObject report(int i) const { return updateData.at(i).first().toJsonObject(); }
    QJsonObject message(int i) const { return update.at(i).at(1).toJsonObject(); }
    int exitCode() const { return finished.isEmpty() ? -100 : finished.first().at(1).toInt(); }
    // Starts the run with the engine and grace the settings name now, as the
    // service's controller does.
    void start(const QByteArray &token, const QByteArray &job_id, const QByteArray &file, int seconds)
    {
        const ServiceConfig config = ServiceSettings::UserSettings().Read();
        runner->configure(JobManager::ResolveEngine(config.engine), config.engineGraceSeconds);
        runner->startWork(token, job_id, file, seconds);
    }
};

// An attribute of the result document carried by a report; the data must be
// standard Base64.
QString resultAttribute(const QJsonObject &report, const QString &name)
{
    const QByteArray text = report.value(QStringLiteral("data")).toString().toLatin1();
    const QByteArray xml = QByteArray::fromBase64(text);
    if (xml.toBase64() != text)
        return QStringLiteral("<not standard Base64>");
    const QRegularExpression re(QStringLiteral("\\b%1=\"([^\"]*)\"").arg(name));
    return re.match(QString::fromUtf8(xml)).captured(1);
}

bool StoreWrite(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

} // namespace


class TestJobManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup() { qInstallMessageHandler(nullptr); }
    void runsToTheEnd_data();
    void runsToTheEnd();
    void finalReportReadsTheFileAtTheEnd();
    void messagesInOneWriteAllApplied();
    void timeLimitEndsStubbornEngine();
    void engineWordsEndTheReason();
    void staleEngineEndedBeforeStart();
    void stopWorkEndsHangingEngine_data();
    void stopWorkEndsHangingEngine();
    void stopLeavesNoTemporaryResult();
    void engineNotRun_data();
    void engineNotRun();
    void engineLookup();
    void throwingReceiverOfLastReport();

private:
    QString makeFile(const QString &name);
    QTemporaryDir m_dir;
};

void TestJobManager::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_dir.isValid());
    QCoreApplication::setOrganizationName(QStringLiteral("ZendralTest"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.filePath("settings"));
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_dir.filePath("settings"));
}

void TestJobManager::init()
{
    for (const char *name : {"ZENDRAL_STUB_MESSAGES", "ZENDRAL_STUB_EXIT", "ZENDRAL_STUB_MODE",
                             "ZENDRAL_STUB_IGNORE_TERM", "ZENDRAL_STUB_STDERR"})
        qunsetenv(name);
    QSettings().remove(QStringLiteral("worker/engine_grace_seconds"));
    qputenv("ZENDRAL_STUB_PAUSE_MS", "100");
    QSettings().setValue(QStringLiteral("worker/engine"), QStringLiteral(ZENDRAL_STUB_ENGINE_PATH));
    QMutexLocker locker(&logMutex);
    logLines.clear();
    qInstallMessageHandler(captureMessage);
}

QString TestJobManager::makeFile(const QString &name)
{
    QFile f(m_dir.filePath(name));
    return f.open(QIODevice::WriteOnly) && f.write("<MARKER_DOCUMENT/>\n") > 0 ? f.fileName() : QString();
}

void TestJobManager::runsToTheEnd_data()
{
    QTest::addColumn<QByteArray>("mode");
    QTest::addColumn<QByteArray>("messages");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("order");
    QTest::newRow("normal") << QByteArray("normal") << QByteArray("4") << 0 << "(DU)+DF";
    // The only message comes right before the exit and must not be lost.
    QTest::newRow("one message, exit 3") << QByteArray("normal") << QByteArray("1") << 3 << "DUDF";
    QTest::newRow("result never written") << QByteArray("noresult") << QByteArray("3") << 0 << "U+DF";
    QTest::newRow("no path") << QByteArray("nopath") << QByteArray("3") << 0 << "U+DF";
    QTest::newRow("malformed output") << QByteArray("malformed") << QByteArray("3") << 5 << "DF";
    QTest::newRow("missing marker file") << QByteArray("missing") << QByteArray("1") << 2 << "DF";
}

void TestJobManager::runsToTheEnd()
{
    QFETCH(QByteArray, mode);
    QFETCH(QByteArray, messages);
    QFETCH(int, exitCode);
    QFETCH(QString, order);
    qputenv("ZENDRAL_STUB_MODE", mode);
    qputenv("ZENDRAL_STUB_MESSAGES", messages);
    qputenv("ZENDRAL_STUB_EXIT", mode == "missing" ? "0" : QByteArray::number(exitCode));
    const QString marker = mode == "missing" ? m_dir.filePath("absent.aex") : makeFile(kMarkerName);
    const QString resultFile = marker + QStringLiteral(".engine.xml");
    Run run;
    run.start("tok-1", kJobId, marker.toUtf8(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(run.finished.count(), 1, kTimeoutMs);

    QCOMPARE(run.started.count(), 1);
    QCOMPARE(run.started.first().first().toByteArray(), kJobId);
    QCOMPARE(run.finished.first().first().toByteArray(), kJobId);
    QCOMPARE(run.exitCode(), exitCode);
    QVERIFY2(QRegularExpression("^" + order + "$").match(run.order).hasMatch(), qPrintable(run.order));

    for (int i = 0; i < run.update.count(); ++i) {
        const QJsonObject message = run.message(i);
        QCOMPARE(run.update.at(i).first().toByteArray(), kJobId);
        QCOMPARE(message.keys(), QStringList({"efficiency", "next_update", "path", "time_elapsed", "time_limit"}));
        QCOMPARE(message.value("path").toString(), mode == "nopath" ? QString() : resultFile);
        QVERIFY(mode != "nopath" || message.value("path").isNull());
        if (mode != "normal")
            continue;
        // The report emitted just before this message belongs to it.
        const QJsonObject report = run.report(i);
        QCOMPARE(report.value("job_id").toString(), QString::fromLatin1(kJobId));
        QCOMPARE(report.value("token").toString(), QStringLiteral("tok-1"));
        QCOMPARE(report.value("efficiency").toDouble(), message.value("efficiency").toDouble());
        QCOMPARE(report.value("estimate_complete_seconds").toDouble(),
                 2.0 - message.value("time_elapsed").toDouble());
        QCOMPARE(report.value("next_update_seconds").toInt(), message.value("next_update").toInt());
        QCOMPARE(resultAttribute(report, "efficiency").toDouble(), message.value("efficiency").toDouble());
    }

    // The final report: the last result with next update 0; the engine's
    // result file is gone.
    const QJsonObject last = run.report(run.updateData.count() - 1);
    QCOMPARE(last.value("next_update_seconds").toInt(), 0);
    QCOMPARE(last.value("job_id").toString(), QString::fromLatin1(kJobId));
    QVERIFY(!QFile::exists(resultFile));
    if (mode == "normal") {
        QCOMPARE(last.value("estimate_complete_seconds").toDouble(), 0.0);
        QCOMPARE(last.value("efficiency").toDouble(), 0.9);
        QCOMPARE(resultAttribute(last, "iteration"), QString::fromLatin1(messages));
        QCOMPARE(resultAttribute(last, "source"), kMarkerName); // the non-ASCII name arrived intact
    } else {
        QCOMPARE(last.value("data").toString(), QString(""));
    }
}

// An engine that rewrites its result after its last message: the final
// report carries the file as it is at the end, not the copy read for the
// last message.
void TestJobManager::finalReportReadsTheFileAtTheEnd()
{
    qputenv("ZENDRAL_STUB_MODE", "rewrite");
    qputenv("ZENDRAL_STUB_MESSAGES", "2");
    qputenv("ZENDRAL_STUB_PAUSE_MS", "300");
    const QString marker = makeFile(QStringLiteral("rewrite.aex"));
    Run run;
    run.start(QByteArray(), kJobId, marker.toUtf8(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(run.finished.count(), 1, kTimeoutMs);
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(run.order, QStringLiteral("DUDUDF"));
    QCOMPARE(resultAttribute(run.report(1), "iteration"), QStringLiteral("2"));
    QCOMPARE(resultAttribute(run.report(2), "iteration"), QStringLiteral("3"));
    QVERIFY(!QFile::exists(marker + QStringLiteral(".engine.xml")));
}

// Messages that arrive together, with plain text between them, are each
// applied, in order; the text is logged and skipped.
void TestJobManager::messagesInOneWriteAllApplied()
{
    qputenv("ZENDRAL_STUB_MODE", "pairs");
    qputenv("ZENDRAL_STUB_MESSAGES", "4");
    Run run;
    run.start(QByteArray(), kJobId, makeFile(QStringLiteral("pairs.aex")).toUtf8(), 4);
    QTRY_COMPARE_WITH_TIMEOUT(run.finished.count(), 1, kTimeoutMs);
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(run.update.count(), 4);
    QList<double> efficiencies;
    for (int i = 0; i < 4; ++i)
        efficiencies << run.message(i).value("efficiency").toDouble();
    QCOMPARE(efficiencies, (QList<double>{0.675, 0.75, 0.825, 0.9}));
    QMutexLocker locker(&logMutex);
    QVERIFY(logLines.filter(QStringLiteral("engine note: next pair")).size() >= 1);
}

// An engine still running its grace after its budget is asked to end, and
// killed when it does not; the run fails and says why.
void TestJobManager::timeLimitEndsStubbornEngine()
{
    qputenv("ZENDRAL_STUB_MODE", "hang");
    qputenv("ZENDRAL_STUB_IGNORE_TERM", "1");
    QSettings().setValue(QStringLiteral("worker/engine_grace_seconds"), 1);
    QElapsedTimer clock;
    clock.start();
    Run run(false);
    run.start(QByteArray(), kJobId, makeFile(QStringLiteral("limit.aex")).toUtf8(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(run.finished.count(), 1, 15000);
    QVERIFY2(clock.elapsed() >= 2000, "ended before budget and grace were over");
    QVERIFY(run.exitCode() != 0 && run.exitCode() != -1);
    QVERIFY2(run.runner->endReason().startsWith("time limit exceeded"), qPrintable(run.runner->endReason()));
    QVERIFY(!run.runner->wasStopped());
}

// An engine that fails and says why on standard error: its last line ends
// the run's reason, and the tail is there for the record; a run that
// succeeds keeps its words too, but has no reason.
void TestJobManager::engineWordsEndTheReason()
{
    qputenv("ZENDRAL_STUB_MESSAGES", "1");
    qputenv("ZENDRAL_STUB_EXIT", "3");
    qputenv("ZENDRAL_STUB_STDERR", "checking licence\\nlicence file missing");
    Run run(false);
    run.start(QByteArray(), kJobId, makeFile(QStringLiteral("words.aex")).toUtf8(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(run.finished.count(), 1, kTimeoutMs);
    QCOMPARE(run.exitCode(), 3);
    QCOMPARE(run.runner->endReason(), QStringLiteral("exit code 3: licence file missing"));
    QCOMPARE(run.runner->engineOutput(), QStringLiteral("checking licence\nlicence file missing\n"));

    qputenv("ZENDRAL_STUB_EXIT", "0");
    Run fine(false);
    fine.start(QByteArray(), kJobId, makeFile(QStringLiteral("fine.aex")).toUtf8(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(fine.finished.count(), 1, kTimeoutMs);
    QCOMPARE(fine.exitCode(), 0);
    QCOMPARE(fine.runner->endReason(), QString());
    QVERIFY(fine.runner->engineOutput().endsWith(QStringLiteral("licence file missing\n")));
}

// The lock file names an engine of an earlier run that still runs on the
// job (the service died without ending it): it is ended before the new run
// starts; a lock of a process that is gone is only cleared.
void TestJobManager::staleEngineEndedBeforeStart()
{
    qputenv("ZENDRAL_STUB_MODE", "hang");
    const QString marker = makeFile(QStringLiteral("stale.aex"));
    qint64 pid = 0;
    QVERIFY(QProcess::startDetached(ZENDRAL_STUB_ENGINE_PATH, {"-f", marker, "-t", "60"}, QString(), &pid));
    QString mark;
    for (int i = 0; i < 100 && mark.isEmpty(); ++i, QThread::msleep(20))
        mark = EngineProcess::StartMark(pid);
    QVERIFY(EngineProcess::IsRunning(pid, mark));
    QVERIFY(StoreWrite(JobManager::LockPath(marker), QByteArray::number(pid) + '\n' + mark.toLatin1() + '\n'));

    qputenv("ZENDRAL_STUB_MODE", "normal");
    qputenv("ZENDRAL_STUB_MESSAGES", "1");
    Run run;
    run.start(QByteArray(), kJobId, marker.toUtf8(), 1);
    QVERIFY(!EngineProcess::IsRunning(pid, mark)); // ended before the new engine started
    QTRY_COMPARE_WITH_TIMEOUT(run.finished.count(), 1, kTimeoutMs);
    QCOMPARE(run.exitCode(), 0);
    QVERIFY(!QFile::exists(JobManager::LockPath(marker)));

    // A lock whose process is gone (the mark no longer matches) is cleared.
    QVERIFY(StoreWrite(JobManager::LockPath(marker), QByteArray::number(pid) + "\n1\n"));
    Run again;
    again.start(QByteArray(), kJobId, marker.toUtf8(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(again.finished.count(), 1, kTimeoutMs);
    QCOMPARE(again.exitCode(), 0);
}

void TestJobManager::stopWorkEndsHangingEngine_data()
{
    QTest::addColumn<bool>("messagePending");
    QTest::newRow("message handled before the stop") << false;
    // The message is still unread when the stop comes: it must reach the
    // final report, not be lost with the runner.
    QTest::newRow("message pending at the stop") << true;
}

void TestJobManager::stopWorkEndsHangingEngine()
{
    QFETCH(bool, messagePending);
    qputenv("ZENDRAL_STUB_MODE", "hang");
    const QString resultFile = makeFile(kMarkerName) + QStringLiteral(".engine.xml");
    Run run;
    run.start(QByteArray(), kJobId, m_dir.filePath(kMarkerName).toUtf8(), 60);
    if (messagePending) {
        // Wait without the event loop until the engine has written its message.
        for (int i = 0; i < 250 && !QFile::exists(resultFile); ++i)
            QThread::msleep(20);
        QThread::msleep(300);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(run.update.count(), 1, kTimeoutMs);
    }
    QVERIFY(QFile::exists(resultFile));

    run.runner->stopWork(); // the runner is destroyed inside this call
    QCOMPARE(run.finished.count(), 1);
    QVERIFY2(run.exitCode() != 0 && run.exitCode() != -1, QByteArray::number(run.exitCode()));
    QCOMPARE(run.order, QStringLiteral("DUDF"));
    QCOMPARE(resultAttribute(run.report(1), "iteration"), QStringLiteral("1"));
    QCOMPARE(run.report(0).value("next_update_seconds").toInt(), 1);
    QCOMPARE(run.report(1).value("next_update_seconds").toInt(), 0);
    QVERIFY(!QFile::exists(resultFile));
}

// An engine stopped in the middle of writing its result leaves the write's
// temporary copy ("<job file>.engine.xml.XXXXXX"): the stop removes it and
// nothing else, and a stop is not logged as an engine fault.
void TestJobManager::stopLeavesNoTemporaryResult()
{
    qputenv("ZENDRAL_STUB_MODE", "hang");
    const QString marker = makeFile(kMarkerName);
    const QString temporary = marker + QStringLiteral(".engine.xml.Ab12Cd");
    const QStringList kept{makeFile(kMarkerName + QStringLiteral(".engine.xml.Ab12Cd7")),
                           makeFile(QStringLiteral("other.aex.engine.xml.Ab12Cd")),
                           makeFile(kMarkerName + QStringLiteral("_RES"))};
    QVERIFY(StoreWrite(temporary, "<MARKER_DOCUMENT"));
    Run run;
    run.start(QByteArray(), kJobId, marker.toUtf8(), 60);
    QTRY_COMPARE_WITH_TIMEOUT(run.update.count(), 1, kTimeoutMs);
    {
        QMutexLocker locker(&logMutex);
        logLines.clear();
    }
    run.runner->stopWork();
    QCOMPARE(run.finished.count(), 1);
    QVERIFY(!QFile::exists(temporary));
    QVERIFY(QFile::exists(marker));
    for (const QString &file : kept)
        QVERIFY2(QFile::exists(file), qPrintable(file));
    QMutexLocker locker(&logMutex);
    QVERIFY2(logLines.filter(QStringLiteral("engine process error")).isEmpty(), qPrintable(logLines.join('\n')));
}

void TestJobManager::engineNotRun_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<bool>("deleteOnFinish");
    QTest::newRow("engine missing") << false << true;
    QTest::newRow("engine is no program") << true << true;
    QTest::newRow("engine is no program, runner kept") << true << false;
}

void TestJobManager::engineNotRun()
{
    QFETCH(bool, exists);
    QFETCH(bool, deleteOnFinish);
    const QString engine = exists ? makeFile("not-a-program") : m_dir.filePath("no-such-engine");
    QFile::setPermissions(engine, QFile::ReadOwner | QFile::WriteOwner);
    QSettings().setValue(QStringLiteral("worker/engine"), engine);
    Run run(deleteOnFinish);
    run.start(QByteArray(), kJobId, makeFile("a.aex").toUtf8(), 5);
    QTRY_COMPARE_WITH_TIMEOUT(run.finished.count(), 1, kTimeoutMs);
    QTest::qWait(200); // room for a wrong second report from the event loop

    QCOMPARE(run.order, QStringLiteral("F")); // exactly one finished, nothing else
    QCOMPARE(run.finished.first().first().toByteArray(), kJobId);
    QCOMPARE(run.exitCode(), -1);
    QCOMPARE(run.enginePath, engine);
    QMutexLocker locker(&logMutex);
    QCOMPARE(logLines.contains("can not find auto marker engine in: " + engine), !exists);
}

void TestJobManager::engineLookup()
{
#ifdef Q_OS_WIN
    const QString suffix = QStringLiteral(".exe"); // executables carry ".exe" on Windows only
#else
    const QString suffix;
#endif
    const QString besideApp = QDir(QCoreApplication::applicationDirPath()).filePath("DizoVezevi" + suffix);
    const QString workDir = m_dir.filePath(QStringLiteral("workdir"));
    const QString relative = "engine-here" + suffix;
    const QString previousDir = QDir::currentPath();
    const auto restore = qScopeGuard([&] {
        QFile::remove(besideApp);
        QDir::setCurrent(previousDir);
    });
    QVERIFY(QDir().mkpath(workDir) && QDir::setCurrent(workDir));
    QVERIFY(!QFileInfo::exists("DizoVezevi"));
    QFile::remove(besideApp);
    QVERIFY(QFile::copy(ZENDRAL_STUB_ENGINE_PATH, besideApp));
    QVERIFY(QFile::copy(ZENDRAL_STUB_ENGINE_PATH, relative));
    qputenv("ZENDRAL_STUB_MESSAGES", "1");

    const QList<QPair<QVariant, QString>> cases{
        {QVariant(), besideApp},                            // unset: default name beside the program
        {QString(), besideApp},                             // stored empty by the settings dialog
        {relative, QDir(workDir).filePath(relative)},       // found in the working directory
        {ZENDRAL_STUB_ENGINE_PATH, ZENDRAL_STUB_ENGINE_PATH}}; // full path, run as it is
    for (const auto &c : cases) {
        if (c.first.isValid())
            QSettings().setValue(QStringLiteral("worker/engine"), c.first);
        else
            QSettings().remove(QStringLiteral("worker/engine"));
        Run run;
        run.start(QByteArray(), kJobId, makeFile("lookup.aex").toUtf8(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(run.finished.count(), 1, kTimeoutMs);
        QCOMPARE(run.enginePath, c.second);
        QCOMPARE(run.started.count(), 1);
        QCOMPARE(run.exitCode(), 0);
    }
}

// A receiver of the final report that throws must not swallow finished:
// its owner would wait for the run's end forever.
void TestJobManager::throwingReceiverOfLastReport()
{
    qputenv("ZENDRAL_STUB_MESSAGES", "2");
    Run run;
    QObject::connect(run.runner, &JobManager::updateData,
                     [] { throw std::runtime_error("receiver broke"); });
    run.start(QByteArray(), kJobId, makeFile("throwing.aex").toUtf8(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(run.finished.count(), 1, kTimeoutMs);
    QTest::qWait(200); // room for a wrong second finished
    QCOMPARE(run.finished.count(), 1);
    QCOMPARE(run.exitCode(), 0);
    // The final report was emitted (and threw), then finished followed.
    QVERIFY2(run.order.endsWith(QStringLiteral("DF")), qPrintable(run.order));
    QMutexLocker locker(&logMutex);
    QVERIFY(logLines.contains(QStringLiteral("finish work has error.")));
}

QTEST_GUILESS_MAIN(TestJobManager)
#include "tst_jobmanager.moc"
