// Bounded copies of names and other short UTF-8 texts into fixed fields:
// the reader layer's reader names, the card layer's record fields and the
// progress box's texts. Inline, so that every layer above links it whatever
// port API it is linked with.
#ifndef VD_PCSCREAD_NAMES_H
#define VD_PCSCREAD_NAMES_H

#include <cstddef>
#include <cstring>

namespace pcscread {

// Copies len bytes of src into dst of dstSize bytes, always zero-terminated.
// A name that does not fit is cut before the last whole UTF-8 character that
// fits. Returns true when the whole name fit.
inline bool CopyName(char* dst, size_t dstSize, const char* src, size_t len) {
    if (dst == nullptr || dstSize == 0) return false;
    if (src == nullptr) len = 0;
    bool whole = len < dstSize;
    size_t n = whole ? len : dstSize - 1;
    if (!whole) {
        // Do not leave half of a multi-byte character at the end.
        size_t cut = n;
        while (cut > 0 && (static_cast<unsigned char>(src[cut]) & 0xC0) == 0x80) --cut;
        n = cut;
    }
    if (n > 0) std::memcpy(dst, src, n);
    dst[n] = '\0';
    return whole;
}

// The same for a zero-terminated source (NULL counts as empty). No more of
// it is read than dst could take, so a source that is a full fixed field
// without a terminator is read safely.
inline bool CopyName(char* dst, size_t dstSize, const char* src) {
    return CopyName(dst, dstSize, src, src == nullptr ? 0 : ::strnlen(src, dstSize));
}

}  // namespace pcscread

#endif  // VD_PCSCREAD_NAMES_H
