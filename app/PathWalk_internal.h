// Following a path one name at a time on descriptors, as the report does
// wherever another local user may have placed something on the way: the
// daemon's program that it runs, and the file that it saves to. The kernel
// is never asked to follow a link the walk has not been shown: each name is
// opened without following, checked on that descriptor, and what is opened
// next is opened from it, so nothing can be swapped between a check and its
// use.
#ifndef VD_APP_PATHWALK_INTERNAL_H
#define VD_APP_PATHWALK_INTERNAL_H

#include <string>

#include <sys/stat.h>

// An open descriptor, closed when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);
    // Closes it, and tells whether the close reported no error.
    bool close();

private:
    int fd_;
};

// What a walk may pass. Both checks see the status of the folder or link
// itself, taken on its own descriptor.
struct WalkRules {
    // A folder the walk may go through and take the next name from ("/"
    // included).
    bool (*folder)(const struct stat& info);
    // A symbolic link whose text the walk may take in place of its name.
    bool (*link)(const struct stat& info);
    // /proc's own links (a process's root, its descriptors) hold no path
    // that means anything here. With this set, once `link` allows one, the
    // kernel follows it, within /proc, which no user can change; without,
    // its text is taken as any link's.
    bool kernelFollowsProcLinks;
};

// Where a walk ended: the folder holding the last name, that name, and
// what the name holds (O_PATH, not followed) with its status; `object` is
// invalid when the name is free. At the end of one of /proc's links that
// the kernel followed there is no folder, only the object, and only a
// device or pipe is taken there: nothing could be put beside it.
struct WalkEnd {
    Descriptor folder;
    std::string name;
    Descriptor object;
    struct stat info = {};
};

// Walks the absolute path from "/". "." is passed over, and ".." goes back
// to the folder walked before (staying at "/"), never to whatever ".."
// names now. At most 40 links are followed, as the kernel does. False when
// the path is not absolute, ends in a folder's name ("/", ".", ".."), or
// the walk meets a folder or link that its rules refuse, a name before the
// last that is missing or no folder, or too many links.
bool WalkPath(const std::string& path, const WalkRules& rules, WalkEnd& end);

#endif  // VD_APP_PATHWALK_INTERNAL_H
