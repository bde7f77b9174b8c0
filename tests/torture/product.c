/* A product for the torture run: threads that each write sessions through the installed writers'
 * library, of random size (several parts, anon texts, events, elements of its own), and record
 * what they did in a file, one line a step, so that a checker can tell what was ended:
 *   begun <session uuid> <product id> <log name>   the session has begun in that log
 *   ended <session uuid> <events>                  vintorlog_end_session returned VINTORLOG_OK
 * The torture run kills it at any moment.
 *
 *   product <record file> <seed> <sessions per thread> <threads> named|fresh
 * The same source makes the Windows product, on vintorlog.dll (mingw-w64). */

#define _GNU_SOURCE

#include <vintorlog.h>

#include <fcntl.h>
#include <stdint.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#ifndef O_CLOEXEC
#define O_CLOEXEC 0 /* Windows: handles are not inherited unless asked */
#endif
#ifndef O_BINARY
#define O_BINARY 0
#endif

static int recordFd = -1;
static unsigned long long seed = 1;
static int sessionsPerThread = 1;
static int named = 0;

static void record(const char *line)
{
    /* One write of a whole line, appended: lines of several processes never mix. */
    if (write(recordFd, line, strlen(line)) < 0)
        _exit(3);
}

static unsigned next(unsigned long long *state)
{
    *state ^= *state << 13;
    *state ^= *state >> 7;
    *state ^= *state << 17;
    return (unsigned)(*state >> 11);
}

static void *writeSessions(void *argument)
{
    const int thread = (int)(intptr_t)argument;
    unsigned long long state = seed * 0x9e3779b97f4a7c15ULL + (unsigned long long)thread * 7919 + 1;
    char name[64];
    snprintf(name, sizeof name, "p%llu-%d-%d", seed, (int)getpid(), thread);
    vintorlog *log = NULL;
    if (vintorlog_open(&log, NULL, named ? name : NULL, VINTORLOG_FOR_RECEIVER) != VINTORLOG_OK) {
        vintorlog_close(log);
        return NULL;
    }
    static const char *const products[] = { "12", "27", "31" };
    for (int n = 0; n < sessionsPerThread; ++n) {
        char uuid[96], user[64], line[256];
        snprintf(uuid, sizeof uuid, "t-%llu-%d-%d-%d", seed, (int)getpid(), thread, n);
        snprintf(user, sizeof user, "SECRET-user-%d", n);
        const char *product = products[next(&state) % 3];
        vintorlog_set_part_size(log, 4096);
        vintorlog_session session = { 0 };
        session.uuid = uuid;
        session.start_time = "2026-12-07T08:00:00";
        session.timezone = "60";
        session.product_id = product;
        session.product_version = "4.2";
        session.product_language = "en";
        session.os_platform = "Linux";
        session.os_version = "6.1";
        session.country = "US";
        session.locale = "en-US";
        session.user = user;
        session.domain = "SECRET-domain";
        if (vintorlog_begin_session(log, &session) != VINTORLOG_OK)
            continue; /* a full folder, a failing disk: the product goes on */
        snprintf(line, sizeof line, "begun %s %s %s\n", uuid, product, vintorlog_name(log));
        record(line);
        const int events = (int)(next(&state) % 80);
        int written = 0;
        for (int e = 0; e < events; ++e, ++written) {
            const vintorlog_attribute attributes[] = { { "file", "SECRET-path/drawing.dwg", 1 }, { "size", "42", 0 } };
            const vintorlog_event event = { e, "Open", "menu", "2026-12-07T08:00:01", attributes, 2 };
            int result = vintorlog_write_event(log, &event);
            if (result == VINTORLOG_OK && e % 7 == 3)
                result = vintorlog_write_element(log, "note", "SECRET-note", 1);
            if (result != VINTORLOG_OK)
                break; /* its ten parts full, or the disk: the session ends as it is */
        }
        if (vintorlog_end_session(log) == VINTORLOG_OK) {
            snprintf(line, sizeof line, "ended %s %d\n", uuid, written);
            record(line);
        }
    }
    vintorlog_close(log);
    return NULL;
}

int main(int argc, char **argv)
{
    if (argc != 6)
        return 2;
    recordFd = open(argv[1], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_BINARY, 0644);
    if (recordFd < 0)
        return 2;
    seed = strtoull(argv[2], NULL, 10);
    sessionsPerThread = atoi(argv[3]);
    const int threads = atoi(argv[4]);
    named = strcmp(argv[5], "named") == 0;
    pthread_t ids[16];
    const int count = threads < 1 ? 1 : threads > 16 ? 16 : threads;
    for (int t = 0; t < count; ++t)
        if (pthread_create(&ids[t], NULL, writeSessions, (void *)(intptr_t)t) != 0)
            return 2;
    for (int t = 0; t < count; ++t)
        pthread_join(ids[t], NULL);
    return 0;
}
