#include "JournalFile.h"

#include <QtEndian>

#include <boost/crc.hpp>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace Orvane {
namespace Zendral {

namespace {

constexpr int HeaderSize = 8;

quint32 Crc32(const char *data, size_t size)
{
    boost::crc_32_type crc;
    crc.process_bytes(data, size);
    return crc.checksum();
}

#ifndef Q_OS_WIN
QString Errno()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}
#endif

} // namespace

QByteArray JournalFile::Frame(const QByteArray &payload)
{
    QByteArray framed(HeaderSize + payload.size(), Qt::Uninitialized);
    qToLittleEndian<quint32>(quint32(payload.size()), framed.data());
    qToLittleEndian<quint32>(Crc32(payload.constData(), size_t(payload.size())), framed.data() + 4);
    memcpy(framed.data() + HeaderSize, payload.constData(), size_t(payload.size()));
    return framed;
}

QList<QByteArray> JournalFile::ReadRecords(const QByteArray &bytes, qint64 *goodSize, bool *damaged)
{
    QList<QByteArray> records;
    qint64 at = 0;
    const qint64 total = bytes.size();
    while (total - at >= HeaderSize) {
        const quint32 length = qFromLittleEndian<quint32>(bytes.constData() + at);
        const quint32 crc = qFromLittleEndian<quint32>(bytes.constData() + at + 4);
        if (length > MaxPayload || total - at - HeaderSize < qint64(length))
            break;
        const char *payload = bytes.constData() + at + HeaderSize;
        if (Crc32(payload, length) != crc)
            break;
        records.append(QByteArray(payload, int(length)));
        at += HeaderSize + length;
    }
    *goodSize = at;
    *damaged = at != total;
    return records;
}

JournalFile::~JournalFile()
{
    Close();
}

bool JournalFile::Open(const QString &path, bool create)
{
    Close();
    file.setFileName(path);
    QIODevice::OpenMode mode = QIODevice::ReadWrite | QIODevice::Unbuffered;
    if (!create && !file.exists()) {
        error = QStringLiteral("no such file");
        return false;
    }
    if (!file.open(mode)) {
        error = file.errorString();
        return false;
    }
    size = file.size();
    file.seek(size);
    return true;
}

void JournalFile::Close()
{
    if (file.isOpen())
        file.close();
}

bool JournalFile::Append(const QByteArray &bytes)
{
    if (!file.isOpen()) {
        error = QStringLiteral("journal not open");
        return false;
    }
    if (file.write(bytes) == bytes.size()) {
        size += bytes.size();
        return true;
    }
    error = file.errorString();
    // Cut off what part of the write landed, so that the next record does
    // not follow a torn one (a restore stops at the first damaged record).
    file.resize(size);
    file.seek(size);
    return false;
}

bool JournalFile::Sync()
{
    if (!file.isOpen())
        return false;
#ifdef Q_OS_WIN
    const bool ok = FlushFileBuffers(HANDLE(_get_osfhandle(file.handle()))) != 0;
    if (!ok)
        error = QStringLiteral("FlushFileBuffers failed: %1").arg(GetLastError());
#elif defined(Q_OS_LINUX)
    const bool ok = ::fdatasync(file.handle()) == 0;
    if (!ok)
        error = Errno();
#else
    const bool ok = ::fsync(file.handle()) == 0;
    if (!ok)
        error = Errno();
#endif
    return ok;
}

bool JournalFile::SyncPath(const QString &path, bool folder)
{
#ifdef Q_OS_WIN
    if (folder)
        return true; // folder entries are flushed with their files on Windows
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite))
        return false;
    return FlushFileBuffers(HANDLE(_get_osfhandle(f.handle()))) != 0;
#else
    const int fd = ::open(QFile::encodeName(path).constData(), (folder ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
#endif
}

} // namespace Zendral
} // namespace Orvane
