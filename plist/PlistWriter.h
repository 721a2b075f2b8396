// Internal helpers shared by the XML and the binary property-list writers:
// the refusal texts, the nesting limit, and delivery of a finished document
// to a file or a stream. Not part of the library's public interface.
#ifndef VD_PLIST_PLISTWRITER_H
#define VD_PLIST_PLISTWRITER_H

#include "plist/Plist.h"
#include "plist/PlistXml.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <typeinfo>

#include <fcntl.h>
#include <unistd.h>

namespace Plist {
namespace writer {

// Containers nested deeper than the readers accept are refused, so that
// everything we write can be read back by our own readers. The top value
// is level 1; a container at level N holds values at level N + 1, and a
// container beyond level kMaxDepth is refused.
constexpr int kMaxDepth = kMaxNestingDepth;

// Offsets, object numbers and counts are 32-bit signed in the binary format
// as the readers hold them; documents beyond that are refused.
constexpr uint64_t kMaxSize = 0x7FFFFFFFu;

[[noreturn]] inline void throwUnsupportedType(const boost::any& value)
{
    const char* name = value.type().name();
    if (*name == '*')
        ++name;
    throw Error(std::string("Plist Error: Can't serialize type ") + name);
}

// XML cannot carry a NUL character at all, and a reader that takes a text
// as NUL-terminated would cut it short. Both writers refuse such strings
// and keys, so that a tree either writes in both encodings or in neither.
inline void checkNoNul(const std::string& text)
{
    if (std::memchr(text.data(), '\0', text.size()) != nullptr)
        throw Error("Plist Error: Can't serialize a string or key holding a NUL byte");
}

[[noreturn]] inline void throwTooDeep()
{
    throw Error("Plist Error: Can't serialize containers nested deeper than "
                + std::to_string(kMaxDepth) + " levels");
}

[[noreturn]] inline void throwTooLarge()
{
    throw Error("Plist Error: Can't serialize a property list this large");
}

[[noreturn]] inline void throwFileError(const char* what, const char* path, int err)
{
    std::string text = std::string("Plist: ") + what + " " + (path ? path : "(null)");
    if (err != 0)
        text += std::string(": ") + std::strerror(err);
    throw Error(text);
}

// The file forms call this only once the whole document exists: a value
// that is refused never reaches, and so never truncates, an existing file.
inline void writeWholeFile(const char* path, const char* data, size_t size)
{
    if (path == nullptr || *path == '\0')
        throwFileError("Can't open file for writing:", path, ENOENT);
    int fd;
    do {
        fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        throwFileError("Can't open file for writing:", path, errno);
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int err = n < 0 ? errno : EIO;
            ::close(fd);
            throwFileError("Can't write file:", path, err);
        }
        done += static_cast<size_t>(n);
    }
    // close() reports delayed write errors on some file systems; a file
    // that was not stored completely is not a success.
    if (::close(fd) != 0 && errno != EINTR)
        throwFileError("Can't close file:", path, errno);
}

inline void writeWholeStream(std::ostream& out, const char* data, size_t size)
{
    // A stream that has already failed takes nothing; either way its state
    // after the write decides, so a full device is not taken for success.
    if (out)
        out.write(data, static_cast<std::streamsize>(size));
    if (out)
        out.flush();
    if (!out)
        throw Error("Plist: Can't write to stream");
}

} // namespace writer
} // namespace Plist

#endif
