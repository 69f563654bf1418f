#include "ClientCommands.h"

#include "ClientConnection.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSaveFile>
#include <QThread>

namespace Orvane {
namespace Zendral {

namespace {

constexpr int WatchIntervalMs = 1000;

QJsonArray ParseList(const QString &content)
{
    const QJsonDocument document = QJsonDocument::fromJson(content.toUtf8());
    if (!document.isArray())
        throw ClientError{ExitConnection, QStringLiteral("unexpected job list from the service")};
    return document.array();
}

QString Percent(double value)
{
    return QString::number(value, 'f', 1) + QLatin1Char('%');
}

// One table row per job, columns padded to their widest cell.
void PrintTable(QTextStream &out, const QJsonArray &jobs)
{
    QList<QStringList> rows;
    rows << QStringList{QStringLiteral("JOB ID"), QStringLiteral("NAME"), QStringLiteral("POSITION"),
                        QStringLiteral("PROGRESS"), QStringLiteral("EFFICIENCY"), QStringLiteral("STARTED")};
    for (const QJsonValue &value : jobs) {
        const QJsonObject job = value.toObject();
        const int position = job.value(QStringLiteral("position")).toInt();
        const QString started = job.value(QStringLiteral("estimated_start")).toString();
        rows << QStringList{job.value(QStringLiteral("job_id")).toString(),
                            job.value(QStringLiteral("job_name")).toString(),
                            position > 0 ? QString::number(position) : QStringLiteral("-"),
                            Percent(job.value(QStringLiteral("complete_percent")).toDouble()),
                            QString::number(job.value(QStringLiteral("efficient")).toDouble(), 'g', 6),
                            started.isEmpty() ? QStringLiteral("-") : started};
    }
    QVector<int> widths(rows.first().size(), 0);
    for (const QStringList &row : qAsConst(rows))
        for (int i = 0; i < row.size(); ++i)
            widths[i] = qMax(widths[i], row.at(i).size());
    for (const QStringList &row : qAsConst(rows)) {
        QString line;
        for (int i = 0; i < row.size(); ++i)
            line += (i + 1 < row.size() ? row.at(i).leftJustified(widths[i] + 2) : row.at(i));
        out << line << '\n';
    }
    out.flush();
}

bool IsFinished(const QJsonObject &job)
{
    return job.value(QStringLiteral("complete_percent")).toDouble() >= 100.0;
}

} // namespace

ClientCommands::ClientCommands(ClientConnection &connection, QTextStream &out, QTextStream &err)
    : connection(connection)
    , out(out)
    , err(err)
{
}

int ClientCommands::Run(const ClientOptions &options)
{
    if (options.command == QLatin1String("add"))
        return Add(options);
    if (options.command == QLatin1String("list"))
        return List(options);
    if (options.command == QLatin1String("watch"))
        return Watch();
    if (options.command == QLatin1String("pickup"))
        return PickUp(options);
    if (options.command == QLatin1String("move"))
        return Move(options);
    if (options.command == QLatin1String("remove"))
        return Remove(options);
    throw ClientError{ExitUsage, QStringLiteral("unknown command: %1").arg(options.command)};
}

int ClientCommands::Add(const ClientOptions &options)
{
    const QString path = options.arguments.value(0);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        err << "cannot read " << path << ": " << file.errorString() << '\n';
        return ExitRefused;
    }
    QJsonObject request;
    request.insert(QStringLiteral("job_name"), options.name.isEmpty() ? QFileInfo(path).fileName() : options.name);
    request.insert(QStringLiteral("work_data"), QString::fromLatin1(file.readAll().toBase64()));
    if (options.time >= 0)
        request.insert(QStringLiteral("time"), options.time);
    const ClientReply reply =
        connection.Request("ADD_NESTER_JOB", QJsonDocument(request).toJson(QJsonDocument::Compact));
    if (!reply.state)
        return Refused(reply.content, QStringLiteral("the service did not accept the job"));
    out << reply.content << '\n';
    return ExitOk;
}

int ClientCommands::List(const ClientOptions &options)
{
    const ClientReply reply = connection.Request("GET_NESTER_JOB_LIST", options.arguments.value(0).toUtf8());
    if (!reply.state)
        return Refused(reply.content, QStringLiteral("the service did not send the job list"));
    if (options.json)
        out << reply.content << '\n';
    else
        PrintTable(out, ParseList(reply.content));
    return ExitOk;
}

// Polls the list every second and prints each job's position and progress
// when they change; ends when the list is empty or every job is finished.
int ClientCommands::Watch()
{
    QMap<QString, QString> shown;
    for (;;) {
        const ClientReply reply = connection.Request("GET_NESTER_JOB_LIST");
        if (!reply.state)
            return Refused(reply.content, QStringLiteral("the service did not send the job list"));
        const QJsonArray jobs = ParseList(reply.content);
        bool allFinished = true;
        for (const QJsonValue &value : jobs) {
            const QJsonObject job = value.toObject();
            const QString id = job.value(QStringLiteral("job_id")).toString();
            const int position = job.value(QStringLiteral("position")).toInt();
            QString line = id + QLatin1String("  ") + job.value(QStringLiteral("job_name")).toString();
            if (IsFinished(job))
                line += QStringLiteral("  finished");
            else if (position > 0)
                line += QStringLiteral("  waiting, position %1").arg(position);
            else
                line += QStringLiteral("  running, %1").arg(Percent(job.value(QStringLiteral("complete_percent")).toDouble()));
            if (shown.value(id) != line) {
                shown.insert(id, line);
                out << line << '\n';
            }
            allFinished = allFinished && IsFinished(job);
        }
        out.flush();
        if (jobs.isEmpty()) {
            out << "no jobs\n";
            return ExitOk;
        }
        if (allFinished)
            return ExitOk;
        QThread::msleep(WatchIntervalMs);
    }
}

// The output file is opened before the request: a pick-up ends the job in
// the service, so a result that cannot be stored must not be fetched.
int ClientCommands::PickUp(const ClientOptions &options)
{
    const QString id = options.arguments.value(0);
    QString target = options.output;
    if (target.isEmpty())
        target = QString(id).remove(QLatin1Char('{')).remove(QLatin1Char('}')) + QStringLiteral(".xml");
    const bool toStdout = target == QLatin1String("-");
    QFile stdoutFile;
    QSaveFile file(target);
    QIODevice *device = &file;
    if (toStdout) {
        stdoutFile.open(stdout, QIODevice::WriteOnly);
        device = &stdoutFile;
    } else if (!file.open(QIODevice::WriteOnly)) {
        err << "cannot write " << target << ": " << file.errorString() << '\n';
        return ExitRefused;
    }
    const ClientReply reply = connection.Request("PICKUP_NESTER_JOB", id.toUtf8());
    if (!reply.state) {
        file.cancelWriting();
        return Refused(reply.content, QStringLiteral("Job not found: %1").arg(id));
    }
    const QByteArray document =
        QByteArray::fromBase64(reply.content.toLatin1(), QByteArray::Base64UrlEncoding);
    if (device->write(document) != document.size() || (!toStdout && !file.commit())) {
        err << "cannot write " << target << ": " << device->errorString() << '\n';
        return ExitRefused;
    }
    if (!toStdout)
        out << target << '\n';
    return ExitOk;
}

int ClientCommands::Move(const ClientOptions &options)
{
    static const QMap<QString, int> steps{{QStringLiteral("up"), -1},
                                          {QStringLiteral("down"), 1},
                                          {QStringLiteral("top"), 0},
                                          {QStringLiteral("bottom"), 9}};
    const QString id = options.arguments.value(0);
    const QString direction = options.arguments.value(1);
    if (!steps.contains(direction))
        throw ClientError{ExitUsage, QStringLiteral("move: direction must be up, down, top or bottom")};
    QJsonObject request;
    request.insert(QStringLiteral("job_id"), id);
    request.insert(QStringLiteral("step"), steps.value(direction));
    const ClientReply reply =
        connection.Request("MOVE_NESTER_JOB_STEP", QJsonDocument(request).toJson(QJsonDocument::Compact));
    if (!reply.state)
        return Refused(reply.content,
                       QStringLiteral("Job %1 cannot be moved %2 (unknown job, not waiting, or already there)")
                           .arg(id, direction));
    return ExitOk;
}

int ClientCommands::Remove(const ClientOptions &options)
{
    const QString id = options.arguments.value(0);
    const ClientReply reply = connection.Request("REMOVE_NESTER_JOB", id.toUtf8());
    if (!reply.state)
        return Refused(reply.content, QStringLiteral("Job not found: %1").arg(id));
    return ExitOk;
}

int ClientCommands::Refused(const QString &content, const QString &fallback)
{
    err << (content.isEmpty() ? fallback : content) << '\n';
    err.flush();
    return ExitRefused;
}

} // namespace Zendral
} // namespace Orvane
