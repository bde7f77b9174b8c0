// The merge and then the filter on one part file of any content. Whatever the input, the full
// log and the filtered log that they write are well-formed XML.

#include "fuzzing.h"
#include "logfilter.h"
#include "logmerger.h"

#include <QBuffer>
#include <QDir>
#include <QFile>

FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QDir dir(fuzzing::folder().path());
    QFile part(dir.filePath(QStringLiteral("g.xml")));
    if (!part.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    part.write(reinterpret_cast<const char *>(data), static_cast<qint64>(size));
    part.close();

    LogGroups groups;
    groups[QStringLiteral("g")].insert(QStringLiteral("g.xml"));
    QList<MergedLog> merged;
    QList<SessionInfo> sessions;
    LogMerger(dir, dir).mergeAll(groups, merged, sessions);
    if (merged.isEmpty())
        return 0;
    QFile full(merged.first().path);
    if (!full.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray fullLog = full.readAll();
    fuzzing::requireWellFormed(fullLog);

    // Each session published in one of the three ways, chosen by its place.
    QVector<PublishInstruction> instructions;
    for (const SessionInfo &session : merged.first().sessions) {
        PublishInstruction instruction;
        static_cast<SessionInfo &>(instruction) = session;
        instruction.publish = static_cast<PublishType>(instructions.size() % 3);
        instructions.append(instruction);
    }
    QBuffer input;
    input.setData(fullLog);
    input.open(QIODevice::ReadOnly);
    QBuffer output;
    output.open(QIODevice::WriteOnly);
    LogFilter filter(&input, &output, merged.first());
    const FilterResult result = filter.run(instructions);
    if (result == Published || result == NothingPublished)
        fuzzing::requireWellFormed(output.data());
    QFile::remove(merged.first().path);
    return 0;
}
