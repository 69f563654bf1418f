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

    scopes.clear();
    bool found = false;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement())
            scopes.append(Declarations());
        else if (reader.isEndElement() && !scopes.isEmpty())
            scopes.removeLast();
        if (!found && reader.isStartElement() && reader.name() == QLatin1String("MARKER_DOCUMENT")) {
            found = SearchDocument();
            if (!scopes.isEmpty())
                scopes.removeLast(); // SearchDocument read the document's end
        }
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
            WriteStartElement(depth == 0);
            ++depth;
            break;
        case QXmlStreamReader::EndElement:
            writer.writeEndElement();
            --depth;
            break;
        case QXmlStreamReader::Characters:
            // An empty text (an empty CDATA section) writes nothing: written,
            // it would still turn <A/> into <A></A>.
            if (!reader.text().isEmpty())
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

// The current element's own namespace declarations (the reader reports
// them apart from the attributes, also without namespace processing).
QList<MarkerExtractor::Declaration> MarkerExtractor::Declarations() const
{
    QList<Declaration> declarations;
    for (const QXmlStreamNamespaceDeclaration &d : reader.namespaceDeclarations())
        declarations.append({d.prefix().toString(), d.namespaceUri().toString()});
    return declarations;
}

void MarkerExtractor::WriteDeclaration(const Declaration &declaration)
{
    writer.writeAttribute(declaration.first.isEmpty() ? QStringLiteral("xmlns")
                                                      : QStringLiteral("xmlns:") + declaration.first,
                          declaration.second);
}

// Writes the current start element with its name, its own namespace
// declarations and its attributes exactly as they stand. The copy's top
// element (withScope) also gets every declaration in scope from its
// ancestors that it does not make itself, the innermost one of each prefix.
void MarkerExtractor::WriteStartElement(bool withScope)
{
    writer.writeStartElement(reader.qualifiedName().toString());
    const QList<Declaration> own = Declarations();
    if (withScope) {
        QList<QString> declared;
        for (const Declaration &d : own)
            declared.append(d.first);
        // Ancestors, innermost first: the first declaration of a prefix wins.
        for (int i = scopes.size() - 1; i >= 0; --i) {
            for (const Declaration &outer : scopes.at(i)) {
                if (declared.contains(outer.first))
                    continue;
                declared.append(outer.first);
                WriteDeclaration(outer);
            }
        }
    }
    for (const Declaration &d : own)
        WriteDeclaration(d);
    for (const QXmlStreamAttribute &attribute : reader.attributes())
        writer.writeAttribute(attribute.qualifiedName().toString(), attribute.value().toString());
}

} // namespace Zendral
} // namespace Orvane
