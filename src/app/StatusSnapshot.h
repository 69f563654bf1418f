#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>

namespace Orvane {
namespace Zendral {

// The service as the status page, /metrics and /healthz see it: made on the
// main thread (StatusPublisher) and never changed after it is published, so
// the HTTP threads read it without a lock.
struct StatusSnapshot
{
    enum State { Waiting, Held, Running, Finished, Failed, StateCount };
    static const char *StateName(int state);

    QByteArray statusJson; // ServiceCore::Status(), compact JSON
    QByteArray jobsJson;   // {"jobs": LocalServer::OperatorJobs()}, compact JSON; made when asked for
    QString version;
    QString node;
    QString jobsFolder;    // empty while the jobs folder cannot be used
    bool shared = false;   // the queue is shared through a database
    bool connected = true; // the shared queue's database is reachable
    bool listening = false;
    bool paused = false;
    int jobs[StateCount] = {};
    int slotsBusy = 0;
    int slotsTotal = 0;
    int clientSessions = 0;
    qint64 oldestWaitingMs = 0; // when the oldest waiting job came (ms since the epoch); 0: none waits; made when asked for
    // When jobsJson and oldestWaitingMs were made (the clock's zero: never).
    std::chrono::steady_clock::time_point jobsMade;
    std::chrono::steady_clock::time_point oldestMade;
    qint64 madeMs = 0;          // when this snapshot was made (ms since the epoch)
};

inline const char *StatusSnapshot::StateName(int state)
{
    static const char *const names[StateCount] = {"waiting", "held", "running", "finished", "failed"};
    return state >= 0 && state < StateCount ? names[state] : "";
}

} // namespace Zendral
} // namespace Orvane
