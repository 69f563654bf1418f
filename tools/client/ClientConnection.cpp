#include "ClientConnection.h"

#include "Protocol.h"
#include "ProtocolCommands.h"

namespace Orvane {
namespace Zendral {

namespace {
constexpr int ConnectWaitMs = 10000;
// Longest silence of the service while a reply is on its way.
constexpr int ReplyWaitMs = 60000;
// Replies carry whole result files; anything larger is not a reply.
constexpr quint32 MaxReplySize = 1024u * 1024u * 1024u;
} // namespace

ClientConnection::ClientConnection(const QString &host, quint16 port)
    : host(host)
    , port(port)
{
}

ClientConnection::~ClientConnection()
{
    socket.abort();
}

void ClientConnection::Open()
{
    opened = true;
    socket.connectToHost(host, port);
    if (!socket.waitForConnected(ConnectWaitMs)) {
        throw ClientError{ExitConnection,
                          QStringLiteral("cannot connect to %1:%2: %3").arg(host).arg(port).arg(socket.errorString())};
    }
    const ClientReply greeting = ReadReply();
    if (!greeting.state)
        Fail(QStringLiteral("the service refused the session: %1").arg(greeting.content));
}

ClientReply ClientConnection::Request(const QByteArray &command, const QByteArray &payload)
{
    if (!opened)
        Open();
    socket.write(PackMessage(EncodeRequest(command, payload)));
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(ReplyWaitMs)) {
            if (socket.state() != QAbstractSocket::ConnectedState)
                Fail(QStringLiteral("connection closed by the service"));
            Fail(QStringLiteral("could not send the request: %1").arg(socket.errorString()));
        }
    }
    return ReadReply();
}

void ClientConnection::Close()
{
    if (!opened)
        return;
    Request(Command::LogoutSession);
    // The service closes the connection after its reply.
    if (socket.state() == QAbstractSocket::ConnectedState)
        socket.waitForDisconnected(ConnectWaitMs);
    socket.abort();
}

ClientReply ClientConnection::ReadReply()
{
    for (;;) {
        QByteArray body;
        switch (TakeFrame(buffer, body, MaxReplySize)) {
        case FrameStatus::Complete: {
            ClientReply reply;
            if (!DecodeReply(body, reply.state, reply.content))
                Fail(QStringLiteral("unexpected reply from the service"));
            return reply;
        }
        case FrameStatus::TooLarge:
            Fail(QStringLiteral("unexpected reply from the service (too large)"));
        case FrameStatus::Incomplete:
            break;
        }
        if (socket.bytesAvailable() > 0) {
            buffer += socket.read(qMin<qint64>(MissingBytes(buffer), socket.bytesAvailable()));
            continue;
        }
        if (socket.state() != QAbstractSocket::ConnectedState)
            Fail(QStringLiteral("connection closed by the service"));
        if (!socket.waitForReadyRead(ReplyWaitMs)) {
            if (socket.state() != QAbstractSocket::ConnectedState)
                Fail(QStringLiteral("connection closed by the service"));
            Fail(QStringLiteral("no reply from the service within %1 s").arg(ReplyWaitMs / 1000));
        }
    }
}

void ClientConnection::Fail(const QString &message)
{
    socket.abort();
    throw ClientError{ExitConnection, message};
}

} // namespace Zendral
} // namespace Orvane
