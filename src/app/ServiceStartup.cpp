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

void ServiceStartup::ReadTimeZoneOnce()
{
    Platform::ReadTimeZoneOnce();
}

void ServiceStartup::MakeDataFolderPrivate()
{
    Platform::MakeFolderPrivate(NativePath(QStandardPaths::writableLocation(QStandardPaths::DataLocation)));
}

QString ServiceStartup::StartLogging(const QString &program, const ServiceConfig &config)
{
    LogOptions options;
    options.journal = StandardErrorIsJournal();
    options.debug = config.LogDebug();
    options.files = config.LogFiles();
#ifdef NDEBUG
    options.sourceInfo = false; // the build tree's paths mean nothing to an operator
#endif
    SetLogOptions(options);
    qInstallMessageHandler(LogMessageHandler);
    const QString logFolder = SetUpLogFolder(QCoreApplication::applicationDirPath());
    qInfo().noquote() << program << QCoreApplication::applicationVersion() << "starting;"
                      << (options.files ? QStringLiteral("log folder ") + logFolder : QStringLiteral("no log files"));
    return logFolder;
}

} // namespace Zendral
} // namespace Orvane
