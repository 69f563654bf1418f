#include "WriteBackup.h"

#include "NesterJob.h"
#include "QueueStore.h"
#include "SafeJson.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#include <algorithm>
#include <climits>
#include <vector>

namespace Orvane {
namespace Zendral {

const char *const WriteBackup::BackupName = "JOB_LIST.BAK";

QJsonArray WriteBackup::Snapshot(const QList<NesterJob *> &jobs)
{
    QJsonArray array;
    int position = 1;
    for (const NesterJob *job : jobs)
        array.append(job->ToJson(job->IsWaiting() ? position++ : 0));
    return array;
}

// The records are compact JSON with "position":0, the way Qt writes them
// (keys sorted); an array of them is what Qt writes for the array. The key
// cannot appear inside a string value: a quote there is escaped.
QByteArray WriteBackup::Serialize(const QVector<StoredRecord> &records)
{
    static const QByteArray zero = QByteArrayLiteral("\"position\":0");
    qint64 total = 2;
    for (const StoredRecord &record : records)
        total += record.json.size() + 8;
    QByteArray bytes;
    bytes.reserve(int(qMin<qint64>(total, INT_MAX - 64)));
    bytes += '[';
    int position = 1;
    for (const StoredRecord &record : records) {
        if (bytes.size() > 1)
            bytes += ',';
        const int at = record.waiting ? record.json.indexOf(zero) : -1;
        if (at < 0) {
            bytes += record.json;
            continue;
        }
        bytes.append(record.json.constData(), at + zero.size() - 1);
        bytes += QByteArray::number(position++);
        bytes.append(record.json.constData() + at + zero.size(), record.json.size() - at - zero.size());
    }
    bytes += ']';
    return bytes;
}

void WriteBackup::LoadJobs(QList<NesterJob *> &jobs, const QDir &dir)
{
    if (dir.path().isEmpty() || dir.path() == QLatin1String(".") || !dir.exists())
        return;
    const QString path = dir.absoluteFilePath(QLatin1String(BackupName));
    if (!QFileInfo::exists(path)) {
        ScanJobFolders(jobs, dir);
        return;
    }
    if (LoadBackup(jobs, path))
        return;
    // An unreadable backup is kept for the operator, and the queue is rebuilt
    // from the job folders instead of starting empty.
    SetAside(path, "Queue backup unreadable");
    ScanJobFolders(jobs, dir);
}

void WriteBackup::SetAside(const QString &path, const char *why)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
    QString aside = QStringLiteral("%1.unreadable-%2").arg(path, stamp);
    for (int n = 1; QFileInfo::exists(aside) && n < 100; ++n)
        aside = QStringLiteral("%1.unreadable-%2_%3").arg(path, stamp).arg(n, 2, 10, QLatin1Char('0'));
    if (QFile::rename(path, aside) || QFile::copy(path, aside))
        qCritical().noquote() << why << "- kept as" << aside;
    else
        qCritical().noquote() << why << "- could not be kept aside:" << path;
}

bool WriteBackup::LoadBackup(QList<NesterJob *> &jobs, const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCritical() << "Queue backup cannot be read:" << path << file.errorString();
        return false;
    }
    return LoadBackupBytes(jobs, file.readAll());
}

