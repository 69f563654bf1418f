#include "JobManager.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <QLocale>
#include <QMutexLocker>
#include <QPointer>
#include <QSettings>
#include <QStringList>

// Thread: everything in this file runs on the GUI thread. The mutex guards
// the runner's state while one progress message is handled; signals are
// emitted after it is released, because a receiver may stop or destroy the
// runner.

namespace Orvane {
namespace Zendral {

namespace {

const int kProcessWaitMs = 30000;

// Exit code reported for an engine that crashed or was killed when the
// operating system gives 0 for it: the number of SIGKILL, so that a killed
// run is never taken for a successful one.
const int kKilledExitCode = 9;

const char *const kMessageKeys[] = {"path", "efficiency", "time_limit", "time_elapsed",
                                    "next_update"};

} // namespace

JobManager::JobManager(QObject *parent)
    : QObject(parent)
    , process(new QProcess)
{
    // Only standard output carries messages. Standard error is discarded, or
    // QProcess would buffer all of it for the whole run.
    process->setStandardErrorFile(QProcess::nullDevice());
    connect(process, &QProcess::started, this, &JobManager::onWorkerStarted);
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this](int exit_code, QProcess::ExitStatus status) {
                if (status == QProcess::CrashExit && exit_code == 0)
                    exit_code = kKilledExitCode;
                onWorkerFinished(exit_code);
            });
    connect(process, &QProcess::errorOccurred, this, &JobManager::onWorkerError);
    // Queued: the output is handled from the event loop, never inside the
    // process object's own signal.
    connect(process, &QProcess::readyReadStandardOutput, this, &JobManager::onWorkerUpdate,
            Qt::QueuedConnection);
}

JobManager::~JobManager()
{
    // No process signal may reach the runner while it is being destroyed.
    process->disconnect();
    if (process->state() != QProcess::NotRunning && !process->waitForFinished(kProcessWaitMs)) {
        // Do not leave an orphaned engine behind.
        process->kill();
        process->waitForFinished(kProcessWaitMs);
    }
    // The process may still be delivering its own finished signal.
    process->deleteLater();
}

// The engine path from "worker/engine". A name that is no file as given is
// looked up beside the running executable, with the platform's executable
// suffix. An empty setting (the settings dialog stores an empty field) means
// the default engine.
QString JobManager::lookupEngine()
{
    QString engine = QSettings().value(QStringLiteral("worker/engine")).toString();
    if (engine.isEmpty())
        engine = QStringLiteral("DizoVezevi");
    const QFileInfo given(engine);
    if (given.isFile())
        return given.absoluteFilePath(); // a bare name would otherwise be searched in PATH
#ifdef Q_OS_WIN
    engine += QStringLiteral(".exe"); // executables carry ".exe" on Windows only
#endif
    // QDir::absoluteFilePath leaves an absolute path as it is.
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(engine);
}

bool JobManager::readResultFile(const QString &file, QByteArray *bytes)
{
    if (file.isEmpty() || !QFileInfo(file).isFile())
        return false;
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    *bytes = f.readAll();
    f.close();
    return true;
}

void JobManager::startWork(QByteArray token, QByteArray job_id, QByteArray marker_data,
                           int work_seconds)
{
    this->token = token;
    this->job_id = job_id;
    m_enginePath = lookupEngine();
    if (!QFileInfo(m_enginePath).isFile()) {
        qDebug().noquote() << "can not find auto marker engine in:" << m_enginePath;
        reportFinished(-1);
        return;
    }

    const QStringList arguments{QStringLiteral("-f"), QString::fromUtf8(marker_data),
                                QStringLiteral("-t"), QString::number(work_seconds),
                                QStringLiteral("-l"), QLocale::system().name(),
                                QStringLiteral("-p"), QString(),
                                QStringLiteral("-g"), QStringLiteral("0"),
                                QStringLiteral("-s"), QStringLiteral("1")};
    // Logged before the start: a failed start reports finished, after which
    // the runner may already be gone.
    qDebug().noquote() << "start a job" << m_enginePath << arguments;

    QPointer<JobManager> self(this);
    QProcess *p = process;
    p->start(m_enginePath, arguments, QIODevice::ReadWrite);
    if (!self)
        return; // failed at once and reported; the runner was destroyed meanwhile
    const bool started = p->waitForStarted(kProcessWaitMs);
    if (!self || started || m_finishReported)
        return;
    // Not started in time: stop the attempt so that nothing runs unobserved.
    p->disconnect(this);
    if (p->state() != QProcess::NotRunning) {
        p->kill();
        p->waitForFinished(kProcessWaitMs);
    }
    reportFinished(-1);
}

