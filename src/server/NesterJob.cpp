#include "NesterJob.h"

#include "JobFolders.h"
#include "MarkerExtractor.h"
#include "QueueRules.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>
#include <QUuid>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>

namespace Orvane {
namespace Zendral {

namespace {

const char *const SubmitFormat = "yyyyMMddhhmmss";
const char *const StartFormat = "yyyyMMdd'T'hhmmss";

} // namespace

NesterJob::NesterJob() = default;

NesterJob::NesterJob(const QString &fileaex, const QString &from, int time)
    : job_name(QFileInfo(fileaex).completeBaseName())
    , job_id(QUuid::createUuid().toString())
    , from(from)
    , fileaex(fileaex)
    , fileaexres(fileaex + QLatin1String("_RES"))
    , time(time)
    , submit_time(QDateTime::currentDateTime())
{
}

QString NesterJob::StateName(int state)
{
    switch (state) {
    case Waiting: return QStringLiteral("waiting");
    case Running: return QStringLiteral("running");
    case Finished: return QStringLiteral("finished");
    case Failed: return QStringLiteral("failed");
    default: return QString();
    }
}

QString NesterJob::StateText() const
{
    return held && (IsWaiting() || IsRunning()) ? QStringLiteral("held") : StateName(state);
}

void NesterJob::Start()
{
    start = QDateTime::currentDateTimeUtc().toString(QLatin1String(StartFormat));
    state = Running;
    result_kept = false;
    result_broken = false;
}

void NesterJob::Finish()
{
    completed = 100;
    state = Finished;
    held = false; // a run that ended before its hold stopped it
    held_until = QDateTime();
}

void NesterJob::KeepRun(const QString &runStart, const QString &engineOutput)
{
    run_start = runStart;
    run_end = QDateTime::currentDateTimeUtc().toString(QLatin1String(StartFormat));
    engine_output = engineOutput;
}

QString NesterJob::RunLogPath() const
{
    return (fileaex.isEmpty() ? fileaexres : fileaex) + QLatin1String(".engine.log");
}

// Replaced as a whole, so that a reader never sees half of two runs.
bool NesterJob::WriteRunLog() const
{
    QSaveFile file(RunLogPath());
    const QByteArray text = QStringLiteral("job %1\nrun started %2\nrun ended %3\nerror %4\n"
                                           "engine standard error (last lines):\n%5")
                                .arg(job_id, run_start, run_end, error, engine_output)
                                .toUtf8();
    const bool written = file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit();
    if (!written)
        qWarning().noquote() << "Run log of job" << job_id << "not written:" << file.fileName() << file.errorString();
    return written;
}

// The folder is the job file's folder, or for a record without a job file
// (a folder-scan record that found only a result) the result file's folder;
// either only when it is a job folder inside the jobs folder. A record
// pointing anywhere else (a hand-edited backup) removes nothing.
QString NesterJob::OwnFolder(const JobFolders &folders) const
{
    for (const QString &file : {fileaex, fileaexres}) {
        if (file.isEmpty())
            continue;
        const QString candidate = QFileInfo(file).absolutePath();
        if (folders.IsJobFolder(candidate))
            return candidate;
    }
    return QString();
}

// The record's own files in its folder: the job file, the result file and
// files named after the job file with a further suffix ("<name>.engine.xml",
// "<name>_RES"). Files listed in keep (absolute paths) belong to other
// records sharing the folder and are never taken.
bool NesterJob::IsOwnFile(const QFileInfo &file, const QStringList &keep) const
{
    const QString path = file.absoluteFilePath();
    if (keep.contains(path))
        return false;
    if (path == QFileInfo(fileaex).absoluteFilePath() || path == QFileInfo(fileaexres).absoluteFilePath())
        return true;
    const QString stem = QFileInfo(fileaex.isEmpty() ? fileaexres : fileaex).fileName();
    const QString name = file.fileName();
    if (stem.isEmpty() || name.size() <= stem.size() || !name.startsWith(stem))
        return false;
    const QChar next = name.at(stem.size());
    return next == QLatin1Char('.') || next == QLatin1Char('_');
}

// Deletes only the record's own files, then the folder when nothing else is
// left in it: an older backup may have two records in one folder, and the
// other job's file must stay.
bool NesterJob::Remove(const JobFolders &folders, const QStringList &keep)
{
    const QString folder = OwnFolder(folders);
    if (folder.isEmpty()) {
        qWarning() << "Remove Job: no job folder to remove for" << job_id << fileaex << fileaexres;
        return true;
    }
    QDir dir(folder);
    qDebug() << "job_dir:" << dir.absolutePath();
    bool removed = true;
    const QFileInfoList files = dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &file : files) {
        if (IsOwnFile(file, keep))
            removed = QFile::remove(file.absoluteFilePath()) && removed;
    }
    if (dir.isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        removed = QDir().rmdir(dir.absolutePath()) && removed;
    qDebug() << "Remove Job:" << removed;
    return removed;
}

// The members in the order Qt's JSON writer puts them (sorted by key), so
// that ToRecord() writes the text Qt would write.
template <class Field>
void NesterJob::VisitRecord(int position, Field &&field) const
{
    field("completed", completed);
    field("efficient", efficient);
    // Added keys (here and below) are left out while empty; older versions
    // ignore them.
    if (!engine_output.isEmpty())
        field("engine_output", engine_output);
    if (!error.isEmpty())
        field("error", error);
    if (failed_runs != 0)
        field("failed_runs", failed_runs);
    field("fileaex", fileaex);
    field("fileaexres", fileaexres);
    field("from", from);
    if (held) {
        field("held", true);
        if (held_until.isValid())
            field("held_until", held_until.toUTC().toString(Qt::ISODate));
    }
    field("job_id", job_id);
    field("job_name", job_name);
    if (!node.isEmpty())
        field("node", node);
    field("position", qint32(position));
    if (!run_end.isEmpty())
        field("run_end", run_end);
    if (!run_start.isEmpty())
        field("run_start", run_start);
    field("start", start);
    field("state", state);
    field("submit_time", submit_time.isValid() ? submit_time.toString(QLatin1String(SubmitFormat)) : QString());
    field("time", time);
}

QJsonObject NesterJob::ToJson(int position) const
{
    QJsonObject json;
    VisitRecord(position, [&json](const char *key, const auto &value) {
        json.insert(QLatin1String(key), QJsonValue(value));
    });
    return json;
}

namespace {

// Writes one member of a record for NesterJob::ToRecord. Strings are
// escaped as Qt escapes them, but for the hex digits of control characters
// (upper case here).
class RecordWriter
{
public:
    explicit RecordWriter(rapidjson::Writer<rapidjson::StringBuffer> &writer)
        : writer(writer)
    {
    }
    void operator()(const char *key, const QString &value)
    {
        writer.Key(key);
        const QByteArray utf8 = value.toUtf8();
        writer.String(utf8.constData(), rapidjson::SizeType(utf8.size()));
    }
    void operator()(const char *key, qint32 value)
    {
        writer.Key(key);
        writer.Int(value);
    }
    void operator()(const char *key, double value)
    {
        writer.Key(key);
        if (!std::isfinite(value)) {
            writer.Null(); // as Qt writes a value JSON cannot hold
            return;
        }
        // Qt's shortest form ("100", "87.25"), not RapidJSON's ("100.0").
        const QByteArray text = QByteArray::number(value, 'g', QLocale::FloatingPointShortest);
        writer.RawValue(text.constData(), text.size(), rapidjson::kNumberType);
    }
    void operator()(const char *key, bool value)
    {
        writer.Key(key);
        writer.Bool(value);
    }

private:
    rapidjson::Writer<rapidjson::StringBuffer> &writer;
};

} // namespace

QByteArray NesterJob::ToRecord() const
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    VisitRecord(0, RecordWriter(writer));
    writer.EndObject();
    return QByteArray(buffer.GetString(), int(buffer.GetSize()));
}

void NesterJob::FromJson(const QJsonObject &json, bool live)
{
    job_name = json.value(QStringLiteral("job_name")).toString();
    job_id = json.value(QStringLiteral("job_id")).toString();
    from = json.value(QStringLiteral("from")).toString();
    start = json.value(QStringLiteral("start")).toString();
    fileaex = json.value(QStringLiteral("fileaex")).toString();
    fileaexres = json.value(QStringLiteral("fileaexres")).toString();
    state = json.value(QStringLiteral("state")).toInt();
    time = json.value(QStringLiteral("time")).toInt();
    completed = json.value(QStringLiteral("completed")).toDouble();
    efficient = json.value(QStringLiteral("efficient")).toDouble();
    submit_time = QDateTime::fromString(json.value(QStringLiteral("submit_time")).toString(),
                                        QLatin1String(SubmitFormat));
    failed_runs = json.value(QStringLiteral("failed_runs")).toInt();
    error = json.value(QStringLiteral("error")).toString();
    node = json.value(QStringLiteral("node")).toString();
    run_start = json.value(QStringLiteral("run_start")).toString();
    run_end = json.value(QStringLiteral("run_end")).toString();
    engine_output = json.value(QStringLiteral("engine_output")).toString();
    held = json.value(QStringLiteral("held")).toBool();
    held_until = held ? QDateTime::fromString(json.value(QStringLiteral("held_until")).toString(), Qt::ISODate)
                      : QDateTime();
    if (!live)
        QueueRules::ResumeInterrupted(*this);
}

QJsonObject NesterJob::ToListJson(int position, const QString &requestedName, const QString &requester,
                                  const std::function<QByteArray()> &marker) const
{
    QJsonObject json;
    // A held job does not wait for an engine: no place, as a running one.
    json.insert(QStringLiteral("position"), held ? 0 : position);
    json.insert(QStringLiteral("efficient"), efficient);
    json.insert(QStringLiteral("complete_percent"), completed);
    json.insert(QStringLiteral("estimated_start"), start);
    json.insert(QStringLiteral("job_id"), job_id);
    json.insert(QStringLiteral("job_name"), QStringLiteral("%1:%2").arg(job_name, from));
    json.insert(QStringLiteral("state"), StateText());
    if (IsFailed()) {
        json.insert(QStringLiteral("error"), error);
        if (!engine_output.isEmpty())
            json.insert(QStringLiteral("engine_output"), engine_output);
    }
    if (IsRunning() && job_name == requestedName && from == requester) {
        const QByteArray data = marker ? marker() : MarkerExtractor().Extract(fileaexres);
        json.insert(QStringLiteral("job_data"), QString::fromLatin1(data.toBase64(QByteArray::Base64UrlEncoding)));
    }
    return json;
}

} // namespace Zendral
} // namespace Orvane
