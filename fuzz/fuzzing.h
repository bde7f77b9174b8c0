#pragma once

// What every fuzz target shares: an application object, a private folder for files and
// settings, and a check that a document is well-formed XML.

#include <QByteArray>
#include <QCoreApplication>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <cstdint>
#include <cstdlib>

namespace fuzzing {

inline QTemporaryDir &folder()
{
    static QTemporaryDir dir;
    return dir;
}

inline QString text(const uint8_t *data, size_t size)
{
    return QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<int>(size));
}

// Stops the run (libFuzzer reports the input) when `document` is not well-formed.
inline void requireWellFormed(const QByteArray &document)
{
    QXmlStreamReader reader(document);
    while (!reader.atEnd())
        reader.readNext();
    if (reader.hasError()) {
        qFatal("not well-formed: %s (line %lld, column %lld)", qPrintable(reader.errorString()), reader.lineNumber(),
               reader.columnNumber());
    }
}

} // namespace fuzzing

// Every target's LLVMFuzzerInitialize: an application object, the settings in the private folder.
#define FUZZ_INITIALIZE                                                                                                \
    extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)                                                       \
    {                                                                                                                  \
        qputenv("XDG_CONFIG_HOME", fuzzing::folder().path().toUtf8());                                                 \
        qputenv("QT_LOGGING_RULES", "*=false");                                                                        \
        static QCoreApplication app(*argc, *argv);                                                                     \
        return 0;                                                                                                      \
    }
