#include "pcscread/SystemUtils_internal.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>
#include <new>

namespace pcscread {

namespace {

const char kComponent[] = "SystemUtils";
const char kAcquireFile[] = "AcquireFileLock";
const char kReleaseFile[] = "ReleaseFileLock";
const char kAcquireNamed[] = "AcquireNamedLock";
const char kReleaseNamed[] = "ReleaseNamedLock";

using Clock = std::chrono::steady_clock;

// Longest wait honoured; keeps deadline arithmetic far from overflow
// (about 31 years).
constexpr int64_t kMaxTimeoutMs = 1000000000000LL;
// How often the wait for a busy lock file looks whether its locking thread
// has got the lock.
constexpr useconds_t kFileLockPollUs = 100;

Clock::time_point DeadlineAfter(int64_t ms) {
    ms = std::clamp<int64_t>(ms, 0, kMaxTimeoutMs);
    return Clock::now() + std::chrono::milliseconds(ms);
}

// A recursive lock for the threads of this process, waited for with a
// deadline on the monotonic clock. Owners are system thread ids.
class RecursiveTimedMutex {
public:
    // 0, or ETIMEDOUT at the deadline.
    int LockUntil(Clock::time_point deadline, int tid) {
        std::unique_lock<std::mutex> g(m_);
        if (!cv_.wait_until(g, deadline, [&] { return depth_ == 0 || owner_ == tid; })) return ETIMEDOUT;
        owner_ = tid;
        ++depth_;
        return 0;
    }
    // 0, or EPERM when the caller does not hold it.
    int Unlock(int tid) {
        std::unique_lock<std::mutex> g(m_);
        if (depth_ == 0 || owner_ != tid) return EPERM;
        if (--depth_ == 0) {
            owner_ = 0;
            g.unlock();
            cv_.notify_one();
        }
        return 0;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    int owner_ = 0;
    int depth_ = 0;
};

struct NamedLockEntry {
    int usageCount = 0;
    int creatorThreadId = 0;
    int ownerThreadId = 0;
    RecursiveTimedMutex mutex;
};

std::mutex& GivenLockExclusiveAccessMutex() {
    static std::mutex m;
    return m;
}

std::map<std::string, NamedLockEntry*>& GivenLockUsage() {
    static std::map<std::string, NamedLockEntry*> usage;
    return usage;
}

// Drops one use of the entry of name (the map mutex is held); removes it at 0.
// Returns whether it is still in use.
bool DropUse(const std::string& name, NamedLockEntry* entry) {
    if (--entry->usageCount > 0) return true;
    GivenLockUsage().erase(name);
    delete entry;
    return false;
}

// Opens the lock file at path; -1 with *err set on failure. Only a file
// that this call creates is made 0666 (whatever the creation mask); an
// existing lock file keeps its mode. Anything but a plain file with a
// single name is refused, so that the lock never opens, and never changes
// the mode of, another file: no symbolic link is followed, and a hard link
// or a device, FIFO or socket under the lock file's name fails. The
// descriptor does not leak into child programs.
int OpenLockFile(const char* path, int* err) {
    // Non-blocking only while it is opened: a device must not hold the
    // open up before it is refused.
    const int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    // A file removed between the two opens is created on the next round.
    for (int round = 0; round < 3; ++round) {
        int d = open(path, flags | O_CREAT | O_EXCL, 0666);
        if (d >= 0) {
            (void)fchmod(d, 0666);
            (void)fcntl(d, F_SETFL, fcntl(d, F_GETFL) & ~O_NONBLOCK);
            return d;
        }
        if (errno != EEXIST) {
            *err = errno;
            return -1;
        }
        d = open(path, flags);
        if (d < 0) {
            if (errno == ENOENT) continue;
            *err = errno;
            return -1;
        }
        struct stat st;
        int refused = 0;
        if (fstat(d, &st) != 0)
            refused = errno;
        else if (!S_ISREG(st.st_mode))
            refused = EINVAL;
        else if (st.st_nlink != 1)
            refused = EMLINK;
        if (refused != 0) {
            close(d);
            *err = refused;
            return -1;
        }
        (void)fcntl(d, F_SETFL, fcntl(d, F_GETFL) & ~O_NONBLOCK);
        return d;
    }
    *err = ENOENT;
    return -1;
}

// Writes a lock function's exit line when the function returns, whichever
// return it takes: "[function][EXIT]", or "[function]-name[EXIT]" for the
// named locks. It is made after the enter line, so the exit line is always
// the function's last.
class ExitTrace {
public:
    explicit ExitTrace(const char* function, const char* name = nullptr) : function_(function), name_(name) {}
    ~ExitTrace() {
        if (name_ != nullptr)
            LogMessage("[%s]-%s[EXIT]\n", function_, name_);
        else
            LogMessage("[%s][EXIT]\n", function_);
    }
    ExitTrace(const ExitTrace&) = delete;
    ExitTrace& operator=(const ExitTrace&) = delete;

private:
    const char* function_;
    const char* name_;
};

}  // namespace

struct FileLockWait {
    int fd;
    int error;
    std::atomic<unsigned char> done;
};

void LogMessage(const char* format, ...) {
    char fmt[256];
    char out[4096];
    va_list ap;
    va_start(ap, format);
    const int n = std::snprintf(fmt, sizeof fmt, "[%s]pcscread%s", kComponent, format);
    if (n < 0 || static_cast<size_t>(n) >= sizeof fmt) {
        // A cut format could end inside a conversion; format the message
        // on its own instead and put the frame around it.
        char body[4096];
        std::vsnprintf(body, sizeof body, format, ap);
        std::snprintf(out, sizeof out, "[%s]pcscread%.4000s", kComponent, body);
    } else {
        std::vsnprintf(out, sizeof out, fmt, ap);
    }
    va_end(ap);
    std::fprintf(stderr, "%s\n", out);
}

int GetThreadId() { return static_cast<int>(syscall(SYS_gettid)); }

std::string LockFilePath(const std::string& name) {
    std::string safe = name;
    std::replace(safe.begin(), safe.end(), '/', '_');
    return "/tmp/" + safe + ".lfsl";
}

void* FileLockThreadProc(void* arg) {
    FileLockWait* wait = static_cast<FileLockWait*>(arg);
    int old = 0;
    // flock is no cancellation point: only an asynchronous cancel ends the
    // blocking call. The waiting side joins this thread before the record
    // or the descriptor go away.
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, &old);
    const int rc = flock(wait->fd, LOCK_EX);
    const int err = rc == 0 ? 0 : errno;
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &old);
    wait->error = err;
    wait->done.store(1, std::memory_order_release);
    return nullptr;
}

