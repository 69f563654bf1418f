#pragma once

#include "AddressFilter.h"
#include "InflightBudget.h"
#include "SessionLimits.h"

#include <QHash>
#include <QHostAddress>
#include <QMutex>
#include <QSet>
#include <QString>
#include "ServiceSettings.h"

#include <QElapsedTimer>
#include <QTcpServer>

#include <memory>

class QTimer;

namespace Orvane {
namespace Zendral {

class LocalSession;

// The TCP listener of the job service: listens on all IPv4 interfaces and
// serves every accepted connection with a LocalSession on a thread of its
// own. It tracks its sessions so that the job service never goes away while
// one of them still runs.
//
// Limits, read from the settings group "worker" each time listening starts:
// a connection from an address outside "allowed_clients", or beyond
// "max_connect_per_address" sessions of its address, is closed at once,
// before the greeting (logged once a minute per address). Beyond
// "max_sessions" in all, the address with the most sessions gives up its
// longest-idle one if it has more than the newcomer's; otherwise the
// newcomer is closed. The sessions share one budget for request bodies
// ("max_inflight_mb", at most a quarter of the physical memory) and one for
// unsent replies ("max_unsent_mb"), and have the frame and idle timeouts and
// the minimum upload rate.
//
// Thread: lives on the GUI thread (incomingConnection runs there);
// localHostIP may be called from any thread. The outward-facing address is
// process-wide (guarded by its own mutex); a probe host name is looked up by
// Qt's resolver with the answer delivered to the listener's thread.
class LocalManager : public QTcpServer
{
    Q_OBJECT
public:
    // config: the service's settings (the limits are taken from it at each
    // start); left out, the per-user settings store is read here.
    explicit LocalManager(QObject *parent, const ServiceConfig &config = ServiceSettings::UserSettings().Read());
    // Stops listening, asks every running session to finish and waits for
    // them, so that no session outlives the job service.
    ~LocalManager() override;

    // The settings the next start takes its limits from.
    void SetConfig(const ServiceConfig &newConfig) { config = newConfig; }
    // An empty port: the configured one; "0": any free port.
    bool StartListen(const QString &port);
    void StopListen();
    // Waits at most waitMs for a running probe; 0 only asks (never blocks).
    QString localHostIP(int waitMs = 1000) const;
    // Whether an address probe runs now; *address gets the address found so
    // far (empty: none). Never starts a probe, so it may be asked often.
    bool addressProbeRunning(QString *address) const;
    QString ErrorText() const;
    // Sessions running now.
    int SessionCount() const;
    // The budgets of request bodies and of unsent replies that all sessions share.
    InflightBudget *Budget() const { return budget.get(); }
    InflightBudget *UnsentBudget() const { return unsentBudget.get(); }

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private slots:
    // Deletes the sessions whose threads have ended.
    void ReapSessions();
    // Starts the probe host's name lookup (on this listener's thread).
    void StartProbeLookup(const QString &host);

private:
    // Takes the limits from the settings.
    void ApplyLimits();
    // Whether a connection from `address` may get a session; logs why not.
    bool Admits(const QHostAddress &address);
    // Sessions of `address` that were not asked to make room.
    int SessionsOf(const QHostAddress &address) const;
    // Asks an idle session to make room for a newcomer whose address has
    // `newcomerSessions`; false when none may.
    bool EvictFor(int newcomerSessions);
    void LogRefused(const QString &who, const QString &reason);

    QString errorText;
    ServiceConfig config;
    SessionLimits limits;
    int maxPerAddress = 32;
    int maxSessions = 200;
    AddressFilter allowed;
    std::unique_ptr<InflightBudget> budget;
    std::unique_ptr<InflightBudget> unsentBudget;
    // Sessions asked to end to make room, until they are reaped.
    QSet<LocalSession *> evicted;
    // Per refused address: when it was last logged and the refusals since.
    struct Refusals
    {
        qint64 loggedAt = 0;
        int unlogged = 0;
    };
    QHash<QString, Refusals> refusals;
    QElapsedTimer refusalClock;
    // The client address of each session in `sessions`.
    QHash<LocalSession *, QHostAddress> addresses;
    // Sessions started and not yet deleted; used on the GUI thread only. A
    // session leaves the set, and is deleted, once its thread has ended: the
    // reaper timer looks for such sessions while the set is not empty. (The
    // session threads post nothing to the GUI thread for this.)
    QSet<LocalSession *> sessions;
    QTimer *reaper = nullptr;
};

} // namespace Zendral
} // namespace Orvane