void JobManager::stopWork()
{
    if (process->state() == QProcess::NotRunning)
        return;
    // The finished report is delivered inside the wait and its receiver may
    // destroy the runner: only the local pointer is used from here on (the
    // process object itself is deleted later, from the event loop).
    QProcess *p = process;
    p->kill();
    p->waitForFinished(kProcessWaitMs);
}

void JobManager::onWorkerStarted()
{
    const QByteArray id = job_id;
    emit started(id);
}

void JobManager::onWorkerError(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart) {
        // Crashes and read errors end in finished as usual.
        qDebug().noquote() << "engine process error:" << process->errorString();
        return;
    }
    qDebug().noquote() << "engine failed to start:" << process->errorString();
    process->disconnect(this);
    reportFinished(-1);
}

void JobManager::onWorkerUpdate()
{
    try {
        handleOutput(process->readAllStandardOutput());
    } catch (...) {
        // A message that can not be handled is lost; the run goes on.
    }
}

// Takes one block of engine output as one message. Output that is not
// exactly one JSON document is dropped as a whole.
void JobManager::handleOutput(const QByteArray &bytes)
{
    QJsonObject message;
    QJsonObject report;
    bool haveReport = false;
    {
        QMutexLocker locker(&mutex);
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
        if (error.error != QJsonParseError::NoError)
            return;
        message = document.object(); // an array reads as an object without keys
        for (const char *key : kMessageKeys) {
            if (!message.contains(QLatin1String(key)))
                message.insert(QLatin1String(key), QJsonValue());
        }
        path = message.value(QLatin1String("path")).toString();
        efficiency = message.value(QLatin1String("efficiency")).toDouble();
        estimate = message.value(QLatin1String("time_limit")).toDouble()
                   - message.value(QLatin1String("time_elapsed")).toDouble();
        // toInt gives 0 for a number with a fractional part: whole seconds only.
        next_update = message.value(QLatin1String("next_update")).toInt();
        QByteArray bytesRead;
        if (readResultFile(path, &bytesRead)) {
            data = bytesRead;
            report = resultReport(data);
            haveReport = true;
        }
    }
    QPointer<JobManager> self(this);
    const QByteArray id = job_id;
    if (haveReport)
        emit updateData(report);
    if (self)
        emit update(id, message);
}

void JobManager::onWorkerFinished(int exit_code)
{
    if (m_finishReported)
        return;
    QPointer<JobManager> self(this);
    // The last message may still wait in the queue when the process ends;
    // take it now, or the run's last result path and progress would be lost.
    onWorkerUpdate();
    if (!self)
        return;

    QJsonObject report;
    try {
        next_update = 0;
        QByteArray bytes;
        if (readResultFile(path, &bytes)) {
            QFile::remove(path);
            report = resultReport(bytes);
        } else {
            report = resultReport(data);
        }
    } catch (...) {
        qDebug() << "finish work has error.";
        report = resultReport(data);
    }
    // finished must follow whatever a receiver of the last report does, or
    // the run would never end for its owner and its slot would stay taken.
    try {
        emit updateData(report);
    } catch (...) {
        qDebug() << "finish work has error.";
    }
    if (self)
        reportFinished(exit_code);
}

// Emits finished once. The receiver may destroy the runner during the
// emission, so nothing of the runner is touched afterwards.
void JobManager::reportFinished(int exit_code)
{
    if (m_finishReported)
        return;
    m_finishReported = true;
    const QByteArray id = job_id;
    emit finished(id, exit_code);
}

QJsonObject JobManager::resultReport(const QByteArray &bytes) const
{
    QJsonObject report;
    report.insert(QStringLiteral("data"), QString::fromLatin1(bytes.toBase64()));
    report.insert(QStringLiteral("job_id"), QString::fromLatin1(job_id));
    report.insert(QStringLiteral("token"), QString::fromLatin1(token));
    report.insert(QStringLiteral("next_update_seconds"), next_update);
    report.insert(QStringLiteral("efficiency"), efficiency);
    report.insert(QStringLiteral("estimate_complete_seconds"), estimate);
    return report;
}

} // namespace Zendral
} // namespace Orvane
