#include "processlogfile.h"

#include "fileclaim.h"
#include "logfilter.h"
#include "logger.h"
#include "xmlhelpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// Writes through to a file and shows each chunk written to an observer.
class ObservedFile : public QIODevice
{
public:
    ObservedFile(QIODevice *file, const std::function<void(const char *, qint64)> &observe)
        : m_file(file)
        , m_observe(observe)
    {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override
    {
        const qint64 written = m_file->write(data, size);
        if (written > 0)
            m_observe(data, written);
        if (written != size)
            setErrorString(m_file->errorString());
        return written;
    }

private:
    QIODevice *m_file;
    const std::function<void(const char *, qint64)> &m_observe;
};

} // namespace

QString processMergedLog(const MergedLog &log, const PublishIndex &instructions, const QDir &kaldoDir,
                         const QString &debugDir, Logger *logger, const std::function<void(const QString &)> &post,
                         const std::function<void(const char *, qint64)> &observe)
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
        ObservedFile observed(&output, observe);
        LogFilter filter(&input, observe ? static_cast<QIODevice *>(&observed) : &output, log);
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
    // Read before the close, which clears the error of a write that failed.
    const bool writeFailed = !outputOpen || output.error() != QFileDevice::NoError;
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

    QString dropped;
    switch (result) {
    case Published: post(QFileInfo(outputPath).absoluteFilePath()); break;
    case NothingPublished: break;
    case Failed:
    case InvalidInstruction:
        logger->logLazily(
            [&] { return QStringLiteral("Error processing file [") + logName + QStringLiteral("]: ") + errorText; });
        // The filter's own text is empty when the log holds a session that the merge has no
        // identification for: one cut off by a crash, or the last of a log that ends without
        // `logfinal` when it is alike the one before (the merge then counts the two as one).
        if (result == InvalidInstruction)
            dropped = QStringLiteral("the service's instruction for a session in it is invalid");
        else if (writeFailed)
            dropped = QStringLiteral("its filtered copy could not be written: ") + errorText;
        else if (errorText.isEmpty() && log.cutOff)
            dropped = QStringLiteral("a session in it was cut off: the product ended while writing it");
        else if (errorText.isEmpty())
            dropped = QStringLiteral("its last session has no identification of its own: the log ends without "
                                     "logfinal, and that session is alike the one before");
        else
            dropped = QStringLiteral("it is not well-formed: ") + errorText;
        break;
    }
    if (!removeFile(outputPath.toStdWString()))
        logger->logLazily([&] { return QStringLiteral("Failed to remove ") + outputPath; });
    return dropped;
}
