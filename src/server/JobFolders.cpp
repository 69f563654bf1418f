#include "JobFolders.h"

#include "Base64StreamWriter.h"
#include "NesterJob.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>
#include <QThread>

namespace Orvane {
namespace Zendral {

namespace {

bool OnGuiThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

// Whether a base name is one of the device names Windows reserves in every
// folder (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9), in any case.
bool IsReservedDeviceName(const QString &base)
{
    static const QStringList plain{QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"),
                                   QStringLiteral("NUL")};
    const QString upper = base.toUpper();
    if (plain.contains(upper))
        return true;
    return upper.size() == 4 && (upper.startsWith(QLatin1String("COM")) || upper.startsWith(QLatin1String("LPT")))
        && upper.at(3) >= QLatin1Char('1') && upper.at(3) <= QLatin1Char('9');
}

// A client folder name (the peer address) must be one path element.
bool IsPlainFolderName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

// The name of the n-th job folder claimed in one second: "stamp", then
// "stamp_01" ... "stamp_99", then "stamp_99_000100" and on, so that names
// always sort in the order of submission.
QString JobFolderName(const QString &stamp, int n)
{
    if (n == 0)
        return stamp;
    if (n < 100)
        return QStringLiteral("%1_%2").arg(stamp).arg(n, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1_99_%2").arg(stamp).arg(n, 6, 10, QLatin1Char('0'));
}

} // namespace

JobFolders::JobFolders(const QString &path, ErrorReporter reporter)
    : path(path)
    , reporter(std::move(reporter))
{
    if (!Prepare())
        ReportFailure();
}

QString JobFolders::DefaultPath()
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::DataLocation);
    return data.isEmpty() ? QString() : QStringLiteral("%1/%2").arg(data, QStringLiteral("JOBS"));
}

// The part after the last "/" or "\", without a drive ("C:"); "." and ".."
// give the empty text. Characters Windows refuses (<>:"|?* and control
// characters) become "_", trailing dots and spaces go, and a reserved
// device name gets a "_" in front ("NUL.aex" becomes "_NUL.aex").
QString JobFolders::PlainFileName(const QString &name)
{
    const int slash = qMax(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\')));
    QString plain = name.mid(slash + 1);
    if (plain.size() >= 2 && plain.at(1) == QLatin1Char(':') && plain.at(0).isLetter())
        plain = plain.mid(2);
    if (plain == QLatin1String(".") || plain == QLatin1String(".."))
        return QString();
    static const QString refused = QStringLiteral("<>:\"|?*");
    for (QChar &c : plain) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || refused.contains(c))
            c = QLatin1Char('_');
    }
    int end = plain.size();
    while (end > 0 && (plain.at(end - 1) == QLatin1Char('.') || plain.at(end - 1) == QLatin1Char(' ')))
        --end;
    plain.truncate(end);
    // Windows checks the part before the first dot, ignoring trailing spaces.
    const int dot = plain.indexOf(QLatin1Char('.'));
    QString base = plain.left(dot < 0 ? plain.size() : dot);
    while (base.endsWith(QLatin1Char(' ')))
        base.chop(1);
    if (IsReservedDeviceName(base))
        plain.prepend(QLatin1Char('_'));
    return plain;
}

bool JobFolders::Prepare() const
{
    if (path.isEmpty())
        return false;
    return QFileInfo(path).isDir() || (QDir().mkpath(path) && QFileInfo(path).isDir());
}

bool JobFolders::Ready() const
{
    return Prepare();
}

// Sessions and other threads show nothing; the log has it.
void JobFolders::ReportFailure() const
{
    qCritical() << "Cannot create directory for application data:" << path;
    if (!OnGuiThread() || !reporter)
        return;
    reporter(QCoreApplication::translate("Orvane::Zendral::LocalServer", "Error"),
             QCoreApplication::translate("Orvane::Zendral::LocalServer",
                                         "Cannot create directory for application data."));
}

