// Shared by the writer tests: a canonical text of a value tree (the same
// form the Python helper prints), a seeded generator of random trees, the
// refusal check both writers share; hex, dates and file access come from
// PlistTestUtil.h.
#ifndef VD_TESTS_PLIST_TEST_WRITER_SUPPORT_H
#define VD_TESTS_PLIST_TEST_WRITER_SUPPORT_H

#include "PlistTestUtil.h"
#include "plist/Plist.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

namespace writertest {

using plisttest::dateAt;
using plisttest::readFile;
using plisttest::writeFile;

inline std::string hexOf(const void* data, size_t size)
{
    return plisttest::hex(static_cast<const char*>(data), size);
}

// Canonical text of a tree as a reader hands it back: int and short count
// as integers, float as a double, a real by its exact bits (every NaN as
// one text), a date by its Unix seconds.
inline std::string canonical(const boost::any& v)
{
    const std::type_info& t = v.type();
    if (t == typeid(Plist::Dictionary)) {
        std::string out = "{";
        for (const auto& e : boost::any_cast<const Plist::Dictionary&>(v))
            out += hexOf(e.first.data(), e.first.size()) + ":" + canonical(e.second) + ",";
        return out + "}";
    }
    if (t == typeid(Plist::Array)) {
        std::string out = "[";
        for (const auto& e : boost::any_cast<const Plist::Array&>(v))
            out += canonical(e) + ",";
        return out + "]";
    }
    if (t == typeid(std::string)) {
        const std::string& s = boost::any_cast<const std::string&>(v);
        return "s" + hexOf(s.data(), s.size());
    }
    if (t == typeid(long))
        return "i" + std::to_string(boost::any_cast<long>(v));
    if (t == typeid(int))
        return "i" + std::to_string(boost::any_cast<int>(v));
    if (t == typeid(short))
        return "i" + std::to_string(boost::any_cast<short>(v));
    if (t == typeid(double) || t == typeid(float)) {
        double d = t == typeid(double) ? boost::any_cast<double>(v) : boost::any_cast<float>(v);
        if (std::isnan(d))
            return "rnan";
        unsigned char be[8];
        uint64_t bits;
        std::memcpy(&bits, &d, 8);
        for (int i = 0; i < 8; ++i)
            be[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
        return "r" + hexOf(be, 8);
    }
    if (t == typeid(bool))
        return boost::any_cast<bool>(v) ? "T" : "F";
    if (t == typeid(Plist::Date))
        return "d" + std::to_string(boost::any_cast<Plist::Date>(v).unixTime());
    if (t == typeid(Plist::Data)) {
        const Plist::Data& d = boost::any_cast<const Plist::Data&>(v);
        return "b" + hexOf(d.data(), d.size());
    }
    return std::string("?") + t.name();
}

// What the generator may put into strings and keys.
struct TreeOptions {
    bool specialReals = true;    // NaN, infinities, -0.0
    bool narrowTypes = true;     // int, short, float besides long, double
    int maxDepth = 5;
    int maxChildren = 6;
};

class TreeGenerator {
public:
    TreeGenerator(uint64_t seed, TreeOptions options) : rng_(seed), opt_(options) {}

    // The top is always a container, so that every tree has structure.
    boost::any tree() { return value(0, true); }

    std::string text()
    {
        static const char* const pieces[] = {
            "a", "b", "Z", "0", "9", " ", "\t", "\n", "&", "<", ">", "\"", "'", "]]>",
            "key", "Vantrelon", "\xC3\xA9", "\xC5\x81", "\xC4\x85", "\xE4\xB8\xAD",
            "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "=", "+", "/", "~", "\x7F"};
        const int n = pick(0, 20);
        std::string s;
        for (int i = 0; i < n; ++i)
            s += pieces[pick(0, static_cast<int>(std::size(pieces)) - 1)];
        return s;
    }

private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

    long integer()
    {
        static const long edges[] = {0, 1, -1, 14, 15, 255, 256, 65535, 65536, 0x7FFFFFFFL,
                                     0xFFFFFFFFL, 0x100000000L, INT64_MAX, INT64_MIN};
        if (pick(0, 3) == 0)
            return edges[pick(0, static_cast<int>(std::size(edges)) - 1)];
        const int bits = pick(1, 63);
        long v = static_cast<long>(rng_() >> (64 - bits));
        return pick(0, 1) ? v : -v;
    }

    double real()
    {
        if (opt_.specialReals && pick(0, 15) == 0) {
            static const double specials[] = {NAN, INFINITY, -INFINITY, -0.0, 0.0,
                                              5e-324, 1.7976931348623157e308};
            return specials[pick(0, static_cast<int>(std::size(specials)) - 1)];
        }
        switch (pick(0, 2)) {
        case 0:
            return pick(-1000, 1000) / 8.0;
        case 1:
            return std::uniform_real_distribution<double>(-1e6, 1e6)(rng_);
        default: {
            uint64_t bits = rng_();
            double d;
            std::memcpy(&d, &bits, 8);
            return std::isfinite(d) ? d : 1.5;
        }
        }
    }

    float floatValue()
    {
        if (pick(0, 1))
            return static_cast<float>(pick(-1000, 1000)) / 16.0f;
        uint32_t bits = static_cast<uint32_t>(rng_());
        float f;
        std::memcpy(&f, &bits, 4);
        return std::isfinite(f) ? f : 0.1f;
    }

    boost::any value(int depth, bool container = false)
    {
        const int kind = container ? pick(0, 1) : pick(depth >= opt_.maxDepth ? 2 : 0, depth < 2 ? 6 : 11);
        switch (kind) {
        case 0: {
            Plist::Dictionary d;
            const int n = pick(0, opt_.maxChildren);
            for (int i = 0; i < n; ++i)
                d[text()] = value(depth + 1);
            return d;
        }
        case 1: {
            Plist::Array a;
            const int n = pick(0, opt_.maxChildren);
            for (int i = 0; i < n; ++i)
                a.push_back(value(depth + 1));
            return a;
        }
        case 2:
            return text();
        case 3:
            if (opt_.narrowTypes && pick(0, 3) == 0)
                return pick(0, 1) ? boost::any(static_cast<int>(integer() >> 32))
                                  : boost::any(static_cast<short>(pick(-32768, 32767)));
            return integer();
        case 4:
            if (opt_.narrowTypes && pick(0, 3) == 0)
                return floatValue();
            return real();
        case 5:
            return pick(0, 1) == 1;
        case 6:
            // 1900 to 2200, whole seconds.
            return dateAt(std::uniform_int_distribution<int64_t>(-2208988800LL, 7258118400LL)(rng_));
        case 7: {
            Plist::Data d(static_cast<size_t>(pick(0, pick(0, 1) ? 20 : 200)));
            for (char& c : d)
                c = static_cast<char>(pick(0, 255));
            return d;
        }
        default:
            return pick(0, 1) ? boost::any(text()) : boost::any(integer());
        }
    }

    std::mt19937_64 rng_;
    TreeOptions opt_;
};

inline boost::any readBack(const std::vector<char>& bytes)
{
    boost::any out;
    Plist::readFromBuffer(bytes.data(), static_cast<int64_t>(bytes.size()), out);
    return out;
}

// A value a writer must refuse, and the text of the error it must throw.
struct RefusalCase {
    const char* name;
    boost::any value;
    std::string message;
};

inline std::ostream& operator<<(std::ostream& os, const RefusalCase& c)
{
    return os << c.name;
}

inline std::string refusalName(const ::testing::TestParamInfo<RefusalCase>& info)
{
    return info.param.name;
}

inline const std::string kTypeRefused = "Plist Error: Can't serialize type ";
inline const std::string kNulRefused = "Plist Error: Can't serialize a string or key holding a NUL byte";
inline const std::string kUtf8Refused = "Plist Error: Can't serialize a string or key that is not valid UTF-8";
inline const std::string kXmlCharRefused =
    "Plist Error: Can't serialize a string or key holding a character XML does not allow";

// The writer throws the expected text and leaves the caller's buffer as it
// was: a refused tree delivers nothing, not even a part.
inline void expectRefusal(void (*write)(std::vector<char>&, const boost::any&), const RefusalCase& c)
{
    std::vector<char> buffer{'k', 'e', 'e', 'p'};
    try {
        write(buffer, c.value);
        FAIL() << "no exception";
    } catch (const Plist::Error& e) {
        EXPECT_EQ(std::string(e.what()), c.message);
    }
    EXPECT_EQ(buffer, (std::vector<char>{'k', 'e', 'e', 'p'}));
}

} // namespace writertest

#endif
