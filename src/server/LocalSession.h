#pragma once

#include <QByteArray>
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
// thread alone. The listener may call requestInterruption() at any time; the
// session then ends within its bounded waits (500 ms reads, 10 s writes).
class LocalSession : public QThread
{
    Q_OBJECT
public:
    LocalSession(qintptr socketDescriptor, QObject *parent);
    ~LocalSession() override;

    // True once run() has done all its work (any thread). After it turns
    // true, wait() returns at once and the object may be deleted.
    bool IsDone() const;

protected:
    void run() override;

private:
    void Process();
    QByteArray ReadMessage();
    void SendReply(bool state, const QString &content);
    // Runs the handler of a request; returns false when the session is to end.
    bool Dispatch(const QByteArray &command, const QByteArray &payload);
    void Close();

    void InitSession(const QByteArray &payload);
    void AddNesterJob(const QByteArray &payload);
    void RemoveNesterJob(const QByteArray &payload);
    void GetNesterJobList(const QByteArray &payload);
    void PickUpNesterJob(const QByteArray &payload);
    void MoveNesterJob(const QByteArray &payload);
    void InvalidRequest();

    qintptr socketDescriptor;
    QString peerAddress;
    QTcpSocket *socket = nullptr;
    LocalServer *server = nullptr;
    // Bytes of the request being read; never more than one frame.
    QByteArray buffer;
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
