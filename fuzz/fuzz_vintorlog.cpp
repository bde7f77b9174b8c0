// The writers' library driven by any sequence of calls with any texts and names: whatever it
// was asked, each part it leaves is well-formed XML, each session's log merges whole, and the
// session's identification stands in it once, whatever elements followed.
//
// Input: calls one after the other, each an operation byte and two texts ended by zero bytes.

#include "folderquota.h"
#include "fuzzing.h"
#include "logmerger.h"
#include "vintorlog.h"

#include <QDir>
#include <QFile>

#include <map>
#include <string>

FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString folder = fuzzing::folder().path() + QStringLiteral("/logs");
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    // The folder is emptied for each input: counted afresh, it never fills.
    vintorlog_detail::folderQuota.recountSeconds = 0;
    vintorlog *log = nullptr;
    if (vintorlog_open(&log, folder.toUtf8().constData(), "f", VINTORLOG_FOR_RECEIVER) != VINTORLOG_OK)
        qFatal("cannot open a log: %s", vintorlog_errmsg(log));
    vintorlog_set_part_size(log, 4096);
    size_t at = 0;
    const auto text = [&] {
        std::string out;
        while (at < size && data[at])
            out += static_cast<char>(data[at++]);
        ++at;
        return out;
    };
    while (at < size) {
        const int op = data[at++];
        const std::string a = text(), b = text();
        vintorlog_session session {};
        session.product_id = a.c_str();
        session.user = b.c_str();
        const vintorlog_attribute attribute { a.c_str(), b.c_str(), op & 16 };
        const vintorlog_event event { op, a.c_str(), b.c_str(), nullptr, &attribute, op & 1 };
        switch (op % 12) {
        case 0: vintorlog_begin_session(log, &session); break;
        case 1: vintorlog_end_session(log); break;
        case 2: vintorlog_write_event(log, &event); break;
        case 3: vintorlog_start_event(log, &event); break;
        case 4: vintorlog_end_event(log, op, a.c_str()); break;
        case 5: vintorlog_begin_element(log, a.c_str()); break;
        case 6: vintorlog_add_attribute(log, a.c_str(), b.c_str()); break;
        case 7: vintorlog_add_text(log, a.c_str(), op & 16); break;
        case 8: vintorlog_end_element(log); break;
        case 9: vintorlog_write_element(log, a.c_str(), b.c_str(), op & 16); break;
        case 10: vintorlog_next_part(log); break;
        default: vintorlog_set_log_uuid(log, a.c_str()); break;
        }
    }
    if (vintorlog_close(log) != VINTORLOG_OK)
        qFatal("the log could not be closed");

    std::map<QString, std::set<QString>> logs;
    for (const QString &name : QDir(folder).entryList(QDir::Files)) {
        QFile part(folder + QLatin1Char('/') + name);
        if (!part.open(QIODevice::ReadOnly))
            qFatal("cannot read %s", qPrintable(name));
        fuzzing::requireWellFormed(part.readAll());
        logs[name.section(QLatin1Char('.'), 0, 0)].insert(name);
    }
    for (const auto &[name, parts] : logs) {
        const MergedLog merged = LogMerger(QDir(folder), QDir(folder)).mergeGroup(name, parts);
        QFile full(merged.path);
        const QByteArray text = full.open(QIODevice::ReadOnly) ? full.readAll() : QByteArray();
        if (text.isEmpty() || text.contains("<sessioncrashed>"))
            qFatal("the log %s did not merge whole", qPrintable(name));
        // The session's identification stands once, where the library wrote it.
        for (const char *field : { "productid", "productversion", "productlanguage", "osplatform", "osversion",
                                   "osservicepack", "osbits", "cpuarchitecture", "country", "locale" }) {
            const QByteArray tag = QByteArray("<") + field;
            if (text.count(tag + '>') + text.count(tag + ' ') + text.count(tag + '/') > 1)
                qFatal("the log %s has a second %s", qPrintable(name), field);
        }
    }
    return 0;
}
