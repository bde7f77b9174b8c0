// The log folder rule, the cross-process log file lock and the instance guard, on real
// folders and real processes. The same cases run on POSIX and, cross-built with mingw-w64,
// on Windows under Wine; the few expectations that differ are marked where they stand.

#include "eventlog.h"
#include "fileclaim.h"
#include "filelock.h"
#include "filelock_p.h"
#include "instanceguard.h"
#include "logfolder.h"
#include "testtools.h"
#include "wide_p.h"

#include <QCoreApplication>
#include <QOperatingSystemVersion>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

const std::string logsLeaf = "/KALDO Technologies/Zadazevi Rerevarazu Logs";
const bool windows = QOperatingSystemVersion::currentType() == QOperatingSystemVersion::Windows;

void setVariable(const char *name, const std::string &value) // empty: removed
{
    value.empty() ? qunsetenv(name) : qputenv(name, value.c_str());
}

std::string narrow(const std::wstring &text)
{
    return std::string(text.begin(), text.end());
}

// Another spelling of the same path for the lock names: lower case, forward slashes.
std::string otherSpelling(const std::string &path)
{
    return QString::fromStdString(path).replace(QLatin1Char('\\'), QLatin1Char('/')).toLower().toStdString();
}

// A fresh folder of this test, removed with it.
struct TempFolder
{
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString();
};

// The lockhelper program beside this test in one of its modes, started without pipes (Wine's can
// outlive a program); it tells that it holds the lock by creating a file.
class Helper
{
public:
    Helper(const std::string &mode, const std::string &path)
        : m_heldPath(mode == "hold" || mode == "crash" ? path : std::string())
    {
        // A Windows program reads its arguments in the ANSI code page, where each byte of the
        // path is the code unit of the same value.
        const QString target = windows ? QString::fromLatin1(path.c_str()) : QString::fromStdString(path);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.start(QCoreApplication::applicationDirPath() + "/lockhelper"_s,
                        { QString::fromStdString(mode), target, "20000"_s, m_ready.dir.filePath("ready"_s) });
    }
    // A holder killed leaves its lock object to the next taker: taken here, it is removed.
    ~Helper()
    {
        kill();
        if (!m_heldPath.empty())
            (void)FileLock(m_heldPath, false).tryLock(0);
    }
    bool waitForLock() const
    {
        return waitUntil([&] { return QFileInfo::exists(m_ready.dir.filePath("ready"_s)); }, 10000);
    }
    int waitForExit()
    {
        m_process.waitForFinished(30000);
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    void kill()
    {
        m_process.kill();
        m_process.waitForFinished();
    }

private:
    std::string m_heldPath;
    TempFolder m_ready;
    QProcess m_process;
};

int tryFromOtherProcess(const std::string &path)
{
    return Helper("try", path).waitForExit();
}

} // namespace

// The folder rule with TEMP and LOCALAPPDATA as each case sets them. On POSIX the shared roots
// "c:/windows/temp" and "c:/temp" are relative paths, in a working folder of the test's own.
TEST(FolderRule, CandidatesInOrderAndFallingThrough)
{
    TempFolder home;
    const std::string savedTemp = qgetenv("TEMP").toStdString(), savedLocal = qgetenv("LOCALAPPDATA").toStdString();
    const fs::path savedCwd = fs::current_path();
    fs::current_path(home.path);
    const std::wstring user = currentUserName();
    auto find = [&](const std::string &temp, const std::string &localAppData) {
        setVariable("TEMP", temp);
        setVariable("LOCALAPPDATA", localAppData);
        return narrow(findLogFolder(user));
    };
#ifndef _WIN32
    // Neither variable and no "c:" at all: no folder. With only "c:", "c:/windows/temp"
    // fails on its missing parent and "c:/temp" is made.
    EXPECT_EQ(find("", ""), "");
    fs::create_directory("c:");
    EXPECT_EQ(find("", ""), "c:/temp" + logsLeaf + " - " + narrow(user));
    EXPECT_FALSE(fs::exists("c:/windows"));
    fs::create_directories("c:/windows/temp");
    // An existing folder in which nothing can be created.
    EXPECT_EQ(find("/proc", ""), "c:/windows/temp" + logsLeaf + " - " + narrow(user));
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
    setVariable("TEMP", savedTemp);
    setVariable("LOCALAPPDATA", savedLocal);
    fs::current_path(savedCwd);
}

