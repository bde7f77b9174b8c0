// The Windows side of the log folder rule and of the log file lock, with real Windows
// semantics: run under Wine on the build machine, with a helper process made by CreateProcessW.

#include "filelock.h"
#include "instanceguard.h"
#include "logfolder.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cwctype>
#include <string>

namespace {

std::wstring makeTempFolder()
{
    static int counter = 0;
    wchar_t base[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, base);
    const std::wstring path = std::wstring(base) + L"vintor-test-" + std::to_wstring(GetCurrentProcessId()) + L"-"
        + std::to_wstring(++counter);
    CreateDirectoryW(path.c_str(), nullptr);
    return path;
}

bool isDirectory(const std::wstring &path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void setVariable(const wchar_t *name, const std::wstring &value)
{
    _wputenv((std::wstring(name) + L"=" + value).c_str()); // an empty value removes it
}

std::wstring helperPath()
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    return path.substr(0, path.find_last_of(L"\\/") + 1) + L"lockhelper.exe";
}

// A lockhelper process; `waitForLock` reads its output until it says it holds the lock.
class Helper
{
public:
    Helper(const std::wstring &mode, const std::string &path)
    {
        SECURITY_ATTRIBUTES inherit = { sizeof(inherit), nullptr, TRUE };
        CreatePipe(&readEnd, &writeEnd, &inherit, 0);
        SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = writeEnd;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        // Each byte becomes the code unit of the same value, which the helper's ANSI
        // argument vector (code page 1252 here) turns back into the same bytes.
        std::wstring widePath;
        for (char c : path)
            widePath.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
        std::wstring command = L"\"" + helperPath() + L"\" " + mode + L" \"" + widePath + L"\" 20000";
        started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
        CloseHandle(writeEnd);
    }
    ~Helper()
    {
        if (started) {
            TerminateProcess(process.hProcess, 0);
            WaitForSingleObject(process.hProcess, 5000);
            CloseHandle(process.hProcess);
            CloseHandle(process.hThread);
        }
        CloseHandle(readEnd);
    }
    bool waitForLock()
    {
        std::string output;
        char buffer[64];
        DWORD got = 0;
        while (output.find("locked") == std::string::npos && ReadFile(readEnd, buffer, sizeof(buffer), &got, nullptr) && got)
            output.append(buffer, got);
        return output.find("locked") != std::string::npos;
    }
    DWORD waitForExit()
    {
        WaitForSingleObject(process.hProcess, 20000);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        return code;
    }

    PROCESS_INFORMATION process = {};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    bool started = false;
};

std::string narrowPath(const std::wstring &path)
{
    return std::string(path.begin(), path.end());
}

} // namespace

TEST(FolderRule, CandidateOrder)
{
    const std::wstring user = currentUserName();
    ASSERT_FALSE(user.empty());

    const std::wstring temp = makeTempFolder();
    setVariable(L"TEMP", temp);
    setVariable(L"LOCALAPPDATA", L"c:/unused");
    EXPECT_EQ(findLogFolder(user), temp + L"/KALDO Technologies/Zadazevi Rerevarazu Logs");
    EXPECT_TRUE(isDirectory(temp + L"/KALDO Technologies/Zadazevi Rerevarazu Logs"));

    const std::wstring local = makeTempFolder();
    setVariable(L"TEMP", L"");
    setVariable(L"LOCALAPPDATA", local);
    EXPECT_EQ(findLogFolder(user), local + L"/temp/KALDO Technologies/Zadazevi Rerevarazu Logs");

    setVariable(L"LOCALAPPDATA", L"");
    EXPECT_EQ(findLogFolder(user), L"c:/windows/temp/KALDO Technologies/Zadazevi Rerevarazu Logs - " + user);

    // A preferred root whose parent is missing falls through to the shared roots.
    setVariable(L"TEMP", temp + L"/no/such");
    EXPECT_EQ(findLogFolder(user), L"c:/windows/temp/KALDO Technologies/Zadazevi Rerevarazu Logs - " + user);
    EXPECT_FALSE(isDirectory(temp + L"/no"));
    setVariable(L"TEMP", L"");
}

