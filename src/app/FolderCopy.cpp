#include "FolderCopy.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace Orvane {
namespace Zendral {

namespace {

// Windows file names ignore case; elsewhere they do not.
#ifdef Q_OS_WIN
const Qt::CaseSensitivity kPathCase = Qt::CaseInsensitive;
#else
const Qt::CaseSensitivity kPathCase = Qt::CaseSensitive;
#endif

QString cleanAbsolute(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// True when path lies strictly below folder (both clean and absolute).
bool isInside(const QString &path, const QString &folder)
{
    if (folder.isEmpty())
        return false;
    const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    return path.length() > prefix.length() && path.startsWith(prefix, kPathCase);
}

bool samePath(const QString &a, const QString &b)
{
    return a.compare(b, kPathCase) == 0;
}

// Removes one file or link (never what a link points to). A read-only file
// is made writable first, as Windows refuses to delete it otherwise.
bool removeEntry(const QFileInfo &entry)
{
    const QString path = entry.absoluteFilePath();
#ifdef Q_OS_WIN
    if (entry.isJunction())
        return QDir().rmdir(path);
#endif
    if (QFile::remove(path))
        return true;
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
    return QFile::remove(path);
}

} // namespace

bool isSafeDeletionTarget(const QString &path)
{
    if (path.trimmed().isEmpty())
        return false;
    const QString target = cleanAbsolute(path);
    if (QFileInfo(target).isRoot())
        return false;
    // Neither the home folder nor any folder that holds it.
    const QString home = cleanAbsolute(QDir::homePath());
    if (samePath(target, home) || isInside(home, target))
        return false;
    const QString temp = cleanAbsolute(QDir::tempPath());
    if (!isInside(target, temp))
        return false;
    // A link on the way must not lead the deletion out of the temporary folder.
    const QString real = QFileInfo(target).canonicalFilePath();
    const QString realTemp = QFileInfo(temp).canonicalFilePath();
    if (!real.isEmpty() && !isInside(real, realTemp))
        return false;
    return true;
}

// The only caller deletes the temporary copy of the installation, so every
// target outside the temporary folder is refused: a wrong path must never
// wipe anything else. Links are removed themselves, never followed.
bool removeFolderTree(const QString &path)
{
    if (!isSafeDeletionTarget(path)) {
        qWarning().noquote() << "refuse to delete the folder tree at" << path;
        return false;
    }
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return true;
    if (!info.isDir() || info.isSymLink())
        return removeEntry(info);

    // Hidden and system entries are included, or they would keep the folder.
    const QDir dir(path);
    const QFileInfoList entries = dir.entryInfoList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Unsorted);
    for (const QFileInfo &entry : entries) {
        const bool ok = (entry.isDir() && !entry.isSymLink())
            ? removeFolderTree(entry.absoluteFilePath())
            : removeEntry(entry);
        if (!ok)
            return false;
    }
    return info.absoluteDir().rmdir(info.fileName());
}

bool backup(const QString &source, const QString &target)
{
    // A target inside the source would copy itself without end.
    const QString from = cleanAbsolute(source);
    const QString to = cleanAbsolute(target);
    if (samePath(from, to) || isInside(to, from)) {
        qWarning().noquote() << "refuse to copy" << source << "into itself:" << target;
        return false;
    }

    const QFileInfo targetInfo(target);
    if (targetInfo.exists() || targetInfo.isSymLink())
        removeFolderTree(target); // a failure shows in mkdir below
    if (!targetInfo.absoluteDir().mkdir(targetInfo.fileName()))
        return false;

    const QFileInfoList entries =
        QDir(source).entryInfoList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo &entry : entries) {
        const QString from_path = source + QLatin1Char('/') + entry.fileName();
        const QString to_path = target + QLatin1Char('/') + entry.fileName();
        if (entry.isDir() && !entry.isSymLink()) {
            if (!backup(from_path, to_path))
                return false;
        } else if (entry.isFile()) {
            if (!QFile::copy(from_path, to_path))
                return false;
        } else {
            // Links to folders are not followed: they could lead in a circle.
            qWarning().noquote() << "Unhandled item" << from_path << "in cpDir";
        }
    }
    return true;
}

} // namespace Zendral
} // namespace Orvane
