#include "plist/PlistBinary_internal.h"
#include "plist/PlistXml_internal.h"

#include <boost/locale/encoding_utf.hpp>

#include <algorithm>
#include <cstring>
#include <limits>

namespace Plist {

namespace {

const char* const kOutOfBounds = "Out of bounds getRange";

void checkRange(int64_t available, int64_t start, int64_t length)
{
    // Written so that no intermediate sum can overflow.
    if (start < 0 || length < 0 || start > available || length > available - start)
        throw Error(kOutOfBounds);
}

uint64_t readBigEndian(const unsigned char* p, int width)
{
    uint64_t value = 0;
    for (int i = 0; i < width; ++i)
        value = (value << 8) | p[i];
    return value;
}

// Shared references let a small file describe a huge tree: writers store a
// container that occurs several times once, so a few hundred bytes can
// stand for thousands of objects, while a chain of arrays that each refer
// twice to the next doubles with every level. The caps on decoded objects
// and bytes grow with the file, but never fall below a floor that no
// ordinary document reaches; only files built to expand meet them, and
// those fail before they cost much time or memory. A fuzzing build lowers
// the floors, so that its inputs meet the caps in milliseconds.
#ifndef VD_PLIST_EXPANSION_FLOOR_OBJECTS
#define VD_PLIST_EXPANSION_FLOOR_OBJECTS 1000000
#endif
#ifndef VD_PLIST_EXPANSION_FLOOR_BYTES
#define VD_PLIST_EXPANSION_FLOOR_BYTES (64 << 20)
#endif
constexpr uint64_t kMinObjectBudget = VD_PLIST_EXPANSION_FLOOR_OBJECTS;
constexpr uint64_t kMinByteBudget = VD_PLIST_EXPANSION_FLOOR_BYTES;

// Decodes the objects of one binary property list whose trailer and offset
// table have been read and checked. Every byte of the object table is
// treated as hostile: each offset, count and reference is checked in 64-bit
// arithmetic against the object table before it is used.
class BinaryReader {
public:
    // The object table is read in place: bytes 0 up to offsetTableOffset
    // of the caller's buffer.
    BinaryReader(BinaryPlistState& state, const unsigned char* data, int64_t inputSize)
        : state_(state),
          table_(data),
          tableSize_(state.offsetTableOffset),
          objectCount_(state.offsetTable.size()),
          onPath_(state.offsetTable.size(), 0),
          objectBudget_(std::max(kMinObjectBudget, 4 * static_cast<uint64_t>(inputSize) + 1024)),
          byteBudget_(std::max(kMinByteBudget, 256 * static_cast<uint64_t>(inputSize) + (uint64_t(1) << 20)))
    {
    }

    boost::any decodeObject(uint64_t objectNumber, int depth);

private:
    int64_t offsetOf(uint64_t objectNumber) const
    {
        if (objectNumber >= objectCount_)
            throw Error("Plist: binary object number out of range");
        return state_.offsetTable[objectNumber];
    }

    unsigned char markerAt(int64_t offset) const
    {
        checkRange(tableSize_, offset, 1);
        return table_[offset];
    }

    void spend(uint64_t payloadBytes)
    {
        if (objectBudget_ == 0 || payloadBytes > byteBudget_)
            throw Error("Plist: binary plist expands beyond its size limits");
        --objectBudget_;
        byteBudget_ -= payloadBytes;
    }

    bool decodeSimple(int64_t offset);
    long decodeInteger(int64_t offset, int64_t& width);
    double decodeReal(int64_t offset);
    Date decodeDate(int64_t offset);
    Data decodeData(int64_t offset);
    std::string decodeAsciiString(int64_t offset);
    std::string decodeUtf16String(int64_t offset);
    std::string decodeKey(uint64_t objectNumber, int depth);
    Array decodeArray(int64_t offset, int depth);
    Dictionary decodeDict(int64_t offset, int depth);
    // Count of a data, string, array or dictionary object, and the
    // absolute offset of its payload.
    uint64_t readLengthField(int64_t offset, unsigned char marker, int64_t& payloadStart);
    // Throws unless `count` items of `unit` bytes from `start` end before
    // the offset table.
    void checkPayload(int64_t start, uint64_t count, uint64_t unit) const;
    uint64_t referenceAt(int64_t listStart, uint64_t index) const
    {
        return readBigEndian(table_ + listStart + static_cast<int64_t>(index) * state_.objectRefSize,
                             state_.objectRefSize);
    }

