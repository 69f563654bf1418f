#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

namespace Orvane {
namespace Zendral {
namespace Bench {

// A server process the run starts and is bound to stop: the destructor ends
// it (politely first, then SIGKILL), with bounded waits. A server may run
// under a wrapper (the flush counter); then the server is the wrapper's
// child, and signals go to the server itself, never to anything else.
//
// Thread: main thread only.
class ManagedProcess
{
public:
    explicit ManagedProcess(const QString &name);
    ~ManagedProcess();
    ManagedProcess(const ManagedProcess &) = delete;
    ManagedProcess &operator=(const ManagedProcess &) = delete;

    // Starts `program`; with `wrapped`, `program` is a wrapper whose child is
    // the server. Output of both goes to `logPath`. Throws BenchFailure.
    void Start(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
               const QString &workingFolder, const QString &logPath, bool wrapped);
    // The server's process id (the wrapper's child when wrapped).
    qint64 Pid() const { return target; }
    bool IsRunning() const;
    // SIGTERM, then SIGKILL if it has not ended after a few seconds.
    void Stop();
    // SIGKILL (kill -9), then waits until it (and its wrapper) are gone.
    void KillHard();
    // The end of the output log, for error messages.
    QString LogTail() const;
    QString Name() const { return name; }

private:
    // The server pid, checked to be still ours (our child, or our wrapper's).
    bool TargetIsOurs() const;
    bool WaitGone(int ms);

    QString name;
    QString logPath;
    std::unique_ptr<QProcess> process;
    qint64 target = 0;
    bool wrapped = false;
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
