// The log folder rule and the cross-process log file lock, on real folders and real processes.

#include "filelock.h"
#include "filelock_p.h"
#include "instanceguard.h"
#include "logfolder.h"
#include "testtools.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Runs with the given TEMP and LOCALAPPDATA (a null string unsets) and a working folder of
// its own, where the relative fallback roots "c:/windows/temp" and "c:/temp" land.
class FolderRule : public ::testing::Test
{
protected:
    void SetUp() override
    {
        savedCwd = QDir::currentPath();
        QDir::setCurrent(home.path());
    }
    void TearDown() override { QDir::setCurrent(savedCwd); }

    QString find(const QString &temp, const QString &localAppData)
    {
        auto set = [](const char *name, const QString &value) {
            if (value.isNull())
                qunsetenv(name);
            else
                qputenv(name, value.toUtf8());
        };
        set("TEMP", temp);
        set("LOCALAPPDATA", localAppData);
        return QString::fromStdWString(findLogFolder(L"tester"));
    }

    QTemporaryDir home;
    QString savedCwd;
};

} // namespace

TEST_F(FolderRule, CandidatesInOrder)
{
    const QString temp = home.path() + QStringLiteral("/temp");
    QDir().mkpath(temp);
    EXPECT_EQ(find(temp, QStringLiteral("/unused")), temp + QStringLiteral("/KALDO Technologies/Zadazevi Rerevarazu Logs"));

    const QString local = home.path() + QStringLiteral("/local");
    QDir().mkpath(local);
    EXPECT_EQ(find(QString(), local), local + QStringLiteral("/temp/KALDO Technologies/Zadazevi Rerevarazu Logs"));
    EXPECT_TRUE(QFileInfo(local + QStringLiteral("/temp/KALDO Technologies/Zadazevi Rerevarazu Logs")).isDir());

    // Neither variable: the shared roots, with the per-user suffix. Only "c:" exists here, so
    // "c:/windows/temp" fails on its missing parent and "c:/temp" is made.
    EXPECT_EQ(find(QString(), QString()), QString());
    QDir().mkpath(home.path() + QStringLiteral("/c:"));
    EXPECT_EQ(find(QString(), QString()), QStringLiteral("c:/temp/KALDO Technologies/Zadazevi Rerevarazu Logs - tester"));
    EXPECT_FALSE(QFileInfo::exists(home.path() + QStringLiteral("/c:/windows")));
}

TEST_F(FolderRule, FailingPreferredRootFallsThroughToTheSharedRoots)
{
    QDir().mkpath(home.path() + QStringLiteral("/c:/windows/temp"));
    const QString expected = QStringLiteral("c:/windows/temp/KALDO Technologies/Zadazevi Rerevarazu Logs - tester");
    // An existing folder in which nothing can be created.
    EXPECT_EQ(find(QStringLiteral("/proc"), QString()), expected);

    // A plain file where the leaf belongs.
    const QString temp = home.path() + QStringLiteral("/temp");
    QDir().mkpath(temp + QStringLiteral("/KALDO Technologies"));
    writeFile(temp + QStringLiteral("/KALDO Technologies/Zadazevi Rerevarazu Logs"), "file");
    EXPECT_EQ(find(temp, QString()), expected);
    EXPECT_TRUE(QFileInfo(temp + QStringLiteral("/KALDO Technologies/Zadazevi Rerevarazu Logs")).isFile());

    // A TEMP whose parent is missing: nothing is created on the way.
    EXPECT_EQ(find(home.path() + QStringLiteral("/no/such"), QString()), expected);
    EXPECT_FALSE(QFileInfo::exists(home.path() + QStringLiteral("/no")));
}

TEST(EnsureDirectory, CreatesOnlyTheLastLevel)
{
    QTemporaryDir dir;
    const std::wstring leaf = (dir.path() + QStringLiteral("/leaf")).toStdWString();
    EXPECT_TRUE(ensureDirectory(leaf));
    EXPECT_TRUE(ensureDirectory(leaf));
    EXPECT_FALSE(ensureDirectory((dir.path() + QStringLiteral("/a/b")).toStdWString()));
    EXPECT_FALSE(QFileInfo::exists(dir.path() + QStringLiteral("/a")));
    writeFile(dir.path() + QStringLiteral("/file"), "x");
    EXPECT_FALSE(ensureDirectory((dir.path() + QStringLiteral("/file")).toStdWString()));
}

namespace {

class LockAcrossProcesses : public ::testing::Test
{
protected:
    // Starts the helper holding (or crashing with) the lock of `path`; waits until it holds it.
    bool startHelper(const QString &mode, const QString &path)
    {
        helper.start(binaryPath(QStringLiteral("lockhelper")), { mode, path, QStringLiteral("20000") });
        return waitUntil([&] { return helper.readAllStandardOutput().contains("locked") || helper.state() == QProcess::NotRunning; }, 10000);
    }
    int tryFromOtherProcess(const QString &path)
    {
        return runProgram(binaryPath(QStringLiteral("lockhelper")), { QStringLiteral("try"), path },
                          QProcessEnvironment::systemEnvironment()).exitCode;
    }
    void TearDown() override
    {
        helper.kill();
        helper.waitForFinished();
    }

