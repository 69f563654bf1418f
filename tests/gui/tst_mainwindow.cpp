// Service window: job buttons with their status texts, the service buttons'
// enabled state, a port in use, client changes and job names reaching the
// table, removing or picking up a running job, the settings dialog, the about
// box and a language change.
#include "ButtonEditor.h"
#include "ConnectionSettingsDialog.h"
#include "JobTableModel.h"
#include "JobTableWidget.h"
#include "LocalMainWindow.h"
#include "ServiceCore.h"
#include "LocalManager.h"
#include "LocalServer.h"
#include "NesterJob.h"
#include "TestMain.h"
#include "TestProcesses.h"
#include "VelCoreApplication.h"
#include "VelSplashScreen.h"

#include <QAction>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QHeaderView>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QTcpServer>
#include <QThread>

#include <memory>

using namespace Orvane::Zendral;

using TestProcesses::freePort;

namespace {

// Exposes the controller operations the tests look at.
class Window : public LocalMainWindow
{
public:
    explicit Window(bool autoStart = false)
        : LocalMainWindow(autoStart)
    {
        Core()->SetRetryIntervalMs(60000); // no rebuilds behind the tests' backs
    }
    int MaxWorkerCount() const { return Core()->MaxWorkerCount(); }
    PickedJob NextJob() const { return Core()->NextJob(); }
    int ActiveRunCount() const { return Core()->ActiveRunCount(); }
    void reset() { Core()->ResetServer(); }
    void resume() { Core()->SetPaused(false); }

    // Answers the confirmation of actions that end engine runs.
    bool Confirm(const QString &) override
    {
        ++asked;
        return answer;
    }
    int asked = 0;
    bool answer = true;
};
QByteArray addRequest(const QString &name)
{
    const QByteArray marker = "<MARKER_DOCUMENT><MARKER/></MARKER_DOCUMENT>";
    const QJsonObject request{{"job_name", name + ".aex"},
                              {"work_data", QString::fromLatin1(marker.toBase64())},
                              {"time", 5}};
    return QJsonDocument(request).toJson(QJsonDocument::Compact);
}

// Runs a queue operation on a thread of its own, as a client session does.
template <typename F>
void onOtherThread(F &&work)
{
    std::unique_ptr<QThread> thread(QThread::create(std::forward<F>(work)));
    thread->start();
    QVERIFY(thread->wait(10000));
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        qputenv("ZENDRAL_PROBE_HOST", "127.0.0.1");
        QSettings settings;
        settings.setValue("config/pick_job_interval", 1);
        settings.setValue("worker/engine", QStringLiteral("zendral-no-such-engine"));
    }

    void init()
    {
        QSettings settings;
        settings.remove("maxWorkerCount");
        settings.remove("window"); // each test starts from the default layout
        settings.setValue("worker/port", QString::number(freePort()));
        window.reset(new Window);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        // Start from an empty queue, not paused, whatever an earlier test left behind.
        window->resume();
        for (NesterJob *job : window->Queue()->Jobs())
            ids << job->job_id;
        for (const QString &id : qAsConst(ids))
            window->Queue()->RemoveNesterJob(id);
        ids.clear();
        table = window->findChild<JobTableWidget *>("tabViewJobs");
        QVERIFY(table);
        QTRY_COMPARE(rows(), 0);
    }

    void cleanup()
    {
        window.reset();
        qunsetenv("ZENDRAL_STUB_MODE");
        QSettings().setValue("worker/engine", QStringLiteral("zendral-no-such-engine"));
    }

    void menusAndLimit()
    {
        QVERIFY(window->menuBar());
        auto *language = window->menuBar()->findChild<QMenu *>("menuLanguage");
        QVERIFY(language);
        QVERIFY(language->actions().size() >= 3); // <Auto>, English, Chinese
        QCOMPARE(window->menuBar()->findChild<QAction *>("action_Quit")->shortcut(), QKeySequence("Ctrl+Q"));
        QCOMPARE(window->MaxWorkerCount(), 1);
    }

