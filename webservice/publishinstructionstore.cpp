#include "publishinstructionstore.h"

#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <ctime>

namespace {

const QString dataKey = QStringLiteral("data");

} // namespace

PublishInstructionStore::PublishInstructionStore()
    : m_settings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("KALDO Technologies"),
                 QStringLiteral("Zadazevi Rerevarazu"))
    , m_clock([] { return static_cast<qint64>(std::time(nullptr)); })
{
}

void PublishInstructionStore::append(const PublishInstruction &instruction)
{
    const int position = m_entries.size();
    m_entries.append(instruction);
    m_positions[instruction.session()].append(position);
    const PlacelessKey key { instruction.session() };
    if (!m_firstPlaceless.contains(key))
        m_firstPlaceless.insert(key, position);
}

bool PublishInstructionStore::load()
{
    m_errorString.clear();
    if (!m_settings.contains(dataKey))
        return true;
    const QString data = m_settings.value(dataKey).toString();
    if (data.isEmpty())
        return true;

    bool dropped = false;
    QXmlStreamReader reader(data);
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QXmlStreamAttributes attributes = reader.attributes();
        if (reader.name() == QLatin1String("items")) {
            if (attributes.value(QLatin1String("version")) != QLatin1String("1"))
                return true;
        } else if (reader.name() == QLatin1String("si")) {
            PublishInstruction in;
            // A file written by save() always holds whole numbers; an entry that does not is
            // damaged and is left out, while the others still load.
            if (!toStrictNumber(attributes.value(QLatin1String("architecture")), in.architecture))
                continue;
            in.langID = attributes.value(QLatin1String("langID")).toString();
            if (!toStrictNumber(attributes.value(QLatin1String("osBits")), in.osBits)
                || !toStrictNumber(attributes.value(QLatin1String("osPlatform")), in.osPlatform)
                || !toStrictNumber(attributes.value(QLatin1String("osVersion")), in.osVersion))
                continue;
            in.servicePack = attributes.value(QLatin1String("servicePack")).toString();
            if (!toStrictNumber(attributes.value(QLatin1String("productID")), in.productID))
                continue;
            in.version = attributes.value(QLatin1String("version")).toString();
            in.country = attributes.value(QLatin1String("country")).toString();
            in.locale = attributes.value(QLatin1String("locale")).toString();
            in.publish = parsePublishType(attributes.value(QLatin1String("publish")).toString());
            if (!toStrictNumber(attributes.value(QLatin1String("publishUntil")), in.publishUntil))
                continue;
            if (in.publishUntil < m_clock()) {
                dropped = true;
                continue;
            }
            append(in);
        }
    }
    if (reader.hasError()) {
        m_errorString = reader.errorString();
        return false;
    }
    // A rewrite that fails leaves the expired entries in the file for the next save.
    if (dropped)
        (void)save();
    return true;
}

bool PublishInstructionStore::save()
{
    m_errorString.clear();
    if (!m_settings.isWritable()) {
        m_errorString = QStringLiteral("File [") + m_settings.fileName() + QStringLiteral("] is not writable.");
        return false;
    }
    QString document;
    QXmlStreamWriter writer(&document);
    writer.setAutoFormatting(true);
    writer.writeStartDocument(QStringLiteral("1.0"), true);
    writer.writeStartElement(QStringLiteral("items"));
    writer.writeAttribute(QStringLiteral("version"), QStringLiteral("1"));
    for (const PublishInstruction &in : qAsConst(m_entries)) {
        if (!(in.publishUntil > m_clock()))
            continue;
        writer.writeEmptyElement(QStringLiteral("si"));
        writer.writeAttribute(QStringLiteral("architecture"), QString::number(in.architecture));
        writer.writeAttribute(QStringLiteral("langID"), in.langID);
        writer.writeAttribute(QStringLiteral("osBits"), QString::number(in.osBits));
        writer.writeAttribute(QStringLiteral("osPlatform"), QString::number(in.osPlatform));
        writer.writeAttribute(QStringLiteral("osVersion"), QString::number(in.osVersion));
        writer.writeAttribute(QStringLiteral("servicePack"), in.servicePack);
        writer.writeAttribute(QStringLiteral("productID"), QString::number(in.productID));
        writer.writeAttribute(QStringLiteral("version"), in.version);
        writer.writeAttribute(QStringLiteral("country"), in.country);
        writer.writeAttribute(QStringLiteral("locale"), in.locale);
        writer.writeAttribute(QStringLiteral("publish"), publishTypeName(in.publish));
        writer.writeAttribute(QStringLiteral("publishUntil"), QString::number(in.publishUntil));
    }
    writer.writeEndElement();
    writer.writeEndDocument();
    m_settings.setValue(dataKey, document);
    m_settings.sync();
    if (m_settings.status() != QSettings::NoError) {
        m_errorString = QStringLiteral("File [") + m_settings.fileName() + QStringLiteral("] could not be written.");
        return false;
    }
    return true;
}

bool PublishInstructionStore::findInstruction(const SessionInfo &session, PublishInstruction &out)
{
    m_errorString.clear();
    const auto found = m_positions.constFind(session);
    if (found != m_positions.constEnd()) {
        for (int position : *found) {
            const PublishInstruction &entry = m_entries.at(position);
            if (entry.publishUntil >= m_clock()) {
                out = entry;
                return true;
            }
        }
    }
    m_errorString = QStringLiteral("Match not found");
    return false;
}

void PublishInstructionStore::addOrUpdate(const PublishInstruction &instruction)
{
    m_errorString.clear();
    const auto found = m_firstPlaceless.constFind(PlacelessKey { instruction.session() });
    if (found != m_firstPlaceless.constEnd()) {
        PublishInstruction &entry = m_entries[*found];
        entry.publishUntil = instruction.publishUntil;
        entry.publish = instruction.publish;
        return;
    }
    append(instruction);
}
