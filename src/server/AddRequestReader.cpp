#include "AddRequestReader.h"

#include "SafeJson.h"

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <cmath>
#include <limits>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace Orvane {
namespace Zendral {

namespace {

// Keeps the three values of the top-level object and checks every object
// for repeated keys. The keys stay valid while the parse runs: in-situ
// strings are unescaped where they stand and never written over.
class AddRequestHandler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, AddRequestHandler>
{
public:
    explicit AddRequestHandler(const char *buffer)
        : buffer(buffer)
    {
    }

    bool Null() { return Value(); }
    bool Bool(bool) { return Value(); }
    bool Int(int i) { return Number(double(i)); }
    bool Uint(unsigned u) { return Number(double(u)); }
    bool Int64(int64_t i) { return Number(double(i)); }
    bool Uint64(uint64_t u) { return Number(double(u)); }
    bool Double(double d) { return Number(d); }
    bool String(const char *s, rapidjson::SizeType length, bool)
    {
        if (AtTop() && key == "job_name")
            jobName = QString::fromUtf8(s, int(length));
        else if (AtTop() && key == "work_data") {
            dataOffset = int(s - buffer);
            dataLength = int(length);
        }
        return Value();
    }
    bool Key(const char *s, rapidjson::SizeType length, bool)
    {
        key = std::string_view(s, length);
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
    bool duplicate = false;
    bool tooDeep = false;
    bool bareValue = false;

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
    int depth = 0;
    std::string_view key;
    std::vector<std::unordered_set<std::string_view>> keys;
    std::vector<int> objectDepths;
};

} // namespace

bool AddRequestReader::Read(QByteArray &payload)
{
    constexpr unsigned Flags = rapidjson::kParseInsituFlag | rapidjson::kParseIterativeFlag
                               | rapidjson::kParseValidateEncodingFlag | rapidjson::kParseFullPrecisionFlag;
    jobName.clear();
    time = DefaultTime;
    dataOffset = dataLength = 0;
    errorText.clear();
    // The in-situ stream ends at a NUL byte; QByteArray keeps one after its
    // last byte, and one inside the payload is caught by the position check.
    char *data = payload.data();
    rapidjson::InsituStringStream stream(data);
    AddRequestHandler handler(data);
    rapidjson::Reader reader;
    const rapidjson::ParseResult result = reader.Parse<Flags>(stream, handler);
    if (handler.duplicate)
        errorText = QStringLiteral("duplicate key");
    else if (handler.tooDeep)
        errorText = QStringLiteral("too deeply nested document");
    else if (handler.bareValue)
        errorText = QStringLiteral("not an object or an array");
    else if (result.IsError())
        errorText = QString::fromLatin1(rapidjson::GetParseError_En(result.Code()));
    else if (stream.Tell() != size_t(payload.size()))
        errorText = QStringLiteral("garbage at the end of the document");
    if (!errorText.isEmpty())
        return false;
    jobName = handler.jobName;
    time = handler.time;
    dataOffset = handler.dataOffset;
    dataLength = handler.dataLength;
    return true;
}

} // namespace Zendral
} // namespace Orvane
