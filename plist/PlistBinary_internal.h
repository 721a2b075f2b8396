// Internal to the property-list library: the state of one binary
// ("bplist00") read or write, and the byte routines the reader and the
// writer share. Not part of the public interface.
#ifndef VD_PLIST_PLISTBINARY_INTERNAL_H
#define VD_PLIST_PLISTBINARY_INTERNAL_H

#include "plist/Plist.h"

#include <cstdint>
#include <vector>

namespace Plist {

typedef std::vector<unsigned char> ByteVector;

// One per read or write, owned by the call that creates it.
struct BinaryPlistState {
    // Offset of each object, by object number. The writer first keeps
    // distances from the end of the objects here.
    std::vector<int32_t> offsetTable;
    // Writer: the output, grown from back to front, finally the whole
    // file. The reader leaves it empty: it reads the object table (bytes 0
    // up to offsetTableOffset) in place from the caller's buffer, which
    // saves a copy of the whole file.
    ByteVector objectTable;
    int32_t offsetIntSize = 0;
    int64_t offsetTableOffset = 0;
    int32_t objectRefSize = 0;
    // Writer only: the next object number to hand out, counting down.
    int32_t objectRef = 0;
};

// True when the first byte in memory of the 32-bit 0xab0000cd is 0xcd.
bool hostIsLittleEndian();

// Bytes start .. start + length - 1 of v; throws "Out of bounds getRange"
// for a negative start or length or a slice ending beyond v.
ByteVector getRange(const ByteVector& v, int64_t start, int64_t length);
// The same slice as a data value.
Data copyRangeToData(const ByteVector& v, int64_t start, int64_t length);

// A copy of v without trailing zero bytes beyond width n, then padded
// with zero bytes up to n. Never drops a non-zero byte.
ByteVector fitZeroBytes(const ByteVector& v, int n);

// Assemble 4 or 8 bytes (p must hold at least that many) into a signed
// integer; with littleEndian set the first byte is the least significant.
int32_t bytesToInt32(const ByteVector& p, bool littleEndian);
int64_t bytesToInt64(const ByteVector& p, bool littleEndian);
// The first 8 bytes of p as a double, in memory order when the flag is
// set, reversed otherwise.
double bytesToReal(const ByteVector& p, bool littleEndian);

// Reads a whole binary property list (data starts with "bplist00") into
// out; out is untouched when it throws.
void readBinaryPlist(const char* data, int64_t size, boost::any& out);

} // namespace Plist

#endif
