#include "app/SystemProbes.h"
#include "app/SystemProbes_internal.h"
#include "app/PathWalk_internal.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "token/cardlib.h"

extern char** environ;

bool ReadCommandLines(const char* command, std::vector<std::string>& lines)
{
    FILE* pipe = popen(command, "r");
    if (pipe == nullptr)
        return false;
    // getline grows its buffer, so no line of any length is cut or overrun.
    char* line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&line, &capacity, pipe)) > 0)
        lines.emplace_back(line, static_cast<size_t>(length));
    free(line);
    pclose(pipe);
    return true;
}

namespace {

// What a program may put into the report: far more than any version text,
// and little enough memory whatever the program prints.
constexpr size_t kProgramOutputLimit = 64 * 1024;

// The next blank-separated word of line from at, moving at past it.
std::string nextWord(const std::string& line, size_t& at)
{
    while (at < line.size() && isspace(static_cast<unsigned char>(line[at])))
        ++at;
    const size_t start = at;
    while (at < line.size() && !isspace(static_cast<unsigned char>(line[at])))
        ++at;
    return line.substr(start, at - start);
}

bool isDaemonName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return path.compare(slash == std::string::npos ? 0 : slash + 1, std::string::npos, "pcscd") == 0;
}

} // namespace

std::vector<DaemonProcess> FindDaemonProcesses(const std::vector<std::string>& processList)
{
    std::vector<DaemonProcess> daemons;
    for (const std::string& line : processList) {
        size_t at = 0;
        const std::string pid = nextWord(line, at);
        // The heading line and anything else without a process id is skipped.
        if (pid.empty() || pid.size() > 9 || pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        for (int column = 0; column < 3; ++column)  // TTY, STAT, TIME
            nextWord(line, at);
        std::string program = nextWord(line, at);
        if (isDaemonName(program))
            daemons.push_back({std::stol(pid), std::move(program)});
    }
    return daemons;
}

namespace {

// Owned by root, and no one but root may write it.
bool rootOnly(const struct stat& info)
{
    return info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// A regular file owned by root and writable by no one else, on a file
// system mounted without nosuid. Every mount an ordinary user can make
// (removable media, disk images, FUSE, "user" entries) is nosuid, and on
// those the user may have made the file root's.
bool trustedProgram(int fd)
{
    struct stat info;
    struct statvfs mount;
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && rootOnly(info) && fstatvfs(fd, &mount) == 0 &&
           (mount.f_flag & ST_NOSUID) == 0;
}

} // namespace

int OpenTrustedDaemonExecutable(const DaemonProcess& daemon)
{
    if (daemon.pid <= 0)
        return -1;
    const int running = open(("/proc/" + std::to_string(daemon.pid) + "/exe").c_str(), O_PATH | O_CLOEXEC);
    if (running < 0) {
        // Only root may look at another user's process; everyone else is
        // left with what the process list shows.
        if (errno == EACCES || errno == EPERM)
            return OpenTrustedDaemonFile(daemon.program);
        return -1;
    }
    // The link names the file as the process's own mount namespace has it,
    // and there it may be the user's overlay or bind mount: its path counts
    // only for finding the file in ours, where it must be the very file the
    // process runs. Taken from the open descriptor, so a process that ends
    // or changes its program meanwhile cannot swap it. A file deleted since
    // it started reads "... (deleted)", which names no "pcscd".
    struct stat ran;
    char target[PATH_MAX];
    const ssize_t length = readlink(("/proc/self/fd/" + std::to_string(running)).c_str(), target, sizeof target);
    int found = -1;
    if (fstat(running, &ran) == 0 && length > 0 && static_cast<size_t>(length) < sizeof target) {
        found = OpenTrustedDaemonFile(std::string(target, static_cast<size_t>(length)));
        struct stat here;
        if (found >= 0 && (fstat(found, &here) != 0 || here.st_dev != ran.st_dev || here.st_ino != ran.st_ino)) {
            close(found);
            found = -1;
        }
    }
    close(running);
    return found;
}

int OpenTrustedDaemonFile(const std::string& path)
{
    // Only root's links, in folders only root may change, such as a merged
    // system's "/sbin"; the name must be the daemon's before and after them.
    static const WalkRules rules = {rootOnly, [](const struct stat& link) { return link.st_uid == 0; }, false};
    WalkEnd end;
    if (!isDaemonName(path) || !WalkPath(path, rules, end) || end.name != "pcscd" || !end.object.valid() ||
        !trustedProgram(end.object.get()))
        return -1;
    return end.object.release();
}

namespace {

// Appends what the pipe holds now, without waiting for more, up to the cap.
void readWaiting(int fd, std::string& output)
{
    char chunk[4096];
    struct pollfd watch = {fd, POLLIN, 0};
    while (output.size() < kProgramOutputLimit && poll(&watch, 1, 0) > 0 && (watch.revents & POLLIN) != 0) {
        const ssize_t got = read(fd, chunk, std::min(sizeof chunk, kProgramOutputLimit - output.size()));
        if (got <= 0)
            return;
        output.append(chunk, static_cast<size_t>(got));
    }
}

} // namespace

bool RunProgramOutput(const std::string& program, const char* argument, int timeoutMs, std::string& output)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    // A group of its own: whatever it starts there ends with it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);

    std::vector<char> programCopy(program.begin(), program.end());
    programCopy.push_back('\0');
    std::vector<char> argumentCopy(argument, argument + strlen(argument) + 1);
    char* argv[] = {programCopy.data(), argumentCopy.data(), nullptr};

    pid_t child = -1;
    // posix_spawnp reports a program that cannot be executed as an error here
    // instead of leaving a child that prints nothing.
    const int spawned = posix_spawnp(&child, programCopy.data(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        return false;
    }
    // Readable once the program has ended. The program is not reaped until
    // its group has been killed, so its id cannot name another group
    // meanwhile.
    const int ended = static_cast<int>(syscall(SYS_pidfd_open, child, 0));

    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto remainingMs = [&deadline]() {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return left > 0 ? static_cast<int>(left) : 0;
    };
    auto programEnded = [child]() {
        siginfo_t info = {};
        return waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == child;
    };

    // Until the program ends, has had its time or has said all it may. It
    // may close its output and still run, or end while what it started
    // holds the output open.
    std::string text;
    int out = fds[0];
    char chunk[4096];
    for (;;) {
        struct pollfd watch[] = {{out, POLLIN, 0}, {ended, POLLIN, 0}};
        // Without a descriptor for the program's end, it is looked for often.
        const int waitMs = ended >= 0 ? remainingMs() : std::min(remainingMs(), 10);
        const int ready = poll(watch, 2, waitMs);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready > 0 && out >= 0 && watch[0].revents != 0) {
            const ssize_t got = read(out, chunk, std::min(sizeof chunk, kProgramOutputLimit - text.size()));
            if (got > 0)
                text.append(chunk, static_cast<size_t>(got));
            if (text.size() == kProgramOutputLimit)
                break;
            if (got == 0 || (got < 0 && errno != EINTR)) {
                close(out);
                out = -1;
            }
        }
        if (programEnded() || remainingMs() == 0)
            break;
    }
    kill(-child, SIGKILL);
    // What the program wrote before it ended, or was killed, is kept.
    if (out >= 0) {
        readWaiting(out, text);
        close(out);
    }
    if (ended >= 0)
        close(ended);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    output += text;
    return true;
}

std::string TokenLibraryVersion(const char* path)
{
    std::string version = "nieznana";
    void* handle = dlopen(path, RTLD_LAZY);
    if (handle == nullptr)
        return version;
    const TokenVersionFunction getVersion = FindVersionExport(handle);
    if (getVersion != nullptr) {
        const char* text = getVersion();
        // The text may live inside the library: copy it before closing.
        if (text != nullptr)
            version = text;
    }
    dlclose(handle);
    return version;
}

std::string EffectiveUserName()
{
    const uid_t uid = geteuid();
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    size_t size = suggested > 0 ? static_cast<size_t>(suggested) : 1024;
    for (;;) {
        std::vector<char> buffer(size);
        struct passwd entry;
        struct passwd* result = nullptr;
        const int error = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &result);
        if (error == ERANGE && size < (1u << 20)) {
            size *= 2;
            continue;
        }
        if (error == 0 && result != nullptr && result->pw_name != nullptr)
            return result->pw_name;
        return std::to_string(uid);
    }
}
