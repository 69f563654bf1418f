// The journal's record checksum is the CRC-32 of IEEE 802.3, as the journal
// files on disk have always carried it: records written by earlier versions
// must still read, and theirs must read here.
#include "JournalFile.h"

#include <QtTest>

using namespace Orvane::Zendral;

class JournalCrcTest : public QObject
{
    Q_OBJECT
private slots:
    void knownValues();
    void recordOfEarlierVersionReads();
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

QTEST_APPLESS_MAIN(JournalCrcTest)
#include "tst_journalcrc.moc"
