#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

namespace Orvane {
namespace Zendral {

// Copies the first MARKER element of a result document (a MARKER_DOCUMENT
// XML file written by the nesting engine) out of it, with its attributes,
// child elements, text and comments, so that a client can show the current
// best marker without the rest of the document. Names are copied exactly as
// they stand, and the namespace declarations in scope at the MARKER element
// (on its ancestors) are written on it, so that the fragment parses on its
// own with the same names and namespaces.
//
// Thread: one object per call, used on one thread; the caller holds the file
// read lock while the result file is read.
class MarkerExtractor
{
public:
    // The MARKER element of the file at path; empty when the path is empty,
    // the file is missing or holds no MARKER element.
    QByteArray Extract(const QString &path);
    // The same over bytes already read.
    QByteArray ExtractData(const QByteArray &input);

private:
    // One namespace declaration: prefix ("" for the default) and URI.
    using Declaration = QPair<QString, QString>;

    bool SearchDocument();
    void CopyMarker();
    void WriteStartElement(bool withScope);
    void WriteDeclaration(const Declaration &declaration);
    QList<Declaration> Declarations() const;

    // The declarations of each open element outside the copy, outermost first.
    QList<QList<Declaration>> scopes;

    QByteArray output;
    QXmlStreamReader reader;
    QXmlStreamWriter writer;
};

} // namespace Zendral
} // namespace Orvane
