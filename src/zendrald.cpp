// Entry point of zendrald, the headless Zendral service: no window, no
// display, no widget or GUI library. It starts the service at once and runs
// until SIGTERM or SIGINT, which stop it cleanly (engines stopped, listener
// closed, the queue's last backup written; exit status 0). Under systemd it
// reports readiness and status (ServiceNotifier). When the port cannot be
// taken it tries kMaxFailedStarts times, kRetryMs apart, then exits with
// status 1 and the reason, so that the service manager can restart it.
#include "CrashHandler.h"
#include "QuitSignalNotifier.h"
#include "ServiceCore.h"
#include "ServiceNotifier.h"
#include "ServiceSettings.h"
#include "ServiceStartup.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QTextStream>

#include <cstdio>

namespace {

using Orvane::Zendral::ServiceCore;
using Orvane::Zendral::ServiceNotifier;
using Orvane::Zendral::ServiceSettings;
using Orvane::Zendral::ServiceStartup;

// Starts that may fail in a row, and the wait between them: about 10 s.
const int kMaxFailedStarts = 3;
const int kRetryMs = 5000;

// The program's options; exits for --help, --version and bad options.
void ParseOptions(QCoreApplication &app, QCommandLineParser &parser, QCommandLineOption &config,
                  QCommandLineOption &stateConfig)
{
    parser.setApplicationDescription(QStringLiteral(
        "The Zendral job service without a window: serves the client protocol and runs\n"
        "the nesting engine on waiting jobs until it is stopped (SIGTERM or SIGINT)."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(config);
    parser.addOption(stateConfig);
    parser.process(app);
}

// The settings: --config FILE (read, and written unless --state-config
// names the file for the written keys), else the per-user store.
ServiceSettings OpenSettings(const QCommandLineParser &parser, const QCommandLineOption &config,
                             const QCommandLineOption &stateConfig)
{
    if (parser.isSet(config) && parser.isSet(stateConfig))
        return ServiceSettings::FromFiles(parser.value(config), parser.value(stateConfig));
    if (parser.isSet(config))
        return ServiceSettings::FromFile(parser.value(config));
    if (parser.isSet(stateConfig))
        return ServiceSettings::FromFile(parser.value(stateConfig));
    return ServiceSettings::UserSettings();
}

// Runs the service until a stop signal, the updater's hand-over, or the
// given-up start (exit status 1).
int RunService(QCoreApplication &app, ServiceSettings &settings)
{
    int exitCode = 0;
    ServiceCore core(settings, true);
    core.SetRetryIntervalMs(kRetryMs);
    core.SetMaxFailedStarts(kMaxFailedStarts);
    ServiceNotifier notifier(core);
    Orvane::QuitSignalNotifier quitSignals;
    QObject::connect(&quitSignals, &Orvane::QuitSignalNotifier::quitRequested, &core,
                     [&core, &notifier](int number) {
                         qInfo("Stopping on signal %d", number);
                         notifier.Stopping();
                         core.OnStopServer();
                         QCoreApplication::quit();
                     });
    // Queued: the first start runs inside Launch(), before the event loop.
    QObject::connect(&core, &ServiceCore::startsGivenUp, &app,
                     [&exitCode, &notifier](const QString &reason) {
                         qCritical().noquote() << "Giving up after" << kMaxFailedStarts
                                               << "failed starts:" << reason;
                         exitCode = 1;
                         notifier.Stopping();
                         QCoreApplication::exit(1);
                     }, Qt::QueuedConnection);
    // An update hand-over ends the program (the updater restarts it).
    QObject::connect(&core, &ServiceCore::quitRequested, &app, &QCoreApplication::quit);
    if (core.Launch())
        app.exec();
    if (exitCode == 0)
        notifier.Stopping();
    return exitCode;
}

} // namespace

int main(int argc, char *argv[])
{
    ServiceStartup::MakeFilesPrivate();
    ServiceStartup::ReadTimeZoneOnce();
    // Qt's own event dispatcher, not GLib's: the sessions block in their
    // sockets' waitFor calls, and with GLib's dispatcher every reply written
    // also signalled the session thread's (never polled) GLib context, one
    // more system call per request. Nothing here needs GLib's loop.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    // The same names as the window, so that both use one settings store and
    // one data folder (Orvane/Zendral).
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setApplicationName(QStringLiteral("Zendral"));
    QCoreApplication::setApplicationVersion(
        QStringLiteral("%1 (build %2)").arg(QStringLiteral(ZENDRAL_VERSION), QStringLiteral(ZENDRAL_BUILD_NUMBER)));

    QCommandLineParser parser;
    QCommandLineOption config(QStringLiteral("config"),
                              QStringLiteral("Read the settings from this INI file instead of the per-user "
                                             "settings (and write the service's own keys there, unless "
                                             "--state-config is given)."),
                              QStringLiteral("file"));
    QCommandLineOption stateConfig(QStringLiteral("state-config"),
                                   QStringLiteral("Write the keys the service writes itself to this INI file; "
                                                  "a key the --config file does not set is read from it too."),
                                   QStringLiteral("file"));
    ParseOptions(app, parser, config, stateConfig);

    ServiceSettings settings = OpenSettings(parser, config, stateConfig);
    ServiceStartup::MakeDataFolderPrivate();
    const QString logFolder = ServiceStartup::StartLogging(QStringLiteral("zendrald"), settings.Read());
    Orvane::CrashHandler::instance()->Init(logFolder);
    qInfo().noquote() << "Settings:" << settings.FileName();
    if (settings.WrittenFileName() != settings.FileName())
        qInfo().noquote() << "Settings written by the service:" << settings.WrittenFileName();

    const int exitCode = RunService(app, settings);
    qInfo("zendrald stopped");
    return exitCode;
}
