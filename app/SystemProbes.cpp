#include "app/SystemProbes.h"
#include "app/SystemProbes_internal.h"

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
    const int fd = open(("/proc/" + std::to_string(daemon.pid) + "/exe").c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) {
        // Only root may look at another user's process; everyone else is
        // left with what the process list shows.
        if (errno == EACCES || errno == EPERM)
            return OpenTrustedDaemonFile(daemon.program);
        return -1;
    }
    // Name, owner and mount are taken from the open file itself, so a
    // process that ends or changes its program meanwhile cannot swap what is
    // checked.
    char target[PATH_MAX];
    const ssize_t length = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target);
    const bool trusted = trustedProgram(fd) && length > 0 && static_cast<size_t>(length) < sizeof target &&
                         isDaemonName(std::string(target, static_cast<size_t>(length)));
    if (!trusted) {
        close(fd);
        return -1;
    }
    return fd;
}

int OpenTrustedDaemonFile(const std::string& path)
{
    if (path.empty() || path[0] != '/')
        return -1;
    std::vector<std::string> names;
    for (size_t at = 0; at < path.size();) {
        const size_t slash = path.find('/', at);
        const size_t end = slash == std::string::npos ? path.size() : slash;
        if (end > at)
            names.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    if (names.empty() || names.back() != "pcscd")
        return -1;

    // Walked from the root one name at a time without following links: each
    // directory is checked on the descriptor that the next step opens from.
    int directory = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (size_t i = 0; directory >= 0 && i < names.size(); ++i) {
        struct stat info;
        if (fstat(directory, &info) != 0 || !S_ISDIR(info.st_mode) || !rootOnly(info) || names[i] == "." ||
            names[i] == "..") {
            close(directory);
            return -1;
        }
        const bool last = i + 1 == names.size();
        const int next = openat(directory, names[i].c_str(),
                                O_PATH | O_NOFOLLOW | O_CLOEXEC | (last ? 0 : O_DIRECTORY));
        close(directory);
        if (next < 0)
            return -1;
        if (last) {
            if (!trustedProgram(next)) {
                close(next);
                return -1;
            }
            return next;
        }
        directory = next;
    }
    return -1;
}

bool RunProgramOutput(const std::string& program, const char* argument, int timeoutMs, std::string& output)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);

    std::vector<char> programCopy(program.begin(), program.end());
    programCopy.push_back('\0');
    std::vector<char> argumentCopy(argument, argument + strlen(argument) + 1);
    char* argv[] = {programCopy.data(), argumentCopy.data(), nullptr};

    pid_t child = -1;
    // posix_spawnp reports a program that cannot be executed as an error here
    // instead of leaving a child that prints nothing.
    const int spawned = posix_spawnp(&child, programCopy.data(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        return false;
    }

    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto remainingMs = [&deadline]() {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return left > 0 ? static_cast<int>(left) : 0;
    };

    // Set once the program has had its time or has said all it may: it is
    // killed at once instead of being waited for.
    bool done = false;
    size_t kept = 0;
    char chunk[4096];
    for (;;) {
        struct pollfd watch = {fds[0], POLLIN, 0};
        const int ready = poll(&watch, 1, remainingMs());
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (ready == 0) {
            done = true;
            break;
        }
        const ssize_t got = read(fds[0], chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (got == 0)
            break;
        const size_t taken = std::min(static_cast<size_t>(got), kProgramOutputLimit - kept);
        output.append(chunk, taken);
        kept += taken;
        if (kept == kProgramOutputLimit) {
            done = true;
            break;
        }
    }
    close(fds[0]);

    // The program may have closed its output and still run; it gets the rest
    // of the time limit to end.
    int status = 0;
    while (!done) {
        const pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended == child || (ended < 0 && errno != EINTR))
            return true;
        if (remainingMs() == 0)
            break;
        struct timespec step = {0, 5 * 1000 * 1000};
        nanosleep(&step, nullptr);
    }
    kill(child, SIGKILL);
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
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
