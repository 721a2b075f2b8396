#include "plist/Base64_internal.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>

namespace {

std::string decode(const std::string& text)
{
    const Plist::Data data = Plist::dataFromBase64(text.c_str());
    return std::string(data.begin(), data.end());
}

std::string encode(const std::string& bytes)
{
    std::string out;
    Plist::base64Encode(bytes.begin(), bytes.end(), std::back_inserter(out));
    return out;
}

TEST(Base64CharValue, ClassifiesEveryByte)
{
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int c = 0; c < 256; ++c) {
        const size_t index = alphabet.find(static_cast<char>(c));
        int expected = -2;
        if (c == '=')
            expected = -1;
        else if (c != 0 && index != std::string::npos)
            expected = static_cast<int>(index);
        EXPECT_EQ(Plist::base64CharValue(static_cast<char>(c)), expected) << c;
    }
}

TEST(Base64Decode, FollowsTheGroupRules)
{
    const struct {
        const char* text;
        std::string bytes;
    } cases[] = {
        {"YWJj", "abc"},
        {"YWI=", "ab"},
        {"YQ==", "a"},
        {"YW\nJj", "abc"},
        {" \tY W J j \r\n", "abc"},
        {"YWI=YWJj", "ab"},        // the first pad ends everything
        {"YWJjYW", "abc"},         // an unpadded tail yields nothing
        {"YWJjY", "abc"},
        {"YWJjYWJ", "abc"},
        {"=YWJj", ""},
        {"Y=", ""},
        {"YQ=", "a"},
        {"", ""},
        {"\x80\xff YWJj", "abc"}, // bytes from 0x80 up are skipped
        {"AAAA", std::string(3, '\0')},
        {"////", "\xff\xff\xff"},
        {"+/+/", "\xfb\xff\xbf"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decode(c.text), c.bytes) << c.text;
}

std::string ramp(size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; ++i)
        out += static_cast<char>(i);
    return out;
}

// Expected texts: Python's base64.b64encode of the same bytes, cut by hand
// into lines of 72 characters (18 groups), each followed by a line feed.
TEST(Base64Encode, WritesGroupsLinesAndPadding)
{
    const struct {
        std::string bytes;
        std::string text;
    } cases[] = {
        {"", ""},
        {"a", "YQ=="},
        {"ab", "YWI="},
        {"abc", "YWJj"},
        {std::string(3, '\0'), "AAAA"},
        {"\xff\xff\xff", "////"},
        {std::string(54, 'a'), "YWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFh\n"},
        {std::string(55, 'a'), "YWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFh\n"
                               "YQ=="},
        {ramp(108), "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1\n"
                    "Njc4OTo7PD0+P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWpr\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(encode(c.bytes), c.text) << c.bytes.size();
}

TEST(Base64, RoundTripsEveryLength)
{
    std::string bytes;
    for (int n = 0; n < 300; ++n) {
        EXPECT_EQ(decode(encode(bytes)), bytes) << n;
        bytes += static_cast<char>((n * 37 + 11) & 0xFF);
    }
}

} // namespace
