#include "CrashHandler.h"
#include "LanguageChangeCounter.h"
#include "LogHandler.h"
#include "Performance.h"
#include "TestMain.h"
#include "VelApplication.h"
#include "VelSplashScreen.h"

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QWidget>

#include <csignal>

using namespace Orvane;

namespace {

QString Translated()
{
    return QCoreApplication::translate("TestFramework", "Job queue");
}

struct ChildRun
{
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::NormalExit;
    QString output;
};

ChildRun RunChild(const QString &program, const QStringList &arguments)
{
    ChildRun run;
    QProcess child;
    child.start(program, arguments);
    if (!child.waitForFinished(30000)) {
        child.kill();
        child.waitForFinished(5000);
        return run;
    }
    run.exitCode = child.exitCode();
    run.status = child.exitStatus();
    run.output = QString::fromLocal8Bit(child.readAllStandardOutput());
    return run;
}

} // namespace

class TestFramework : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        QSettings settings;
        settings.clear();
        settings.sync();
    }

    void applicationIdentity()
    {
        QVERIFY(VelCoreApplication::instance() != nullptr);
        QCOMPARE(QCoreApplication::organizationName(), QString("Orvane"));
        QCOMPARE(QCoreApplication::applicationVersion(), QString(ZENDRAL_VERSION));
        QCOMPARE(VelCoreApplication::instance()->buildNumber(), QString(ZENDRAL_BUILD_NUMBER));
        QVERIFY(Performance::instance() != nullptr);
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("printed");
        QTest::newRow("help") << QStringList{"-a", "--help"} << 0 << "  -a ";
        QTest::newRow("version") << QStringList{"--version"} << 0
                                 << QString("Zendral %1 (build %2)\n")
                                        .arg(ZENDRAL_VERSION, ZENDRAL_BUILD_NUMBER);
        QTest::newRow("none") << QStringList{} << 3 << "normal";
        QTest::newRow("-a") << QStringList{"-a"} << 3 << "normal";
        QTest::newRow("other case") << QStringList{"--HELP", "-version"} << 3 << "normal";
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, printed);
        const ChildRun run = RunChild(ZENDRAL_FRAMEWORK_CHILD_PATH, arguments);
        QCOMPARE(run.status, QProcess::NormalExit);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.output.contains(printed), qPrintable(run.output));
        // The executable's own path is never taken for an option.
        QCOMPARE(VelCoreApplication::instance()->processCommandLine({"--help"}), -1);
    }

    void availableLanguages()
    {
        const auto languages = VelCoreApplication::availableLanguages();
        QCOMPARE(languages.size(), 3);
        QCOMPARE(languages.at(0), qMakePair(QString(), QString("<Auto>")));
        QCOMPARE(languages.at(1), qMakePair(QString("de"), QString("Deutsch")));
        QCOMPARE(languages.at(2), qMakePair(QString("zh_CN"), QString::fromUtf8("简体中文")));
    }

    void setLanguageSwitchesAndStores()
    {
        VelCoreApplication *app = VelCoreApplication::instance();
        LanguageChangeCounter watcher;

        app->setLanguage("de", true);
        QTRY_VERIFY_WITH_TIMEOUT(watcher.changes > 0, 5000);
        QCOMPARE(Translated(), QString("Auftragswarteschlange"));
        QCOMPARE(VelCoreApplication::availableLanguages().at(0).second, QString("<Automatisch>"));
        QCOMPARE(QSettings().value("language").toString(), QString("de"));

        app->setLanguage("zh_CN", true);
        QCOMPARE(Translated(), QString::fromUtf8("作业队列"));
        QCOMPARE(QSettings().value("language").toString(), QString("zh_CN"));

        // A language without a translation removes the previous one and
        // still tells every window, also when no translator changes at all.
        app->setLanguage("en", true);
        QCOMPARE(Translated(), QString("Job queue"));
        app->setLanguage("xx", true);
        QCoreApplication::processEvents();
        const int before = watcher.changes;
        app->setLanguage("yy", true);
        QTRY_VERIFY_WITH_TIMEOUT(watcher.changes > before, 5000);
        QCOMPARE(QSettings().value("language").toString(), QString("yy"));

        // A country code falls back to its language's translation.
        app->setLanguage("de_AT", true);
        QCOMPARE(Translated(), QString("Auftragswarteschlange"));

        // Empty code with store: the system locale (C here), stored as empty.
        app->setLanguage("", true);
        QCOMPARE(Translated(), QString("Job queue"));
        QVERIFY(QSettings().contains("language"));
        QCOMPARE(QSettings().value("language").toString(), QString());
    }

    void startUpLanguageAppliesStoredChoice()
    {
        VelCoreApplication *app = VelCoreApplication::instance();
        QSettings().setValue("language", "zh_CN");
        app->setLanguage("", false);
        QCOMPARE(Translated(), QString::fromUtf8("作业队列"));
        QCOMPARE(QSettings().value("language").toString(), QString("zh_CN"));

        QSettings().remove("language");
        app->setLanguage("", false);
        QCOMPARE(Translated(), QString("Job queue"));
        QVERIFY(!QSettings().contains("language"));
    }

    void getInt()
    {
        Performance *performance = Performance::instance();
        bool ok = false;
        QCOMPARE(performance->getInt("maxWorkerCount", &ok), 1);
        QVERIFY(ok);
        QCOMPARE(performance->getInt("otherKey"), 0);

        QSettings().setValue("maxWorkerCount", 4);
        QCOMPARE(performance->getInt("maxWorkerCount"), 4);
        QSettings().setValue("maxWorkerCount", "3");
        QCOMPARE(performance->getInt("maxWorkerCount"), 3);
        QSettings().setValue("maxWorkerCount", "many");
        QCOMPARE(performance->getInt("maxWorkerCount", &ok), 1);
        QVERIFY(!ok);
    }

    void menuBar()
    {
        Performance *performance = Performance::instance();
        QPointer<QMenuBar> bar = performance->getMenuBar();
        QVERIFY(bar);
        QCOMPARE(performance->getMenuBar(), bar.data());

        auto *options = bar->findChild<QMenu *>("menuOptions");
        QVERIFY(options);
        QVERIFY(bar->findChild<QMenu *>("menuLanguage"));
        QVERIFY(bar->findChild<QMenu *>("menuLanguage")->actions().isEmpty());
        auto *help = bar->findChild<QMenu *>("menuHelp");
        QVERIFY(help);
        QCOMPARE(bar->actions().size(), 3);
        const QList<QAction *> actions = options->actions();
        QCOMPARE(actions.size(), 4);
        QCOMPARE(actions.at(0)->objectName(), QString("actionConnection_Settings"));
        QCOMPARE(actions.at(1)->objectName(), QString("actionCheck_Updates"));
        QVERIFY(actions.at(2)->isSeparator());
        QCOMPARE(actions.at(3)->objectName(), QString("action_Quit"));
        QVERIFY(help->findChild<QAction *>("actionAbout"));
        QVERIFY(help->actions().contains(help->findChild<QAction *>("actionAbout")));

        // Quit closes the registered main window; without one it does nothing.
        VelCoreApplication::instance()->setMainWindow(nullptr);
        actions.at(3)->trigger();
        {
            QMainWindow window;
            window.show();
            VelCoreApplication::instance()->setMainWindow(&window);
            QCOMPARE(VelCoreApplication::instance()->mainWindow(), &window);
            actions.at(3)->trigger();
            QVERIFY(!window.isVisible());
        }
        QCOMPARE(VelCoreApplication::instance()->mainWindow(), nullptr);

        // A window that took the bar over deleted it: a new one is made.
        delete bar.data();
        QVERIFY(!bar);
        QMenuBar *fresh = performance->getMenuBar();
        QVERIFY(fresh);
        QVERIFY(fresh->findChild<QAction *>("action_Quit"));
    }

    void splashScreen()
    {
        VelSplashScreen splash;
        const QPixmap pixmap = splash.pixmap();
        QVERIFY(!pixmap.isNull());
        QCOMPARE(pixmap.size(), QSize(480, 300));
        // The version text is drawn in the bottom-right corner.
        const QImage image = pixmap.toImage();
        const QRgb background = image.pixel(2, 2);
        bool drawn = false;
        for (int y = 250; y < 300 && !drawn; ++y)
            for (int x = 300; x < 480 && !drawn; ++x)
                drawn = image.pixel(x, y) != background;
        QVERIFY(drawn);
    }

    void crashIsLogged_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("cause");
        QTest::newRow("raised SIGSEGV") << "segv" << int(SIGSEGV) << "SIGSEGV";
        QTest::newRow("abort") << "abort" << int(SIGABRT) << "SIGABRT";
        QTest::newRow("null pointer") << "null" << int(SIGSEGV) << "SIGSEGV";
    }

    void crashIsLogged()
    {
#ifdef Q_OS_WIN
        QSKIP("fatal signals are a POSIX matter");
#endif
        QFETCH(QString, mode);
        QFETCH(int, signal);
        QFETCH(QString, cause);

        // A copy of the child in a folder of its own, so its logs folder is ours.
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString child = dir.filePath(QFileInfo(ZENDRAL_FRAMEWORK_CHILD_PATH).fileName());
        QVERIFY(QFile::copy(ZENDRAL_FRAMEWORK_CHILD_PATH, child));

        for (int run = 1; run <= 2; ++run) {
            const QDate day = QDate::currentDate();
            const ChildRun result = RunChild(child, {mode});
            QCOMPARE(result.status, QProcess::CrashExit);
            QCOMPARE(result.exitCode, signal); // the signal that ended it
            QVERIFY(!result.output.contains("normal"));

            QStringList files = QDir(dir.filePath("logs")).entryList(QDir::Files);
            QCOMPARE(files.size(), 1);
            QVERIFY2(files.first() == Zendral::LogFileName(day)
                         || files.first() == Zendral::LogFileName(QDate::currentDate()),
                     qPrintable(files.first()));
            QFile log(dir.filePath("logs/" + files.first()));
            QVERIFY(log.open(QIODevice::ReadOnly));
            const QStringList lines = QString::fromLocal8Bit(log.readAll()).split('\n', Qt::SkipEmptyParts);
            QStringList causes;
            for (const QString &line : lines)
                if (!line.startsWith(' '))
                    causes << line;
            // One line per crash, appended; backtrace frames are indented.
            QCOMPARE(causes.size(), run);
            QVERIFY2(causes.last().contains(QString(" Fatal: Crash: signal %1 %2").arg(signal).arg(cause)),
                     qPrintable(causes.last()));
            QVERIFY2(causes.last().startsWith(day.toString(Qt::TextDate).section(' ', 0, 2)),
                     qPrintable(causes.last()));
#ifdef __GLIBC__
            QVERIFY(lines.size() > causes.size());
#endif
        }
    }
};

ZENDRAL_VEL_TEST_MAIN(TestFramework)
#include "tst_framework.moc"