TEST(FileLock, BusyLockFailsAtOnceWithTheReport)
{
    TempFolder dir;
    const std::string path = dir.path + "\\Logs\\Part.0.XML";
    Helper holder("hold", path);
    ASSERT_TRUE(holder.waitForLock());

    const std::string same = otherSpelling(path);
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

// A path past MAX_PATH and a read-only mark: what the claim reads and removes. Other holders of
// a part are met in the run tests.
TEST(FileClaim, ReadsAndRemovesThroughLongPathsAndMarks)
{
    TempFolder dir;
    std::wstring folder = QString::fromStdString(dir.path).toStdWString();
    for (int level = 0; level < 5; ++level) {
        folder += L"/" + std::wstring(60, static_cast<wchar_t>(L'a' + level));
        ASSERT_TRUE(ensureDirectory(folder));
    }
    const QString path = QString::fromStdWString(folder + L"/part.0.xml");
    ASSERT_GT(path.size(), 300);
    writeFile(path, "<kaldousage/>");
    EXPECT_FALSE(isHiddenOrSystemFile(path.toStdWString()));
    QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadOther); // the read-only mark
    {
        FileClaim claim(path.toStdWString());
        ASSERT_TRUE(claim.claim(0)) << claim.errorString();
        char data[64];
        EXPECT_EQ(claim.read(data, sizeof data), 13);
        EXPECT_EQ(claim.read(data, sizeof data), 0);
        EXPECT_TRUE(claim.remove()) << claim.errorString();
    }
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_FALSE(removeFile(path.toStdWString()));
}

// On Windows the claim shares only reading: nobody deletes or renames a part between its reading
// and its removal. A part that another process holds is waited on within the run's budget alone.
TEST(FileClaim, HoldsThePartAndWaitsWithinTheRunsBudget)
{
    if (!windows)
        GTEST_SKIP() << "POSIX has no hold on a file: the folder's rights decide";
    TempFolder dir;
    const QString path = QString::fromStdString(dir.path + "/part.0.xml");
    writeFile(path, "<kaldousage/>");
    {
        FileClaim claim(path.toStdWString());
        ASSERT_TRUE(claim.claim(0)) << claim.errorString();
        EXPECT_FALSE(QFile::rename(path, path + ".moved"_s));
        EXPECT_FALSE(QFile::remove(path));
    }
    // Qt opens without sharing deletion, as scanners and editors do.
    QFile holder(path);
    ASSERT_TRUE(holder.open(QIODevice::ReadOnly));
    const uint32_t savedBudget = runWaitLeftMs;
    runWaitLeftMs = 300;
    const auto started = std::chrono::steady_clock::now();
    FileClaim held(path.toStdWString());
    EXPECT_FALSE(claimWithinRun(held));
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::milliseconds(fileClaimWaitMs)) << "no more than the run has left";
    EXPECT_EQ(runWaitLeftMs, 0u);
    FileClaim again(path.toStdWString());
    EXPECT_FALSE(claimWithinRun(again));
    EXPECT_LT(std::chrono::steady_clock::now() - started - waited, std::chrono::milliseconds(250)) << "spent";
    runWaitLeftMs = savedBudget;
}

TEST(FileClaim, ExtendedLengthPaths)
{
    for (const QStringList &row : readTable("platform/longpaths"_s))
        EXPECT_EQ(QString::fromStdWString(wide::extendedLengthPath(row.at(0).toStdWString())), row.at(windows ? 1 : 0));
}

