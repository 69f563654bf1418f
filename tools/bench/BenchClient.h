#pragma once

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTcpSocket>

namespace Orvane {
namespace Zendral {
namespace Bench {

class WireProtocol;

// One client connection of the benchmark: bound to a local address of its
// own, strictly request/reply (one request in flight, the next is sent after
// its reply), each reply timed from the send to its last byte. Event driven,
// so that many clients share the main thread without threads of their own.
//
// Thread: main thread only.
class BenchClient : public QObject
{
    Q_OBJECT

public:
    BenchClient(const WireProtocol &wire, const QHostAddress &local, QObject *parent = nullptr);
    ~BenchClient() override;

    // Starts connecting to 127.0.0.1:port; IsReady once connected and, for a
    // server that greets, the greeting has been read.
    void Open(quint16 port);
    bool IsReady() const { return ready; }
    bool IsIdle() const { return ready && !inFlight; }
    // Empty while the connection is fine; the reason once it has broken.
    QString Broken() const { return broken; }
    // Sends one request; only when IsIdle.
    void Send(const QByteArray &request);
    QHostAddress LocalAddress() const { return local; }

signals:
    // A reply to the last request: accepted or refused, the server's text and
    // the time since the send.
    void replied(BenchClient *client, bool accepted, const QString &content, qint64 nanoseconds);

private:
    void OnReadyRead();
    void Fail(const QString &reason);

    const WireProtocol &wire;
    QHostAddress local;
    QTcpSocket socket;
    QByteArray buffer;
    QElapsedTimer sent;
    bool ready = false;
    bool inFlight = false;
    QString broken;
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
