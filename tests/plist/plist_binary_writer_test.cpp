// Binary writer: the exact bytes written for leaves, containers, object
// numbering, reference and offset widths, and the refusals.
#include "plist/Plist.h"
#include "PlistWriterTestUtil.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using writertest::dateAt;

Bytes bytesOf(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

Bytes write(const boost::any& value)
{
    std::vector<char> out;
    Plist::writeBinaryToBuffer(out, value);
    return Bytes(out.begin(), out.end());
}

void appendBE(Bytes& out, uint64_t v, int width)
{
    for (int i = width - 1; i >= 0; --i)
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// A file holding one object at offset 8: header, the object, the one-entry
// offset table (8 in `offsetWidth` bytes) and the trailer. The width is
// checked by hand per case: one byte, two for an object of 256 bytes or
// more, since the object table's size must fit it as well.
Bytes singleObjectFile(const Bytes& object, int offsetWidth)
{
    Bytes file = bytesOf("bplist00");
    file.insert(file.end(), object.begin(), object.end());
    const uint64_t tableOffset = file.size();
    if (offsetWidth == 2)
        file.push_back(0x00);
    file.push_back(0x08);
    const Bytes trailer = {0, 0, 0, 0, 0, 0, static_cast<unsigned char>(offsetWidth), 1,
                           0, 0, 0, 0, 0, 0, 0, 1,
                           0, 0, 0, 0, 0, 0, 0, 0};
    file.insert(file.end(), trailer.begin(), trailer.end());
    appendBE(file, tableOffset, 8);
    return file;
}

Bytes repeat(unsigned char b, size_t n)
{
    return Bytes(n, b);
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct LeafCase {
    const char* name;
    boost::any value;
    Bytes object;
    int offsetWidth = 1;
};

std::ostream& operator<<(std::ostream& os, const LeafCase& c)
{
    return os << c.name;
}

class BinaryLeaf : public ::testing::TestWithParam<LeafCase> {};

TEST_P(BinaryLeaf, WritesExactObject)
{
    EXPECT_EQ(write(GetParam().value), singleObjectFile(GetParam().object, GetParam().offsetWidth));
}

const std::string k14 = "abcdefghijklmn";
const std::string k15 = "abcdefghijklmno";
const std::string k256(256, 'x');

INSTANTIATE_TEST_SUITE_P(
    Golden, BinaryLeaf,
    ::testing::Values(
        LeafCase{"int_zero", 0, {0x10, 0x00}},
        LeafCase{"long_255", 255L, {0x10, 0xFF}},
        LeafCase{"long_256", 256L, {0x11, 0x01, 0x00}},
        LeafCase{"long_65535", 65535L, {0x11, 0xFF, 0xFF}},
        LeafCase{"long_65536", 65536L, {0x12, 0x00, 0x01, 0x00, 0x00}},
        LeafCase{"long_2pow31", 2147483648L, {0x12, 0x80, 0x00, 0x00, 0x00}},
        LeafCase{"long_2pow32", 4294967296L, {0x13, 0, 0, 0, 0x01, 0, 0, 0, 0}},
        LeafCase{"long_max", LONG_MAX, cat({{0x13, 0x7F}, repeat(0xFF, 7)})},
        LeafCase{"long_min", LONG_MIN, cat({{0x13, 0x80}, repeat(0, 7)})},
        LeafCase{"long_minus1", -1L, cat({{0x13}, repeat(0xFF, 8)})},
        LeafCase{"int_minus1", -1, cat({{0x13}, repeat(0xFF, 8)})},
        LeafCase{"short_minus1", static_cast<short>(-1), cat({{0x13}, repeat(0xFF, 8)})},
        LeafCase{"short_300", static_cast<short>(300), {0x11, 0x01, 0x2C}},
        LeafCase{"int_min", INT_MIN, cat({{0x13}, repeat(0xFF, 4), {0x80, 0, 0, 0}})},
        LeafCase{"real_plus_zero", 0.0, {0x22, 0, 0, 0, 0}},
        LeafCase{"real_minus_zero", -0.0, cat({{0x23, 0x80}, repeat(0, 7)})},
        LeafCase{"real_one", 1.0, cat({{0x23, 0x3F, 0xF0}, repeat(0, 6)})},
        LeafCase{"float_one", 1.0f, cat({{0x23, 0x3F, 0xF0}, repeat(0, 6)})},
        LeafCase{"float_half", 0.5f, cat({{0x23, 0x3F, 0xE0}, repeat(0, 6)})},
        LeafCase{"true", true, {0x09}},
        LeafCase{"false", false, {0x08}},
        LeafCase{"date_reference", dateAt(978307200), cat({{0x33}, repeat(0, 8)})},
        LeafCase{"date_plus_one", dateAt(978307201), cat({{0x33, 0x3F, 0xF0}, repeat(0, 6)})},
        LeafCase{"date_epoch", dateAt(0), {0x33, 0xC1, 0xCD, 0x27, 0xE4, 0x40, 0, 0, 0}},
        LeafCase{"string_empty", std::string(), {0x50}},
        LeafCase{"string_14", k14, cat({{0x5E}, bytesOf(k14)})},
        LeafCase{"string_15", k15, cat({{0x5F, 0x10, 0x0F}, bytesOf(k15)})},
        LeafCase{"string_256", k256, cat({{0x5F, 0x11, 0x01, 0x00}, bytesOf(k256)}), 2},
        LeafCase{"string_e_acute_utf16", std::string("\xC3\xA9"), {0x61, 0x00, 0xE9}},
        LeafCase{"string_mixed_utf16", std::string("a\xC3\xA9"), {0x62, 0x00, 0x61, 0x00, 0xE9}},
        LeafCase{"string_euro_utf16", std::string("\xE2\x82\xAC"), {0x61, 0x20, 0xAC}},
        LeafCase{"string_astral_pair", std::string("\xF0\x9F\x98\x80"), {0x62, 0xD8, 0x3D, 0xDE, 0x00}},
        LeafCase{"string_utf16_15_units", std::string("\xC3\xA9") + std::string(14, 'a'),
                 cat({{0x6F, 0x10, 0x0F, 0x00, 0xE9}, [] {
                          Bytes b;
                          for (int i = 0; i < 14; ++i) {
                              b.push_back(0);
                              b.push_back('a');
                          }
                          return b;
                      }()})},
        // Control characters are carried as they are.
        LeafCase{"string_controls", std::string("\x01\x1F\x7F"), {0x53, 0x01, 0x1F, 0x7F}},
        LeafCase{"string_u_ffff_utf16", std::string("\xEF\xBF\xBF"), {0x61, 0xFF, 0xFF}},
        LeafCase{"data_empty", Plist::Data(), {0x40}},
        LeafCase{"data_abc", Plist::Data{'a', 'b', 'c'}, {0x43, 0x61, 0x62, 0x63}},
        LeafCase{"data_15", Plist::Data(15, '\x01'), cat({{0x4F, 0x10, 0x0F}, repeat(0x01, 15)})},
        LeafCase{"array_empty", Plist::Array(), {0xA0}},
        LeafCase{"dict_empty", Plist::Dictionary(), {0xD0}}),
    [](const ::testing::TestParamInfo<LeafCase>& info) { return std::string(info.param.name); });

struct ContainerCase {
    const char* name;
    boost::any value;
    Bytes file;
};

std::ostream& operator<<(std::ostream& os, const ContainerCase& c)
{
    return os << c.name;
}

class BinaryContainer : public ::testing::TestWithParam<ContainerCase> {};

TEST_P(BinaryContainer, WritesExactFile)
{
    EXPECT_EQ(write(GetParam().value), GetParam().file);
}

Plist::Dictionary dictAB()
{
    Plist::Dictionary d;
    d["b"] = 2L;
    d["a"] = 1L;
    return d;
}

Plist::Dictionary nested()
{
    Plist::Dictionary d;
    d["b"] = std::string("x");
    d["a"] = Plist::Array{true, false};
    return d;
}

Plist::Dictionary nonAsciiKey()
{
    Plist::Dictionary d;
    d["\xC3\xA9"] = 1L;
    return d;
}

Bytes trailer(int offsetWidth, int refWidth, uint64_t objects, uint64_t tableOffset)
{
    Bytes t(6, 0);
    t.push_back(static_cast<unsigned char>(offsetWidth));
    t.push_back(static_cast<unsigned char>(refWidth));
    appendBE(t, objects, 8);
    appendBE(t, 0, 8);
    appendBE(t, tableOffset, 8);
    return t;
}

INSTANTIATE_TEST_SUITE_P(
    Golden, BinaryContainer,
    ::testing::Values(
        ContainerCase{"empty_dict_42_bytes", Plist::Dictionary(),
                      {'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xD0, 0x08, 0, 0, 0, 0, 0, 0, 1, 1,
                       0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9}},
        ContainerCase{"dict_a1_b2_58_bytes", dictAB(),
                      cat({bytesOf("bplist00"),
                           {0xD2, 0x01, 0x02, 0x03, 0x04, 0x51, 0x61, 0x51, 0x62, 0x10, 0x01, 0x10, 0x02},
                           {0x08, 0x0D, 0x0F, 0x11, 0x13},
                           trailer(1, 1, 5, 21)})},
        // Pre-order: the dictionary, its keys, then each value followed by
        // its own contents.
        ContainerCase{"nested_preorder", nested(),
                      cat({bytesOf("bplist00"),
                           {0xD2, 0x01, 0x02, 0x03, 0x06, 0x51, 0x61, 0x51, 0x62, 0xA2, 0x04, 0x05,
                            0x09, 0x08, 0x51, 0x78},
                           {0x08, 0x0D, 0x0F, 0x11, 0x14, 0x15, 0x16},
                           trailer(1, 1, 7, 24)})},
        ContainerCase{"non_ascii_key_utf16", nonAsciiKey(),
                      cat({bytesOf("bplist00"), {0xD1, 0x01, 0x02, 0x61, 0x00, 0xE9, 0x10, 0x01},
                           {0x08, 0x0B, 0x0E}, trailer(1, 1, 3, 16)})},
        // The last object starts at 256 while the objects span only 249
        // bytes: the offsets need two bytes each.
        ContainerCase{"offset_width_from_last_offset",
                      Plist::Array{Plist::Data(242, 'd'), true},
                      cat({bytesOf("bplist00"), {0xA2, 0x01, 0x02, 0x4F, 0x10, 0xF2},
                           repeat('d', 242), {0x09},
                           {0x00, 0x08, 0x00, 0x0B, 0x01, 0x00},
                           trailer(2, 1, 3, 257)})}),
    [](const ::testing::TestParamInfo<ContainerCase>& info) { return std::string(info.param.name); });

// Reference width follows the highest object number: 255 fits one byte,
// 256 needs two, 65536 three.
struct WidthCase {
    size_t elements;
    int refWidth;
    int offsetWidth;
};

class BinaryWidths : public ::testing::TestWithParam<WidthCase> {};

TEST_P(BinaryWidths, TrailerAndArrayHeader)
{
    const WidthCase& c = GetParam();
    const Bytes file = write(Plist::Array(c.elements, boost::any(true)));
    ASSERT_GT(file.size(), 40u);
    const Bytes tail(file.end() - 32, file.end());
    EXPECT_EQ(tail[6], c.offsetWidth);
    EXPECT_EQ(tail[7], c.refWidth);
    uint64_t objects = 0;
    for (int i = 8; i < 16; ++i)
        objects = (objects << 8) | tail[i];
    EXPECT_EQ(objects, c.elements + 1);
    // The array object: marker, count, then references 1..n in refWidth bytes.
    size_t pos = 8;
    if (c.elements < 15) {
        EXPECT_EQ(file[pos++], 0xA0 + c.elements);
    } else {
        EXPECT_EQ(file[pos++], 0xAF);
        const int m = file[pos++] & 0x0F;
        uint64_t count = 0;
        for (int i = 0; i < (1 << m); ++i)
            count = (count << 8) | file[pos++];
        EXPECT_EQ(count, c.elements);
    }
    for (size_t k = 1; k <= c.elements; ++k) {
        uint64_t ref = 0;
        for (int i = 0; i < c.refWidth; ++i)
            ref = (ref << 8) | file[pos++];
        ASSERT_EQ(ref, k);
    }
    // Then the elements, one byte each, and the offset table.
    for (size_t k = 1; k <= c.elements; ++k)
        ASSERT_EQ(file[pos++], 0x09);
    EXPECT_EQ(file.size(), pos + (c.elements + 1) * c.offsetWidth + 32);
}

INSTANTIATE_TEST_SUITE_P(Golden, BinaryWidths,
                         ::testing::Values(WidthCase{0, 1, 1}, WidthCase{14, 1, 1},
                                           WidthCase{15, 1, 1}, WidthCase{255, 1, 2},
                                           WidthCase{256, 2, 2}, WidthCase{300, 2, 2},
                                           WidthCase{65535, 2, 3}, WidthCase{65536, 3, 3}));

TEST(BinaryWriter, ArrayOf300BeginsWithWideCount)
{
    const Bytes file = write(Plist::Array(300, boost::any(0L)));
    EXPECT_EQ(Bytes(file.begin() + 8, file.begin() + 12), (Bytes{0xAF, 0x11, 0x01, 0x2C}));
}

using writertest::RefusalCase;

class BinaryRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(BinaryRefusal, ThrowsAndDeliversNothing)
{
    writertest::expectRefusal(Plist::writeBinaryToBuffer, GetParam());
}

Plist::Dictionary dictHolding(const boost::any& v)
{
    Plist::Dictionary d;
    d["a"] = 1L;
    d["z"] = Plist::Array{1L, v};
    return d;
}

Plist::Dictionary twoRefused()
{
    Plist::Dictionary d;
    d["a"] = 5u;
    d["b"] = static_cast<unsigned char>(1);
    return d;
}

Plist::Dictionary keyed(const std::string& key)
{
    Plist::Dictionary d;
    d["a"] = 1L;
    d[key] = 2L;
    return d;
}

using writertest::kNulRefused;
using writertest::kTypeRefused;
using writertest::kUtf8Refused;

INSTANTIATE_TEST_SUITE_P(
    Types, BinaryRefusal,
    ::testing::Values(RefusalCase{"unsigned_int", 5u, kTypeRefused + "j"},
                      RefusalCase{"empty_value", boost::any(), kTypeRefused + "v"},
                      RefusalCase{"long_long", 5LL, kTypeRefused + "x"},
                      RefusalCase{"char_pointer", static_cast<const char*>("x"), kTypeRefused + "PKc"},
                      RefusalCase{"deep_unsigned_char", dictHolding(static_cast<unsigned char>(1)),
                                  kTypeRefused + "h"},
                      RefusalCase{"deep_empty", dictHolding(boost::any()), kTypeRefused + "v"},
                      // Of several, the last in object order is named.
                      RefusalCase{"last_of_two_named", Plist::Array{5u, Plist::Array{true, 5LL}, 1L},
                                  kTypeRefused + "x"},
                      RefusalCase{"last_value_of_dict_named", twoRefused(), kTypeRefused + "h"},
                      RefusalCase{"string_with_nul", std::string("a\0b", 3), kNulRefused},
                      RefusalCase{"string_only_nul", std::string(1, '\0'), kNulRefused},
                      RefusalCase{"deep_string_with_nul", dictHolding(std::string("x\0", 2)), kNulRefused},
                      RefusalCase{"key_with_nul", keyed(std::string("k\0ey", 4)), kNulRefused},
                      // Not UTF-8: no UTF-16 form exists, and other readers
                      // refuse such bytes in a one-byte string.
                      RefusalCase{"truncated_sequence", std::string("\xC3"), kUtf8Refused},
                      RefusalCase{"overlong_nul", std::string("\xC0\x80"), kUtf8Refused},
                      RefusalCase{"encoded_surrogate", std::string("\xED\xA0\x80"), kUtf8Refused},
                      RefusalCase{"above_unicode", std::string("\xF4\x90\x80\x80"), kUtf8Refused},
                      RefusalCase{"lone_continuation_in_second_word", std::string("0123456789\x80"), kUtf8Refused},
                      RefusalCase{"deep_latin2_byte", dictHolding(std::string("Zako\xF1" "cz")), kUtf8Refused},
                      RefusalCase{"key_latin2_byte", keyed(std::string("\xB1")), kUtf8Refused}),
    writertest::refusalName);

} // namespace