#ifndef _WIN32
TEST(InstanceGuard, AFileOfAnotherAccountIsNotAnotherRun)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can give a file to another account";
    // Another account plants the guard file, mode 0600, and holds it.
    TempFolder dir;
    const std::string planted = dir.path + "/VintorInstance";
    const int fd = ::open(planted.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fchown(fd, 65534, 65534), 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    fs::create_directory(dir.path + "/runtime");
    qputenv("XDG_RUNTIME_DIR", (dir.path + "/runtime").c_str());
    {
        InstanceGuard guard(FileLockPrivate::widen(dir.path));
        EXPECT_TRUE(guard.tryAcquire());
        EXPECT_EQ(Helper("instance", dir.path + "/").waitForExit(), 1) << "the user's own guard holds the folder";
    }
    ::close(fd);
    qunsetenv("XDG_RUNTIME_DIR");
}

TEST(FileClaim, AnUnprivilegedAccountMeetsTheFolderRights)
{
    // Root may remove any file, so an account without privileges claims, through setpriv, the
    // parts that root (another account to it) lays out: in a sticky folder of another account,
    // its own part is removable and root's is not; in a folder it may not write, neither.
    if (geteuid() != 0 || !fs::exists("/usr/bin/setpriv"))
        GTEST_SKIP() << "only root can lay out another account's files";
    TempFolder dir;
    fs::permissions(dir.path, fs::perms(0755));
    const std::string helper = dir.path + "/lockhelper";
    fs::copy_file(QCoreApplication::applicationDirPath().toStdString() + "/lockhelper", helper);
    const auto part = [&](const std::string &folder, const std::string &name, bool nobodys) {
        const std::string path = dir.path + "/" + folder + "/" + name;
        std::ofstream(path) << "<kaldousage>";
        EXPECT_EQ(chown(path.c_str(), nobodys ? 65534 : 0, nobodys ? 65534 : 0), 0);
        return path;
    };
    fs::create_directory(dir.path + "/sticky");
    fs::create_directory(dir.path + "/closed");
    fs::permissions(dir.path + "/sticky", fs::perms(01777));
    const struct
    {
        std::string path;
        int exitCode; // lockhelper claim: 0 claimed, 1 denied by rights
    } cases[] = { { part("sticky", "own.0.xml", true), 0 },
                  { part("sticky", "other.0.xml", false), 1 },
                  { part("closed", "own.0.xml", true), 1 } };
    for (const auto &each : cases) {
        QProcess claim;
        claim.start("/usr/bin/setpriv"_s,
                    { "--reuid=65534"_s, "--regid=65534"_s, "--clear-groups"_s, QString::fromStdString(helper),
                      "claim"_s, QString::fromStdString(each.path) });
        ASSERT_TRUE(claim.waitForFinished(10000));
        EXPECT_EQ(claim.exitCode(), each.exitCode) << each.path;
        EXPECT_TRUE(fs::exists(each.path)) << "a claim only checks";
    }
}

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

TEST(Journal, OnlyTheVeryStreamItNamesGetsTheEvents)
{
    // Standard error a file; the variable names it, or a stream on its device, or one with its inode.
    TempFolder dir;
    const std::string path = dir.path + "/stream";
    const int file = ::open(path.c_str(), O_RDWR | O_CREAT, 0600), saved = dup(2);
    struct stat info;
    ASSERT_TRUE(file >= 0 && fstat(file, &info) == 0 && dup2(file, 2) == 2);
    for (const auto &[device, inode, journal] : { std::tuple(info.st_dev, info.st_ino, true),
                                                  { info.st_dev, info.st_ino + 1, false },
                                                  { info.st_dev + 1, info.st_ino, false } }) {
        qputenv("JOURNAL_STREAM", (std::to_string(device) + ':' + std::to_string(inode)).c_str());
        EXPECT_EQ(reportAdminEvent(AdminEvent::UploadFailed, L"lost\nfolder"), journal) << device << ':' << inode;
    }
    dup2(saved, 2);
    ::close(saved);
    ::close(file);
    qunsetenv("JOURNAL_STREAM");
    EXPECT_EQ(readFile(QString::fromStdString(path)), "<4>lost\n<4>  folder\n");
}
#endif
