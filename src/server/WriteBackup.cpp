#include "WriteBackup.h"

#include "LocalServer.h"
#include "QueueLocker.h"
#include "NesterJob.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QUuid>

#include <algorithm>
#include <vector>

namespace Orvane {
namespace Zendral {

namespace {
const char *const BackupName = "JOB_LIST.BAK";
}

WriteBackup::WriteBackup(QList<NesterJob *> *jobs, QObject *parent)
    : QThread(parent)
    , jobs(jobs)
{
}

WriteBackup::~WriteBackup()
{
    if (isRunning())
        Stop();
    wait();
}

void WriteBackup::Request()
{
    std::lock_guard<std::mutex> locker(stateMutex);
    dirty = true;
    wake.notify_one();
}

void WriteBackup::Stop()
{
    // Asked before the stop request: once asked, a finishing thread already
    // reports that it is not running.
    const bool running = isRunning();
    {
        std::lock_guard<std::mutex> locker(stateMutex);
        dirty = true;
        stopping = true;
        wake.notify_one();
    }
    // The thread writes once more and ends; without a running thread the
    // final write is made here. The records must outlive the write, so the
    // wait has no time limit (a write is one small file).
    if (running) {
        wait();
        // The thread's last step was unlocking stateMutex; taking it here
        // orders its end before our deletion also for ThreadSanitizer,
        // which cannot see QThread::wait.
        std::lock_guard<std::mutex> locker(stateMutex);
    } else {
        WriteNow();
    }
}

void WriteBackup::run()
{
    for (;;) {
        {
            std::unique_lock<std::mutex> locker(stateMutex);
            wake.wait(locker, [this] { return dirty || stopping; });
            if (!dirty)
                return; // stopping, nothing left to save
            dirty = false;
        }
        WriteNow();
    }
}

QJsonArray WriteBackup::Snapshot(const QList<NesterJob *> &jobs)
{
    QJsonArray array;
    int position = 1;
    for (const NesterJob *job : jobs)
        array.append(job->ToJson(job->IsWaiting() ? position++ : 0));
    return array;
}

bool WriteBackup::WriteNow()
{
    std::lock_guard<std::mutex> writer(mutex);
    QDir dir;
    if (!LocalServer::JobsDirReady(&dir)) {
        qCritical() << "Queue backup not written: the jobs folder cannot be made";
        return false;
    }
    QJsonArray array;
    {
        QueueLocker queue;
        array = Snapshot(*jobs);
    }
    QSaveFile file(dir.absoluteFilePath(QLatin1String(BackupName)));
    if (!file.open(QIODevice::WriteOnly)) {
        qWarning() << "Queue backup not written:" << file.fileName() << file.errorString();
        return false;
    }
    // A short write (disk full, size limit) must not be committed: the
    // previous backup stays and the caller learns of the failure. The bytes
    // are flushed here because commit() does not report a failed flush of
    // buffered data.
    const QByteArray bytes = QJsonDocument(array).toJson(QJsonDocument::Compact);
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        qWarning() << "Queue backup not written:" << file.fileName() << file.errorString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        qWarning() << "Queue backup not written:" << file.fileName() << file.errorString();
        return false;
    }
    return true;
}

void WriteBackup::LoadJobs(QList<NesterJob *> &jobs)
{
    QDir dir;
    if (!LocalServer::JobsDirReady(&dir))
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
    SetAside(path);
    ScanJobFolders(jobs, dir);
}

void WriteBackup::SetAside(const QString &path)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
    QString aside = QStringLiteral("%1.unreadable-%2").arg(path, stamp);
    for (int n = 1; QFileInfo::exists(aside) && n < 100; ++n)
        aside = QStringLiteral("%1.unreadable-%2_%3").arg(path, stamp).arg(n, 2, 10, QLatin1Char('0'));
    if (QFile::rename(path, aside) || QFile::copy(path, aside))
        qCritical() << "Queue backup unreadable, kept as" << aside << "- queue rebuilt from the job folders";
    else
        qCritical() << "Queue backup unreadable and could not be kept aside:" << path;
}

bool WriteBackup::LoadBackup(QList<NesterJob *> &jobs, const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCritical() << "Queue backup cannot be read:" << path << file.errorString();
        return false;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !document.isArray()) {
        qCritical() << "Queue backup is not a JSON array:" << path << error.errorString();
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
        if (!job->fileaex.isEmpty() && QFile::exists(job->fileaex)) {
            jobs.append(job);
        } else {
            qDebug() << "Backup record dropped, job file missing:" << job->job_id << job->fileaex;
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
            // An engine lock left by a run the service could not end is no
            // job file.
            files.erase(std::remove_if(files.begin(), files.end(),
                                       [](const QFileInfo &f) { return f.fileName().endsWith(QLatin1String(".lock")); }),
                        files.end());
            if (files.isEmpty() || files.size() > 2) {
                qDebug() << "Job folder skipped, it holds" << files.size() << "files:" << jobDir.absolutePath();
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
