#include "processlife.h"

#include <windows.h>

#include <bcrypt.h>

namespace processlife {

unsigned long currentProcessId()
{
    return GetCurrentProcessId();
}

bool insideLoaderLock()
{
    // The loader's critical section, as the process environment block points to it: its owner is
    // the thread that runs DllMain and the global objects of the library being (un)loaded.
    // Read from the thread's segment as NtCurrentTeb() would (which gcc 12 takes for an access
    // out of bounds).
    const char *peb = nullptr;
#ifdef _WIN64
    constexpr size_t loaderLockOffset = 0x110;
    __asm__("movq %%gs:0x60, %0" : "=r"(peb));
#else
    constexpr size_t loaderLockOffset = 0xa0;
    __asm__("movl %%fs:0x30, %0" : "=r"(peb));
#endif
    const auto *lock = *reinterpret_cast<RTL_CRITICAL_SECTION *const *>(peb + loaderLockOffset);
    return lock && lock->OwningThread == reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(GetCurrentThreadId()));
}

bool processEnding()
{
    using ShutdownInProgress = BOOLEAN(WINAPI *)();
    const auto inProgress = reinterpret_cast<ShutdownInProgress>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlDllShutdownInProgress")));
    return inProgress && inProgress();
}

void pinThisModule()
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&pinThisModule), &module);
}

bool secureRandom(void *buffer, size_t size)
{
    return BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer), static_cast<ULONG>(size),
                           BCRYPT_USE_SYSTEM_PREFERRED_RNG)
           == 0;
}

} // namespace processlife