    void jobButtons()
    {
        for (const char *name : {"a", "b", "c"})
            ids << QString::fromLatin1(window->Queue()->AddNesterJob(addRequest(name), "127.0.0.1").second);
        QTRY_COMPARE(rows(), 3);
        QStatusBar *status = window->statusBar();
        auto click = [this](const char *button) {
            window->findChild<QPushButton *>(button)->click();
        };

        // Nothing selected: nothing moves, nothing is shown.
        for (const char *button : {"buttonUpJob", "buttonDownJob", "buttonTopJob", "buttonBottomJob", "buttonRemoveJob"})
            click(button);
        QCOMPARE(queueOrder(), ids);
        QCOMPARE(status->currentMessage(), QString());

        table->selectRow(2);
        click("buttonUpJob");
        QCOMPARE(queueOrder(), (QStringList{ids[0], ids[2], ids[1]}));
        QCOMPARE(status->currentMessage(), QStringLiteral("Job Up succeed..."));
        // The selection follows its job, so a second click moves it on.
        QCOMPARE(table->selectedJobId(), ids[2]);
        click("buttonTopJob");
        QCOMPARE(queueOrder(), (QStringList{ids[2], ids[0], ids[1]}));
        QCOMPARE(status->currentMessage(), QStringLiteral("Job Top succeed..."));

        // A refused move shows nothing.
        status->clearMessage();
        click("buttonUpJob");
        QCOMPARE(status->currentMessage(), QString());
        click("buttonBottomJob");
        QCOMPARE(queueOrder(), (QStringList{ids[0], ids[1], ids[2]}));
        QCOMPARE(status->currentMessage(), QStringLiteral("Job Bottom succeed..."));
        table->selectRow(0);
        click("buttonDownJob");
        QCOMPARE(queueOrder(), (QStringList{ids[1], ids[0], ids[2]}));
        QCOMPARE(status->currentMessage(), QStringLiteral("Job Down succeed..."));
        // The table follows the queue.
        QCOMPARE(tableOrder(), queueOrder());

        click("buttonRemoveJob");
        QElapsedTimer shown;
        shown.start();
        QCOMPARE(queueOrder(), (QStringList{ids[1], ids[2]}));
        QCOMPARE(status->currentMessage(), QStringLiteral("Job Remove succeed..."));
        QCOMPARE(tableOrder(), queueOrder());
        QCOMPARE(table->selectedJobId(), QString());
        // Shown for 5000 ms, then cleared; the wide limit allows for slow
        // (instrumented) runs.
        QTRY_COMPARE_WITH_TIMEOUT(status->currentMessage(), QString(), 15000);
        QVERIFY2(shown.elapsed() >= 4500, qPrintable(QString::number(shown.elapsed())));
    }

    // Buttons are enabled only for what the selected job allows; Hold turns
    // into Release for a held job; removing a waiting job asks too; Pause
    // shows in the status bar, stops picks and survives a restart.
    void holdPauseAndButtonStates()
    {
        for (const char *name : {"a", "b"})
            ids << QString::fromLatin1(window->Queue()->AddNesterJob(addRequest(name), "127.0.0.1").second);
        QTRY_COMPARE(rows(), 2);
        auto button = [this](const char *name) { return window->findChild<QPushButton *>(name); };
        QVERIFY(!button("buttonHoldJob")->isEnabled()); // nothing selected
        QVERIFY(!button("buttonRemoveJob")->isEnabled());

        table->selectRow(0);
        QVERIFY(!button("buttonUpJob")->isEnabled() && !button("buttonTopJob")->isEnabled());
        QVERIFY(button("buttonDownJob")->isEnabled() && button("buttonBottomJob")->isEnabled());
        QVERIFY(!button("buttonRetryJob")->isEnabled());
        QCOMPARE(button("buttonHoldJob")->text(), QStringLiteral("Hold"));
        button("buttonHoldJob")->click();
        QTRY_COMPARE(cell(0, JobTableModel::StateColumn), QStringLiteral("held"));
        QCOMPARE(button("buttonHoldJob")->text(), QStringLiteral("Release"));
        QCOMPARE(window->NextJob().job_id, ids[1]); // the held job is passed
        button("buttonHoldJob")->click();
        QTRY_COMPARE(cell(0, JobTableModel::StateColumn), QStringLiteral("waiting"));
        QCOMPARE(button("buttonHoldJob")->text(), QStringLiteral("Hold"));

        window->answer = false;
        button("buttonRemoveJob")->click();
        QCOMPARE(window->asked, 1);
        QCOMPARE(queueOrder(), ids);

        auto *paused = window->findChild<QLabel *>("pausedState");
        QVERIFY(paused && !paused->isVisible());
        button("buttonPause")->click();
        QVERIFY(paused->isVisible());
        QCOMPARE(paused->text(), QStringLiteral("Paused"));
        QCOMPARE(button("buttonPause")->text(), QStringLiteral("Resume"));
        QVERIFY(!window->NextJob().IsValid());

        window.reset(new Window); // a restart keeps the pause
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        paused = window->findChild<QLabel *>("pausedState");
        QVERIFY(paused->isVisible());
        QVERIFY(!window->NextJob().IsValid());
        button("buttonPause")->click();
        QVERIFY(!paused->isVisible());
        QCOMPARE(window->NextJob().job_id, ids[0]);
    }

