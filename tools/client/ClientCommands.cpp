#include "ClientCommands.h"

#include "ClientConnection.h"
#include "JobIdPrefix.h"
#include "JobName.h"
#include "ListedJob.h"
#include "MoveStep.h"
#include "ProtocolCommands.h"
#include "ResultFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSaveFile>
#include <QThread>
#include <QUuid>

namespace Orvane {
namespace Zendral {

namespace {

// Starts a line about a problem on standard error with the program's name
// as typed, as the usage and connection errors do ("zendral-client: ...").
QTextStream &Problem(QTextStream &err)
{
    err << QCoreApplication::applicationName() << ": ";
    return err;
}

constexpr int WatchIntervalMs = 1000;

QList<ListedJob> ParseList(const QString &content)
{
    const QJsonDocument document = QJsonDocument::fromJson(content.toUtf8());
    if (!document.isArray())
        throw ClientError{ExitConnection, QStringLiteral("unexpected job list from the service")};
    QList<ListedJob> jobs;
    const QJsonArray array = document.array();
    for (const QJsonValue &value : array)
        jobs << ListedJob(value.toObject());
    return jobs;
}

QString Bare(const QString &id)
{
    return JobIdPrefix::Bare(id);
}

QString DefaultTarget(const QString &id)
{
    return Bare(id) + QStringLiteral(".xml");
}

const ListedJob *Find(const QList<ListedJob> &jobs, const QString &id)
{
    for (const ListedJob &job : jobs) {
        if (job.id == id)
            return &job;
    }
    return nullptr;
}

// Terminal columns a text takes: East Asian wide characters take two.
int DisplayWidth(const QString &text)
{
    int width = 0;
    const QVector<uint> codes = text.toUcs4();
    for (const uint c : codes) {
        const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F)
            || (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F)
            || (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
        width += wide ? 2 : 1;
    }
    return width;
}

// One row per job, columns padded to their widest cell; then the reason of
// each failed job.
void PrintTable(QTextStream &out, const QList<ListedJob> &jobs)
{
    QList<QStringList> rows;
    rows << QStringList{QStringLiteral("JOB ID"), QStringLiteral("WORK"), QStringLiteral("NAME"),
                        QStringLiteral("STATE"), QStringLiteral("POSITION"), QStringLiteral("PROGRESS"),
                        QStringLiteral("EFFICIENCY"), QStringLiteral("STARTED")};
    const QString none = QStringLiteral("-");
    for (const ListedJob &job : jobs) {
        rows << QStringList{job.id,
                            job.work.isEmpty() ? none : job.work,
                            job.name.isEmpty() ? none : job.name,
                            job.state,
                            job.position > 0 ? QString::number(job.position) : none,
                            ListedJob::Percent(job.progress),
                            QString::number(job.efficiency, 'g', 6),
                            job.started.isEmpty() ? none : job.started};
    }
    QVector<int> widths(rows.first().size(), 0);
    for (const QStringList &row : qAsConst(rows))
        for (int i = 0; i < row.size(); ++i)
            widths[i] = qMax(widths[i], DisplayWidth(row.at(i)));
    for (const QStringList &row : qAsConst(rows)) {
        QString line;
        for (int i = 0; i < row.size(); ++i) {
            line += row.at(i);
            if (i + 1 < row.size())
                line += QString(widths[i] + 2 - DisplayWidth(row.at(i)), QLatin1Char(' '));
        }
        out << line << '\n';
    }
    for (const ListedJob &job : jobs) {
        if (job.IsFailed())
            out << job.id << " failed: " << (job.error.isEmpty() ? QStringLiteral("no reason given") : job.error) << '\n';
    }
    out.flush();
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
        return Watch(options);
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
    const QString jobName = SubmittedName(options);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        Problem(err) << "cannot read " << path << ": " << file.errorString() << '\n';
        return ExitRefused;
    }
    // A result that could not be stored is found out before the job is sent.
    QString error;
    const QString probe = options.output.isEmpty() ? QDir::current().filePath(QStringLiteral("zendral-result.xml"))
                                                   : options.output;
    if (options.wait && !ResultFile::CanWrite(probe, &error)) {
        Problem(err) << "cannot write " << probe << ": " << error << '\n';
        return ExitRefused;
    }
    QJsonObject request;
    request.insert(QStringLiteral("job_name"), jobName);
    request.insert(QStringLiteral("work_data"), QString::fromLatin1(file.readAll().toBase64()));
    if (options.time >= 0)
        request.insert(QStringLiteral("time"), options.time);
    const ClientReply reply =
        connection.Request(Command::AddNesterJob, QJsonDocument(request).toJson(QJsonDocument::Compact));
    if (!reply.state)
        return Refused(reply.content, QStringLiteral("the service did not accept the job"));
    // With the result on standard output the id goes to standard error.
    (options.wait && options.output == QLatin1String("-") ? err : out) << reply.content << '\n';
    out.flush();
    if (!options.wait)
        return ExitOk;
    return WaitAndPickUp(reply.content, options.output.isEmpty() ? DefaultTarget(reply.content) : options.output);
}

QString ClientCommands::SubmittedName(const ClientOptions &options)
{
    const QFileInfo info(options.arguments.value(0));
    QString name = options.name;
    if (name.isEmpty())
        name = info.completeBaseName().isEmpty() ? info.fileName() : info.completeBaseName();
    QString error;
    const QString jobName = JobName::Encode(options.work, name, info.suffix(), &error);
    if (jobName.isEmpty()) {
        throw ClientError{ExitUsage, QStringLiteral("%1%2\n(see zendral-client --help)")
                                         .arg(error, options.name.isEmpty() ? QStringLiteral("; choose a name with --name")
                                                                            : QString())};
    }
    return jobName;
}

// The job stays in the queue whenever the wait ends without a pick-up:
// interrupted, failed, or the connection lost.
int ClientCommands::WaitAndPickUp(const QString &id, const QString &target)
{
    err << "waiting for job " << id << " to end (Ctrl+C stops waiting; the job stays queued)\n";
    err.flush();
    QString shown;
    try {
        for (int turn = 0;; ++turn) {
            if (turn > 0)
                QThread::msleep(WatchIntervalMs);
            const QList<ListedJob> jobs = FetchList();
            const ListedJob *job = Find(jobs, id);
            if (!job) {
                Problem(err) << "job " << id << " left the queue before it ended (removed by the operator?)\n";
                return ExitRefused;
            }
            if (job->state != shown) {
                shown = job->state;
                err << id << "  " << job->Summary() << '\n';
                err.flush();
            }
            if (job->IsFailed()) {
                Problem(err) << "job " << id << " failed; it stays in the queue\n";
                return ExitRefused;
            }
            if (job->IsFinished())
                return TakeResult(id, target);
        }
    } catch (ClientError &error) {
        if (error.code == ExitConnection)
            error.message += QStringLiteral("; job %1 stays in the queue").arg(id);
        throw;
    }
}

int ClientCommands::List(const ClientOptions &options)
{
    const ClientReply reply = connection.Request(Command::GetNesterJobList, options.arguments.value(0).toUtf8());
    if (!reply.state)
        return Refused(reply.content, QStringLiteral("the service did not send the job list"));
    if (options.json)
        out << reply.content << '\n';
    else
        PrintTable(out, ParseList(reply.content));
    return ExitOk;
}

// Polls the list every second and prints a job's line when it changes; ends
// when the followed jobs have ended: exit 0 when all finished, 1 when one
// failed or the followed job left the queue.
int ClientCommands::Watch(const ClientOptions &options)
{
    QString followed;
    if (!options.arguments.isEmpty()) {
        bool listed = false;
        followed = Resolve(options.arguments.first(), &listed).id;
        if (!listed) {
            Problem(err) << "job " << followed << " is not among this client's jobs\n";
            return ExitRefused;
        }
    }
    QMap<QString, QString> shown;
    for (int turn = 0;; ++turn) {
        if (turn > 0)
            QThread::msleep(WatchIntervalMs);
        QList<ListedJob> jobs = FetchList();
        if (!followed.isEmpty()) {
            const ListedJob *job = Find(jobs, followed);
            if (!job) {
                Problem(err) << "job " << followed << " left the queue (picked up or removed)\n";
                return ExitRefused;
            }
            jobs = QList<ListedJob>{*job};
        }
        if (jobs.isEmpty()) {
            out << "no jobs\n";
            return ExitOk;
        }
        bool allEnded = true;
        bool anyFailed = false;
        for (const ListedJob &job : qAsConst(jobs)) {
            const QString line = job.id + QLatin1String("  ") + job.DisplayName() + QLatin1String("  ") + job.Summary();
            if (shown.value(job.id) != line) {
                shown.insert(job.id, line);
                out << line << '\n';
            }
            allEnded = allEnded && job.IsEnded();
            anyFailed = anyFailed || job.IsFailed();
        }
        out.flush();
        if (allEnded)
            return anyFailed ? ExitRefused : ExitOk;
    }
}

// A pick-up ends the job in the service, whatever its state: a job that has
// not finished is refused here unless forced, so that no unfinished job is
// lost by mistake.
int ClientCommands::PickUp(const ClientOptions &options)
{
    bool listed = false;
    const ListedJob job = Resolve(options.arguments.value(0), &listed);
    if (!options.force && !listed) {
        Problem(err) << "job " << job.id << " is not among this client's jobs, so whether it has finished is not known; "
            << "it is kept (--force picks it up anyway)\n";
        return ExitRefused;
    }
    if (!options.force && !job.IsFinished()) {
        Problem(err) << "job " << job.id << " has not finished (" << job.Summary() << "); it is kept. "
            << "A pick-up ends the job: wait with 'zendral-client watch " << job.id
            << "', or use --force to take the current result now\n";
        return ExitRefused;
    }
    return TakeResult(job.id, options.output.isEmpty() ? DefaultTarget(job.id) : options.output);
}

// The output is tried before the request: a result that cannot be stored is
// not fetched, and the job stays. It is written only once the reply is
// here, so an interrupted transfer leaves no temporary file behind.
int ClientCommands::TakeResult(const QString &id, const QString &target)
{
    QString error;
    if (!ResultFile::CanWrite(target, &error)) {
        Problem(err) << "cannot write " << target << ": " << error << "; job " << id << " is kept\n";
        return ExitRefused;
    }
    const ClientReply reply = connection.Request(Command::PickUpNesterJob, id.toUtf8());
    if (!reply.state)
        return Refused(reply.content, QStringLiteral("Job not found: %1").arg(id));
    const QByteArray document = QByteArray::fromBase64(reply.content.toLatin1(), QByteArray::Base64UrlEncoding);
    ResultFile file(target);
    if (!file.Open() || !file.Write(document)) {
        Problem(err) << "cannot write " << target << ": " << file.ErrorString() << '\n';
        file.Cancel();
        KeepElsewhere(id, document);
        return ExitRefused;
    }
    if (!file.IsStandardOutput())
        out << target << '\n';
    return ExitOk;
}

// The job has ended with the pick-up, so its result exists only here now.
void ClientCommands::KeepElsewhere(const QString &id, const QByteArray &document)
{
    QSaveFile rescue(QDir::temp().filePath(QStringLiteral("zendral-result-%1.xml").arg(Bare(id))));
    if (rescue.open(QIODevice::WriteOnly) && rescue.write(document) == document.size() && rescue.commit())
        err << "the result of job " << id << " was saved as " << rescue.fileName() << '\n';
    else
        Problem(err) << "the result of job " << id << " could not be saved anywhere: " << rescue.errorString() << '\n';
}

int ClientCommands::Move(const ClientOptions &options)
{
    static const QMap<QString, MoveStep> steps{{QStringLiteral("up"), MoveStep::Up},
                                               {QStringLiteral("down"), MoveStep::Down},
                                               {QStringLiteral("top"), MoveStep::Top},
                                               {QStringLiteral("bottom"), MoveStep::Bottom}};
    const QString direction = options.arguments.value(1);
    if (!steps.contains(direction))
        throw ClientError{ExitUsage, QStringLiteral("move: direction must be up, down, top or bottom")};
    bool listed = false;
    const QString id = Resolve(options.arguments.value(0), &listed).id;
    QJsonObject request;
    request.insert(QStringLiteral("job_id"), id);
    request.insert(QStringLiteral("step"), int(steps.value(direction)));
    const ClientReply reply =
        connection.Request(Command::MoveNesterJobStep, QJsonDocument(request).toJson(QJsonDocument::Compact));
    if (!reply.state)
        return Refused(reply.content,
                       QStringLiteral("Job %1 cannot be moved %2 (unknown job, not waiting, or already there)")
                           .arg(id, direction));
    return ExitOk;
}

int ClientCommands::Remove(const ClientOptions &options)
{
    bool listed = false;
    const QString id = Resolve(options.arguments.value(0), &listed).id;
    const ClientReply reply = connection.Request(Command::RemoveNesterJob, id.toUtf8());
    if (!reply.state)
        return Refused(reply.content, QStringLiteral("Job not found: %1").arg(id));
    return ExitOk;
}

QList<ListedJob> ClientCommands::FetchList()
{
    const ClientReply reply = connection.Request(Command::GetNesterJobList);
    if (!reply.state)
        throw ClientError{ExitRefused, reply.content.isEmpty() ? QStringLiteral("the service did not send the job list")
                                                               : reply.content};
    return ParseList(reply.content);
}

// Ids are matched without braces and in any case. A full id that no job of
// this client has is passed on as it is: the service also knows the jobs of
// other addresses.
ListedJob ClientCommands::Resolve(const QString &argument, bool *listed)
{
    const QString bare = Bare(argument);
    if (bare.isEmpty())
        throw ClientError{ExitUsage, QStringLiteral("a job id, or the beginning of one, is needed\n"
                                                    "(see zendral-client --help)")};
    const QList<ListedJob> jobs = FetchList();
    QStringList ids;
    for (const ListedJob &job : jobs)
        ids << job.id;
    const QStringList named = JobIdPrefix::Matches(bare, ids);
    QList<ListedJob> matches;
    for (const ListedJob &job : jobs) {
        if (named.contains(job.id))
            matches << job;
    }
    *listed = matches.size() == 1;
    if (matches.size() == 1)
        return matches.first();
    if (matches.size() > 1) {
        QStringList ids;
        for (const ListedJob &job : qAsConst(matches))
            ids << job.id;
        throw ClientError{ExitRefused, QStringLiteral("job id '%1' is ambiguous; it begins %2")
                                           .arg(argument, ids.join(QStringLiteral(", ")))};
    }
    const QString full = QLatin1Char('{') + bare + QLatin1Char('}');
    if (bare.size() == 36 && !QUuid(full).isNull()) {
        ListedJob job;
        job.id = full;
        return job;
    }
    throw ClientError{ExitRefused, QStringLiteral("no job of this client has an id beginning with '%1'").arg(argument)};
}

int ClientCommands::Refused(const QString &content, const QString &fallback)
{
    Problem(err) << (content.isEmpty() ? fallback : content) << '\n';
    err.flush();
    return ExitRefused;
}

} // namespace Zendral
} // namespace Orvane
