// Binary ("bplist00") property-list writer.
//
// Objects are numbered in pre-order: the top value is 0, a container is
// followed by its contents (a dictionary by its keys, then its values),
// each element with all of its own contents before the next. The file is
// written front to back in two passes over the tree: the first counts the
// objects below every container, so that the second can name each child's
// number before the child is written. Both passes are linear in the size
// of the tree; nothing is ever inserted in front of the growing output.
#include "plist/Plist.h"
#include "plist/PlistBinary_internal.h"
#include "plist/PlistWriter_internal.h"

#include <algorithm>
#include <cstring>
#include <typeinfo>

namespace Plist {

namespace {

using writer::kMaxDepth;
using writer::kMaxSize;

// Everything one write needs beside the shared state: the number of
// objects in the subtree of every object, by object number.
struct BinaryWriter {
    BinaryPlistState& state;
    std::vector<uint32_t> subtreeCounts;
    // Reused between strings to avoid an allocation per non-ASCII string.
    std::vector<uint16_t> utf16;
    // Of several values that cannot be written, the last in object order
    // is the one reported: the one a writer that assembles the file from
    // its end meets first. The report does not depend on how the file is
    // put together.
    const boost::any* unsupported = nullptr;

    explicit BinaryWriter(BinaryPlistState& s) : state(s) {}
};

// The smallest number of bytes that holds v, at least 1.
int significantBytes(uint32_t v)
{
    if (v < 0x100u)
        return 1;
    if (v < 0x10000u)
        return 2;
    if (v < 0x1000000u)
        return 3;
    return 4;
}

void appendByte(ByteVector& out, unsigned v)
{
    out.push_back(static_cast<unsigned char>(v));
}

// v big-endian in exactly width bytes (width 1 to 8).
void appendBigEndian(ByteVector& out, uint64_t v, int width)
{
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
        out.push_back(static_cast<unsigned char>(v >> shift));
}

void appendBytes(ByteVector& out, const void* data, size_t size)
{
    const unsigned char* p = static_cast<const unsigned char*>(data);
    out.insert(out.end(), p, p + size);
}

// The smallest power of two not below v (1 for 0 and 1).
uint32_t nextPowerOfTwo(uint32_t v)
{
    uint32_t p = 1;
    while (p < v)
        p <<= 1;
    return p;
}

// How often v can be halved while above 1.
int floorLog2(uint32_t v)
{
    int n = 0;
    while (v > 1) {
        v >>= 1;
        ++n;
    }
    return n;
}

// Integer object: the two's-complement value without its high zero bytes,
// padded to 1, 2, 4 or 8 bytes; a negative value always takes 8.
void encodeInteger(ByteVector& out, int64_t value)
{
    const uint64_t u = static_cast<uint64_t>(value);
    uint32_t used = 1;
    while (used < 8 && (u >> (8 * used)) != 0)
        ++used;
    const uint32_t width = nextPowerOfTwo(used);
    appendByte(out, 0x10u | static_cast<unsigned>(floorLog2(width)));
    appendBigEndian(out, u, static_cast<int>(width));
}

// The marker of a data, string, array or dictionary object with its count:
// inline up to 14, otherwise 0xF and an integer object.
void encodeCount(ByteVector& out, unsigned kind, uint64_t count)
{
    if (count < 15) {
        appendByte(out, (kind << 4) | static_cast<unsigned>(count));
    } else {
        appendByte(out, (kind << 4) | 0x0Fu);
        encodeInteger(out, static_cast<int64_t>(count));
    }
}

void encodeReal(ByteVector& out, double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    if (bits == 0) {
        // +0.0 only: -0.0 keeps its sign in the 8-byte form.
        appendByte(out, 0x22);
        appendBigEndian(out, 0, 4);
        return;
    }
    appendByte(out, 0x23);
    appendBigEndian(out, bits, 8);
}

void encodeBool(ByteVector& out, bool value)
{
    appendByte(out, value ? 0x09 : 0x08);
}

void encodeDate(ByteVector& out, const Date& date)
{
    appendByte(out, 0x33);
    const double seconds = date.referenceSeconds();
    uint64_t bits;
    std::memcpy(&bits, &seconds, sizeof bits);
    appendBigEndian(out, bits, 8);
}

void encodeData(ByteVector& out, const Data& data)
{
    encodeCount(out, 0x4, data.size());
    appendBytes(out, data.data(), data.size());
}

// UTF-8 to UTF-16; the text has been checked to be UTF-8.
void utf8ToUtf16(const std::string& text, std::vector<uint16_t>& units)
{
    units.clear();
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* end = p + text.size();
    while (p < end) {
        uint32_t cp = 0;
        const int length = writer::decodeUtf8(p, end, cp);
        if (length == 0)
            writer::throwNotUtf8();
        if (cp >= 0x10000) {
            cp -= 0x10000;
            units.push_back(static_cast<uint16_t>(0xD800 + (cp >> 10)));
            units.push_back(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            units.push_back(static_cast<uint16_t>(cp));
        }
        p += length;
    }
}

bool isAscii(const std::string& text)
{
    for (unsigned char c : text)
        if (c >= 0x80)
            return false;
    return true;
}

// ASCII text is a one-byte string object; other UTF-8 text a UTF-16BE one,
// which is what the format prescribes and what other readers expect.
void encodeString(BinaryWriter& w, const std::string& text)
{
    ByteVector& out = w.state.objectTable;
    if (isAscii(text)) {
        encodeCount(out, 0x5, text.size());
        appendBytes(out, text.data(), text.size());
        return;
    }
    utf8ToUtf16(text, w.utf16);
    if (w.utf16.size() > kMaxSize)
        writer::throwTooLarge();
    encodeCount(out, 0x6, w.utf16.size());
    const size_t start = out.size();
    out.resize(start + 2 * w.utf16.size());
    unsigned char* p = out.data() + start;
    for (uint16_t u : w.utf16) {
        *p++ = static_cast<unsigned char>(u >> 8);
        *p++ = static_cast<unsigned char>(u);
    }
}

enum class Kind { Long, Short, Int, Dictionary, String, Array, Data, Real, Float, Date, Bool, Unsupported };

// The held type decides; anything outside the accepted set cannot be
// written.
Kind kindOf(const boost::any& value)
{
    const std::type_info& t = value.type();
    if (t == typeid(int))
        return Kind::Int;
    if (t == typeid(long))
        return Kind::Long;
    if (t == typeid(short))
        return Kind::Short;
    if (t == typeid(Dictionary))
        return Kind::Dictionary;
    if (t == typeid(std::string))
        return Kind::String;
    if (t == typeid(Array))
        return Kind::Array;
    if (t == typeid(Data))
        return Kind::Data;
    if (t == typeid(double))
        return Kind::Real;
    if (t == typeid(float))
        return Kind::Float;
    if (t == typeid(Date))
        return Kind::Date;
    if (t == typeid(bool))
        return Kind::Bool;
    return Kind::Unsupported;
}

// First pass: numbers every object in pre-order, records the size of each
// subtree, notes the value of an unsupported type to report, and refuses
// strings and keys that cannot be written, excessive nesting and sizes the
// format's 32-bit fields cannot describe, all before any byte is written.
uint32_t countObjects(BinaryWriter& w, const boost::any& value, int depth)
{
    const size_t number = w.subtreeCounts.size();
    if (number >= kMaxSize)
        writer::throwTooLarge();
    w.subtreeCounts.push_back(1);
    switch (kindOf(value)) {
    case Kind::Dictionary: {
        if (depth > kMaxDepth)
            writer::throwTooDeep();
        const Dictionary& dict = *boost::unsafe_any_cast<Dictionary>(&value);
        for (const auto& entry : dict) {
            if (entry.first.size() > kMaxSize || w.subtreeCounts.size() >= kMaxSize)
                writer::throwTooLarge();
            writer::checkText(entry.first, writer::TextTarget::Binary);
            w.subtreeCounts.push_back(1);
        }
        for (const auto& entry : dict)
            countObjects(w, entry.second, depth + 1);
        break;
    }
    case Kind::Array: {
        if (depth > kMaxDepth)
            writer::throwTooDeep();
        for (const boost::any& element : *boost::unsafe_any_cast<Array>(&value))
            countObjects(w, element, depth + 1);
        break;
    }
    case Kind::String: {
        const std::string& text = *boost::unsafe_any_cast<std::string>(&value);
        if (text.size() > kMaxSize)
            writer::throwTooLarge();
        writer::checkText(text, writer::TextTarget::Binary);
        break;
    }
    case Kind::Data:
        if (boost::unsafe_any_cast<Data>(&value)->size() > kMaxSize)
            writer::throwTooLarge();
        break;
    case Kind::Unsupported:
        w.unsupported = &value;
        break;
    default:
        break;
    }
    const uint32_t count = static_cast<uint32_t>(w.subtreeCounts.size() - number);
    w.subtreeCounts[number] = count;
    return count;
}

void appendRef(BinaryWriter& w, uint32_t number)
{
    appendBigEndian(w.state.objectTable, number, w.state.objectRefSize);
}

void encodeObject(BinaryWriter& w, const boost::any& value, uint32_t number);

// Objects are written in number order, so each offset is the next entry.
void recordOffset(BinaryWriter& w)
{
    w.state.offsetTable.push_back(static_cast<int32_t>(w.state.objectTable.size()));
}

void encodeArray(BinaryWriter& w, const Array& array, uint32_t number)
{
    encodeCount(w.state.objectTable, 0xA, array.size());
    uint32_t child = number + 1;
    for (size_t i = 0; i < array.size(); ++i) {
        appendRef(w, child);
        child += w.subtreeCounts[child];
    }
    child = number + 1;
    for (const boost::any& element : array) {
        encodeObject(w, element, child);
        child += w.subtreeCounts[child];
    }
}

void encodeDict(BinaryWriter& w, const Dictionary& dict, uint32_t number)
{
    const uint32_t count = static_cast<uint32_t>(dict.size());
    encodeCount(w.state.objectTable, 0xD, count);
    for (uint32_t i = 0; i < count; ++i)
        appendRef(w, number + 1 + i);
    uint32_t child = number + 1 + count;
    for (uint32_t i = 0; i < count; ++i) {
        appendRef(w, child);
        child += w.subtreeCounts[child];
    }
    for (const auto& entry : dict) {
        recordOffset(w);
        encodeString(w, entry.first);
    }
    child = number + 1 + count;
    for (const auto& entry : dict) {
        encodeObject(w, entry.second, child);
        child += w.subtreeCounts[child];
    }
}

void encodeObject(BinaryWriter& w, const boost::any& value, uint32_t number)
{
    recordOffset(w);
    ByteVector& out = w.state.objectTable;
    switch (kindOf(value)) {
    case Kind::Int:
        encodeInteger(out, *boost::unsafe_any_cast<int>(&value));
        break;
    case Kind::Long:
        encodeInteger(out, *boost::unsafe_any_cast<long>(&value));
        break;
    case Kind::Short:
        encodeInteger(out, *boost::unsafe_any_cast<short>(&value));
        break;
    case Kind::Dictionary:
        encodeDict(w, *boost::unsafe_any_cast<Dictionary>(&value), number);
        break;
    case Kind::String:
        encodeString(w, *boost::unsafe_any_cast<std::string>(&value));
        break;
    case Kind::Array:
        encodeArray(w, *boost::unsafe_any_cast<Array>(&value), number);
        break;
    case Kind::Data:
        encodeData(out, *boost::unsafe_any_cast<Data>(&value));
        break;
    case Kind::Real:
        encodeReal(out, *boost::unsafe_any_cast<double>(&value));
        break;
    case Kind::Float:
        encodeReal(out, *boost::unsafe_any_cast<float>(&value));
        break;
    case Kind::Date:
        encodeDate(out, *boost::unsafe_any_cast<Date>(&value));
        break;
    case Kind::Bool:
        encodeBool(out, *boost::unsafe_any_cast<bool>(&value));
        break;
    case Kind::Unsupported:
        writer::throwUnsupportedType(value);
    }
}

// The whole file into state.objectTable.
void buildBinaryPlist(BinaryPlistState& state, const boost::any& top)
{
    BinaryWriter w(state);
    countObjects(w, top, 1);
    if (w.unsupported != nullptr)
        writer::throwUnsupportedType(*w.unsupported);
    const uint32_t objects = static_cast<uint32_t>(w.subtreeCounts.size());
    state.objectRef = 0;
    state.objectRefSize = significantBytes(objects - 1);
    state.objectTable.clear();
    state.offsetTable.clear();
    state.offsetTable.reserve(objects);
    state.objectTable.reserve(8 + 4 * static_cast<size_t>(objects));

    appendBytes(state.objectTable, "bplist00", 8);
    encodeObject(w, top, 0);

    if (state.objectTable.size() > kMaxSize)
        writer::throwTooLarge();
    state.offsetTableOffset = static_cast<int64_t>(state.objectTable.size());
    // The width covers every offset and the size of the object region.
    const uint32_t lastOffset = static_cast<uint32_t>(state.offsetTable.back());
    const uint32_t objectBytes = static_cast<uint32_t>(state.offsetTableOffset - 8);
    state.offsetIntSize = significantBytes(std::max(lastOffset, objectBytes));

    ByteVector& out = state.objectTable;
    out.reserve(out.size() + static_cast<size_t>(objects) * state.offsetIntSize + 32);
    for (int32_t offset : state.offsetTable)
        appendBigEndian(out, static_cast<uint32_t>(offset), state.offsetIntSize);

    appendBigEndian(out, 0, 6);
    appendByte(out, static_cast<unsigned>(state.offsetIntSize));
    appendByte(out, static_cast<unsigned>(state.objectRefSize));
    appendBigEndian(out, objects, 8);
    appendBigEndian(out, 0, 8);
    appendBigEndian(out, static_cast<uint64_t>(state.offsetTableOffset), 8);
}

} // namespace

void writeBinaryToBuffer(std::vector<char>& out, const boost::any& top)
{
    BinaryPlistState state;
    buildBinaryPlist(state, top);
    out.assign(state.objectTable.begin(), state.objectTable.end());
}

void writeBinaryToStream(std::ostream& out, const boost::any& top)
{
    BinaryPlistState state;
    buildBinaryPlist(state, top);
    writer::writeWholeStream(out, reinterpret_cast<const char*>(state.objectTable.data()),
                             state.objectTable.size());
}

void writeBinaryToFile(const char* path, const boost::any& top)
{
    BinaryPlistState state;
    buildBinaryPlist(state, top);
    writer::writeWholeFile(path, reinterpret_cast<const char*>(state.objectTable.data()),
                           state.objectTable.size());
}

} // namespace Plist
