// Generates a synthetic usage log of a given size and measures, in one process on the same
// file: a plain stream-reader-to-stream-writer identity copy into a file, the merge and the
// filter. Prints MB/s, the ratios to the copy and the peak resident memory after each step.
//
//   bench_logs [megabytes=200] [folder]

#include "logfilter.h"
#include "logmerger.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <cstdio>
#include <sys/resource.h>

namespace {

long peakRssMb()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

void generate(const QString &path, qint64 bytes)
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
        for (int event = 0; event < 200; ++event) {
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

void identityCopy(const QString &from, const QString &to)
{
    QFile in(from);
    QFile out(to);
    in.open(QIODevice::ReadOnly);
    out.open(QIODevice::WriteOnly);
    QXmlStreamReader reader(&in);
    QXmlStreamWriter writer(&out);
    while (!reader.atEnd()) {
        reader.readNext();
        if (!reader.hasError())
            writer.writeCurrentToken(reader);
    }
}

} // namespace

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

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 megabytes = argc > 1 ? atoll(argv[1]) : 200;
    QTemporaryDir temporary;
    const QString folder = argc > 2 ? QString::fromLocal8Bit(argv[2]) : temporary.path();
    const QString source = folder + QStringLiteral("/g.xml");
    generate(source, megabytes * 1024 * 1024);
    const double sizeMb = static_cast<double>(QFileInfo(source).size()) / (1024.0 * 1024.0);
    std::printf("log: %.1f MB, peak RSS after generating: %ld MB\n", sizeMb, peakRssMb());

    const QString copy = folder + QStringLiteral("/copy.xml");
    const double copyRate = bestRate(
        sizeMb, [] {},
        [&] {
            identityCopy(source, copy);
            return true;
        });
    std::printf("identity copy: %7.1f MB/s                peak RSS %ld MB\n", copyRate, peakRssMb());
    QFile::remove(copy);

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
    std::printf("merge:         %7.1f MB/s (%.2fx copy)   peak RSS %ld MB, %d sessions\n", mergeRate,
                mergeRate / copyRate, peakRssMb(), sessions.size());
    if (merged.isEmpty())
        return 1;

    QVector<PublishInstruction> instructions;
    for (const SessionInfo &session : qAsConst(sessions)) {
        PublishInstruction instruction;
        static_cast<SessionInfo &>(instruction) = session;
        instruction.publish = Details;
        instructions.append(instruction);
    }
    const double filterRate = bestRate(
        sizeMb, [] {},
        [&] {
            QFile input(merged.first().path);
            input.open(QIODevice::ReadOnly);
            QFile output(folder + QStringLiteral("/filtered.xml"));
            output.open(QIODevice::WriteOnly);
            LogFilter filter(&input, &output, merged.first());
            return filter.run(instructions) == Published;
        });
    std::printf("filter:        %7.1f MB/s (%.2fx copy)   peak RSS %ld MB\n", filterRate, filterRate / copyRate,
                peakRssMb());
    QFile::remove(merged.first().path);
    QFile::remove(folder + QStringLiteral("/filtered.xml"));
    QFile::remove(source);
    return 0;
}
