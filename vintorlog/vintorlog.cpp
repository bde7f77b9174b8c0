// The writers' library: the C interface of vintorlog.h, its checks and the elements it writes,
// over the log mechanics of logwriter.cpp. Each session is a log of its own, so that a
// product that dies costs the harvest no more than the session it was writing.

#include "vintorlog.h"

#include "identity.h"
#include "logfolder.h"
#include "logwriter_p.h"
#include "processlife.h"
#include "texts.h"
#include "wide_p.h"

#include <cstring>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

using namespace vintorlog_detail;

namespace {

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
    if (const char *why = refusedText({ event->feature, event->method, event->start_time }))
        return fail(log, VINTORLOG_INVALID, why);
    for (int i = 0; i < event->attribute_count; ++i) {
        if (const char *why = refusedText({ event->attributes[i].code, event->attributes[i].value }))
            return fail(log, VINTORLOG_INVALID, why);
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
template <typename Call> int guarded(vintorlog *log, Call &&call) noexcept
{
    try {
        return call();
    } catch (const std::bad_alloc &) {
        return log ? fail(log, VINTORLOG_NOMEM, "out of memory") : VINTORLOG_NOMEM;
    } catch (const std::exception &e) {
        return log ? fail(log, VINTORLOG_IO, e.what()) : VINTORLOG_IO;
    } catch (...) {
        return log ? fail(log, VINTORLOG_IO, "an unknown failure") : VINTORLOG_IO;
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
        log->process = processlife::currentProcessId();
        log->flags = flags;
        // Under the loader lock the keeper's thread could not start, and the open would wait for
        // it for ever.
        if (processlife::insideLoaderLock())
            return log->failure = fail(log, VINTORLOG_UNAVAILABLE,
                                       "a log cannot be opened while the system loads or unloads a library "
                                       "(in DllMain or a global object of a library): open it once loading is over");
        auto keeper = std::make_unique<LockKeeper>();
        std::string refused;
        if (!keeper->start(refused))
            return log->failure = fail(log, VINTORLOG_UNAVAILABLE, refused);
        log->keeper = std::move(keeper);
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
    return guarded(log, [&] {
        if (const int result = usable(log, false))
            return result;
        if (log->started)
            return fail(log, VINTORLOG_MISUSE, "the part size is set before a session begins");
        if (bytes < 4096)
            return fail(log, VINTORLOG_INVALID, "a part holds at least 4096 bytes");
        log->partSize = bytes;
        return VINTORLOG_OK;
    });
}

int vintorlog_set_log_uuid(vintorlog *log, const char *uuid)
{
    return guarded(log, [&] {
        if (const int result = usable(log, false))
            return result;
        if (log->started || !uuid)
            return fail(log, VINTORLOG_MISUSE, "the log's identity is set before a session begins");
        if (!*uuid || refusedText({ uuid }))
            return fail(log, VINTORLOG_INVALID, invalidText);
        return guarded(log, [&] {
            log->logUuid = uuid;
            return VINTORLOG_OK;
        });
    });
}

int vintorlog_begin_session(vintorlog *log, const vintorlog_session *s)
{
    return guarded(log, [&] {
        if (const int result = usable(log, true))
            return result;
        if (!s)
            return fail(log, VINTORLOG_MISUSE, "no session given");
        if (log->inSession)
            return fail(log, VINTORLOG_MISUSE, "a session is open: end it first");
        if (const char *why = refusedText({ s->uuid, s->group, s->start_time, s->timezone, s->product_id,
                                            s->product_version, s->product_language, s->os_platform, s->os_version,
                                            s->os_service_pack, s->os_bits, s->cpu_architecture, s->country, s->locale,
                                            s->tracked_software_type, s->user, s->domain, s->ram }))
            return fail(log, VINTORLOG_INVALID, why);
        return guarded(log, [&] {
            std::string uuid = s->uuid && *s->uuid ? s->uuid : "";
            if (uuid.empty() && !newUuid(uuid))
                return fail(log, VINTORLOG_UNAVAILABLE, "the system's random source gives nothing");
            if (!log->part) {
                if (const int result = beginLog(log))
                    return result;
            }
            startPart(log);
            log->sessionUuid = uuid;
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
    return guarded(log, [&] {
        if (const int result = usable(log, true))
            return result;
        if (!log->inSession || log->openElements > 0)
            return fail(log, VINTORLOG_MISUSE, "an event belongs right inside a session");
        if (const char *why = refusedText({ endTime }))
            return fail(log, VINTORLOG_INVALID, why);
        return guarded(log, [&] {
            XmlWriter &xml = log->part->xml;
            xml.start("eventend");
            xml.attribute("eventid", std::to_string(id).c_str());
            if (endTime)
                xml.attribute("eventendtime", endTime);
            xml.end();
            return written(log);
        });
    });
}

int vintorlog_begin_element(vintorlog *log, const char *name)
{
    return guarded(log, [&] {
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
    });
}

int vintorlog_add_attribute(vintorlog *log, const char *name, const char *value)
{
    return guarded(log, [&] {
        if (const int result = usable(log, false))
            return result;
        if (!log->inStartTag || !value)
            return fail(log, VINTORLOG_MISUSE, "an attribute follows the element it belongs to");
        if (!isValidName(name) || !isValidText(value))
            return fail(log, VINTORLOG_INVALID, "not a name or a value for an attribute");
        if (!fitsRun(value, log->part->xml.run() + static_cast<long long>(std::strlen(name)) + 4))
            return fail(log, VINTORLOG_INVALID, tooLongText);
        for (const std::string &given : log->attributes) {
            if (given == name)
                return fail(log, VINTORLOG_INVALID, std::string("the element has an attribute ") + name + " already");
        }
        return guarded(log, [&] {
            log->attributes.emplace_back(name);
            log->part->xml.attribute(name, value);
            return written(log);
        });
    });
}

int vintorlog_add_text(vintorlog *log, const char *text, int anon)
{
    return guarded(log, [&] {
        if (const int result = usable(log, true))
            return result;
        if (log->openElements == 0 || !text)
            return fail(log, VINTORLOG_MISUSE, "a text belongs inside an element");
        if (!isValidText(text))
            return fail(log, VINTORLOG_INVALID, invalidText);
        if (!fitsRun(text, anon ? 0 : log->part->xml.run(), xmlescape::Text))
            return fail(log, VINTORLOG_INVALID, tooLongText);
        return guarded(log, [&] {
            anon ? log->part->xml.textElement("anon", text) : log->part->xml.characters(text);
            log->inStartTag = false;
            return written(log);
        });
    });
}

int vintorlog_end_element(vintorlog *log)
{
    return guarded(log, [&] {
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
    });
}

int vintorlog_write_element(vintorlog *log, const char *name, const char *text, int anon)
{
    return guarded(log, [&] {
        if (const int result = usable(log, true))
            return result;
        // Checked before the start tag is written, so that a text refused writes nothing.
        if (const char *why = refusedText({ text }))
            return fail(log, VINTORLOG_INVALID, why);
        if (const int result = vintorlog_begin_element(log, name))
            return result;
        if (text) {
            if (const int result = vintorlog_add_text(log, text, anon))
                return result;
        }
        return vintorlog_end_element(log);
    });
}

int vintorlog_end_session(vintorlog *log)
{
    return guarded(log, [&] {
        if (const int result = usable(log, false))
            return result;
        if (!log->inSession || log->openElements > 0)
            return fail(log, VINTORLOG_MISUSE,
                        log->inSession ? "end the session's elements first" : "no session is open");
        return guarded(log, [&] {
            log->part->xml.end();
            log->inSession = false;
            return finishLog(log);
        });
    });
}

int vintorlog_next_part(vintorlog *log)
{
    return guarded(log, [&] {
        if (const int result = usable(log, true))
            return result;
        if (log->openElements > 0 || !log->part)
            return fail(log, VINTORLOG_MISUSE,
                        log->part ? "end the session's elements first" : "no log is open between sessions");
        return nextPart(log);
    });
}

const char *vintorlog_errmsg(const vintorlog *log)
{
    if (!log)
        return "no log handle";
    return log->fixedError ? log->fixedError : log->error.c_str();
}

int vintorlog_close(vintorlog *log)
{
    if (!log)
        return VINTORLOG_MISUSE;
    // A child that inherited the handle through fork() writes nothing of its parent's log and
    // gives back none of its locks: it only frees the handle.
    const int result = log->inherited() ? VINTORLOG_OK : guarded(log, [&] {
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
