// A product's plug-in library, for the tests of the writers' library across a product's
// lifecycle: one global object opens a log while the library is being loaded (where Windows holds
// its loader lock), another keeps a log with an open session that its destructor closes while the
// library is unloaded or the process ends (where Windows has ended every other thread). The
// folder comes from the variable LIFECYCLE_FOLDER.

#include "vintorlog.h"

#include <cstdlib>

#ifdef _WIN32
#define PLUGIN_API extern "C" __declspec(dllexport)
#else
#define PLUGIN_API extern "C" __attribute__((visibility("default")))
#endif

namespace {

struct OpenedAtLoad
{
    vintorlog *log = nullptr;
    int result = vintorlog_open(&log, std::getenv("LIFECYCLE_FOLDER"), "atload", VINTORLOG_FOR_RECEIVER);
    ~OpenedAtLoad() { vintorlog_close(log); }
} openedAtLoad;

struct ClosedAtEnd
{
    vintorlog *log = nullptr;
    ~ClosedAtEnd() { vintorlog_close(log); }
} closedAtEnd;

} // namespace

PLUGIN_API int plugin_open_result()
{
    return openedAtLoad.result;
}

// Begins the session that the global object's destructor ends.
PLUGIN_API int plugin_begin()
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
