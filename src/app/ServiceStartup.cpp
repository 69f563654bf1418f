#include "ServiceStartup.h"

#include "LogHandler.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QStandardPaths>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace Orvane {
namespace Zendral {

void ServiceStartup::MakeFilesPrivate()
{
#ifdef Q_OS_UNIX
    ::umask(077); // on Windows the per-user data folder is private already
#endif
}

void ServiceStartup::MakeDataFolderPrivate()
{
    QFile::setPermissions(QStandardPaths::writableLocation(QStandardPaths::DataLocation),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QString ServiceStartup::StartLogging(const QString &program)
{
    qInstallMessageHandler(LogMessageHandler);
    const QString logFolder = SetUpLogFolder(QCoreApplication::applicationDirPath());
    qInfo().noquote() << program << QCoreApplication::applicationVersion() << "starting; log folder" << logFolder;
    return logFolder;
}

} // namespace Zendral
} // namespace Orvane
