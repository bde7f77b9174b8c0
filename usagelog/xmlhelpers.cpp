#include "xmlhelpers.h"

#include "xmloutput.h"

#include <QFile>
#include <QXmlStreamReader>

QString readElementTextOnly(QXmlStreamReader &reader)
{
    if (!reader.isStartElement())
        return QString();
    QString result = QLatin1String("");
    for (;;) {
        switch (reader.readNext()) {
        case QXmlStreamReader::Characters:
        case QXmlStreamReader::EntityReference: result += reader.text(); break;
        case QXmlStreamReader::Comment:
        case QXmlStreamReader::ProcessingInstruction: break;
        case QXmlStreamReader::EndElement: return result;
        case QXmlStreamReader::StartElement:
            if (!reader.hasError())
                reader.raiseError(QStringLiteral("Got start element; expected only character data."));
            return result;
        default:
            if (!reader.hasError())
                reader.raiseError(QStringLiteral("Expected character data."));
            return result;
        }
    }
}

void skipCurrentElement(QXmlStreamReader &reader)
{
    if (!reader.isStartElement()) {
        reader.raiseError(QStringLiteral("Called skipCurrentElement() while not on a start element"));
        return;
    }
    // Only the depth matters: names are not compared on the way out.
    int depth = 1;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
        } else if (token == QXmlStreamReader::EndElement) {
            if (--depth == 0)
                return;
        }
    }
}

QString copyTextElement(QXmlStreamReader &reader, XmlOutput &writer)
{
    writer.writeCurrentToken(reader);
    const QString text = reader.readElementText();
    writer.writeCharacters(text);
    writer.writeEndElement();
    return text;
}

void writePrettyCopy(const QString &sourcePath, const QString &targetPath)
{
    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly))
        return;
    QFile target(targetPath);
    if (!target.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;

    QXmlStreamReader reader(&source);
    XmlOutput writer(&target);
    // A line break and the deepest indentation seen so far; each line takes its prefix.
    QString lineStart = QStringLiteral("\n");
    int indent = 0;
    QXmlStreamReader::TokenType last = QXmlStreamReader::Invalid;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        // The end of the document writes nothing, so the copy does not end with a line break.
        if (token == QXmlStreamReader::Invalid || token == QXmlStreamReader::EndDocument)
            break;
        if (token == QXmlStreamReader::Characters && reader.text().trimmed().isEmpty())
            continue;
        if (token == QXmlStreamReader::EndElement)
            indent -= 4;
        const bool keepOnLine = token == QXmlStreamReader::StartDocument || token == QXmlStreamReader::Characters
                                || last == QXmlStreamReader::Characters
                                || (last == QXmlStreamReader::StartElement && token == QXmlStreamReader::EndElement);
        if (!keepOnLine) {
            const int spaces = qMax(indent, 0);
            if (lineStart.size() <= spaces)
                lineStart.resize(spaces + 1, QLatin1Char(' '));
            writer.writeCharacters(QStringView(lineStart).left(spaces + 1));
        }
        writer.writeCurrentToken(reader);
        if (token == QXmlStreamReader::StartElement)
            indent += 4;
        last = token;
        if (!writer.flushIfFull())
            return;
    }
}
