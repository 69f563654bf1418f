#pragma once

#include <QFile>
#include <QSaveFile>
#include <QString>

namespace Orvane {
namespace Zendral {

// Where a picked-up result document goes: a file, written through a
// temporary file and renamed at the end, so that a failed pick-up leaves no
// partial file; or standard output for the target "-".
//
// Thread: the client's main thread.
class ResultFile
{
public:
    explicit ResultFile(const QString &target);

    // Whether the target could be written, leaving nothing behind.
    static bool CanWrite(const QString &target, QString *error);

    // Opens the target for writing; false with ErrorString() set.
    bool Open();
    // Writes the whole document and completes the file.
    bool Write(const QByteArray &document);
    // Drops what was opened; an existing file keeps its content.
    void Cancel();

    bool IsStandardOutput() const { return target == QLatin1String("-"); }
    QString Target() const { return target; }
    QString ErrorString() const;

private:
    QString target;
    QSaveFile file;
    QFile standardOutput;
};

} // namespace Zendral
} // namespace Orvane
