#pragma once

#include <QJsonObject>
#include <QLocalSocket>
#include <QString>

namespace Orvane {
namespace Zendral {

// Exit codes of zendralctl.
enum CtlExit { CtlOk = 0, CtlRefused = 1, CtlUsage = 2, CtlUnreachable = 3 };

// A failure that ends zendralctl with `code` and `message` on standard error.
struct CtlError
{
    int code;
    QString message;
};

// zendralctl's connection to the service's operator channel: one JSON
// object per line each way. Every wait has a time limit; a service that
// cannot be reached, closes the connection or does not answer throws
// CtlError(CtlUnreachable) naming the socket.
//
// Thread: the program's main thread.
class CtlConnection
{
public:
    explicit CtlConnection(const QString &path);

    // Sends `request` and returns the service's reply object.
    QJsonObject Request(const QJsonObject &request);
    // The next object the service sends; waits without end when waitMs < 0
    // (watch). Throws when the service closes the connection.
    QJsonObject Next(int waitMs = ReplyWaitMs);

    static constexpr int ReplyWaitMs = 30000;

private:
    [[noreturn]] void Unreachable(const QString &what) const;

    QString path;
    QLocalSocket socket;
    QByteArray buffer;
};

} // namespace Zendral
} // namespace Orvane
