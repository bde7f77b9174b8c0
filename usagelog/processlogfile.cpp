#include "processlogfile.h"

#include "logfilter.h"
#include "logger.h"
#include "xmlhelpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

void processMergedLog(const MergedLog &log, const QVector<PublishInstruction> &instructions, const QDir &kaldoDir,
                      const QString &debugDir, Logger *logger, const std::function<void(const QString &)> &post)
{
    const QString logName = QFileInfo(log.path).fileName();
    const QString outputPath = kaldoDir.absolutePath() + QLatin1Char('/') + logName;

    QFile output(outputPath);
    const bool outputOpen = output.open(QIODevice::WriteOnly | QIODevice::Truncate);
    QFile input(log.path);
    input.open(QIODevice::ReadOnly); // an unreadable input surfaces as a reader error

    FilterResult result = Failed;
    QString errorText;
    if (outputOpen) {
        LogFilter filter(&input, &output, log);
        result = filter.run(instructions);
        errorText = filter.errorString();
        // What the file still buffers must reach the disk, or the upload would send a
        // truncated log as if it were whole.
        if ((result == Published || result == NothingPublished) && !output.flush()) {
            result = Failed;
            errorText = output.errorString();
        }
    } else {
        // Without its output file the filter would write into a closed device and the
        // upload would get a missing file: treat it as a failed filter.
        errorText = output.errorString();
    }
    output.close();
    input.close();

    if (!debugDir.isEmpty()) {
        const QString base = debugDir + QLatin1Char('/') + QFileInfo(outputPath).baseName();
        const QString copy = base + QLatin1String("-output.xml");
        if (QFile::exists(copy))
            QFile::remove(copy);
        QFile::copy(outputPath, copy);
        writePrettyCopy(copy, base + QLatin1String("-output-pretty.xml"));
    }

    switch (result) {
    case Published: post(QFileInfo(outputPath).absoluteFilePath()); break;
    case NothingPublished: break;
    case Failed:
    case InvalidInstruction:
        logger->logLazily(
            [&] { return QStringLiteral("Error processing file [") + logName + QStringLiteral("]: ") + errorText; });
        break;
    }
    QFile::remove(outputPath);
}
