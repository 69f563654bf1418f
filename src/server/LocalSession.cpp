#include "LocalSession.h"

#include "InflightBudget.h"
#include "LocalServer.h"
#include "Protocol.h"
#include "ProtocolCommands.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>

#include <exception>
#include <utility>

namespace Orvane {
namespace Zendral {

namespace {

// The longest single blocking wait: interruption and timeouts are looked at
// at least this often.
constexpr int WaitSliceMs = 500;
constexpr int DisconnectWaitMs = 30000;
// Qt's own read buffer of the socket; bounds what a client can push at the
// session while it waits for memory, writes a reply or waits for the
// disconnection.
constexpr qint64 SocketReadBufferSize = 1024 * 1024;

// A payload or service result as text: UTF-8 up to the first NUL byte.
QString ToText(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes.constData(), int(qstrnlen(bytes.constData(), uint(bytes.size()))));
}

// The wait before the next look, at most `left` ms and one slice.
int NextWait(qint64 left)
{
    return int(qBound<qint64>(1, left, WaitSliceMs));
}

} // namespace

LocalSession::LocalSession(qintptr socketDescriptor, QObject *parent, const SessionLimits &limits)
    : QThread(nullptr)
    , socketDescriptor(socketDescriptor)
    , server(qobject_cast<LocalServer *>(parent))
    , limits(limits)
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
        qWarning().noquote() << QStringLiteral("File: %1\nLine: %2\nFunction: %3\n")
                                  .arg(QLatin1String(__FILE__))
                                  .arg(__LINE__)
                                  .arg(QLatin1String("Orvane::Zendral::LocalSession::run"))
                           << e.what();
    } catch (...) {
        socket = nullptr;
        qWarning().noquote() << QStringLiteral("File: %1\nLine: %2\nFunction: %3\n")
                                  .arg(QLatin1String(__FILE__))
                                  .arg(__LINE__)
                                  .arg(QLatin1String("Orvane::Zendral::LocalSession::run"));
    }
    ReleaseBody(); // a request that threw gives its memory back too
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
        qWarning() << "Could not take over the client connection:" << tcp.errorString();
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
    idleTimer.start();
    while (socket->state() == QAbstractSocket::ConnectedState && !dropConnection && !isInterruptionRequested()) {
        QByteArray body;
        if (!WaitForUnsentReplies() || !ReadMessage(body))
            break;
        QByteArray command;
        SplitRequestInPlace(body, command);
        const bool goOn = Dispatch(command, body);
        body = QByteArray();
        ReleaseBody();
        idleTimer.start();
        if (!goOn)
            break;
    }
    Close();
    socket = nullptr;
    qDebug() << "end process";
}

bool LocalSession::Interrupted() const
{
    return isInterruptionRequested() || socket->state() != QAbstractSocket::ConnectedState;
}

// Reads one request body. No more than the current frame is taken from the
// socket, so a client that sends its next request early keeps it for the
// next call. The body is read into a buffer of its announced size (and one
// byte more, see below) taken from the memory budget first.
bool LocalSession::ReadMessage(QByteArray &body)
{
    char header[FrameHeaderSize];
    if (!ReadHeader(header))
        return false;
    const quint32 length = AnnouncedLength(QByteArray::fromRawData(header, FrameHeaderSize));
    if (length > MaxBodySize) {
        qWarning() << "Request too large from" << peerAddress << ":" << length << "bytes announced; session ended";
        dropConnection = true;
        return false;
    }
    // A NUL after a body that does not start with one: a bare command
    // without '@' keeps it in its command part and so matches no command,
    // and "COMMAND@" reads as the command with an empty payload.
    if (!ReserveBody(qint64(length) + 1))
        return false;
    body = QByteArray(int(length) + 1, Qt::Uninitialized);
    if (!ReadBody(body.data(), length))
        return false;
    body[int(length)] = '\0';
    if (body.at(0) == '\0')
        body.truncate(int(length));
    return true;
}

// Before a header begins the idle timeout applies; once its first byte has
// come, the frame timeout.
bool LocalSession::ReadHeader(char *header)
{
    int got = 0;
    QElapsedTimer sinceByte;
    sinceByte.start();
    while (got < FrameHeaderSize) {
        if (socket->bytesAvailable() > 0) {
            got += int(socket->read(header + got, FrameHeaderSize - got));
            sinceByte.start();
            continue;
        }
        if (Interrupted())
            return false;
        qint64 left = 0;
        if (got == 0) {
            left = limits.idleTimeoutMs - idleTimer.elapsed();
            if (left <= 0) {
                qWarning() << "Client" << peerAddress << "sent no request for" << limits.idleTimeoutMs / 1000
                           << "s; session closed";
                return false;
            }
        } else {
            left = limits.frameTimeoutMs - sinceByte.elapsed();
            if (left <= 0) {
                qWarning() << "Request from" << peerAddress << "stalled for" << limits.frameTimeoutMs / 1000
                           << "s in its header; session ended";
                dropConnection = true;
                return false;
            }
        }
        socket->waitForReadyRead(NextWait(left));
    }
    return true;
}

// Waits, reading nothing, until the body fits the budget.
bool LocalSession::ReserveBody(qint64 bytes)
{
    if (!limits.budget)
        return true;
    bool logged = false;
    while (!limits.budget->TryAcquire(bytes, WaitSliceMs)) {
        if (isInterruptionRequested())
            return false;
        if (!logged) {
            qWarning() << "Request of" << bytes << "bytes from" << peerAddress
                       << "waits for memory: the request budget of" << limits.budget->Limit() << "bytes is in use";
            logged = true;
        }
    }
    budgetHeld = bytes;
    return true;
}

