// Internals of the named and file locks: the logger, the thread ids and the
// lock thread, for the locks' own source and its tests. Nothing here is
// meant for the locks' users.
#ifndef VD_PCSCREAD_SYSTEMUTILS_INTERNAL_H
#define VD_PCSCREAD_SYSTEMUTILS_INTERNAL_H

#include <cstddef>
#include <string>

#include "pcscread/SystemUtils.h"

namespace pcscread {

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