int AcquireFileLock(const char* path, int* fd, int32_t timeoutMs, int* sysErr) {
    if (path != nullptr)
        LogMessage("[%s]-%s.[ENTER]\n", kAcquireFile, path);
    else
        LogMessage("[%s].[ENTER]\n", kAcquireFile);
    const ExitTrace exitTrace(kAcquireFile);
    if (sysErr != nullptr) *sysErr = 0;
    if (path == nullptr || fd == nullptr || sysErr == nullptr) {
        LogMessage("[%s].[ERROR]. At least one of passed parameters is NULL\n", kAcquireFile);
        return LOCK_ERR_BAD_PARAMETER;
    }
    if (path[0] == '\0') {
        LogMessage("[%s]. [ERROR].Lock name can not be empty.\n", kAcquireFile);
        return LOCK_ERR_BAD_PARAMETER;
    }

    // The mode is set on the descriptor so that the process-wide creation
    // mask is never touched.
    const int d = OpenLockFile(path, sysErr);
    if (d < 0) {
        LogMessage("[%s]. [ERROR].Can not open lock file - open(...) failed. System error %d\n", kAcquireFile,
                   *sysErr);
        return LOCK_ERR_SYSTEM;
    }
    if (flock(d, LOCK_EX | LOCK_NB) == 0) {
        *fd = d;
        return 0;
    }

    LogMessage("[%s].[WARNING]. Can not lock now. Creating lock thread.\n", kAcquireFile);
    int result = 0;
    FileLockWait wait;
    wait.fd = d;
    wait.error = 0;
    wait.done.store(0);
    pthread_t thread;
    const int created = pthread_create(&thread, nullptr, FileLockThreadProc, &wait);
    if (created != 0) {
        LogMessage("[%s]. [ERROR].Can not create lock thread. System error %d\n", kAcquireFile, created);
        *sysErr = created;
        result = LOCK_ERR_SYSTEM;
    } else {
        const auto deadline = DeadlineAfter(timeoutMs);
        for (;;) {
            if (wait.done.load(std::memory_order_acquire)) break;
            usleep(kFileLockPollUs);
            if (wait.done.load(std::memory_order_acquire)) break;
            if (Clock::now() >= deadline) {
                pthread_cancel(thread);
                result = LOCK_ERR_TIMEOUT;
                break;
            }
        }
        // The thread is gone before its record and descriptor are.
        pthread_join(thread, nullptr);
        if (wait.done.load(std::memory_order_acquire)) {
            *sysErr = wait.error;
            if (*sysErr != 0) result = LOCK_ERR_SYSTEM;
        }
    }

    if (result != 0) {
        close(d);
        LogMessage("[%s]. [ERROR].Can not lock file - flock(...) failed. System error %d\n", kAcquireFile, *sysErr);
        return result;
    }
    *fd = d;
    return 0;
}

