#include "NativePath.h"

#include <QDir>
#include <QFile>

namespace Orvane {
namespace Zendral {

std::string NativePath(const QString &path)
{
#ifdef Q_OS_WIN
    // Windows paths are UTF-16; the platform layer takes them as UTF-8 and
    // converts them back, so no character is lost to the ANSI code page.
    return QDir::toNativeSeparators(path).toStdString();
#else
    return QFile::encodeName(path).toStdString();
#endif
}

} // namespace Zendral
} // namespace Orvane
