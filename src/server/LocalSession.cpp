#include "LocalSession.h"

#include "LocalServer.h"
#include "Protocol.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>

#include <exception>

namespace Orvane {
namespace Zendral {

namespace {

constexpr int ReadWaitMs = 500;
constexpr int WriteWaitMs = 10000;
constexpr int DisconnectWaitMs = 30000;
// Qt's own read buffer of the socket; bounds what a client can push at the
// session while it writes a reply or waits for the disconnection.
constexpr qint64 SocketReadBufferSize = 1024 * 1024;

// A payload or service result as text: UTF-8 up to the first NUL byte.
QString ToText(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes.constData(), int(qstrnlen(bytes.constData(), uint(bytes.size()))));
}

} // namespace

LocalSession::LocalSession(qintptr socketDescriptor, QObject *parent)
    : QThread(nullptr)
    , socketDescriptor(socketDescriptor)
    , server(qobject_cast<LocalServer *>(parent))
{
}

LocalSession::~LocalSession() = default;

// Nothing that goes wrong in one session may end the process: whatever
// escapes Process is logged here and the session ends as usual. The socket
// lived on Process's stack, so the unwinding has already aborted it.
void LocalSession::run()
{
    try {
        Process();
    } catch (const std::exception &e) {
        socket = nullptr;
        qDebug().noquote() << QStringLiteral("File: %1\nLine: %2\nFunction: %3\n")
                                  .arg(QLatin1String(__FILE__))
                                  .arg(__LINE__)
                                  .arg(QLatin1String("Orvane::Zendral::LocalSession::run"))
                           << e.what();
    } catch (...) {
        socket = nullptr;
        qDebug().noquote() << QStringLiteral("File: %1\nLine: %2\nFunction: %3\n")
                                  .arg(QLatin1String(__FILE__))
                                  .arg(__LINE__)
                                  .arg(QLatin1String("Orvane::Zendral::LocalSession::run"));
    }
    std::lock_guard<std::mutex> lock(doneMutex);
    done = true;
}

bool LocalSession::IsDone() const
{
    std::lock_guard<std::mutex> lock(doneMutex);
    return done;
}

void LocalSession::Process()
{
    qDebug() << "begin process";
    QTcpSocket tcp;
    if (!tcp.setSocketDescriptor(socketDescriptor, QAbstractSocket::ConnectedState, QIODevice::ReadWrite)) {
        qDebug() << "Could not take over the client connection:" << tcp.errorString();
        // Nothing is left to close: the take-over fails either because no
        // socket is open under the descriptor, or after the socket layer has
        // closed it itself. Closing it here once more could close a
        // descriptor that another thread has opened since.
        qDebug() << "end process";
        return;
    }
    tcp.setReadBufferSize(SocketReadBufferSize);
    peerAddress = tcp.peerAddress().toString();
    socket = &tcp;

    SendReply(true, QStringLiteral("Welcome..."));
    while (socket->state() == QAbstractSocket::ConnectedState && !dropConnection && !isInterruptionRequested()) {
        QByteArray body = ReadMessage();
        if (body.isEmpty())
            continue;
        // A bare command without '@' keeps this NUL in its command part and
        // so matches no command.
        if (body.at(0) != '\0')
            body.append('\0');
        QByteArray command;
        QByteArray payload;
        SplitRequest(body, command, payload);
        if (!Dispatch(command, payload))
            break;
    }
    Close();
    socket = nullptr;
    qDebug() << "end process";
}

// Reads one request body. The header is taken whole before the body, and no
// more than the current frame is taken from the socket, so a client that
// sends its next request early keeps it for the next call. A body that stalls
// for more than 500 ms is returned as far as it came; a header announcing
// more than MaxBodySize ends the session without reading the body.
QByteArray LocalSession::ReadMessage()
{
    if (!socket)
        return QByteArray();
    for (;;) {
        QByteArray body;
        switch (TakeFrame(buffer, body, MaxBodySize)) {
        case FrameStatus::Complete:
            return body;
        case FrameStatus::TooLarge:
            qDebug() << "Request too large from" << peerAddress << ":" << AnnouncedLength(buffer)
                     << "bytes announced; session ended";
            buffer.clear();
            dropConnection = true;
            return QByteArray();
        case FrameStatus::Incomplete:
            break;
        }
        if (socket->bytesAvailable() > 0) {
            buffer += socket->read(qMin<qint64>(MissingBytes(buffer), socket->bytesAvailable()));
            continue;
        }
        if (isInterruptionRequested() || socket->state() != QAbstractSocket::ConnectedState)
            return QByteArray();
        if (!socket->waitForReadyRead(ReadWaitMs)) {
            if (buffer.size() < FrameHeaderSize)
                return QByteArray(); // nothing, or a partial header kept for the next turn
            body = buffer.mid(FrameHeaderSize);
            buffer.clear();
            return body;
        }
    }
}

void LocalSession::SendReply(bool state, const QString &content)
{
    if (!socket || socket->state() != QAbstractSocket::ConnectedState)
        return; // the client has gone; nobody to answer
    socket->write(PackMessage(EncodeReply(state, content)));
    socket->flush();
    if (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() > 0)
        socket->waitForBytesWritten(WriteWaitMs);
}

bool LocalSession::Dispatch(const QByteArray &command, const QByteArray &payload)
{
    using Handler = void (LocalSession::*)(const QByteArray &);
    static const struct {
        const char *name;
        Handler handler;
    } commands[] = {
        {"INIT_SESSION", &LocalSession::InitSession},
        {"ADD_NESTER_JOB", &LocalSession::AddNesterJob},
        {"PICKUP_NESTER_JOB", &LocalSession::PickUpNesterJob},
        {"GET_NESTER_JOB_LIST", &LocalSession::GetNesterJobList},
        {"MOVE_NESTER_JOB_STEP", &LocalSession::MoveNesterJob},
        {"REMOVE_NESTER_JOB", &LocalSession::RemoveNesterJob},
    };
    for (const auto &entry : commands) {
        if (command != QByteArray(entry.name))
            continue;
        try {
            (this->*entry.handler)(payload);
        } catch (const std::exception &e) {
            qDebug().noquote() << QStringLiteral("File: %1\nLine: %2\nFunction: %3\n")
                                      .arg(QLatin1String(__FILE__))
                                      .arg(__LINE__)
                                      .arg(QLatin1String("Orvane::Zendral::LocalSession::Dispatch"))
                               << e.what();
            SendReply(false, QString());
        } catch (...) {
            qDebug().noquote() << QStringLiteral("File: %1\nLine: %2\nFunction: %3\n")
                                      .arg(QLatin1String(__FILE__))
                                      .arg(__LINE__)
                                      .arg(QLatin1String("Orvane::Zendral::LocalSession::Dispatch"));
            SendReply(false, QString());
        }
        return true;
    }
    if (command == QByteArray("LOGOUT_SESSION")) {
        SendReply(true, QString());
        return false;
    }
    InvalidRequest();
    return true;
}

// Ends the connection: a polite close with a bounded wait for the client to
// go, or an abort when the listener asked the session to finish or the client
// broke the protocol.
void LocalSession::Close()
{
    if (dropConnection || isInterruptionRequested()) {
        socket->abort();
        return;
    }
    socket->disconnectFromHost();
    QElapsedTimer timer;
    timer.start();
    while (socket->state() != QAbstractSocket::UnconnectedState && timer.elapsed() < DisconnectWaitMs
           && !isInterruptionRequested()) {
        socket->waitForDisconnected(ReadWaitMs);
        socket->readAll(); // what a leaving client still sends is not read
    }
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->abort();
}

void LocalSession::InitSession(const QByteArray &)
{
    qDebug() << "Init Session";
    if (!server) {
        SendReply(false, QString());
        return;
    }
    const Reply reply = server->InitSession();
    SendReply(reply.first, ToText(reply.second));
}

void LocalSession::AddNesterJob(const QByteArray &payload)
{
    qDebug() << "Add Nester Job";
    if (!server) {
        SendReply(false, QString());
        return;
    }
    const Reply reply = server->AddNesterJob(payload, peerAddress);
    SendReply(reply.first, ToText(reply.second));
}

void LocalSession::RemoveNesterJob(const QByteArray &payload)
{
    qDebug() << "Remove Nester Job";
    if (!server) {
        SendReply(false, QString());
        return;
    }
    const Reply reply = server->RemoveNesterJob(ToText(payload));
    SendReply(reply.first, ToText(reply.second));
}

void LocalSession::GetNesterJobList(const QByteArray &payload)
{
    qDebug() << "Get Nester Job List";
    if (!server) {
        SendReply(false, QString());
        return;
    }
    const Reply reply = server->GetNesterJobList(peerAddress, ToText(payload));
    SendReply(reply.first, ToText(reply.second));
}

void LocalSession::PickUpNesterJob(const QByteArray &payload)
{
    qDebug() << "Pick Up Nester Job";
    if (!server) {
        SendReply(false, QString());
        return;
    }
    const Reply reply = server->PickUpNesterJob(ToText(payload));
    SendReply(reply.first, ToText(reply.second));
}

void LocalSession::MoveNesterJob(const QByteArray &payload)
{
    qDebug() << "Move Nester Job Step";
    if (!server) {
        SendReply(false, QString());
        return;
    }
    const Reply reply = server->MoveNesterJob(payload);
    SendReply(reply.first, ToText(reply.second));
}

void LocalSession::InvalidRequest()
{
    SendReply(false, QStringLiteral("Invalid request..."));
}

} // namespace Zendral
} // namespace Orvane
