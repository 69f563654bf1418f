#pragma once

// A test client of the job service's protocol over a real TCP connection.
// With `pump` set (the default) it runs the caller's event loop while it
// waits, so that a listener living on the same thread can accept; without it,
// it blocks like a client on a thread of its own. Every wait is bounded.

#include "Protocol.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpSocket>

namespace Orvane {
namespace Zendral {

class ProtocolTestClient
{
public:
    struct Answer
    {
        bool ok = false; // a reply frame came and decoded
        bool state = false;
        QString content;
    };

    explicit ProtocolTestClient(bool pump = true)
        : pump(pump)
    {
    }

    bool Connect(quint16 port, const QHostAddress &bindAddress = QHostAddress(), int ms = 5000)
    {
        if (!bindAddress.isNull() && !socket.bind(bindAddress))
            return false;
        socket.connectToHost(QHostAddress::LocalHost, port);
        return Wait(ms, [this] { return socket.state() == QAbstractSocket::ConnectedState; });
    }

    // Connects and reads the greeting.
    bool Open(quint16 port, const QHostAddress &bindAddress = QHostAddress())
    {
        if (!Connect(port, bindAddress))
            return false;
        const Answer greeting = Read();
        return greeting.ok && greeting.state && greeting.content == QLatin1String("Welcome...");
    }

    void SendRaw(const QByteArray &bytes)
    {
        if (socket.state() == QAbstractSocket::UnconnectedState)
            return; // the server went away: the read that follows fails
        socket.write(bytes);
        socket.flush();
        if (!pump)
            socket.waitForBytesWritten(2000);
    }

    Answer Request(const QByteArray &command, const QByteArray &payload = QByteArray(), int ms = 5000)
    {
        SendRaw(PackMessage(EncodeRequest(command, payload)));
        return Read(ms);
    }

    // Reads one reply frame.
    Answer Read(int ms = 5000)
    {
        Answer answer;
        QByteArray body;
        Wait(ms, [&] { return TakeFrame(received, body) == FrameStatus::Complete; });
        if (!body.isEmpty())
            answer.ok = DecodeReply(body, answer.state, answer.content);
        return answer;
    }

    // Waits until `count` unread bytes have arrived.
    bool WaitBytes(int count, int ms = 5000)
    {
        return Wait(ms, [&] { return received.size() >= count; });
    }

    bool WaitClosed(int ms = 5000)
    {
        return Wait(ms, [this] { return socket.state() == QAbstractSocket::UnconnectedState; });
    }

    QTcpSocket socket;
    QByteArray received; // bytes read and not yet taken as a reply

private:
    template <typename Done>
    bool Wait(int ms, Done done)
    {
        QDeadlineTimer deadline(ms);
        // Bounded in time and, should the waits below return at once, in turns.
        for (int turn = 0; turn < MaxWaitTurns; ++turn) {
            received += socket.readAll();
            if (done())
                return true;
            if (deadline.hasExpired())
                return false;
            if (pump) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
                socket.waitForReadyRead(5);
            } else if (socket.state() == QAbstractSocket::ConnectedState) {
                socket.waitForReadyRead(50);
            } else {
                socket.waitForConnected(50);
                if (socket.state() == QAbstractSocket::UnconnectedState)
                    return done();
            }
        }
        received += socket.readAll();
        return done();
    }

    static constexpr int MaxWaitTurns = 10000;

    bool pump;
};

} // namespace Zendral
} // namespace Orvane