    QTemporaryDir dir;
    QProcess helper;
};

} // namespace

TEST_F(LockAcrossProcesses, BusyLockFailsAtOnceWithTheReport)
{
    const QString path = dir.path() + QStringLiteral("/Logs\\Part.0.XML");
    ASSERT_TRUE(startHelper(QStringLiteral("hold"), path));

    // Another spelling of the same path: other letter case, forward slashes.
    const QString sameFile = (dir.path() + QStringLiteral("/logs/part.0.xml"));
    testing::internal::CaptureStderr();
    FileLock lock(sameFile.toStdString());
    EXPECT_FALSE(lock.tryLock(0));
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_EQ(report, "Failed to lock file: " + sameFile.toLower().toStdString() + "\n");

    FileLock other((dir.path() + QStringLiteral("/logs/part.1.xml")).toStdString());
    EXPECT_TRUE(other.tryLock(0)) << "another file has a lock of its own";
}

TEST_F(LockAcrossProcesses, AbandonedLockIsTakenOver)
{
    const QString path = dir.path() + QStringLiteral("/abandoned.xml");
    ASSERT_TRUE(startHelper(QStringLiteral("crash"), path));
    helper.waitForFinished();

    testing::internal::CaptureStderr();
    FileLock lock(path.toStdString());
    EXPECT_TRUE(lock.tryLock(0));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Taking in abandoned mutex\n");
    EXPECT_EQ(tryFromOtherProcess(path), 1);
}

TEST_F(LockAcrossProcesses, ReleaseAndDestructionLetOthersIn)
{
    const std::string path = (dir.path() + QStringLiteral("/held.xml")).toStdString();
    {
        FileLock lock(path);
        ASSERT_TRUE(lock.tryLock(0));
        FileLock again(path);
        EXPECT_TRUE(again.tryLock(0)) << "recursive for its owning thread";
        again.unlock();
        EXPECT_EQ(tryFromOtherProcess(QString::fromStdString(path)), 1);
        lock.unlock();
        EXPECT_EQ(tryFromOtherProcess(QString::fromStdString(path)), 0);
        EXPECT_TRUE(lock.tryLock(0));
    }
    EXPECT_EQ(tryFromOtherProcess(QString::fromStdString(path)), 0);

    // A lock opened before another process took and gave back the mutex still meets it.
    FileLock early(path);
    ASSERT_TRUE(startHelper(QStringLiteral("hold"), QString::fromStdString(path)));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(early.tryLock(0));
    testing::internal::GetCapturedStderr();
    helper.kill();
    helper.waitForFinished();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(early.tryLock(0));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Taking in abandoned mutex\n") << "killed while holding it";
}

TEST_F(LockAcrossProcesses, ObjectLeftHalfMadeIsRemadeAndRemovedOnRelease)
{
    // A creator killed between making the object and readying its mutex leaves it empty.
    const std::string path = (dir.path() + QStringLiteral("/half.xml")).toStdString();
    const std::string object = FileLockPrivate::objectNameFor(L"Global\\" + FileLockPrivate::widen(FileLockPrivate::normalize(path)));
    const int fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const int savedWait = FileLockPrivate::readyWaitMs;
    FileLockPrivate::readyWaitMs = 20;
    testing::internal::CaptureStderr();
    {
        FileLock lock(path);
        EXPECT_TRUE(lock.tryLock(0));
        EXPECT_EQ(tryFromOtherProcess(QString::fromStdString(path)), 1) << "a working lock, shared with others";
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    FileLockPrivate::readyWaitMs = savedWait;
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/dev/shm") + QString::fromStdString(object)));
}

TEST_F(LockAcrossProcesses, InstanceGuardFollowsTheUserAndTheLogFolderVariablesOnly)
{
    const QByteArray savedTemp = qgetenv("TEMP");
    qputenv("TEMP", dir.path().toUtf8());
    {
        InstanceGuard guard(currentUserName());
        ASSERT_TRUE(guard.tryAcquire());
        const struct {
            const char *name;
            QString value;
            int expected;
        } cases[] = {
            { "TMPDIR", dir.path() + QStringLiteral("/elsewhere"), 1 },
            { "TEMP", dir.path().toUpper(), 1 },
            { "TEMP", dir.path() + QStringLiteral("/other"), 0 },
            { "LOCALAPPDATA", dir.path(), 0 },
        };
        for (const auto &c : cases) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QString::fromLatin1(c.name), c.value);
            EXPECT_EQ(runProgram(binaryPath(QStringLiteral("lockhelper")), { QStringLiteral("instance") }, environment).exitCode,
                      c.expected) << c.name << "=" << c.value.toStdString();
        }
    }
    EXPECT_EQ(runProgram(binaryPath(QStringLiteral("lockhelper")), { QStringLiteral("instance") },
                         QProcessEnvironment::systemEnvironment()).exitCode, 0) << "released with the guard";
    qputenv("TEMP", savedTemp);
}
