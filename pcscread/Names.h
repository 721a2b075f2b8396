// Bounded copies of reader names.
#ifndef VD_PCSCREAD_NAMES_H
#define VD_PCSCREAD_NAMES_H

#include <cstddef>

namespace pcscread {

// Copies len bytes of src into dst of dstSize bytes, always zero-terminated.
// A name that does not fit is cut before the last whole UTF-8 character that
// fits. Returns true when the whole name fit.
bool CopyName(char* dst, size_t dstSize, const char* src, size_t len);
// The same for a zero-terminated source (NULL counts as empty).
bool CopyName(char* dst, size_t dstSize, const char* src);

}  // namespace pcscread

#endif  // VD_PCSCREAD_NAMES_H
