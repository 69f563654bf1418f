// Entry point of zendrald, the headless Zendral service: no window, no
// display, no widget or GUI library. It starts the service at once and runs
// until SIGTERM or SIGINT, which stop it cleanly (engines stopped, listener
// closed, the queue's last backup written; exit status 0).
#include "CrashHandler.h"
#include "QuitSignalNotifier.h"
#include "ServiceCore.h"
#include "ServiceSettings.h"
#include "ServiceStartup.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QTextStream>

#include <cstdio>

namespace {

using Orvane::Zendral::ServiceCore;
using Orvane::Zendral::ServiceStartup;

// The program's options; exits for --help, --version and bad options.
void ParseOptions(QCoreApplication &app, QCommandLineParser &parser, QCommandLineOption &config)
{
    parser.setApplicationDescription(QStringLiteral(
        "The Zendral job service without a window: serves the client protocol and runs\n"
        "the nesting engine on waiting jobs until it is stopped (SIGTERM or SIGINT)."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(config);
    parser.process(app);
}

} // namespace

int main(int argc, char *argv[])
{
    ServiceStartup::MakeFilesPrivate();
    QCoreApplication app(argc, argv);
    // The same names as the window, so that both use one settings store and
    // one data folder (Orvane/Zendral).
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setApplicationName(QStringLiteral("Zendral"));
    QCoreApplication::setApplicationVersion(
        QStringLiteral("%1 (build %2)").arg(QStringLiteral(ZENDRAL_VERSION), QStringLiteral(ZENDRAL_BUILD_NUMBER)));

    QCommandLineParser parser;
    QCommandLineOption config(QStringLiteral("config"),
                              QStringLiteral("Read and write the settings in this INI file instead of the "
                                             "per-user settings."),
                              QStringLiteral("file"));
    ParseOptions(app, parser, config);

    ServiceStartup::MakeDataFolderPrivate();
    const QString logFolder = ServiceStartup::StartLogging(QStringLiteral("zendrald"));
    Orvane::CrashHandler::instance()->Init(logFolder);

    // The settings file given, else the per-user settings store.
    Orvane::Zendral::ServiceSettings settings = parser.isSet(config)
        ? Orvane::Zendral::ServiceSettings::FromFile(parser.value(config))
        : Orvane::Zendral::ServiceSettings::UserSettings();
    qInfo().noquote() << "Settings:" << settings.FileName();

    int exitCode = 0;
    {
        ServiceCore core(settings, true);
        Orvane::QuitSignalNotifier quitSignals;
        QObject::connect(&quitSignals, &Orvane::QuitSignalNotifier::quitRequested, &core, [&core](int number) {
            qInfo("Stopping on signal %d", number);
            core.OnStopServer();
            QCoreApplication::quit();
        });
        // An update hand-over ends the program (the updater restarts it).
        QObject::connect(&core, &ServiceCore::quitRequested, &app, &QCoreApplication::quit);
        if (core.Launch())
            exitCode = app.exec();
    }
    qInfo("zendrald stopped");
    return exitCode;
}
