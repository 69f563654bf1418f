#include "ResultFile.h"

#include <cstdio>

namespace Orvane {
namespace Zendral {

ResultFile::ResultFile(const QString &target)
    : target(target)
    , file(target)
{
}

bool ResultFile::CanWrite(const QString &target, QString *error)
{
    if (target == QLatin1String("-"))
        return true;
    QSaveFile probe(target);
    if (!probe.open(QIODevice::WriteOnly)) {
        *error = probe.errorString();
        return false;
    }
    probe.cancelWriting();
    return true;
}

bool ResultFile::Open()
{
    if (IsStandardOutput())
        return standardOutput.open(stdout, QIODevice::WriteOnly);
    return file.open(QIODevice::WriteOnly);
}

bool ResultFile::Write(const QByteArray &document)
{
    if (IsStandardOutput())
        return standardOutput.write(document) == document.size() && standardOutput.flush();
    return file.write(document) == document.size() && file.commit();
}

void ResultFile::Cancel()
{
    if (!IsStandardOutput())
        file.cancelWriting();
}

QString ResultFile::ErrorString() const
{
    return IsStandardOutput() ? standardOutput.errorString() : file.errorString();
}

} // namespace Zendral
} // namespace Orvane
