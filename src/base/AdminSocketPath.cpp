#include "AdminSocketPath.h"

#include <QDir>
#include <QStandardPaths>

namespace Orvane {
namespace Zendral {

QString AdminSocketPath::Resolve(const QString &setting)
{
    const QString name = QStringLiteral("zendral-admin");
    if (!setting.trimmed().isEmpty())
        return setting.trimmed();
#ifdef Q_OS_WIN
    // A local server's name is a named pipe there (\\.\pipe\zendral-admin),
    // not a file in a folder.
    return name;
#else
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return folder.isEmpty() ? QDir::temp().filePath(name) : QDir(folder).filePath(name);
#endif
}

} // namespace Zendral
} // namespace Orvane
