/* vintorlog: writes usage logs the way the harvest (vintor) expects them.
 *
 * A product opens a log, begins sessions with their identification, adds events and other
 * elements, ends the sessions and closes the log. Each session is a log of its own in the
 * current user's log folder, written as part files "<name>.<n>.xml", each under the file lock
 * that the harvest shares with the writers: a new part when a part reaches its size, at most
 * ten parts, the next part made and locked before the previous one is released. Ending a
 * session marks its log's last part final (<logfinal>) and releases it: the harvest takes it
 * on its next run, while the product goes on. A product that dies loses only the session it
 * was writing: the harvest drops a log whose session was cut off, and delivers every session
 * that had ended.
 *
 * Texts are UTF-8. Every call returns VINTORLOG_OK or an error code; vintorlog_errmsg() tells
 * what went wrong. A call that fails writes nothing, and a log stays one that the harvest can
 * merge whatever the calls made of it. No call throws, keeps global state or writes anything
 * outside the log folder. A text costs the library a fixed buffer (64 KiB), however long it is;
 * but the harvest holds each run of a part between two tags whole, so none may pass 8 MiB: a text
 * with its escapes (the texts added to one element count together), or a start tag with its
 * attributes. A text that would make a longer run is refused with VINTORLOG_INVALID.
 *
 * Threads: a log handle may be used by any thread, one call at a time: opened on one thread,
 * written on others, closed on yet another, whether or not the thread that opened it still
 * runs. The part locks are held by a thread that the handle keeps for itself, and given back
 * by vintorlog_close or by the end of the process. Different handles, in one process or in
 * several, may write different logs at the same time.
 *
 * Waiting: no call waits for another process. A part whose lock another process holds is BUSY at
 * once (a harvest holds a part only while it reads it); a following session's log passes such a
 * name over, and one the folder has, and takes the next. A call waits only for the handle's own
 * lock thread, which answers at once, and for the system's file calls.
 *
 * Where it works: anywhere in a product's life, with these limits, and every call returns.
 * - Global constructors and destructors, exit handlers: as anywhere else. On Windows, a library's
 *   (a DLL's) global objects run under the system's loader lock, where no thread can start:
 *   vintorlog_open there returns VINTORLOG_UNAVAILABLE at once; open the log once the library has
 *   loaded. Closing a handle there works, also while the library is unloaded; at the end of the
 *   process, where Windows has already ended the handle's lock thread, the close writes the
 *   log's end and the harvest takes the lock over as its holder's.
 * - fork(): a child does not have the parent's lock thread. Every call on an inherited handle
 *   returns VINTORLOG_UNAVAILABLE and writes nothing; vintorlog_close frees it (all but the few
 *   bytes that stood for the parent's thread) and leaves the parent's log and locks alone. A
 *   child that logs opens a log of its own.
 * - No exception leaves the library, out of memory included (VINTORLOG_NOMEM).
 *
 * Identities: session uuids, log uuids and made-up names come from the system's cryptographic
 * random source (getrandom, BCryptGenRandom): uuids of version 4, with 122 random bits.
 *
 * Quota: no log begins while the folder holds 10,000 logs or 256 MiB of files (VINTORLOG_QUOTA);
 * the product goes on, and begins logs again once a harvest has taken some. The folder is counted
 * when the process first begins a log in it, then at most once a minute (every five seconds while
 * it is full), the logs and bytes that the process writes in between added: beginning a log costs
 * the same however many logs the folder holds. */
#ifndef VINTORLOG_H
#define VINTORLOG_H

#if defined(_WIN32) && !defined(VINTORLOG_STATIC)
#ifdef VINTORLOG_BUILDING
#define VINTORLOG_API __declspec(dllexport)
#else
#define VINTORLOG_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define VINTORLOG_API __attribute__((visibility("default")))
#else
#define VINTORLOG_API
#endif

#define VINTORLOG_VERSION "1.2.0"
#define VINTORLOG_VERSION_NUMBER 10200

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vintorlog vintorlog;

/* Results. */
#define VINTORLOG_OK 0
#define VINTORLOG_MISUSE 1 /* a null handle or argument, or a call out of order */
#define VINTORLOG_INVALID 2 /* a name or text the format cannot carry: not UTF-8, or characters XML 1.0 has not */
#define VINTORLOG_EXISTS 3 /* the folder holds a log of that name already */
#define VINTORLOG_BUSY 4 /* another process holds the lock of a part file */
#define VINTORLOG_FULL 5 /* the session's log has its ten parts and the last one is full: end the session */
#define VINTORLOG_IO 6 /* the system refused to write (a full disk, say): the log takes no more */
#define VINTORLOG_NOMEM 7 /* out of memory */
#define VINTORLOG_QUOTA                                                                                                \
    8 /* the log folder holds its quota of logs or bytes (below): no log begins until a harvest takes some */
#define VINTORLOG_UNAVAILABLE 9 /* the library cannot work where it was called: see "Where it works" above */

/* Where a log is meant to go (vintorlog_open). */
#define VINTORLOG_FOR_RECEIVER 1 /* the maker's usage-tracking receiver */
#define VINTORLOG_FOR_ADMIN 2 /* the local administration tool */

