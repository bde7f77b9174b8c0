// Writes usage logs the way the tracked products do, for tests, benchmarks and the demo, and
// as an example for writers of other programs: it finds the log folder with the shared rule,
// writes each log as one file or as numbered parts "<group>.<n>.xml", and holds each file's
// lock while it writes it. A log in parts is handed over part by part: part n+1 exists and is
// locked before part n is released, and the last part is released only once it holds
// <logfinal>, so a harvest that finds every part of a group free finds the whole log. A log has
// at most ten parts: an eleventh ("<group>.10.xml") would sort before "<group>.2.xml".

#include "filelock.h"
#include "logfolder.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QThread>
#include <QUuid>
#include <QXmlStreamWriter>

#include <cstdio>
#include <memory>

namespace {

struct Product
{
    int id;
    const char *version;
    const char *language;
};

const Product products[] = { { 12, "4.2.1", "en" }, { 27, "2024.1", "de" }, { 31, "7.0", "fr" } };
const char *const features[] = { "Open", "Save", "Print", "Export", "Render", "Measure" };
const char *const users[] = { "jdoe", "asmith", "mkovacs", "lnguyen" };
const char *const folders[] = { "Projects", "Drawings", "Clients", "Archive" };

struct Options
{
    int logs = 1;
    int parts = 1;
    int sessions = 2;
    int events = 5;
    qint64 size = 0;
    quint32 seed = 1;
    bool kaldo = true;
    bool admin = false;
    int holdPart = -1;
    int holdMs = 0;
    int pauseMs = 0;
    QString folder;
    QString prefix = QStringLiteral("usage");
};

class LogWriter
{
public:
    LogWriter(const Options &options, QRandomGenerator &random)
        : m(options)
        , random(random)
    {
    }

    // Writes one log; returns the paths of its part files.
    QStringList write(const QDir &dir, const QString &group)
    {
        m_logId = uuid();
        m_eventsPerSession = m.events;
        if (m.size > 0)
            m_eventsPerSession = static_cast<int>(qMax<qint64>(1, m.size / (qMax(1, m.sessions) * 560)));
        // The whole log as a sequence of (session, first event, last event) pieces, cut into
        // parts so that a session may continue in the next part.
        const int totalEvents = m.sessions * m_eventsPerSession;
        const int perPart = qMax(1, (totalEvents + m.parts - 1) / m.parts);
        m_session = 0;
        m_eventInSession = 0;
        m_sessionId = uuid();
        QStringList paths;
        std::unique_ptr<FileLock> held; // the part written last, until the next one exists
        for (int part = 0; part < m.parts; ++part) {
            const QString name = m.parts == 1
                                     ? group + QLatin1String(".xml")
                                     : group + QLatin1Char('.') + QString::number(part) + QLatin1String(".xml");
            const QString path = dir.absoluteFilePath(name);
            auto lock = std::make_unique<FileLock>(path.toUtf8().toStdString());
            QFile file(path);
            if (!lock->tryLock(5000) || !file.open(QIODevice::WriteOnly | QIODevice::Truncate))
                return paths;
            held = std::move(lock);
            const bool last = part == m.parts - 1;
            if (!writePart(file, part, last ? totalEvents + 1 : perPart, last))
                return paths;
            paths.append(path);
            QThread::msleep(static_cast<unsigned long>(m.pauseMs));
        }
        return paths;
    }

private:
    // Writes one part file, open and locked, with up to `budget` events.
    bool writePart(QFile &file, int part, int budget, bool last)
    {
        QXmlStreamWriter xml(&file);
        xml.setAutoFormatting(true);
        xml.writeStartDocument();
        xml.writeStartElement(QStringLiteral("kaldousage"));
        xml.writeTextElement(QStringLiteral("schema"), QStringLiteral("3"));
        xml.writeTextElement(QStringLiteral("loguuid"), m_logId);
        xml.writeTextElement(QStringLiteral("logsequence"), QString::number(part));
        xml.writeEmptyElement(QStringLiteral("logstatus"));
        xml.writeAttribute(QStringLiteral("kaldo"), m.kaldo ? QStringLiteral("true") : QStringLiteral("false"));
        xml.writeAttribute(QStringLiteral("admin"), m.admin ? QStringLiteral("true") : QStringLiteral("false"));
        writeSessions(xml, budget);
        if (last)
            xml.writeTextElement(QStringLiteral("logfinal"), QStringLiteral("true"));
        xml.writeEndElement();
        xml.writeEndDocument();
        file.close();
        return file.error() == QFileDevice::NoError;
    }

