#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QTextStream>

namespace Orvane {
namespace Zendral {

class ClientConnection;
class ListedJob;

// What the command line asked for.
struct ClientOptions
{
    QString command;
    QStringList arguments; // the command's positional arguments
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 10088;
    int time = -1;      // add: seconds; -1 leaves the service's default
    QString work;       // add: work name
    QString name;       // add: job name; default the file's name
    bool wait = false;  // add: wait for the end and pick up the result
    bool json = false;  // list
    bool force = false; // pickup: also a job that has not finished
    QString output;     // add --wait, pickup: output file, "-" for standard output
};

// The client's commands. Each returns the exit code; what went wrong is
// written to `err`. Connection failures, usage errors and job ids that match
// no job or several throw ClientError. Nothing is sent before the local
// checks of a command (files, names) have passed.
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
    int Watch(const ClientOptions &options);
    int PickUp(const ClientOptions &options);
    int Move(const ClientOptions &options);
    int Remove(const ClientOptions &options);

    // The "job_name" that add sends; throws a usage error when the names
    // cannot be sent.
    static QString SubmittedName(const ClientOptions &options);
    // Polls the list until the job ends; picks up a finished job's result.
    int WaitAndPickUp(const QString &id, const QString &target);
    // Sends the pick-up (which ends the job) and writes the result.
    int TakeResult(const QString &id, const QString &target);
    // Keeps a result that could not be written where it was asked for.
    void KeepElsewhere(const QString &id, const QByteArray &document);
    // This client's jobs, in queue order.
    QList<ListedJob> FetchList();
    // The job a full id or a unique beginning of one names, looked up among
    // this client's jobs; *listed is false for a full id that is not there.
    ListedJob Resolve(const QString &argument, bool *listed);
    // Reports a false reply: the service's text, or `fallback` when it sent none.
    int Refused(const QString &content, const QString &fallback);

    ClientConnection &connection;
    QTextStream &out;
    QTextStream &err;
};

} // namespace Zendral
} // namespace Orvane
