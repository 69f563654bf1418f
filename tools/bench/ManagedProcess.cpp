#include "ManagedProcess.h"

#include "BenchFailure.h"
#include "ProcessStats.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
constexpr int StartWaitMs = 10000;
constexpr int StopWaitMs = 5000;
// How long a wrapper may take to start its child.
constexpr int ChildWaitMs = 5000;
} // namespace

ManagedProcess::ManagedProcess(const QString &name)
    : name(name)
{
}

ManagedProcess::~ManagedProcess()
{
    Stop();
}

void ManagedProcess::Start(const QString &program, const QStringList &arguments,
                           const QProcessEnvironment &environment, const QString &workingFolder,
                           const QString &logPath, bool wrapped)
{
    this->logPath = logPath;
    this->wrapped = wrapped;
    process.reset(new QProcess);
    process->setProgram(program);
    process->setArguments(arguments);
    process->setProcessEnvironment(environment);
    process->setWorkingDirectory(workingFolder);
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setStandardOutputFile(logPath, QIODevice::Append);
    process->setStandardInputFile(QProcess::nullDevice());
    process->start();
    if (!process->waitForStarted(StartWaitMs))
        throw BenchFailure{QStringLiteral("%1: cannot start %2: %3").arg(name, program, process->errorString())};
    const qint64 started = process->processId();
    if (!wrapped) {
        target = started;
        return;
    }
    QElapsedTimer clock;
    clock.start();
    while (target == 0 && !clock.hasExpired(ChildWaitMs) && process->state() == QProcess::Running) {
        const QList<qint64> children = ProcessStats::Children(started);
        if (!children.isEmpty())
            target = children.first();
        else
            QThread::msleep(10);
    }
    if (target == 0)
        throw BenchFailure{QStringLiteral("%1: %2 started no server\n%3").arg(name, program, LogTail())};
}

bool ManagedProcess::IsRunning() const
{
    if (!process || process->state() != QProcess::Running)
        return false;
    return !wrapped || (TargetIsOurs() && ProcessStats::IsAlive(target));
}

void ManagedProcess::Stop()
{
    if (!process || process->state() == QProcess::NotRunning)
        return;
    if (wrapped) {
        if (TargetIsOurs())
            ProcessStats::Terminate(target);
    } else {
        process->terminate();
    }
    if (WaitGone(StopWaitMs))
        return;
    KillHard();
}

void ManagedProcess::KillHard()
{
    if (!process || process->state() == QProcess::NotRunning)
        return;
    if (wrapped) {
        if (TargetIsOurs())
            ProcessStats::KillHard(target);
        if (WaitGone(StopWaitMs))
            return;
    }
    process->kill();
    WaitGone(StopWaitMs);
}

QString ManagedProcess::LogTail() const
{
    QFile file(logPath);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const qint64 keep = 2000;
    if (file.size() > keep)
        file.seek(file.size() - keep);
    return QString::fromLocal8Bit(file.readAll());
}

bool ManagedProcess::TargetIsOurs() const
{
    return target > 0 && process && ProcessStats::Parent(target) == process->processId();
}

bool ManagedProcess::WaitGone(int ms)
{
    return process->waitForFinished(ms) || process->state() == QProcess::NotRunning;
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
