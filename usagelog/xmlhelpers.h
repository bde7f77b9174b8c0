#pragma once

#include <QString>

class QXmlStreamReader;
class XmlOutput;

// Stream helpers shared by the merge, the filter and the debug copies. They report problems
// only through the reader's error state.

// On a start element: the element's text, comments and processing instructions left out;
// the reader is left on the end tag. A child element is an error. On any other token: a
// null string, and nothing is read.
QString readElementTextOnly(QXmlStreamReader &reader);

// On a start element: reads up to and including its end tag.
void skipCurrentElement(QXmlStreamReader &reader);

// On a start element: copies the element and its text to the writer; returns the text.
QString copyTextElement(QXmlStreamReader &reader, XmlOutput &writer);

// Writes an indented copy of an XML file, one element per line with its text; fails silently.
void writePrettyCopy(const QString &sourcePath, const QString &targetPath);
