// Keeps every test's settings inside its own folder of the build tree.
//
// On Linux and macOS the CTest registration already does so through HOME and
// the XDG variables. On Windows the settings store is the registry, which no
// environment variable redirects: there the tests' settings go to INI files
// in the folder that CTest names in ZENDRAL_TEST_CONFIG, so that no test can
// read or overwrite the operator's real settings.
#include <QCoreApplication>
#include <QSettings>

namespace {

void isolateSettings()
{
#ifdef Q_OS_WIN
    const QString folder = qEnvironmentVariable("ZENDRAL_TEST_CONFIG");
    if (folder.isEmpty())
        qFatal("ZENDRAL_TEST_CONFIG is not set: run the tests through CTest");
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder);
    QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, folder);
#endif
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(isolateSettings)