void LocalSession::ReleaseBody()
{
    if (limits.budget && budgetHeld > 0)
        limits.budget->Release(budgetHeld);
    budgetHeld = 0;
}

// A body is complete only when every announced byte has come; only a gap of
// the frame timeout ends it.
bool LocalSession::ReadBody(char *data, qint64 size)
{
    qint64 got = 0;
    QElapsedTimer sinceByte;
    sinceByte.start();
    while (got < size) {
        const qint64 available = socket->bytesAvailable();
        if (available > 0) {
            const qint64 read = socket->read(data + got, qMin(available, size - got));
            if (read < 0)
                return false;
            got += read;
            sinceByte.start();
            continue;
        }
        if (Interrupted())
            return false;
        const qint64 left = limits.frameTimeoutMs - sinceByte.elapsed();
        if (left <= 0) {
            qWarning() << "Request from" << peerAddress << "stalled for" << limits.frameTimeoutMs / 1000 << "s after"
                       << got << "of" << size << "bytes; session ended";
            dropConnection = true;
            return false;
        }
        socket->waitForReadyRead(NextWait(left));
    }
    return true;
}

// A client that does not read its replies gets no more of them: its next
// request waits until the unsent bytes are below the bound, and a client
// that reads nothing for the idle timeout is closed.
bool LocalSession::WaitForUnsentReplies()
{
    bool logged = false;
    while (socket->bytesToWrite() > limits.maxUnsentBytes) {
        if (Interrupted())
            return false;
        const qint64 left = limits.idleTimeoutMs - idleTimer.elapsed();
        if (left <= 0) {
            qWarning() << "Client" << peerAddress << "read no reply for" << limits.idleTimeoutMs / 1000
                       << "s; session ended";
            dropConnection = true;
            return false;
        }
        if (!logged) {
            qWarning() << "Client" << peerAddress << "does not read its replies (" << socket->bytesToWrite()
                       << "bytes unsent); its requests wait";
            logged = true;
        }
        socket->waitForBytesWritten(NextWait(left));
    }
    return true;
}

// The reply is handed to the socket and written as far as the connection
// takes it now; the rest goes out during the following waits.
void LocalSession::SendReply(bool state, const QString &content)
{
    if (!socket || socket->state() != QAbstractSocket::ConnectedState)
        return; // the client has gone; nobody to answer
    socket->write(PackMessage(EncodeReply(state, content)));
    socket->flush();
}

bool LocalSession::Dispatch(const QByteArray &command, QByteArray &payload)
{
    using Handler = void (LocalSession::*)(QByteArray &);
    static const struct {
        const char *name;
        Handler handler;
    } commands[] = {
        {Command::InitSession, &LocalSession::InitSession},
        {Command::AddNesterJob, &LocalSession::AddNesterJob},
        {Command::PickUpNesterJob, &LocalSession::PickUpNesterJob},
        {Command::GetNesterJobList, &LocalSession::GetNesterJobList},
        {Command::MoveNesterJobStep, &LocalSession::MoveNesterJob},
        {Command::RemoveNesterJob, &LocalSession::RemoveNesterJob},
    };
    for (const auto &entry : commands) {
        if (command != QByteArray(entry.name))
            continue;
        try {
            (this->*entry.handler)(payload);
        } catch (const std::exception &e) {
            qWarning().noquote() << QStringLiteral("File: %1\nLine: %2\nFunction: %3\n")
                                      .arg(QLatin1String(__FILE__))
                                      .arg(__LINE__)
                                      .arg(QLatin1String("Orvane::Zendral::LocalSession::Dispatch"))
                               << e.what();
            SendReply(false, QString());
        } catch (...) {
            qWarning().noquote() << QStringLiteral("File: %1\nLine: %2\nFunction: %3\n")
                                      .arg(QLatin1String(__FILE__))
                                      .arg(__LINE__)
                                      .arg(QLatin1String("Orvane::Zendral::LocalSession::Dispatch"));
            SendReply(false, QString());
        }
        return true;
    }
    if (command == QByteArray(Command::LogoutSession)) {
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
        socket->waitForDisconnected(WaitSliceMs);
        socket->readAll(); // what a leaving client still sends is not read
    }
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->abort();
}

void LocalSession::InitSession(QByteArray &)
{
    qDebug() << "Init Session";
    if (!server) {
        SendReply(false, QString());
        return;
    }
    const Reply reply = server->InitSession();
    SendReply(reply.first, ToText(reply.second));
}

void LocalSession::AddNesterJob(QByteArray &payload)
{
    qDebug() << "Add Nester Job";
    if (!server) {
        SendReply(false, QString());
        return;
    }
    const Reply reply = server->AddNesterJob(std::move(payload), peerAddress);
    SendReply(reply.first, ToText(reply.second));
}

void LocalSession::RemoveNesterJob(QByteArray &payload)
{
    qDebug() << "Remove Nester Job";
    if (!server) {
        SendReply(false, QString());
        return;
    }
    const Reply reply = server->RemoveNesterJob(ToText(payload));
    SendReply(reply.first, ToText(reply.second));
}

void LocalSession::GetNesterJobList(QByteArray &payload)
{
    qDebug() << "Get Nester Job List";
    if (!server) {
        SendReply(false, QString());
        return;
    }
    const Reply reply = server->GetNesterJobList(peerAddress, ToText(payload));
    SendReply(reply.first, ToText(reply.second));
}

void LocalSession::PickUpNesterJob(QByteArray &payload)
{
    qDebug() << "Pick Up Nester Job";
    if (!server) {
        SendReply(false, QString());
        return;
    }
    const Reply reply = server->PickUpNesterJob(ToText(payload));
    SendReply(reply.first, ToText(reply.second));
}

void LocalSession::MoveNesterJob(QByteArray &payload)
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