    // Goes on with the sessions where the previous part stopped, a session continuing in
    // the next part when the budget runs out in its middle.
    void writeSessions(QXmlStreamWriter &xml, int budget)
    {
        bool continuing = m_eventInSession > 0;
        while (m_session < m.sessions && budget > 0) {
            xml.writeStartElement(QStringLiteral("session"));
            if (!continuing)
                xml.writeAttribute(QStringLiteral("sessiongroup"), QString::number(m_session % 3));
            xml.writeTextElement(QStringLiteral("sessionuuid"), m_sessionId);
            if (!continuing)
                writeSessionHeader(xml, m_session);
            for (; m_eventInSession < m_eventsPerSession && budget > 0; ++m_eventInSession, --budget)
                writeEvent(xml, m_eventInSession);
            xml.writeEndElement();
            continuing = m_eventInSession < m_eventsPerSession;
            if (!continuing) {
                ++m_session;
                m_eventInSession = 0;
                m_sessionId = uuid();
            }
        }
    }

    QString uuid()
    {
        return QUuid(random.generate(), random.generate() & 0xffff, random.generate() & 0xffff, 0x80, 1, 2, 3, 4, 5, 6,
                     static_cast<uchar>(random.generate()))
            .toString(QUuid::WithoutBraces);
    }

    template <typename T, size_t N> const T &pick(const T (&items)[N])
    {
        return items[random.bounded(static_cast<quint32>(N))];
    }

    void writeSessionHeader(QXmlStreamWriter &xml, int session)
    {
        const Product &product = products[session % 3];
        xml.writeTextElement(
            QStringLiteral("sessionstarttime"),
            QStringLiteral("2026-11-%1T08:%2:00").arg(10 + session % 18).arg(session % 60, 2, 10, QLatin1Char('0')));
        xml.writeTextElement(QStringLiteral("timezone"), QStringLiteral("60"));
        xml.writeStartElement(QStringLiteral("product"));
        xml.writeTextElement(QStringLiteral("productid"), QString::number(product.id));
        xml.writeTextElement(QStringLiteral("productversion"), QLatin1String(product.version));
        xml.writeTextElement(QStringLiteral("productlanguage"), QLatin1String(product.language));
        xml.writeTextElement(QStringLiteral("trackedsoftwaretype"), QStringLiteral("1"));
        xml.writeEndElement();
        xml.writeStartElement(QStringLiteral("computer"));
        xml.writeStartElement(QStringLiteral("user"));
        xml.writeTextElement(QStringLiteral("anon"), QLatin1String(pick(users)));
        xml.writeEndElement();
        xml.writeStartElement(QStringLiteral("domain"));
        xml.writeTextElement(QStringLiteral("anon"), QStringLiteral("CORP-%1").arg(random.bounded(100)));
        xml.writeEndElement();
        xml.writeTextElement(QStringLiteral("osplatform"), QStringLiteral("2"));
        xml.writeTextElement(QStringLiteral("osversion"), QStringLiteral("10"));
        xml.writeTextElement(QStringLiteral("osservicepack"), QStringLiteral("SP1"));
        xml.writeTextElement(QStringLiteral("osbits"), QStringLiteral("64"));
        xml.writeTextElement(QStringLiteral("cpuarchitecture"), QStringLiteral("9"));
        xml.writeTextElement(QStringLiteral("ram"), QString::number(8192 * (1 + session % 4)));
        xml.writeEndElement();
        xml.writeTextElement(QStringLiteral("country"), session % 2 ? QStringLiteral("DE") : QStringLiteral("US"));
        xml.writeTextElement(QStringLiteral("locale"), session % 2 ? QStringLiteral("de_DE") : QStringLiteral("en_US"));
    }

    void writeEvent(QXmlStreamWriter &xml, int index)
    {
        const QString feature = QLatin1String(pick(features));
        const QString when = QStringLiteral("2026-11-20T09:%1:%2")
                                 .arg(index / 60 % 60, 2, 10, QLatin1Char('0'))
                                 .arg(index % 60, 2, 10, QLatin1Char('0'));
        if (index % 3 == 2) {
            // A finished event written in one piece.
            xml.writeStartElement(QStringLiteral("event"));
            xml.writeTextElement(QStringLiteral("feature"), feature);
            xml.writeTextElement(QStringLiteral("eventstarttime"), when);
            xml.writeEndElement();
            return;
        }
        xml.writeStartElement(QStringLiteral("eventstart"));
        xml.writeAttribute(QStringLiteral("eventid"), QString::number(index));
        xml.writeTextElement(QStringLiteral("feature"), feature);
        xml.writeTextElement(QStringLiteral("methodofcall"), QStringLiteral("menu"));
        xml.writeTextElement(QStringLiteral("eventstarttime"), when);
        xml.writeStartElement(QStringLiteral("attribute"));
        xml.writeTextElement(QStringLiteral("attributecode"), QStringLiteral("path"));
        xml.writeStartElement(QStringLiteral("attributevalue"));
        xml.writeTextElement(QStringLiteral("anon"), QStringLiteral("C:/Users/%1/%2/file-%3.dwg")
                                                         .arg(QLatin1String(pick(users)), QLatin1String(pick(folders)))
                                                         .arg(random.bounded(100000)));
        xml.writeEndElement();
        xml.writeEndElement();
        xml.writeEndElement();
        xml.writeEmptyElement(QStringLiteral("eventend"));
        xml.writeAttribute(QStringLiteral("eventid"), QString::number(index));
        xml.writeAttribute(QStringLiteral("eventendtime"), when);
    }

