#include "pcscread/Names.h"

#include <cstring>

namespace pcscread {

bool CopyName(char* dst, size_t dstSize, const char* src, size_t len) {
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

bool CopyName(char* dst, size_t dstSize, const char* src) {
    return CopyName(dst, dstSize, src, src == nullptr ? 0 : std::strlen(src));
}

}  // namespace pcscread
