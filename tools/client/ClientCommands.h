#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>

namespace Orvane {
namespace Zendral {

class ClientConnection;

// What the command line asked for.
struct ClientOptions
{
    QString command;
    QStringList arguments; // the command's positional arguments
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 10088;
    int time = -1; // add: seconds; -1 leaves the service's default
    QString name;  // add: job name
    bool json = false;  // list
    QString output;     // pickup: output file, "-" for standard output
};

// The client's commands, one per protocol request. Each returns the exit
// code; failed replies are written to `err`. Connection failures throw
// ClientError.
//
// Thread: the client's main thread.
class ClientCommands
{
public:
    ClientCommands(ClientConnection &connection, QTextStream &out, QTextStream &err);

    int Run(const ClientOptions &options);

private:
    int Add(const ClientOptions &options);
    int List(const ClientOptions &options);
    int Watch();
    int PickUp(const ClientOptions &options);
    int Move(const ClientOptions &options);
    int Remove(const ClientOptions &options);
    // Reports a false reply: the service's text, or `fallback` when it sent none.
    int Refused(const QString &content, const QString &fallback);

    ClientConnection &connection;
    QTextStream &out;
    QTextStream &err;
};

} // namespace Zendral
} // namespace Orvane
