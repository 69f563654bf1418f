#include "FolderProbe.h"

#include <QDir>
#include <QFile>

namespace Orvane {
namespace Zendral {

const char *const FolderProbe::FileName = "ZENDRAL.HEALTH";

FolderProbe::FolderProbe(int intervalMs)
    : intervalMs(intervalMs)
{
}

QString FolderProbe::Problem(const QString &folder)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (folder != lastFolder || !lastProbe.isValid() || lastProbe.hasExpired(intervalMs)) {
        lastProblem = Probe(folder);
        lastFolder = folder;
        lastProbe.start();
    }
    return lastProblem;
}

// A write that fails only once the data is flushed (a full disk) fails at
// the close, so the file is closed before it counts as written.
QString FolderProbe::Probe(const QString &folder)
{
    if (folder.isEmpty())
        return QStringLiteral("the jobs folder cannot be used");
    QFile file(QDir(folder).filePath(QLatin1String(FileName)));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QStringLiteral("jobs folder not writable: %1: %2").arg(file.fileName(), file.errorString());
    const bool written = file.write("probe\n") == 6 && file.flush();
    const QString writeError = file.errorString();
    file.close();
    if (!file.remove())
        return QStringLiteral("jobs folder not writable: %1 cannot be removed: %2").arg(file.fileName(), file.errorString());
    if (!written)
        return QStringLiteral("jobs folder not writable: %1: %2").arg(file.fileName(), writeError);
    return QString();
}

} // namespace Zendral
} // namespace Orvane
