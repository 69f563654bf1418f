#include "JobName.h"

#include <QByteArray>
#include <QStringList>

namespace Orvane {
namespace Zendral {

void JobName::Split(const QString &jobName, QString *work, QString *name)
{
    work->clear();
    *name = jobName;
    // Characters outside Latin-1 become '?', which is not in the alphabet,
    // so such a name is never taken for Base64.
    const auto decoded = QByteArray::fromBase64Encoding(
        jobName.toLatin1(), QByteArray::Base64UrlEncoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.isEmpty())
        return;
    const QString text = QString::fromUtf8(decoded.decoded);
    if (text.toUtf8() != decoded.decoded) // not valid UTF-8
        return;
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control)
            return;
    }
    const QStringList parts = text.split(QStringLiteral("::"), Qt::KeepEmptyParts, Qt::CaseSensitive);
    if (parts.size() >= 2) {
        *work = parts.at(0);
        *name = parts.at(1);
    } else {
        *name = text;
    }
}

} // namespace Zendral
} // namespace Orvane
