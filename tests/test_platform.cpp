// The log folder rule, the cross-process log file lock and the instance guard, on real
// folders and real processes. The same cases run on POSIX and, cross-built with mingw-w64,
// on Windows under Wine; the few expectations that differ are marked where they stand.

#include "filelock.h"
#include "filelock_p.h"
#include "instanceguard.h"
#include "logfolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

const std::string logsLeaf = "/KALDO Technologies/Zadazevi Rerevarazu Logs";

void setVariable(const std::string &name, const std::string &value) // empty: removed
{
#ifdef _WIN32
    _putenv_s(name.c_str(), value.c_str());
#else
    if (value.empty())
        unsetenv(name.c_str());
    else
        setenv(name.c_str(), value.c_str(), 1);
#endif
}

std::string narrow(const std::wstring &text)
{
    return std::string(text.begin(), text.end());
}

// Another spelling of the same path for the lock names: upper case, forward slashes.
std::string otherSpelling(std::string path, bool upper)
{
    for (char &c : path) {
        if (c == '\\')
            c = '/';
        else if (upper && c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        else if (!upper && c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return path;
}

// A fresh folder of this test, removed with it.
struct TempFolder
{
    TempFolder()
    {
        static int counter = 0;
#ifdef _WIN32
        const unsigned long id = GetCurrentProcessId();
#else
        const long id = getpid();
#endif
        path = (fs::temp_directory_path() / ("vintor-test-" + std::to_string(id) + "-" + std::to_string(++counter)))
                   .string();
        fs::create_directories(path);
    }
    ~TempFolder()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string path;
};

// The lockhelper program beside this test, in one of its modes.
class Helper
{
public:
    Helper(const std::string &mode, const std::string &path);
    ~Helper() { kill(); }
    // Reads its output until it says that it holds the lock.
    bool waitForLock();
    int waitForExit();
    void kill();

private:
#ifdef _WIN32
    PROCESS_INFORMATION m_process = {};
    HANDLE m_output = nullptr;
#else
    pid_t m_pid = -1;
    int m_output = -1;
#endif
    int m_exitCode = -1;
};

#ifdef _WIN32
Helper::Helper(const std::string &mode, const std::string &path)
{
    HANDLE writeEnd = nullptr;
    SECURITY_ATTRIBUTES inherit = { sizeof(inherit), nullptr, TRUE };
    CreatePipe(&m_output, &writeEnd, &inherit, 0);
    SetHandleInformation(m_output, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = nullptr; // its reports would land in what a test captures
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring program = self;
    program = program.substr(0, program.find_last_of(L"\\/") + 1) + L"lockhelper.exe";
    // Each byte becomes the code unit of the same value, which the helper's ANSI argument
    // vector (code page 1252 here) turns back into the same bytes.
    std::wstring command = L"\"" + program + L"\" " + std::wstring(mode.begin(), mode.end()) + L" \"";
    for (char c : path)
        command.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    command += L"\" 20000";
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &m_process))
        m_process = {};
    CloseHandle(writeEnd);
}

bool Helper::waitForLock()
{
    std::string output;
    char buffer[64];
    DWORD got = 0;
    while (output.find("locked") == std::string::npos && ReadFile(m_output, buffer, sizeof(buffer), &got, nullptr)
           && got)
        output.append(buffer, got);
    return output.find("locked") != std::string::npos;
}

int Helper::waitForExit()
{
    if (m_process.hProcess) {
        WaitForSingleObject(m_process.hProcess, 20000);
        DWORD code = 0;
        GetExitCodeProcess(m_process.hProcess, &code);
        m_exitCode = static_cast<int>(code);
        CloseHandle(m_process.hProcess);
        CloseHandle(m_process.hThread);
        m_process = {};
    }
    return m_exitCode;
}

void Helper::kill()
{
    if (m_process.hProcess)
        TerminateProcess(m_process.hProcess, 9);
    waitForExit();
    if (m_output)
        CloseHandle(m_output);
    m_output = nullptr;
}
#else
Helper::Helper(const std::string &mode, const std::string &path)
{
    int ends[2];
    if (pipe(ends) != 0)
        return;
    m_pid = fork();
    if (m_pid == 0) {
        // Its reports would land in what a test captures of this process's standard error.
        dup2(ends[1], STDOUT_FILENO);
        dup2(open("/dev/null", O_WRONLY), STDERR_FILENO);
        const std::string program = VINTOR_BIN_DIR "/lockhelper";
        execl(program.c_str(), program.c_str(), mode.c_str(), path.c_str(), "20000", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(ends[1]);
    m_output = ends[0];
}

bool Helper::waitForLock()
{
    std::string output;
    char buffer[64];
    ssize_t got = 0;
    while (output.find("locked") == std::string::npos && (got = read(m_output, buffer, sizeof(buffer))) > 0)
        output.append(buffer, static_cast<size_t>(got));
    return output.find("locked") != std::string::npos;
}

int Helper::waitForExit()
{
    int status = 0;
    if (m_pid > 0 && waitpid(m_pid, &status, 0) == m_pid)
        m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    m_pid = -1;
    return m_exitCode;
}

void Helper::kill()
{
    if (m_pid > 0)
        ::kill(m_pid, SIGKILL);
    waitForExit();
    if (m_output >= 0)
        close(m_output);
    m_output = -1;
}
#endif

int tryFromOtherProcess(const std::string &path)
{
    return Helper("try", path).waitForExit();
}

// The folder rule with TEMP and LOCALAPPDATA as each case sets them. On POSIX the shared
// roots "c:/windows/temp" and "c:/temp" are relative paths, which land in a working folder
// of the test's own.
class FolderRule : public ::testing::Test
{
protected:
    void SetUp() override
    {
#ifdef _WIN32
        user = currentUserName();
#else
        savedCwd = fs::current_path();
        fs::current_path(home.path);
#endif
    }
    void TearDown() override
    {
        setVariable("TEMP", "");
        setVariable("LOCALAPPDATA", "");
#ifndef _WIN32
        fs::current_path(savedCwd);
#endif
    }
    std::string find(const std::string &temp, const std::string &localAppData)
    {
        setVariable("TEMP", temp);
        setVariable("LOCALAPPDATA", localAppData);
        return narrow(findLogFolder(user));
    }

    TempFolder home;
    std::wstring user = L"tester";
    fs::path savedCwd;
};

} // namespace

TEST_F(FolderRule, CandidatesInOrderAndFallingThrough)
{
#ifndef _WIN32
    // Neither variable and no "c:" at all: no folder. With only "c:", "c:/windows/temp"
    // fails on its missing parent and "c:/temp" is made.
    EXPECT_EQ(find("", ""), "");
    fs::create_directory("c:");
    EXPECT_EQ(find("", ""), "c:/temp" + logsLeaf + " - tester");
    EXPECT_FALSE(fs::exists("c:/windows"));
    fs::create_directories("c:/windows/temp");
    // An existing folder in which nothing can be created.
    EXPECT_EQ(find("/proc", ""), "c:/windows/temp" + logsLeaf + " - tester");
#endif
    const std::string shared = "c:/windows/temp" + logsLeaf + " - " + narrow(user);
    const std::string temp = home.path + "/temp";
    fs::create_directory(temp);
    EXPECT_EQ(find(temp, "c:/unused"), temp + logsLeaf);
    EXPECT_TRUE(fs::is_directory(temp + logsLeaf));
    const std::string local = home.path + "/local";
    fs::create_directory(local);
    EXPECT_EQ(find("", local), local + "/temp" + logsLeaf);
    EXPECT_EQ(find("", ""), shared);

    // A TEMP whose parent is missing: nothing is created on the way.
    EXPECT_EQ(find(home.path + "/no/such", ""), shared);
    EXPECT_FALSE(fs::exists(home.path + "/no"));
    // A plain file where the leaf belongs.
    const std::string blocked = home.path + "/blocked";
    fs::create_directories(blocked + "/KALDO Technologies");
    std::ofstream(blocked + logsLeaf) << "file";
    EXPECT_EQ(find(blocked, ""), shared);
    EXPECT_TRUE(fs::is_regular_file(blocked + logsLeaf));
}

TEST(EnsureDirectory, CreatesOnlyTheLastLevel)
{
    TempFolder dir;
    const fs::path leaf = fs::path(dir.path) / "leaf";
    EXPECT_TRUE(ensureDirectory(leaf.wstring()));
    EXPECT_TRUE(ensureDirectory(leaf.wstring()));
    EXPECT_FALSE(ensureDirectory((fs::path(dir.path) / "a" / "b").wstring()));
    EXPECT_FALSE(fs::exists(fs::path(dir.path) / "a"));
    std::ofstream(fs::path(dir.path) / "file") << "x";
    EXPECT_FALSE(ensureDirectory((fs::path(dir.path) / "file").wstring()));
}

TEST(FileLock, BusyLockFailsAtOnceWithTheReport)
{
    TempFolder dir;
    const std::string path = dir.path + "\\Logs\\Part.0.XML";
    Helper holder("hold", path);
    ASSERT_TRUE(holder.waitForLock());

    const std::string same = otherSpelling(path, false);
    testing::internal::CaptureStderr();
    FileLock lock(same);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(lock.tryLock(0));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to lock file: " + same + "\n");
    FileLock other(dir.path + "/logs/part.1.xml");
    EXPECT_TRUE(other.tryLock(0)) << "another file has a lock of its own";

    // Names that are not ASCII meet on one lock too.
    const std::string accented = dir.path + "/J\xc3\xbcrgen.xml";
    Helper accentedHolder("hold", accented);
    ASSERT_TRUE(accentedHolder.waitForLock());
    testing::internal::CaptureStderr();
    EXPECT_FALSE(FileLock(accented).tryLock(0));
    testing::internal::GetCapturedStderr();
}

TEST(FileLock, AbandonedAndReleasedLocks)
{
    TempFolder dir;
    const std::string path = dir.path + "/held.xml";
    {
        FileLock lock(path);
        ASSERT_TRUE(lock.tryLock(0));
        FileLock again(path);
        EXPECT_TRUE(again.tryLock(0)) << "recursive for its owning thread";
        again.unlock();
        EXPECT_EQ(tryFromOtherProcess(path), 1);
        lock.unlock();
        EXPECT_EQ(tryFromOtherProcess(path), 0);
        EXPECT_TRUE(lock.tryLock(0));
    }
    EXPECT_EQ(tryFromOtherProcess(path), 0) << "released by destruction";

    // A lock opened before another process took the mutex still meets it, and takes it in
    // when that process dies holding it: killed, or ending without a release.
    for (const char *mode : { "hold", "crash" }) {
        FileLock early(path);
        Helper holder(mode, path);
        ASSERT_TRUE(holder.waitForLock());
        testing::internal::CaptureStderr();
        if (std::string(mode) == "hold") {
            EXPECT_FALSE(early.tryLock(0));
        }
        testing::internal::GetCapturedStderr();
        holder.kill();
        testing::internal::CaptureStderr();
        EXPECT_TRUE(early.tryLock(0)) << mode;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Taking in abandoned mutex\n") << mode;
        EXPECT_EQ(tryFromOtherProcess(path), 1) << mode;
    }
}

TEST(InstanceGuard, OnePerUserAndLogFolderVariables)
{
    TempFolder dir;
    setVariable("TEMP", dir.path);
    {
        InstanceGuard guard(currentUserName());
        ASSERT_TRUE(guard.tryAcquire());
#ifdef _WIN32
        const char *temporaryFolderVariable = "TMP";
#else
        const char *temporaryFolderVariable = "TMPDIR";
#endif
        const struct
        {
            const char *name;
            std::string value;
            int expected;
        } cases[] = {
            { temporaryFolderVariable, dir.path + "/elsewhere", 1 },
            { "TEMP", otherSpelling(dir.path, true), 1 },
            { "TEMP", dir.path + "/other", 0 },
            { "LOCALAPPDATA", dir.path, 0 },
        };
        for (const auto &c : cases) {
            setVariable(c.name, c.value);
            EXPECT_EQ(Helper("instance", "").waitForExit(), c.expected) << c.name << "=" << c.value;
            setVariable(c.name, std::string(c.name) == "TEMP" ? dir.path : "");
        }
    }
    EXPECT_EQ(Helper("instance", "").waitForExit(), 0) << "released with the guard";
    setVariable("TEMP", "");
}

#ifndef _WIN32
TEST(FileLock, ObjectLeftHalfMadeIsRemadeAndRemovedOnRelease)
{
    // A creator killed between making the object and readying its mutex leaves it empty.
    TempFolder dir;
    const std::string path = dir.path + "/half.xml";
    const std::string object
        = FileLockPrivate::objectNameFor(L"Global\\" + FileLockPrivate::widen(FileLockPrivate::normalize(path)));
    const int fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const int savedWait = FileLockPrivate::readyWaitMs;
    FileLockPrivate::readyWaitMs = 20;
    testing::internal::CaptureStderr();
    {
        FileLock lock(path);
        EXPECT_TRUE(lock.tryLock(0));
        EXPECT_EQ(tryFromOtherProcess(path), 1) << "a working lock, shared with others";
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    FileLockPrivate::readyWaitMs = savedWait;
    EXPECT_FALSE(fs::exists("/dev/shm" + object));
}
#endif
