// The journal's record checksum is the CRC-32 of IEEE 802.3, as the journal
// files on disk have always carried it: records written by earlier versions
// must still read, and theirs must read here. And a segment grown ahead of
// its records by zeros keeps them, also when a crash left the zeros.
#include "JournalFile.h"
#include "StoreTestSupport.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace Orvane::Zendral;

class JournalCrcTest : public QObject
{
    Q_OBJECT
private slots:
    void knownValues();
    void recordOfEarlierVersionReads();
    void zerosAheadOfTheRecords();
    void failedGrowthLeavesTheRecords();
    void noZerosAheadOfTheLastRecords();
};

// The standard check value of CRC-32 ("123456789" -> 0xCBF43926), the
// empty input, and a framed record's header (length, CRC, little-endian).
void JournalCrcTest::knownValues()
{
    QCOMPARE(JournalFile::Crc32("123456789", 9), quint32(0xCBF43926u));
    QCOMPARE(JournalFile::Crc32("", 0), quint32(0));
    const QByteArray framed = JournalFile::Frame("123456789");
    QCOMPARE(framed.left(8), QByteArray::fromHex("09000000" "2639f4cb"));
    QCOMPARE(framed.mid(8), QByteArray("123456789"));
}

// A segment's bytes as an earlier version wrote them: two records, then a
// third whose checksum does not match (a torn write) ends the good part.
void JournalCrcTest::recordOfEarlierVersionReads()
{
    const QByteArray first = R"({"base":"b1","op":"segment"})";
    const QByteArray second = R"({"op":"remove","id":"127.0.0.1/job"})";
    QByteArray bytes;
    bytes += QByteArray::fromHex("1c000000" "ec9f2551") + first;
    bytes += QByteArray::fromHex("24000000" "ba09d288") + second;
    const qint64 good = bytes.size();
    bytes += QByteArray::fromHex("02000000" "00000000") + "{}";
    qint64 goodSize = 0;
    bool damaged = false;
    const QList<QByteArray> records = JournalFile::ReadRecords(bytes, &goodSize, &damaged);
    QCOMPARE(records, (QList<QByteArray>{first, second}));
    QCOMPARE(goodSize, good);
    QVERIFY(damaged);
}

namespace {

QByteArray ReadAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// The file is grown by zeros ahead of its records: they read as the end of
// the records, not as damage or as empty records. A file left with its
// zeros (a crash, not closed) is written on right after its last record, and
// a closed file has its records alone. Bytes other than zeros after the
// records are damage.
void JournalCrcTest::zerosAheadOfTheRecords()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("segment"));
    const QByteArray a = JournalFile::Frame("{\"op\":\"a\"}");
    const QByteArray b = JournalFile::Frame("{\"op\":\"b\"}");
    const QByteArray c = JournalFile::Frame("{\"op\":\"c\"}");
    const QString crashed = dir.filePath(QStringLiteral("crashed"));
    {
        JournalFile file;
        QVERIFY(file.Open(path, true));
        QVERIFY(file.Append(a) && file.Append(b) && file.Sync());
        QCOMPARE(file.Size(), qint64(a.size() + b.size()));
        QVERIFY(file.Allocated() > file.Size() + JournalFile::GrowthStep / 2);
        const QByteArray bytes = ReadAll(path);
        QCOMPARE(qint64(bytes.size()), file.Allocated());
        qint64 good = 0;
        bool damaged = true;
        QCOMPARE(JournalFile::ReadRecords(bytes, &good, &damaged), (QList<QByteArray>{a.mid(8), b.mid(8)}));
        QCOMPARE(good, file.Size());
        QVERIFY(!damaged);
        // What a crash leaves: the records and the zeros ahead.
        QFile copy(crashed);
        QVERIFY(copy.open(QIODevice::WriteOnly) && copy.write(bytes) == bytes.size());
    }
    QCOMPARE(ReadAll(path), a + b);

    JournalFile file;
    QVERIFY(file.Open(crashed, false));
    QCOMPARE(file.Size(), qint64(a.size() + b.size()));
    QVERIFY(file.Append(c));
    file.Close();
    QCOMPARE(ReadAll(crashed), a + b + c);

    qint64 good = 0;
    bool damaged = false;
    const QByteArray stray = a + QByteArray(8, '\0') + b;
    QCOMPARE(JournalFile::ReadRecords(stray, &good, &damaged), QList<QByteArray>{a.mid(8)});
    QCOMPARE(good, qint64(a.size()));
    QVERIFY(damaged);
}

// Records written just before the file is closed (a segment's last, before
// the journal moves on) go into the zeros there are, but no new zeros are
// written for them.
void JournalCrcTest::noZerosAheadOfTheLastRecords()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("segment"));
    const QByteArray a = JournalFile::Frame("{\"op\":\"a\"}");
    const QByteArray large = JournalFile::Frame(QByteArray(int(JournalFile::GrowthStep), 'x'));
    JournalFile file;
    QVERIFY(file.Open(path, true));
    QVERIFY(file.Append(a)); // grown as ever
    const qint64 grown = file.Allocated();
    QVERIFY(file.Append(a, true)); // fits in the zeros
    QCOMPARE(file.Allocated(), grown);
    QVERIFY(file.Append(large, true)); // does not: appended plainly
    QCOMPARE(QFileInfo(path).size(), file.Size());
    file.Close();
    QCOMPARE(ReadAll(path), a + a + large);
}

// A disk that cannot take the zeros but the record: the record is appended
// plainly. One that cannot take the record either: the append fails whole,
// the file keeps its records alone, and the next append follows them.
void JournalCrcTest::failedGrowthLeavesTheRecords()
{
#ifdef Q_OS_UNIX
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("segment"));
    const QByteArray a = JournalFile::Frame("{\"op\":\"a\"}");
    const QByteArray b = JournalFile::Frame("{\"op\":\"b\"}");
    JournalFile file;
    QVERIFY(file.Open(path, true));
    QVERIFY(file.Append(a));
    file.Close();
    QVERIFY(file.Open(path, false));
    {
        StoreTest::FileSizeLimit limit(rlim_t(2 * a.size() + 3));
        QVERIFY(file.Append(a));
    }
    QCOMPARE(ReadAll(path), a + a);
    {
        // Room for a part of the record only: the write is torn.
        StoreTest::FileSizeLimit limit(rlim_t(2 * a.size() + 6));
        QVERIFY(!file.Append(b));
    }
    QCOMPARE(file.Size(), qint64(2 * a.size()));
    QCOMPARE(ReadAll(path), a + a);
    QVERIFY(file.Append(b));
    file.Close();
    QCOMPARE(ReadAll(path), a + a + b);
#else
    QSKIP("the file size limit is a Unix facility");
#endif
}

QTEST_APPLESS_MAIN(JournalCrcTest)
#include "tst_journalcrc.moc"
