#include "ServiceStartup.h"

#include "LogHandler.h"
#include "NativePath.h"
#include "Platform.h"

#include <QCoreApplication>
#include <QDebug>
#include <QStandardPaths>

namespace Orvane {
namespace Zendral {

void ServiceStartup::MakeFilesPrivate()
{
    Platform::MakeNewFilesPrivate(); // on Windows the per-user data folder is private already
}

void ServiceStartup::MakeDataFolderPrivate()
{
    Platform::MakeFolderPrivate(NativePath(QStandardPaths::writableLocation(QStandardPaths::DataLocation)));
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