int ReleaseFileLock(int fd, const char* path, int* sysErr) {
    if (path != nullptr)
        LogMessage("[%s]-%s.[ENTER]\n", kReleaseFile, path);
    else
        LogMessage("[%s].[ENTER]\n", kReleaseFile);
    const ExitTrace exitTrace(kReleaseFile);
    if (path == nullptr || sysErr == nullptr) {
        LogMessage("[%s]. [ERROR].At least one of passed parameters is NULL\n", kReleaseFile);
        return LOCK_ERR_BAD_PARAMETER;
    }
    if (path[0] == '\0') {
        LogMessage("[%s]. [ERROR].Lock name can not be empty.\n", kReleaseFile);
        return LOCK_ERR_BAD_PARAMETER;
    }
    int result = 0;
    if (close(fd) != 0) {
        *sysErr = errno;
        LogMessage("[%s]. [ERROR].Can not close lock file ( release lock ). System error %d \n", kReleaseFile,
                   *sysErr);
        result = LOCK_ERR_SYSTEM;
    }
    return result;
}

int AcquireNamedLock(const std::string& name, int64_t timeoutMs, int* fd, int* sysErr) {
    LogMessage("[%s]-%s[ENTER]\n", kAcquireNamed, name.c_str());
    const ExitTrace exitTrace(kAcquireNamed, name.c_str());
    if (fd == nullptr || sysErr == nullptr) {
        LogMessage("[%s].[ERROR]. At least one of passed parameters is NULL\n", kAcquireNamed);
        return LOCK_ERR_BAD_PARAMETER;
    }
    *sysErr = 0;
    const int tid = GetThreadId();

    std::unique_lock<std::mutex> map(GivenLockExclusiveAccessMutex());
    auto& usage = GivenLockUsage();
    auto it = usage.find(name);
    NamedLockEntry* entry = nullptr;
    if (it != usage.end()) {
        entry = it->second;
        // Logged for every later use, the creator standing as "owner": the line reads as lock logs always have.
        LogMessage(
            "LockCard(). Other thread %d owns mutex already for GIVEN lock %s. Current thread is %d , mutex owner "
            "thread is %d\n",
            entry->ownerThreadId, name.c_str(), tid, entry->creatorThreadId);
        ++entry->usageCount;
        map.unlock();

        const int r = entry->mutex.LockUntil(DeadlineAfter(timeoutMs), tid);
        if (r != 0) {
            *sysErr = r;
            if (r == ETIMEDOUT)
                LogMessage("[%s].[ERROR].Can not lock mutex - timeout\n", kAcquireNamed);
            else
                LogMessage("[%s].[ERROR].Can not lock mutex - system error %d\n", kAcquireNamed, r);
            map.lock();
            DropUse(name, entry);
            map.unlock();
            return LOCK_ERR_SYSTEM;
        }
        LogMessage("LockCard(). Got mutex for GIVEN lock %s. Current thread is %d. Lock result is %d\n", name.c_str(),
                   tid, 0);
        map.lock();
        entry->ownerThreadId = tid;
        map.unlock();
    } else {
        entry = new (std::nothrow) NamedLockEntry;
        if (entry == nullptr) {
            map.unlock();
            *sysErr = ENOMEM;
            return LOCK_ERR_SYSTEM;
        }
        entry->usageCount = 1;
        entry->mutex.LockUntil(Clock::now(), tid);  // a new lock is free
        entry->creatorThreadId = entry->ownerThreadId = tid;
        usage.emplace(name, entry);
        map.unlock();
    }

    int fileErr = 0;
    const int32_t fileTimeout = static_cast<int32_t>(std::clamp<int64_t>(timeoutMs, INT32_MIN, INT32_MAX));
    const int result = AcquireFileLock(LockFilePath(name).c_str(), fd, fileTimeout, &fileErr);
    if (result != 0) {
        *sysErr = fileErr;
        map.lock();
        entry->ownerThreadId = 0;
        entry->mutex.Unlock(tid);
        if (DropUse(name, entry))
            LogMessage(
                "LockCard(). [WARNING. ]Released mutex for GIVEN lock %s but mutex still in use by other threads. "
                "Current thread is %d.\n",
                name.c_str(), tid);
        map.unlock();
    }
    return result;
}

