#include "EngineProcess.h"

#include <QDebug>
#include <QFile>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#include <sys/types.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace Orvane {
namespace Zendral {

EngineProcess::EngineProcess(QObject *parent)
    : QProcess(parent)
{
#ifdef Q_OS_WIN
    // A job object that kills its processes when its last handle closes: the
    // service holds the only handle, so the engine goes when the service goes.
    job = CreateJobObjectW(nullptr, nullptr);
    if (job) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
    }
#else
    parentPid = qint64(::getpid());
#endif
    connect(this, &QProcess::started, this, &EngineProcess::onStarted);
}

EngineProcess::~EngineProcess()
{
#ifdef Q_OS_WIN
    if (job)
        CloseHandle(job);
#endif
}

// In the forked child, before exec: only async-signal-safe calls here.
void EngineProcess::setupChildProcess()
{
#ifndef Q_OS_WIN
    ::setpgid(0, 0);
#endif
#ifdef Q_OS_LINUX
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The service may have died between fork and prctl: then nobody is left
    // to send the signal.
    if (qint64(::getppid()) != parentPid)
        ::_exit(127);
#endif
}

void EngineProcess::onStarted()
{
#ifdef Q_OS_WIN
    if (!job)
        return;
    HANDLE process = OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, DWORD(processId()));
    if (process) {
        if (!AssignProcessToJobObject(job, process))
            qWarning() << "Engine not tied to the service's job object:" << GetLastError();
        CloseHandle(process);
    }
#endif
}

void EngineProcess::terminateGroup()
{
    if (state() == NotRunning)
        return;
#ifdef Q_OS_WIN
    killGroup();
#else
    if (processId() > 0) // never 0: kill(0, ...) would reach the service's own group
        ::kill(-pid_t(processId()), SIGTERM);
    terminate();
#endif
}

void EngineProcess::killGroup()
{
    if (state() == NotRunning)
        return;
#ifndef Q_OS_WIN
    if (processId() > 0) // never 0: kill(0, ...) would reach the service's own group
        ::kill(-pid_t(processId()), SIGKILL);
#endif
    kill();
}

QString EngineProcess::StartMark(qint64 pid)
{
    if (pid <= 0)
        return QString();
#ifdef Q_OS_LINUX
    // Field 22 of /proc/<pid>/stat: the start time in clock ticks since boot.
    // The command name (field 2) is in parentheses and may hold blanks.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    if (close < 0)
        return QString();
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    // After the name, field 3 (state) is index 0, so field 22 is index 19.
    return fields.size() > 19 ? QString::fromLatin1(fields.at(19)) : QString();
#elif defined(Q_OS_WIN)
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return QString();
    FILETIME created, exited, kernel, user;
    QString mark;
    DWORD code = 0;
    if (GetExitCodeProcess(process, &code) && code == STILL_ACTIVE
        && GetProcessTimes(process, &created, &exited, &kernel, &user))
        mark = QString::number((quint64(created.dwHighDateTime) << 32) | created.dwLowDateTime);
    CloseHandle(process);
    return mark;
#else
    // Elsewhere only "runs" can be told; the id alone is the mark.
    return ::kill(pid_t(pid), 0) == 0 ? QString::number(pid) : QString();
#endif
}

bool EngineProcess::IsRunning(qint64 pid, const QString &startMark)
{
    if (startMark.isEmpty())
        return false;
    return StartMark(pid) == startMark;
}

void EngineProcess::Kill(qint64 pid)
{
    if (pid <= 0)
        return;
#ifdef Q_OS_WIN
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid));
    if (process) {
        TerminateProcess(process, 9);
        CloseHandle(process);
    }
#else
    ::kill(-pid_t(pid), SIGKILL); // its group, when it leads one
    ::kill(pid_t(pid), SIGKILL);
#endif
}

} // namespace Zendral
} // namespace Orvane
