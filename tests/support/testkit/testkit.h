// Plain helpers that test programs of several folders share: whole files,
// a scratch directory, polling a condition with a deadline, this process's
// threads and descriptors, and child processes. No test framework and no
// toolkit, so that the stand-in token libraries can link it too.
#ifndef VD_TESTS_SUPPORT_TESTKIT_H
#define VD_TESTS_SUPPORT_TESTKIT_H

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <sys/types.h>

namespace testkit {

// The whole content of the file at path, byte for byte; false when it
// cannot be opened or read.
bool ReadFile(const std::string& path, std::string* content);
// The same, empty when the file cannot be read.
std::string ReadFile(const std::string& path);
// Replaces the file's content; false when it cannot be written.
bool WriteFile(const std::string& path, const std::string& content);

// A new directory under $TMPDIR (or /tmp), removed with all it holds when
// the object goes; path() is empty when none could be made.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// An XML property list whose root dictionary holds body (keys and values
// as written).
std::string XmlPlist(const std::string& body);

// Polls condition until it holds or timeout has passed, and returns whether
// it held at the last poll, which always comes after the last betweenPolls.
// betweenPolls runs between two polls (a toolkit handling its events);
// without one the thread sleeps a moment.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10),
               const std::function<void()>& betweenPolls = nullptr);

// The names in a directory, without "." and "..", as in /proc's lists of
// threads and descriptors; false when it cannot be read.
bool DirectoryNames(const std::string& path, std::set<std::string>* names);
// How many there are; -1 when the directory cannot be read.
int CountDirEntries(const std::string& path);

// This process's threads, by id, and their number. A thread that was joined
// can stay listed for a moment after the join returns.
std::set<std::string> OwnThreadIds();
int OwnThreads();
// This process's open descriptors, not counting the one the count uses.
int OwnDescriptors();

// Starts a program, looked up on the search path, with its standard output
// and error in the file out (made or emptied), in this process's environment
// or, when env is not empty, in env alone. Returns its pid, which the caller
// waits for, or -1 when it could not start.
pid_t Spawn(std::vector<std::string> args, const std::string& out = "/dev/null",
            std::vector<std::string> env = {});

// Runs a program, looked up on the search path, to its end with its standard
// output in output, and its standard error there too with withErrors (else
// in this process's). Returns its exit status, or -1 when it could not start
// or a signal ended it.
int RunCaptured(std::vector<std::string> args, std::string* output, bool withErrors = false);

}  // namespace testkit

#endif  // VD_TESTS_SUPPORT_TESTKIT_H
