// The writers' library: the C interface of vintorlog.h over the log folder rule and the file
// lock of platform/, writing each part as QXmlStreamWriter with auto-formatting would.

#include "vintorlog.h"

#include "filelock.h"
#include "logfolder.h"
#include "xmlescape.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int maximumParts = 10; // an eleventh, "<name>.10.xml", would sort before "<name>.2.xml"
constexpr long long defaultPartSize = 1 << 20;
constexpr int lockWaitMs = 5000; // a harvest holds a part only while it probes or merges it

// The elements that the library writes itself, or that steer the harvest's merge and filter.
const char *const reservedNames[]
    = { "kaldousage",  "schema",         "loguuid",       "logsequence", "logstatus",  "logfinal", "session",
        "sessionuuid", "sessioncrashed", "eventsomitted", "anon",        "eventstart", "eventend", "event" };

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

bool isReservedName(const char *name)
{
    for (const char *reserved : reservedNames) {
        if (std::strcmp(name, reserved) == 0)
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
// that the part takes after each call.
class XmlWriter
{
public:
    std::string bytes;

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
    void escaped(const char *text, xmlescape::Mode mode)
    {
        for (const char *p = text; *p; ++p) {
            const char *entity = xmlescape::entity(static_cast<unsigned char>(*p), mode);
            if (entity)
                bytes += entity;
            else
                bytes += *p;
        }
    }

    std::vector<std::string> m_tags;
    bool m_inStartTag = false;
    bool m_lastWasStart = false;
    bool m_wroteSomething = false;
};

// One part file, held under its lock from before it is made until it is released.
struct Part
{
    int number = 0;
    std::string path;
    std::unique_ptr<FileLock> lock;
    std::ofstream file;
    XmlWriter xml;
    long long size = 0;
};

} // namespace

struct vintorlog
{
    std::string folder;
    std::string name;
    unsigned flags = 0;
    long long partSize = defaultPartSize;
    std::string logUuid;
    std::unique_ptr<Part> part;
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

// UTF-8 from the wide strings of the platform interfaces: UTF-16 on Windows, UTF-32 elsewhere.
std::string utf8(const std::wstring &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = static_cast<char32_t>(text[i]);
        if (c >= 0xd800 && c < 0xdc00 && i + 1 < text.size())
            c = 0x10000 + ((c - 0xd800) << 10) + (static_cast<char32_t>(text[++i]) - 0xdc00);
        static const char32_t lead[] = { 0, 0xc0, 0xe0, 0xf0 };
        const int extra = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        out += static_cast<char>(lead[extra] | (c >> (6 * extra)));
        for (int shift = 6 * (extra - 1); shift >= 0; shift -= 6)
            out += static_cast<char>(0x80 | ((c >> shift) & 0x3f));
    }
    return out;
}

// ASCII letters lowered: Windows' file names ignore their case.
std::string folded(std::string text)
{
    for (char &c : text)
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return text;
}

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

// Makes and locks part `number`. The first part must be the first file of its name.
int openPart(vintorlog *log, int number, std::unique_ptr<Part> &part)
{
    part = std::make_unique<Part>();
    part->number = number;
    part->path = log->folder + '/' + log->name + '.' + std::to_string(number) + ".xml";
    part->lock = std::make_unique<FileLock>(part->path, false);
    if (!part->lock->tryLock(lockWaitMs))
        return fail(log, VINTORLOG_BUSY, "another process holds the lock of " + part->path);
    std::error_code error;
    if (number == 0) {
        for (fs::directory_iterator it(fs::u8path(log->folder), error), end; !error && it != end; it.increment(error)) {
            const std::string file = folded(it->path().filename().u8string());
            if (file.compare(0, log->name.size() + 1, folded(log->name) + '.') == 0)
                return fail(log, VINTORLOG_EXISTS, "the log folder has a log named " + log->name + " already");
        }
        if (error)
            return fail(log, VINTORLOG_IO, "cannot read the log folder " + log->folder + ": " + error.message());
    }
    part->file.open(fs::u8path(part->path), std::ios::binary | std::ios::trunc);
    if (!part->file)
        return fail(log, VINTORLOG_IO, "cannot make " + part->path + ": " + std::strerror(errno));
    return VINTORLOG_OK;
}

// Passes what the part's writer holds to its file at once: a product that dies loses nothing
// it handed over before.
int flushPart(vintorlog *log, Part &part)
{
    part.file.write(part.xml.bytes.data(), static_cast<std::streamsize>(part.xml.bytes.size()));
    part.file.flush();
    part.size += static_cast<long long>(part.xml.bytes.size());
    part.xml.bytes.clear();
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

// Goes on in the next part: made, locked and given its head before the current one is ended
// and released, so that a harvest never finds the log's parts all free while it is written.
int nextPart(vintorlog *log)
{
    if (log->part->number + 1 == maximumParts) {
        log->full = true;
        return fail(log, VINTORLOG_FULL, "the log has ten parts and the last one is full: close it and open another");
    }
    startPart(log);
    std::unique_ptr<Part> next;
    if (const int result = openPart(log, log->part->number + 1, next))
        return result;
    writeHead(log, *next);
    if (const int result = flushPart(log, *next))
        return result;
    if (const int result = finishPart(log, *log->part, false))
        return result;
    log->part = std::move(next); // releases the previous part's lock
    return VINTORLOG_OK;
}

// After a call that wrote something: the bytes go to the file, and a full part is followed by
// the next where the log is between elements of a session or between sessions. When the next
// part cannot be made (the tenth is full, or its lock is busy), the log goes on in this one:
// the call itself went through.
int written(vintorlog *log)
{
    if (const int result = flushPart(log, *log->part))
        return result;
    if (log->part->size < log->partSize || log->openElements > 0)
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
        return fail(log, VINTORLOG_FULL, "the log has ten parts and the last one is full: close it and open another");
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
        if (!name || !*name || std::strlen(name) > 100
            || std::strspn(name, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_")
                   != std::strlen(name))
            return fail(log, VINTORLOG_INVALID, "a log name is made of letters, digits, '-' and '_'");
        if (folder && !isValidText(folder))
            return fail(log, VINTORLOG_INVALID, invalidText);
        // The folder spelt as the harvest spells it (absolute, cleaned, without a trailing
        // separator), since the lock of a part is named after its path.
        const fs::path given = fs::u8path(folder ? std::string(folder) : utf8(findLogFolder(currentUserName())));
        if (given.empty())
            return fail(log, VINTORLOG_IO, "no log folder could be prepared");
        log->folder = fs::absolute(given).lexically_normal().u8string();
        while (log->folder.size() > 1 && (log->folder.back() == '/' || log->folder.back() == '\\'))
            log->folder.pop_back();
        log->name = name;
        log->logUuid = newUuid(log);
        if (const int opened = openPart(log, 0, log->part)) {
            log->failure = opened;
            return opened;
        }
        log->failure = VINTORLOG_OK;
        return VINTORLOG_OK;
    });
}

int vintorlog_set_part_size(vintorlog *log, long long bytes)
{
    if (const int result = usable(log, false))
        return result;
    if (log->started)
        return fail(log, VINTORLOG_MISUSE, "the part size is set before the first session");
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
        return fail(log, VINTORLOG_MISUSE, "the log's identity is set before the first session");
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
        return written(log);
    });
}

int vintorlog_next_part(vintorlog *log)
{
    if (const int result = usable(log, true))
        return result;
    if (log->openElements > 0)
        return fail(log, VINTORLOG_MISUSE, "end the session's elements first");
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
        startPart(log);
        for (; log->openElements > 0; --log->openElements)
            log->part->xml.end();
        if (log->inSession)
            log->part->xml.end();
        log->inSession = false;
        return finishPart(log, *log->part, true);
    });
    delete log; // releases the lock of the part written last
    return result;
}

} // extern "C"
