#pragma once

#include <QByteArray>
#include <QString>
#include <QTcpSocket>

namespace Orvane {
namespace Zendral {

// Exit codes of zendral-client.
enum ExitCode { ExitOk = 0, ExitRefused = 1, ExitConnection = 2, ExitUsage = 64 };

// A failure that ends the client: the text for standard error and the exit
// code.
struct ClientError
{
    int code;
    QString message;
};

// One service reply.
struct ClientReply
{
    bool state = false;
    QString content;
};

// A blocking connection to the job service: connects (at the first request),
// reads the greeting, sends requests and reads their replies, logs out.
// Every wait has a time limit. Throws ClientError on connection failures.
//
// Thread: used by the client's main thread only.
class ClientConnection
{
public:
    ClientConnection(const QString &host, quint16 port);
    ~ClientConnection();

    // Sends one request and returns its reply; connects first when this is
    // the first request.
    ClientReply Request(const QByteArray &command, const QByteArray &payload = QByteArray());
    // Sends LOGOUT_SESSION and waits for the reply and the close; nothing
    // when no request was made.
    void Close();

private:
    // Connects and reads the greeting.
    void Open();
    ClientReply ReadReply();
    [[noreturn]] void Fail(const QString &message);

    QString host;
    quint16 port;
    QTcpSocket socket;
    QByteArray buffer;
    bool opened = false;
};

} // namespace Zendral
} // namespace Orvane
