// Named and file locks across threads and across processes, with the
// messages they write to standard error.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "FakeFixture.h"
#include "pcscread/SystemUtils_internal.h"

using namespace pcscread;
using testutil::WaitUntil;

namespace {

// One logged line as it reaches standard error: the frame, the message
// (which ends with its own line feed) and the logger's line feed.
std::string Line(const std::string& message) { return "[SystemUtils]pcscread" + message + "\n"; }

bool Contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

std::string Unique(const std::string& what) {
    return "vd-pcscread-test-" + std::to_string(getpid()) + "-" + what;
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// True while a flock request of this process waits (the kernel lists it
// in /proc/locks as "-> FLOCK ... <pid> ...").
bool FlockWaitOfThisProcess() {
    std::ifstream locks("/proc/locks");
    const std::string pid = " " + std::to_string(getpid()) + " ";
    std::string line;
    while (std::getline(locks, line)) {
        if (Contains(line, "-> FLOCK") && Contains(line, pid)) return true;
    }
    return false;
}

// A child process that holds an exclusive flock on a file until told to
// let go. The parent talks to it through two pipes.
class LockHolder {
public:
    explicit LockHolder(const std::string& path) {
        int up[2], down[2];
        if (pipe(up) != 0 || pipe(down) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(up[0]);
            close(down[1]);
            const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0666);
            const char ok = (fd >= 0 && flock(fd, LOCK_EX) == 0) ? 'L' : 'E';
            if (write(up[1], &ok, 1) != 1) _exit(3);
            char c;
            if (read(down[0], &c, 1) != 1) _exit(4);
            _exit(0);  // the lock goes with the process
        }
        close(up[1]);
        close(down[0]);
        toChild_ = down[1];
        char c = 0;
        locked_ = read(up[0], &c, 1) == 1 && c == 'L';
        close(up[0]);
    }
    ~LockHolder() { Release(); }
    bool Locked() const { return locked_; }
    void Release() {
        if (pid_ <= 0) return;
        const char c = 'x';
        if (write(toChild_, &c, 1) != 1) kill(pid_, SIGKILL);
        close(toChild_);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    bool locked_ = false;
};

// ---------------------------------------------------------------------------
// File locks
// ---------------------------------------------------------------------------

struct ParamCase {
    const char* label;
    bool nullPath;
    std::string path;
    bool nullFd;
    bool nullErr;
    std::string expected;  // the whole standard-error output
};

class FileLockParameters : public ::testing::TestWithParam<ParamCase> {};

TEST_P(FileLockParameters, RefusedWithMessagesAndNothingOpened) {
    const ParamCase& c = GetParam();
    const int fds = testutil::OwnDescriptors();
    int fd = -7, err = -7;
    ::testing::internal::CaptureStderr();
    const int rc = AcquireFileLock(c.nullPath ? nullptr : c.path.c_str(), c.nullFd ? nullptr : &fd, 100,
                                   c.nullErr ? nullptr : &err);
    const std::string out = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(LOCK_ERR_BAD_PARAMETER, rc);
    EXPECT_EQ(c.expected, out);
    EXPECT_EQ(-7, fd);
    if (!c.nullErr) {
        EXPECT_EQ(0, err);
    }
    if (!c.path.empty()) {
        EXPECT_FALSE(Exists(c.path));
    }
    EXPECT_EQ(fds, testutil::OwnDescriptors());
}

const std::string kNeverCreated = "/tmp/vd-pcscread-never-created.lfsl";

INSTANTIATE_TEST_SUITE_P(
    Table, FileLockParameters,
    ::testing::Values(
        ParamCase{"NullPath", true, "", false, false,
                  Line("[AcquireFileLock].[ENTER]\n") +
                      Line("[AcquireFileLock].[ERROR]. At least one of passed parameters is NULL\n") +
                      Line("[AcquireFileLock][EXIT]\n")},
        ParamCase{"NullFd", false, kNeverCreated, true, false,
                  Line("[AcquireFileLock]-" + kNeverCreated + ".[ENTER]\n") +
                      Line("[AcquireFileLock].[ERROR]. At least one of passed parameters is NULL\n") +
                      Line("[AcquireFileLock][EXIT]\n")},
        ParamCase{"NullError", false, kNeverCreated, false, true,
                  Line("[AcquireFileLock]-" + kNeverCreated + ".[ENTER]\n") +
                      Line("[AcquireFileLock].[ERROR]. At least one of passed parameters is NULL\n") +
                      Line("[AcquireFileLock][EXIT]\n")},
        ParamCase{"EmptyPath", false, "", false, false,
                  Line("[AcquireFileLock]-.[ENTER]\n") + Line("[AcquireFileLock]. [ERROR].Lock name can not be empty.\n") +
                      Line("[AcquireFileLock][EXIT]\n")}),
    [](const ::testing::TestParamInfo<ParamCase>& i) { return std::string(i.param.label); });

enum class LockPathKind { kMissingDirectory, kSymbolicLink, kHardLink, kFifo };

struct OpenFailureCase {
    const char* label;
    LockPathKind kind;
    int expectedErrno;
};

class FileLockOpenFailures : public ::testing::TestWithParam<OpenFailureCase> {};

// A lock file that is not a plain file of its own is refused like one that
// cannot be opened, and the file it leads to is left as it was.
TEST_P(FileLockOpenFailures, SystemErrorReported) {
    const OpenFailureCase& c = GetParam();
    std::string path = "/tmp/" + Unique("odd") + ".lfsl";
    const std::string target = "/tmp/" + Unique("link-target");
    unlink(path.c_str());
    unlink(target.c_str());
    switch (c.kind) {
        case LockPathKind::kMissingDirectory:
            path = "/tmp/" + Unique("no-such-dir") + "/lock.lfsl";
            break;
        case LockPathKind::kSymbolicLink:
            ASSERT_EQ(0, symlink(target.c_str(), path.c_str()));
            break;
        case LockPathKind::kHardLink: {
            const int t = open(target.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
            ASSERT_GE(t, 0);
            ASSERT_EQ(0, fchmod(t, 0600));
            close(t);
            ASSERT_EQ(0, link(target.c_str(), path.c_str()));
            break;
        }
        case LockPathKind::kFifo:
            ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
            break;
    }
    int fd = -7, err = -7;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(LOCK_ERR_SYSTEM, AcquireFileLock(path.c_str(), &fd, 100, &err));
    const std::string out = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(c.expectedErrno, err);
    EXPECT_EQ(-7, fd);
    EXPECT_EQ(Line("[AcquireFileLock]-" + path + ".[ENTER]\n") +
                  Line("[AcquireFileLock]. [ERROR].Can not open lock file - open(...) failed. System error " +
                       std::to_string(c.expectedErrno) + "\n") +
                  Line("[AcquireFileLock][EXIT]\n"),
              out);
    struct stat st;
    if (c.kind == LockPathKind::kHardLink) {
        ASSERT_EQ(0, stat(target.c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 07777) << "the linked file's mode was changed";
    } else {
        // A link is never followed: its target is not created.
        EXPECT_FALSE(Exists(target));
    }
    if (c.kind == LockPathKind::kFifo) {
        ASSERT_EQ(0, lstat(path.c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 07777);
    }
    unlink(path.c_str());
    unlink(target.c_str());
}

INSTANTIATE_TEST_SUITE_P(Table, FileLockOpenFailures,
                         ::testing::Values(OpenFailureCase{"MissingDirectory", LockPathKind::kMissingDirectory, ENOENT},
                                           OpenFailureCase{"SymbolicLink", LockPathKind::kSymbolicLink, ELOOP},
                                           OpenFailureCase{"HardLink", LockPathKind::kHardLink, EMLINK},
                                           OpenFailureCase{"Fifo", LockPathKind::kFifo, EINVAL}),
                         [](const ::testing::TestParamInfo<OpenFailureCase>& i) {
                             return std::string(i.param.label);
                         });

struct ModeCase {
    const char* label;
    int existingMode;  // -1: no file before the lock
    mode_t expectedMode;
};

class LockFileMode : public ::testing::TestWithParam<ModeCase> {};

// Only a lock file that the lock creates is made world-writable, whatever
// the creation mask; an existing one keeps its mode.
TEST_P(LockFileMode, OnlyACreatedFileIsMadeWorldWritable) {
    const ModeCase& c = GetParam();
    const std::string path = "/tmp/" + Unique("mode") + ".lfsl";
    unlink(path.c_str());
    if (c.existingMode >= 0) {
        const int t = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(t, 0);
        ASSERT_EQ(0, fchmod(t, static_cast<mode_t>(c.existingMode)));
        close(t);
    }
    const mode_t old = umask(077);
    int fd = -1, err = -1;
    ::testing::internal::CaptureStderr();
    const int rc = AcquireFileLock(path.c_str(), &fd, 100, &err);
    const std::string out = ::testing::internal::GetCapturedStderr();
    const mode_t during = umask(old);
    ASSERT_EQ(0, rc);
    EXPECT_EQ(077u, during);
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(c.expectedMode, st.st_mode & 07777);
    EXPECT_EQ(Line("[AcquireFileLock]-" + path + ".[ENTER]\n") + Line("[AcquireFileLock][EXIT]\n"), out);
    // The descriptor does not leak into programs this process starts, and
    // it blocks as usual.
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_FALSE(fcntl(fd, F_GETFL) & O_NONBLOCK);

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(0, ReleaseFileLock(fd, path.c_str(), &err));
    EXPECT_EQ(Line("[ReleaseFileLock]-" + path + ".[ENTER]\n") + Line("[ReleaseFileLock][EXIT]\n"),
              ::testing::internal::GetCapturedStderr());
    EXPECT_TRUE(Exists(path));  // the file stays
    unlink(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Table, LockFileMode,
                         ::testing::Values(ModeCase{"Created", -1, 0666}, ModeCase{"Existing0644", 0644, 0644}),
                         [](const ::testing::TestParamInfo<ModeCase>& i) { return std::string(i.param.label); });

struct ReleaseCase {
    const char* label;
    bool nullPath;
    bool emptyPath;
    bool nullErr;
    int fd;
    int result;
    std::string message;
};

class FileLockRelease : public ::testing::TestWithParam<ReleaseCase> {};

TEST_P(FileLockRelease, Failures) {
    const ReleaseCase& c = GetParam();
    const std::string path = "/tmp/x.lfsl";
    int err = 0;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(c.result, ReleaseFileLock(c.fd, c.nullPath ? nullptr : (c.emptyPath ? "" : path.c_str()),
                                        c.nullErr ? nullptr : &err));
    const std::string out = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(Contains(out, Line(c.message))) << out;
    if (c.result == LOCK_ERR_SYSTEM) {
        EXPECT_EQ(EBADF, err);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FileLockRelease,
    ::testing::Values(
        ReleaseCase{"NullPath", true, false, false, 99, LOCK_ERR_BAD_PARAMETER,
                    "[ReleaseFileLock]. [ERROR].At least one of passed parameters is NULL\n"},
        ReleaseCase{"NullError", false, false, true, 99, LOCK_ERR_BAD_PARAMETER,
                    "[ReleaseFileLock]. [ERROR].At least one of passed parameters is NULL\n"},
        ReleaseCase{"EmptyPath", false, true, false, 99, LOCK_ERR_BAD_PARAMETER,
                    "[ReleaseFileLock]. [ERROR].Lock name can not be empty.\n"},
        ReleaseCase{"BadDescriptor", false, false, false, 987654, LOCK_ERR_SYSTEM,
                    "[ReleaseFileLock]. [ERROR].Can not close lock file ( release lock ). System error 9 \n"}),
    [](const ::testing::TestParamInfo<ReleaseCase>& i) { return std::string(i.param.label); });

struct BusyCase {
    const char* label;
    int32_t timeoutMs;
};

class FileLockBusy : public ::testing::TestWithParam<BusyCase> {};

TEST_P(FileLockBusy, HeldByAnotherProcessPastTheTimeout) {
    const BusyCase& c = GetParam();
    const std::string path = "/tmp/" + Unique("busy") + ".lfsl";
    LockHolder holder(path);
    ASSERT_TRUE(holder.Locked());
    const int fds = testutil::OwnDescriptors();
    const int threads = testutil::OwnThreads();
    int fd = -7, err = -7;
    const auto start = std::chrono::steady_clock::now();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(LOCK_ERR_TIMEOUT, AcquireFileLock(path.c_str(), &fd, c.timeoutMs, &err));
    const std::string out = ::testing::internal::GetCapturedStderr();
    // Never before the time-out has passed.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(c.timeoutMs));
    EXPECT_EQ(0, err);
    EXPECT_EQ(-7, fd);
    EXPECT_EQ(fds, testutil::OwnDescriptors());          // the descriptor was closed
    EXPECT_TRUE(testutil::ThreadsSettleAt(threads));  // the lock thread is gone
    EXPECT_EQ(Line("[AcquireFileLock]-" + path + ".[ENTER]\n") +
                  Line("[AcquireFileLock].[WARNING]. Can not lock now. Creating lock thread.\n") +
                  Line("[AcquireFileLock]. [ERROR].Can not lock file - flock(...) failed. System error 0\n") +
                  Line("[AcquireFileLock][EXIT]\n"),
              out);
    holder.Release();
    unlink(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Table, FileLockBusy,
                         ::testing::Values(BusyCase{"ZeroStillPollsOnce", 0}, BusyCase{"Negative", -5},
                                           BusyCase{"ShortWait", 150}),
                         [](const ::testing::TestParamInfo<BusyCase>& i) { return std::string(i.param.label); });

TEST(FileLock, ReleasedByTheOtherProcessWithinTheTimeout) {
    const std::string path = "/tmp/" + Unique("handover") + ".lfsl";
    LockHolder holder(path);
    ASSERT_TRUE(holder.Locked());
    // Once the lock thread is waiting in flock, the holder lets go.
    std::atomic<bool> released{false};
    std::thread helper([&] {
        WaitUntil([] { return FlockWaitOfThisProcess(); });
        holder.Release();
        released = true;
    });
    int fd = -1, err = -1;
    ::testing::internal::CaptureStderr();
    const int rc = AcquireFileLock(path.c_str(), &fd, 20000, &err);
    const std::string out = ::testing::internal::GetCapturedStderr();
    helper.join();
    EXPECT_TRUE(released.load());
    ASSERT_EQ(0, rc);
    EXPECT_EQ(0, err);
    EXPECT_GE(fd, 0);
    EXPECT_TRUE(Contains(out, Line("[AcquireFileLock].[WARNING]. Can not lock now. Creating lock thread.\n")));
    EXPECT_TRUE(Contains(out, Line("[AcquireFileLock][EXIT]\n")));
    EXPECT_FALSE(Contains(out, "ERROR"));
    // It really holds the lock now.
    const int probe = open(path.c_str(), O_RDWR);
    EXPECT_NE(0, flock(probe, LOCK_EX | LOCK_NB));
    close(probe);
    EXPECT_EQ(0, ReleaseFileLock(fd, path.c_str(), &err));
    unlink(path.c_str());
}

// ---------------------------------------------------------------------------
// Named locks
// ---------------------------------------------------------------------------

TEST(NamedLock, LockFileStaysDirectlyInTmp) {
    struct Case {
        std::string name;
        std::string path;
    } cases[] = {{"Reader A", "/tmp/Reader A.lfsl"},
                 {"../etc/passwd", "/tmp/.._etc_passwd.lfsl"},
                 {"a/b/c", "/tmp/a_b_c.lfsl"},
                 {"/", "/tmp/_.lfsl"}};
    for (const Case& c : cases) EXPECT_EQ(c.path, LockFilePath(c.name));

    const std::string name = Unique("dir/with/slashes");
    int fd = -1, err = -1;
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(0, AcquireNamedLock(name, 100, &fd, &err));
    EXPECT_EQ(0, ReleaseNamedLock(name, fd, &err));
    ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(Exists(LockFilePath(name)));
    unlink(LockFilePath(name).c_str());
}

TEST(NamedLock, SingleAcquireAndReleaseMessages) {
    const std::string name = Unique("single");
    const std::string path = LockFilePath(name);
    int fd = -1, err = -1;
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(0, AcquireNamedLock(name, 1000, &fd, &err));
    EXPECT_EQ(1, NamedLockUsage(name));
    EXPECT_EQ(0, ReleaseNamedLock(name, fd, &err));
    const std::string out = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(Line("[AcquireNamedLock]-" + name + "[ENTER]\n") + Line("[AcquireFileLock]-" + path + ".[ENTER]\n") +
                  Line("[AcquireFileLock][EXIT]\n") + Line("[AcquireNamedLock]-" + name + "[EXIT]\n") +
                  Line("[ReleaseNamedLock]-" + name + "[ENTER]\n") + Line("[ReleaseFileLock]-" + path + ".[ENTER]\n") +
                  Line("[ReleaseFileLock][EXIT]\n") + Line("[ReleaseNamedLock]-" + name + "[EXIT]\n"),
              out);
    EXPECT_EQ(0, NamedLockUsage(name));
    EXPECT_EQ(0u, NamedLockEntryCount());
    unlink(path.c_str());
}

TEST(NamedLock, SecondThreadWaitsAndTakesOver) {
    const std::string name = Unique("handover");
    const int me = GetThreadId();
    int fd = -1, err = -1;
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(0, AcquireNamedLock(name, 5000, &fd, &err));

    int other = 0, otherRc = 1, otherFd = -1, otherErr = -1;
    std::thread second([&] {
        other = GetThreadId();
        otherRc = AcquireNamedLock(name, 20000, &otherFd, &otherErr);
        if (otherRc == 0) ReleaseNamedLock(name, otherFd, &otherErr);
    });
    // The second thread is counted on the name, waiting for its mutex.
    ASSERT_TRUE(WaitUntil([&] { return NamedLockUsage(name) == 2; }));
    EXPECT_EQ(0, ReleaseNamedLock(name, fd, &err));
    second.join();
    const std::string out = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(0, otherRc);
    EXPECT_EQ(0, otherErr);
    const std::string id = std::to_string(me), oid = std::to_string(other);
    EXPECT_TRUE(Contains(out, Line("LockCard(). Other thread " + id + " owns mutex already for GIVEN lock " + name +
                                   ". Current thread is " + oid + " , mutex owner thread is " + id + "\n")))
        << out;
    EXPECT_TRUE(Contains(out, Line("LockCard(). Released mutex for GIVEN lock " + name +
                                   " but mutex still in use by other threads. Current thread is " + id + ".\n")))
        << out;
    EXPECT_TRUE(Contains(out, Line("LockCard(). Got mutex for GIVEN lock " + name + ". Current thread is " + oid +
                                   ". Lock result is 0\n")))
        << out;
    // The last release removed the entry; the next acquirer creates it anew.
    EXPECT_EQ(0u, NamedLockEntryCount());

    std::thread third([&] {
        int f = -1, e = -1;
        ASSERT_EQ(0, AcquireNamedLock(name, 1000, &f, &e));
        EXPECT_EQ(1, NamedLockUsage(name));
        ReleaseNamedLock(name, f, &e);
    });
    ::testing::internal::CaptureStderr();
    third.join();
    EXPECT_FALSE(Contains(::testing::internal::GetCapturedStderr(), "Other thread"));
    unlink(LockFilePath(name).c_str());
}

TEST(NamedLock, MutexTimeoutLeavesTheHolderAlone) {
    const std::string name = Unique("mutex-timeout");
    int fd = -1, err = -1;
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(0, AcquireNamedLock(name, 1000, &fd, &err));
    int rc = 0, otherFd = -7, otherErr = -1;
    std::thread second([&] { rc = AcquireNamedLock(name, 50, &otherFd, &otherErr); });
    second.join();
    const std::string out = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(LOCK_ERR_SYSTEM, rc);
    EXPECT_EQ(ETIMEDOUT, otherErr);
    EXPECT_EQ(-7, otherFd);
    EXPECT_TRUE(Contains(out, Line("[AcquireNamedLock].[ERROR].Can not lock mutex - timeout\n"))) << out;
    EXPECT_EQ(1, NamedLockUsage(name));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(0, ReleaseNamedLock(name, fd, &err));
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(0, NamedLockUsage(name));
    unlink(LockFilePath(name).c_str());
}

TEST(NamedLock, SameThreadTwiceGetsTheMutexButNotTheFile) {
    const std::string name = Unique("twice");
    const int me = GetThreadId();
    int fd = -1, err = -1, fd2 = -7, err2 = -1;
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(0, AcquireNamedLock(name, 100, &fd, &err));
    EXPECT_EQ(LOCK_ERR_TIMEOUT, AcquireNamedLock(name, 60, &fd2, &err2));
    const std::string out = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(0, err2);
    EXPECT_EQ(-7, fd2);
    EXPECT_EQ(1, NamedLockUsage(name));
    EXPECT_TRUE(Contains(out, Line("LockCard(). [WARNING. ]Released mutex for GIVEN lock " + name +
                                   " but mutex still in use by other threads. Current thread is " +
                                   std::to_string(me) + ".\n")))
        << out;
    // The first hold is intact: another thread still has to wait.
    int rc = 0, e = 0, f = -7;
    ::testing::internal::CaptureStderr();
    std::thread([&] { rc = AcquireNamedLock(name, 30, &f, &e); }).join();
    EXPECT_EQ(0, ReleaseNamedLock(name, fd, &err));
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(LOCK_ERR_SYSTEM, rc);
    EXPECT_EQ(0u, NamedLockEntryCount());
    unlink(LockFilePath(name).c_str());
}

TEST(NamedLock, AnotherProcessHoldingTheFileTimesOut) {
    const std::string name = Unique("other-process");
    LockHolder holder(LockFilePath(name));
    ASSERT_TRUE(holder.Locked());
    int fd = -7, err = -1;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(LOCK_ERR_TIMEOUT, AcquireNamedLock(name, 80, &fd, &err));
    const std::string out = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(0, err);
    EXPECT_EQ(-7, fd);
    // Nothing is left held: the entry is gone and the mutex free.
    EXPECT_EQ(0u, NamedLockEntryCount());
    EXPECT_TRUE(Contains(out, Line("[AcquireNamedLock]-" + name + "[EXIT]\n")));
    holder.Release();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(0, AcquireNamedLock(name, 1000, &fd, &err));
    EXPECT_EQ(0, ReleaseNamedLock(name, fd, &err));
    ::testing::internal::GetCapturedStderr();
    unlink(LockFilePath(name).c_str());
}

TEST(NamedLock, MissingOutputsAreRefused) {
    int fd = -7, err = -7;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(LOCK_ERR_BAD_PARAMETER, AcquireNamedLock(std::string("x"), 10, nullptr, &err));
    EXPECT_EQ(LOCK_ERR_BAD_PARAMETER, AcquireNamedLock(std::string("x"), 10, &fd, nullptr));
    EXPECT_EQ(LOCK_ERR_BAD_PARAMETER, AcquireNamedLock(static_cast<const char*>(nullptr), 10, &fd, &err));
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(-7, fd);
    EXPECT_EQ(0u, NamedLockEntryCount());
}

TEST(Logger, LongMessagesAreFramedAndBounded) {
    const std::string longArg(6000, 'a');
    ::testing::internal::CaptureStderr();
    LogMessage("[%s]-%s[ENTER]\n", "X", longArg.c_str());
    const std::string longFormat(300, 'f');
    LogMessage("%s", longFormat.c_str());
    // A format too long for the frame's buffer keeps its conversions.
    const std::string longConversion = std::string(300, 'g') + "%d";
    LogMessage(longConversion.c_str(), 42);
    const std::string out = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(Contains(out, "\n[SystemUtils]pcscread" + std::string(300, 'g') + "42\n")) << out;
    const size_t first = out.find('\n');
    ASSERT_NE(std::string::npos, first);
    EXPECT_EQ(4095u, first);  // cut to the 4096-byte buffer
    EXPECT_EQ(0u, out.find("[SystemUtils]pcscread[X]-aaa"));
    EXPECT_TRUE(Contains(out, "\n[SystemUtils]pcscread" + longFormat + "\n"));
}

}  // namespace
