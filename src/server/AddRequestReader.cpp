#include "AddRequestReader.h"

#include "SafeJson.h"

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>
#include <rapidjson/stream.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace Orvane {
namespace Zendral {

namespace {

// An in-situ stream over data[0, size) that never reads or writes outside
// it. RapidJSON's own in-situ stream relies on a NUL after the text and,
// when it validates UTF-8, reads and writes past that NUL after a multi-byte
// sequence cut short by the end. Here the end reads as NUL and writes beyond
// it are dropped (they only happen on input that is refused anyway).
class BoundedInsituStream
{
public:
    typedef char Ch;

    BoundedInsituStream(char *data, size_t size)
        : data(data)
        , size(size)
    {
    }

    Ch Peek() const { return src < size ? data[src] : '\0'; }
    Ch Take() { return src < size ? data[src++] : '\0'; }
    size_t Tell() const { return src; }

    Ch *PutBegin()
    {
        dst = src;
        return data + dst;
    }
    void Put(Ch c)
    {
        if (dst < size)
            data[dst] = c;
        ++dst;
    }
    size_t PutEnd(Ch *begin) { return dst - size_t(begin - data); }
    void Flush() {}

private:
    char *data;
    size_t size;
    size_t src = 0;
    size_t dst = 0;
};

// Keeps the three values of the top-level object and checks every object
// for repeated keys. The keys stay valid while the parse runs: in-situ
// strings are unescaped where they stand and never written over.
class AddRequestHandler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, AddRequestHandler>
{
public:
    AddRequestHandler(const char *buffer, const BoundedInsituStream &stream)
        : buffer(buffer)
        , stream(stream)
    {
    }

    bool Null() { return Value(); }
    bool Bool(bool) { return Value(); }
    bool Int(int i) { return Number(double(i)); }
    bool Uint(unsigned u) { return Number(double(u)); }
    bool Int64(int64_t i) { return Number(double(i)); }
    bool Uint64(uint64_t u) { return Number(double(u)); }
    // A number with a fraction or an exponent is read again from its text
    // as Qt's parser reads it, which refuses what does not fit a double
    // (RapidJSON takes 1e-400 as 0, and its own full-precision conversion
    // misbehaves on some inputs). It has just been read, so it ends where
    // the stream stands.
    bool Double(double)
    {
        const size_t end = stream.Tell();
        size_t start = end;
        while (start > 0 && buffer[start - 1] != '\0' && std::strchr("0123456789+-.eE", buffer[start - 1]))
            --start;
        bool ok = false;
        const double d = QByteArray::fromRawData(buffer + start, int(end - start)).toDouble(&ok);
        if (!ok) {
            badNumber = true;
            return false;
        }
        return Number(d);
    }
    bool String(const char *s, rapidjson::SizeType length, bool)
    {
        if (AtTop() && key == "job_name")
            jobName = QString::fromUtf8(s, int(length));
        else if (AtTop() && key == "work_data") {
            dataOffset = int(s - buffer);
            dataLength = int(length);
            dataString = true;
        }
        return Value();
    }
    bool Key(const char *s, rapidjson::SizeType length, bool)
    {
        key = std::string_view(s, length);
        if (keys.back().size() >= size_t(SafeJson::MaxMembers)) {
            tooManyMembers = true; // bounds the memory of the key sets
            return false;
        }
        if (!keys.back().insert(key).second) {
            duplicate = true;
            return false;
        }
        return true;
    }
    bool StartObject()
    {
        if (!Open())
            return false;
        keys.emplace_back();
        objectDepths.push_back(depth);
        return true;
    }
    bool EndObject(rapidjson::SizeType)
    {
        keys.pop_back();
        objectDepths.pop_back();
        return Close();
    }
    bool StartArray() { return Open(); }
    bool EndArray(rapidjson::SizeType) { return Close(); }

    QString jobName;
    int time = AddRequestReader::DefaultTime;
    int dataOffset = 0;
    int dataLength = 0;
    bool dataString = false;
    bool duplicate = false;
    bool tooManyMembers = false;
    bool tooDeep = false;
    bool bareValue = false;
    bool badNumber = false;

private:
    // A value directly inside the top-level object.
    bool AtTop() const { return depth == 1 && objectDepths.size() == 1; }

    bool Value()
    {
        if (depth == 0) {
            bareValue = true; // a document must be an object or an array
            return false;
        }
        return true;
    }

    // As QJsonValue::toInt(90): a whole number in int's range, else 90.
    bool Number(double d)
    {
        if (AtTop() && key == "time") {
            const bool whole = std::isfinite(d) && d == std::floor(d) && d >= double(std::numeric_limits<int>::min())
                               && d <= double(std::numeric_limits<int>::max());
            time = whole ? int(d) : AddRequestReader::DefaultTime;
        }
        return Value();
    }

    bool Open()
    {
        if (depth >= SafeJson::MaxDepth) {
            tooDeep = true;
            return false;
        }
        ++depth;
        return true;
    }

    bool Close()
    {
        --depth;
        return depth == 0 || Value();
    }

    const char *buffer;
    const BoundedInsituStream &stream;
    int depth = 0;
    std::string_view key;
    std::vector<std::unordered_set<std::string_view>> keys;
    std::vector<int> objectDepths;
};

// Standard Base64 as described at HasValidData.
bool IsStandardBase64(const char *text, qint64 size)
{
    qint64 symbols = 0;
    int padding = 0;
    for (qint64 i = 0; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        if (c == '=') {
            ++padding;
            continue;
        }
        const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+'
                              || c == '/';
        if (!alphabet || padding > 0)
            return false;
        ++symbols;
    }
    if (padding > 2 || symbols % 4 == 1 || (symbols == 0 && padding > 0))
        return false;
    return padding == 0 || (symbols + padding) % 4 == 0;
}

} // namespace

bool AddRequestReader::Read(QByteArray &payload)
{
    constexpr unsigned Flags = rapidjson::kParseInsituFlag | rapidjson::kParseIterativeFlag
                               | rapidjson::kParseValidateEncodingFlag;
    jobName.clear();
    time = DefaultTime;
    dataOffset = dataLength = 0;
    dataValid = timeMoved = false;
    errorText.clear();
    // The reader takes a NUL byte for the end; one inside the payload is
    // caught by the position check.
    char *data = payload.data();
    BoundedInsituStream stream(data, size_t(payload.size()));
    AddRequestHandler handler(data, stream);
    rapidjson::Reader reader;
    const rapidjson::ParseResult result = reader.Parse<Flags>(stream, handler);
    if (handler.duplicate)
        errorText = QStringLiteral("duplicate key");
    else if (handler.tooManyMembers)
        errorText = QStringLiteral("more than %1 members in an object").arg(SafeJson::MaxMembers);
    else if (handler.tooDeep)
        errorText = QStringLiteral("too deeply nested document");
    else if (handler.bareValue)
        errorText = QStringLiteral("not an object or an array");
    else if (handler.badNumber)
        errorText = QStringLiteral("illegal number");
    else if (result.IsError())
        errorText = QString::fromLatin1(rapidjson::GetParseError_En(result.Code()));
    else if (stream.Tell() != size_t(payload.size()))
        errorText = QStringLiteral("garbage at the end of the document");
    if (!errorText.isEmpty())
        return false;
    jobName = handler.jobName;
    time = qBound(MinTime, handler.time, MaxTime);
    timeMoved = time != handler.time;
    dataOffset = handler.dataOffset;
    dataLength = handler.dataLength;
    dataValid = handler.dataString && IsStandardBase64(data + dataOffset, dataLength);
    return true;
}

} // namespace Zendral
} // namespace Orvane
