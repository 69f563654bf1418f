#include "LogHandler.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include "TestMain.h"

#include <QtTest>

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
    }

    void lineForms_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("word");
        QTest::newRow("debug") << int(QtDebugMsg) << "Debug";
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
