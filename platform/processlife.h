#pragma once

#include <cstddef>

// What the writers' library must know of the process that it runs in, so that it never hangs a
// product whatever point of its life the product calls it from, and where it draws identities.
namespace processlife {

// This process; a child made by fork() has another.
unsigned long currentProcessId();

// Windows: whether the calling thread holds the loader lock (inside a DllMain, or a global
// constructor or destructor of a library being loaded or unloaded), where a thread can neither
// start nor end. POSIX: false.
bool insideLoaderLock();

// Windows: whether the process is ending (ExitProcess has run, and every other thread has been
// ended). POSIX: false.
bool processEnding();

// Keeps the module that holds this code loaded until the process ends, for a thread of its own
// that still runs after the product unloads it. POSIX: nothing.
void pinThisModule();

// Fills `size` bytes from the system's cryptographic random source; false when it gives none.
bool secureRandom(void *buffer, size_t size);

} // namespace processlife
