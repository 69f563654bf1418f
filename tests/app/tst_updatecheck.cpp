// The update check against the stand-in updater, copied as the updater into
// this test's own executable folder, and the folder copy and deletion that
// the installation uses.
#include "ServiceController.h"
#include "TestSettings.h"
#include "FolderCopy.h"
#include "TestMain.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <memory>

using Orvane::Zendral::ServiceController;
using Orvane::Zendral::backup;
using Orvane::Zendral::removeFolderTree;

namespace {

class UpdateWindow : public ServiceController
{
public:
    explicit UpdateWindow(bool autoStart = false) : ServiceController(TestSettings::userSettings(), autoStart)
    {
        connect(this, &ServiceController::quitRequested, this, [this] { ++quitRequests; });
    }

    using ServiceController::checkUpdate;
    using ServiceController::OnStartServer;
    using ServiceController::UpdaterPath;

    void setUpdaterTimeout(int ms) { updaterTimeoutMs = ms; }
    int pickTimer() const { return pickTimerId; }
    int autoUpdateTimer() const { return autoUpdateTimerId; }

    QList<QPair<QString, QString>> jobs; // id, file path
    int stopCalls = 0;
    int quitRequests = 0; // the updater took over: the program is to end
    int nextJobCalls = 0;
    QStringList events;

protected:
    bool OnJobUpdateData(const QJsonObject &) override { return true; }
    int MaxWorkerCount() override { return 1; }
    int StartServer() override { return 1; }
    void StopServer() override { ++stopCalls; }
    void ResetServer() override {}
    void JobStarted(QByteArray job_id) override { events << QStringLiteral("started ") + job_id; }
    void JobFinished(QByteArray job_id, int exit_code, const QString &, bool, const QString &) override
    {
        events << QStringLiteral("finished %1 %2").arg(QString::fromLatin1(job_id)).arg(exit_code);
        if (exit_code == 0 && !jobs.isEmpty() && jobs.first().first == QString::fromLatin1(job_id))
            jobs.removeFirst();
    }
    void JobUpdated(QByteArray, const QJsonObject &) override {}
    Orvane::Zendral::PickedJob NextJob() override
    {
        ++nextJobCalls;
        if (ActiveRunCount() >= 1 || jobs.isEmpty())
            return {};
        return {jobs.first().first, jobs.first().second, 3, QString()};
    }
};

// Relative path and contents of every file below root, sorted.
QStringList treeListing(const QString &root)
{
    QStringList listing;
    QDirIterator it(root, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QString line = QDir(root).relativeFilePath(path);
        if (it.fileInfo().isFile()) {
            QFile f(path);
            f.open(QIODevice::ReadOnly);
            line += QLatin1Char('=') + QString::fromUtf8(f.readAll());
        }
        listing << line;
    }
    listing.sort();
    return listing;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

} // namespace

class TestUpdateCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void missingUpdaterStopsAutomaticChecks();
    void noUpdateRunsCheckCommandLine();
    void hungUpdaterCountsAsNoUpdate();
    void updateAtStartUpInstallsFromCopy();
    void updateWaitsForActiveRuns();
    void failedHandOverKeepsServing_data();
    void failedHandOverKeepsServing();
    void autoUpdateTimerRunsCheck();
    void staleCopyIsNeverRun();

    void backupCopiesAndReplacesTree();
    void backupRefusesTargetInsideSource();
    void removeFolderTreeStaysInsideTemporaryFolder();

private:
    void installUpdater(int exit_code);
    QList<QJsonObject> recordedRuns() const;
    QString copyFolder() const;

    QString appDir;
    QScopedPointer<QTemporaryDir> dir;
    QString record;
};

void TestUpdateCheck::initTestCase()
{
#ifndef ZENDRAL_STUB_UPDATER_PATH
    QSKIP("the stand-in updater is not built");
#endif
    appDir = QCoreApplication::applicationDirPath();
    QCOMPARE(QFileInfo(appDir).fileName(), QStringLiteral("tst_updatecheck"));
}

