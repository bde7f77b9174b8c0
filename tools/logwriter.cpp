// Writes usage logs the way the tracked products do, for tests, benchmarks and the demo: a
// thin program on the writers' library (vintorlog), which finds the log folder and writes each
// session as a log of its own, in numbered parts "<name>.<n>.xml" under their locks. The
// sessions and events are made up from a seed, so the same options write the same logs. It can
// also use its handles from several threads, or die after a given call, as products do.

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
#include <cstdlib>
#include <map>
#include <thread>

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
    bool threads = false;
    QString waitFor;
    QByteArray crashCall; // dies right after the crashCount-th successful call of this name
    int crashCount = 0;
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
    LogWriter(const Options &options, QRandomGenerator &random, const QString &folder)
        : m(options)
        , random(random)
        , m_folder(folder)
    {
    }

    // Opens the handle of one log; false with the library's reason.
    bool open(const QString &folder, const QString &group, vintorlog *&log)
    {
        const unsigned flags = (m.kaldo ? VINTORLOG_FOR_RECEIVER : 0) | (m.admin ? VINTORLOG_FOR_ADMIN : 0);
        const int result = step("open", vintorlog_open(&log, folder.isEmpty() ? nullptr : folder.toUtf8().constData(),
                                                       group.toUtf8().constData(), flags));
        if (result != VINTORLOG_OK)
            m_error = QString::fromUtf8(vintorlog_errmsg(log));
        return result == VINTORLOG_OK;
    }

    // Writes the sessions of one handle through the library, a part at a time, each session a
    // log of its own; false with the library's reason.
    bool write(vintorlog *log)
    {
        int result = VINTORLOG_OK;
        m_eventsPerSession = m.events;
        if (m.size > 0)
            m_eventsPerSession = static_cast<int>(qMax<qint64>(1, m.size / (qMax(1, m.sessions) * 560)));
        // Each session cut into parts by its events.
        const int perPart = qMax(1, (m_eventsPerSession + m.parts - 1) / m.parts);
        for (int session = 0; result == VINTORLOG_OK && session < m.sessions; ++session) {
            // Each session's log gets its identity from the seed, as the session does.
            result = vintorlog_set_log_uuid(log, uuid().toUtf8().constData());
            m_sessionId = uuid();
            if (result == VINTORLOG_OK)
                result = beginSession(log, session);
            if (result == VINTORLOG_OK)
                result = writeDocument(log, session);
            for (int event = 0; result == VINTORLOG_OK && event < m_eventsPerSession; ++event) {
                if (event > 0 && event % perPart == 0) {
                    QThread::msleep(static_cast<unsigned long>(m.pauseMs));
                    result = step("next_part", vintorlog_next_part(log));
                    report(log, event / perPart);
                }
                if (result == VINTORLOG_OK)
                    result = writeEvent(log, event);
            }
            QThread::msleep(static_cast<unsigned long>(m.pauseMs));
            if (result == VINTORLOG_OK) {
                result = vintorlog_end_session(log);
                if (result == VINTORLOG_OK && !m.crashCall.isEmpty())
                    std::printf("ended %s\n", qPrintable(m_sessionId));
                result = step("end_session", result);
            }
        }
        if (result != VINTORLOG_OK)
            m_error = QString::fromUtf8(vintorlog_errmsg(log));
        return result == VINTORLOG_OK;
    }

    bool close(vintorlog *log) { return vintorlog_close(log) == VINTORLOG_OK; }
    QString errorString() const { return m_error; }
    // The part files written, in order.
    QStringList paths;

