#include "ZendralService.h"

#include "BenchFailure.h"
#include "MetricsProbe.h"
#include "PortProbe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QSettings>

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
constexpr int ReadyWaitMs = 30000;
} // namespace

ZendralService::ZendralService(const QString &program, const QString &root)
    : program(program)
    , root(root)
    , process(QStringLiteral("zendral"))
{
}

QString ZendralService::JobsFolder() const
{
    return QDir(root).filePath(QStringLiteral("data/Orvane/Zendral/JOBS"));
}

void ZendralService::WriteSettings()
{
    // The file the service reads: <XDG_CONFIG_HOME>/Orvane/Zendral.conf.
    QSettings settings(QDir(root).filePath(QStringLiteral("config/Orvane/Zendral.conf")), QSettings::IniFormat);
    settings.setValue(QStringLiteral("maxWorkerCount"), 0);
    settings.setValue(QStringLiteral("worker/port"), port);
    settings.setValue(QStringLiteral("http/port"), httpPort);
    settings.setValue(QStringLiteral("http/listen"), QStringLiteral("127.0.0.1"));
    for (auto it = extraSettings.cbegin(); it != extraSettings.cend(); ++it)
        settings.setValue(it.key(), it.value());
    settings.sync();
    if (settings.status() != QSettings::NoError)
        throw BenchFailure{QStringLiteral("cannot write the settings file %1").arg(settings.fileName())};
}

void ZendralService::Start(const QStringList &wrapper)
{
    const QDir folder(root);
    for (const char *sub : {"home", "config/Orvane", "data", "cache", "runtime", "tmp"}) {
        if (!folder.mkpath(QLatin1String(sub)))
            throw BenchFailure{QStringLiteral("cannot make %1").arg(folder.filePath(QLatin1String(sub)))};
    }
    // Qt wants the runtime folder to be private.
    QFile::setPermissions(folder.filePath(QStringLiteral("runtime")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    port = PortProbe::FreePort();
    do
        httpPort = PortProbe::FreePort();
    while (httpPort == port);
    WriteSettings();

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("HOME"), folder.filePath(QStringLiteral("home")));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), folder.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), folder.filePath(QStringLiteral("data")));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), folder.filePath(QStringLiteral("cache")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), folder.filePath(QStringLiteral("runtime")));
    environment.insert(QStringLiteral("TMPDIR"), folder.filePath(QStringLiteral("tmp")));
    // The service's outward-address probe stays on this machine.
    environment.insert(QStringLiteral("ZENDRAL_PROBE_HOST"), QStringLiteral("127.0.0.1"));
    for (auto it = extraEnvironment.cbegin(); it != extraEnvironment.cend(); ++it)
        environment.insert(it.key(), it.value());

    QStringList arguments = wrapper;
    arguments << program;
    // The windowed program starts the service only when told to (-a);
    // zendrald always does. completeBaseName() drops ".exe" on Windows.
    if (QFileInfo(program).completeBaseName() == QLatin1String("zendral"))
        arguments << QStringLiteral("-a");
    const QString first = arguments.takeFirst();
    process.Start(first, arguments, environment, root, folder.filePath(QStringLiteral("service.log")),
                  !wrapper.isEmpty());
    try {
        PortProbe::WaitAccepting(port, ReadyWaitMs, [this] { return process.IsRunning(); },
                                 QStringLiteral("the Zendral service"));
    } catch (const BenchFailure &failure) {
        throw BenchFailure{failure.message + QLatin1Char('\n') + process.LogTail()};
    }
}

qint64 ZendralService::JournalFlushes() const
{
    return MetricsProbe::Counter(httpPort, "zendral_store_commit_seconds_count");
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
