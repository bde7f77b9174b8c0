// Writes usage logs the way the tracked products do, for tests, benchmarks and the demo: a
// thin program on the writers' library (vintorlog), which finds the log folder, writes each log
// as numbered parts "<group>.<n>.xml" under their locks and hands it over part by part. The
// sessions and events are made up from a seed, so the same options write the same logs.

#include "filelock.h"
#include "logfolder.h"
#include "vintorlog.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QThread>
#include <QUuid>

#include <cstdio>

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

// The texts of one session's header, alive while the library copies them.
struct SessionTexts
{
    QByteArray uuid, group, startTime, productId, ram, country, locale, user, domain;
};

class LogWriter
{
public:
    LogWriter(const Options &options, QRandomGenerator &random)
        : m(options)
        , random(random)
    {
    }

    // Writes one log through the library, a part at a time; false with the library's reason.
    bool write(const QString &folder, const QString &group)
    {
        vintorlog *log = nullptr;
        const unsigned flags = (m.kaldo ? VINTORLOG_FOR_RECEIVER : 0) | (m.admin ? VINTORLOG_FOR_ADMIN : 0);
        int result = vintorlog_open(&log, folder.isEmpty() ? nullptr : folder.toUtf8().constData(),
                                    group.toUtf8().constData(), flags);
        if (result == VINTORLOG_OK)
            result = vintorlog_set_log_uuid(log, uuid().toUtf8().constData());
        m_eventsPerSession = m.events;
        if (m.size > 0)
            m_eventsPerSession = static_cast<int>(qMax<qint64>(1, m.size / (qMax(1, m.sessions) * 560)));
        // The whole log as a sequence of (session, first event, last event) pieces, cut into
        // parts so that a session may continue in the next part.
        const int totalEvents = m.sessions * m_eventsPerSession;
        const int perPart = qMax(1, (totalEvents + m.parts - 1) / m.parts);
        m_session = 0;
        m_eventInSession = 0;
        m_inSession = false;
        m_sessionId = uuid();
        for (int part = 0; result == VINTORLOG_OK && part < m.parts; ++part) {
            const bool last = part == m.parts - 1;
            result = writeSessions(log, last ? totalEvents + 1 : perPart);
            QThread::msleep(static_cast<unsigned long>(m.pauseMs));
            if (result == VINTORLOG_OK && !last)
                result = vintorlog_next_part(log);
        }
        if (result != VINTORLOG_OK)
            m_error = QString::fromUtf8(vintorlog_errmsg(log));
        const int closed = vintorlog_close(log);
        return result == VINTORLOG_OK && closed == VINTORLOG_OK;
    }
    QString errorString() const { return m_error; }

private:
    // Goes on with the sessions where the previous part stopped, a session continuing in
    // the next part when the budget runs out in its middle.
    int writeSessions(vintorlog *log, int budget)
    {
        int result = VINTORLOG_OK;
        while (result == VINTORLOG_OK && m_session < m.sessions && budget > 0) {
            if (!m_inSession)
                result = beginSession(log, m_session);
            m_inSession = true;
            for (; result == VINTORLOG_OK && m_eventInSession < m_eventsPerSession && budget > 0;
                 ++m_eventInSession, --budget)
                result = writeEvent(log, m_eventInSession);
            if (result == VINTORLOG_OK && m_eventInSession == m_eventsPerSession) {
                result = vintorlog_end_session(log);
                m_inSession = false;
                ++m_session;
                m_eventInSession = 0;
                m_sessionId = uuid();
            }
        }
        return result;
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

    int beginSession(vintorlog *log, int session)
    {
        const Product &product = products[session % 3];
        SessionTexts texts;
        texts.uuid = m_sessionId.toUtf8();
        texts.group = QByteArray::number(session % 3);
        texts.startTime = QStringLiteral("2026-11-%1T08:%2:00")
                              .arg(10 + session % 18)
                              .arg(session % 60, 2, 10, QLatin1Char('0'))
                              .toUtf8();
        texts.productId = QByteArray::number(product.id);
        texts.user = pick(users);
        texts.domain = QStringLiteral("CORP-%1").arg(random.bounded(100)).toUtf8();
        texts.ram = QByteArray::number(8192 * (1 + session % 4));
        texts.country = session % 2 ? "DE" : "US";
        texts.locale = session % 2 ? "de_DE" : "en_US";
        vintorlog_session header {};
        header.uuid = texts.uuid.constData();
        header.group = texts.group.constData();
        header.start_time = texts.startTime.constData();
        header.timezone = "60";
        header.product_id = texts.productId.constData();
        header.product_version = product.version;
        header.product_language = product.language;
        header.tracked_software_type = "1";
        header.user = texts.user.constData();
        header.domain = texts.domain.constData();
        header.os_platform = "2";
        header.os_version = "10";
        header.os_service_pack = "SP1";
        header.os_bits = "64";
        header.cpu_architecture = "9";
        header.ram = texts.ram.constData();
        header.country = texts.country.constData();
        header.locale = texts.locale.constData();
        return vintorlog_begin_session(log, &header);
    }

    int writeEvent(vintorlog *log, int index)
    {
        const QByteArray feature = pick(features);
        const QByteArray when = QStringLiteral("2026-11-20T09:%1:%2")
                                    .arg(index / 60 % 60, 2, 10, QLatin1Char('0'))
                                    .arg(index % 60, 2, 10, QLatin1Char('0'))
                                    .toUtf8();
        vintorlog_event event {};
        event.id = index;
        event.feature = feature.constData();
        event.start_time = when.constData();
        // A finished event written in one piece.
        if (index % 3 == 2)
            return vintorlog_write_event(log, &event);
        const QByteArray path = QStringLiteral("C:/Users/%1/%2/file-%3.dwg")
                                    .arg(QLatin1String(pick(users)), QLatin1String(pick(folders)))
                                    .arg(random.bounded(100000))
                                    .toUtf8();
        const vintorlog_attribute attribute { "path", path.constData(), 1 };
        event.method = "menu";
        event.attributes = &attribute;
        event.attribute_count = 1;
        const int result = vintorlog_start_event(log, &event);
        return result == VINTORLOG_OK ? vintorlog_end_event(log, index, when.constData()) : result;
    }

    const Options &m;
    QRandomGenerator &random;
    int m_eventsPerSession = 0;
    // Where the sessions stand between parts.
    int m_session = 0;
    int m_eventInSession = 0;
    bool m_inSession = false;
    QString m_sessionId;
    QString m_error;
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
        { QStringLiteral("parts"), QStringLiteral("Part files per log, at most 10 (default 1), each <name>.<n>.xml."),
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
        if (!writer.write(options.folder, group)) {
            std::fprintf(stderr, "Could not write %s: %s\n", qPrintable(group), qPrintable(writer.errorString()));
            return 1;
        }
        QStringList paths;
        for (int part = 0; part < options.parts; ++part)
            paths.append(
                dir.absoluteFilePath(group + QLatin1Char('.') + QString::number(part) + QLatin1String(".xml")));
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