void TestUpdateCheck::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
    record = dir->filePath(QStringLiteral("record.jsonl"));
    qputenv("ZENDRAL_STUB_UPDATER_RECORD", record.toUtf8());
    qunsetenv("ZENDRAL_STUB_UPDATER_SLEEP_MS");
    qunsetenv("ZENDRAL_STUB_UPDATER_EXIT");
    QSettings settings;
    settings.clear();
    settings.setValue(QStringLiteral("config/pick_job_interval"), 1);
#ifdef ZENDRAL_STUB_ENGINE_PATH
    settings.setValue(QStringLiteral("worker/engine"), QStringLiteral(ZENDRAL_STUB_ENGINE_PATH));
#endif
    QFile::remove(UpdateWindow::UpdaterPath(appDir));
}

void TestUpdateCheck::cleanup()
{
    QFile::remove(UpdateWindow::UpdaterPath(appDir));
    // The installation copy lies in this test's own temporary folder.
    if (QFileInfo::exists(copyFolder()))
        QVERIFY(removeFolderTree(copyFolder()));
    dir.reset();
}

QString TestUpdateCheck::copyFolder() const
{
    return QDir::tempPath() + QStringLiteral("/Zendral");
}

void TestUpdateCheck::installUpdater(int exit_code)
{
#ifdef ZENDRAL_STUB_UPDATER_PATH
    const QString target = UpdateWindow::UpdaterPath(appDir);
    QFile::remove(target);
    QVERIFY(QFile::copy(QStringLiteral(ZENDRAL_STUB_UPDATER_PATH), target));
    qputenv("ZENDRAL_STUB_UPDATER_EXIT", QByteArray::number(exit_code));
#else
    Q_UNUSED(exit_code);
#endif
}

QList<QJsonObject> TestUpdateCheck::recordedRuns() const
{
    QList<QJsonObject> runs;
    QFile f(record);
    if (!f.open(QIODevice::ReadOnly))
        return runs;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (!line.isEmpty())
            runs << QJsonDocument::fromJson(line).object();
    }
    return runs;
}

static QStringList argumentsOf(const QJsonObject &run)
{
    QStringList list;
    for (const QJsonValue &v : run.value(QStringLiteral("arguments")).toArray())
        list << v.toString();
    return list;
}

void TestUpdateCheck::missingUpdaterStopsAutomaticChecks()
{
    UpdateWindow w;
    QVERIFY(w.autoUpdateTimer() != -1);
    QVERIFY(w.Launch());
    QCOMPARE(w.autoUpdateTimer(), -1);
    QVERIFY(!w.checkUpdate()); // the menu check answers the same
    QVERIFY(recordedRuns().isEmpty());
    QCOMPARE(w.quitRequests, 0); // still serving
    w.OnStopServer();
}

void TestUpdateCheck::noUpdateRunsCheckCommandLine()
{
    installUpdater(0);
    UpdateWindow w;
    QVERIFY(!w.checkUpdate());
    const QList<QJsonObject> runs = recordedRuns();
    QCOMPARE(runs.size(), 1);
    QCOMPARE(runs[0].value(QStringLiteral("program")).toString(), UpdateWindow::UpdaterPath(appDir));
    QCOMPARE(argumentsOf(runs[0]),
             QStringList({"-t", "Zendral", "-d", appDir, "-s", "-c"}));
    QVERIFY(w.autoUpdateTimer() != -1);
    QCOMPARE(w.stopCalls, 0);
    QCOMPARE(w.quitRequests, 0); // still serving
    w.OnStopServer();
}

void TestUpdateCheck::hungUpdaterCountsAsNoUpdate()
{
    installUpdater(1);
    qputenv("ZENDRAL_STUB_UPDATER_SLEEP_MS", "30000");
    UpdateWindow w;
    w.setUpdaterTimeout(500);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!w.checkUpdate());
    QVERIFY2(clock.elapsed() < 10000, "the check waited for the hung updater");
    QCOMPARE(recordedRuns().size(), 1); // it did start
    QVERIFY(!QFileInfo::exists(copyFolder()));
    QCOMPARE(w.quitRequests, 0); // still serving
    w.OnStopServer();
}

