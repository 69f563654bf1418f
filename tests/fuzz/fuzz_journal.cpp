// The queue journal on any segment file: the records read are exactly the
// framed start of the file (framing them again gives those bytes back), what
// follows them is damage unless it is all zeros, a cut file gives a prefix
// of them, and a store restoring a queue from a backup and that segment
// never brings back a running job or one whose job file is missing.
// "job.aex" in the input stands for a job file that exists.
#include "FuzzSupport.h"
#include "JournalFile.h"
#include "JournalStore.h"
#include "NesterJob.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>

using namespace Orvane::Zendral;

namespace {

// A jobs folder whose backup is "[]" and whose backup id names it, so that
// the segment written beside it is replayed.
void PrepareFolder(const QDir &dir)
{
    const QByteArray backup = "[]";
    FuzzSupport::WriteFile(dir.filePath(QStringLiteral("JOB_LIST.BAK")), backup);
    const QJsonObject id{{QStringLiteral("id"), QStringLiteral("fuzz")},
                         {QStringLiteral("crc"), double(JournalFile::Crc32(backup.constData(), size_t(backup.size())))},
                         {QStringLiteral("size"), double(backup.size())}};
    FuzzSupport::WriteFile(dir.filePath(QStringLiteral("JOB_LIST.BAKID")),
              QJsonDocument(QJsonObject{{QStringLiteral("current"), id}}).toJson(QJsonDocument::Compact));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir *folder = FuzzSupport::FolderWithJobFile();
    const QByteArray bytes = FuzzSupport::Bytes(data, size);

    qint64 good = 0;
    bool damaged = false;
    const QList<QByteArray> records = JournalFile::ReadRecords(bytes, &good, &damaged);
    QByteArray framed;
    for (const QByteArray &record : records)
        framed += JournalFile::Frame(record);
    FUZZ_CHECK(framed == bytes.left(int(good)));
    // What follows the records is damage unless it is the zeros the file
    // was grown by.
    FUZZ_CHECK(damaged == std::any_of(bytes.constBegin() + good, bytes.constEnd(), [](char c) { return c != 0; }));
    qint64 cutGood = 0;
    bool cutDamaged = false;
    const QList<QByteArray> cut = JournalFile::ReadRecords(bytes.left(int(good / 2)), &cutGood, &cutDamaged);
    FUZZ_CHECK(cut == records.mid(0, cut.size()));

    // A store restores from the backup and this segment (after a header
    // that follows the backup), with job files that exist where named.
    const QDir dir(folder->filePath(QStringLiteral("jobs")));
    FUZZ_CHECK(QDir().mkpath(dir.path()));
    for (const QString &name : dir.entryList(QDir::Files))
        QFile::remove(dir.filePath(name));
    PrepareFolder(dir);
    const QByteArray header = JournalFile::Frame(R"({"base":"fuzz","op":"segment"})");
    QByteArray segment = header + bytes;
    segment.replace("job.aex", folder->filePath(QStringLiteral("job.aex")).toUtf8());
    FuzzSupport::WriteFile(dir.filePath(QStringLiteral("JOB_LIST.JOURNAL.000001")), segment);
    QList<NesterJob *> jobs;
    {
        JournalStore store(dir);
        store.Load(jobs);
    }
    for (const NesterJob *job : jobs)
        FUZZ_CHECK(!job->IsRunning() && QFile::exists(job->fileaex));
    qDeleteAll(jobs);
    return 0;
}
