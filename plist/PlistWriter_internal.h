// Internal helpers shared by the XML and the binary property-list writers:
// the refusal texts, the nesting limit, and delivery of a finished document
// to a file or a stream. Not part of the library's public interface.
#ifndef VD_PLIST_PLISTWRITER_INTERNAL_H
#define VD_PLIST_PLISTWRITER_INTERNAL_H

#include "plist/Plist.h"
#include "plist/PlistXml_internal.h"

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

// One UTF-8 sequence at p (p < end): its length, with its code point in
// cp; 0 for bytes that are not UTF-8 (a stray or missing continuation
// byte, an overlong form, a surrogate, anything above U+10FFFF).
inline int decodeUtf8(const unsigned char* p, const unsigned char* end, uint32_t& cp)
{
    const unsigned c = *p;
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    int extra;
    uint32_t min;
    if ((c & 0xE0) == 0xC0) {
        extra = 1; cp = c & 0x1F; min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        extra = 2; cp = c & 0x0F; min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        extra = 3; cp = c & 0x07; min = 0x10000;
    } else {
        return 0;
    }
    if (end - p <= extra)
        return 0;
    for (int i = 1; i <= extra; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return extra + 1;
}

[[noreturn]] inline void throwNotUtf8()
{
    throw Error("Plist Error: Can't serialize a string or key that is not valid UTF-8");
}

enum class TextTarget { Binary, Xml };

// Strings and keys are refused before anything is written when the target
// format, or the other tools that read it, cannot carry them:
// - a NUL byte: XML has no way to write it, and a reader that takes a text
//   as NUL-terminated would cut it short; refused by both writers, so that
//   a tree either writes in both encodings or in neither;
// - bytes that are not UTF-8: not well-formed XML, and other readers of
//   binary files accept only ASCII in one-byte strings;
// - in XML, the control characters below 0x20 other than tab, line feed
//   and carriage return, and U+FFFE and U+FFFF: XML 1.0 allows them
//   neither raw nor as character references. Binary files carry them.
inline void checkText(const std::string& text, TextTarget target)
{
    const bool xml = target == TextTarget::Xml;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* const end = p + text.size();
    const uint64_t highBits = 0x8080808080808080u;
    const uint64_t blanks = 0x2020202020202020u;
    while (p < end) {
        // Most text is printable ASCII, which needs no check: up to eight
        // bytes at a time (a short tail padded with blanks) while none has
        // its high bit set or lies below 0x20.
        const size_t n = end - p < 8 ? static_cast<size_t>(end - p) : 8;
        uint64_t x = blanks;
        std::memcpy(&x, p, n);
        if (((x & highBits) | ((x - blanks) & ~x & highBits)) == 0) {
            p += n;
            continue;
        }
        const unsigned c = *p;
        if (c >= 0x20 && c < 0x80) {
            ++p;
            continue;
        }
        if (c == 0)
            throw Error("Plist Error: Can't serialize a string or key holding a NUL byte");
        uint32_t cp = 0;
        const int length = decodeUtf8(p, end, cp);
        if (length == 0)
            throwNotUtf8();
        if (xml && ((cp < 0x20 && cp != '\t' && cp != '\n' && cp != '\r') || cp == 0xFFFE || cp == 0xFFFF))
            throw Error("Plist Error: Can't serialize a string or key holding a character XML does not allow");
        p += length;
    }
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