void TestUpdateCheck::updateAtStartUpInstallsFromCopy()
{
    installUpdater(1);
    QVERIFY(writeFile(copyFolder() + QStringLiteral("/stale/old.txt"), "old copy"));
    UpdateWindow w;
    QVERIFY(!w.Launch());
    QCOMPARE(w.quitRequests, 1);
    QCOMPARE(w.stopCalls, 1); // the service stopped before the hand-over
    QCOMPARE(w.autoUpdateTimer(), -1);

    QVERIFY(!QFileInfo::exists(copyFolder() + QStringLiteral("/stale")));
    QVERIFY(QFileInfo(UpdateWindow::UpdaterPath(copyFolder())).isFile());
    QVERIFY(QFileInfo(copyFolder() + QStringLiteral("/tst_updatecheck")).isFile());

    QTRY_COMPARE_WITH_TIMEOUT(recordedRuns().size(), 2, 10000);
    const QJsonObject install = recordedRuns().at(1);
    QCOMPARE(QFileInfo(install.value(QStringLiteral("program")).toString()).canonicalFilePath(),
             QFileInfo(UpdateWindow::UpdaterPath(copyFolder())).canonicalFilePath());
    QCOMPARE(argumentsOf(install),
             QStringList({"-t", "Zendral", "-d", appDir, "-s", "-e", "\"-a\""}));
}

void TestUpdateCheck::updateWaitsForActiveRuns()
{
#ifndef ZENDRAL_STUB_ENGINE_PATH
    QSKIP("the stand-in engine is not built");
#endif
    qputenv("ZENDRAL_STUB_MODE", "normal");
    qputenv("ZENDRAL_STUB_MESSAGES", "3");
    qputenv("ZENDRAL_STUB_PAUSE_MS", "300");
    qputenv("ZENDRAL_STUB_EXIT", "0");
    UpdateWindow w;
    for (int i = 0; i < 2; ++i) {
        const QString path = dir->filePath(QStringLiteral("job%1.xml").arg(i));
        QVERIFY(writeFile(path, "<MARKER_DOCUMENT/>"));
        w.jobs << qMakePair(QUuid::createUuid().toString(), path);
    }
    const QString first = w.jobs[0].first;
    const QString second = w.jobs[1].first;
    w.OnStartServer();
    QCOMPARE(w.ActiveRunCount(), 1);

    installUpdater(1);
    QVERIFY(w.checkUpdate());
    // The active run ended as usual before the hand-over; no new one began.
    QCOMPARE(w.events, QStringList({"started " + first, "finished " + first + " 0"}));
    QVERIFY(!w.events.join(QLatin1Char(' ')).contains(second));
    QCOMPARE(w.ActiveRunCount(), 0);
    QCOMPARE(w.pickTimer(), -1);
    QCOMPARE(w.quitRequests, 1);
    QCOMPARE(w.stopCalls, 1);
    QTRY_COMPARE_WITH_TIMEOUT(recordedRuns().size(), 2, 10000);
    QCOMPARE(argumentsOf(recordedRuns().at(1)).mid(4), QStringList({"-s", "-e", "\"-a\""}));
}

// When the updater cannot be started from the copy, closing would end the
// service with nobody to bring it back: it goes on serving instead. Both
// cases keep any copy away from the file system's root even if the guard
// failed: the name's parent folder does not exist anywhere.
void TestUpdateCheck::failedHandOverKeepsServing_data()
{
    QTest::addColumn<bool>("missingTemp");
    QTest::newRow("copy cannot be made") << false;
    QTest::newRow("temporary folder missing") << true;
}

