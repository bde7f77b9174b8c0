// mingw-w64's msvcrt has no _wdupenv_s, although the CRT headers declare it as imported from
// that DLL. This supplies the same contract built on _wgetenv, a malloc'ed copy of the
// variable or a null pointer when it is not set, and fills the import slot that callers of
// the declared function jump through.

#include <cerrno>
#include <cstdlib>
#include <cwchar>

namespace {

errno_t __cdecl duplicateEnvironment(wchar_t **buffer, size_t *count, const wchar_t *name)
{
    if (!buffer || !name)
        return EINVAL;
    *buffer = nullptr;
    if (count)
        *count = 0;
    const wchar_t *value = _wgetenv(name);
    if (!value)
        return 0;
    const size_t length = wcslen(value) + 1;
    *buffer = static_cast<wchar_t *>(malloc(length * sizeof(wchar_t)));
    if (!*buffer)
        return ENOMEM;
    wmemcpy(*buffer, value, length);
    if (count)
        *count = length;
    return 0;
}

} // namespace

extern "C" {
errno_t(__cdecl *__imp__wdupenv_s)(wchar_t **, size_t *, const wchar_t *) = duplicateEnvironment;
}
