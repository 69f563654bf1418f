// The marker extractor on any document: its output is empty or a MARKER
// element that parses as XML on its own, and extracting it again from a
// document that holds only that element gives it back unchanged.
#include "FuzzSupport.h"
#include "MarkerExtractor.h"

#include <QXmlStreamReader>

using namespace Orvane::Zendral;

namespace {

bool WellFormed(const QByteArray &xml)
{
    QXmlStreamReader reader(xml);
    while (!reader.atEnd())
        reader.readNext();
    return !reader.hasError();
}

// Line ends as an XML reader sees them. QXmlStreamWriter writes a carriage
// return of the text (from "&#13;") as it is, and reading the output again
// makes it a line feed; nothing else may change.
QByteArray LineFeeds(QByteArray xml)
{
    return xml.replace("\r\n", "\n").replace('\r', '\n');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray marker = MarkerExtractor().ExtractData(FuzzSupport::Bytes(data, size));
    if (marker.isEmpty())
        return 0;
    FUZZ_CHECK(WellFormed(marker));
    const QByteArray document = "<MARKER_DOCUMENT>" + marker + "</MARKER_DOCUMENT>";
    FUZZ_CHECK(LineFeeds(MarkerExtractor().ExtractData(document)) == LineFeeds(marker));
    return 0;
}
