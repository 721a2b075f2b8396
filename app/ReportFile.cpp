#include "app/ReportFile_internal.h"
#include "app/PathWalk_internal.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

std::function<void()> reportWrittenHook;

namespace {

// How long a pipe or device may take no byte at all before the save gives
// up: a reader that stopped must not hold the window for good.
const std::chrono::milliseconds kStallLimit(10000);

// A link is taken as the path it names only when it belongs to the user
// saving or to root: anyone else's link, in a shared folder above all, may
// point wherever its owner wants the report to go. Any folder may be
// passed.
const WalkRules kSaveRules = {[](const struct stat&) { return true; },
                              [](const struct stat& link) { return link.st_uid == geteuid() || link.st_uid == 0; },
                              true};

// Keeps SIGPIPE from ending the program while a pipe is written: a reader
// that goes away gives EPIPE instead. A SIGPIPE raised meanwhile is taken
// back before the thread's mask is restored.
class PipeSignalHeld {
public:
    PipeSignalHeld()
    {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &saved_);
        sigset_t pending;
        wasPending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    }
    ~PipeSignalHeld()
    {
        sigset_t pending;
        if (!wasPending_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            const struct timespec now = {0, 0};
            sigtimedwait(&pipe_, nullptr, &now);
        }
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }
    PipeSignalHeld(const PipeSignalHeld&) = delete;
    PipeSignalHeld& operator=(const PipeSignalHeld&) = delete;

private:
    sigset_t pipe_;
    sigset_t saved_;
    bool wasPending_;
};

// Writes every byte, waiting on a descriptor opened without blocking for at
// most kStallLimit after the last byte it took.
bool writeAll(int fd, const QByteArray& data)
{
    PipeSignalHeld held;
    const char* next = data.constData();
    size_t left = static_cast<size_t>(data.size());
    auto deadline = std::chrono::steady_clock::now() + kStallLimit;
    while (left > 0) {
        const ssize_t written = write(fd, next, left);
        if (written > 0) {
            next += written;
            left -= static_cast<size_t>(written);
            deadline = std::chrono::steady_clock::now() + kStallLimit;
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return false;
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (wait.count() <= 0)
            return false;
        struct pollfd ready = {fd, POLLOUT, 0};
        if (poll(&ready, 1, static_cast<int>(wait.count()) + 1) < 0 && errno != EINTR)
            return false;
    }
    return true;
}

// A new file beside the final name, made here and nowhere else (no link is
// followed, no existing entry reused); its name goes to temp.
Descriptor createTemporary(const WalkEnd& place, mode_t mode, std::string& temp)
{
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const std::string stem = place.name.substr(0, 255 - 7) + ".";
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = stem;
        for (int i = 0; i < 6; ++i)
            temp += kLetters[QRandomGenerator::global()->bounded(int(sizeof kLetters) - 1)];
        Descriptor file(openat(place.folder.get(), temp.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (file.valid() || errno != EEXIST)
            return file;
    }
    return Descriptor();
}

// Gives the new file the replaced one's owner, group and mode. The owner
// first: a change of owner clears the set-id bits.
bool keepOwnerAndMode(int file, const struct stat& old)
{
    struct stat now;
    if (fstat(file, &now) != 0)
        return false;
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) && fchown(file, old.st_uid, old.st_gid) != 0)
        return false;
    return (now.st_mode & 07777) == (old.st_mode & 07777) || fchmod(file, old.st_mode & 07777) == 0;
}

// The new file takes the name, through the folder's descriptor: rename
// never follows a link at its target, so one that appears at the name now
// is at worst replaced. The name must still hold what the save looked at
// (the old file, or nothing), else the save fails.
bool takeName(const WalkEnd& place, const std::string& temp)
{
    const int folder = place.folder.get();
    struct stat now;
    if (place.object.valid()) {
        if (fstatat(folder, place.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
            now.st_dev != place.info.st_dev || now.st_ino != place.info.st_ino)
            return false;
        return renameat(folder, temp.c_str(), folder, place.name.c_str()) == 0;
    }
    if (renameat2(folder, temp.c_str(), folder, place.name.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    // A file system that cannot rename without replacing: the name is
    // looked at once more just before.
    if (errno != EINVAL || fstatat(folder, place.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
        return false;
    return renameat(folder, temp.c_str(), folder, place.name.c_str()) == 0;
}

// A regular file, or a free name: the report goes to a new file first. A
// file that the user may not write is left alone, as opening it would be.
bool replaceFile(const WalkEnd& place, const QByteArray& data)
{
    const bool existing = place.object.valid();
    if (existing && faccessat(place.folder.get(), place.name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    std::string temp;
    Descriptor file = createTemporary(place, existing ? 0600 : 0666, temp);
    if (!file.valid())
        return false;
    bool saved = writeAll(file.get(), data) && fsync(file.get()) == 0 &&
                 (!existing || keepOwnerAndMode(file.get(), place.info));
    if (saved && reportWrittenHook)
        reportWrittenHook();
    saved = file.close() && saved && takeName(place, temp);
    if (!saved)
        unlinkat(place.folder.get(), temp.c_str(), 0);
    return saved;
}

// A device or pipe holds no bytes to keep, and a file put in its place would
// take the node away: it is written in place, opened so that nothing waits
// (a pipe with no reader fails at once) and no terminal becomes the
// program's own.
bool writeInPlace(const WalkEnd& place, const QByteArray& data)
{
    const int flags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    Descriptor device(place.folder.valid()
                          ? openat(place.folder.get(), place.name.c_str(), flags | O_NOFOLLOW)
                          : open(("/proc/self/fd/" + std::to_string(place.object.get())).c_str(), flags));
    struct stat now;
    if (!device.valid() || fstat(device.get(), &now) != 0 || now.st_dev != place.info.st_dev ||
        now.st_ino != place.info.st_ino)
        return false;
    const bool written = writeAll(device.get(), data);
    return device.close() && written;
}

} // namespace

bool WriteReportFile(const QString& path, const QString& text)
{
    // The walk starts at "/"; a relative name is taken from the working folder.
    const QString absolute = path.startsWith(QLatin1Char('/')) ? path : QDir::currentPath() + QLatin1Char('/') + path;
    WalkEnd place;
    if (!WalkPath(QFile::encodeName(absolute).toStdString(), kSaveRules, place))
        return false;
    const QByteArray data = text.toUtf8();
    if (!place.object.valid() || S_ISREG(place.info.st_mode))
        return place.folder.valid() && replaceFile(place, data);
    if (S_ISDIR(place.info.st_mode))
        return false;
    return writeInPlace(place, data);
}
