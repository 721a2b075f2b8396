#include "plist/Base64.h"

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
        {std::string(54, 'a'), std::string(72, 'x') + "\n"},
        {std::string(55, 'a'), std::string(72, 'x') + "\n" + "YQ=="},
        {std::string(108, 'a'), std::string(72, 'x') + "\n" + std::string(72, 'x') + "\n"},
    };
    for (const auto& c : cases) {
        const std::string text = encode(c.bytes);
        if (c.bytes.size() >= 54) {
            // "aaa" encodes as "YWFh"; check the layout, then the text.
            std::string expected;
            for (char ch : c.text)
                expected += ch;
            std::string pattern;
            size_t groups = c.bytes.size() / 3;
            for (size_t g = 0; g < groups; ++g) {
                pattern += "YWFh";
                if ((g + 1) % 18 == 0)
                    pattern += "\n";
            }
            if (c.bytes.size() % 3 == 1)
                pattern += "YQ==";
            EXPECT_EQ(text, pattern) << c.bytes.size();
            EXPECT_EQ(text.size(), expected.size());
        } else {
            EXPECT_EQ(text, c.text);
        }
    }
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
