// The ADD payload reader against Qt's reading of the same payload: it takes
// what SafeJson takes, and then gives the same name, time and data text.
#include "AddRequestReader.h"
#include "FuzzSupport.h"
#include "SafeJson.h"

#include <QJsonObject>

using namespace Orvane::Zendral;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = (FuzzSupport::QuietMessages(), true);
    Q_UNUSED(quiet)
    const QByteArray input = FuzzSupport::Bytes(data, size);
    QByteArray payload = input;
    AddRequestReader reader;
    const bool read = reader.Read(payload);
    const QJsonDocument document = SafeJson::Parse(input);
    FUZZ_CHECK(read == !document.isNull());
    if (!read)
        return 0;
    FUZZ_CHECK(reader.DataOffset() >= 0 && reader.DataLength() >= 0);
    FUZZ_CHECK(qint64(reader.DataOffset()) + reader.DataLength() <= payload.size());
    const QJsonObject object = document.object();
    // The name the reader gives is always well-formed text. A lone surrogate
    // escape has no one right reading (Qt keeps the lone code unit, the
    // reader a replacement character), so the names are compared where Qt's
    // is well-formed too.
    const QString name = object.value(QStringLiteral("job_name")).toString();
    FUZZ_CHECK(reader.JobName().isValidUtf16());
    FUZZ_CHECK(!name.isValidUtf16() || reader.JobName() == name);
    // A whole number outside the allowed range is moved to its nearest end.
    const int asked = object.value(QStringLiteral("time")).toInt(AddRequestReader::DefaultTime);
    FUZZ_CHECK(reader.Time() == qBound(AddRequestReader::MinTime, asked, AddRequestReader::MaxTime));
    FUZZ_CHECK(reader.TimeMoved() == (asked != reader.Time()));
    // Data the reader takes is standard Base64 text, the same as Qt reads it.
    // (Text it refuses may differ: a lone surrogate escape decodes unlike
    // Qt's, and such a document is refused as "Invalid data...".)
    if (reader.HasValidData()) {
        const QByteArray text = payload.mid(reader.DataOffset(), reader.DataLength());
        FUZZ_CHECK(text == object.value(QStringLiteral("work_data")).toString().toUtf8());
    }
    return 0;
}