    BinaryPlistState& state_;
    const unsigned char* table_;
    int64_t tableSize_;
    uint64_t objectCount_;
    std::vector<unsigned char> onPath_;
    uint64_t objectBudget_;
    uint64_t byteBudget_;
};

void BinaryReader::checkPayload(int64_t start, uint64_t count, uint64_t unit) const
{
    checkRange(tableSize_, start, 0);
    if (count > static_cast<uint64_t>(tableSize_ - start) / unit)
        throw Error(kOutOfBounds);
}

bool BinaryReader::decodeSimple(int64_t offset)
{
    const unsigned char marker = markerAt(offset);
    switch (marker) {
    case 0x08:
        return false;
    case 0x09:
        return true;
    case 0x00:
        throw Error("Plist: null byte encountered, unsure how to parse");
    case 0x0F:
        throw Error("Plist: fill byte encountered, unsure how to parse");
    default:
        throw Error(std::string("Plist: unknown header ") + static_cast<char>(marker));
    }
}

long BinaryReader::decodeInteger(int64_t offset, int64_t& width)
{
    const unsigned char marker = markerAt(offset);
    width = int64_t(1) << (marker & 0x0F);
    checkRange(tableSize_, offset + 1, width);
    const unsigned char* payload = table_ + offset + 1;
    if (width <= 8)
        return static_cast<long>(readBigEndian(payload, static_cast<int>(width)));
    // Wider integers (other writers use 16 bytes for 2^63 to 2^64 - 1) are
    // two's complement; they read only when the bytes in front of the low
    // eight are the sign extension of those eight, so no value wraps.
    const unsigned char* low = payload + (width - 8);
    const unsigned char extension = (low[0] & 0x80) ? 0xFF : 0x00;
    for (const unsigned char* p = payload; p != low; ++p)
        if (*p != extension)
            throw Error("Plist: binary integer out of range");
    return static_cast<long>(readBigEndian(low, 8));
}

double BinaryReader::decodeReal(int64_t offset)
{
    const unsigned char marker = markerAt(offset);
    const int width = (marker & 0x0F) == 2 ? 4 : ((marker & 0x0F) == 3 ? 8 : 0);
    if (width == 0)
        throw Error("Plist: binary real of unsupported width");
    checkRange(tableSize_, offset + 1, width);
    const uint64_t bits = readBigEndian(table_ + offset + 1, width);
    if (width == 4) {
        const uint32_t bits32 = static_cast<uint32_t>(bits);
        float f;
        std::memcpy(&f, &bits32, sizeof f);
        return f;
    }
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

Date BinaryReader::decodeDate(int64_t offset)
{
    checkRange(tableSize_, offset + 1, 8);
    const uint64_t bits = readBigEndian(table_ + offset + 1, 8);
    double seconds;
    std::memcpy(&seconds, &bits, sizeof seconds);
    // Any valid start value will do: the seconds replace it or the read ends.
    Date date(1, 1, 2001, 0, 0, 0, true);
    date.setFromReferenceSeconds(seconds);
    return date;
}

uint64_t BinaryReader::readLengthField(int64_t offset, unsigned char marker, int64_t& payloadStart)
{
    if ((marker & 0x0F) != 0x0F) {
        payloadStart = offset + 1;
        return marker & 0x0F;
    }
    int64_t width = 0;
    const uint64_t count = static_cast<uint64_t>(decodeInteger(offset + 1, width));
    payloadStart = offset + 2 + width;
    return count;
}

Data BinaryReader::decodeData(int64_t offset)
{
    int64_t start = 0;
    const uint64_t count = readLengthField(offset, markerAt(offset), start);
    checkPayload(start, count, 1);
    spend(count);
    const char* begin = reinterpret_cast<const char*>(table_ + start);
    return Data(begin, begin + count);
}

std::string BinaryReader::decodeAsciiString(int64_t offset)
{
    int64_t start = 0;
    const uint64_t count = readLengthField(offset, markerAt(offset), start);
    checkPayload(start, count, 1);
    spend(count);
    return std::string(reinterpret_cast<const char*>(table_ + start), count);
}

std::string BinaryReader::decodeUtf16String(int64_t offset)
{
    int64_t start = 0;
    const uint64_t count = readLengthField(offset, markerAt(offset), start);
    checkPayload(start, count, 2);
    spend(2 * count);
    std::u16string units(count, u'\0');
    const unsigned char* p = table_ + start;
    for (uint64_t i = 0; i < count; ++i)
        units[i] = static_cast<char16_t>((p[2 * i] << 8) | p[2 * i + 1]);
    return boost::locale::conv::utf_to_utf<char>(units.data(), units.data() + units.size(),
                                                  boost::locale::conv::stop);
}

std::string BinaryReader::decodeKey(uint64_t objectNumber, int depth)
{
    const int64_t offset = offsetOf(objectNumber);
    const unsigned char kind = markerAt(offset) >> 4;
    if (kind == 0x5)
        return decodeAsciiString(offset);
    if (kind == 0x6)
        return decodeUtf16String(offset);
    // Any other key is decoded like a value first, so that a damaged key
    // object reports its own fault; only a key that decodes to something
    // other than a string is reported as such. The caps on decoded objects
    // bound the work a container named as a key can cause.
    decodeObject(objectNumber, depth);
    throw Error("Error parsing dictionary.  Key can't be parsed as a string");
}

Array BinaryReader::decodeArray(int64_t offset, int depth)
{
    int64_t start = 0;
    const uint64_t count = readLengthField(offset, markerAt(offset), start);
    checkPayload(start, count, static_cast<uint64_t>(state_.objectRefSize));
    Array array;
    array.reserve(count < objectBudget_ ? count : objectBudget_);
    for (uint64_t i = 0; i < count; ++i)
        array.push_back(decodeObject(referenceAt(start, i), depth + 1));
    return array;
}

Dictionary BinaryReader::decodeDict(int64_t offset, int depth)
{
    int64_t start = 0;
    const uint64_t count = readLengthField(offset, markerAt(offset), start);
    checkPayload(start, count, 2 * static_cast<uint64_t>(state_.objectRefSize));
    Dictionary dict;
    for (uint64_t i = 0; i < count; ++i) {
        std::string key = decodeKey(referenceAt(start, i), depth + 1);
        // Keys usually come sorted, so the end is the right hint; a key seen
        // again takes the later value.
        dict.insert_or_assign(dict.end(), std::move(key), decodeObject(referenceAt(start, count + i), depth + 1));
    }
    return dict;
}

boost::any BinaryReader::decodeObject(uint64_t objectNumber, int depth)
{
    const int64_t offset = offsetOf(objectNumber);
    const unsigned char marker = markerAt(offset);
    switch (marker >> 4) {
    case 0x0:
        spend(0);
        return decodeSimple(offset);
    case 0x1: {
        spend(0);
        int64_t width = 0;
        return decodeInteger(offset, width);
    }
    case 0x2:
        spend(0);
        return decodeReal(offset);
    case 0x3:
        spend(0);
        return decodeDate(offset);
    case 0x4:
        return decodeData(offset);
    case 0x5:
        return decodeAsciiString(offset);
    case 0x6:
        return decodeUtf16String(offset);
    case 0xA:
    case 0xD: {
        spend(0);
        if (depth >= kMaxNestingDepth)
            throw Error("Plist: binary nesting deeper than 512 levels");
        if (onPath_[objectNumber])
            throw Error("Plist: binary object reference cycle");
        onPath_[objectNumber] = 1;
        boost::any value;
        if ((marker >> 4) == 0xA)
            value = decodeArray(offset, depth);
        else
            value = decodeDict(offset, depth);
        onPath_[objectNumber] = 0;
        return value;
    }
    default:
        throw Error("This type is not supported");
    }
}

} // namespace

bool hostIsLittleEndian()
{
    const uint32_t probe = 0xab0000cdu;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    return first == 0xcd;
}

ByteVector getRange(const ByteVector& v, int64_t start, int64_t length)
{
    checkRange(static_cast<int64_t>(v.size()), start, length);
    return ByteVector(v.begin() + start, v.begin() + start + length);
}

Data copyRangeToData(const ByteVector& v, int64_t start, int64_t length)
{
    checkRange(static_cast<int64_t>(v.size()), start, length);
    return Data(v.begin() + start, v.begin() + start + length);
}

ByteVector fitZeroBytes(const ByteVector& v, int n)
{
    ByteVector out(v);
    const size_t width = n > 0 ? static_cast<size_t>(n) : 0;
    while (out.size() > width && out.back() == 0)
        out.pop_back();
    if (out.size() < width)
        out.resize(width, 0);
    return out;
}

namespace {

template <class T>
T bytesToInteger(const ByteVector& p, bool littleEndian)
{
    const size_t width = sizeof(T);
    if (p.size() < width)
        throw Error(kOutOfBounds);
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) {
        const unsigned char byte = littleEndian ? p[width - 1 - i] : p[i];
        value = (value << 8) | byte;
    }
    return static_cast<T>(value);
}

} // namespace

int32_t bytesToInt32(const ByteVector& p, bool littleEndian)
{
    return bytesToInteger<int32_t>(p, littleEndian);
}

int64_t bytesToInt64(const ByteVector& p, bool littleEndian)
{
    return bytesToInteger<int64_t>(p, littleEndian);
}

double bytesToReal(const ByteVector& p, bool littleEndian)
{
    if (p.size() < 8)
        throw Error(kOutOfBounds);
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i)
        bytes[i] = littleEndian ? p[i] : p[7 - i];
    double d;
    std::memcpy(&d, bytes, sizeof d);
    return d;
}

