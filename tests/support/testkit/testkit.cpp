#include "tests/support/testkit/testkit.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <thread>

extern char** environ;

namespace testkit {

bool ReadFile(const std::string& path, std::string* content)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    content->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

std::string ReadFile(const std::string& path)
{
    std::string content;
    return ReadFile(path, &content) ? content : std::string();
}

bool WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    return !out.fail();
}

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*)
{
    return remove(path);
}

}  // namespace

TempDir::TempDir()
{
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vd-test-XXXXXX";
    if (mkdtemp(&pattern[0]) != nullptr)
        path_ = pattern;
}

TempDir::~TempDir()
{
    if (!path_.empty())
        nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string XmlPlist(const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + body + "</dict>\n</plist>\n";
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               const std::function<void()>& betweenPolls)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        if (betweenPolls)
            betweenPolls();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool DirectoryNames(const std::string& path, std::set<std::string>* names)
{
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr)
        return false;
    names->clear();
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            names->insert(entry->d_name);
    }
    closedir(dir);
    return true;
}

int CountDirEntries(const std::string& path)
{
    std::set<std::string> names;
    return DirectoryNames(path, &names) ? static_cast<int>(names.size()) : -1;
}

std::set<std::string> OwnThreadIds()
{
    std::set<std::string> ids;
    DirectoryNames("/proc/self/task", &ids);
    return ids;
}

int OwnThreads()
{
    return CountDirEntries("/proc/self/task");
}

int OwnDescriptors()
{
    return CountDirEntries("/proc/self/fd") - 1;
}

namespace {

pid_t SpawnWith(std::vector<std::string>& args, const posix_spawn_file_actions_t* actions,
                std::vector<std::string>& env)
{
    if (args.empty())
        return -1;
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& entry : env)
        envp.push_back(&entry[0]);
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], actions, nullptr, argv.data(), env.empty() ? environ : envp.data()) != 0)
        return -1;
    return pid;
}

}  // namespace

pid_t Spawn(std::vector<std::string> args, const std::string& out, std::vector<std::string> env)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const pid_t pid = SpawnWith(args, &actions, env);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int RunCaptured(std::vector<std::string> args, std::string* output, bool withErrors)
{
    output->clear();
    // Both ends close on exec: another thread's child holds no write end
    // that would keep this read from its end.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    if (withErrors)
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    std::vector<std::string> ownEnvironment;
    const pid_t pid = SpawnWith(args, &actions, ownEnvironment);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    char buffer[4096];
    for (ssize_t got; (got = read(fds[0], buffer, sizeof buffer)) != 0;) {
        if (got > 0)
            output->append(buffer, static_cast<size_t>(got));
        else if (errno != EINTR)
            break;
    }
    close(fds[0]);
    int status = 0;
    if (pid < 0)
        return -1;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testkit
