#include "LocalMainWindow.h"

#include "ConnectionSettingsDialog.h"
#include "JobDetailsDialog.h"
#include "JobTableModel.h"
#include "JobTableWidget.h"
#include "LanguageMenuProxy.h"
#include "LocalManager.h"
#include "LocalServer.h"
#include "NesterJob.h"
#include "ServiceCore.h"
#include "ServiceSettings.h"
#include "Performance.h"
#include "VelSplashScreen.h"

#include <QAction>
#include <QDateTime>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QIcon>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QJsonDocument>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QItemSelectionModel>
#include <QPushButton>
#include <QSpacerItem>
#include <QSpinBox>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>

namespace Orvane {
namespace Zendral {

namespace {
const char *const Context = "LocalMainWindow";

constexpr int StatusTimeoutMs = 5000;
constexpr int SharedQueueWidth = 1080;
// How often the outward address lookup is looked at, and how long it may
// take before the window gives up on it.
constexpr int AddressPollMs = 200;
constexpr int AddressTimeoutMs = 5000;

QString translate(const char *text)
{
    return QCoreApplication::translate(Context, text);
}

template <typename T, typename P>
T *named(P *parent, const char *name)
{
    auto *object = new T(parent);
    object->setObjectName(QLatin1String(name));
    return object;
}

QPushButton *addButton(QWidget *parent, QLayout *layout, const char *name)
{
    auto *button = named<QPushButton>(parent, name);
    layout->addWidget(button);
    return button;
}
} // namespace

// The widgets of the window, and the framework menu bar's objects found by
// name (null when the framework gives no menu bar or lacks one of them).
struct LocalMainWindow::Form
{
    QAction *actionConnection_Settings = nullptr;
    QAction *actionCheck_Updates = nullptr;
    QAction *actionAbout = nullptr;
    QAction *action_Quit = nullptr;
    JobTableWidget *tabViewJobs = nullptr;
    QGroupBox *groupBox_2 = nullptr;
    QPushButton *buttonUpJob = nullptr;
    QPushButton *buttonDownJob = nullptr;
    QPushButton *buttonTopJob = nullptr;
    QPushButton *buttonBottomJob = nullptr;
    QPushButton *buttonRemoveJob = nullptr;
    QPushButton *buttonRetryJob = nullptr;
    // Hold, or Release for a held job: one button, so that the row stays
    // about as narrow as before the hold.
    QPushButton *buttonHoldJob = nullptr;
    QPushButton *buttonJobDetails = nullptr;
    QGroupBox *groupBox = nullptr;
    QPushButton *buttonStart = nullptr;
    QPushButton *buttonStop = nullptr;
    // Pause / Resume: new runs start or not.
    QPushButton *buttonPause = nullptr;
    QStatusBar *statusbar = nullptr;
    // "Paused" stays in the status bar while picking is paused.
    QLabel *pausedState = nullptr;
    // Stays in the status bar while the engine cannot be run.
    QLabel *engineState = nullptr;
    QString missingEngine;
    // Stays in the status bar while the service cannot listen.
    QLabel *serviceState = nullptr;
    // With a shared queue: how many nodes are connected, or that the
    // database cannot be reached.
    QLabel *clusterState = nullptr;
    QTimer *clusterTimer = nullptr;
    QString listenError;
    QString listenPort;
    // The tray icon, where the desktop has a tray.
    QSystemTrayIcon *tray = nullptr;
    bool closeWithoutAsking = false;