private:
    // The result of a library call, after which the writer dies when it was the one asked for.
    int step(const char *call, int result)
    {
        if (result == VINTORLOG_OK && m.crashCall == call && ++m_calls[call] == m.crashCount) {
            std::fflush(stdout);
            std::_Exit(9);
        }
        return result;
    }

    // Notes the path of part `part` of the log written now.
    void report(vintorlog *log, int part)
    {
        paths.append(QDir(m_folder).absoluteFilePath(QString::fromUtf8(vintorlog_name(log)) + QLatin1Char('.')
                                                     + QString::number(part) + QLatin1String(".xml")));
    }

    // A document element of the product's own, as products add them beside their events.
    int writeDocument(vintorlog *log, int session)
    {
        const QByteArray title = "Plan " + QByteArray::number(session + 1);
        const QByteArray path = QStringLiteral("C:/Users/%1/%2/plan-%3.dwg")
                                    .arg(QLatin1String(pick(users)), QLatin1String(pick(folders)))
                                    .arg(session + 1)
                                    .toUtf8();
        int result = step("begin_element", vintorlog_begin_element(log, "document"));
        if (result == VINTORLOG_OK)
            result = step("add_attribute", vintorlog_add_attribute(log, "kind", "drawing"));
        if (result == VINTORLOG_OK)
            result = step("begin_element", vintorlog_begin_element(log, "title"));
        if (result == VINTORLOG_OK)
            result = step("add_text", vintorlog_add_text(log, title.constData(), 0));
        if (result == VINTORLOG_OK)
            result = step("end_element", vintorlog_end_element(log));
        if (result == VINTORLOG_OK)
            result = step("write_element", vintorlog_write_element(log, "path", path.constData(), 1));
        return result == VINTORLOG_OK ? step("end_element", vintorlog_end_element(log)) : result;
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
        const int result = step("begin_session", vintorlog_begin_session(log, &header));
        if (result == VINTORLOG_OK)
            report(log, 0); // each session begins a log of its own
        return result;
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
            return step("write_event", vintorlog_write_event(log, &event));
        const QByteArray path = QStringLiteral("C:/Users/%1/%2/file-%3.dwg")
                                    .arg(QLatin1String(pick(users)), QLatin1String(pick(folders)))
                                    .arg(random.bounded(100000))
                                    .toUtf8();
        const vintorlog_attribute attribute { "path", path.constData(), 1 };
        event.method = "menu";
        event.attributes = &attribute;
        event.attribute_count = 1;
        const int result = step("start_event", vintorlog_start_event(log, &event));
        return result == VINTORLOG_OK ? step("end_event", vintorlog_end_event(log, index, when.constData())) : result;
    }

    const Options &m;
    QRandomGenerator &random;
    int m_eventsPerSession = 0;
    const QString m_folder; // where the logs go, for their paths
    QString m_sessionId;
    QString m_error;
    std::map<QByteArray, int> m_calls;
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
        { QStringLiteral("parts"),
          QStringLiteral("Part files per session, at most 10 (default 1): each session is a log <name>.<n>.xml."),
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
        { QStringLiteral("hold"), QStringLiteral("After writing, keep the n-th part written (from 0) locked."),
          QStringLiteral("n") },
        { QStringLiteral("hold-ms"), QStringLiteral("How long to keep it locked (default 10000)."),
          QStringLiteral("ms"), QStringLiteral("10000") },
        { QStringLiteral("pause-ms"), QStringLiteral("Pause after each part, still holding it (default 0)."),
          QStringLiteral("ms"), QStringLiteral("0") },
        { QStringLiteral("threads"),
          QStringLiteral("Open the first log on a thread that ends, the others on the main thread, and write "
                         "and close each on threads of their own.") },
        { QStringLiteral("wait-for"), QStringLiteral("With --threads: once opened, wait until this file exists."),
          QStringLiteral("path") },
        { QStringLiteral("crash-after"),
          QStringLiteral("Die right after the n-th successful call of a library function (open, begin_session, "
                         "end_element, ...), printing \"ended <uuid>\" for each session ended before."),
          QStringLiteral("function:n") },
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
    options.threads = parser.isSet(QStringLiteral("threads"));
    options.waitFor = parser.value(QStringLiteral("wait-for"));
    const QStringList crash = parser.value(QStringLiteral("crash-after")).split(QLatin1Char(':'));
    if (crash.size() == 2) {
        options.crashCall = crash.at(0).toUtf8();
        options.crashCount = crash.at(1).toInt();
    }

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
    QRandomGenerator random(options.seed);
    LogWriter writer(options, random, folder);
    std::vector<QString> groups;
    for (int i = 0; i < options.logs; ++i)
        groups.push_back(options.logs == 1 ? options.prefix : options.prefix + QLatin1Char('-') + QString::number(i));
    std::vector<vintorlog *> logs(groups.size(), nullptr);
    bool ok = true;
    // Each log in turn; with --threads, as a product with threads uses them: the first handle
    // opened on a thread that ends at once, the others kept by the main thread while each log
    // is written on one thread and closed on another.
    const auto open = [&](size_t i) { ok = writer.open(options.folder, groups[i], logs[i]) && ok; };
    const auto onThread = [&](auto &&work) { options.threads ? std::thread(work).join() : work(); };
    if (options.threads) {
        std::thread([&] { open(0); }).join();
        for (size_t i = 1; i < groups.size(); ++i)
            open(i);
    }
    if (options.threads && !options.waitFor.isEmpty()) {
        std::printf("opened\n");
        std::fflush(stdout);
        while (!QFile::exists(options.waitFor))
            QThread::msleep(20);
    }
    for (size_t i = 0; ok && i < groups.size(); ++i) {
        if (!options.threads)
            open(i);
        onThread([&] { ok = ok && writer.write(logs[i]); });
        onThread([&] { ok = writer.close(logs[i]) && ok; });
        logs[i] = nullptr;
        if (!ok) {
            std::fprintf(stderr, "Could not write %s: %s\n", qPrintable(groups[i]), qPrintable(writer.errorString()));
            return 1;
        }
    }
    for (vintorlog *log : logs)
        vintorlog_close(log);
    if (!ok) {
        std::fprintf(stderr, "Could not open a log: %s\n", qPrintable(writer.errorString()));
        return 1;
    }
    for (const QString &path : writer.paths)
        std::printf("%s\n", qPrintable(path));
    std::fflush(stdout);

    const QStringList &written = writer.paths;
    if (options.holdPart >= 0 && options.holdPart < written.size()) {
        FileLock lock(written.at(options.holdPart).toUtf8().toStdString());
        if (!lock.tryLock(5000))
            return 1;
        std::printf("holding %s\n", qPrintable(written.at(options.holdPart)));
        std::fflush(stdout);
        QThread::msleep(static_cast<unsigned long>(options.holdMs));
    }
    return 0;
}
