#include "ServiceCore.h"

#include "LocalManager.h"
#include "LocalServer.h"
#include "NesterJob.h"
#include "Performance.h"

#include <QSettings>

namespace Orvane {
namespace Zendral {

namespace {

// The listener's settings: the port and the limit of pending connections
// (1 to 100), as the connection settings dialog stores them.
struct ListenSettings
{
    QString port;
    int maxPending = 10;
};

ListenSettings ReadListenSettings()
{
    QSettings settings;
    settings.beginGroup(QStringLiteral("worker"));
    ListenSettings read;
    read.port = QString::number(
        settings.value(QStringLiteral("port"), QStringLiteral("10088")).toString().toUInt(nullptr, 10));
    read.maxPending = qBound(1, settings.value(QStringLiteral("max_connect"), 10).toInt(), 100);
    return read;
}

} // namespace

ServiceCore::ServiceCore(bool autoStart, QObject *parent)
    : ServiceController(autoStart, parent)
{
    MakeQueue();
}

// The engine runs end while this object can still take their reports; then
// the queue writes its last backup.
ServiceCore::~ServiceCore()
{
    const QStringList running = runners.keys();
    for (const QString &job_id : running)
        StopJobRun(job_id);
    DropQueue();
}

void ServiceCore::MakeQueue()
{
    queue = new LocalServer(this);
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
    // The framework's setting; a program without the framework's application
    // object reads the same key.
    if (Performance *performance = Performance::instance())
        return performance->getInt(QStringLiteral("maxWorkerCount"));
    bool ok = false;
    const int count = QSettings().value(QStringLiteral("maxWorkerCount"), 1).toInt(&ok);
    return ok ? count : 1;
}

// Opens the listener with the stored port and connection limit.
int ServiceCore::StartServer()
{
    const ListenSettings listen = ReadListenSettings();
    queue->listener->setMaxPendingConnections(listen.maxPending);
    const QString error = queue->StartListen(listen.port);
    if (!error.isEmpty()) {
        failedPort = listen.port;
        listenError = queue->listener->errorString();
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

void ServiceCore::JobFinished(QByteArray job_id, int exit_code, const QString &reason, bool stopped)
{
    if (!queue)
        return;
    const QString id = QString::fromUtf8(job_id);
    queue->OnJobEnded(id, exit_code, reason, stopped);
    emit runEnded(id);
}

void ServiceCore::JobUpdated(QByteArray job_id, const QJsonObject &object)
{
    if (queue)
        queue->OnJobUpdate(QString::fromUtf8(job_id), object);
}

QJsonObject ServiceCore::NextJob()
{
    const QJsonObject none{{QStringLiteral("state"), false}};
    if (runners.size() >= MaxWorkerCount())
        return none;
    return queue ? queue->PickJob() : none;
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