bool JobFolders::IsJobFolder(const QString &folder) const
{
    if (folder.isEmpty() || !Ready())
        return false;
    const QString jobs = QDir(path).canonicalPath();
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    if (jobs.isEmpty() || canonical.isEmpty() || !QFileInfo(canonical).isDir())
        return false;
    if (canonical == QDir::current().canonicalPath())
        return false;
    const QString client = QFileInfo(canonical).absolutePath();
    if (client == canonical || client == jobs)
        return false;
    return QFileInfo(client).absolutePath() == jobs;
}

// Claims a job folder of its own inside the client folder: a non-recursive
// mkdir fails when the name exists. The last number used per client folder
// and second is remembered, so any number of submissions per second costs
// one mkdir each, not one per earlier folder of that second. A client folder
// that went away meanwhile (all its jobs removed, or removed by hand) is
// made again.
QString JobFolders::ClaimJobFolder(const QDir &client)
{
    const QString key = client.absolutePath();
    QString stamp;
    int n = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        stamp = StampNow();
        const auto previous = last.value(key);
        n = previous.first == stamp ? previous.second + 1 : 0;
        last.insert(key, {stamp, n});
    }
    bool remade = false;
    for (int tries = 0; tries < 1000000; ++tries, ++n) {
        const QString name = JobFolderName(stamp, n);
        if (client.mkdir(name)) {
            if (tries > 0) { // the number claimed above was taken: remember the one used
                std::lock_guard<std::mutex> lock(mutex);
                if (last.value(key).first == stamp && last.value(key).second < n)
                    last.insert(key, {stamp, n});
            }
            return client.absoluteFilePath(name);
        }
        if (client.exists(name))
            continue; // the name is taken
        if (remade || client.exists() || !QDir().mkpath(key))
            return QString(); // a real failure, not a name already taken
        remade = true;
        --n; // the same name again, in the client folder made anew
    }
    return QString();
}

// The local time of submission to the second, "yyyyMMddhhmmss", made once
// per second: the local time and its text cost more than the mkdir's name.
// With `mutex` held.
QString JobFolders::StampNow()
{
    const qint64 second = QDateTime::currentMSecsSinceEpoch() / 1000;
    if (second != stampSecond) {
        lastStamp = QDateTime::fromSecsSinceEpoch(second).toString(QStringLiteral("yyyyMMddhhmmss"));
        stampSecond = second;
    }
    return lastStamp;
}

// The client folder is made once per run (mkpath costs a failing mkdir and a
// stat per add otherwise); ClaimJobFolder makes it again when it is gone.
QString JobFolders::MakeJobFolder(const QString &from)
{
    if (!IsPlainFolderName(from))
        return QString();
    const QString clientPath = QDir(path).absoluteFilePath(from);
    bool known = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        known = last.contains(clientPath);
    }
    if (!known && (!Ready() || !QDir().mkpath(clientPath)))
        return QString();
    return ClaimJobFolder(QDir(clientPath));
}

// The job file is written whole or the job is not made: a client is never
// told its upload was taken when the file is not on disk.
NesterJob *JobFolders::CreateJob(const QString &from, const QString &fileName, const char *base64,
                                 qint64 base64Size, int time)
{
    const QString name = PlainFileName(fileName);
    if (name.isEmpty() || !IsPlainFolderName(from)) {
        qWarning() << "Job not made, unusable name:" << from << fileName;
        return nullptr;
    }
    // The jobs folder itself is checked only when a job folder cannot be
    // made: two stats per add otherwise.
    const QString folder = MakeJobFolder(from);
    if (folder.isEmpty()) {
        if (!Ready()) {
            ReportFailure();
            return nullptr;
        }
        qWarning() << "Job folder cannot be made for" << from << "in" << path;
        return nullptr;
    }
    // Unbuffered: each decoded piece goes straight to the file, with no
    // copy into (and no allocation of) Qt's write buffer.
    QFile file(QDir(folder).absoluteFilePath(name));
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)
        && Base64StreamWriter::Write(base64, base64Size, &file);
    file.close();
    if (!written) {
        qWarning() << "Job file cannot be written:" << file.fileName() << file.errorString();
        QFile::remove(file.fileName());
        QDir().rmdir(folder);
        return nullptr;
    }
    return new NesterJob(file.fileName(), from, time);
}

} // namespace Zendral
} // namespace Orvane