int AcquireNamedLock(const char* name, int64_t timeoutMs, int* fd, int* sysErr) {
    if (name == nullptr || name[0] == '\0') {
        LogMessage("[%s].[ERROR]. At least one of passed parameters is NULL\n", kAcquireNamed);
        return LOCK_ERR_BAD_PARAMETER;
    }
    return AcquireNamedLock(std::string(name), timeoutMs, fd, sysErr);
}

int ReleaseNamedLock(const std::string& name, int64_t fd, int* sysErr) {
    LogMessage("[%s]-%s[ENTER]\n", kReleaseNamed, name.c_str());
    const ExitTrace exitTrace(kReleaseNamed, name.c_str());
    int localErr = 0;
    int* err = sysErr != nullptr ? sysErr : &localErr;
    const int tid = GetThreadId();

    const int fileResult = ReleaseFileLock(static_cast<int>(fd), LockFilePath(name).c_str(), err);
    if (fileResult != 0)
        LogMessage("[%s].[WARNING]. ReleaseFileLock(...) failed !. Error %d, system error %d\n", kReleaseNamed,
                   fileResult, *err);

    int result = fileResult;
    {
        std::lock_guard<std::mutex> map(GivenLockExclusiveAccessMutex());
        auto& usage = GivenLockUsage();
        auto it = usage.find(name);
        if (it != usage.end()) {
            NamedLockEntry* entry = it->second;
            entry->ownerThreadId = 0;
            const int r = entry->mutex.Unlock(tid);
            if (r != 0) {
                LogMessage(
                    "[%s].[WARNING.]pthread_mutex_unlock(givenLockUsage[ lockName])->mutex ) failed !. System "
                    "error %d\n",
                    kReleaseNamed, r);
                if (result == 0) result = LOCK_ERR_SYSTEM;
            }
            if (DropUse(name, entry))
                LogMessage(
                    "LockCard(). Released mutex for GIVEN lock %s but mutex still in use by other threads. Current "
                    "thread is %d.\n",
                    name.c_str(), tid);
        }
    }
    return result;
}

int ReleaseNamedLock(const char* name, int64_t fd, int* sysErr) {
    return ReleaseNamedLock(std::string(name != nullptr ? name : ""), fd, sysErr);
}

size_t NamedLockEntryCount() {
    std::lock_guard<std::mutex> map(GivenLockExclusiveAccessMutex());
    return GivenLockUsage().size();
}

int NamedLockUsage(const std::string& name) {
    std::lock_guard<std::mutex> map(GivenLockExclusiveAccessMutex());
    auto it = GivenLockUsage().find(name);
    return it == GivenLockUsage().end() ? 0 : it->second->usageCount;
}

}  // namespace pcscread
