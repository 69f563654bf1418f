#include "JobName.h"

#include <QByteArray>
#include <QStringList>

namespace Orvane {
namespace Zendral {

namespace {

const QString Separator = QStringLiteral("::");

bool HasControlCharacters(const QString &text)
{
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control)
            return true;
    }
    return false;
}

// Suffix characters that every platform keeps in a file name and that the
// service's name cleaning leaves alone.
bool IsPlainSuffix(const QString &suffix)
{
    for (const QChar c : suffix) {
        if (!c.isLetterOrNumber() && c != QLatin1Char('-') && c != QLatin1Char('_'))
            return false;
    }
    return true;
}

} // namespace

QString JobName::Encode(const QString &work, const QString &name, const QString &suffix, QString *error)
{
    if (!IsPlainSuffix(suffix)) {
        *error = QStringLiteral("the file's suffix '%1' holds characters that cannot be sent; rename the file").arg(suffix);
        return QString();
    }
    const QString text = work.isEmpty() ? name : work + Separator + name;
    const QByteArray encoded = text.toUtf8().toBase64(QByteArray::Base64UrlEncoding);
    QString decodedWork;
    QString decodedName;
    if (!Decode(QString::fromLatin1(encoded), &decodedWork, &decodedName) || decodedWork != work
        || decodedName != name) {
        *error = QStringLiteral("work and job names cannot hold control characters or \"::\" (the window "
                                "splits the name at \"::\"), nor may a work name end or a job name begin with ':'");
        return QString();
    }
    const QByteArray suffixBytes = suffix.isEmpty() ? QByteArray() : '.' + suffix.toUtf8();
    if (encoded.size() + suffixBytes.size() > MaxFileNameBytes) {
        const int room = (MaxFileNameBytes - suffixBytes.size()) / 4 * 3;
        *error = QStringLiteral("work and job name too long: %1 bytes as UTF-8 (\"%2\"), at most %3 with this "
                                "file's suffix")
                     .arg(text.toUtf8().size())
                     .arg(work.isEmpty() ? QStringLiteral("name") : QStringLiteral("work::name"))
                     .arg(room);
        return QString();
    }
    return QString::fromLatin1(encoded + suffixBytes);
}

bool JobName::Decode(const QString &recordName, QString *work, QString *name)
{
    work->clear();
    *name = recordName;
    const QByteArray raw = recordName.toLatin1();
    if (raw.isEmpty() || raw.size() % 4 != 0 || QString::fromLatin1(raw) != recordName)
        return false;
    // Decoding skips characters outside the alphabet; only a text that
    // encodes back to itself is taken as Base64.
    const QByteArray bytes = QByteArray::fromBase64(raw, QByteArray::Base64UrlEncoding);
    if (bytes.isEmpty() || bytes.toBase64(QByteArray::Base64UrlEncoding) != raw)
        return false;
    const QString text = QString::fromUtf8(bytes);
    if (text.toUtf8() != bytes || HasControlCharacters(text))
        return false;
    // As the window: the first part is the work name, the second the name,
    // further parts are not shown.
    const QStringList parts = text.split(Separator);
    if (parts.size() >= 2) {
        *work = parts.at(0);
        *name = parts.at(1);
    } else {
        *name = text;
    }
    return true;
}

} // namespace Zendral
} // namespace Orvane