    void clientChangesReachTable()
    {
        LocalServer *queue = window->Queue();
        QByteArray first, second;
        onOtherThread([&] {
            first = queue->AddNesterJob(addRequest("x"), "127.0.0.2").second;
            second = queue->AddNesterJob(addRequest("y"), "127.0.0.2").second;
        });
        QTRY_COMPARE_WITH_TIMEOUT(rows(), 2, 1000);
        QCOMPARE(cell(1, JobTableModel::AddressColumn), QStringLiteral("127.0.0.2"));

        onOtherThread([&] {
            const QJsonObject move{{"job_id", QString::fromLatin1(second)}, {"step", 0}};
            queue->MoveNesterJob(QJsonDocument(move).toJson(QJsonDocument::Compact));
        });
        QTRY_COMPARE_WITH_TIMEOUT(tableOrder().value(0), QString::fromLatin1(second), 1000);

        onOtherThread([&] { queue->RemoveNesterJob(QString::fromLatin1(second)); });
        QTRY_COMPARE_WITH_TIMEOUT(rows(), 1, 1000);
        QCOMPARE(tableOrder(), QStringList{QString::fromLatin1(first)});
    }

    // A plain job name (what zendral-client sends) shows as it is; a URL-safe
    // Base64 "work::name" shows its two parts.
    void jobNames()
    {
        const QString encoded = QString::fromLatin1(QByteArray("Shirts::Order 7").toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
        for (const QString &name : {QStringLiteral("shirt-front"), encoded})
            QVERIFY(window->Queue()->AddNesterJob(addRequest(name), "127.0.0.1").first);
        QTRY_COMPARE(rows(), 2);
        QCOMPARE(cell(0, JobTableModel::WorkNameColumn), QString());
        QCOMPARE(cell(0, JobTableModel::JobNameColumn), QStringLiteral("shirt-front"));
        QCOMPARE(cell(1, JobTableModel::WorkNameColumn), QStringLiteral("Shirts"));
        QCOMPARE(cell(1, JobTableModel::JobNameColumn), QStringLiteral("Order 7"));
        QCOMPARE(cell(1, JobTableModel::StateColumn), QStringLiteral("waiting"));
        QCOMPARE(cell(1, JobTableModel::BudgetColumn), QStringLiteral("5 s"));
    }

    // Ten jobs with 200-character names at the default 960x480: State and
    // Progress stay in view and the columns fill the view exactly; widths
    // the operator set, the columns' order and the window's size come back
    // when the window starts again.
    void longNamesAndRestoredColumns()
    {
        QSettings().remove("window");
        window.reset();
        window.reset(new Window); // a first start: nothing saved yet
        window->resize(960, 480);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        const QString name = QString(90, QLatin1Char('n')) + QStringLiteral("-middle-") + QString(102, QLatin1Char('e'));
        QCOMPARE(name.size(), 200);
        for (int i = 0; i < 10; ++i)
            QVERIFY(window->Queue()->AddNesterJob(addRequest(name), "127.0.0.1").first);
        table = window->findChild<JobTableWidget *>("tabViewJobs");
        QTRY_COMPARE(rows(), 10);
        QHeaderView *header = table->horizontalHeader();
        QTRY_COMPARE(header->length(), table->viewport()->width());
        for (int column : {int(JobTableModel::StateColumn), int(JobTableModel::ProgressColumn)}) {
            const int left = table->columnViewportPosition(column);
            QVERIFY2(left >= 0 && left + table->columnWidth(column) <= table->viewport()->width(),
                     qPrintable(QStringLiteral("column %1 at %2, %3 wide").arg(column).arg(left).arg(table->columnWidth(column))));
        }

        header->resizeSection(JobTableModel::StateColumn, 140);
        header->resizeSection(JobTableModel::EfficiencyColumn, 50);
        header->moveSection(header->visualIndex(JobTableModel::BudgetColumn), 0);
        window->resize(1040, 520); // above the width the buttons need
        QTRY_COMPARE(header->length(), table->viewport()->width()); // the names took the difference
        QList<int> widths;
        for (int c = 0; c < JobTableModel::ColumnCount; ++c)
            widths << table->columnWidth(c);
        QVERIFY(window->close());
        window.reset();
        window.reset(new Window); // the same queue, started again
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        table = window->findChild<JobTableWidget *>("tabViewJobs");
        QCOMPARE(window->size(), QSize(1040, 520));
        QTRY_COMPARE(rows(), 10);
        QCOMPARE(table->horizontalHeader()->visualIndex(JobTableModel::BudgetColumn), 0);
        for (int c = 0; c < JobTableModel::ColumnCount; ++c)
            QCOMPARE(table->columnWidth(c), widths.at(c));
    }

    void serviceButtonsFollowListener()
    {
        auto *start = window->findChild<QPushButton *>("buttonStart");
        auto *stop = window->findChild<QPushButton *>("buttonStop");
        start->click();
        QVERIFY(window->Queue()->listener->isListening());
        QCOMPARE(window->Queue()->listener->serverPort(), QSettings().value("worker/port").toString().toUShort());
        // At once, without waiting for a paint.
        QVERIFY(!start->isEnabled());
        QVERIFY(stop->isEnabled());

        stop->click();
        QVERIFY(!window->Queue()->listener->isListening());
        QVERIFY(start->isEnabled());
        QVERIFY(!stop->isEnabled());
        QCOMPARE(window->asked, 0); // nothing ran: Stop asked nothing
    }

    void portInUse()
    {
        QTcpServer occupier;
        QVERIFY(occupier.listen(QHostAddress::AnyIPv4, 0));
        QSettings().setValue("worker/port", QString::number(occupier.serverPort()));
        window->findChild<QPushButton *>("buttonStart")->click();
        QVERIFY(!window->Queue()->listener->isListening());
        QVERIFY(!window->statusBar()->currentMessage().isEmpty());
        // The port is named and stays shown while the start is retried, and
        // Stop ends the retries.
        auto *state = window->findChild<QLabel *>("serviceState");
        QVERIFY(state && state->isVisible());
        QVERIFY(state->text().contains(QString::number(occupier.serverPort())));
        QVERIFY(window->findChild<QPushButton *>("buttonStart")->isEnabled());
        auto *stop = window->findChild<QPushButton *>("buttonStop");
        QVERIFY(stop->isEnabled());
        stop->click();
        QVERIFY(!stop->isEnabled());
        QVERIFY(!state->isVisible());
    }

    void nextJobRespectsLimit()
    {
        const QString id = QString::fromLatin1(window->Queue()->AddNesterJob(addRequest("n"), "127.0.0.1").second);
        QSettings().setValue("maxWorkerCount", 0);
        QVERIFY(!window->NextJob().IsValid());
        QSettings().setValue("maxWorkerCount", 1);
        const PickedJob next = window->NextJob();
        QVERIFY(next.IsValid());
        QCOMPARE(next.job_id, id);
    }

#ifdef ZENDRAL_STUB_ENGINE_PATH
    void removingRunningJobStopsItsRun()
    {
        QSettings().setValue("worker/engine", QStringLiteral(ZENDRAL_STUB_ENGINE_PATH));
        qputenv("ZENDRAL_STUB_MODE", "hang");
        // A rebuilt job service is wired the same way.
        window->reset();
        const QString id = QString::fromLatin1(window->Queue()->AddNesterJob(addRequest("run"), "127.0.0.1").second);
        window->findChild<QPushButton *>("buttonStart")->click();
        QTRY_COMPARE_WITH_TIMEOUT(window->ActiveRunCount(), 1, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(isRunning(id), 5000);
        // The engine has reported once and now hangs.
        QTRY_VERIFY_WITH_TIMEOUT(progress(id) > 0, 5000);
        QCOMPARE(cell(0, JobTableModel::StateColumn), QStringLiteral("running"));
        QTRY_COMPARE(model()->index(0, JobTableModel::ProgressColumn).data().toInt(), int(progress(id)));

        // Removing a running job asks first; "no" keeps the job and its run.
        table->selectRow(0);
        window->answer = false;
        window->findChild<QPushButton *>("buttonRemoveJob")->click();
        QCOMPARE(window->asked, 1);
        QCOMPARE(window->ActiveRunCount(), 1);
        QCOMPARE(queueOrder(), QStringList{id});
        window->answer = true;
        window->findChild<QPushButton *>("buttonRemoveJob")->click();
        QTRY_COMPARE_WITH_TIMEOUT(window->ActiveRunCount(), 0, 10000);
        // The run's end does not bring the job back, and nothing is picked.
        QTest::qWait(1500);
        QCOMPARE(queueOrder(), QStringList());
        QCOMPARE(window->ActiveRunCount(), 0);
        QSettings().setValue("worker/engine", QStringLiteral("zendral-no-such-engine"));
    }

    // A client session (another thread) removes or picks up the job while
    // its engine runs: the run is stopped, its slot freed, and the job does
    // not come back when the run ends.
    void clientTakesRunningJob_data()
    {
        QTest::addColumn<bool>("pickUp");
        QTest::newRow("remove") << false;
        QTest::newRow("pick up") << true;
    }

    void clientTakesRunningJob()
    {
        QFETCH(bool, pickUp);
        QSettings().setValue("worker/engine", QStringLiteral(ZENDRAL_STUB_ENGINE_PATH));
        qputenv("ZENDRAL_STUB_MODE", "hang");
        LocalServer *queue = window->Queue();
        const QString id = QString::fromLatin1(queue->AddNesterJob(addRequest("taken"), "127.0.0.2").second);
        window->findChild<QPushButton *>("buttonStart")->click();
        QTRY_COMPARE_WITH_TIMEOUT(window->ActiveRunCount(), 1, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(isRunning(id), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(progress(id) > 0, 5000);

        bool ok = false;
        onOtherThread([&] {
            ok = (pickUp ? queue->PickUpNesterJob(id) : queue->RemoveNesterJob(id)).first;
        });
        QVERIFY(ok);
        QTRY_COMPARE_WITH_TIMEOUT(window->ActiveRunCount(), 0, 10000);
        QTest::qWait(1500); // the run's end and a pick tick
        QCOMPARE(queueOrder(), QStringList());
        QCOMPARE(rows(), 0);
        QCOMPARE(window->ActiveRunCount(), 0);
    }
#endif

    void settingsDialogFromMenu()
    {
        QAction *action = window->menuBar()->findChild<QAction *>("actionConnection_Settings");
        QVERIFY(action);
        QSettings().remove("worker/port");
        action->trigger();
        auto *dialog = window->findChild<ConnectionSettingsDialog *>();
        QVERIFY(dialog);
        QVERIFY(dialog->isVisible());
        QVERIFY(!dialog->isModal());
        // The machine's own addresses at first; the outward one only when
        // asked for (the probe is aimed at the loopback address in these
        // tests).
        QCOMPARE(dialog->leIP->text(), ConnectionSettingsDialog::LanAddresses().join(", "));
        QVERIFY(!dialog->findChild<QLabel *>("labelListening")->isVisible());
        dialog->buttonOutwardAddress->click();
        QTRY_COMPARE_WITH_TIMEOUT(dialog->leIP->text(), QStringLiteral("127.0.0.1"), 10000);
        QVERIFY(dialog->buttonOutwardAddress->isEnabled());
        QCOMPARE(dialog->lePort->text(), QStringLiteral("10088"));
        QVERIFY(dialog->lePort->isEnabled());
        dialog->leEngine->setText(QStringLiteral(ZENDRAL_STUB_ENGINE_PATH)); // an engine that can run
        dialog->accept();
        QCOMPARE(QSettings().value("worker/port").toString(), QStringLiteral("10088"));
        QTRY_VERIFY(!window->findChild<ConnectionSettingsDialog *>());

        // While listening the dialog shows the live port, disabled.
        const quint16 port = freePort();
        QSettings().setValue("worker/port", QString::number(port));
        window->findChild<QPushButton *>("buttonStart")->click();
        QVERIFY(window->Queue()->listener->isListening());
        action->trigger();
        dialog = window->findChild<ConnectionSettingsDialog *>();
        QVERIFY(dialog);
        QCOMPARE(dialog->lePort->text(), QString::number(port));
        QVERIFY(!dialog->lePort->isEnabled());
        QVERIFY(dialog->findChild<QLabel *>("labelListening")->isVisible()); // says why
        dialog->close();
        QTRY_VERIFY(!window->findChild<ConnectionSettingsDialog *>());
    }

    // One splash screen serves as the about box: a second About shows the
    // same one again.
    void aboutShowsOneSplashScreen()
    {
        QAction *about = window->menuBar()->findChild<QAction *>("actionAbout");
        QVERIFY(about);
        about->trigger();
        const QList<Orvane::VelSplashScreen *> first = splashScreens();
        QCOMPARE(first.size(), 1);
        QVERIFY(first[0]->isVisible());
        first[0]->close();
        QVERIFY(!first[0]->isVisible());

        about->trigger();
        QCOMPARE(splashScreens(), first);
        QVERIFY(first[0]->isVisible());
        first[0]->close();
    }

    void languageChangeReappliesTexts()
    {
        QVERIFY(window->Queue()->AddNesterJob(addRequest("lang"), "127.0.0.1").first);
        QTRY_COMPARE(rows(), 1);
        auto *start = window->findChild<QPushButton *>("buttonStart");
        auto *menuLanguage = window->menuBar()->findChild<QMenu *>("menuLanguage");
        auto *quit = window->menuBar()->findChild<QAction *>("action_Quit");
        Orvane::VelCoreApplication::instance()->setLanguage("zh_CN", true);
        QTRY_COMPARE(start->text(), QStringLiteral("启动"));
        QCOMPARE(header(0), QStringLiteral("作业名称"));
        QCOMPARE(header(JobTableModel::StateColumn), QStringLiteral("状态"));
        QCOMPARE(cell(0, JobTableModel::StateColumn), QStringLiteral("等待中"));
        QCOMPARE(cell(0, JobTableModel::BudgetColumn), QStringLiteral("5 秒"));
        QCOMPARE(window->findChild<QGroupBox *>("groupBox")->title(), QStringLiteral("服务控制"));
        QCOMPARE(menuLanguage->title(), QStringLiteral("语言"));
        QCOMPARE(quit->text(), QStringLiteral("退出(&Q)"));
        QCOMPARE(quit->shortcut(), QKeySequence("Ctrl+Q"));

        Orvane::VelCoreApplication::instance()->setLanguage("en", true);
        QTRY_COMPARE(start->text(), QStringLiteral("Start"));
        QCOMPARE(header(JobTableModel::BudgetColumn), QStringLiteral("Time Budget"));
        QCOMPARE(cell(0, JobTableModel::StateColumn), QStringLiteral("waiting"));
        QCOMPARE(menuLanguage->title(), QStringLiteral("Language"));
        QCOMPARE(quit->text(), QStringLiteral("&Quit"));
    }

private:
    QAbstractItemModel *model() const { return table->model(); }
    int rows() const { return model()->rowCount(); }
    QString cell(int row, int column) const { return model()->index(row, column).data().toString(); }
    QString header(int column) const { return model()->headerData(column, Qt::Horizontal).toString(); }
    QStringList tableOrder() const
    {
        QStringList order;
        for (int r = 0; r < rows(); ++r)
            order << model()->index(r, 0).data(JobTableWidget::JobIdRole).toString();
        return order;
    }
    static QList<Orvane::VelSplashScreen *> splashScreens()
    {
        QList<Orvane::VelSplashScreen *> found;
        for (QWidget *widget : QApplication::topLevelWidgets())
            if (auto *splash = qobject_cast<Orvane::VelSplashScreen *>(widget))
                found << splash;
        return found;
    }
    QStringList queueOrder() const
    {
        QStringList order;
        for (NesterJob *job : window->Queue()->Jobs())
            order << job->job_id;
        return order;
    }
    double progress(const QString &id) const
    {
        for (NesterJob *job : window->Queue()->Jobs())
            if (job->job_id == id)
                return job->completed;
        return -1;
    }
    bool isRunning(const QString &id) const
    {
        for (NesterJob *job : window->Queue()->Jobs())
            if (job->job_id == id)
                return job->IsRunning();
        return false;
    }

    std::unique_ptr<Window> window;
    JobTableWidget *table = nullptr;
    QStringList ids;
};

ZENDRAL_VEL_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
