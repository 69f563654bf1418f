#include "BenchClient.h"

#include "WireProtocol.h"

namespace Orvane {
namespace Zendral {
namespace Bench {

BenchClient::BenchClient(const WireProtocol &wire, const QHostAddress &local, QObject *parent)
    : QObject(parent)
    , wire(wire)
    , local(local)
{
    connect(&socket, &QTcpSocket::connected, this, [this] {
        // Small requests go out at once, as a client waiting for its reply
        // would want.
        socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        ready = !this->wire.Greets();
        inFlight = this->wire.Greets();
    });
    connect(&socket, &QTcpSocket::readyRead, this, &BenchClient::OnReadyRead);
    connect(&socket, &QTcpSocket::disconnected, this, [this] { Fail(QStringLiteral("closed by the server")); });
    connect(&socket, &QAbstractSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError) { Fail(socket.errorString()); });
}

BenchClient::~BenchClient()
{
    // The socket is destroyed before this object's own fields: it must not
    // call back into them while it closes.
    socket.blockSignals(true);
    socket.abort();
}

void BenchClient::Open(quint16 port)
{
    // Each client has an address of its own, so that a per-address limit of
    // the server never holds the benchmark back.
    if (!socket.bind(local, 0)) {
        Fail(QStringLiteral("cannot bind %1: %2").arg(local.toString(), socket.errorString()));
        return;
    }
    socket.connectToHost(QHostAddress::LocalHost, port);
}

void BenchClient::Send(const QByteArray &request)
{
    Q_ASSERT(IsIdle());
    inFlight = true;
    sent.start();
    socket.write(request);
}

void BenchClient::OnReadyRead()
{
    buffer += socket.readAll();
    while (!buffer.isEmpty() && broken.isEmpty()) {
        QString content;
        const WireProtocol::Reply reply = wire.TakeReply(buffer, content);
        if (reply == WireProtocol::Reply::Incomplete)
            return;
        if (reply == WireProtocol::Reply::Garbled) {
            Fail(QStringLiteral("a reply that is not of the protocol"));
            return;
        }
        if (!inFlight) {
            Fail(QStringLiteral("a reply without a request"));
            return;
        }
        inFlight = false;
        if (!ready) { // the greeting
            ready = true;
            continue;
        }
        emit replied(this, reply == WireProtocol::Reply::Accepted, content, sent.nsecsElapsed());
    }
}

void BenchClient::Fail(const QString &reason)
{
    if (!broken.isEmpty())
        return;
    broken = QStringLiteral("%1 (client %2)").arg(reason, local.toString());
    ready = false;
    socket.abort();
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
