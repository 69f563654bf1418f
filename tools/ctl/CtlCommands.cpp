#include "CtlCommands.h"

#include "CtlConnection.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>

namespace Orvane {
namespace Zendral {

namespace {

QString Member(const QJsonObject &object, const char *name)
{
    const QJsonValue value = object.value(QLatin1String(name));
    if (value.isDouble())
        return QString::number(value.toDouble());
    if (value.isBool())
        return value.toBool() ? QStringLiteral("yes") : QStringLiteral("no");
    return value.toString();
}

// The beginning of an id that the tables show; any unique beginning names
// the job in a command.
QString ShortId(const QString &id)
{
    QString bare = id;
    bare.remove(QLatin1Char('{')).remove(QLatin1Char('}'));
    return bare.left(8);
}

// "2026-01-31T06:00:00+01:00" as "2026-01-31 06:00" in local time.
QString LocalTime(const QString &iso)
{
    const QDateTime time = QDateTime::fromString(iso, Qt::ISODate);
    return time.isValid() ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm")) : iso;
}

} // namespace

CtlCommands::CtlCommands(CtlConnection &connection, QTextStream &out, QTextStream &err)
    : connection(connection)
    , out(out)
    , err(err)
{
}

QString CtlCommands::UntilTime(const QString &text)
{
    QDateTime time = QDateTime::fromString(text.trimmed(), QStringLiteral("yyyy-MM-dd HH:mm"));
    if (!time.isValid())
        time = QDateTime::fromString(text.trimmed(), Qt::ISODate);
    if (!time.isValid())
        return QString();
    const QDateTime local = time.toLocalTime();
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
}

QJsonObject CtlCommands::Request(const CtlOptions &options) const
{
    QJsonObject request{{QStringLiteral("op"), options.command}};
    const QString first = options.arguments.value(0);
    if (options.command == QLatin1String("jobs")) {
        if (!options.state.isEmpty())
            request.insert(QStringLiteral("state"), options.state);
        if (!options.client.isEmpty())
            request.insert(QStringLiteral("client"), options.client);
    } else if (options.command == QLatin1String("remove")) {
        request.insert(QStringLiteral("ids"), QJsonArray::fromStringList(options.arguments));
    } else if (!first.isEmpty()) {
        request.insert(QStringLiteral("id"), first);
    }
    if (options.command == QLatin1String("move"))
        request.insert(QStringLiteral("step"), options.arguments.value(1));
    if (options.command == QLatin1String("hold") && !options.until.isEmpty())
        request.insert(QStringLiteral("until"), options.until);
    return request;
}

int CtlCommands::Run(const CtlOptions &options)
{
    if (options.command == QLatin1String("watch"))
        return Watch(options);
    const QJsonObject reply = connection.Request(Request(options));
    if (!reply.value(QStringLiteral("ok")).toBool()) {
        err << QCoreApplication::applicationName() << ": " << Member(reply, "error") << '\n';
        return CtlRefused;
    }
    if (options.command == QLatin1String("status")) {
        const QJsonObject status = reply.value(QStringLiteral("status")).toObject();
        if (options.json)
            out << QJsonDocument(status).toJson(QJsonDocument::Indented);
        else
            PrintStatus(status);
    } else if (options.command == QLatin1String("jobs")) {
        const QJsonArray jobs = reply.value(QStringLiteral("jobs")).toArray();
        if (options.json)
            out << QJsonDocument(QJsonObject{{QStringLiteral("jobs"), jobs}}).toJson(QJsonDocument::Indented);
        else
            PrintJobs(jobs);
    } else if (options.json) {
        QJsonObject done = reply;
        done.remove(QStringLiteral("ok"));
        out << QJsonDocument(done).toJson(QJsonDocument::Compact) << '\n';
    } else if (reply.contains(QStringLiteral("paused"))) {
        out << (reply.value(QStringLiteral("paused")).toBool() ? "paused: no new run starts\n" : "resumed\n");
    } else {
        QStringList ids;
        for (const QJsonValue &id : reply.value(QStringLiteral("ids")).toArray())
            ids << id.toString();
        if (reply.contains(QStringLiteral("id")))
            ids << Member(reply, "id");
        out << options.command << ": " << ids.join(QStringLiteral(" ")) << '\n';
    }
    return CtlOk;
}

// Prints each event until the service closes the connection (which ends
// the program with CtlUnreachable) or the program is interrupted.
int CtlCommands::Watch(const CtlOptions &options)
{
    const QJsonObject reply = connection.Request(Request(options));
    if (!reply.value(QStringLiteral("ok")).toBool()) {
        err << QCoreApplication::applicationName() << ": " << Member(reply, "error") << '\n';
        return CtlRefused;
    }
    for (;;) {
        const QJsonObject event = connection.Next(-1);
        if (options.json)
            out << QJsonDocument(event).toJson(QJsonDocument::Compact) << '\n';
        else
            PrintEvent(event);
        out.flush();
    }
}

void CtlCommands::PrintStatus(const QJsonObject &status)
{
    out << "version: " << Member(status, "version") << '\n'
        << "node: " << Member(status, "node") << '\n'
        << "listening: " << Member(status, "listening");
    if (status.value(QStringLiteral("listening")).toBool())
        out << " (" << Member(status, "address") << ':' << Member(status, "port") << ')';
    out << '\n'
        << "paused: " << Member(status, "paused") << '\n'
        << "engine slots: " << Member(status, "slots_busy") << " in use of " << Member(status, "slots_total") << '\n';
    const QJsonObject jobs = status.value(QStringLiteral("jobs")).toObject();
    for (const char *state : {"waiting", "held", "running", "finished", "failed"})
        out << state << ": " << Member(jobs, state) << '\n';
    out << "uptime: " << Member(status, "uptime") << " s\n";
    for (const QJsonValue &node : status.value(QStringLiteral("nodes")).toArray())
        out << "node " << Member(node.toObject(), "name")
            << (node.toObject().value(QStringLiteral("paused")).toBool() ? ": paused\n" : ": picking\n");
    const QString suspended = status.value(QStringLiteral("claims_suspended")).toString();
    if (!suspended.isEmpty())
        out << "takes no jobs: " << suspended << '\n';
}

void CtlCommands::PrintJobs(const QJsonArray &jobs)
{
    if (jobs.isEmpty()) {
        out << "no jobs\n";
        return;
    }
    const QStringList header{QStringLiteral("ID"), QStringLiteral("STATE"), QStringLiteral("POS"),
                             QStringLiteral("CLIENT"), QStringLiteral("PROGRESS"), QStringLiteral("BUDGET"),
                             QStringLiteral("SUBMITTED"), QStringLiteral("WORK"), QStringLiteral("NAME"),
                             QStringLiteral("NOTE")};
    QList<QStringList> rows{header};
    for (const QJsonValue &value : jobs) {
        const QJsonObject job = value.toObject();
        QString note = Member(job, "error");
        if (!Member(job, "held_until").isEmpty())
            note = QStringLiteral("held until ") + LocalTime(Member(job, "held_until"));
        if (!Member(job, "node").isEmpty())
            note = (note.isEmpty() ? QString() : note + QStringLiteral("; ")) + QStringLiteral("node ") + Member(job, "node");
        rows << QStringList{ShortId(Member(job, "id")), Member(job, "state"),
                            job.value(QStringLiteral("position")).toInt() > 0 ? Member(job, "position") : QStringLiteral("-"),
                            Member(job, "client"), QString::number(job.value(QStringLiteral("progress")).toDouble(), 'f', 0) + QLatin1Char('%'),
                            Member(job, "budget") + QLatin1Char('s'), LocalTime(Member(job, "submitted")),
                            Member(job, "work"), Member(job, "name"), note};
    }
    QVector<int> widths(header.size(), 0);
    for (const QStringList &row : qAsConst(rows))
        for (int column = 0; column < row.size(); ++column)
            widths[column] = qMax(widths[column], row.at(column).size());
    for (const QStringList &row : qAsConst(rows)) {
        QString line;
        for (int column = 0; column < row.size(); ++column)
            line += column + 1 < row.size() ? row.at(column).leftJustified(widths[column] + 2) : row.at(column);
        out << line.trimmed() << '\n';
    }
}

void CtlCommands::PrintEvent(const QJsonObject &event)
{
    const QDateTime time = QDateTime::fromString(Member(event, "time"), Qt::ISODate);
    out << time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) << "  " << Member(event, "event");
    if (event.contains(QStringLiteral("id"))) {
        out << "  " << ShortId(Member(event, "id")) << "  " << Member(event, "name") << "  " << Member(event, "state");
        if (Member(event, "event") == QLatin1String("progress"))
            out << "  " << QString::number(event.value(QStringLiteral("progress")).toDouble(), 'f', 0) << '%';
        if (!Member(event, "error").isEmpty())
            out << "  " << Member(event, "error");
    }
    out << '\n';
}

} // namespace Zendral
} // namespace Orvane
