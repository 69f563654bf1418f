#include "LogHandler.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include "TestMain.h"

#include <QtTest>

#include <cstdio>
#ifdef Q_OS_WIN
#include <io.h> // the C library's descriptor calls carry a leading underscore here
#define dup _dup
#define dup2 _dup2
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

// Sends this process's standard error into a temporary file while it lives.
class StandardErrorCapture
{
public:
    StandardErrorCapture()
    {
        if (!file.open())
            return;
        std::fflush(stderr);
        saved = dup(fileno(stderr));
        dup2(file.handle(), fileno(stderr));
    }
    ~StandardErrorCapture() { restore(); }

    QStringList lines()
    {
        restore();
        file.seek(0);
        QStringList result = QString::fromLocal8Bit(file.readAll()).split('\n');
        result.removeAll(QString());
        return result;
    }

private:
    void restore()
    {
        if (saved < 0)
            return;
        std::fflush(stderr);
        dup2(saved, fileno(stderr));
        saved = -1;
    }

    QTemporaryFile file;
    int saved = -1;
};

} // namespace

using namespace Orvane::Zendral;

class TestLogHandler : public QObject
{
    Q_OBJECT

private:
    QString logsPath() const { return QCoreApplication::applicationDirPath() + "/logs"; }

    // Removes <executable folder>/logs, and only that, whether it is a
    // folder of log files or a plain file.
    void removeLogs()
    {
        const QString path = logsPath();
        QVERIFY(path.endsWith("/logs"));
        QVERIFY(QFileInfo(path).dir() == QDir(QCoreApplication::applicationDirPath()));
        QFileInfo info(path);
        if (info.isDir())
            QVERIFY(QDir(path).removeRecursively());
        else if (info.exists())
            QVERIFY(QFile::remove(path));
    }

    QStringList todaysLines() const
    {
        QFile file(logsPath() + "/" + LogFileName(QDate::currentDate()));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromLocal8Bit(file.readAll()).split('\n');
    }

private slots:
    void cleanup()
    {
        qInstallMessageHandler(nullptr);
        removeLogs();
        SetUpLogFolder(QCoreApplication::applicationDirPath());
    }

