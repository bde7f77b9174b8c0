// The writers' library: the C interface of vintorlog.h over the log folder rule, the file lock
// and the text conversions of platform/ and the format's names, writing each part as
// QXmlStreamWriter with auto-formatting would. Each session is a log of its own, so that a
// product that dies costs the harvest no more than the session it was writing.

#include "vintorlog.h"

#include "filelock.h"
#include "formatnames.h"
#include "logfolder.h"
#include "wide_p.h"
#include "xmlescape.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int maximumParts = 10; // an eleventh, "<name>.10.xml", would sort before "<name>.2.xml"
constexpr long long defaultPartSize = 1 << 20;
constexpr int lockWaitMs = 5000; // a harvest holds a part only while it probes or merges it
constexpr size_t chunkSize = 64 * 1024; // what the writer passes to the file at a time
constexpr int nameTries = 1000; // names tried for a following session's log, or made up

bool isNameStart(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

// An XML name of ASCII letters, digits, '_', '-' and '.', the way every name of the format is.
bool isValidName(const char *name)
{
    if (!name || !isNameStart(name[0]) || std::strlen(name) > 64)
        return false;
    for (const char *p = name; *p; ++p) {
        if (!isNameStart(*p) && !(*p >= '0' && *p <= '9') && *p != '-' && *p != '.')
            return false;
    }
    return std::strncmp(name, "xml", 3) != 0;
}

// The names that steer the harvest's merge and filter, which the library writes itself where
// they belong and a product's own elements may not take.
bool isReservedName(const char *name)
{
    for (UsageLogName reserved : steeringNames) {
        if (std::strcmp(name, usageLogNameTexts[static_cast<int>(reserved)]) == 0)
            return true;
    }
    return false;
}

// Whether `text` is UTF-8 made of characters that XML 1.0 documents can hold: no other C0
// controls than tab, line feed and carriage return, no U+FFFE or U+FFFF, no surrogates.
bool isValidText(const char *text)
{
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    while (*p) {
        const unsigned char c = *p;
        if (c < 0x80) {
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
                return false;
            ++p;
            continue;
        }
        const int extra = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : c >= 0xc0 ? 1 : -1;
        if (extra < 0 || c > 0xf4)
            return false;
        char32_t u = c & (0x3f >> extra);
        for (int i = 1; i <= extra; ++i) {
            if ((p[i] & 0xc0) != 0x80)
                return false;
            u = (u << 6) | (p[i] & 0x3f);
        }
        const char32_t smallest[] = { 0, 0x80, 0x800, 0x10000 };
        if (u < smallest[extra] || u > 0x10ffff || (u >= 0xd800 && u <= 0xdfff) || u == 0xfffe || u == 0xffff)
            return false;
        p += extra + 1;
    }
    return true;
}

// Writes what QXmlStreamWriter with auto-formatting writes for the same calls, into a buffer
// that goes to the file after each call, and whenever it holds a chunk: a text costs the
// library a chunk of memory, however long it is.
class XmlWriter
{
public:
    std::string bytes;
    std::ofstream *file = nullptr;
    long long written = 0; // bytes passed to the file

    void drain()
    {
        file->write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        written += static_cast<long long>(bytes.size());
        bytes.clear();
    }

    void declaration() { bytes += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"; }
    void start(const char *name)
    {
        if (!finishStartTag(false))
            indent();
        bytes += '<';
        bytes += name;
        m_tags.emplace_back(name);
        m_inStartTag = m_lastWasStart = true;
    }
    void attribute(const char *name, const char *value)
    {
        bytes += ' ';
        bytes += name;
        bytes += "=\"";
        escaped(value, xmlescape::Attribute);
        bytes += '"';
    }
    void characters(const char *text)
    {
        finishStartTag(true);
        escaped(text, xmlescape::Text);
    }
    void end()
    {
        if (m_inStartTag) {
            bytes += "/>";
            m_inStartTag = m_lastWasStart = false;
            m_tags.pop_back();
            return;
        }
        const std::string name = m_tags.back();
        m_tags.pop_back();
        if (!finishStartTag(false) && !m_lastWasStart)
            indent();
        bytes += "</" + name + '>';
        m_lastWasStart = false;
    }
    void textElement(const char *name, const char *text)
    {
        start(name);
        characters(text);
        end();
    }
    void endDocument()
    {
        while (!m_tags.empty())
            end();
        bytes += '\n';
    }
    int depth() const { return static_cast<int>(m_tags.size()); }

private:
    // Ends a pending start tag; true when something was written since the last indentation.
    bool finishStartTag(bool contents)
    {
        const bool hadSomethingWritten = m_wroteSomething;
        m_wroteSomething = contents;
        if (m_inStartTag) {
            bytes += '>';
            m_inStartTag = false;
        }
        return hadSomethingWritten;
    }
    void indent() { bytes += '\n' + std::string(4 * m_tags.size(), ' '); }
    // Runs of characters that need no escape are copied whole, at most a chunk at a time.
    void escaped(const char *text, xmlescape::Mode mode)
    {
        const char *run = text;
        for (const char *p = text;; ++p) {
            const char *entity = *p ? xmlescape::entity(static_cast<unsigned char>(*p), mode) : nullptr;
            if (*p && !entity && static_cast<size_t>(p - run) < chunkSize)
                continue;
            bytes.append(run, static_cast<size_t>(p - run));
            run = p;
            if (!*p)
                return;
            if (entity) {
                bytes += entity;
                run = p + 1;
            }
            if (bytes.size() >= chunkSize)
                drain();
        }
    }

    std::vector<std::string> m_tags;
    bool m_inStartTag = false;
    bool m_lastWasStart = false;
    bool m_wroteSomething = false;
};

// Runs the lock calls of one handle on a thread of its own. A named mutex belongs to the thread
// that took it, on Windows and in the robust mutexes that stand for it on POSIX: taken on a
// product's thread, a part's lock could be released on no other thread, and would count as
// abandoned as soon as that thread ended. The keeper lives as long as the handle, so any thread
// may use the handle, and the lock goes only with the handle or the process.
class LockKeeper
{
public:
    LockKeeper()
        : m_thread([this] { serve(); })
    {
    }
    ~LockKeeper()
    {
        {
            const std::lock_guard<std::mutex> hold(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    LockKeeper(const LockKeeper &) = delete;
    LockKeeper &operator=(const LockKeeper &) = delete;

    // Runs `task` on the keeper's thread and returns once it has run, with what it threw.
    void run(const std::function<void()> &task)
    {
        std::unique_lock<std::mutex> hold(m_mutex);
        m_task = &task;
        m_wake.notify_all();
        m_wake.wait(hold, [this] { return !m_task; });
        if (m_thrown)
            std::rethrow_exception(std::exchange(m_thrown, nullptr));
    }

private:
    void serve()
    {
        std::unique_lock<std::mutex> hold(m_mutex);
        while (true) {
            m_wake.wait(hold, [this] { return m_task || m_stop; });
            if (!m_task)
                return;
            try {
                (*m_task)();
            } catch (...) {
                m_thrown = std::current_exception();
            }
            m_task = nullptr;
            m_wake.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    const std::function<void()> *m_task = nullptr;
    std::exception_ptr m_thrown;
    bool m_stop = false;
    std::thread m_thread; // last: it starts serving once the rest is made
};

// One part file, held under its lock from before it is made until it is released.
struct Part
{
    int number = 0;
    std::string path;
    std::unique_ptr<FileLock> lock; // made, taken and given back on the handle's keeper thread
    std::ofstream file;
    XmlWriter xml;
};

} // namespace

struct vintorlog
{
    ~vintorlog() { releasePart(); }

    // Gives back the current part's lock on the keeper thread and drops the part.
    void releasePart()
    {
        if (part)
            keeper.run([this] { part->lock.reset(); });
        part.reset();
    }

    LockKeeper keeper;
    std::string folder;
    std::string givenName; // empty: each log's name is made up
    std::string name; // of the log written now, or last
    int logs = 0; // begun by this handle
    unsigned flags = 0;
    long long partSize = defaultPartSize;
    std::string logUuid;
    std::unique_ptr<Part> part; // none between one session's log and the next
    bool started = false; // the current part's head is written
    bool inSession = false;
    std::string sessionUuid;
    int openElements = 0;
    bool inStartTag = false; // the element opened last still takes attributes
    std::vector<std::string> attributes; // those it has
    bool full = false;
    int failure = VINTORLOG_OK; // set for good once a write failed
    std::string error;
    std::mt19937_64 random { std::random_device()() };
};

namespace {

int fail(vintorlog *log, int code, const std::string &text)
{
    log->error = text;
    return code;
}

std::string newUuid(vintorlog *log)
{
    static const char hex[] = "0123456789abcdef";
    std::string uuid;
    for (int i = 0; i < 32; ++i) {
        const unsigned digit = i == 12 ? 4 : i == 16 ? 8 + (log->random() & 3) : log->random() & 15;
        uuid += hex[digit];
        if (i == 7 || i == 11 || i == 15 || i == 19)
            uuid += '-';
    }
    return uuid;
}

// Whether the folder holds a file of log `name`, whatever the case of its letters: Windows
// folds them, and the harvest groups files by the name before the first dot.
int checkNameFree(vintorlog *log, const std::string &name)
{
    const std::string prefix = FileLock::foldedPath(name + '.');
    std::error_code error;
    for (fs::directory_iterator it(fs::u8path(log->folder), error), end; !error && it != end; it.increment(error)) {
        if (FileLock::foldedPath(it->path().filename().u8string()).compare(0, prefix.size(), prefix) == 0)
            return fail(log, VINTORLOG_EXISTS, "the log folder has a log named " + name + " already");
    }
    if (error)
        return fail(log, VINTORLOG_IO, "cannot read the log folder " + log->folder + ": " + error.message());
    return VINTORLOG_OK;
}

// Makes and locks part `number` of the log `log->name`; the first part must be the first file
// of its name. On failure nothing stays: no part, no lock.
int openPart(vintorlog *log, int number, std::unique_ptr<Part> &part)
{
    part = std::make_unique<Part>();
    part->number = number;
    part->path = log->folder + '/' + log->name + '.' + std::to_string(number) + ".xml";
    part->xml.file = &part->file;
    bool locked = false;
    log->keeper.run([&] {
        part->lock = std::make_unique<FileLock>(part->path, false);
        locked = part->lock->tryLock(lockWaitMs);
    });
    int result = VINTORLOG_OK;
    if (!locked)
        result = fail(log, VINTORLOG_BUSY, "another process holds the lock of " + part->path);
    else if (number == 0)
        result = checkNameFree(log, log->name);
    if (result == VINTORLOG_OK) {
        part->file.open(fs::u8path(part->path), std::ios::binary | std::ios::trunc);
        if (!part->file)
            result = fail(log, VINTORLOG_IO, "cannot make " + part->path + ": " + std::strerror(errno));
    }
    if (result != VINTORLOG_OK) {
        log->keeper.run([&] { part->lock.reset(); });
        part.reset();
    }
    return result;
}

// Begins the log of the next session: the name given to vintorlog_open for the first, then that
// name with "-2", "-3", ... (the first that the folder does not have); without a given name, a
// made-up one each time.
int beginLog(vintorlog *log)
{
    // The product's own name is the one it asked for: no other is tried in its place.
    const int tries = log->logs == 0 && !log->givenName.empty() ? 1 : nameTries;
    int result = VINTORLOG_EXISTS;
    for (int attempt = 0; result == VINTORLOG_EXISTS && attempt < tries; ++attempt) {
        if (log->givenName.empty()) {
            char digits[17];
            std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(log->random()));
            log->name = std::string("log-") + digits;
        } else {
            log->name
                = log->logs == 0 ? log->givenName : log->givenName + '-' + std::to_string(log->logs + 1 + attempt);
        }
        result = openPart(log, 0, log->part);
    }
    if (result != VINTORLOG_OK)
        return result;
    ++log->logs;
    if (log->logUuid.empty())
        log->logUuid = newUuid(log);
    return VINTORLOG_OK;
}

// Passes what the part's writer holds to its file at once: a product that dies loses nothing
// it handed over before.
int flushPart(vintorlog *log, Part &part)
{
    part.xml.drain();
    part.file.flush();
    if (part.file)
        return VINTORLOG_OK;
    log->failure = VINTORLOG_IO;
    return fail(log, VINTORLOG_IO, "cannot write " + part.path + ": " + std::strerror(errno));
}

// The head of a part; a session that goes on from the previous part is opened again.
void writeHead(vintorlog *log, Part &part)
{
    XmlWriter &xml = part.xml;
    xml.declaration();
    xml.start("kaldousage");
    xml.textElement("schema", "3");
    xml.textElement("loguuid", log->logUuid.c_str());
    xml.textElement("logsequence", std::to_string(part.number).c_str());
    xml.start("logstatus");
    xml.attribute("kaldo", log->flags & VINTORLOG_FOR_RECEIVER ? "true" : "false");
    xml.attribute("admin", log->flags & VINTORLOG_FOR_ADMIN ? "true" : "false");
    xml.end();
    if (log->inSession) {
        xml.start("session");
        xml.textElement("sessionuuid", log->sessionUuid.c_str());
    }
}

// Ends a part: its session closed here (it goes on in the next part, or ends with the log),
// <logfinal> when it is the last, then the file closed and checked.
int finishPart(vintorlog *log, Part &part, bool final)
{
    if (final)
        part.xml.textElement("logfinal", "true");
    part.xml.endDocument();
    if (const int result = flushPart(log, part))
        return result;
    part.file.close();
    if (part.file.fail()) {
        log->failure = VINTORLOG_IO;
        return fail(log, VINTORLOG_IO, "cannot write " + part.path + ": " + std::strerror(errno));
    }
    return VINTORLOG_OK;
}

void startPart(vintorlog *log)
{
    if (!log->started) {
        writeHead(log, *log->part);
        log->started = true;
    }
}

// Ends the log written now: its last part marked final and released, for the harvest to take.
// What belongs to one log starts afresh for the next.
int finishLog(vintorlog *log)
{
    startPart(log);
    const int result = finishPart(log, *log->part, true);
    log->releasePart();
    log->logUuid.clear();
    log->started = false;
    log->full = false;
    return result;
}

// Goes on in the next part: made, locked and given its head before the current one is ended
// and released, so that a harvest never finds the log's parts all free while it is written.
int nextPart(vintorlog *log)
{
    if (log->part->number + 1 == maximumParts) {
        log->full = true;
        return fail(log, VINTORLOG_FULL, "the log has ten parts and the last one is full: end the session");
    }
    startPart(log);
    std::unique_ptr<Part> next;
    if (const int result = openPart(log, log->part->number + 1, next))
        return result;
    writeHead(log, *next);
    int result = flushPart(log, *next);
    if (result == VINTORLOG_OK)
        result = finishPart(log, *log->part, false);
    log->releasePart();
    log->part = std::move(next);
    return result;
}

// After a call that wrote something: the bytes go to the file, and a full part is followed by
// the next where the session is between its elements. When the next part cannot be made (the
// tenth is full, or its lock is busy), the log goes on in this one: the call itself went through.
int written(vintorlog *log)
{
    if (const int result = flushPart(log, *log->part))
        return result;
    if (log->part->xml.written < log->partSize || log->openElements > 0)
        return VINTORLOG_OK;
    if (nextPart(log) != VINTORLOG_OK && !log->failure)
        log->error.clear();
    return log->failure;
}

// The checks every call starts with; `content` for calls that add to the log.
int usable(vintorlog *log, bool content)
{
    if (!log)
        return VINTORLOG_MISUSE;
    log->error.clear();
    if (log->failure)
        return fail(log, log->failure, "the log takes no more after an earlier failure");
    if (content && log->full)
        return fail(log, VINTORLOG_FULL, "the log has ten parts and the last one is full: end the session");
    return VINTORLOG_OK;
}

bool validTexts(std::initializer_list<const char *> texts)
{
    for (const char *text : texts) {
        if (text && !isValidText(text))
            return false;
    }
    return true;
}

const char *const invalidText = "a text that is not UTF-8, or holds a character XML 1.0 cannot carry";

// An element holding `text`, inside <anon> when `anon`; nothing when `text` is null.
void textElement(XmlWriter &xml, const char *name, const char *text, bool anon = false)
{
    if (!text)
        return;
    xml.start(name);
    if (anon)
        xml.textElement("anon", text);
    else
        xml.characters(text);
    xml.end();
}

int writeEvent(vintorlog *log, const vintorlog_event *event, bool started)
{
    if (const int result = usable(log, true))
        return result;
    if (!event || (event->attribute_count > 0 && !event->attributes) || event->attribute_count < 0)
        return fail(log, VINTORLOG_MISUSE, "no event given");
    if (!log->inSession || log->openElements > 0)
        return fail(log, VINTORLOG_MISUSE, "an event belongs right inside a session");
    if (!validTexts({ event->feature, event->method, event->start_time }))
        return fail(log, VINTORLOG_INVALID, invalidText);
    for (int i = 0; i < event->attribute_count; ++i) {
        if (!validTexts({ event->attributes[i].code, event->attributes[i].value }))
            return fail(log, VINTORLOG_INVALID, invalidText);
    }
    XmlWriter &xml = log->part->xml;
    xml.start(started ? "eventstart" : "event");
    if (started)
        xml.attribute("eventid", std::to_string(event->id).c_str());
    textElement(xml, "feature", event->feature);
    textElement(xml, "methodofcall", event->method);
    textElement(xml, "eventstarttime", event->start_time);
    for (int i = 0; i < event->attribute_count; ++i) {
        xml.start("attribute");
        textElement(xml, "attributecode", event->attributes[i].code);
        textElement(xml, "attributevalue", event->attributes[i].value, event->attributes[i].anon);
        xml.end();
    }
    xml.end();
    return written(log);
}

// Runs a call of the interface: no exception leaves the library.
template <typename Call> int guarded(vintorlog *log, Call &&call)
{
    try {
        return call();
    } catch (const std::bad_alloc &) {
        return log ? fail(log, VINTORLOG_NOMEM, "out of memory") : VINTORLOG_NOMEM;
    } catch (const std::exception &e) {
        return log ? fail(log, VINTORLOG_IO, e.what()) : VINTORLOG_IO;
    }
}

} // namespace

extern "C" {

const char *vintorlog_version(void)
{
    return VINTORLOG_VERSION;
}

int vintorlog_open(vintorlog **result, const char *folder, const char *name, unsigned flags)
{
    if (!result)
        return VINTORLOG_MISUSE;
    *result = nullptr;
    vintorlog *log = nullptr;
    try {
        log = new vintorlog;
    } catch (...) {
        return VINTORLOG_NOMEM;
    }
    *result = log;
    return guarded(log, [&] {
        log->failure = VINTORLOG_MISUSE; // until the first part is made
        log->flags = flags;
        if (name
            && (!*name || std::strlen(name) > 100
                || std::strspn(name, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_")
                       != std::strlen(name)))
            return fail(log, VINTORLOG_INVALID, "a log name is made of letters, digits, '-' and '_'");
        if (folder && !isValidText(folder))
            return fail(log, VINTORLOG_INVALID, invalidText);
        // The folder spelt as the harvest spells it (absolute, cleaned, without a trailing
        // separator), since the lock of a part is named after its path.
        const fs::path given
            = fs::u8path(folder ? std::string(folder) : wide::toUtf8(findLogFolder(currentUserName())));
        if (given.empty())
            return fail(log, VINTORLOG_IO, "no log folder could be prepared");
        log->folder = fs::absolute(given).lexically_normal().u8string();
        while (log->folder.size() > 1 && (log->folder.back() == '/' || log->folder.back() == '\\'))
            log->folder.pop_back();
        log->givenName = name ? name : "";
        if (const int opened = beginLog(log)) {
            log->failure = opened;
            return opened;
        }
        log->failure = VINTORLOG_OK;
        return VINTORLOG_OK;
    });
}

const char *vintorlog_name(const vintorlog *log)
{
    return log ? log->name.c_str() : "";
}

int vintorlog_set_part_size(vintorlog *log, long long bytes)
{
    if (const int result = usable(log, false))
        return result;
    if (log->started)
        return fail(log, VINTORLOG_MISUSE, "the part size is set before a session begins");
    if (bytes < 4096)
        return fail(log, VINTORLOG_INVALID, "a part holds at least 4096 bytes");
    log->partSize = bytes;
    return VINTORLOG_OK;
}

int vintorlog_set_log_uuid(vintorlog *log, const char *uuid)
{
    if (const int result = usable(log, false))
        return result;
    if (log->started || !uuid)
        return fail(log, VINTORLOG_MISUSE, "the log's identity is set before a session begins");
    if (!*uuid || !isValidText(uuid))
        return fail(log, VINTORLOG_INVALID, invalidText);
    return guarded(log, [&] {
        log->logUuid = uuid;
        return VINTORLOG_OK;
    });
}

int vintorlog_begin_session(vintorlog *log, const vintorlog_session *s)
{
    if (const int result = usable(log, true))
        return result;
    if (!s)
        return fail(log, VINTORLOG_MISUSE, "no session given");
    if (log->inSession)
        return fail(log, VINTORLOG_MISUSE, "a session is open: end it first");
    if (!validTexts({ s->uuid, s->group, s->start_time, s->timezone, s->product_id, s->product_version,
                      s->product_language, s->os_platform, s->os_version, s->os_service_pack, s->os_bits,
                      s->cpu_architecture, s->country, s->locale, s->tracked_software_type, s->user, s->domain,
                      s->ram }))
        return fail(log, VINTORLOG_INVALID, invalidText);
    return guarded(log, [&] {
        if (!log->part) {
            if (const int result = beginLog(log))
                return result;
        }
        startPart(log);
        log->sessionUuid = s->uuid && *s->uuid ? s->uuid : newUuid(log);
        XmlWriter &xml = log->part->xml;
        xml.start("session");
        if (s->group)
            xml.attribute("sessiongroup", s->group);
        xml.textElement("sessionuuid", log->sessionUuid.c_str());
        textElement(xml, "sessionstarttime", s->start_time);
        textElement(xml, "timezone", s->timezone);
        xml.start("product");
        textElement(xml, "productid", s->product_id);
        textElement(xml, "productversion", s->product_version);
        textElement(xml, "productlanguage", s->product_language);
        textElement(xml, "trackedsoftwaretype", s->tracked_software_type);
        xml.end();
        xml.start("computer");
        textElement(xml, "user", s->user, true);
        textElement(xml, "domain", s->domain, true);
        textElement(xml, "osplatform", s->os_platform);
        textElement(xml, "osversion", s->os_version);
        textElement(xml, "osservicepack", s->os_service_pack);
        textElement(xml, "osbits", s->os_bits);
        textElement(xml, "cpuarchitecture", s->cpu_architecture);
        textElement(xml, "ram", s->ram);
        xml.end();
        textElement(xml, "country", s->country);
        textElement(xml, "locale", s->locale);
        log->inSession = true;
        return written(log);
    });
}

int vintorlog_write_event(vintorlog *log, const vintorlog_event *event)
{
    return guarded(log, [&] { return writeEvent(log, event, false); });
}

int vintorlog_start_event(vintorlog *log, const vintorlog_event *event)
{
    return guarded(log, [&] { return writeEvent(log, event, true); });
}

int vintorlog_end_event(vintorlog *log, int id, const char *endTime)
{
    if (const int result = usable(log, true))
        return result;
    if (!log->inSession || log->openElements > 0)
        return fail(log, VINTORLOG_MISUSE, "an event belongs right inside a session");
    if (!validTexts({ endTime }))
        return fail(log, VINTORLOG_INVALID, invalidText);
    return guarded(log, [&] {
        XmlWriter &xml = log->part->xml;
        xml.start("eventend");
        xml.attribute("eventid", std::to_string(id).c_str());
        if (endTime)
            xml.attribute("eventendtime", endTime);
        xml.end();
        return written(log);
    });
}

int vintorlog_begin_element(vintorlog *log, const char *name)
{
    if (const int result = usable(log, true))
        return result;
    if (!log->inSession)
        return fail(log, VINTORLOG_MISUSE, "an element belongs inside a session");
    if (!isValidName(name) || isReservedName(name))
        return fail(log, VINTORLOG_INVALID, "not a name for an element of the session");
    return guarded(log, [&] {
        log->part->xml.start(name);
        ++log->openElements;
        log->inStartTag = true;
        log->attributes.clear();
        return written(log);
    });
}

int vintorlog_add_attribute(vintorlog *log, const char *name, const char *value)
{
    if (const int result = usable(log, false))
        return result;
    if (!log->inStartTag || !value)
        return fail(log, VINTORLOG_MISUSE, "an attribute follows the element it belongs to");
    if (!isValidName(name) || !isValidText(value))
        return fail(log, VINTORLOG_INVALID, "not a name or a value for an attribute");
    for (const std::string &given : log->attributes) {
        if (given == name)
            return fail(log, VINTORLOG_INVALID, std::string("the element has an attribute ") + name + " already");
    }
    return guarded(log, [&] {
        log->attributes.emplace_back(name);
        log->part->xml.attribute(name, value);
        return written(log);
    });
}

int vintorlog_add_text(vintorlog *log, const char *text, int anon)
{
    if (const int result = usable(log, true))
        return result;
    if (log->openElements == 0 || !text)
        return fail(log, VINTORLOG_MISUSE, "a text belongs inside an element");
    if (!isValidText(text))
        return fail(log, VINTORLOG_INVALID, invalidText);
    return guarded(log, [&] {
        anon ? log->part->xml.textElement("anon", text) : log->part->xml.characters(text);
        log->inStartTag = false;
        return written(log);
    });
}

int vintorlog_end_element(vintorlog *log)
{
    if (const int result = usable(log, false))
        return result;
    if (log->openElements == 0)
        return fail(log, VINTORLOG_MISUSE, "no element is open");
    return guarded(log, [&] {
        log->part->xml.end();
        --log->openElements;
        log->inStartTag = false;
        return written(log);
    });
}

int vintorlog_write_element(vintorlog *log, const char *name, const char *text, int anon)
{
    if (const int result = usable(log, true))
        return result;
    // Checked before the start tag is written, so that a text refused writes nothing.
    if (text && !isValidText(text))
        return fail(log, VINTORLOG_INVALID, invalidText);
    if (const int result = vintorlog_begin_element(log, name))
        return result;
    if (text) {
        if (const int result = vintorlog_add_text(log, text, anon))
            return result;
    }
    return vintorlog_end_element(log);
}

int vintorlog_end_session(vintorlog *log)
{
    if (const int result = usable(log, false))
        return result;
    if (!log->inSession || log->openElements > 0)
        return fail(log, VINTORLOG_MISUSE, log->inSession ? "end the session's elements first" : "no session is open");
    return guarded(log, [&] {
        log->part->xml.end();
        log->inSession = false;
        return finishLog(log);
    });
}

int vintorlog_next_part(vintorlog *log)
{
    if (const int result = usable(log, true))
        return result;
    if (log->openElements > 0 || !log->part)
        return fail(log, VINTORLOG_MISUSE,
                    log->part ? "end the session's elements first" : "no log is open between sessions");
    return guarded(log, [&] { return nextPart(log); });
}

const char *vintorlog_errmsg(const vintorlog *log)
{
    return log ? log->error.c_str() : "no log handle";
}

int vintorlog_close(vintorlog *log)
{
    if (!log)
        return VINTORLOG_MISUSE;
    const int result = guarded(log, [&] {
        if (log->failure)
            return log->failure == VINTORLOG_IO ? VINTORLOG_IO : VINTORLOG_OK;
        if (!log->part)
            return VINTORLOG_OK; // the last session's log is finished already
        startPart(log);
        for (; log->openElements > 0; --log->openElements)
            log->part->xml.end();
        if (log->inSession)
            log->part->xml.end();
        log->inSession = false;
        return finishLog(log);
    });
    delete log; // releases the lock of the part written last, and ends the keeper thread
    return result;
}

} // extern "C"
