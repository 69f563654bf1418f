#pragma once

#include "InflightBudget.h"
#include "SessionLimits.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QThread>

#include <atomic>
#include <mutex>

class QTcpSocket;

namespace Orvane {
namespace Zendral {

class FrameDeadline;
class LocalServer;

// Serves one accepted client connection: greets the client, then reads one
// framed request after another, hands each to the job service and writes one
// framed reply per request, until the client logs out or goes away.
//
// Thread: the object is created on the GUI thread by the listener; run() and
// everything it calls run on the session's own thread, which creates the
// socket and uses blocking waits only. The session's fields are used by that
// thread alone (the limits are set before the thread starts). The listener
// may call requestInterruption() at any time; the session then ends within
// its bounded waits (500 ms each).
//
// Limits: a frame's buffer grows in doubling steps as its bytes arrive, each
// step taken from the listener's memory budget first (while a step does not
// fit nothing is read, for at most the idle timeout); the frame must arrive
// at the minimum upload rate (FrameDeadline). A session without a request
// for the idle timeout is closed, and no request is read while too many
// reply bytes wait to be sent, by this session or, with some of its own
// unsent, by all sessions together.
class LocalSession : public QThread
{
    Q_OBJECT
public:
    LocalSession(qintptr socketDescriptor, QObject *parent, const SessionLimits &limits = SessionLimits());
    ~LocalSession() override;

    // True once run() has done all its work (any thread). After it turns
    // true, wait() returns at once and the object may be deleted.
    bool IsDone() const;
    // Since when (steady clock, ms) the session waits for the first byte of
    // a request; -1 while it reads or serves one. Any thread.
    qint64 IdleSinceMs() const { return idleSince.load(); }

protected:
    void run() override;

private:
    void Process();
    // Reads the next request body into `body`; false when the session is to
    // end (timeout, oversized frame, client gone, interruption).
    // `silent`: an empty frame, which gets no reply.
    bool ReadMessage(QByteArray &body, bool &silent);
    bool ReadHeader(char *header, FrameDeadline &deadline);
    bool ReadEmptyFrame(QByteArray &body, bool &silent);
    // Makes room for `needed` bytes in `body`, whose frame is `total` bytes,
    // taking the step from the budget first.
    bool GrowBody(QByteArray &body, qint64 needed, qint64 total, FrameDeadline &deadline);
    void ReleaseBody();
    bool ReadBody(QByteArray &body, qint64 size, FrameDeadline &deadline);
    // Brings this session's charge of unsent reply bytes up to date.
    void SyncUnsent();
    void MarkIdle(bool idle);
    // Waits while more reply bytes than allowed are unsent; false when the
    // session is to end meanwhile.
    bool WaitForUnsentReplies();
    bool Interrupted() const;
    void SendReply(bool state, const QString &content);
    // Runs the handler of a request; returns false when the session is to end.
    bool Dispatch(const QByteArray &command, QByteArray &payload);
    void Close();

    void InitSession(QByteArray &payload);
    // Hands the payload buffer itself to the job service (no copy).
    void AddNesterJob(QByteArray &payload);
    void RemoveNesterJob(QByteArray &payload);
    void GetNesterJobList(QByteArray &payload);
    void PickUpNesterJob(QByteArray &payload);
    void MoveNesterJob(QByteArray &payload);
    void InvalidRequest();

    qintptr socketDescriptor;
    QString peerAddress;
    QTcpSocket *socket = nullptr;
    LocalServer *server = nullptr;
    const SessionLimits limits;
    // Body bytes taken from the listener's budget for the current request.
    InflightBudget::Frame budgetHeld;
    // Unsent reply bytes charged to the listener's reply budget.
    qint64 unsentCharged = 0;
    std::atomic<qint64> idleSince{-1};
    // Since the last reply (or the greeting): the idle timeout.
    QElapsedTimer idleTimer;
    // Set when the client broke the protocol so that the connection is
    // dropped without the closing wait.
    bool dropConnection = false;
    // Guards `done`; its lock also orders everything run() wrote before the
    // owner deletes the object.
    mutable std::mutex doneMutex;
    bool done = false;
};

} // namespace Zendral
} // namespace Orvane