    void lineForms_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("word");
        QTest::newRow("debug") << int(QtDebugMsg) << "Debug";
        QTest::newRow("info") << int(QtInfoMsg) << "Info";
        QTest::newRow("warning") << int(QtWarningMsg) << "Warning";
        QTest::newRow("critical") << int(QtCriticalMsg) << "Critical";
        QTest::newRow("fatal") << int(QtFatalMsg) << "Fatal";
    }

    void lineForms()
    {
        QFETCH(int, type);
        QFETCH(QString, word);
        const QDateTime now(QDate(2026, 12, 6), QTime(20, 15, 13, 999));
        const QMessageLogContext context("server/Queue.cpp", 42, "void Queue::run(int)", "default");
        const QString line = FormatLogLine(QtMsgType(type), context, "queue %1 %2 ready 100%", now);
        // Time in text form without milliseconds; "%1" in the text stays literal.
        QCOMPARE(line, "Sun Dec 6 20:15:13 2026 " + word
                           + ": queue %1 %2 ready 100% (server/Queue.cpp:42, void Queue::run(int))");
    }

    void lineWithoutContext()
    {
        const QDateTime now(QDate(2027, 1, 1), QTime(0, 0, 5));
        const QString line = FormatLogLine(QtWarningMsg, QMessageLogContext(), "x", now);
        QCOMPARE(line, QString("Fri Jan 1 00:00:05 2027 Warning: x (:0, )"));
    }

    // Text from clients can neither start a line of its own nor reverse the
    // rest of one: control, separator and bidirectional characters are
    // written as escapes; line breaks of multi-line messages stay.
    void disguisingCharactersEscaped()
    {
        const QDateTime now(QDate(2027, 1, 1), QTime(0, 0, 5));
        const QString message = QStringLiteral("a\u2028b\u0085c\u202Ed\re\x1b[31mf\ng");
        const QString line = FormatLogLine(QtWarningMsg, QMessageLogContext(), message, now);
        QCOMPARE(line, QString("Fri Jan 1 00:00:05 2027 Warning: a\\u{2028}b\\u{0085}c\\u{202e}d\\u{000d}e"
                               "\\u{001b}[31mf\ng (:0, )"));
    }

    void fileNamesByDate()
    {
        QCOMPARE(LogFileName(QDate(2026, 12, 6)), QString("Sun Dec 6 2026.log"));
        // Messages either side of midnight land in two files.
        QCOMPARE(LogFileName(QDate(2026, 12, 31)), QString("Thu Dec 31 2026.log"));
        QCOMPARE(LogFileName(QDate(2027, 1, 1)), QString("Fri Jan 1 2027.log"));
        QCOMPARE(LogFolderPath(), logsPath());
    }

    void missingFolderIsCreatedAndLinesAppend()
    {
        removeLogs();
        QVERIFY(!QFileInfo::exists(logsPath()));
        qInstallMessageHandler(LogMessageHandler);
        qDebug("first %s", "message");
        qWarning() << "second";
        qInstallMessageHandler(nullptr);

        const QStringList lines = todaysLines();
        QCOMPARE(lines.size(), 3); // two lines, each ending in a line feed
        QVERIFY(lines.at(0).contains(" Debug: first message ("));
        QVERIFY(lines.at(0).contains("tst_loghandler.cpp:"));
        QVERIFY(lines.at(0).contains("missingFolderIsCreatedAndLinesAppend"));
        QVERIFY(lines.at(1).contains(" Warning: second ("));
        QCOMPARE(lines.at(2), QString());
        QVERIFY(!lines.join('\n').contains('\r'));
    }

    void logsAsPlainFileDropsMessages()
    {
        removeLogs();
        QFile blocker(logsPath());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.write("not a folder");
        blocker.close();

        qInstallMessageHandler(LogMessageHandler);
        qDebug("dropped");
        qCritical("dropped too");
        qInstallMessageHandler(nullptr);

        QVERIFY(QFileInfo(logsPath()).isFile());
        QVERIFY(blocker.open(QIODevice::ReadOnly));
        QCOMPARE(blocker.readAll(), QByteArray("not a folder"));
    }

    // Debug lines go to the file only; the other types to standard error too,
    // in the same form.
    void standardErrorGetsAllButDebug()
    {
        removeLogs();
        StandardErrorCapture capture;
        qInstallMessageHandler(LogMessageHandler);
        qDebug("file only");
        qInfo("Listening on %s", "0.0.0.0:10088");
        qWarning("engine missing");
        qCritical("cannot write");
        qInstallMessageHandler(nullptr);

        const QStringList echoed = capture.lines();
        QStringList logged = todaysLines();
        logged.removeAll(QString());
        QCOMPARE(logged.size(), 4);
        QVERIFY(logged.at(0).contains(" Debug: file only ("));
        QCOMPARE(echoed, logged.mid(1));
        QVERIFY(echoed.at(0).contains(" Info: Listening on 0.0.0.0:10088 ("));
        QVERIFY(echoed.at(0).contains("tst_loghandler.cpp:"));
    }

    // The service's options: on the journal each line has its priority and
    // no time stamp; without source places no path or function appears;
    // log/level=info drops debug lines (a request's line is not even
    // built); with the files off nothing is written to the folder and debug
    // lines (when on) go to standard error.
    void optionsShapeTheLines()
    {
        int built = 0;
        const auto counted = [&built](const char *text) {
            ++built;
            return text;
        };
        removeLogs();
        LogOptions journal;
        journal.journal = true;
        journal.debug = false;
        journal.files = false;
        journal.sourceInfo = false;
        SetLogOptions(journal);
        StandardErrorCapture capture;
        qInstallMessageHandler(LogMessageHandler);
        qDebug("request line");
        qCDebug(lcRequests) << counted("Add Nester Job");
        QCOMPARE(built, 0);
        qInfo("Listening on %s", "0.0.0.0:10088");
        qWarning("engine missing\nsecond line");
        qCritical("cannot write");
        journal.debug = true;
        SetLogOptions(journal);
        qDebug("now shown");
        qCDebug(lcRequests) << counted("Remove Nester Job");
        QCOMPARE(built, 1);
        qInstallMessageHandler(nullptr);
        SetLogOptions(LogOptions());

        QCOMPARE(capture.lines(), QStringList({"<6>Info: Listening on 0.0.0.0:10088",
                                               "<4>Warning: engine missing | second line",
                                               "<3>Critical: cannot write", "<7>Debug: now shown",
                                               "<7>Debug: Remove Nester Job"}));
        QVERIFY(!QFileInfo::exists(logsPath()) || todaysLines().join(QString()).isEmpty());

        QMessageLogContext context("src/x/Queue.cpp", 42, "void Queue::run(int)", nullptr);
        const QDateTime now(QDate(2026, 12, 6), QTime(20, 15, 13));
        QCOMPARE(FormatLogLine(QtWarningMsg, context, "x", now, false), QString("Sun Dec 6 20:15:13 2026 Warning: x"));
        QCOMPARE(FormatJournalLine(QtFatalMsg, context, "x", true),
                 QString("<2>Fatal: x (src/x/Queue.cpp:42, void Queue::run(int))"));
    }

    // An executable folder without a usable "logs" folder (read-only once
    // installed) sends the files to the per-user data folder; there, as
    // anywhere, set-up deletes this program's log files older than 30 days.
    void folderFallsBackAndOldFilesGo()
    {
        QTemporaryDir scratch;
        QVERIFY(scratch.isValid());
        const QString writable = scratch.filePath("bin");
        QVERIFY(QDir().mkpath(writable));
        const QString fallback = scratch.filePath("data/logs");
        QCOMPARE(ChooseLogFolder(writable, fallback), writable + "/logs");
        QVERIFY(QFileInfo(writable + "/logs").isDir());
        QVERIFY(!QFileInfo::exists(fallback));

        // A plain file where the folder would go: nothing can be made below
        // it, not even by root.
        QFile blocker(scratch.filePath("blocker"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QCOMPARE(ChooseLogFolder(scratch.filePath("blocker/bin"), fallback), fallback);
        QVERIFY(QFileInfo(fallback).isDir());

        const QString dataLogs = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/logs";
        QVERIFY(QDir().mkpath(dataLogs));
        const QDate today = QDate::currentDate();
        const QString old = dataLogs + "/" + LogFileName(today.addDays(-40));
        QFile oldFile(old);
        QVERIFY(oldFile.open(QIODevice::WriteOnly));
        oldFile.close();
        QCOMPARE(SetUpLogFolder(scratch.filePath("blocker/bin")), dataLogs);
        QCOMPARE(LogFolderPath(), dataLogs);
        QVERIFY(!QFileInfo::exists(old));
        qInstallMessageHandler(LogMessageHandler);
        qDebug("into the data folder");
        qInstallMessageHandler(nullptr);
        QFile day(dataLogs + "/" + LogFileName(today));
        QVERIFY(day.open(QIODevice::ReadOnly));
        QVERIFY(day.readAll().contains("into the data folder"));
        day.close();
        QVERIFY(day.remove());
    }

    void onlyOldLogFilesAreRemoved()
    {
        QTemporaryDir scratch;
        QVERIFY(scratch.isValid());
        const QDate today(2027, 3, 15);
        const QStringList gone{LogFileName(today.addDays(-31)), LogFileName(QDate(2026, 1, 1))};
        const QStringList kept{LogFileName(today.addDays(-30)), LogFileName(today),
                               LogFileName(today.addDays(2)), "notes.txt", "old.log", "2026-01-01.log",
                               LogFileName(QDate(2026, 1, 1)) + ".bak", "Fri Jan  1 2026.log"};
        for (const QString &name : gone + kept) {
            QFile file(scratch.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        // A folder named like an old log file, and the same name one level down.
        const QString folder = scratch.filePath(LogFileName(QDate(2025, 5, 5)));
        QVERIFY(QDir().mkpath(folder + "/sub"));
        QFile below(folder + "/sub/" + LogFileName(QDate(2025, 5, 5)));
        QVERIFY(below.open(QIODevice::WriteOnly));
        below.close();

        QCOMPARE(RemoveOldLogFiles(scratch.path(), today, 30), 2);
        for (const QString &name : gone)
            QVERIFY2(!QFileInfo::exists(scratch.filePath(name)), qPrintable(name));
        for (const QString &name : kept)
            QVERIFY2(QFileInfo::exists(scratch.filePath(name)), qPrintable(name));
        QVERIFY(below.exists());
    }

    void linesFromThreadsStayWhole()
    {
        removeLogs();
        qInstallMessageHandler(LogMessageHandler);
        QList<QThread *> threads;
        for (int t = 0; t < 4; ++t) {
            threads << QThread::create([t] {
                for (int i = 0; i < 50; ++i)
                    qDebug("thread %d line %d", t, i);
            });
            threads.last()->start();
        }
        for (QThread *thread : threads) {
            QVERIFY(thread->wait(30000));
            delete thread;
        }
        qInstallMessageHandler(nullptr);

        const QStringList lines = todaysLines();
        QCOMPARE(lines.size(), 201);
        for (int i = 0; i < 200; ++i)
            QVERIFY2(lines.at(i).contains(QRegularExpression(" Debug: thread \\d line \\d+ \\(")),
                     qPrintable(lines.at(i)));
    }
};

QTEST_GUILESS_MAIN(TestLogHandler)
#include "tst_loghandler.moc"
