#pragma once

#include "Protocol.h"

#include <QDir>
#include <QHash>
#include <QPair>
#include <QString>

#include <functional>
#include <mutex>

namespace Orvane {
namespace Zendral {

class NesterJob;

// The jobs folder of one queue and the job folders in it: one folder per
// client (its address) and in it one folder per job, named after the
// second of submission.
//
// Threads: any. `mutex` guards `last` (the job folder numbers claimed per
// client folder and second) and the last second's stamp; the rest is set in
// the constructor and only read afterwards.
class JobFolders
{
public:
    // Shows an error to the operator (title, text).
    using ErrorReporter = std::function<void(const QString &title, const QString &text)>;

    // The jobs folder at `path`, made when missing. A folder that cannot be
    // made is logged and, on the GUI thread, shown through `reporter`.
    explicit JobFolders(const QString &path = DefaultPath(), ErrorReporter reporter = ErrorReporter());
    JobFolders(const JobFolders &) = delete;
    JobFolders &operator=(const JobFolders &) = delete;

    // "JOBS" in this user's data folder (QStandardPaths); empty when there
    // is no data folder.
    static QString DefaultPath();
    // The client's "job_name" reduced to a plain file name that can only
    // land inside its own job folder, made safe on Windows the same way on
    // every platform; empty when nothing usable is left.
    static QString PlainFileName(const QString &name);
    // The longest job file name (UTF-8 bytes) taken, in either store: the job
    // file's name with the suffixes the service and the engine add ("_RES",
    // ".lock", ".engine.log", a save file's ".XXXXXX", the engine's copy
    // ".engine.xml.XXXXXX") fits the 255 bytes file systems allow.
    static constexpr int MaxJobNameBytes = Zendral::MaxJobNameBytes;

    // Whether the jobs folder exists or could be made (shows nothing).
    bool Ready() const;
    // The jobs folder; the directory of the empty path when it cannot be made.
    QDir Dir() const { return Ready() ? QDir(path) : QDir(QString()); }
    // Whether `folder` is exactly <jobs>/<client>/<job folder>, compared as
    // canonical paths (so "..", "." and links cannot lead out).
    bool IsJobFolder(const QString &folder) const;

    // A new job folder of its own for client `from`; empty when it cannot
    // be made.
    QString MakeJobFolder(const QString &from);
    // Makes a job folder, writes the job file into it, decoding the
    // document from its standard Base64 text piece by piece, and returns a
    // new record (nullptr when the folder cannot be made, the name is
    // unusable or the file cannot be written; nothing is left behind then).
    NesterJob *CreateJob(const QString &from, const QString &fileName, const char *base64, qint64 base64Size,
                         int time);

private:
    bool Prepare() const;
    void ReportFailure() const;
    QString ClaimJobFolder(const QDir &client);
    QString StampNow();

    const QString path;
    const ErrorReporter reporter;
    std::mutex mutex;
    QHash<QString, QPair<QString, int>> last; // guarded by mutex
    qint64 stampSecond = -1; // the second (since the epoch) of `lastStamp`; guarded by mutex
    QString lastStamp;       // guarded by mutex
};

} // namespace Zendral
} // namespace Orvane
