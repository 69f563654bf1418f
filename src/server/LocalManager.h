#pragma once

#include <QMutex>
#include <QSet>
#include <QString>
#include <QTcpServer>

class QTimer;

namespace Orvane {
namespace Zendral {

class LocalSession;

// The TCP listener of the job service: listens on all IPv4 interfaces and
// serves every accepted connection with a LocalSession on a thread of its
// own. It tracks its sessions so that the job service never goes away while
// one of them still runs.
//
// Thread: lives on the GUI thread (incomingConnection runs there);
// localHostIP may be called from any thread. The outward-facing address probe
// is process-wide and runs on a detached thread of its own, so that no
// listener ever waits for it when it goes.
class LocalManager : public QTcpServer
{
    Q_OBJECT
public:
    explicit LocalManager(QObject *parent);
    // Stops listening, asks every running session to finish and waits for
    // them, so that no session outlives the job service.
    ~LocalManager() override;

    bool StartListen(const QString &port);
    void StopListen();
    // Waits at most waitMs for a running probe; 0 only asks (never blocks).
    QString localHostIP(int waitMs = 1000) const;
    QString ErrorText() const;
    // Sessions running now.
    int SessionCount() const;

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private slots:
    // Deletes the sessions whose threads have ended.
    void ReapSessions();

private:
    QString errorText;
    // Sessions started and not yet deleted; used on the GUI thread only. A
    // session leaves the set, and is deleted, once its thread has ended: the
    // reaper timer looks for such sessions while the set is not empty. (The
    // session threads post nothing to the GUI thread for this.)
    QSet<LocalSession *> sessions;
    QTimer *reaper = nullptr;
};

} // namespace Zendral
} // namespace Orvane
