// Write, read back with our own readers, compare: generated trees with a
// fixed seed in both formats, the nesting limit, and trees large enough to
// need three-byte references and offsets.
#include "plist/Plist.h"
#include "PlistWriterTestUtil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using writertest::canonical;
using writertest::readBack;

enum class Format { Xml, Binary };

std::vector<char> write(Format f, const boost::any& value)
{
    std::vector<char> out;
    if (f == Format::Xml)
        Plist::writeXmlToBuffer(out, value);
    else
        Plist::writeBinaryToBuffer(out, value);
    return out;
}

const char* nameOf(Format f)
{
    return f == Format::Xml ? "Xml" : "Binary";
}

struct TreeCase {
    Format format;
    uint64_t seed;
    int trees;
    writertest::TreeOptions options;
};

std::ostream& operator<<(std::ostream& os, const TreeCase& c)
{
    return os << nameOf(c.format) << " seed " << c.seed;
}

class RoundTrip : public ::testing::TestWithParam<TreeCase> {};

TEST_P(RoundTrip, GeneratedTreesReadBackEqual)
{
    const TreeCase& c = GetParam();
    writertest::TreeGenerator gen(c.seed, c.options);
    for (int i = 0; i < c.trees; ++i) {
        const boost::any tree = gen.tree();
        const std::string expected = canonical(tree);
        const std::vector<char> bytes = write(c.format, tree);
        boost::any back;
        ASSERT_NO_THROW(back = readBack(bytes)) << "tree " << i << ": " << expected;
        ASSERT_EQ(canonical(back), expected) << "tree " << i;
    }
}

writertest::TreeOptions wideOptions()
{
    writertest::TreeOptions o;
    o.maxDepth = 3;
    o.maxChildren = 100; // beyond the size at which XML output is written in slices
    return o;
}

INSTANTIATE_TEST_SUITE_P(
    Seeded, RoundTrip,
    ::testing::Values(TreeCase{Format::Xml, 0x5eed0001, 2500, writertest::TreeOptions()},
                      TreeCase{Format::Binary, 0x5eed0001, 2500, writertest::TreeOptions()},
                      TreeCase{Format::Xml, 0x5eed0002, 40, wideOptions()},
                      TreeCase{Format::Binary, 0x5eed0002, 40, wideOptions()}),
    [](const ::testing::TestParamInfo<TreeCase>& info) {
        return std::string(nameOf(info.param.format)) + "_" + std::to_string(info.index);
    });

// Containers nested `levels` deep, alternating arrays and dictionaries,
// with a leaf at the bottom.
boost::any nestedTree(int levels)
{
    boost::any v = std::string("bottom");
    for (int i = 0; i < levels; ++i) {
        if (i % 2) {
            Plist::Dictionary d;
            d["k"] = std::move(v);
            v = std::move(d);
        } else {
            Plist::Array a;
            a.push_back(std::move(v));
            v = std::move(a);
        }
    }
    return v;
}

struct DepthCase {
    Format format;
    int levels;
    bool accepted;
};

std::ostream& operator<<(std::ostream& os, const DepthCase& c)
{
    return os << nameOf(c.format) << " " << c.levels << " levels";
}

class Depth : public ::testing::TestWithParam<DepthCase> {};

TEST_P(Depth, LimitMatchesTheReaders)
{
    const DepthCase& c = GetParam();
    const boost::any tree = nestedTree(c.levels);
    std::vector<char> out{'x'};
    if (c.accepted) {
        ASSERT_NO_THROW(out = write(c.format, tree));
        EXPECT_EQ(canonical(readBack(out)), canonical(tree));
    } else {
        try {
            out = write(c.format, tree);
            FAIL() << "no exception";
        } catch (const Plist::Error& e) {
            EXPECT_EQ(std::string(e.what()),
                      "Plist Error: Can't serialize containers nested deeper than 512 levels");
        }
        EXPECT_EQ(out, std::vector<char>{'x'});
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, Depth,
                         ::testing::Values(DepthCase{Format::Xml, 512, true},
                                           DepthCase{Format::Xml, 513, false},
                                           DepthCase{Format::Xml, 5000, false},
                                           DepthCase{Format::Binary, 512, true},
                                           DepthCase{Format::Binary, 513, false},
                                           DepthCase{Format::Binary, 5000, false}));

// Over 65536 objects and 2^16 bytes: three-byte references and offsets.
TEST(RoundTripLarge, WideReferencesAndOffsets)
{
    writertest::TreeGenerator gen(77, writertest::TreeOptions());
    Plist::Array items;
    for (int i = 0; i < 70000; ++i)
        items.push_back(i % 7 ? boost::any(gen.text()) : boost::any(static_cast<long>(i) * 1000003));
    Plist::Dictionary top;
    top["items"] = items;
    top["\xC5\x81\xC3\xB3\x64\xC5\xBA"] = Plist::Data(100000, '\x5A');
    const boost::any tree = top;
    const std::vector<char> binary = write(Format::Binary, tree);
    const unsigned char* trailer = reinterpret_cast<const unsigned char*>(binary.data()) + binary.size() - 32;
    EXPECT_EQ(trailer[6], 3);
    EXPECT_EQ(trailer[7], 3);
    EXPECT_EQ(canonical(readBack(binary)), canonical(tree));
}

} // namespace
