#pragma once

#include "SessionLimits.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QThread>

#include <mutex>

class QTcpSocket;

namespace Orvane {
namespace Zendral {

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
// Limits: a frame is read straight into a buffer of its announced size once
// the listener's memory budget has room for it (until then nothing is read);
// it is complete only when every announced byte has come, however slowly, as
// long as no gap lasts the frame timeout. A session without a request for the
// idle timeout is closed, and no request is read while too many reply bytes
// wait to be sent.
class LocalSession : public QThread
{
    Q_OBJECT
public:
    LocalSession(qintptr socketDescriptor, QObject *parent, const SessionLimits &limits = SessionLimits());
    ~LocalSession() override;

    // True once run() has done all its work (any thread). After it turns
    // true, wait() returns at once and the object may be deleted.
    bool IsDone() const;

protected:
    void run() override;

private:
    void Process();
    // Reads the next request body into `body`; false when the session is to
    // end (timeout, oversized frame, client gone, interruption).
    bool ReadMessage(QByteArray &body);
    bool ReadHeader(char *header);
    bool ReserveBody(qint64 bytes);
    void ReleaseBody();
    bool ReadBody(char *data, qint64 size);
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
    qint64 budgetHeld = 0;
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
