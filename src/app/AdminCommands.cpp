#include "AdminCommands.h"

#include "JobIdPrefix.h"
#include "LocalServer.h"
#include "MoveStep.h"
#include "NesterJob.h"
#include "ServiceCore.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

namespace Orvane {
namespace Zendral {

namespace {

const char *const States[] = {"waiting", "held", "running", "finished", "failed"};

QJsonObject Done(QJsonObject reply = QJsonObject())
{
    reply.insert(QStringLiteral("ok"), true);
    return reply;
}

QString Text(const QJsonObject &request, const char *member)
{
    return request.value(QLatin1String(member)).toString();
}

// The reason the queue gave, else `fallback`.
QString Reason(const QByteArray &content, const QString &fallback)
{
    return content.isEmpty() ? fallback : QString::fromUtf8(content);
}

} // namespace

AdminCommands::AdminCommands(ServiceCore &core)
    : core(core)
{
}

QJsonObject AdminCommands::Refused(const QString &reason)
{
    return QJsonObject{{QStringLiteral("ok"), false}, {QStringLiteral("error"), reason}};
}

QJsonObject AdminCommands::Run(const QJsonObject &request)
{
    const QString op = Text(request, "op");
    if (op == QLatin1String("status"))
        return Status();
    if (!core.Queue())
        return Refused(QStringLiteral("the job queue is not available (the service is being restarted)"));
    if (op == QLatin1String("jobs"))
        return Jobs(request);
    if (op == QLatin1String("move"))
        return Move(request);
    if (op == QLatin1String("remove"))
        return Remove(request);
    if (op == QLatin1String("retry"))
        return Retry(request);
    if (op == QLatin1String("hold"))
        return Hold(request);
    if (op == QLatin1String("release"))
        return Release(request);
    if (op == QLatin1String("pause") || op == QLatin1String("resume"))
        return Pause(op == QLatin1String("pause"));
    return Refused(op.isEmpty() ? QStringLiteral("the request names no \"op\"")
                                : QStringLiteral("unknown op \"%1\"").arg(op));
}

QJsonObject AdminCommands::Status()
{
    return Done({{QStringLiteral("status"), core.Status()}});
}

QJsonObject AdminCommands::Jobs(const QJsonObject &request)
{
    const QString state = Text(request, "state");
    const QString client = Text(request, "client");
    QStringList states;
    for (const char *name : States)
        states << QLatin1String(name);
    if (!state.isEmpty() && !states.contains(state))
        return Refused(QStringLiteral("unknown state \"%1\" (one of %2)").arg(state, states.join(QStringLiteral(", "))));
    QJsonArray jobs;
    const QJsonArray all = core.Queue()->OperatorJobs();
    for (const QJsonValue &value : all) {
        const QJsonObject job = value.toObject();
        if ((state.isEmpty() || Text(job, "state") == state) && (client.isEmpty() || Text(job, "client") == client))
            jobs.append(job);
    }
    return Done({{QStringLiteral("jobs"), jobs}});
}

QJsonObject AdminCommands::Move(const QJsonObject &request)
{
    static const QHash<QString, MoveStep> steps{{QStringLiteral("up"), MoveStep::Up},
                                                {QStringLiteral("down"), MoveStep::Down},
                                                {QStringLiteral("top"), MoveStep::Top},
                                                {QStringLiteral("bottom"), MoveStep::Bottom}};
    const QString step = Text(request, "step");
    if (!steps.contains(step))
        return Refused(QStringLiteral("unknown step \"%1\" (up, down, top or bottom)").arg(step));
    QString id;
    QString error;
    if (!Resolve(Text(request, "id"), &id, &error))
        return Refused(error);
    const QJsonObject move{{QStringLiteral("job_id"), id}, {QStringLiteral("step"), int(steps.value(step))}};
    const auto reply = core.Queue()->MoveNesterJob(QJsonDocument(move).toJson(QJsonDocument::Compact));
    if (reply.first)
        return Done({{QStringLiteral("id"), id}});
    const QString state = StateOf(id);
    if (state != QLatin1String("waiting") && state != QLatin1String("held"))
        return Refused(QStringLiteral("job %1 is %2; only a waiting job moves").arg(id, state));
    return Refused(Reason(reply.second, QStringLiteral("job %1 cannot move %2 from its place").arg(id, step)));
}

// Every id is looked up before any job is removed: a request with one bad
// id removes none.
QJsonObject AdminCommands::Remove(const QJsonObject &request)
{
    const QJsonArray arguments = request.value(QStringLiteral("ids")).toArray();
    if (arguments.isEmpty())
        return Refused(QStringLiteral("no job ids given"));
    QStringList ids;
    for (const QJsonValue &argument : arguments) {
        QString id;
        QString error;
        if (!Resolve(argument.toString(), &id, &error))
            return Refused(error);
        if (!ids.contains(id))
            ids << id;
    }
    QJsonArray removed;
    QStringList problems;
    for (const QString &id : qAsConst(ids)) {
        const auto reply = core.Queue()->RemoveNesterJob(id);
        if (reply.first)
            removed.append(id);
        else
            problems << QStringLiteral("job %1: %2").arg(id, Reason(reply.second, QStringLiteral("not removed")));
    }
    if (problems.isEmpty())
        return Done({{QStringLiteral("ids"), removed}});
    QJsonObject refused = Refused(problems.join(QStringLiteral("; ")));
    refused.insert(QStringLiteral("ids"), removed);
    return refused;
}

QJsonObject AdminCommands::Retry(const QJsonObject &request)
{
    QString id;
    QString error;
    if (!Resolve(Text(request, "id"), &id, &error))
        return Refused(error);
    const QString state = StateOf(id);
    if (state != QLatin1String("failed"))
        return Refused(QStringLiteral("job %1 is %2; only a failed job is retried").arg(id, state));
    const auto reply = core.Queue()->RetryNesterJob(id);
    if (!reply.first)
        return Refused(Reason(reply.second, QStringLiteral("job %1 was not retried").arg(id)));
    return Done({{QStringLiteral("id"), id}});
}

QJsonObject AdminCommands::Hold(const QJsonObject &request)
{
    QString id;
    QString error;
    if (!Resolve(Text(request, "id"), &id, &error))
        return Refused(error);
    const QString text = Text(request, "until");
    QDateTime until;
    if (!text.isEmpty()) {
        until = QDateTime::fromString(text, Qt::ISODate);
        if (!until.isValid())
            return Refused(QStringLiteral("\"%1\" is not a time (ISO 8601, e.g. 2026-01-31T06:00:00+01:00)").arg(text));
        if (until <= QDateTime::currentDateTime())
            return Refused(QStringLiteral("%1 has already passed").arg(text));
    }
    const auto reply = core.HoldJob(id, until);
    if (!reply.first)
        return Refused(Reason(reply.second, QStringLiteral("job %1 was not held").arg(id)));
    return Done({{QStringLiteral("id"), id}});
}

QJsonObject AdminCommands::Release(const QJsonObject &request)
{
    QString id;
    QString error;
    if (!Resolve(Text(request, "id"), &id, &error))
        return Refused(error);
    const auto reply = core.ReleaseJob(id);
    if (!reply.first)
        return Refused(Reason(reply.second, QStringLiteral("job %1 was not released").arg(id)));
    return Done({{QStringLiteral("id"), id}});
}

QJsonObject AdminCommands::Pause(bool pause)
{
    QString error;
    if (!core.SetPaused(pause, &error))
        return Refused(error);
    return Done({{QStringLiteral("paused"), core.IsPaused()}});
}

bool AdminCommands::Resolve(const QString &argument, QString *id, QString *error) const
{
    if (JobIdPrefix::Bare(argument).isEmpty()) {
        *error = QStringLiteral("a job id, or the beginning of one, is needed");
        return false;
    }
    QStringList ids;
    for (const NesterJob *job : core.Queue()->Jobs())
        ids << job->job_id;
    const QStringList matches = JobIdPrefix::Matches(argument, ids);
    if (matches.size() == 1) {
        *id = matches.first();
        return true;
    }
    *error = matches.isEmpty()
                 ? QStringLiteral("no job has an id beginning with \"%1\"").arg(argument)
                 : QStringLiteral("job id \"%1\" is ambiguous; it begins %2").arg(argument, matches.join(QStringLiteral(", ")));
    return false;
}

QString AdminCommands::StateOf(const QString &id) const
{
    NesterJob job;
    return core.Queue()->CopyJob(id, &job) ? job.StateText() : QStringLiteral("gone");
}

} // namespace Zendral
} // namespace Orvane
