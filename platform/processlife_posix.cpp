#include "processlife.h"

#include <cerrno>
#include <sys/random.h>
#include <unistd.h>

namespace processlife {

unsigned long currentProcessId()
{
    return static_cast<unsigned long>(getpid());
}

bool insideLoaderLock()
{
    return false;
}

bool processEnding()
{
    return false;
}

void pinThisModule() { }

bool secureRandom(void *buffer, size_t size)
{
    auto *out = static_cast<unsigned char *>(buffer);
    while (size > 0) {
        const ssize_t got = getrandom(out, size, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        out += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

} // namespace processlife
