// Named and file locks that serialise access to a shared resource (a card
// reader) across the threads of one process and across processes. Every
// step is reported on standard error. Below them, the logger, the thread ids
// and the lock thread, for the locks' own source and its tests.
#ifndef VD_PCSCREAD_SYSTEMUTILS_INTERNAL_H
#define VD_PCSCREAD_SYSTEMUTILS_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace pcscread {

constexpr int LOCK_ERR_BAD_PARAMETER = -3001;
constexpr int LOCK_ERR_SYSTEM = -3002;
constexpr int LOCK_ERR_TIMEOUT = -3003;

// Takes an exclusive flock on the file at path (created with mode 0666 when
// missing; an existing file keeps its mode), waiting at most timeoutMs (one
// poll at least). A path that is a symbolic link, a hard link (more than one
// name) or not a plain file is refused as one that cannot be opened (-3002
// with *sysErr ELOOP, EMLINK or EINVAL).
// 0 (fd set), -3001 missing or empty parameter, -3002 system failure
// (*sysErr = errno or the failing call's result), -3003 still busy (*sysErr 0).
int AcquireFileLock(const char* path, int* fd, int32_t timeoutMs, int* sysErr);
// Closes fd, releasing the flock; the file stays. 0, -3001, -3002.
int ReleaseFileLock(int fd, const char* path, int* sysErr);

// A per-name recursive lock for the threads of this process plus the file
// lock of LockFilePath(name) for other processes. timeoutMs bounds each of
// the two waits. 0 (fd set), -3001, -3002, -3003.
int AcquireNamedLock(const std::string& name, int64_t timeoutMs, int* fd, int* sysErr);
int AcquireNamedLock(const char* name, int64_t timeoutMs, int* fd, int* sysErr);
// Releases the file lock, then the name's lock. 0, or the first failure.
int ReleaseNamedLock(const std::string& name, int64_t fd, int* sysErr);
int ReleaseNamedLock(const char* name, int64_t fd, int* sysErr);

// "/tmp/" + name + ".lfsl"; a "/" in the name becomes "_" so that the file
// always lies directly in /tmp.
std::string LockFilePath(const std::string& name);

// --- Internals of the locks -------------------------------------------------

// Writes one line "[SystemUtils]pcscread" + the formatted message to stderr.
void LogMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The calling thread's system thread id.
int GetThreadId();

// The record shared by AcquireFileLock and its lock thread, and the lock
// thread itself (it blocks in flock on wait->fd).
struct FileLockWait;
void* FileLockThreadProc(void* wait);

// The number of names that currently have an entry, and the usage count of
// one name (0 without an entry).
size_t NamedLockEntryCount();
int NamedLockUsage(const std::string& name);

}  // namespace pcscread

#endif  // VD_PCSCREAD_SYSTEMUTILS_INTERNAL_H