bool WriteBackup::LoadBackupBytes(QList<NesterJob *> &jobs, const QByteArray &bytes, bool keepMissing)
{
    QString error;
    const QJsonDocument document = SafeJson::Parse(bytes, &error);
    if (!document.isArray()) {
        qCritical().noquote() << "Queue backup is not a JSON array:" << error;
        return false;
    }
    // The file's order is the queue's order. Only the waiting records
    // (position above 0) are put in ascending position order, stably, within
    // the places they hold in the file, so a hand-edited backup still runs its
    // waiting jobs by position while running and finished jobs keep their
    // places.
    const QJsonArray array = document.array();
    std::vector<QJsonObject> records;
    std::vector<size_t> waitingSlots;
    std::vector<QJsonObject> waiting;
    for (const QJsonValue &value : array) {
        const QJsonObject record = value.toObject();
        if (record.value(QStringLiteral("position")).toInt() > 0) {
            waitingSlots.push_back(records.size());
            waiting.push_back(record);
        }
        records.push_back(record);
    }
    std::stable_sort(waiting.begin(), waiting.end(), [](const QJsonObject &a, const QJsonObject &b) {
        return a.value(QStringLiteral("position")).toInt() < b.value(QStringLiteral("position")).toInt();
    });
    for (size_t i = 0; i < waiting.size(); ++i)
        records[waitingSlots[i]] = waiting[i];
    for (const QJsonObject &record : records) {
        auto *job = new NesterJob;
        job->FromJson(record);
        if (keepMissing || (!job->fileaex.isEmpty() && QFile::exists(job->fileaex))) {
            jobs.append(job);
        } else {
            qWarning() << "Backup record dropped, job file missing:" << job->job_id << job->fileaex;
            delete job;
        }
    }
    return true;
}

void WriteBackup::ScanJobFolders(QList<NesterJob *> &jobs, const QDir &jobsDir)
{
    const QDir::Filters dirs = QDir::Dirs | QDir::NoDotAndDotDot;
    const QDir::SortFlags order = QDir::Name | QDir::IgnoreCase;
    std::vector<QJsonObject> records;
    const QStringList clients = jobsDir.entryList({QStringLiteral("*.*.*.*")}, dirs, order);
    for (const QString &client : clients) {
        const QDir clientDir(jobsDir.absoluteFilePath(client));
        for (const QString &folder : clientDir.entryList(dirs, order)) {
            const QDir jobDir(clientDir.absoluteFilePath(folder));
            QFileInfoList files = jobDir.entryInfoList(
                QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot, QDir::Name);
            // An engine lock left by a run the service could not end and a
            // run log are no job files.
            files.erase(std::remove_if(files.begin(), files.end(),
                                       [](const QFileInfo &f) {
                                           return f.fileName().endsWith(QLatin1String(".lock"))
                                               || f.fileName().endsWith(QLatin1String(".engine.log"));
                                       }),
                        files.end());
            if (files.isEmpty() || files.size() > 2) {
                qWarning() << "Job folder skipped, it holds" << files.size() << "files:" << jobDir.absolutePath();
                continue;
            }
            QJsonObject record;
            QString result;
            for (const QFileInfo &file : files) {
                if (file.fileName().contains(QLatin1String("_RES"))) {
                    result = file.absoluteFilePath();
                } else {
                    record.insert(QStringLiteral("job_name"), file.fileName());
                    record.insert(QStringLiteral("fileaex"), file.absoluteFilePath());
                }
            }
            record.insert(QStringLiteral("job_id"), QUuid::createUuid().toString());
            record.insert(QStringLiteral("from"), client);
            record.insert(QStringLiteral("create_time"), folder);
            if (!result.isEmpty()) {
                record.insert(QStringLiteral("fileaexres"), result);
                record.insert(QStringLiteral("state"), NesterJob::Finished);
                record.insert(QStringLiteral("completed"), 100);
            } else {
                record.insert(QStringLiteral("fileaexres"),
                              record.value(QStringLiteral("fileaex")).toString() + QLatin1String("_RES"));
                record.insert(QStringLiteral("state"), NesterJob::Waiting);
            }
            records.push_back(record);
        }
    }
    // Oldest first; folder names "yyyyMMddhhmmss[_nn]" sort as text in time order.
    std::stable_sort(records.begin(), records.end(), [](const QJsonObject &a, const QJsonObject &b) {
        return a.value(QStringLiteral("create_time")).toString() < b.value(QStringLiteral("create_time")).toString();
    });
    for (const QJsonObject &record : records) {
        auto *job = new NesterJob;
        job->FromJson(record);
        jobs.append(job);
    }
}

} // namespace Zendral
} // namespace Orvane
