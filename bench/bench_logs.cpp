// Generates a synthetic usage log of a given size and measures, in one process on the same
// file: a plain stream-reader-to-stream-writer identity copy into a file, the merge, the
// filter and the pretty copy, then a whole harvest of the log by the vintor binary against
// the reference service on loopback (both found beside this program, or VINTOR names the
// binary). Prints MB/s, the ratios to the copy and the peak resident memory of each step.
//
//   bench_logs [megabytes=200] [events per session=200] [folder]

#include "benchhome.h"
#include "logfilter.h"
#include "logmerger.h"
#include "xmlhelpers.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <cstdio>
#include <sys/resource.h>

namespace {

long peakRssMb(int who = RUSAGE_SELF)
{
    rusage usage {};
    getrusage(who, &usage);
    return usage.ru_maxrss / 1024;
}

void generate(const QString &path, qint64 bytes, int eventsPerSession)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    QXmlStreamWriter xml(&file);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("kaldousage"));
    xml.writeTextElement(QStringLiteral("schema"), QStringLiteral("3"));
    xml.writeTextElement(QStringLiteral("loguuid"), QStringLiteral("bench"));
    xml.writeEmptyElement(QStringLiteral("logstatus"));
    xml.writeAttribute(QStringLiteral("kaldo"), QStringLiteral("true"));
    int session = 0;
    while (file.size() < bytes) {
        xml.writeStartElement(QStringLiteral("session"));
        xml.writeTextElement(QStringLiteral("sessionuuid"), QStringLiteral("session-%1").arg(session));
        xml.writeStartElement(QStringLiteral("product"));
        xml.writeTextElement(QStringLiteral("productid"), QString::number(12 + session % 3));
        xml.writeTextElement(QStringLiteral("productversion"), QStringLiteral("4.2.%1").arg(session % 5));
        xml.writeEndElement();
        xml.writeStartElement(QStringLiteral("user"));
        xml.writeTextElement(QStringLiteral("anon"), QStringLiteral("user%1").arg(session));
        xml.writeEndElement();
        xml.writeTextElement(QStringLiteral("country"), QStringLiteral("US"));
        for (int event = 0; event < eventsPerSession; ++event) {
            xml.writeStartElement(QStringLiteral("eventstart"));
            xml.writeAttribute(QStringLiteral("eventid"), QString::number(event));
            xml.writeTextElement(QStringLiteral("feature"), QStringLiteral("Feature%1").arg(event % 17));
            xml.writeTextElement(QStringLiteral("eventstarttime"), QStringLiteral("2026-11-20T09:%1").arg(event % 60));
            xml.writeStartElement(QStringLiteral("attribute"));
            xml.writeTextElement(QStringLiteral("attributecode"), QStringLiteral("path"));
            xml.writeStartElement(QStringLiteral("attributevalue"));
            xml.writeTextElement(QStringLiteral("anon"),
                                 QStringLiteral("C:/Users/user%1/Projects/drawing-%2.dwg").arg(session).arg(event));
            xml.writeEndElement();
            xml.writeEndElement();
            xml.writeEndElement();
            xml.writeEmptyElement(QStringLiteral("eventend"));
            xml.writeAttribute(QStringLiteral("eventid"), QString::number(event));
            xml.writeAttribute(QStringLiteral("eventendtime"), QStringLiteral("2026-11-20T10:%1").arg(event % 60));
        }
        xml.writeEndElement();
        ++session;
    }
    xml.writeTextElement(QStringLiteral("logfinal"), QStringLiteral("true"));
    xml.writeEndDocument();
}

bool identityCopy(const QString &from, const QString &to)
{
    QFile in(from);
    QFile out(to);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        return false;
    QXmlStreamReader reader(&in);
    QXmlStreamWriter writer(&out);
    while (!reader.atEnd()) {
        reader.readNext();
        if (!reader.hasError())
            writer.writeCurrentToken(reader);
    }
    return true;
}

// The best of three runs: the machine's other load only ever slows a run down.
template <typename Prepare, typename Run> double bestRate(double sizeMb, Prepare prepare, Run run)
{
    qint64 best = -1;
    for (int round = 0; round < 3; ++round) {
        prepare();
        QElapsedTimer clock;
        clock.start();
        if (!run())
            return 0;
        const qint64 elapsed = qMax<qint64>(clock.elapsed(), 1);
        best = best < 0 ? elapsed : qMin(best, elapsed);
    }
    return sizeMb / (static_cast<double>(best) / 1000.0);
}

// A home for one harvest: the log as the single part of a log, settings pointing at the
// reference service, no store.
bool prepareHome(const QString &home, const QString &source, int port)
{
    const QString logs = prepareBenchHome(home, port);
    QDir().mkpath(home + QStringLiteral("/received"));
    return QFile::copy(source, logs + QStringLiteral("/usage.xml"));
}

