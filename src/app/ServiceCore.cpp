#include "ServiceCore.h"

#include "AdminServer.h"
#include "AdminSocketPath.h"
#include "LocalManager.h"
#include "LocalServer.h"
#include "NesterJob.h"
#include "SharedQueue.h"
#include "ServiceSettings.h"
#include "StatusHttpServer.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QSaveFile>
#include <QSysInfo>

namespace Orvane {
namespace Zendral {

ServiceCore::ServiceCore(ServiceSettings &settings, bool autoStart, JobFolders::ErrorReporter reporter,
                         QObject *parent)
    : ServiceController(settings, autoStart, parent)
    , reporter(std::move(reporter))
{
    // The operator finds the main limits in the settings file, and hears of
    // every value that is not taken as written.
    settings.WriteMissingDefaults();
    for (const QString &problem : settings.Validate())
        qWarning().noquote() << "Setting:" << problem;
    MakeQueue();
    uptime.start();
    paused = !PauseFile().isEmpty() && QFile::exists(PauseFile());
    if (paused)
        qInfo().noquote() << "Picking is paused (by the operator before the restart); no new run starts until resumed";
    if (SharedQueue *shared = queue ? queue->Shared() : nullptr)
        shared->SetPaused(paused);
    admin = new AdminServer(*this, this);
    admin->Listen(AdminSocketPath::Resolve(settings.Read().adminSocket));
    statusPage = std::make_unique<StatusHttpServer>(*this, settings.Read());
}

// The engine runs end while this object can still take their reports; then
// the queue writes its last backup.
ServiceCore::~ServiceCore()
{
    statusPage.reset();
    const QStringList running = runners.keys();
    for (const QString &job_id : running)
        StopJobRun(job_id);
    delete admin; // no operator request reaches a queue that is going
    admin = nullptr;
    DropQueue();
}

void ServiceCore::MakeQueue()
{
    queue = new LocalServer(this, reporter, Settings().Read());
    // A job that left the queue, or whose run another node took over, has
    // its engine run stopped; after each delivery of changes a job may have
    // arrived while a slot is free.
    connect(queue, &LocalServer::jobRemoved, this, &ServiceCore::StopJobRun);
    connect(queue, &LocalServer::runLost, this, &ServiceCore::StopJobRun);
    connect(queue, &LocalServer::updateJobList, this, [this] { SchedulePick(); });
}

void ServiceCore::DropQueue()
{
    if (!queue)
        return;
    emit queueAboutToBeReplaced();
    delete queue;
    queue = nullptr;
}

bool ServiceCore::IsListening() const
{
    return queue && queue->listener && queue->listener->isListening();
}

quint16 ServiceCore::ListeningPort() const
{
    return IsListening() ? queue->listener->serverPort() : 0;
}

int ServiceCore::MaxWorkerCount()
{
    return Settings().Read().maxWorkerCount;
}

// Opens the listener with the stored port and connection limit.
int ServiceCore::StartServer()
{
    const ServiceConfig config = Settings().Read();
    QString port = QString::number(config.port);
    // Tests that start services side by side set ZENDRAL_TEST_ANY_PORT=1:
    // the listener takes any free port and logs it ("Listening on ..."). The
    // port setting itself cannot ask for this (its range starts at 1).
    if (qEnvironmentVariable("ZENDRAL_TEST_ANY_PORT") == QLatin1String("1")) {
        qWarning().noquote() << "ZENDRAL_TEST_ANY_PORT=1 (tests only): listening on any free port instead of" << port;
        port = QStringLiteral("0");
    }
    queue->listener->SetConfig(config);
    queue->listener->setMaxPendingConnections(config.maxConnect);
    const QString error = queue->StartListen(port);
    if (!error.isEmpty()) {
        failedPort = port;
        listenError = queue->listener->errorString();
        lastFailure = QStringLiteral("Cannot listen on port %1: %2").arg(port, listenError);
        emit listenFailed(error);
        return 0;
    }
    failedPort.clear();
    listenError.clear();
    return 1;
}

void ServiceCore::StopServer()
{
    if (queue)
        queue->listener->StopListen();
    emit serviceStateChanged();
}

void ServiceCore::ResetServer()
{
    if (queue) {
        queue->listener->StopListen();
        DropQueue();
    }
    MakeQueue();
    emit queueReplaced();
    emit serviceStateChanged();
}

void ServiceCore::JobStarted(QByteArray job_id)
{
    const QString id = QString::fromUtf8(job_id);
    if (queue)
        queue->OnJobStarted(id);
    emit runStarted(id);
}

void ServiceCore::JobFinished(QByteArray job_id, int exit_code, const QString &reason, bool stopped,
                              const QString &engineOutput)
{
    if (!queue)
        return;
    const QString id = QString::fromUtf8(job_id);
    queue->OnJobEnded(id, exit_code, reason, stopped, engineOutput);
    emit runEnded(id);
}

void ServiceCore::JobUpdated(QByteArray job_id, const QJsonObject &object)
{
    if (queue)
        queue->OnJobUpdate(QString::fromUtf8(job_id), object);
}

PickedJob ServiceCore::NextJob()
{
    if (!queue)
        return PickedJob();
    if (paused || runners.size() >= MaxWorkerCount()) {
        queue->ReleaseDueHolds();
        return PickedJob();
    }
    return queue->PickJob();
}

QString ServiceCore::PauseFile() const
{
    if (!queue || !queue->Folders().Ready())
        return QString();
    return queue->Folders().Dir().absoluteFilePath(QStringLiteral("ZENDRAL.PAUSED"));
}

QPair<bool, QByteArray> ServiceCore::HoldJob(const QString &job_id, const QDateTime &until)
{
    if (!queue)
        return {false, QByteArrayLiteral("The service is not running...")};
    bool stopRun = false;
    const auto reply = queue->HoldNesterJob(job_id, until, &stopRun);
    if (reply.first && stopRun)
        StopJobRun(job_id);
    return reply;
}

QPair<bool, QByteArray> ServiceCore::ReleaseJob(const QString &job_id)
{
    if (!queue)
        return {false, QByteArrayLiteral("The service is not running...")};
    const auto reply = queue->ReleaseNesterJob(job_id);
    if (reply.first)
        SchedulePick();
    return reply;
}

// The file is written (or removed) before the pause changes, so that what
// the operator is told is what a restart finds.
bool ServiceCore::SetPaused(bool pause, QString *error)
{
    if (pause == paused)
        return true;
    const QString path = PauseFile();
    if (path.isEmpty()) {
        if (error)
            *error = QStringLiteral("the jobs folder cannot be used");
        return false;
    }
    bool done = false;
    if (pause) {
        QSaveFile file(path);
        done = file.open(QIODevice::WriteOnly) && file.write("paused by the operator\n") > 0 && file.commit();
        if (!done && error)
            *error = QStringLiteral("%1 could not be written: %2").arg(path, file.errorString());
    } else {
        QFile file(path);
        done = !file.exists() || file.remove();
        if (!done && error)
            *error = QStringLiteral("%1 could not be removed: %2").arg(path, file.errorString());
    }
    if (!done)
        return false;
    paused = pause;
    if (SharedQueue *shared = queue ? queue->Shared() : nullptr)
        shared->SetPaused(paused);
    qInfo().noquote() << (paused ? "Picking paused by the operator: runs in progress go on, no new run starts"
                                 : "Picking resumed by the operator");
    emit pausedChanged(paused);
    if (!paused)
        SchedulePick();
    return true;
}

QJsonObject ServiceCore::Status() const
{
    const ServiceConfig config = Settings().Read();
    QJsonObject status;
    status.insert(QStringLiteral("version"), QCoreApplication::applicationVersion());
    SharedQueue *shared = queue ? queue->Shared() : nullptr;
    status.insert(QStringLiteral("node"), shared ? shared->NodeName() : QSysInfo::machineHostName());
    status.insert(QStringLiteral("address"), IsListening() ? queue->listener->serverAddress().toString() : QString());
    status.insert(QStringLiteral("port"), int(ListeningPort()));
    status.insert(QStringLiteral("listening"), IsListening());
    status.insert(QStringLiteral("paused"), paused);
    status.insert(QStringLiteral("slots_busy"), ActiveRunCount());
    status.insert(QStringLiteral("slots_total"), config.maxWorkerCount);
    status.insert(QStringLiteral("jobs"), queue ? queue->StateCounts() : QJsonObject());
    status.insert(QStringLiteral("uptime"), double(uptime.elapsed() / 1000));
    if (shared) {
        QJsonArray nodes;
        for (const SharedQueue::Node &node : shared->Nodes())
            nodes.append(QJsonObject{{QStringLiteral("name"), node.name}, {QStringLiteral("paused"), node.paused}});
        status.insert(QStringLiteral("nodes"), nodes);
        // Why this node takes no work now (its jobs folder or disk), if so.
        status.insert(QStringLiteral("claims_suspended"),
                      shared->ClaimsSuspended() ? shared->ClaimsSuspendedReason() : QString());
    }
    return status;
}

bool ServiceCore::OnJobUpdateData(const QJsonObject &json)
{
    return queue && queue->UpdateData(json);
}

void ServiceCore::EngineAvailabilityChanged(bool usable, const QString &path)
{
    missingEngine = usable ? QString() : path;
    emit engineAvailabilityChanged(usable, path);
}

void ServiceCore::ServiceStateChanged()
{
    emit serviceStateChanged();
}

} // namespace Zendral
} // namespace Orvane
