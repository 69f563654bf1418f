#pragma once

#include <QElapsedTimer>
#include <QString>

#include <mutex>

namespace Orvane {
namespace Zendral {

// Whether new files can be made in a folder (the jobs folder, for
// /healthz): creates, writes and removes the file ZENDRAL.HEALTH there, at
// most once per interval; between probes the last answer stands.
//
// Thread: any. `mutex` guards the last answer and lets one probe run at a time.
class FolderProbe
{
public:
    static const char *const FileName;

    explicit FolderProbe(int intervalMs = 1000);

    // Empty when the folder takes files, else why not.
    QString Problem(const QString &folder);

private:
    static QString Probe(const QString &folder);

    const int intervalMs;
    std::mutex mutex;
    QString lastFolder;
    QString lastProblem;
    QElapsedTimer lastProbe;
};

} // namespace Zendral
} // namespace Orvane
