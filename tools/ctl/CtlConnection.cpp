#include "CtlConnection.h"

#include <QDeadlineTimer>
#include <QJsonDocument>

namespace Orvane {
namespace Zendral {

CtlConnection::CtlConnection(const QString &path)
    : path(path)
{
    socket.connectToServer(path);
    if (socket.waitForConnected(5000))
        return;
    switch (socket.error()) {
    case QLocalSocket::ServerNotFoundError:
        Unreachable(QStringLiteral("no such socket (is the service running?)"));
    case QLocalSocket::ConnectionRefusedError:
        Unreachable(QStringLiteral("connection refused (no service answers there)"));
    case QLocalSocket::SocketAccessError:
        Unreachable(QStringLiteral("permission denied (run as the service's user or group)"));
    default:
        Unreachable(socket.errorString());
    }
}

QJsonObject CtlConnection::Request(const QJsonObject &request)
{
    socket.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
    if (!socket.waitForBytesWritten(ReplyWaitMs) && socket.bytesToWrite() > 0)
        Unreachable(QStringLiteral("the request could not be sent: %1").arg(socket.errorString()));
    return Next();
}

QJsonObject CtlConnection::Next(int waitMs)
{
    const QDeadlineTimer deadline = waitMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(waitMs);
    for (;;) {
        const int end = buffer.indexOf('\n');
        if (end >= 0) {
            const QJsonDocument document = QJsonDocument::fromJson(buffer.left(end));
            buffer.remove(0, end + 1);
            if (!document.isObject())
                Unreachable(QStringLiteral("the service sent something that is not a JSON object"));
            return document.object();
        }
        if (socket.bytesAvailable() > 0) {
            buffer += socket.readAll();
            continue;
        }
        if (socket.state() != QLocalSocket::ConnectedState)
            Unreachable(QStringLiteral("the service closed the connection"));
        if (deadline.hasExpired())
            Unreachable(QStringLiteral("no answer within %1 s").arg(waitMs / 1000));
        socket.waitForReadyRead(waitMs < 0 ? 1000 : int(qBound<qint64>(1, deadline.remainingTime(), 1000)));
    }
}

void CtlConnection::Unreachable(const QString &what) const
{
    throw CtlError{CtlUnreachable, QStringLiteral("cannot reach the service at %1: %2").arg(path, what)};
}

} // namespace Zendral
} // namespace Orvane
