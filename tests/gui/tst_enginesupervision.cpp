// Engine supervision through the service window, with the real job queue,
// engine runner and stand-in engine: the run time limit, the failure policy
// with the operator's Retry, Stop keeping a job's place, and a missing engine
// shown in the status bar.
#include "JobTableWidget.h"
#include "LocalMainWindow.h"
#include "LocalServer.h"
#include "ServiceCore.h"
#include "NesterJob.h"
#include "TestMain.h"
#include "TestProcesses.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QDialog>
#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>

#include <memory>

using namespace Orvane::Zendral;

namespace {

const QString Client = QStringLiteral("127.0.0.1");
QByteArray addRequest(const QString &name, int seconds)
{
    const QByteArray marker = "<MARKER_DOCUMENT><MARKER/></MARKER_DOCUMENT>";
    return QJsonDocument(QJsonObject{{"job_name", name + ".aex"},
                                     {"work_data", QString::fromLatin1(marker.toBase64())},
                                     {"time", seconds}})
        .toJson(QJsonDocument::Compact);
}

// Answers yes when an action would end engine runs.
class Window : public LocalMainWindow
{
public:
    Window() : LocalMainWindow(false) {}
    bool Confirm(const QString &) override { return true; }
};

} // namespace

class TestEngineSupervision : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        QVERIFY(temp.isValid());
        startLog = temp.filePath(QStringLiteral("starts-%1.log").arg(++round));
        QSettings settings;
        settings.clear();
        // Any free port: the service takes one when it starts listening.
        qputenv("ZENDRAL_TEST_ANY_PORT", "1");
        settings.setValue("worker/engine", QStringLiteral(ZENDRAL_STUB_ENGINE_PATH));
        settings.setValue("config/pick_job_interval", 1);
        settings.setValue("maxWorkerCount", 1);
        for (const char *name : {"ZENDRAL_STUB_MODE", "ZENDRAL_STUB_EXIT", "ZENDRAL_STUB_IGNORE_TERM",
                                 "ZENDRAL_STUB_STDERR"})
            qunsetenv(name);
        qputenv("ZENDRAL_STUB_MESSAGES", "1");
        qputenv("ZENDRAL_STUB_PAUSE_MS", "100");
        qputenv("ZENDRAL_STUB_START_LOG", startLog.toLocal8Bit());
    }

    void cleanup()
    {
        window.reset();
        LocalServer cleaner; // empties the queue for the next test
        for (NesterJob *job : cleaner.Jobs())
            cleaner.RemoveNesterJob(job->job_id);
    }

    // A hanging engine is stopped once budget and grace are over; the run
    // fails and the next job starts.
    void hangingEngineStoppedAtItsLimit()
    {
        QSettings().setValue("worker/engine_grace_seconds", 1);
        QSettings().setValue("worker/retry_delay_seconds", 60);
        qputenv("ZENDRAL_STUB_MODE", "hang");
        open();
        const QString first = add("first", 1), second = add("second", 1);
        start();
        QTRY_COMPARE_WITH_TIMEOUT(state(first), QStringLiteral("running"), 60000);
        QTRY_COMPARE_WITH_TIMEOUT(state(second), QStringLiteral("running"), 60000);
        QCOMPARE(state(first), QStringLiteral("waiting"));
        QVERIFY(job(first)->error.startsWith("time limit exceeded"));
        QCOMPARE(job(first)->failed_runs, 1);
    }

    // An engine that always fails runs exactly the maximum number of times;
    // the job is then failed, listed so, and Retry runs it again.
    void alwaysFailingEngineThenRetry()
    {
        QSettings().setValue("worker/retry_delay_seconds", 0);
        QSettings().setValue("worker/max_failed_runs", 3);
        qputenv("ZENDRAL_STUB_EXIT", "4");
        open();
        const QString id = add("failing", 1);
        start();
        QTRY_COMPARE_WITH_TIMEOUT(state(id), QStringLiteral("failed"), 60000);
        QTest::qWait(1500); // a tick: a failed job is not run again
        QCOMPARE(starts(), 3);
        const QJsonArray list = QJsonDocument::fromJson(window->Queue()->GetNesterJobList(Client, QString()).second).array();
        QCOMPARE(list.at(0).toObject().value("state").toString(), QStringLiteral("failed"));
        QCOMPARE(list.at(0).toObject().value("error").toString(), QStringLiteral("exit code 4"));

        qputenv("ZENDRAL_STUB_EXIT", "0");
        window->findChild<JobTableWidget *>("tabViewJobs")->selectRow(0);
        window->findChild<QPushButton *>("buttonRetryJob")->click();
        QTRY_COMPARE_WITH_TIMEOUT(state(id), QStringLiteral("finished"), 60000);
        QCOMPARE(starts(), 4);
    }

    // An engine that says why it fails, on standard error, with a terminal
    // escape in its words: the list's error ends with its last line (the
    // escape made harmless), the run log beside the job and the details
    // dialog hold its words, and the log goes with the job.
    void failedRunKeepsTheEngineWords()
    {
        QSettings().setValue("worker/max_failed_runs", 1);
        qputenv("ZENDRAL_STUB_EXIT", "3");
        qputenv("ZENDRAL_STUB_STDERR", "reading document\\n\x1b[31mlicence file missing");
        open();
        const QString id = add("unlicensed", 1);
        start();
        QTRY_COMPARE_WITH_TIMEOUT(state(id), QStringLiteral("failed"), 10000);
        const QJsonObject listed =
            QJsonDocument::fromJson(window->Queue()->GetNesterJobList(Client, QString()).second).array().at(0).toObject();
        const QString error = listed.value("error").toString();
        QVERIFY2(error.startsWith("exit code 3: ") && error.endsWith("licence file missing"), qPrintable(error));
        QVERIFY(!error.contains(QChar(0x1b)));
        QVERIFY(listed.value("engine_output").toString().startsWith("reading document\n"));
        const QString log = job(id)->RunLogPath();
        QFile file(log);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains("licence file missing"));
        file.close();

        window->findChild<JobTableWidget *>("tabViewJobs")->selectRow(0);
        window->findChild<QPushButton *>("buttonJobDetails")->click();
        auto *details = window->findChild<QDialog *>("JobDetailsDialog");
        QVERIFY(details);
        QVERIFY(details->findChild<QPlainTextEdit *>("engineOutput")->toPlainText().contains("licence file missing"));
        QCOMPARE(details->findChild<QLabel *>("error")->text(), error);
        details->close();

        QVERIFY(window->Queue()->RemoveNesterJob(id).first);
        QVERIFY(!QFile::exists(log));
        QVERIFY(!QFileInfo::exists(QFileInfo(log).absolutePath())); // the job's folder went too
    }

    // Stop ends the run, and the job waits again at its place with no
    // failure counted.
    void stopKeepsThePlace()
    {
        qputenv("ZENDRAL_STUB_MODE", "hang");
        open();
        const QString a = add("a", 30), b = add("b", 30);
        start();
        QTRY_COMPARE_WITH_TIMEOUT(state(a), QStringLiteral("running"), 60000);
        window->findChild<QPushButton *>("buttonStop")->click();
        QCOMPARE(window->Core()->ActiveRunCount(), 0);
        QCOMPARE(state(a), QStringLiteral("waiting"));
        QCOMPARE(job(a)->failed_runs, 0);
        QCOMPARE(job(a)->completed, 0.0);
        QStringList order;
        for (NesterJob *j : window->Queue()->Jobs())
            order << j->job_id;
        QCOMPARE(order, (QStringList{a, b}));
    }

    void missingEngineShownInStatusBar()
    {
        const QString engine = temp.filePath(QStringLiteral("no-engine"));
        QSettings().setValue("worker/engine", engine);
        open();
        const QString id = add("waits", 1);
        start();
        auto *label = window->findChild<QLabel *>("engineState");
        QVERIFY(label);
        QTRY_VERIFY_WITH_TIMEOUT(label->isVisible(), 60000);
        QVERIFY(label->text().contains(engine));
        QVERIFY(QFile::copy(QStringLiteral(ZENDRAL_STUB_ENGINE_PATH), engine));
        QTRY_COMPARE_WITH_TIMEOUT(state(id), QStringLiteral("finished"), 60000);
        QVERIFY(!label->isVisible());
        QCOMPARE(job(id)->failed_runs, 0);
    }

private:
    void open()
    {
        window.reset(new Window);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }
    void start() { window->findChild<QPushButton *>("buttonStart")->click(); }
    QString add(const QString &name, int seconds)
    {
        const Reply reply = window->Queue()->AddNesterJob(addRequest(name, seconds), Client);
        return reply.first ? QString::fromLatin1(reply.second) : QString();
    }
    NesterJob *job(const QString &id)
    {
        for (NesterJob *j : window->Queue()->Jobs())
            if (j->job_id == id)
                return j;
        return nullptr;
    }
    QString state(const QString &id)
    {
        NesterJob *j = job(id);
        return j ? NesterJob::StateName(j->state) : QString();
    }
    int starts()
    {
        QFile log(startLog);
        return log.open(QIODevice::ReadOnly) ? log.readAll().count('\n') : 0;
    }

    QTemporaryDir temp;
    QString startLog;
    int round = 0;
    std::unique_ptr<LocalMainWindow> window;
};

ZENDRAL_VEL_TEST_MAIN(TestEngineSupervision)
#include "tst_enginesupervision.moc"
