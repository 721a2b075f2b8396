// Helpers for the property-list tests: a canonical text form of a value
// tree (the same form tools/plist_dump.py prints from Python's reading of
// a file), the checks the reader tests share, short constructors of
// expected trees, a builder for hand-made binary property lists, and file
// access.
#ifndef VD_TESTS_PLIST_PLISTTESTUTIL_H
#define VD_TESTS_PLIST_PLISTTESTUTIL_H

#include "plist/Plist.h"
#include "tests/support/testkit/testkit.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace plisttest {

inline std::string hex(const char* p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

inline void dumpValue(const boost::any& v, int depth, std::string& out)
{
    out.append(2 * static_cast<size_t>(depth), ' ');
    char number[64];
    if (const Plist::Dictionary* d = boost::any_cast<Plist::Dictionary>(&v)) {
        out += "dict " + std::to_string(d->size()) + "\n";
        for (const auto& entry : *d) {
            out.append(2 * static_cast<size_t>(depth + 1), ' ');
            out += "key " + hex(entry.first.data(), entry.first.size()) + "\n";
            dumpValue(entry.second, depth + 1, out);
        }
    } else if (const Plist::Array* a = boost::any_cast<Plist::Array>(&v)) {
        out += "array " + std::to_string(a->size()) + "\n";
        for (const auto& item : *a)
            dumpValue(item, depth + 1, out);
    } else if (const std::string* s = boost::any_cast<std::string>(&v)) {
        out += "string " + hex(s->data(), s->size()) + "\n";
    } else if (const long* i = boost::any_cast<long>(&v)) {
        out += "integer " + std::to_string(*i) + "\n";
    } else if (const double* r = boost::any_cast<double>(&v)) {
        std::snprintf(number, sizeof number, "%.17g", *r);
        out += std::string("real ") + number + "\n";
    } else if (const bool* b = boost::any_cast<bool>(&v)) {
        out += *b ? "true\n" : "false\n";
    } else if (const Plist::Date* t = boost::any_cast<Plist::Date>(&v)) {
        out += "date " + std::to_string(t->unixTime()) + "\n";
    } else if (const Plist::Data* data = boost::any_cast<Plist::Data>(&v)) {
        out += "data " + hex(data->data(), data->size()) + "\n";
    } else {
        out += std::string("UNEXPECTED ") + (v.empty() ? "empty" : v.type().name()) + "\n";
    }
}

inline std::string dump(const boost::any& v)
{
    std::string out;
    dumpValue(v, 0, out);
    return out;
}

// Reads a whole property list, either form, from bytes in memory.
inline boost::any readString(const std::string& bytes)
{
    boost::any out;
    Plist::readFromBuffer(bytes.data(), static_cast<int64_t>(bytes.size()), out);
    return out;
}

// The bytes read as `expected` (compared by their dumps); a throw is a
// failure that names its text.
inline void expectReads(const std::string& bytes, const boost::any& expected)
{
    try {
        EXPECT_EQ(dump(readString(bytes)), dump(expected));
    } catch (const std::exception& e) {
        ADD_FAILURE() << "threw " << e.what();
    }
}

// The read of the bytes fails with a Plist::Error of text `message` (with
// `prefixOnly`, a text that begins with it) and leaves the output as it was.
inline void expectReadFails(const std::string& bytes, const std::string& message, bool prefixOnly = false)
{
    boost::any out = std::string("previous");
    try {
        Plist::readFromBuffer(bytes.data(), static_cast<int64_t>(bytes.size()), out);
        ADD_FAILURE() << "no error, read " << dump(out);
    } catch (const Plist::Error& e) {
        const std::string what = e.what();
        EXPECT_EQ(prefixOnly ? what.substr(0, message.size()) : what, message);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "unexpected exception " << e.what();
    }
    EXPECT_EQ(dump(out), dump(std::string("previous")));
}

// How many containers of one element each lead down from v to the first
// value that is not one; that value is left in leaf. A container of any
// other size is a failure.
inline int singleChildDepth(const boost::any& v, const boost::any*& leaf)
{
    leaf = &v;
    int depth = 0;
    for (;;) {
        size_t size = 0;
        if (const Plist::Array* a = boost::any_cast<Plist::Array>(leaf)) {
            size = a->size();
            if (size == 1)
                leaf = &a->front();
        } else if (const Plist::Dictionary* d = boost::any_cast<Plist::Dictionary>(leaf)) {
            size = d->size();
            if (size == 1)
                leaf = &d->begin()->second;
        } else {
            return depth;
        }
        if (size != 1) {
            ADD_FAILURE() << "container of " << size << " at depth " << depth;
            return depth;
        }
        ++depth;
    }
}

// A date at whole Unix seconds.
inline Plist::Date dateAt(int64_t unixSeconds)
{
    Plist::Date d;
    d.setFromReferenceSeconds(static_cast<double>(unixSeconds) - 978307200.0);
    return d;
}

// Short constructors for the expected trees of the reader tests; a test
// brings them in with `using namespace plisttest::values`.
namespace values {

inline boost::any S(const std::string& s) { return s; }
inline boost::any L(long v) { return v; }
inline boost::any R(double v) { return v; }
inline boost::any B(bool v) { return v; }
inline boost::any Bytes(const std::string& s) { return Plist::Data(s.begin(), s.end()); }
inline boost::any T(int64_t unixSeconds) { return dateAt(unixSeconds); }
inline boost::any A(std::initializer_list<boost::any> items) { return Plist::Array(items); }
inline boost::any D(std::initializer_list<std::pair<const std::string, boost::any>> entries)
{
    return Plist::Dictionary(entries);
}

} // namespace values

inline std::string readFile(const std::string& path)
{
    std::string bytes;
    if (!testkit::ReadFile(path, &bytes))
        throw std::runtime_error("cannot open " + path);
    return bytes;
}

inline void writeFile(const std::string& path, const std::string& bytes)
{
    if (!testkit::WriteFile(path, bytes))
        throw std::runtime_error("cannot write " + path);
}

inline std::string bytes(std::initializer_list<int> list)
{
    std::string out;
    for (int b : list)
        out += static_cast<char>(b);
    return out;
}

inline void putBigEndian(std::string& out, uint64_t value, int width)
{
    for (int i = width - 1; i >= 0; --i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A binary property list assembled from raw objects in number order.
struct BinaryBuilder {
    std::vector<std::string> objects;
    int offsetIntSize = 1;
    int objectRefSize = 1;
    uint64_t topObject = 0;

    int add(const std::string& object)
    {
        objects.push_back(object);
        return static_cast<int>(objects.size()) - 1;
    }

    std::string build() const
    {
        std::string out = "bplist00";
        std::vector<uint64_t> offsets;
        for (const std::string& o : objects) {
            offsets.push_back(out.size());
            out += o;
        }
        const uint64_t tableOffset = out.size();
        for (uint64_t o : offsets)
            putBigEndian(out, o, offsetIntSize);
        out.append(6, '\0');
        out += static_cast<char>(offsetIntSize);
        out += static_cast<char>(objectRefSize);
        putBigEndian(out, objects.size(), 8);
        putBigEndian(out, topObject, 8);
        putBigEndian(out, tableOffset, 8);
        return out;
    }
};

// Overwrites a field of the 32-byte trailer at the end of a built file.
inline void patchTrailer(std::string& file, size_t position, uint64_t value, int width)
{
    std::string field;
    putBigEndian(field, value, width);
    file.replace(file.size() - 32 + position, static_cast<size_t>(width), field);
}

} // namespace plisttest

#endif