TEST(EnsureDirectory, MissingLeafAgainstMissingParent)
{
    const std::wstring base = makeTempFolder();
    EXPECT_TRUE(ensureDirectory(base + L"/leaf"));
    EXPECT_TRUE(ensureDirectory(base + L"/leaf"));
    EXPECT_FALSE(ensureDirectory(base + L"/a/b"));
    EXPECT_FALSE(isDirectory(base + L"/a"));
    HANDLE file = CreateFileW((base + L"/file").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    CloseHandle(file);
    EXPECT_FALSE(ensureDirectory(base + L"/file"));
}

TEST(FileLock, HeldByAnotherProcessFailsAtOnce)
{
    const std::string path = narrowPath(makeTempFolder()) + "\\Logs\\Part.0.XML";
    Helper holder(L"hold", path);
    ASSERT_TRUE(holder.started);
    ASSERT_TRUE(holder.waitForLock());

    // The same file spelt with forward slashes and in lower case.
    std::string same = path;
    for (char &c : same) {
        if (c == '\\')
            c = '/';
        else if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    testing::internal::CaptureStderr();
    FileLock lock(same);
    const DWORD started = GetTickCount();
    EXPECT_FALSE(lock.tryLock(0));
    EXPECT_LT(GetTickCount() - started, 1000u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to lock file: " + same + "\n");
}

TEST(FileLock, NonAsciiPathsMeetOnOneName)
{
    const std::string path = narrowPath(makeTempFolder()) + "/J\xc3\xbcrgen.xml";
    Helper holder(L"hold", path);
    ASSERT_TRUE(holder.waitForLock());
    testing::internal::CaptureStderr();
    FileLock lock(path);
    EXPECT_FALSE(lock.tryLock(0));
    testing::internal::GetCapturedStderr();
}

TEST(FileLock, AbandonedMutexIsTakenOver)
{
    const std::string path = narrowPath(makeTempFolder()) + "/abandoned.xml";
    // Keep the mutex alive after the helper dies, as a writer's open handle would.
    FileLock observer(path);
    Helper crashing(L"crash", path);
    ASSERT_TRUE(crashing.waitForLock());
    crashing.waitForExit();

    testing::internal::CaptureStderr();
    EXPECT_TRUE(observer.tryLock(0));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Taking in abandoned mutex\n");
}

TEST(FileLock, DestructionReleases)
{
    const std::string path = narrowPath(makeTempFolder()) + "/released.xml";
    {
        FileLock lock(path);
        ASSERT_TRUE(lock.tryLock(0));
        Helper probe(L"try", path);
        EXPECT_EQ(probe.waitForExit(), 1u);
    }
    Helper probe(L"try", path);
    EXPECT_EQ(probe.waitForExit(), 0u);
}

TEST(InstanceGuard, OnePerUserAndLogFolderVariables)
{
    const std::wstring folder = makeTempFolder();
    std::wstring sameFolder = folder; // another spelling: other letter case, other slashes
    for (wchar_t &c : sameFolder)
        c = c == L'\\' ? L'/' : static_cast<wchar_t>(towupper(c));
    setVariable(L"TEMP", folder);
    {
        InstanceGuard guard(currentUserName());
        ASSERT_TRUE(guard.tryAcquire());
        const struct {
            const wchar_t *name;
            std::wstring value;
            DWORD expected;
        } cases[] = {
            { L"TMP", folder + L"\\elsewhere", 1 },
            { L"TEMP", sameFolder, 1 },
            { L"TEMP", folder + L"\\other", 0 },
            { L"LOCALAPPDATA", folder, 0 },
        };
        for (const auto &c : cases) {
            setVariable(c.name, c.value);
            Helper probe(L"instance", "");
            EXPECT_EQ(probe.waitForExit(), c.expected);
            setVariable(c.name, c.name == std::wstring(L"TEMP") ? folder : L"");
        }
    }
    Helper probe(L"instance", "");
    EXPECT_EQ(probe.waitForExit(), 0u) << "released with the guard";
    setVariable(L"TEMP", L"");
}
