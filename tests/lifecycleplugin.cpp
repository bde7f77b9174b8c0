// A product's plug-in library whose global objects open a log while the library loads and close
// one while it unloads or the process ends; the folder is LIFECYCLE_FOLDER.

#include "vintorlog.h"

#include <cstdlib>

namespace {

// A log that its global object opens, when it is given a name, and closes in its destructor.
struct GlobalLog
{
    explicit GlobalLog(const char *name = nullptr)
    {
        if (name)
            result = vintorlog_open(&log, std::getenv("LIFECYCLE_FOLDER"), name, VINTORLOG_FOR_RECEIVER);
    }
    ~GlobalLog() { vintorlog_close(log); }
    vintorlog *log = nullptr;
    int result = VINTORLOG_OK;
} openedAtLoad("atload"), closedAtEnd;

} // namespace

extern "C" int plugin_open_result()
{
    return openedAtLoad.result;
}

// Begins the session that the global object's destructor ends.
extern "C" int plugin_begin()
{
    vintorlog_session session {};
    session.product_id = "7";
    int result = vintorlog_open(&closedAtEnd.log, std::getenv("LIFECYCLE_FOLDER"), "atend", VINTORLOG_FOR_RECEIVER);
    if (result == VINTORLOG_OK)
        result = vintorlog_begin_session(closedAtEnd.log, &session);
    if (result == VINTORLOG_OK)
        result = vintorlog_write_element(closedAtEnd.log, "note", "closed by a global object", 0);
    return result;
}