    const Options &m;
    QRandomGenerator &random;
    QString m_logId;
    int m_eventsPerSession = 0;
    // Where the sessions stand between parts.
    int m_session = 0;
    int m_eventInSession = 0;
    QString m_sessionId;
};

Options parseOptions(const QCoreApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Writes usage logs into the per-user log folder the way the tracked products do."));
    parser.addHelpOption();
    parser.addOptions({
        { QStringLiteral("logs"), QStringLiteral("Number of logs (default 1)."), QStringLiteral("n"),
          QStringLiteral("1") },
        { QStringLiteral("parts"), QStringLiteral("Part files per log, at most 10 (default 1: one file <name>.xml)."),
          QStringLiteral("n"), QStringLiteral("1") },
        { QStringLiteral("sessions"), QStringLiteral("Sessions per log (default 2)."), QStringLiteral("n"),
          QStringLiteral("2") },
        { QStringLiteral("events"), QStringLiteral("Events per session (default 5)."), QStringLiteral("n"),
          QStringLiteral("5") },
        { QStringLiteral("size"), QStringLiteral("Approximate bytes per log; sets the events per session."),
          QStringLiteral("bytes") },
        { QStringLiteral("seed"), QStringLiteral("Seed for repeatable output (default 1)."), QStringLiteral("n"),
          QStringLiteral("1") },
        { QStringLiteral("no-kaldo"), QStringLiteral("Do not mark the logs for the maker's receiver.") },
        { QStringLiteral("admin"), QStringLiteral("Mark the logs for the local administration tool.") },
        { QStringLiteral("name"), QStringLiteral("Group name prefix (default usage)."), QStringLiteral("text"),
          QStringLiteral("usage") },
        { QStringLiteral("folder"), QStringLiteral("Write here instead of the log folder."), QStringLiteral("path") },
        { QStringLiteral("hold"), QStringLiteral("After writing, keep part <n> of the first log locked."),
          QStringLiteral("n") },
        { QStringLiteral("hold-ms"), QStringLiteral("How long to keep it locked (default 10000)."),
          QStringLiteral("ms"), QStringLiteral("10000") },
        { QStringLiteral("pause-ms"), QStringLiteral("Pause after each part, still holding it (default 0)."),
          QStringLiteral("ms"), QStringLiteral("0") },
    });
    parser.process(app);

    Options options;
    options.logs = parser.value(QStringLiteral("logs")).toInt();
    options.parts = qBound(1, parser.value(QStringLiteral("parts")).toInt(), 10);
    options.sessions = qMax(0, parser.value(QStringLiteral("sessions")).toInt());
    options.events = qMax(0, parser.value(QStringLiteral("events")).toInt());
    options.size = parser.value(QStringLiteral("size")).toLongLong();
    options.seed = parser.value(QStringLiteral("seed")).toUInt();
    options.kaldo = !parser.isSet(QStringLiteral("no-kaldo"));
    options.admin = parser.isSet(QStringLiteral("admin"));
    options.prefix = parser.value(QStringLiteral("name"));
    options.holdPart = parser.isSet(QStringLiteral("hold")) ? parser.value(QStringLiteral("hold")).toInt() : -1;
    options.holdMs = parser.value(QStringLiteral("hold-ms")).toInt();
    options.pauseMs = parser.value(QStringLiteral("pause-ms")).toInt();

    options.folder = parser.value(QStringLiteral("folder"));
    return options;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const Options options = parseOptions(app);

    QString folder = options.folder;
    if (folder.isEmpty())
        folder = QString::fromStdWString(findLogFolder(currentUserName()));
    if (folder.isEmpty()) {
        std::fprintf(stderr, "No log folder could be prepared.\n");
        return 2;
    }
    const QDir dir(folder);
    QRandomGenerator random(options.seed);
    LogWriter writer(options, random);
    QStringList firstLog;
    for (int i = 0; i < options.logs; ++i) {
        const QString group
            = options.logs == 1 ? options.prefix : options.prefix + QLatin1Char('-') + QString::number(i);
        const QStringList paths = writer.write(dir, group);
        if (paths.size() != options.parts) {
            std::fprintf(stderr, "Could not write %s\n", qPrintable(group));
            return 1;
        }
        if (i == 0)
            firstLog = paths;
        for (const QString &path : paths)
            std::printf("%s\n", qPrintable(path));
    }
    std::fflush(stdout);

    if (options.holdPart >= 0 && options.holdPart < firstLog.size()) {
        FileLock lock(firstLog.at(options.holdPart).toUtf8().toStdString());
        if (!lock.tryLock(5000))
            return 1;
        std::printf("holding %s\n", qPrintable(firstLog.at(options.holdPart)));
        std::fflush(stdout);
        QThread::msleep(static_cast<unsigned long>(options.holdMs));
    }
    return 0;
}
