#pragma once

// The state of one handle of the writers' library and the steps that write its logs: the part
// files, their names and their locks.

#include "filelock.h"
#include "lockkeeper.h"
#include "vintorlog.h"
#include "xmlwriter.h"

#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace vintorlog_detail {

constexpr int maximumParts = 10; // an eleventh, "<name>.10.xml", would sort before "<name>.2.xml"
constexpr long long defaultPartSize = 1 << 20;

// One part file, held under its lock from before it is made until it is released.
struct Part
{
    int number = 0;
    std::string path;
    std::unique_ptr<FileLock> lock; // made, taken and given back on the handle's keeper thread
    std::ofstream file;
    XmlWriter xml;
};

} // namespace vintorlog_detail

struct vintorlog
{
    ~vintorlog();

    // Gives back the current part's lock on the keeper thread and drops the part.
    void releasePart();
    // Whether this process is a child that inherited the handle through fork().
    bool inherited() const;

    std::unique_ptr<vintorlog_detail::LockKeeper> keeper; // none when the handle could not start one
    unsigned long process = 0; // that opened the handle
    std::string folder;
    std::string givenName; // empty: each log's name is made up
    std::string name; // of the log written now, or last
    int logs = 0; // begun by this handle
    int suffix = 1; // of the last "<name>-N" tried for a following session's log
    unsigned flags = 0;
    long long partSize = vintorlog_detail::defaultPartSize;
    std::string logUuid;
    std::unique_ptr<vintorlog_detail::Part> part; // none between one session's log and the next
    bool started = false; // the current part's head is written
    bool inSession = false;
    std::string sessionUuid;
    int openElements = 0;
    bool inStartTag = false; // the element opened last still takes attributes
    std::vector<std::string> attributes; // those it has
    bool full = false;
    int failure = VINTORLOG_OK; // set for good once a write failed
    std::string error;
    const char *fixedError = nullptr; // what went wrong when not even its text could be had
};

namespace vintorlog_detail {

// Called with a part's path just before its lock is given back, when set: tests read what a
// harvest would find at that moment.
extern void (*partReleasing)(const std::string &path);

// Notes what went wrong on the handle and returns `code`; never throws.
int fail(vintorlog *log, int code, const std::string &text) noexcept;
int fail(vintorlog *log, int code, const char *text) noexcept;
// Begins the log of the next session.
int beginLog(vintorlog *log);
// The part's head, written once the part has something to hold.
void startPart(vintorlog *log);
// Ends the log written now: its last part marked final and released, for the harvest to take.
int finishLog(vintorlog *log);
// Goes on in the next part.
int nextPart(vintorlog *log);
// After a call that wrote something: to the file, and on in the next part when this one is full.
int written(vintorlog *log);
// The checks every call starts with; `content` for calls that add to the log.
int usable(vintorlog *log, bool content);

} // namespace vintorlog_detail