// The whole harvest of the log by the vintor binary against the reference service: merge,
// exchange, filter, compression and upload. Its rate, and the peak memory of the harvest.
double harvestRate(const QString &source, const QString &folder, double sizeMb, long &peakMb)
{
    const QString bin = QCoreApplication::applicationDirPath();
    const QString vintor = qEnvironmentVariableIsSet("VINTOR") ? qEnvironmentVariable("VINTOR") : bin + "/vintor";
    const QString home = folder + QStringLiteral("/home");
    const QString policy = folder + QStringLiteral("/policy");
    QFile policyFile(policy);
    if (!policyFile.open(QIODevice::WriteOnly) || policyFile.write("default Details 86400\n") < 0)
        return 0;
    policyFile.close();
    QProcess service;
    service.start(bin + QStringLiteral("/refservice"),
                  { QStringLiteral("--policy"), policy, QStringLiteral("--receive-dir"), home + "/received" });
    if (!service.waitForReadyRead(10000))
        return 0;
    const int port = service.readLine().trimmed().mid(18).toInt();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : { "TEMP", "TMPDIR" })
        environment.insert(QString::fromLatin1(name), home + QStringLiteral("/tmp"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    const double rate = bestRate(
        sizeMb, [&] { prepareHome(home, source, port); },
        [&] {
            QProcess run;
            run.setProcessEnvironment(environment);
            run.start(vintor, { QStringLiteral("-forKALDO") });
            return run.waitForFinished(-1) && run.exitCode() == 0
                   && QDir(home + QStringLiteral("/received")).entryList(QDir::Files).size() == 1;
        });
    peakMb = peakRssMb(RUSAGE_CHILDREN);
    service.terminate();
    service.waitForFinished();
    return rate;
}

// The filter of the merged log with every session published in full.
double measureFilter(const MergedLog &merged, const QList<SessionInfo> &sessions, const QString &filtered,
                     double sizeMb)
{
    QVector<PublishInstruction> instructions;
    for (const SessionInfo &session : qAsConst(sessions)) {
        PublishInstruction instruction;
        static_cast<SessionInfo &>(instruction) = session;
        instruction.publish = Details;
        instructions.append(instruction);
    }
    return bestRate(
        sizeMb, [] {},
        [&] {
            QFile input(merged.path);
            QFile output(filtered);
            LogFilter filter(&input, &output, merged);
            return input.open(QIODevice::ReadOnly) && output.open(QIODevice::WriteOnly)
                   && filter.run(instructions) == Published;
        });
}

void report(const char *step, double rate, double copyRate, long peakMb)
{
    std::printf("%-14s %7.1f MB/s (%.2fx copy)   peak RSS %ld MB\n", step, rate, rate / copyRate, peakMb);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 megabytes = argc > 1 ? atoll(argv[1]) : 200;
    const int eventsPerSession = argc > 2 ? atoi(argv[2]) : 200;
    QTemporaryDir temporary;
    const QString folder = argc > 3 ? QString::fromLocal8Bit(argv[3]) : temporary.path();
    const QString source = folder + QStringLiteral("/g.xml");
    generate(source, megabytes * 1024 * 1024, eventsPerSession);
    const double sizeMb = static_cast<double>(QFileInfo(source).size()) / (1024.0 * 1024.0);
    std::printf("log: %.1f MB, %d events per session\n", sizeMb, eventsPerSession);

    const QString copy = folder + QStringLiteral("/copy.xml");
    const double copyRate = bestRate(
        sizeMb, [] {}, [&] { return identityCopy(source, copy); });
    report("identity copy:", copyRate, copyRate, peakRssMb());

    // The merge takes its part away, so each round works on a fresh copy of the log.
    LogGroups groups;
    groups[QStringLiteral("m")].insert(QStringLiteral("m.xml"));
    QList<MergedLog> merged;
    QList<SessionInfo> sessions;
    const double mergeRate = bestRate(
        sizeMb,
        [&] {
            merged.clear();
            sessions.clear();
            QFile::copy(source, folder + QStringLiteral("/m.xml"));
        },
        [&] {
            LogMerger(QDir(folder), QDir(folder)).mergeAll(groups, merged, sessions);
            return !merged.isEmpty();
        });
    report("merge:", mergeRate, copyRate, peakRssMb());
    if (merged.isEmpty())
        return 1;
    std::printf("               %d sessions\n", sessions.size());

    const QString filtered = folder + QStringLiteral("/filtered.xml");
    const double filterRate = measureFilter(merged.first(), sessions, filtered, sizeMb);
    report("filter:", filterRate, copyRate, peakRssMb());
    const double prettyRate = bestRate(
        sizeMb, [] {},
        [&] {
            writePrettyCopy(source, copy);
            return QFileInfo(copy).size() > 0;
        });
    report("pretty copy:", prettyRate, copyRate, peakRssMb());
    for (const QString &path : { merged.first().path, filtered, copy })
        QFile::remove(path);

    long harvestPeakMb = 0;
    const double rate = harvestRate(source, folder, sizeMb, harvestPeakMb);
    report("whole harvest:", rate, copyRate, harvestPeakMb);
    QFile::remove(source);
    return rate > 0 ? 0 : 1;
}
