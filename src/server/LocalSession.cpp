#include "LocalSession.h"

#include "LogHandler.h"

#include "Platform.h"

#include "FrameDeadline.h"
#include "InflightBudget.h"
#include "QueueReplies.h"
#include "LocalServer.h"
#include "Protocol.h"
#include "ProtocolCommands.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>

#include <chrono>
#include <exception>
#include <utility>

namespace Orvane {
namespace Zendral {

namespace {

// The longest single blocking wait: interruption and timeouts are looked at
// at least this often.
constexpr int WaitSliceMs = 500;
constexpr int DisconnectWaitMs = 30000;
// The largest payload of a request that carries only a job id, a job name
// or a move step.
constexpr int MaxSmallPayload = 4096;
// How long the byte of a header announcing 0 is waited for.
constexpr int EmptyFrameWaitMs = 500;
// A body's first step in the budget; each further one doubles it.
constexpr qint64 BodyFirstStep = 64 * 1024;
constexpr int BudgetWaitSliceMs = 250;
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

qint64 SteadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

LocalSession::LocalSession(qintptr socketDescriptor, QObject *parent, const SessionLimits &limits)
    : QThread(nullptr)
    , socketDescriptor(socketDescriptor)
    , server(qobject_cast<LocalServer *>(parent))
    , limits(limits)
{
    // The thread's name for the system's tools (the benchmark groups CPU by it).
    setObjectName(QStringLiteral("session"));
}

LocalSession::~LocalSession() = default;

// Nothing that goes wrong in one session may end the process: whatever
// escapes Process is logged here and the session ends as usual. The socket
// lived on Process's stack, so the unwinding has already aborted it.
void LocalSession::run()
{
    Platform::KeepSignalsOffThisThread();
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
    if (limits.unsentBudget && unsentCharged > 0)
        limits.unsentBudget->Release(unsentCharged);
    unsentCharged = 0;
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
    qCDebug(lcRequests) << "begin process";
    QTcpSocket tcp;
    if (!tcp.setSocketDescriptor(socketDescriptor, QAbstractSocket::ConnectedState, QIODevice::ReadWrite)) {
        qWarning() << "Could not take over the client connection:" << tcp.errorString();
        // Nothing is left to close: the take-over fails either because no
        // socket is open under the descriptor, or after the socket layer has
        // closed it itself. Closing it here once more could close a
        // descriptor that another thread has opened since.
        qCDebug(lcRequests) << "end process";
        return;
    }
    tcp.setReadBufferSize(SocketReadBufferSize);
    peerAddress = tcp.peerAddress().toString();
    socket = &tcp;

    SendReply(true, QStringLiteral("Welcome..."));
    idleTimer.start();
    while (socket->state() == QAbstractSocket::ConnectedState && !dropConnection && !isInterruptionRequested()) {
        QByteArray body;
        bool silent = false;
        if (!WaitForUnsentReplies() || !ReadMessage(body, silent))
            break;
        if (silent) {
            idleTimer.start();
            continue;
        }
        MarkIdle(false);
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
    qCDebug(lcRequests) << "end process";
}

bool LocalSession::Interrupted() const
{
    return isInterruptionRequested() || socket->state() != QAbstractSocket::ConnectedState;
}

void LocalSession::MarkIdle(bool idle)
{
    idleSince.store(idle ? SteadyMs() : -1);
}

// Reads one request body. No more than the current frame is taken from the
// socket, so a client that sends its next request early keeps it for the
// next call. The body gets one byte more than announced, see below.
bool LocalSession::ReadMessage(QByteArray &body, bool &silent)
{
    silent = false;
    char header[FrameHeaderSize];
    FrameDeadline deadline(limits.frameTimeoutMs, limits.minUploadBytesPerSecond);
    if (!ReadHeader(header, deadline))
        return false;
    const QByteArray headerBytes = QByteArray::fromRawData(header, FrameHeaderSize);
    if (headerBytes == QByteArray(FrameHeaderSize, '\0'))
        return ReadEmptyFrame(body, silent);
    const quint32 length = AnnouncedLength(headerBytes);
    if (length > MaxBodySize) {
        qWarning() << "Request too large from" << peerAddress << ":" << length << "bytes announced; session ended";
        dropConnection = true;
        return false;
    }
    if (!ReadBody(body, length, deadline))
        return false;
    // A NUL after a body that does not start with one: a bare command
    // without '@' keeps it in its command part and so matches no command,
    // and "COMMAND@" reads as the command with an empty payload.
    body.append('\0');
    if (body.at(0) == '\0')
        body.truncate(int(length));
    return true;
}

// A header announcing 0 reads as a body of one byte; when that byte does
// not come within a moment, the frame is an empty one (clients send them to
// keep a connection open) and gets no reply, so that the client's next
// request is read from its first byte.
bool LocalSession::ReadEmptyFrame(QByteArray &body, bool &silent)
{
    QElapsedTimer timer;
    timer.start();
    while (socket->bytesAvailable() < 1) {
        const qint64 left = EmptyFrameWaitMs - timer.elapsed();
        if (Interrupted())
            return false;
        if (left <= 0) {
            silent = true;
            body = QByteArray();
            return true;
        }
        socket->waitForReadyRead(NextWait(left));
    }
    body = socket->read(1);
    body.append('\0');
    if (body.at(0) == '\0')
        body.truncate(1);
    return true;
}

// Before a header begins the idle timeout applies; once its first byte has
// come, the frame's deadline.
bool LocalSession::ReadHeader(char *header, FrameDeadline &deadline)
{
    int got = 0;
    MarkIdle(true);
    while (got < FrameHeaderSize) {
        if (socket->bytesAvailable() > 0) {
            const int read = int(socket->read(header + got, FrameHeaderSize - got));
            if (read <= 0)
                return false;
            if (got == 0) {
                MarkIdle(false);
                deadline.Start();
            }
            got += read;
            deadline.Received(read);
            continue;
        }
        if (Interrupted())
            return false;
        SyncUnsent();
        qint64 left = 0;
        if (got == 0) {
            left = limits.idleTimeoutMs - idleTimer.elapsed();
            if (left <= 0) {
                qWarning() << "Client" << peerAddress << "sent no request for" << limits.idleTimeoutMs / 1000
                           << "s; session closed";
                return false;
            }
        } else {
            left = deadline.LeftMs();
            if (left <= 0) {
                qWarning() << "Request from" << peerAddress << "too slow in its header (frame timeout"
                           << limits.frameTimeoutMs / 1000 << "s); session ended";
                dropConnection = true;
                return false;
            }
        }
        socket->waitForReadyRead(NextWait(left));
    }
    return true;
}

// The buffer doubles (from 64 KiB up to the frame's size and its NUL). The
// new step is taken before the buffer grows and the old one given back once
// it has, so the budget covers the copy too. While the step does not fit,
// nothing is read; a client that leaves meanwhile is noticed, and the wait
// ends after the idle timeout. The frame's deadline does not run meanwhile.
bool LocalSession::GrowBody(QByteArray &body, qint64 needed, qint64 total, FrameDeadline &deadline)
{
    const qint64 held = budgetHeld.held;
    if (needed <= body.capacity() && (!limits.budget || needed <= held))
        return true;
    const qint64 step = qMin(total + 1, qMax(qMax(needed, BodyFirstStep), 2 * held));
    if (limits.budget) {
        budgetHeld.total = total + 1;
        QElapsedTimer waited;
        waited.start();
        bool logged = false;
        while (!limits.budget->TryAcquire(budgetHeld, step, BudgetWaitSliceMs)) {
            socket->waitForReadyRead(1); // a client that has gone shows itself here
            if (Interrupted())
                return false;
            // ... unless the socket's buffer is full and nothing is read:
            // a reset is then seen on the socket itself.
            if (Platform::PeerHasGone(socket->socketDescriptor())) {
                qWarning() << "Client" << peerAddress << "left while its request waited for memory";
                dropConnection = true;
                return false;
            }
            if (waited.elapsed() >= limits.idleTimeoutMs) {
                qWarning() << "Request from" << peerAddress << "waited" << waited.elapsed() / 1000
                           << "s for memory; session ended";
                dropConnection = true;
                return false;
            }
            if (!logged) {
                qWarning() << "Request of" << total << "bytes from" << peerAddress << "waits for memory: the request"
                           << "budget of" << limits.budget->Limit() << "bytes is in use";
                logged = true;
            }
        }
        deadline.Postpone(waited.elapsed());
    }
    body.reserve(int(step));
    if (limits.budget)
        limits.budget->Release(budgetHeld, held);
    return true;
}

void LocalSession::ReleaseBody()
{
    if (limits.budget && budgetHeld.held > 0)
        limits.budget->Release(budgetHeld, budgetHeld.held);
    budgetHeld = InflightBudget::Frame();
}

// A body is complete only when every announced byte has come, at the
// minimum rate.
bool LocalSession::ReadBody(QByteArray &body, qint64 size, FrameDeadline &deadline)
{
    body = QByteArray();
    qint64 got = 0;
    while (got < size) {
        const qint64 available = socket->bytesAvailable();
        if (available > 0) {
            const qint64 chunk = qMin(available, size - got);
            if (!GrowBody(body, got + chunk, size, deadline))
                return false;
            body.resize(int(got + chunk));
            const qint64 read = socket->read(body.data() + got, chunk);
            if (read < 0)
                return false;
            got += read;
            body.resize(int(got));
            deadline.Received(read);
            if (limits.budget)
                limits.budget->Progress(budgetHeld);
            continue;
        }
        if (Interrupted())
            return false;
        const qint64 left = deadline.LeftMs();
        if (left <= 0) {
            qWarning() << "Request from" << peerAddress << "too slow: " << got << "of" << size
                       << "bytes by its deadline (frame timeout" << limits.frameTimeoutMs / 1000 << "s, at least"
                       << limits.minUploadBytesPerSecond / 1024 << "KiB/s); session ended";
            dropConnection = true;
            return false;
        }
        socket->waitForReadyRead(NextWait(left));
    }
    return true;
}

void LocalSession::SyncUnsent()
{
    const qint64 unsent = socket ? socket->bytesToWrite() : 0;
    if (limits.unsentBudget && unsent != unsentCharged) {
        if (unsent > unsentCharged)
            limits.unsentBudget->Charge(unsent - unsentCharged);
        else
            limits.unsentBudget->Release(unsentCharged - unsent);
    }
    unsentCharged = unsent;
}

// A client that does not read its replies gets no more of them: its next
// request waits until its unsent bytes are below its own bound and, while
// all sessions together are over theirs, until it has none; a client that
// reads nothing for the idle timeout is closed.
bool LocalSession::WaitForUnsentReplies()
{
    bool logged = false;
    for (;;) {
        SyncUnsent();
        const bool overall = limits.unsentBudget && unsentCharged > 0 && limits.unsentBudget->Over();
        if (unsentCharged <= limits.maxUnsentBytes && !overall)
            return true;
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
            qWarning() << "Client" << peerAddress << "does not read its replies (" << unsentCharged
                       << "bytes unsent); its requests wait";
            logged = true;
        }
        socket->waitForBytesWritten(NextWait(left));
    }
}

// The reply is handed to the socket and written as far as the connection
// takes it now; the rest goes out during the following waits.
void LocalSession::SendReply(bool state, const QString &content)
{
    if (!socket || socket->state() != QAbstractSocket::ConnectedState)
        return; // the client has gone; nobody to answer
    socket->write(PackMessage(EncodeReply(state, content)));
    socket->flush();
    SyncUnsent();
}

bool LocalSession::Dispatch(const QByteArray &command, QByteArray &payload)
{
    using Handler = void (LocalSession::*)(QByteArray &);
    // `small`: the payload carries a job id, a name or a step, and larger
    // ones are refused unparsed.
    static const struct {
        const char *name;
        Handler handler;
        bool small;
    } commands[] = {
        {Command::InitSession, &LocalSession::InitSession, false},
        {Command::AddNesterJob, &LocalSession::AddNesterJob, false},
        {Command::PickUpNesterJob, &LocalSession::PickUpNesterJob, true},
        {Command::GetNesterJobList, &LocalSession::GetNesterJobList, true},
        {Command::MoveNesterJobStep, &LocalSession::MoveNesterJob, true},
        {Command::RemoveNesterJob, &LocalSession::RemoveNesterJob, true},
    };
    for (const auto &entry : commands) {
        if (command != QByteArray(entry.name))
            continue;
        if (entry.small && payload.size() > MaxSmallPayload) {
            qWarning() << "Request" << command << "from" << peerAddress << "refused: payload of" << payload.size()
                       << "bytes, at most" << MaxSmallPayload;
            SendReply(false, QString::fromLatin1(QueueReplies::InvalidData));
            return true;
        }
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
    qCDebug(lcRequests) << "Init Session";
    if (!server) {
        SendReply(false, QString());
        return;
    }
    const Reply reply = server->InitSession();
    SendReply(reply.first, ToText(reply.second));
}

void LocalSession::AddNesterJob(QByteArray &payload)
{
    qCDebug(lcRequests) << "Add Nester Job";
    if (!server) {
        SendReply(false, QString());
        return;
    }
    const Reply reply = server->AddNesterJob(std::move(payload), peerAddress);
    SendReply(reply.first, ToText(reply.second));
}

void LocalSession::RemoveNesterJob(QByteArray &payload)
{
    qCDebug(lcRequests) << "Remove Nester Job";
    if (!server) {
        SendReply(false, QString());
        return;
    }
    const Reply reply = server->RemoveNesterJob(ToText(payload));
    SendReply(reply.first, ToText(reply.second));
}

void LocalSession::GetNesterJobList(QByteArray &payload)
{
    qCDebug(lcRequests) << "Get Nester Job List";
    if (!server) {
        SendReply(false, QString());
        return;
    }
    const Reply reply = server->GetNesterJobList(peerAddress, ToText(payload));
    SendReply(reply.first, ToText(reply.second));
}

void LocalSession::PickUpNesterJob(QByteArray &payload)
{
    qCDebug(lcRequests) << "Pick Up Nester Job";
    if (!server) {
        SendReply(false, QString());
        return;
    }
    const Reply reply = server->PickUpNesterJob(ToText(payload));
    SendReply(reply.first, ToText(reply.second));
}

void LocalSession::MoveNesterJob(QByteArray &payload)
{
    qCDebug(lcRequests) << "Move Nester Job Step";
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
