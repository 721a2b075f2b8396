// Text formatters of the report.
#include "app/ReportFormat.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string Bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

// A 32-byte ATR and a 20-byte key identifier, with no two neighbours alike.
const std::string kAtr32("\x3B\xDF\x96\x00\x80\xB1\xFE\x45\x1F\x83\x00\x31\xC0\x64\x1A\x18"
                         "\x01\x00\x0F\x90\x00\x52\x77\xAC\x5E\x6D\x21\x39\x4A\x8B\xC2\xF7",
                         32);
const std::string kId20("\x01\x23\x45\x67\x89\xAB\xCD\xEF\xFE\xDC\xBA\x98\x76\x54\x32\x10\x0F\x1E\x2D\x3C",
                        20);

struct HexCase {
    const char* name;
    std::string data;
    int length;
    unsigned perLine;
    const char* separator;
    std::string expected;
};

class FormatHexCases : public ::testing::TestWithParam<HexCase> {};

TEST_P(FormatHexCases, MatchesTheLayoutRules)
{
    const HexCase& c = GetParam();
    EXPECT_EQ(std::string(FormatHex(c.data.data(), c.length, c.perLine, c.separator)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, FormatHexCases,
    ::testing::Values(
        HexCase{"three_atr_bytes", Bytes({0x3B, 0x8F, 0x80}), 3, 32, ":", "3B:8F:80"},
        HexCase{"atr_of_32_ends_with_line_feed", kAtr32, 32, 32, ":",
                "3B:DF:96:00:80:B1:FE:45:1F:83:00:31:C0:64:1A:18:"
                "01:00:0F:90:00:52:77:AC:5E:6D:21:39:4A:8B:C2:F7\n"},
        HexCase{"atr_of_31_has_no_line_feed", kAtr32.substr(0, 31), 31, 32, ":",
                "3B:DF:96:00:80:B1:FE:45:1F:83:00:31:C0:64:1A:18:"
                "01:00:0F:90:00:52:77:AC:5E:6D:21:39:4A:8B:C2"},
        HexCase{"one_byte_one_per_line", Bytes({0x0A}), 1, 1, ":", "0A"},
        HexCase{"one_per_line_first_gets_separator", Bytes({0x01, 0x02, 0x03}), 3, 1, ":", "01:02\n03\n"},
        HexCase{"identifier_of_20", kId20, 20, 20, "", "0123456789ABCDEFFEDCBA98765432100F1E2D3C\n"},
        HexCase{"upper_case_nibbles", Bytes({0xAB, 0xCD, 0xEF, 0x00}), 4, 32, "", "ABCDEF00"},
        HexCase{"zero_length_is_empty", Bytes({0x11}), 0, 32, ":", ""},
        HexCase{"negative_length_is_empty", Bytes({0x11}), -5, 32, ":", ""},
        HexCase{"zero_per_line_never_breaks", Bytes({0x01, 0x02, 0x03}), 3, 0, "-", "01-02-03"},
        HexCase{"multi_char_separator", Bytes({0x01, 0x02}), 2, 32, ", ", "01, 02"}),
    [](const ::testing::TestParamInfo<HexCase>& info) { return std::string(info.param.name); });

TEST(FormatHexBounds, LongInputStaysInsideTheBufferInWholeBytes)
{
    const std::string data(5000, '\x5A');
    const char* out = FormatHex(data.data(), static_cast<int>(data.size()), 0, ":");
    const size_t length = strlen(out);
    EXPECT_LT(length, 4096u);
    EXPECT_GT(length, 4000u);
    // Whole "5A:" units only: a cut never leaves half a byte.
    EXPECT_EQ(length % 3, 2u);
    EXPECT_EQ(std::string(out, 2), "5A");
    // A following short call starts from a cleared buffer.
    EXPECT_STREQ(FormatHex("\x01", 1, 32, ":"), "01");
}

struct GroupCase {
    const char* name;
    std::string text;
    std::string expected;
};

class GroupDigitsCases : public ::testing::TestWithParam<GroupCase> {};

TEST_P(GroupDigitsCases, GroupsOfFour)
{
    EXPECT_EQ(std::string(GroupDigitsBy4(GetParam().text.c_str())), GetParam().expected);
}

// The numbers 1 to count, each in four digits: "000100020003...".
std::string Numbered(int count)
{
    std::string out;
    char group[16];
    for (int i = 1; i <= count; ++i) {
        snprintf(group, sizeof group, "%04d", i);
        out += group;
    }
    return out;
}

// The grouping of Numbered(100): a line feed after the 100th group.
const char kHundredGroups[] =
    "0001 0002 0003 0004 0005 0006 0007 0008 0009 0010 0011 0012 0013 0014 0015 0016 0017 0018 0019 0020 "
    "0021 0022 0023 0024 0025 0026 0027 0028 0029 0030 0031 0032 0033 0034 0035 0036 0037 0038 0039 0040 "
    "0041 0042 0043 0044 0045 0046 0047 0048 0049 0050 0051 0052 0053 0054 0055 0056 0057 0058 0059 0060 "
    "0061 0062 0063 0064 0065 0066 0067 0068 0069 0070 0071 0072 0073 0074 0075 0076 0077 0078 0079 0080 "
    "0081 0082 0083 0084 0085 0086 0087 0088 0089 0090 0091 0092 0093 0094 0095 0096 0097 0098 0099 0100\n";

INSTANTIATE_TEST_SUITE_P(
    Texts, GroupDigitsCases,
    ::testing::Values(GroupCase{"sixteen", "ABCDEFGHIJKLMNOP", "ABCD EFGH IJKL MNOP"},
                      GroupCase{"six_drops_tail", "ABCDEF", "ABCD"},
                      GroupCase{"three_is_empty", "ABC", ""},
                      GroupCase{"empty", "", ""},
                      GroupCase{"card_number", "1234567890123456", "1234 5678 9012 3456"},
                      GroupCase{"four_hundred", Numbered(100), kHundredGroups},
                      GroupCase{"hundred_and_one", Numbered(101), std::string(kHundredGroups) + "0101"},
                      GroupCase{"hundred_and_two", Numbered(102), std::string(kHundredGroups) + "0101 0102"}),
    [](const ::testing::TestParamInfo<GroupCase>& info) { return std::string(info.param.name); });

TEST(GroupDigitsBounds, LongInputStaysInsideTheBuffer)
{
    const std::string text(20000, '7');
    const char* out = GroupDigitsBy4(text.c_str());
    const size_t length = strlen(out);
    EXPECT_LT(length, 4096u);
    EXPECT_EQ(length % 5, 4u);  // whole groups with their separators
    EXPECT_STREQ(GroupDigitsBy4(nullptr), "");
}

struct VersionBlockCase {
    const char* name;
    std::string output;
    std::string expected;
};

class DaemonVersionBlock : public ::testing::TestWithParam<VersionBlockCase> {};

TEST_P(DaemonVersionBlock, TwoBlanksBeforeAndAfterEveryLine)
{
    EXPECT_EQ(FormatDaemonVersion(GetParam().output), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, DaemonVersionBlock,
    ::testing::Values(VersionBlockCase{"prints_nothing", "", "  "},
                      VersionBlockCase{"one_line", "pcsc-lite version 1.9.9.\n", "  pcsc-lite version 1.9.9.\n  "},
                      VersionBlockCase{"two_lines", "a\nb\n", "  a\n  b\n  "},
                      VersionBlockCase{"last_line_unterminated", "a\nb", "  a\n  b  "},
                      VersionBlockCase{"empty_lines_kept", "\n\n", "  \n  \n  "},
                      VersionBlockCase{"long_line_whole", std::string(20000, 'v') + "\n",
                                       "  " + std::string(20000, 'v') + "\n  "}),
    [](const ::testing::TestParamInfo<VersionBlockCase>& info) { return std::string(info.param.name); });

} // namespace
