#include "EngineProcess.h"

#include <QDebug>

#include "Platform.h"

namespace Orvane {
namespace Zendral {

EngineProcess::EngineProcess(QObject *parent)
    : QProcess(parent)
    , group(Platform::NewChildGroup())
    , parentPid(Platform::CurrentProcessId())
{
    connect(this, &QProcess::started, this, &EngineProcess::onStarted);
}

EngineProcess::~EngineProcess()
{
    Platform::CloseChildGroup(group);
}

// In the forked child, before exec: only async-signal-safe calls here.
void EngineProcess::setupChildProcess()
{
    Platform::SetUpChildBeforeExec(parentPid);
}

void EngineProcess::onStarted()
{
    std::string error;
    if (!Platform::AddToChildGroup(group, processId(), &error))
        qWarning() << "Engine not tied to the service's life:" << QString::fromStdString(error);
}

void EngineProcess::terminateGroup()
{
    if (state() == NotRunning)
        return;
    Platform::EndChildGroup(group, processId(), false);
    terminate();
}

void EngineProcess::killGroup()
{
    if (state() == NotRunning)
        return;
    Platform::EndChildGroup(group, processId(), true);
    kill();
}

QString EngineProcess::StartMark(qint64 pid)
{
    return QString::fromStdString(Platform::ProcessStartMark(pid));
}

bool EngineProcess::IsRunning(qint64 pid, const QString &startMark)
{
    if (startMark.isEmpty())
        return false;
    return StartMark(pid) == startMark;
}

void EngineProcess::Kill(qint64 pid)
{
    Platform::KillProcess(pid);
}

} // namespace Zendral
} // namespace Orvane
