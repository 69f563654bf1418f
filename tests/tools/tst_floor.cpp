// zendral-floor, the benchmark's reference server: each put gets its
// folder and file, and its record in the journal before the reply.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <memory>

namespace {
constexpr int WaitMs = 10000;

QByteArray Put(const QByteArray &document)
{
    return "put 1024 0 60 " + QByteArray::number(document.size()) + "\r\n" + document + "\r\n";
}

// The reply lines until `count` have come or the wait is over.
QList<QByteArray> Replies(QTcpSocket &socket, int count)
{
    QList<QByteArray> lines;
    while (lines.size() < count && (socket.canReadLine() || socket.waitForReadyRead(WaitMs))) {
        while (lines.size() < count && socket.canReadLine())
            lines << socket.readLine();
    }
    return lines;
}
} // namespace

class TestFloor : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        root.reset(new QTemporaryDir);
        QVERIFY(root->isValid());
        floor.start(QStringLiteral(ZENDRAL_FLOOR_PATH),
                    {QStringLiteral("-l"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QStringLiteral("0"),
                     QStringLiteral("-b"), root->filePath(QStringLiteral("floor"))});
        QVERIFY(floor.waitForReadyRead(WaitMs));
        const QByteArray line = floor.readLine().trimmed();
        port = quint16(line.mid(line.lastIndexOf(':') + 1).toUInt());
        QVERIFY2(port != 0, line.constData());
    }

    void cleanup()
    {
        floor.kill();
        floor.waitForFinished(WaitMs);
    }

    // Puts one at a time and two in one write: each reply names its job,
    // whose file holds the document, and the journal holds the records in
    // order (a length, then the bytes) ahead of its zeros.
    void putsMakeFilesAndRecords()
    {
        const QList<QByteArray> documents{"first", QByteArray(3000, 'x'), "third"};
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        QVERIFY(socket.waitForConnected(WaitMs));
        socket.write(Put(documents[0]));
        QCOMPARE(Replies(socket, 1), QList<QByteArray>{"INSERTED 1\r\n"});
        socket.write(Put(documents[1]) + Put(documents[2]));
        QCOMPARE(Replies(socket, 2), (QList<QByteArray>{"INSERTED 2\r\n", "INSERTED 3\r\n"}));

        QByteArray expected;
        for (int i = 0; i < documents.size(); ++i) {
            QFile file(root->filePath(QStringLiteral("floor/JOBS/127.0.0.1/%1/job.aex").arg(i + 1)));
            QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
            QCOMPARE(file.readAll(), documents[i]);
            const quint32 length = qToLittleEndian(quint32(documents[i].size()));
            expected += QByteArray(reinterpret_cast<const char *>(&length), sizeof length) + documents[i];
        }
        QFile journal(root->filePath(QStringLiteral("floor/JOBS/JOURNAL")));
        QVERIFY(journal.open(QIODevice::ReadOnly));
        const QByteArray written = journal.readAll();
        QCOMPARE(written.left(expected.size()), expected);
        QCOMPARE(written.mid(expected.size(), 8), QByteArray(8, '\0'));
    }

    // Anything but a put of a sane size is refused and ends the connection.
    void badCommandEndsTheConnection()
    {
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        QVERIFY(socket.waitForConnected(WaitMs));
        socket.write("put 1024 0 60 99999999\r\n");
        QCOMPARE(Replies(socket, 1), QList<QByteArray>{"BAD_FORMAT\r\n"});
        QVERIFY(socket.state() == QAbstractSocket::UnconnectedState || socket.waitForDisconnected(WaitMs));
        QVERIFY(!QDir(root->filePath(QStringLiteral("floor/JOBS/127.0.0.1/1"))).exists());
    }

private:
    std::unique_ptr<QTemporaryDir> root; // a new one per test
    QProcess floor;
    quint16 port = 0;
};

QTEST_GUILESS_MAIN(TestFloor)
#include "tst_floor.moc"
