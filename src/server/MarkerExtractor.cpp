#include "MarkerExtractor.h"

#include <QBuffer>
#include <QFile>

namespace Orvane {
namespace Zendral {

QByteArray MarkerExtractor::Extract(const QString &path)
{
    if (path.isEmpty())
        return QByteArray();
    QByteArray input;
    QFile file(path);
    if (file.exists() && file.open(QIODevice::ReadOnly)) {
        input = file.readAll();
        file.close();
    }
    return ExtractData(input);
}

QByteArray MarkerExtractor::ExtractData(const QByteArray &input)
{
    output.clear();
    QBuffer in;
    in.setData(input);
    in.open(QIODevice::ReadOnly);
    QBuffer out(&output);
    out.open(QIODevice::WriteOnly);

    // Without namespace processing prefixed names and xmlns attributes are
    // copied exactly as they stand.
    reader.clear();
    reader.setNamespaceProcessing(false);
    reader.setDevice(&in);
    writer.setDevice(&out);
    writer.setAutoFormatting(false);

    bool found = false;
    while (!reader.atEnd()) {
        reader.readNext();
        if (!found && reader.isStartElement() && reader.name() == QLatin1String("MARKER_DOCUMENT"))
            found = SearchDocument();
    }
    writer.setDevice(nullptr);
    reader.setDevice(nullptr);
    return output;
}

// Inside MARKER_DOCUMENT: skips every child other than MARKER; copies the
// first MARKER. Returns whether one was copied.
bool MarkerExtractor::SearchDocument()
{
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isEndElement() && reader.name() == QLatin1String("MARKER_DOCUMENT"))
            return false;
        if (!reader.isStartElement())
            continue;
        if (reader.name() == QLatin1String("MARKER")) {
            CopyMarker();
            return true;
        }
        reader.skipCurrentElement();
    }
    return false;
}

// Copies from the current MARKER start element to its end element. Input
// that ends early (or is malformed) leaves elements open; they are closed so
// that the output stays well-formed.
void MarkerExtractor::CopyMarker()
{
    int depth = 0;
    for (;;) {
        switch (reader.tokenType()) {
        case QXmlStreamReader::StartElement:
            writer.writeStartElement(reader.qualifiedName().toString());
            writer.writeAttributes(reader.attributes());
            ++depth;
            break;
        case QXmlStreamReader::EndElement:
            writer.writeEndElement();
            --depth;
            break;
        case QXmlStreamReader::Characters:
            writer.writeCharacters(reader.text().toString());
            break;
        case QXmlStreamReader::Comment:
            writer.writeComment(reader.text().toString());
            break;
        default:
            break; // processing instructions, DTDs, entity references
        }
        if (depth == 0 || reader.atEnd())
            break;
        reader.readNext();
    }
    for (; depth > 0; --depth)
        writer.writeEndElement();
}

} // namespace Zendral
} // namespace Orvane
