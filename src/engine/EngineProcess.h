#pragma once

#include <QProcess>

namespace Orvane {
namespace Zendral {

// The nesting engine's child process, tied to the service's life: on Linux
// the engine gets the parent-death signal (SIGKILL when the service dies,
// even by kill -9) and runs in a process group of its own, so that a stop
// reaches the engine's own children too; on Windows it runs in a job object
// that kills it when the service's last handle to the job goes.
//
// Thread: GUI thread (like any QProcess it lives where it was made).
// setupChildProcess runs in the forked child before exec.
class EngineProcess : public QProcess
{
    Q_OBJECT
public:
    explicit EngineProcess(QObject *parent = nullptr);
    ~EngineProcess() override;

    // Asks the engine (and its process group) to end: SIGTERM, or on
    // Windows the same as killGroup.
    void terminateGroup();
    // Ends the engine and its process group at once.
    void killGroup();

    // Whether a process with this id still runs and is the one that was
    // started at `startMark` (a mark from StartMark, which tells a reused id
    // apart). Any platform; false when it cannot be told.
    static bool IsRunning(qint64 pid, const QString &startMark);
    // An identity mark of a running process (its start time); empty when
    // the process does not run or the platform gives none.
    static QString StartMark(qint64 pid);
    // Kills a process (with its group where there is one).
    static void Kill(qint64 pid);

protected:
    void setupChildProcess() override;

private:
    void onStarted();
    void *group = nullptr; // the job object on Windows; null where the child makes its own group
    qint64 parentPid = 0;
};

} // namespace Zendral
} // namespace Orvane
