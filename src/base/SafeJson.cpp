#include "SafeJson.h"

#include <rapidjson/encodedstream.h>
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <string>
#include <unordered_set>
#include <vector>

namespace Orvane {
namespace Zendral {

namespace {

// Follows the reader's events with one set of keys per open object; stops
// at the first repeated key or when the nesting gets too deep.
class KeyScanner : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, KeyScanner>
{
public:
    bool Default() { return true; }
    bool Key(const char *s, rapidjson::SizeType length, bool)
    {
        if (keys.back().size() >= size_t(SafeJson::MaxMembers)) {
            refusal = QStringLiteral("more than %1 members in an object").arg(SafeJson::MaxMembers);
            return false;
        }
        if (keys.back().emplace(s, length).second)
            return true;
        refusal = QStringLiteral("duplicate key \"%1\"").arg(QString::fromUtf8(s, int(qMin<rapidjson::SizeType>(length, 80))));
        return false;
    }
    bool StartObject()
    {
        if (!Open())
            return false;
        keys.emplace_back();
        return true;
    }
    bool EndObject(rapidjson::SizeType)
    {
        keys.pop_back();
        --depth;
        return true;
    }
    bool StartArray() { return Open(); }
    bool EndArray(rapidjson::SizeType)
    {
        --depth;
        return true;
    }

    QString refusal;

private:
    bool Open()
    {
        if (++depth <= SafeJson::MaxDepth)
            return true;
        refusal = QStringLiteral("too deeply nested document");
        return false;
    }

    int depth = 0;
    std::vector<std::unordered_set<std::string>> keys;
};

} // namespace

QJsonDocument SafeJson::Parse(const QByteArray &text, QString *errorText)
{
    return Parse(text.constData(), text.size(), errorText);
}

QJsonDocument SafeJson::Parse(const char *data, qint64 size, QString *errorText)
{
    if (size < 0 || size > MaxSize) {
        if (errorText)
            *errorText = QStringLiteral("document too large");
        return QJsonDocument();
    }
    const QByteArray text = QByteArray::fromRawData(data, int(size));
    // The scan stops at a NUL byte; Qt's parser then finds what follows it.
    rapidjson::MemoryStream memory(text.constData(), size_t(text.size()));
    rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> stream(memory);
    KeyScanner scanner;
    rapidjson::Reader reader;
    const rapidjson::ParseResult scanned = reader.Parse<rapidjson::kParseIterativeFlag>(stream, scanner);
    if (scanned.IsError()) {
        if (errorText) {
            const QString why = scanner.refusal.isEmpty() ? QString::fromLatin1(rapidjson::GetParseError_En(scanned.Code()))
                                                          : scanner.refusal;
            *errorText = QStringLiteral("%1 at offset %2").arg(why).arg(scanned.Offset());
        }
        return QJsonDocument();
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError) {
        if (errorText)
            *errorText = QStringLiteral("%1 at offset %2").arg(error.errorString()).arg(error.offset);
        return QJsonDocument();
    }
    return document;
}

} // namespace Zendral
} // namespace Orvane
