// The shared helpers themselves: every thread-leak and descriptor check of
// the suite passes vacuously when a count is wrong, and a wait that gives up
// early or late fails tests for the wrong reason.
#include "tests/support/testkit/testkit.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

bool IsDirectory(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool Exists(const std::string& path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

// The status of a child that Spawn started, as waitpid gives it.
int ExitStatus(pid_t pid)
{
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TEST(Testkit, AStartedThreadIsCountedAndListedUntilItEnds)
{
    // The thread sanitizer's runtime starts a thread of its own with the
    // program's first; a thread started and gone before the count leaves
    // only ours to be counted.
    std::atomic<long> first(0);
    std::thread([&] { first = syscall(SYS_gettid); }).join();
    ASSERT_TRUE(testkit::WaitUntil([&] { return testkit::OwnThreadIds().count(std::to_string(first)) == 0; }));
    const int before = testkit::OwnThreads();
    const std::set<std::string> idsBefore = testkit::OwnThreadIds();
    ASSERT_GE(before, 1);
    EXPECT_EQ(static_cast<int>(idsBefore.size()), before);
    EXPECT_EQ(idsBefore.count(std::to_string(getpid())), 1u) << "the main thread is listed by its id";

    std::atomic<long> tid(0);
    std::atomic<bool> release(false);
    std::thread thread([&] {
        tid = syscall(SYS_gettid);
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    ASSERT_TRUE(testkit::WaitUntil([&] { return tid != 0; }));
    EXPECT_EQ(testkit::OwnThreads(), before + 1);
    std::set<std::string> added;
    for (const std::string& id : testkit::OwnThreadIds()) {
        if (idsBefore.count(id) == 0)
            added.insert(id);
    }
    EXPECT_EQ(added, std::set<std::string>{std::to_string(tid)});

    release = true;
    thread.join();
    EXPECT_TRUE(testkit::WaitUntil([&] { return testkit::OwnThreads() == before; }));
    EXPECT_EQ(testkit::OwnThreadIds().count(std::to_string(tid)), 0u);
}

TEST(Testkit, ADescriptorIsCountedUntilItCloses)
{
    // Every open descriptor, found without /proc (none lies as high as the
    // scan's cap in a test program).
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlim_t highest = std::min<rlim_t>(limit.rlim_cur, 1 << 16);
    const auto openOnes = [&] {
        int open = 0;
        for (rlim_t fd = 0; fd < highest; ++fd)
            open += fcntl(static_cast<int>(fd), F_GETFD) != -1 ? 1 : 0;
        return open;
    };
    const int before = testkit::OwnDescriptors();
    EXPECT_EQ(before, openOnes());

    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(testkit::OwnDescriptors(), before + 1);
    close(fd);
    EXPECT_EQ(testkit::OwnDescriptors(), before);
}

TEST(Testkit, WaitUntilPollsUntilTheConditionHoldsOrTheTimeIsUp)
{
    // True as soon as the condition holds, however long it may wait, with
    // the toolkit's turn between each two polls.
    int polls = 0;
    int turns = 0;
    EXPECT_TRUE(testkit::WaitUntil([&] { return ++polls == 3; }, std::chrono::hours(1), [&] { ++turns; }));
    EXPECT_EQ(polls, 3);
    EXPECT_EQ(turns, 2);

    // False once the time is up, and not before.
    polls = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(testkit::WaitUntil([&] { return ++polls < 0; }, std::chrono::milliseconds(50)));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    EXPECT_GE(polls, 1);

    // A condition met by the last turn, which ends past the deadline, is
    // still polled once more.
    bool met = false;
    EXPECT_TRUE(testkit::WaitUntil([&] { return met; }, std::chrono::milliseconds(1), [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        met = true;
    }));
}

TEST(Testkit, FilesAreReadAndWrittenByteForByte)
{
    testkit::TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string path = dir.path() + "/bytes";
    const std::string bytes("a\0b\n\0\xff\r\n", 8);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);

    std::string content = "left over";
    EXPECT_TRUE(testkit::ReadFile(path, &content));
    EXPECT_EQ(content, bytes);
    EXPECT_EQ(testkit::ReadFile(path), bytes);

    // A shorter content replaces the whole file.
    EXPECT_TRUE(testkit::WriteFile(path, std::string("\0x", 2)));
    EXPECT_EQ(testkit::ReadFile(path), std::string("\0x", 2));

    const std::string missing = dir.path() + "/missing";
    EXPECT_FALSE(testkit::ReadFile(missing, &content));
    EXPECT_EQ(testkit::ReadFile(missing), "");
    EXPECT_FALSE(testkit::WriteFile(missing + "/file", "x"));
    EXPECT_FALSE(Exists(missing));
}

TEST(Testkit, TempDirIsMadeUnderTmpdirAndRemovedWithItsContent)
{
    testkit::TempDir other;
    ASSERT_TRUE(testkit::WriteFile(other.path() + "/kept", "x"));
    std::string path;
    std::string nested;
    {
        testkit::TempDir dir;
        path = dir.path();
        ASSERT_TRUE(IsDirectory(path)) << path;
        EXPECT_NE(other.path(), path);

        // Made under $TMPDIR when it is set.
        const char* old = getenv("TMPDIR");
        const std::string saved = old != nullptr ? old : "";
        setenv("TMPDIR", path.c_str(), 1);
        {
            testkit::TempDir inner;
            EXPECT_EQ(inner.path().rfind(path + "/", 0), 0u) << inner.path();
            EXPECT_TRUE(IsDirectory(inner.path()));
            nested = inner.path();
        }
        if (old != nullptr)
            setenv("TMPDIR", saved.c_str(), 1);
        else
            unsetenv("TMPDIR");
        EXPECT_FALSE(Exists(nested));

        ASSERT_EQ(mkdir((path + "/a").c_str(), 0700), 0);
        ASSERT_EQ(mkdir((path + "/a/b").c_str(), 0700), 0);
        ASSERT_TRUE(testkit::WriteFile(path + "/a/b/file", "x"));
        ASSERT_EQ(symlink(other.path().c_str(), (path + "/a/other").c_str()), 0);
    }
    EXPECT_FALSE(Exists(path)) << path;
    EXPECT_EQ(testkit::ReadFile(other.path() + "/kept"), "x") << "a link is removed, not what it names";
}

TEST(Testkit, SpawnStartsAProgramWithItsOutputInAFile)
{
    testkit::TempDir dir;
    const std::string out = dir.path() + "/out";
    ASSERT_TRUE(testkit::WriteFile(out, "an older and longer content"));
    EXPECT_EQ(ExitStatus(testkit::Spawn({"sh", "-c", "printf out; printf err >&2; exit 3"}, out)), 3);
    EXPECT_EQ(testkit::ReadFile(out), "outerr");

    // In this process's environment, or in the one given alone.
    setenv("VD_TESTKIT_SEEN", "inherited", 1);
    EXPECT_EQ(ExitStatus(testkit::Spawn({"sh", "-c", "printf %s \"$VD_TESTKIT_SEEN\""}, out)), 0);
    EXPECT_EQ(testkit::ReadFile(out), "inherited");
    unsetenv("VD_TESTKIT_SEEN");
    EXPECT_EQ(ExitStatus(testkit::Spawn({"env"}, out, {"VD_TESTKIT_ONLY=given"})), 0);
    EXPECT_EQ(testkit::ReadFile(out), "VD_TESTKIT_ONLY=given\n");

    // Discarded by default.
    EXPECT_EQ(ExitStatus(testkit::Spawn({"true"})), 0);
    EXPECT_EQ(testkit::Spawn({dir.path() + "/no-such-program"}, out), -1);
    EXPECT_EQ(testkit::Spawn({}), -1);
}

TEST(Testkit, RunCapturedGivesTheOutputAndTheExitStatus)
{
    std::string output = "left over";
    // Standard error goes to this program's unless it is asked for.
    EXPECT_EQ(testkit::RunCaptured({"sh", "-c", "printf 'a\\000b'; echo '(standard error, not captured)' >&2; exit 4"},
                                   &output),
              4);
    EXPECT_EQ(output, std::string("a\0b", 3));
    EXPECT_EQ(testkit::RunCaptured({"sh", "-c", "printf out; printf err >&2"}, &output, true), 0);
    EXPECT_EQ(output, "outerr");

    // More than a pipe holds while the child still writes.
    EXPECT_EQ(testkit::RunCaptured({"head", "-c", "300000", "/dev/zero"}, &output), 0);
    EXPECT_EQ(output, std::string(300000, '\0'));

    EXPECT_EQ(testkit::RunCaptured({"sh", "-c", "kill -TERM $$"}, &output), -1);
    EXPECT_EQ(testkit::RunCaptured({"/nonexistent/program"}, &output), -1);
    EXPECT_EQ(output, "");
}

}  // namespace