/* The start of a session. Fields left NULL are left out. The ten identifying fields tell the
 * maker's service which sessions it wants; numbers are given as decimal texts. The user and the
 * domain are always written inside <anon>, so that they leave the machine only as digests. */
typedef struct vintorlog_session
{
    const char *uuid; /* sessionuuid; NULL: a new random one */
    const char *group; /* the attribute sessiongroup */
    const char *start_time; /* sessionstarttime, as "2026-11-20T08:00:00" */
    const char *timezone; /* minutes east of UTC */
    /* The ten identifying fields. */
    const char *product_id;
    const char *product_version;
    const char *product_language;
    const char *os_platform;
    const char *os_version;
    const char *os_service_pack;
    const char *os_bits;
    const char *cpu_architecture;
    const char *country;
    const char *locale;
    /* More of the header. */
    const char *tracked_software_type;
    const char *user;
    const char *domain;
    const char *ram;
} vintorlog_session;

/* One attribute of an event: <attribute><attributecode>code</attributecode>
 * <attributevalue>value</attributevalue></attribute>, the value inside <anon> when anon is set. */
typedef struct vintorlog_attribute
{
    const char *code;
    const char *value;
    int anon;
} vintorlog_attribute;

typedef struct vintorlog_event
{
    int id; /* pairs vintorlog_start_event with vintorlog_end_event */
    const char *feature;
    const char *method; /* methodofcall */
    const char *start_time; /* eventstarttime */
    const vintorlog_attribute *attributes;
    int attribute_count;
} vintorlog_event;

VINTORLOG_API const char *vintorlog_version(void);

/* Opens the log `name` (letters, digits, '-' and '_', at most 100) in `folder`, or in the current
 * user's log folder when `folder` is NULL, for the destinations in `flags`. Its first part is made
 * and locked at once; a name that the folder already has gives VINTORLOG_EXISTS (names compared
 * as the system compares file names: on Windows in any case of their letters), one that another
 * process writes, in any case of its letters, VINTORLOG_BUSY. The first session goes
 * into that log, each following one into a log of its own named "<name>-2", "<name>-3", ... (the
 * next that the folder does not have and no other process holds). A NULL `name` makes
 * up a fresh one for each session's log ("log-" and 16 hex digits): vintorlog_name() tells it.
 * *log receives a handle even when the call fails, unless memory ran out: read
 * vintorlog_errmsg() and close it. */
VINTORLOG_API int vintorlog_open(vintorlog **log, const char *folder, const char *name, unsigned flags);
/* The name of the log written now (or last): its files are "<name>.<n>.xml". "" for NULL. */
VINTORLOG_API const char *vintorlog_name(const vintorlog *log);
/* Before a session begins: the size at which a part is followed by the next (default 1 MiB,
 * at least 4096), and the identity of the log that the session starts (default: a new random
 * one for each log). */
VINTORLOG_API int vintorlog_set_part_size(vintorlog *log, long long bytes);
VINTORLOG_API int vintorlog_set_log_uuid(vintorlog *log, const char *uuid);

VINTORLOG_API int vintorlog_begin_session(vintorlog *log, const vintorlog_session *session);
/* A finished event in one piece (<event>), or the start and the end of one (<eventstart>,
 * <eventend>), in a session. */
VINTORLOG_API int vintorlog_write_event(vintorlog *log, const vintorlog_event *event);
VINTORLOG_API int vintorlog_start_event(vintorlog *log, const vintorlog_event *event);
VINTORLOG_API int vintorlog_end_event(vintorlog *log, int id, const char *end_time);
/* Any other element of the session: opened, given attributes (right after it is opened, each
 * name once) and text, or written in one call; text marked anon goes inside <anon>. At any
 * depth, an element may not take a name that the harvest's merge or filter acts on
 * (VINTORLOG_INVALID): the names of the log's and the session's head that the library writes
 * itself, the session's identification among them (productid, country, locale, ...), and the
 * names of events and of anonymised text (event, eventstart, anon, ...). */
VINTORLOG_API int vintorlog_begin_element(vintorlog *log, const char *name);
VINTORLOG_API int vintorlog_add_attribute(vintorlog *log, const char *name, const char *value);
VINTORLOG_API int vintorlog_add_text(vintorlog *log, const char *text, int anon);
VINTORLOG_API int vintorlog_end_element(vintorlog *log);
VINTORLOG_API int vintorlog_write_element(vintorlog *log, const char *name, const char *text, int anon);
/* Ends the session, its elements ended first, and hands its log over to the harvest. */
VINTORLOG_API int vintorlog_end_session(vintorlog *log);

/* Goes on in a new part of the session's log now, as when the current one is full. */
VINTORLOG_API int vintorlog_next_part(vintorlog *log);

/* What the last call that failed on this handle went wrong with; "" when none has. */
VINTORLOG_API const char *vintorlog_errmsg(const vintorlog *log);

/* Ends what is open, marks the last part final, releases it and frees the handle, which is then
 * gone whatever the result. A log whose writing failed is left as it stands. Any thread may
 * close a handle. */
VINTORLOG_API int vintorlog_close(vintorlog *log);

#ifdef __cplusplus
}
#endif

#endif