    QMenu *menuOptions = nullptr;
    QMenu *menuLanguage = nullptr;
    QMenu *menuHelp = nullptr;
    QAction *menuConnection_Settings = nullptr;
    QAction *menuCheck_Updates = nullptr;
    QAction *menuAbout = nullptr;
    QAction *menu_Quit = nullptr;
};

LocalMainWindow::LocalMainWindow(bool autoStart)
    : AbstractMainWindow(autoStart)
    , ui(new Form)
{
    setupMenuBar();
    setupUi();
    retranslateUi();
    connect(ui->action_Quit, &QAction::triggered, this, &LocalMainWindow::onQuitRequested);
    QMetaObject::connectSlotsByName(this);
    retranslateMenus();

    // The table as the operator left it; the Node column follows the queue
    // (wireQueue), the window's place and size come last.
    ServiceSettings &settings = Core()->Settings();
    ui->tabViewJobs->restoreColumns(settings.WindowState(ServiceSettings::JobTableStateKey));
    wireCore();
    wireQueue();
    connect(ui->tabViewJobs->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &LocalMainWindow::UpdateJobButtons);
    UpdateJobButtons();
    restoreGeometry(settings.WindowState(ServiceSettings::WindowGeometryKey));
}

LocalMainWindow::~LocalMainWindow()
{
    // The core ends the engine runs and deletes the queue, whose records the
    // table must not show any longer.
    ui->tabViewJobs->jobModel()->resetJobs({});
    DropCore();
}

LocalServer *LocalMainWindow::Queue() const
{
    return Core()->Queue();
}

// The core's state in the buttons, the status bar and the tray.
void LocalMainWindow::wireCore()
{
    ServiceCore *core = Core();
    connect(core, &ServiceCore::queueAboutToBeReplaced, this,
            [this] { ui->tabViewJobs->jobModel()->resetJobs({}); }); // the records die with the queue
    connect(core, &ServiceCore::queueReplaced, this, &LocalMainWindow::wireQueue);
    connect(core, &ServiceCore::serviceStateChanged, this, &LocalMainWindow::ServiceStateChanged);
    connect(core, &ServiceCore::listenFailed, this, &LocalMainWindow::ShowListenFailure);
    connect(core, &ServiceCore::engineAvailabilityChanged, this, &LocalMainWindow::ShowEngineState);
    connect(core, &ServiceCore::runStarted, this, &LocalMainWindow::UpdateTray);
    connect(core, &ServiceCore::pausedChanged, this, &LocalMainWindow::ShowPaused);
    connect(core, &ServiceCore::runEnded, this, [this](const QString &job_id) {
        NotifyJobEnd(job_id);
        UpdateTray();
    });
}

// The menu bar must become a child before the form's own actions exist, so
// that the connect-by-name binds the menu bar's actions of the same names.
void LocalMainWindow::setupMenuBar()
{
    Performance *performance = Performance::instance();
    QMenuBar *bar = performance ? performance->getMenuBar() : nullptr;
    if (!bar)
        return;
    setMenuBar(bar);
    ui->menuLanguage = bar->findChild<QMenu *>(QStringLiteral("menuLanguage"));
    if (ui->menuLanguage)
        LanguageMenuProxy::create(ui->menuLanguage);
    ui->menuOptions = bar->findChild<QMenu *>(QStringLiteral("menuOptions"));
    ui->menuHelp = bar->findChild<QMenu *>(QStringLiteral("menuHelp"));
    ui->menuConnection_Settings = bar->findChild<QAction *>(QStringLiteral("actionConnection_Settings"));
    ui->menuCheck_Updates = bar->findChild<QAction *>(QStringLiteral("actionCheck_Updates"));
    ui->menuAbout = bar->findChild<QAction *>(QStringLiteral("actionAbout"));
    ui->menu_Quit = bar->findChild<QAction *>(QStringLiteral("action_Quit"));
    if (ui->menu_Quit) {
        // Quit asks first while engines run, like the form's own action.
        disconnect(ui->menu_Quit, &QAction::triggered, nullptr, nullptr);
        connect(ui->menu_Quit, &QAction::triggered, this, &LocalMainWindow::onQuitRequested);
    }
}

void LocalMainWindow::setupUi()
{
    setObjectName(QStringLiteral("LocalMainWindow"));
    resize(960, 480); // room for every column of the job table
    ui->actionConnection_Settings = named<QAction>(this, "actionConnection_Settings");
    ui->actionCheck_Updates = named<QAction>(this, "actionCheck_Updates");
    ui->actionAbout = named<QAction>(this, "actionAbout");
    ui->action_Quit = named<QAction>(this, "action_Quit");

    auto *central = named<QWidget>(this, "centralwidget");
    auto *grid = named<QGridLayout>(central, "gridLayout");

    auto *table = named<JobTableWidget>(central, "tabViewJobs");
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setWordWrap(false);
    table->setInputMethodHints(Qt::ImhNone);
    grid->addWidget(table, 0, 0, 1, 3);
    ui->tabViewJobs = table;

    ui->groupBox_2 = named<QGroupBox>(central, "groupBox_2");
    auto *jobLayout = named<QHBoxLayout>(ui->groupBox_2, "horizontalLayout_2");
    ui->buttonUpJob = addButton(ui->groupBox_2, jobLayout, "buttonUpJob");
    ui->buttonDownJob = addButton(ui->groupBox_2, jobLayout, "buttonDownJob");
    ui->buttonTopJob = addButton(ui->groupBox_2, jobLayout, "buttonTopJob");
    ui->buttonBottomJob = addButton(ui->groupBox_2, jobLayout, "buttonBottomJob");
    ui->buttonRemoveJob = addButton(ui->groupBox_2, jobLayout, "buttonRemoveJob");
    ui->buttonRetryJob = addButton(ui->groupBox_2, jobLayout, "buttonRetryJob");
    ui->buttonHoldJob = addButton(ui->groupBox_2, jobLayout, "buttonHoldJob");
    ui->buttonJobDetails = addButton(ui->groupBox_2, jobLayout, "buttonJobDetails");
    connect(table, &QAbstractItemView::doubleClicked, this, &LocalMainWindow::on_buttonJobDetails_clicked);
    grid->addWidget(ui->groupBox_2, 1, 0);

    grid->addItem(new QSpacerItem(688, 20, QSizePolicy::Expanding, QSizePolicy::Minimum), 1, 1);

    ui->groupBox = named<QGroupBox>(central, "groupBox");
    auto *serviceLayout = named<QHBoxLayout>(ui->groupBox, "horizontalLayout");
    ui->buttonStart = addButton(ui->groupBox, serviceLayout, "buttonStart");
    ui->buttonStop = addButton(ui->groupBox, serviceLayout, "buttonStop");
    ui->buttonPause = addButton(ui->groupBox, serviceLayout, "buttonPause");
    grid->addWidget(ui->groupBox, 1, 2);

    setCentralWidget(central);
    ui->statusbar = named<QStatusBar>(this, "statusbar");
    setStatusBar(ui->statusbar);
    ui->pausedState = named<QLabel>(ui->statusbar, "pausedState");
    ui->statusbar->addPermanentWidget(ui->pausedState);
    ui->pausedState->hide();
    ui->engineState = named<QLabel>(ui->statusbar, "engineState");
    ui->statusbar->addPermanentWidget(ui->engineState);
    ui->engineState->hide();
    ui->serviceState = named<QLabel>(ui->statusbar, "serviceState");
    ui->statusbar->addPermanentWidget(ui->serviceState);
    ui->serviceState->hide();
    ui->clusterState = named<QLabel>(ui->statusbar, "clusterState");
    ui->statusbar->addPermanentWidget(ui->clusterState);
    ui->clusterState->hide();
    ui->clusterTimer = new QTimer(this);
    ui->clusterTimer->setInterval(1000);
    connect(ui->clusterTimer, &QTimer::timeout, this, &LocalMainWindow::UpdateClusterState);
    setupTray();
}

void LocalMainWindow::retranslateUi()
{
    setWindowTitle(QCoreApplication::translate("LocalMainWindow", "Zendral"));
    ui->actionConnection_Settings->setText(QCoreApplication::translate("LocalMainWindow", "Connection Settings..."));
    ui->actionCheck_Updates->setText(QCoreApplication::translate("LocalMainWindow", "Check Updates..."));
    ui->actionAbout->setText(QCoreApplication::translate("LocalMainWindow", "About Zendral..."));
    ui->action_Quit->setText(QCoreApplication::translate("LocalMainWindow", "&Quit"));
    ui->action_Quit->setShortcut(QKeySequence(QCoreApplication::translate("LocalMainWindow", "Ctrl+Q")));
    const char *const headers[] = {
        QT_TRANSLATE_NOOP("LocalMainWindow", "Work Name"),
        QT_TRANSLATE_NOOP("LocalMainWindow", "Job Name"),
        QT_TRANSLATE_NOOP("LocalMainWindow", "IP Address"),
        QT_TRANSLATE_NOOP("LocalMainWindow", "Submit Time"),
        QT_TRANSLATE_NOOP("LocalMainWindow", "State"),
        QT_TRANSLATE_NOOP("LocalMainWindow", "Time Budget"),
        QT_TRANSLATE_NOOP("LocalMainWindow", "Efficiency"),
        QT_TRANSLATE_NOOP("LocalMainWindow", "Node"),
        QT_TRANSLATE_NOOP("LocalMainWindow", "Progress")};
    static_assert(sizeof headers / sizeof headers[0] == JobTableModel::ColumnCount, "one header per column");
    for (int c = 0; c < JobTableModel::ColumnCount; ++c)
        ui->tabViewJobs->jobModel()->setHeaderData(c, Qt::Horizontal, translate(headers[c]));
    ui->groupBox_2->setTitle(QCoreApplication::translate("LocalMainWindow", "Job Controls"));
    ui->buttonUpJob->setText(QCoreApplication::translate("LocalMainWindow", "Up"));
    ui->buttonDownJob->setText(QCoreApplication::translate("LocalMainWindow", "Down"));
    ui->buttonTopJob->setText(QCoreApplication::translate("LocalMainWindow", "Top"));
    ui->buttonBottomJob->setText(QCoreApplication::translate("LocalMainWindow", "Bottom"));
    ui->buttonRemoveJob->setText(QCoreApplication::translate("LocalMainWindow", "Remove"));
    ui->buttonRetryJob->setText(QCoreApplication::translate("LocalMainWindow", "Retry"));
    ui->buttonRetryJob->setToolTip(QCoreApplication::translate("LocalMainWindow", "Run a failed job again"));
    UpdateJobButtons(); // Hold or Release, in the new language
    ui->buttonJobDetails->setText(QCoreApplication::translate("LocalMainWindow", "Details..."));
    ui->buttonJobDetails->setToolTip(
        QCoreApplication::translate("LocalMainWindow", "Why the job's last run ended: its error and the engine's messages"));
    ui->engineState->setText(
        QCoreApplication::translate("LocalMainWindow", "Engine missing or not executable: %1").arg(ui->missingEngine));
    ui->serviceState->setText(QCoreApplication::translate("LocalMainWindow", "Cannot listen on port %1: %2 - trying again")
                                  .arg(ui->listenPort, ui->listenError));
    ui->groupBox->setTitle(QCoreApplication::translate("LocalMainWindow", "Service Controls"));
    ui->buttonStart->setText(QCoreApplication::translate("LocalMainWindow", "Start"));
    ui->buttonStop->setText(QCoreApplication::translate("LocalMainWindow", "Stop"));
    ui->pausedState->setText(QCoreApplication::translate("LocalMainWindow", "Paused"));
    ShowPaused(Core()->IsPaused());
}

void LocalMainWindow::retranslateMenus()
{
    if (ui->menuConnection_Settings)
        ui->menuConnection_Settings->setText(QCoreApplication::translate("LocalMainWindow", "Connection Settings..."));
    if (ui->menuCheck_Updates)
        ui->menuCheck_Updates->setText(QCoreApplication::translate("LocalMainWindow", "Check Updates..."));
    if (ui->menuAbout)
        ui->menuAbout->setText(QCoreApplication::translate("LocalMainWindow", "About Zendral..."));
    if (ui->menu_Quit) {
        ui->menu_Quit->setText(QCoreApplication::translate("LocalMainWindow", "&Quit"));
        ui->menu_Quit->setShortcut(QKeySequence(QCoreApplication::translate("LocalMainWindow", "Ctrl+Q")));
    }
    if (ui->menuOptions)
        ui->menuOptions->setTitle(QCoreApplication::translate("LocalMainWindow", "Options"));
    if (ui->menuLanguage)
        ui->menuLanguage->setTitle(QCoreApplication::translate("LocalMainWindow", "Language"));
    if (ui->menuHelp)
        ui->menuHelp->setTitle(QCoreApplication::translate("LocalMainWindow", "Help"));
}

// Shows the core's (new) job service. Every change reaches the table as its
// own event on the GUI thread, in order, so that only the rows concerned
// change.
void LocalMainWindow::wireQueue()
{
    LocalServer *queue = Queue();
    JobTableModel *model = ui->tabViewJobs->jobModel();
    connect(queue, &LocalServer::jobInserted, model, &JobTableModel::insertJob);
    connect(queue, &LocalServer::jobRemovedAt, model, [model](int row, NesterJob *job) {
        const int at = model->jobAt(row) == job ? row : model->rowOf(job);
        if (at >= 0)
            model->removeJob(at);
    });
    connect(queue, &LocalServer::jobMoved, model, &JobTableModel::moveJob);
    connect(queue, &LocalServer::jobChanged, model, &JobTableModel::jobChanged);
    connect(queue, &LocalServer::jobReplaced, model, &JobTableModel::replaceJob);
    connect(queue, &LocalServer::updateJobList, this, &LocalMainWindow::UpdateJobButtons);
    model->resetJobs(queue->Jobs());
    // The Node column and the nodes in the status bar belong to a shared queue.
    const bool shared = queue->Shared() != nullptr;
    ui->tabViewJobs->setColumnHidden(JobTableModel::NodeColumn, !shared);
    if (shared && width() < SharedQueueWidth)
        resize(SharedQueueWidth, height()); // room for the Node column too
    if (shared)
        ui->clusterTimer->start();
    else
        ui->clusterTimer->stop();
    UpdateClusterState();
}

// The shared queue's state in the status bar: the connected nodes, or that
// new jobs are refused while the database cannot be reached.
void LocalMainWindow::UpdateClusterState()
{
    SharedQueue *shared = Queue() ? Queue()->Shared() : nullptr;
    if (!shared) {
        ui->clusterState->hide();
        return;
    }
    if (shared->IsConnected() && shared->ClaimsSuspended())
        ui->clusterState->setText(QCoreApplication::translate("LocalMainWindow", "Node %1 takes no jobs: %2")
                                      .arg(shared->NodeName(), shared->ClaimsSuspendedReason()));
    else if (shared->IsConnected())
        ui->clusterState->setText(QCoreApplication::translate("LocalMainWindow", "Node %1, %n node(s) connected", nullptr,
                                                              shared->ConnectedNodes())
                                      .arg(shared->NodeName()));
    else
        ui->clusterState->setText(
            QCoreApplication::translate("LocalMainWindow", "Database unreachable: new jobs are refused"));
    ui->clusterState->show();
}

void LocalMainWindow::on_actionConnection_Settings_triggered()
{
    const bool listening = Core()->IsListening();
    auto *dialog = new ConnectionSettingsDialog(Core()->Settings(), listening, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    if (listening)
        dialog->lePort->setText(QString::number(Core()->ListeningPort()));
    connect(dialog, &ConnectionSettingsDialog::outwardAddressRequested, this, [this, dialog]() {
        if (Queue())
            Queue()->LocalHostIP(0); // starts one lookup; the answer comes later
        fillAddress(dialog, AddressTimeoutMs);
    });
    dialog->show();
}

// Shows the outward address once the lookup the operator asked for has
// ended, looking every AddressPollMs without blocking and without starting
// another lookup; a lookup still running after AddressTimeoutMs is given up
// with one log line. The dialog's own timer asks, so nothing is left behind
// when it closes. GUI thread.
void LocalMainWindow::fillAddress(ConnectionSettingsDialog *dialog, int msLeft)
{
    QString address;
    const bool running = Queue() && Queue()->AddressProbeRunning(&address);
    if (!running || !address.isEmpty()) {
        dialog->showOutwardAddress(address);
        return;
    }
    if (msLeft <= 0) {
        qWarning().noquote() << "Outward address lookup gave no answer within" << AddressTimeoutMs / 1000 << "s";
        dialog->showOutwardAddress(QString());
        return;
    }
    // The dialog is this window's child: while it lives, so does the window.
    QTimer::singleShot(AddressPollMs, dialog, [this, dialog, msLeft]() { fillAddress(dialog, msLeft - AddressPollMs); });
}

// The operator hears the outcome: no updater, or no update (an update being
// installed closes the window).
void LocalMainWindow::on_actionCheck_Updates_triggered()
{
    if (!QFileInfo(ServiceController::UpdaterPath(QCoreApplication::applicationDirPath())).isFile()) {
        ui->statusbar->showMessage(QCoreApplication::translate("LocalMainWindow", "No updater installed."), StatusTimeoutMs);
        return;
    }
    if (!Core()->checkUpdate())
        ui->statusbar->showMessage(QCoreApplication::translate("LocalMainWindow", "Zendral is up to date."), StatusTimeoutMs);
}

// One splash screen serves as the about box for the life of the process.
void LocalMainWindow::on_actionAbout_triggered()
{
    static VelSplashScreen *about = nullptr;
    if (!about)
        about = new VelSplashScreen(nullptr);
    about->show();
}

void LocalMainWindow::on_buttonStart_clicked()
{
    Core()->OnStartServer();
}

void LocalMainWindow::on_buttonStop_clicked()
{
    const int runs = Core()->ActiveRunCount();
    if (runs > 0
        && !Confirm(QCoreApplication::translate("LocalMainWindow",
                                                "Stop the service? %n running engine run(s) will be ended; "
                                                "the jobs wait again at their places.", nullptr, runs)))
        return;
    Core()->OnStopServer();
}

void LocalMainWindow::onQuitRequested()
{
    const int runs = Core()->ActiveRunCount();
    if (runs > 0
        && !Confirm(QCoreApplication::translate("LocalMainWindow",
                                                "Quit Zendral? %n running engine run(s) will be ended; "
                                                "the jobs wait again at their places.", nullptr, runs)))
        return;
    CloseWithoutAsking();
}

void LocalMainWindow::CloseWithoutAsking()
{
    ui->closeWithoutAsking = true;
    close();
    ui->closeWithoutAsking = false;
}

// The window's close button asks like Quit; a close by the program (a
// signal, an update) does not.
void LocalMainWindow::closeEvent(QCloseEvent *event)
{
    const int runs = Core()->ActiveRunCount();
    if (event->spontaneous() && !ui->closeWithoutAsking && runs > 0
        && !Confirm(QCoreApplication::translate("LocalMainWindow",
                                                "Quit Zendral? %n running engine run(s) will be ended; "
                                                "the jobs wait again at their places.", nullptr, runs))) {
        event->ignore();
        return;
    }
    ServiceSettings &settings = Core()->Settings();
    settings.SetWindowState(ServiceSettings::WindowGeometryKey, saveGeometry());
    settings.SetWindowState(ServiceSettings::JobTableStateKey, ui->tabViewJobs->saveColumns());
    settings.Sync();
    AbstractMainWindow::closeEvent(event);
}

bool LocalMainWindow::Confirm(const QString &text)
{
    return QMessageBox::question(this, QCoreApplication::translate("LocalMainWindow", "Zendral"), text,
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        == QMessageBox::Yes;
}

void LocalMainWindow::on_buttonUpJob_clicked()
{
    const QString job_id = ui->tabViewJobs->selectedJobId();
    if (!job_id.isEmpty())
        moveJob(job_id, MoveStep::Up);
}

void LocalMainWindow::on_buttonDownJob_clicked()
{
    const QString job_id = ui->tabViewJobs->selectedJobId();
    if (!job_id.isEmpty())
        moveJob(job_id, MoveStep::Down);
}

void LocalMainWindow::on_buttonTopJob_clicked()
{
    const QString job_id = ui->tabViewJobs->selectedJobId();
    if (!job_id.isEmpty())
        moveJob(job_id, MoveStep::Top);
}

void LocalMainWindow::on_buttonBottomJob_clicked()
{
    const QString job_id = ui->tabViewJobs->selectedJobId();
    if (!job_id.isEmpty())
        moveJob(job_id, MoveStep::Bottom);
}

void LocalMainWindow::on_buttonRemoveJob_clicked()
{
    const QString job_id = ui->tabViewJobs->selectedJobId();
    if (job_id.isEmpty())
        return;
    const QString question = Core()->IsRunning(job_id)
        ? QCoreApplication::translate("LocalMainWindow", "The job is running. Remove it and end its engine run?")
        : QCoreApplication::translate("LocalMainWindow", "Remove the job and its files?");
    if (!Confirm(question))
        return;
    if (!Queue()->RemoveNesterJob(job_id).first)
        return;
    ui->statusbar->showMessage(QCoreApplication::translate("LocalMainWindow", "Job Remove succeed..."), StatusTimeoutMs);
}

void LocalMainWindow::on_buttonRetryJob_clicked()
{
    const QString job_id = ui->tabViewJobs->selectedJobId();
    if (job_id.isEmpty() || !Queue()->RetryNesterJob(job_id).first)
        return;
    ui->statusbar->showMessage(QCoreApplication::translate("LocalMainWindow", "Job Retry succeed..."), StatusTimeoutMs);
}

// Hold, or Release when the selected job is held.
void LocalMainWindow::on_buttonHoldJob_clicked()
{
    const QString job_id = ui->tabViewJobs->selectedJobId();
    if (job_id.isEmpty() || !Queue())
        return;
    if (Queue()->ActionsFor(job_id).release) {
        releaseJob(job_id);
        return;
    }
    if (Core()->IsRunning(job_id)
        && !Confirm(QCoreApplication::translate("LocalMainWindow",
                                                "The job is running. Hold it and stop its engine run?")))
        return;
    const auto reply = Core()->HoldJob(job_id, QDateTime());
    ui->statusbar->showMessage(reply.first ? QCoreApplication::translate("LocalMainWindow", "Job held")
                                           : QString::fromUtf8(reply.second),
                               StatusTimeoutMs);
    UpdateJobButtons();
}

void LocalMainWindow::releaseJob(const QString &job_id)
{
    const auto reply = Core()->ReleaseJob(job_id);
    ui->statusbar->showMessage(reply.first ? QCoreApplication::translate("LocalMainWindow", "Job released")
                                           : QString::fromUtf8(reply.second),
                               StatusTimeoutMs);
    UpdateJobButtons();
}

void LocalMainWindow::on_buttonPause_clicked()
{
    QString error;
    if (!Core()->SetPaused(!Core()->IsPaused(), &error))
        ui->statusbar->showMessage(error, StatusTimeoutMs);
}

void LocalMainWindow::ShowPaused(bool paused)
{
    ui->pausedState->setVisible(paused);
    ui->buttonPause->setText(paused ? QCoreApplication::translate("LocalMainWindow", "Resume")
                                    : QCoreApplication::translate("LocalMainWindow", "Pause"));
    ui->buttonPause->setToolTip(paused ? QCoreApplication::translate("LocalMainWindow", "Start new runs again")
                                       : QCoreApplication::translate("LocalMainWindow",
                                                                     "Start no new runs; runs in progress go on"));
}

// A job button is enabled only when its operation would change the
// selected job (the queue's rules decide: JobActions).
void LocalMainWindow::UpdateJobButtons()
{
    const QString job_id = ui->tabViewJobs->selectedJobId();
    const JobActions actions = job_id.isEmpty() || !Queue() ? JobActions() : Queue()->ActionsFor(job_id);
    ui->buttonUpJob->setEnabled(actions.up);
    ui->buttonDownJob->setEnabled(actions.down);
    ui->buttonTopJob->setEnabled(actions.top);
    ui->buttonBottomJob->setEnabled(actions.bottom);
    ui->buttonRemoveJob->setEnabled(actions.remove);
    ui->buttonRetryJob->setEnabled(actions.retry);
    ui->buttonHoldJob->setEnabled(actions.hold || actions.release);
    ui->buttonHoldJob->setText(actions.release ? QCoreApplication::translate("LocalMainWindow", "Release")
                                               : QCoreApplication::translate("LocalMainWindow", "Hold"));
    ui->buttonHoldJob->setToolTip(
        actions.release ? QCoreApplication::translate("LocalMainWindow", "Let the held job run again")
                        : QCoreApplication::translate("LocalMainWindow",
                                                      "Keep the job in its place but do not start it (a running job is stopped)"));
    ui->buttonJobDetails->setEnabled(!job_id.isEmpty());
}

// The selected job's last run: a copy of its record, so that the dialog
// never holds a record the queue may delete.
void LocalMainWindow::on_buttonJobDetails_clicked()
{
    const QString job_id = ui->tabViewJobs->selectedJobId();
    NesterJob job;
    if (job_id.isEmpty() || !Queue() || !Queue()->CopyJob(job_id, &job))
        return;
    auto *dialog = new JobDetailsDialog(job, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
}

// Moves a job through the same queue operation that serves clients; the
// queue's updateJobList refreshes the table.
void LocalMainWindow::moveJob(const QString &job_id, MoveStep step)
{
    const QJsonObject request{{QStringLiteral("job_id"), job_id}, {QStringLiteral("step"), int(step)}};
    const bool ok = Queue()->MoveNesterJob(QJsonDocument(request).toJson(QJsonDocument::Compact)).first;
    if (!ok)
        return;
    QString direction;
    switch (step) {
    case MoveStep::Up: direction = QCoreApplication::translate("LocalMainWindow", "Up"); break;
    case MoveStep::Top: direction = QCoreApplication::translate("LocalMainWindow", "Top"); break;
    case MoveStep::Down: direction = QCoreApplication::translate("LocalMainWindow", "Down"); break;
    case MoveStep::Bottom: direction = QCoreApplication::translate("LocalMainWindow", "Bottom"); break;
    }
    ui->statusbar->showMessage(QCoreApplication::translate("LocalMainWindow", "Job %1 succeed...").arg(direction), StatusTimeoutMs);
}

// The service buttons follow the listener's state: at once when it changes
// (start, stop, rebuild) and at every paint.
void LocalMainWindow::UpdateServiceButtons()
{
    const bool listening = Core()->IsListening();
    ui->buttonStart->setEnabled(!listening);
    // Stop also ends the retries of a start that failed.
    ui->buttonStop->setEnabled(listening || Core()->IsRetrying());
}

void LocalMainWindow::ServiceStateChanged()
{
    UpdateServiceButtons();
    if (Core()->IsListening() || !Core()->IsRetrying())
        ui->serviceState->hide(); // listening, or stopped: no longer trying
    UpdateTray();
}

// A start failed: the message for a while, and a line that stays until the
// service starts (or is stopped), naming the port.
void LocalMainWindow::ShowListenFailure(const QString &message)
{
    ui->statusbar->showMessage(message, StatusTimeoutMs);
    ui->listenPort = Core()->FailedPort();
    ui->listenError = Core()->ListenError();
    ui->serviceState->setText(QCoreApplication::translate("LocalMainWindow", "Cannot listen on port %1: %2 - trying again")
                                  .arg(ui->listenPort, ui->listenError));
    ui->serviceState->show();
}

// A tray icon shows the service's state and tells of jobs that finished or
// failed; only where the desktop has a tray. Closing the window still ends
// the program.
void LocalMainWindow::setupTray()
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    ui->tray = new QSystemTrayIcon(QIcon(QStringLiteral(":/images/app.png")), this);
    connect(ui->tray, &QSystemTrayIcon::activated, this, [this] {
        showNormal();
        raise();
        activateWindow();
    });
    UpdateTray();
    ui->tray->show();
}

void LocalMainWindow::UpdateTray()
{
    if (!ui->tray)
        return;
    const bool listening = Core()->IsListening();
    const QString state = listening
        ? QCoreApplication::translate("LocalMainWindow", "listening on port %1, %n engine run(s)", nullptr, Core()->ActiveRunCount())
              .arg(Core()->ListeningPort())
        : Core()->IsRetrying() ? QCoreApplication::translate("LocalMainWindow", "cannot listen, trying again")
                       : QCoreApplication::translate("LocalMainWindow", "stopped");
    ui->tray->setToolTip(QStringLiteral("Zendral: %1").arg(state));
}

void LocalMainWindow::NotifyJobEnd(const QString &job_id)
{
    NesterJob job;
    if (!ui->tray || !Queue() || !Queue()->CopyJob(job_id, &job))
        return;
    QString work, name;
    JobTableModel::splitJobName(job.job_name, work, name);
    if (job.IsFinished())
        ui->tray->showMessage(QCoreApplication::translate("LocalMainWindow", "Job finished"), name);
    else if (job.IsFailed())
        ui->tray->showMessage(QCoreApplication::translate("LocalMainWindow", "Job failed"),
                              QStringLiteral("%1: %2").arg(name, job.error), QSystemTrayIcon::Warning);
}

void LocalMainWindow::paintEvent(QPaintEvent *)
{
    UpdateServiceButtons();
    UpdateJobButtons();
}

void LocalMainWindow::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::LanguageChange) {
        retranslateUi();
        retranslateMenus();
        return;
    }
    AbstractMainWindow::changeEvent(event);
}

void LocalMainWindow::ShowEngineState(bool usable, const QString &path)
{
    ui->missingEngine = usable ? QString() : path;
    ui->engineState->setText(
        QCoreApplication::translate("LocalMainWindow", "Engine missing or not executable: %1").arg(path));
    ui->engineState->setVisible(!usable);
}

} // namespace Zendral
} // namespace Orvane
