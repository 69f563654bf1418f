#pragma once

#include "ServiceController.h"

#include "JobFolders.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QPair>
#include <QString>

#include <memory>

namespace Orvane {
namespace Zendral {

class AdminServer;
class LocalServer;
class ServiceSettings;
class StatusHttpServer;

// The job service without a screen: binds the controller's operations to the
// local job service (LocalServer), which it creates, owns and rebuilds when a
// start fails. The window and the headless program `zendrald` are front ends
// of this object: they start and stop it, call the queue's operations through
// Queue() and follow its signals.
//
// Thread: the main thread only. The queue's signals arrive here on it.
class ServiceCore : public ServiceController
{
    Q_OBJECT
public:
    // settings: owned by the front end, which keeps it alive longer than this.
    // reporter: shows the job service's errors to the operator (a message
    // box in the window); none in the headless program.
    ServiceCore(ServiceSettings &settings, bool autoStart, JobFolders::ErrorReporter reporter = {},
                QObject *parent = nullptr);
    ~ServiceCore() override;

    // The job service now in use (replaced when a failed start is retried).
    LocalServer *Queue() const { return queue; }
    // Whether the listener is open.
    bool IsListening() const;
    // The port the listener uses (0 while it is closed).
    quint16 ListeningPort() const;
    // The port of the last failed start and why it failed.
    QString FailedPort() const { return failedPort; }
    QString ListenError() const { return listenError; }
    // Engine runs at once ("maxWorkerCount").
    int MaxWorkerCount() override;
    // The next job to run: none when there is none or no slot is free.
    PickedJob NextJob() override;
    // Replaces the job service by a new one (a start that failed is retried
    // on a fresh one).
    void ResetServer() override;
    // The configured engine is missing or not executable: its path (empty
    // while it can be run).
    QString MissingEngine() const { return missingEngine; }

    // The operator's hold of a job (LocalServer::HoldNesterJob); a run here
    // is stopped and ends with no failure. (false, reason) when refused.
    QPair<bool, QByteArray> HoldJob(const QString &job_id, const QDateTime &until);
    QPair<bool, QByteArray> ReleaseJob(const QString &job_id);
    // The operator's pause: no new run starts; runs in progress go on to
    // their end and clients can still add. Kept across restarts (the file
    // "ZENDRAL.PAUSED" in the jobs folder); false with the reason when the
    // file could not be written or removed (nothing changes then).
    bool IsPaused() const { return paused; }
    bool SetPaused(bool pause, QString *error = nullptr);
    // The service at a glance, as the operator's tools show it: "version",
    // "node", "address", "port", "listening", "paused", "slots_busy",
    // "slots_total", "jobs" (per state), "uptime" (s) and, with a shared
    // queue, "nodes" ([{"name", "paused"}]) and "claims_suspended" (why this
    // node claims no work now; empty while it does).
    QJsonObject Status() const;
    // The operator channel (zendralctl), open from construction on, also
    // while the listener is stopped.
    AdminServer *Admin() const { return admin; }

signals:
    // The queue is about to be deleted and replaced (front ends drop the
    // records they show), and the new one is in place.
    void queueAboutToBeReplaced();
    void queueReplaced();
    // The listener opened, closed, or a start failed and is retried.
    void serviceStateChanged();
    // A start failed; message names the port and the reason.
    void listenFailed(const QString &message);
    void engineAvailabilityChanged(bool usable, const QString &path);
    // An engine run of the job started, or ended (the job's record tells how).
    void runStarted(const QString &job_id);
    void runEnded(const QString &job_id);
    // The operator paused or resumed picking.
    void pausedChanged(bool paused);

protected slots:
    bool OnJobUpdateData(const QJsonObject &json) override;

protected:
    int StartServer() override;
    QString StartFailure() const override { return lastFailure; }
    void StopServer() override;
    void JobStarted(QByteArray job_id) override;
    void JobFinished(QByteArray job_id, int exit_code, const QString &reason, bool stopped,
                     const QString &engineOutput) override;
    void JobUpdated(QByteArray job_id, const QJsonObject &object) override;
    void EngineAvailabilityChanged(bool usable, const QString &path) override;
    void ServiceStateChanged() override;

private:
    QString PauseFile() const;
    void MakeQueue();
    void DropQueue();

    JobFolders::ErrorReporter reporter;
    LocalServer *queue = nullptr;
    QString failedPort;
    QString listenError;
    QString lastFailure; // the message of the last failed start
    QString missingEngine;
    bool paused = false;
    QElapsedTimer uptime;
    AdminServer *admin = nullptr; // a child of this object
    std::unique_ptr<StatusHttpServer> statusPage; // the status page and metrics (http/...)
};

} // namespace Zendral
} // namespace Orvane
