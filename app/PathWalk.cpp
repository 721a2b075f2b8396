#include "app/PathWalk_internal.h"

#include <cerrno>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

void Descriptor::reset(int fd)
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

bool Descriptor::close()
{
    return ::close(release()) == 0;
}

namespace {

// As many symbolic links as the kernel follows in one path.
const int kMaxLinks = 40;

// Pushes the names of path so that the first is taken next; empty names
// (from "//" or a trailing "/") stay, so that the end can be told.
void pushNames(const std::string& path, std::vector<std::string>& pending)
{
    std::vector<std::string> names;
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type end = path.find('/', start);
        names.push_back(path.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    pending.insert(pending.end(), names.rbegin(), names.rend());
}

bool onProcfs(int fd)
{
    struct statfs fs;
    return fstatfs(fd, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// The text of the link open (O_PATH, not followed) at link; empty when it
// cannot be read whole.
std::string linkText(int link)
{
    std::vector<char> text(4097);
    const ssize_t length = readlinkat(link, "", text.data(), text.size());
    if (length <= 0 || static_cast<size_t>(length) == text.size())
        return std::string();
    return std::string(text.data(), static_cast<size_t>(length));
}

// The folders walked so far, "/" first; each passed the rules before
// anything was opened from it.
class Walked {
public:
    explicit Walked(const WalkRules& rules) : rules_(rules) {}
    // Takes folder; false unless it is a folder the rules allow.
    bool push(Descriptor folder)
    {
        struct stat info;
        if (!folder.valid() || fstat(folder.get(), &info) != 0 || !S_ISDIR(info.st_mode) || !rules_.folder(info))
            return false;
        folders_.push_back(std::move(folder));
        return true;
    }
    bool toRoot()
    {
        folders_.clear();
        return push(Descriptor(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)));
    }
    void up()
    {
        if (folders_.size() > 1)
            folders_.pop_back();
    }
    int current() const { return folders_.back().get(); }
    Descriptor takeCurrent()
    {
        Descriptor folder = std::move(folders_.back());
        folders_.pop_back();
        return folder;
    }

private:
    const WalkRules& rules_;
    std::vector<Descriptor> folders_;
};

} // namespace

bool WalkPath(const std::string& path, const WalkRules& rules, WalkEnd& end)
{
    Walked walked(rules);
    if (path.compare(0, 1, "/") != 0 || !walked.toRoot())
        return false;
    std::vector<std::string> pending;
    pushNames(path.substr(1), pending);
    int links = 0;
    while (!pending.empty()) {
        const std::string name = std::move(pending.back());
        pending.pop_back();
        const bool last = pending.empty();
        if (name.empty() || name == "." || name == "..") {
            if (last)
                return false;  // names a folder, not a file
            if (name == "..")
                walked.up();
            continue;
        }
        // A folder is opened as one, so that an automounted folder is
        // mounted as the kernel's own walk would mount it.
        Descriptor entry;
        if (!last)
            entry.reset(openat(walked.current(), name.c_str(), O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC));
        if (!entry.valid() && (last || errno == ENOTDIR))
            entry.reset(openat(walked.current(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!entry.valid()) {
            if (!last || errno != ENOENT)
                return false;
            end.folder = walked.takeCurrent();
            end.name = name;
            return true;
        }
        struct stat info;
        if (fstat(entry.get(), &info) != 0)
            return false;
        if (S_ISLNK(info.st_mode)) {
            if (!rules.link(info) || ++links > kMaxLinks)
                return false;
            if (rules.kernelFollowsProcLinks && onProcfs(entry.get())) {
                Descriptor target(openat(walked.current(), name.c_str(), O_PATH | O_CLOEXEC));
                if (!target.valid() || fstat(target.get(), &info) != 0)
                    return false;
                if (!last) {
                    if (!walked.push(std::move(target)))
                        return false;
                    continue;
                }
                // Only a device or pipe can be written without a folder
                // to put a new file in.
                if (S_ISDIR(info.st_mode) || S_ISREG(info.st_mode))
                    return false;
                end.object = std::move(target);
                end.info = info;
                return true;
            }
            const std::string text = linkText(entry.get());
            if (text.empty() || (text[0] == '/' && !walked.toRoot()))
                return false;
            pushNames(text[0] == '/' ? text.substr(1) : text, pending);
            continue;
        }
        if (last) {
            end.folder = walked.takeCurrent();
            end.name = name;
            end.object = std::move(entry);
            end.info = info;
            return true;
        }
        if (!walked.push(std::move(entry)))
            return false;
    }
    return false;
}
