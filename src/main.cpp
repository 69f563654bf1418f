// Entry point of the Zendral service: command line, application object, log
// handler, splash screen, the service window, the background updater launch,
// the event loop, and a clean end on SIGTERM or SIGINT.
#include "ClusterImport.h"
#include "CrashHandler.h"
#include "LocalMainWindow.h"
#include "ServiceSettings.h"
#include "ServiceStartup.h"
#include "QuitSignalNotifier.h"
#include "VelApplication.h"
#include "VelSplashScreen.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QMessageBox>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <QTextStream>

#include <exception>
#include <memory>

namespace {

// The short product name the updater knows the program by.
QString shortProductName(const QString &applicationName)
{
    const QStringList parts = applicationName.split(QLatin1Char(' '), Qt::KeepEmptyParts);
    QString name = parts.value(0);
    if (name.compare(QLatin1String("vel"), Qt::CaseInsensitive) == 0)
        name = parts.value(1);
    return name;
}

// The version times ten, truncated ("2.3" gives 23, "2.35" gives 23, a text
// that is not a number 0). The small allowance keeps 2.3 * 10 from
// truncating to 22 through binary rounding.
int versionTimesTen(const QString &version)
{
    bool ok = false;
    const double value = version.toDouble(&ok);
    if (!ok)
        return 0;
    return static_cast<int>(value * 10 + (value >= 0 ? 1e-9 : -1e-9));
}

// Starts the updater beside the executable, detached, with the positional
// start-up arguments; a missing updater is simply not started.
void launchUpdater(const Orvane::VelApplication &app)
{
#ifdef Q_OS_WIN
    const QString suffix = QStringLiteral(".exe"); // Windows executables carry the suffix
#else
    const QString suffix; // elsewhere executables have none
#endif
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/VelUpdate") + suffix;
    if (!QFileInfo(program).isFile())
        return;
    const QString second = app.updaterSecondText();
    const QString language = QSettings().value(QStringLiteral("language"), QLocale::system().name()).toString();
    const QStringList arguments{
        QCoreApplication::applicationFilePath(),
        shortProductName(QCoreApplication::applicationName()),
        QString::number(versionTimesTen(QCoreApplication::applicationVersion())),
        app.buildNumber(),
        app.updaterFirstText(),
        second.isEmpty() ? QStringLiteral(" ") : second,
        language};
    QProcess::startDetached(program, arguments);
}

QStringList argumentList(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

} // namespace

int main(int argc, char *argv[])
{
    Orvane::Zendral::ServiceStartup::MakeFilesPrivate();
    Orvane::Zendral::ServiceStartup::ReadTimeZoneOnce();
    // "--help" and "--version" are answered before the widget application
    // exists: building it needs a display, and these must work without one
    // (on a server, in a package check). Nothing is logged for them.
    QCoreApplication::setApplicationName(QStringLiteral("Zendral"));
    const int handled = Orvane::VelCoreApplication::processCommandLine(argumentList(argc, argv));
    if (handled != -1)
        return handled;
    // Moving this machine's queue into the shared queue needs no window.
    if (argumentList(argc, argv).contains(QStringLiteral("--import-queue"))) {
        QCoreApplication core(argc, argv);
        QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
        QCoreApplication::setApplicationName(QStringLiteral("Zendral"));
        QTextStream out(stdout);
        return Orvane::Zendral::ClusterImport::Run(out, Orvane::Zendral::ServiceSettings::UserSettings().Read());
    }

    Orvane::VelApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Zendral"));
    Orvane::Zendral::ServiceStartup::MakeDataFolderPrivate();
    const QString logFolder = Orvane::Zendral::ServiceStartup::StartLogging(
        QStringLiteral("Zendral"), Orvane::Zendral::ServiceSettings::UserSettings().Read());

    // The list without the options the application object has taken.
    const QStringList arguments = argumentList(argc, argv);
    app.setLanguage(QString(), false);
    // Only the exact, whole argument counts.
    const bool autoStart = arguments.contains(QStringLiteral("-a"), Qt::CaseSensitive);

    int exitCode = -1;
    std::unique_ptr<Orvane::VelSplashScreen> splash;
    std::unique_ptr<Orvane::Zendral::LocalMainWindow> window;
    // SIGTERM (systemd, kill) and SIGINT (Ctrl+C) close the window as the
    // operator would: engines stopped, listener closed, and after the event
    // loop the queue's last backup written; the exit status is 0.
    // A signal may arrive before the event loop runs (start-up processes
    // events while the splash screen waits for the window); quit() would be
    // lost then, so the loop is not entered at all.
    bool stopRequested = false;
    Orvane::QuitSignalNotifier quitSignals;
    QObject::connect(&quitSignals, &Orvane::QuitSignalNotifier::quitRequested,
                     [&window, &stopRequested](int number) {
                         qInfo("Stopping on signal %d", number);
                         stopRequested = true;
                         if (window)
                             window->CloseWithoutAsking();
                         QCoreApplication::quit();
                     });
    try {
        Orvane::CrashHandler::instance()->Init(logFolder);
        splash.reset(new Orvane::VelSplashScreen(nullptr));
        splash->show();
        window.reset(new Orvane::Zendral::LocalMainWindow(autoStart));
        const bool runLoop = window->Launch();
        launchUpdater(app);
        splash->finish(window.get());
        if (runLoop)
            exitCode = stopRequested ? 0 : app.exec();
    } catch (const std::exception &error) {
        QMessageBox::critical(nullptr, QCoreApplication::translate("Orvane::VelApplication", "Fatal Error "),
                              QString::fromUtf8(error.what()), QMessageBox::Ok);
    } catch (...) {
        QMessageBox::critical(nullptr, QCoreApplication::translate("Orvane::VelApplication", "Unknown Error"),
                              QCoreApplication::translate("Orvane::VelApplication", "An unrecoverable error has occurred. Please contact your vendor for support."),
                              QMessageBox::Ok);
    }
    window.reset();
    splash.reset();
    return exitCode;
}