namespace {

// Sets the two widths and the offset table's offset from the 32 trailer
// bytes; returns the top object's number.
uint64_t readTrailer(BinaryPlistState& state, const unsigned char* trailer, int64_t trailerStart)
{
    state.offsetIntSize = trailer[6];
    state.objectRefSize = trailer[7];
    if (state.offsetIntSize < 1 || state.offsetIntSize > 8 || state.objectRefSize < 1 || state.objectRefSize > 8)
        throw Error("Plist: binary trailer widths must be 1 to 8 bytes");
    state.offsetTableOffset = static_cast<int64_t>(readBigEndian(trailer + 24, 8));
    if (state.offsetTableOffset < 0 || state.offsetTableOffset > trailerStart)
        throw Error(kOutOfBounds);
    // Offsets are held in 32 bits.
    if (state.offsetTableOffset > std::numeric_limits<int32_t>::max())
        throw Error("Plist: binary plist too large");
    return readBigEndian(trailer + 16, 8);
}

// Reads one offset per entry of the stretch between the offset table's
// offset and the trailer; every object must start after the header and
// before the offset table.
void readOffsetTable(BinaryPlistState& state, const unsigned char* table, int64_t length)
{
    if (length % state.offsetIntSize != 0)
        throw Error(kOutOfBounds);
    const int64_t objectCount = length / state.offsetIntSize;
    state.offsetTable.resize(static_cast<size_t>(objectCount));
    const unsigned char* entry = table;
    for (int64_t k = 0; k < objectCount; ++k, entry += state.offsetIntSize) {
        const uint64_t offset = readBigEndian(entry, state.offsetIntSize);
        if (offset < 8 || offset >= static_cast<uint64_t>(state.offsetTableOffset))
            throw Error("Plist: binary object offset out of bounds");
        state.offsetTable[static_cast<size_t>(k)] = static_cast<int32_t>(offset);
    }
}

} // namespace

void readBinaryPlist(const char* data, int64_t size, boost::any& out)
{
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
    if (data == nullptr || size < 32)
        throw Error(kOutOfBounds);
    const int64_t trailerStart = size - 32;

    BinaryPlistState state;
    const uint64_t topObject = readTrailer(state, bytes + trailerStart, trailerStart);
    readOffsetTable(state, bytes + state.offsetTableOffset, trailerStart - state.offsetTableOffset);
    if (topObject >= state.offsetTable.size())
        throw Error("Plist: binary object number out of range");

    BinaryReader reader(state, bytes, size);
    boost::any value = reader.decodeObject(topObject, 0);
    out = std::move(value);
}

} // namespace Plist
