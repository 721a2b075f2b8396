#include "tests/support/testkit/testkit.h"

#include <dirent.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <thread>

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

}  // namespace testkit
