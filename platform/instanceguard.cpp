#include "instanceguard.h"
#include "filelock_p.h"
#include "logfolder_p.h"

InstanceGuard::InstanceGuard(const std::wstring &userName)
    : d(std::make_unique<FileLockPrivate>())
{
    std::wstring temp, localAppData;
    logfolder::readEnvironment(L"TEMP", temp);
    logfolder::readEnvironment(L"LOCALAPPDATA", localAppData);
    // Windows paths ignore letter case and take either slash; the key does the same. It is
    // digested: the texts may be long and hold backslashes, which a mutex name may not.
    std::wstring key = userName + L'\n' + temp + L'\n' + localAppData;
    for (wchar_t &c : key) {
        if (c == L'\\')
            c = L'/';
        else if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    d->quiet = true;
    d->shareWithEveryone = false;
    d->mutexName = L"Global\\vintor-instance-" + FileLockPrivate::widen(FileLockPrivate::digest(key));
    d->fileName = FileLockPrivate::narrow(d->mutexName);
    d->open();
}

InstanceGuard::~InstanceGuard()
{
    if (d->locked)
        d->release();
    d->close();
}

bool InstanceGuard::tryAcquire()
{
    if (!d->locked && d->isValid())
        d->locked = d->wait(0) != FileLockPrivate::NotAcquired;
    return d->locked;
}