void TestUpdateCheck::failedHandOverKeepsServing()
{
    QFETCH(bool, missingTemp);
    installUpdater(1);
    UpdateWindow w;
    w.OnStartServer();
    QVERIFY(w.pickTimer() != -1);

    const QByteArray savedTemp = qgetenv("TMPDIR");
    const QString savedName = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName(QStringLiteral("no-such-parent/Zendral"));
    if (missingTemp) {
        qputenv("TMPDIR", dir->filePath(QStringLiteral("missing")).toUtf8());
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("^no temporary folder for a copy")));
    }
    const bool installed = w.checkUpdate();
    qputenv("TMPDIR", savedTemp);
    QCoreApplication::setApplicationName(savedName);

    QVERIFY(!installed);
    QCOMPARE(w.stopCalls, 0);
    QVERIFY(w.pickTimer() != -1);
    QVERIFY(w.autoUpdateTimer() != -1);
    const int picks = w.nextJobCalls;
    QTRY_VERIFY_WITH_TIMEOUT(w.nextJobCalls > picks, 5000);
    QCOMPARE(recordedRuns().size(), 1);
    QCOMPARE(w.quitRequests, 0); // still serving
    w.OnStopServer();
}

void TestUpdateCheck::autoUpdateTimerRunsCheck()
{
    installUpdater(0);
    QSettings().setValue(QStringLiteral("config/auto_update_interval"), 1);
    UpdateWindow w;
    QVERIFY(recordedRuns().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(recordedRuns().size() >= 1, 5000);
    QCOMPARE(argumentsOf(recordedRuns().at(0)).last(), QStringLiteral("-c"));
    QVERIFY(w.autoUpdateTimer() != -1);
}

// The copy folder is a link to a folder outside the temporary folder holding
// another updater (an old installation, or someone else's on a shared
// temporary folder). The copy cannot replace it, so nothing may be run from
// it: the hand-over fails and the service goes on.
void TestUpdateCheck::staleCopyIsNeverRun()
{
#ifndef ZENDRAL_STUB_UPDATER_PATH
    QSKIP("the stand-in updater is not built");
#else
    installUpdater(1);
    const QString temp = dir->filePath(QStringLiteral("tmp"));
    const QString foreign = dir->filePath(QStringLiteral("foreign"));
    QVERIFY(QDir().mkpath(temp) && QDir().mkpath(foreign));
    QVERIFY(QFile::copy(QStringLiteral(ZENDRAL_STUB_UPDATER_PATH), UpdateWindow::UpdaterPath(foreign)));
    const QString link = temp + QStringLiteral("/Zendral");
    QVERIFY(QFile::link(foreign, link));

    UpdateWindow w;
    w.OnStartServer();
    const QByteArray savedTemp = qgetenv("TMPDIR");
    qputenv("TMPDIR", temp.toUtf8());
    const bool installed = w.checkUpdate();
    qputenv("TMPDIR", savedTemp);

    QVERIFY(!installed);
    QCOMPARE(w.stopCalls, 0);
    QVERIFY(w.pickTimer() != -1);
    QVERIFY(w.autoUpdateTimer() != -1);
    QTest::qWait(1000); // room for a detached updater to record its run
    QCOMPARE(recordedRuns().size(), 1); // the check only
    QCOMPARE(recordedRuns().at(0).value(QStringLiteral("program")).toString(),
             UpdateWindow::UpdaterPath(appDir));
    // The foreign folder was left as it was.
    QCOMPARE(QDir(foreign).entryList(QDir::Files | QDir::NoDotAndDotDot),
             QStringList({QFileInfo(UpdateWindow::UpdaterPath(foreign)).fileName()}));
    QVERIFY(QFile::remove(link));
    QCOMPARE(w.quitRequests, 0); // still serving
    w.OnStopServer();
#endif
}

void TestUpdateCheck::backupCopiesAndReplacesTree()
{
    const QString source = dir->filePath(QStringLiteral("source"));
    const QString target = dir->filePath(QStringLiteral("target"));
    QVERIFY(writeFile(source + QStringLiteral("/top.txt"), "top"));
    QVERIFY(writeFile(source + QStringLiteral("/a/b/deep.bin"), QByteArray("\0\1\2", 3)));
    QVERIFY(writeFile(source + QStringLiteral("/a/mid.txt"), "mid"));
    QVERIFY(QDir().mkpath(source + QStringLiteral("/empty")));
    QVERIFY(writeFile(target + QStringLiteral("/old/gone.txt"), "old"));
    QVERIFY(writeFile(target + QStringLiteral("/top.txt"), "old top"));

    QVERIFY(backup(source, target));
    QCOMPARE(treeListing(target), treeListing(source));

    // Links to folders are not followed (they may lead in a circle); the copy
    // goes on past them. A link to a file is copied as a file.
    QVERIFY(QFile::link(source + QStringLiteral("/a"), source + QStringLiteral("/loop")));
    QVERIFY(QFile::link(source + QStringLiteral("/top.txt"), source + QStringLiteral("/top-link.txt")));
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^Unhandled item .*/loop in cpDir$")));
    QVERIFY(backup(source, target));
    QVERIFY(!QFileInfo::exists(target + QStringLiteral("/loop")));
    const QFileInfo linkCopy(target + QStringLiteral("/top-link.txt"));
    QVERIFY(linkCopy.isFile() && !linkCopy.isSymLink());
    QCOMPARE(linkCopy.size(), qint64(3));
    QCOMPARE(treeListing(target + QStringLiteral("/a")), treeListing(source + QStringLiteral("/a")));
}

void TestUpdateCheck::backupRefusesTargetInsideSource()
{
    const QString source = dir->filePath(QStringLiteral("source"));
    QVERIFY(writeFile(source + QStringLiteral("/sub/file.txt"), "x"));
    QVERIFY(!backup(source, source + QStringLiteral("/sub/copy")));
    QVERIFY(!backup(source, source));
    QCOMPARE(treeListing(source), QStringList({"sub", "sub/file.txt=x"}));
}

void TestUpdateCheck::removeFolderTreeStaysInsideTemporaryFolder()
{
    // A temporary folder of our own, with a "victim" folder beside it that
    // lies outside it.
    const QByteArray savedTemp = qgetenv("TMPDIR");
    const QString temp = dir->filePath(QStringLiteral("tmp"));
    const QString victim = dir->filePath(QStringLiteral("victim"));
    QVERIFY(writeFile(victim + QStringLiteral("/keep.txt"), "keep"));
    QVERIFY(QDir().mkpath(temp));
    qputenv("TMPDIR", temp.toUtf8());
    QCOMPARE(QDir::cleanPath(QDir::tempPath()), QDir::cleanPath(temp));

    QVERIFY(!removeFolderTree(QString()));
    QVERIFY(!removeFolderTree(QStringLiteral("/")));
    QVERIFY(!removeFolderTree(QDir::homePath()));
    QVERIFY(!removeFolderTree(temp));
    QVERIFY(!removeFolderTree(victim));
    QVERIFY(!removeFolderTree(temp + QStringLiteral("/../victim")));
    // A link inside the temporary folder must not lead the deletion out.
    QVERIFY(QFile::link(victim, temp + QStringLiteral("/door")));
    QVERIFY(!removeFolderTree(temp + QStringLiteral("/door/")));

    // A tree inside it goes, hidden files included; a link in it is removed
    // as a link, its target stays.
    const QString tree = temp + QStringLiteral("/tree");
    QVERIFY(writeFile(tree + QStringLiteral("/.hidden"), "h"));
    QVERIFY(writeFile(tree + QStringLiteral("/x/y/z.txt"), "z"));
    QVERIFY(QFile::link(victim, tree + QStringLiteral("/x/to-victim")));
    const bool removed = removeFolderTree(tree);
    const bool missingIsFine = removeFolderTree(temp + QStringLiteral("/never-there"));
    qputenv("TMPDIR", savedTemp);

    QVERIFY(removed);
    QVERIFY(!QFileInfo::exists(tree));
    QVERIFY(missingIsFine);
    QVERIFY(QFileInfo(victim + QStringLiteral("/keep.txt")).isFile());
}

ZENDRAL_CORE_TEST_MAIN(TestUpdateCheck)
#include "tst_updatecheck.moc"
