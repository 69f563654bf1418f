#pragma once

// Shared by the fuzz targets: a check that stops the run with a message
// (libFuzzer then keeps the input as a crash artifact), and a message handler
// that keeps the code's own logging of bad input out of the fuzzer's output,
// plus the files the targets that load a queue write.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                              \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (false)

namespace FuzzSupport {

inline void QuietMessages()
{
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type == QtFatalMsg) {
            std::fprintf(stderr, "fatal: %s\n", qPrintable(message));
            std::abort();
        }
    });
}

// The fuzzer's input as a QByteArray of its own (not raw data: the code under
// test may write into it).
inline QByteArray Bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

inline QString WriteFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(bytes) == bytes.size());
    return path;
}

// The target's own temporary folder for the whole run, quiet messages, and
// in it a job file "job.aex" that exists (inputs name it).
inline QTemporaryDir *FolderWithJobFile()
{
    QuietMessages();
    auto *dir = new QTemporaryDir;
    FUZZ_CHECK(dir->isValid());
    WriteFile(dir->filePath(QStringLiteral("job.aex")), "<MARKER_DOCUMENT/>");
    return dir;
}

} // namespace FuzzSupport
