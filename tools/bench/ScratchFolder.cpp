#include "ScratchFolder.h"

#include "BenchFailure.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>
#include <QTemporaryDir>

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
const char Prefix[] = "zendral-bench-";
} // namespace

ScratchFolder::ScratchFolder()
{
    QTemporaryDir made(QDir(QDir::tempPath()).filePath(QLatin1String(Prefix) + QStringLiteral("XXXXXX")));
    if (!made.isValid())
        throw BenchFailure{QStringLiteral("cannot make a scratch folder in %1: %2").arg(QDir::tempPath(), made.errorString())};
    made.setAutoRemove(false); // removed by the destructor, after the guard
    path = QFileInfo(made.path()).canonicalFilePath();
}

ScratchFolder::~ScratchFolder()
{
    // A recursive delete as root: only ever the folder made above.
    if (IsOurs())
        QDir(path).removeRecursively();
}

QString ScratchFolder::Make(const QString &relative) const
{
    const QString folder = QDir(path).filePath(relative);
    if (!QDir().mkpath(folder))
        throw BenchFailure{QStringLiteral("cannot make the folder %1").arg(folder)};
    return folder;
}

QString ScratchFolder::FileSystemType() const
{
    return QString::fromLatin1(QStorageInfo(path).fileSystemType());
}

bool ScratchFolder::IsOurs() const
{
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    const QString temp = QFileInfo(QDir::tempPath()).canonicalFilePath();
    return info.isDir() && !info.isSymLink() && !temp.isEmpty() && info.fileName().startsWith(QLatin1String(Prefix))
        && info.fileName().size() > int(sizeof(Prefix)) && QFileInfo(info.absolutePath()).canonicalFilePath() == temp;
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
