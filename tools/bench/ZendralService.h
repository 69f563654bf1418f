#pragma once

#include "ManagedProcess.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace Orvane {
namespace Zendral {
namespace Bench {

// One Zendral service for the benchmark: its own HOME and XDG folders inside
// `root` (a folder in the run's scratch folder), a settings file with a free
// port and no engine runs (so the queue only grows): zendrald, or the
// windowed program started with "-a" on Qt's offscreen platform. A second
// instance on the same root finds the first one's queue.
//
// Thread: main thread only.
class ZendralService
{
public:
    ZendralService(const QString &program, const QString &root);

    // Settings written beside the defaults (before Start): keys as in the
    // settings file, e.g. "maxWorkerCount" or "store/backend".
    void SetSettings(const QMap<QString, QVariant> &values) { extraSettings = values; }
    // Environment variables added for the service (and its engines).
    void SetEnvironment(const QMap<QString, QString> &values) { extraEnvironment = values; }
    QString Root() const { return root; }

    // Writes the settings, starts the service (under `wrapper`, a command
    // that ends in "--" and runs the service as its child, when given) and
    // waits until it accepts connections. Throws BenchFailure.
    void Start(const QStringList &wrapper = QStringList());
    quint16 Port() const { return port; }
    // The journal's flushes so far (group commits, from /metrics), or -1.
    qint64 JournalFlushes() const;
    qint64 Pid() const { return process.Pid(); }
    bool IsRunning() const { return process.IsRunning(); }
    // Where the service keeps its job folders.
    QString JobsFolder() const;
    void Stop() { process.Stop(); }
    void KillHard() { process.KillHard(); }

private:
    void WriteSettings();

    QString program;
    QString root;
    quint16 port = 0;
    quint16 httpPort = 0; // the status page with /metrics
    QMap<QString, QVariant> extraSettings;
    QMap<QString, QString> extraEnvironment;
    ManagedProcess process;
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
