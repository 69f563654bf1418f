#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QTextStream>

namespace Orvane {
namespace Zendral {

class CtlConnection;

// What zendralctl's command line asked for.
struct CtlOptions
{
    QString command;
    QStringList arguments; // the command's positional arguments
    bool json = false;
    QString state;  // jobs --state
    QString client; // jobs --client
    QString until;  // hold --until, as ISO 8601 with the local offset
};

// zendralctl's commands: each sends its request and prints the reply, for
// people (tables, "key: value" lines) or, with --json, as one JSON document
// (watch: one object per line). Returns the exit code; a refusal's reason
// goes to `err`.
//
// Thread: the program's main thread.
class CtlCommands
{
public:
    CtlCommands(CtlConnection &connection, QTextStream &out, QTextStream &err);

    int Run(const CtlOptions &options);
    // --until's text (local "YYYY-MM-DD HH:MM" or ISO 8601) as ISO 8601
    // with the local offset; empty when it is neither.
    static QString UntilTime(const QString &text);

private:
    QJsonObject Request(const CtlOptions &options) const;
    int Watch(const CtlOptions &options);
    void PrintStatus(const QJsonObject &status);
    void PrintJobs(const QJsonArray &jobs);
    void PrintEvent(const QJsonObject &event);

    CtlConnection &connection;
    QTextStream &out;
    QTextStream &err;
};

} // namespace Zendral
} // namespace Orvane
