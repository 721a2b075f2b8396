#include "PlistTestUtil.h"
#include "plist/Plist.h"
#include "plist/PlistXml_internal.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <limits>
#include <string>

namespace {

using plisttest::expectReadFails;
using plisttest::expectReads;
using plisttest::readString;
using plisttest::singleChildDepth;
using namespace plisttest::values;

std::string wrap(const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n" +
           body + "\n</plist>\n";
}

struct ValueCase {
    const char* name;
    std::string body;
    boost::any expected;
};

TEST(XmlReader, ReadsValues)
{
    const ValueCase cases[] = {
        {"dict with one integer", "<dict><key>k</key><integer>5</integer></dict>", D({{"k", L(5)}})},
        {"later duplicate key wins", "<dict><key>k</key><integer>1</integer><key>k</key><string>x</string></dict>",
         D({{"k", S("x")}})},
        {"keys are ordered bytewise", "<dict><key>b</key><true/><key>a</key><false/><key>ab</key><true/></dict>",
         D({{"a", B(false)}, {"ab", B(true)}, {"b", B(true)}})},
        {"empty dict", "<dict/>", D({})},
        {"dict holding a line feed", "<dict>\n</dict>", D({})},
        {"array holding blanks", "<array>  \n\t</array>", A({})},
        {"integer 12abc", "<integer>12abc</integer>", L(12)},
        {"empty integer", "<integer/>", L(0)},
        {"integer with blank and sign", "<integer> -7</integer>", L(-7)},
        {"integer 0x10", "<integer>0x10</integer>", L(0)},
        {"integer plus sign", "<integer>+42</integer>", L(42)},
        {"largest integer", "<integer>9223372036854775807</integer>", L(std::numeric_limits<long>::max())},
        {"smallest integer", "<integer>-9223372036854775808</integer>", L(std::numeric_limits<long>::min())},
        {"real 1e3", "<real>1e3</real>", R(1000.0)},
        {"real 1.5", "<real>1.5</real>", R(1.5)},
        {"real with garbage", "<real>2.25xyz</real>", R(2.25)},
        {"empty real", "<real></real>", R(0.0)},
        {"true with text", "<true>no</true>", B(true)},
        {"false with attribute", "<false value=\"1\"/>", B(false)},
        {"empty string", "<string></string>", S("")},
        {"string of blanks", "<string>   </string>", S("   ")},
        {"string with outer blanks", "<string> a </string>", S(" a ")},
        {"entity", "<string>&amp;&lt;&#x105;</string>", S("&<\xc4\x85")},
        {"undeclared entity stays literal", "<string>&bogus;</string>", S("&bogus;")},
        {"cdata", "<string><![CDATA[<b>&amp;</b>]]></string>", S("<b>&amp;</b>")},
        {"comment inside string", "<string>foo<!--c-->bar</string>", S("foobar")},
        {"split cdata", "<string><![CDATA[x]]]]><![CDATA[>y]]></string>", S("x]]>y")},
        {"text then cdata", "<string>ab<![CDATA[cd]]></string>", S("abcd")},
        {"cdata then text", "<string><![CDATA[x]]>tail</string>", S("xtail")},
        {"text, cdata, text", "<string>ab<![CDATA[cd]]>ef<!--c-->gh</string>", S("abcdefgh")},
        {"data split by comment", "<data>YW<!--c-->Jj</data>", Bytes("abc")},
        {"date split by comment", "<date>2001-01-01T<!--c-->00:00:00Z</date>", T(978307200)},
        {"real split by comment", "<real>1.<!--c-->25</real>", R(1.25)},
        {"line ends normalised", "<string>a\r\nb\rc</string>", S("a\nb\nc")},
        {"key with comment", "<dict><key>a<!--x-->b</key><integer>1</integer></dict>", D({{"ab", L(1)}})},
        {"blanks before cdata", "<string>  <![CDATA[x]]></string>", S("  x")},
        {"blanks after cdata", "<string><![CDATA[x]]>  </string>", S("x  ")},
        {"blank between comments", "<string>a<!--x--> <!--y-->b</string>", S("a b")},
        {"blanks around a comment", "<string> <!--x-->\t</string>", S(" \t")},
        {"blanks around an instruction", "<string> <?pi x?> </string>", S("  ")},
        {"blank key beside a comment", "<dict><key> <!--x--> </key><true/></dict>", D({{"  ", B(true)}})},
        {"layout and comments in a dict", "<dict>\n\t<!--c-->\n\t<key>a</key>\n\t<integer>1</integer>\n</dict>",
         D({{"a", L(1)}})},
        {"layout and comments in an array", "<array> <!--c--> <true/> <!--d--> </array>", A({B(true)})},
        {"integer split by comment", "<integer>1<!--x-->2</integer>", L(12)},
        {"data abc", "<data>YWJj</data>", Bytes("abc")},
        {"data ab", "<data>YWI=</data>", Bytes("ab")},
        {"data with line feed", "<data>\n\tYW\n\tJj\n</data>", Bytes("abc")},
        {"data stops at pad", "<data>YWI=YWJj</data>", Bytes("ab")},
        {"data tail dropped", "<data>YWJjYW</data>", Bytes("abc")},
        {"data starting with pad", "<data>=YWJj</data>", Bytes("")},
        {"date", "<date>2001-01-01T00:00:00Z</date>", T(978307200)},
        {"date before 1970", "<date>1969-12-31T23:59:59Z</date>", T(-1)},
        {"top-level array", "<array><string>a</string><integer>1</integer></array>", A({S("a"), L(1)})},
        {"second value ignored", "<string>first</string><string>second</string>", S("first")},
        {"nested", "<dict><key>a</key><array><dict><key>b</key><real>0.5</real></dict><array/></array></dict>",
         D({{"a", A({D({{"b", R(0.5)}}), A({})})}})},
    };
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(c.name);
        expectReads(wrap(c.body), c.expected);
    }
}

struct ErrorCase {
    const char* name;
    std::string document;
    std::string message;
};

TEST(XmlReader, ReportsErrorsWithExactTexts)
{
    const ErrorCase cases[] = {
        {"key last", wrap("<dict><key>k</key></dict>"),
         "Plist: XML dictionary value expected for key kbut not found"},
        {"key key", wrap("<dict><key>k</key><key>j</key><string/></dict>"),
         "Plist: XML dictionary value expected for key kbut found another key node"},
        {"dict starts with a value", wrap("<dict><string>x</string></dict>"),
         "Plist: XML dictionary key expected but not found"},
        {"unknown element", wrap("<bogus/>"), "Plist: XML unknown node type bogus"},
        {"element names are case-sensitive", wrap("<Dict/>"), "Plist: XML unknown node type Dict"},
        {"no plist element", "<?xml version=\"1.0\"?><dict/>", "Plist: XML unknown node type "},
        {"empty plist element", "<plist/>", "Plist: XML unknown node type "},
        {"text where a value is expected", wrap("<array>x</array>"), "Plist: XML unknown node type "},
        {"text as the top value", "<plist>hello</plist>", "Plist: XML unknown node type "},
        {"text before the top value", "<plist>hello<true/></plist>", "Plist: XML unknown node type "},
        {"text first in an array", wrap("<array>x<true/></array>"), "Plist: XML unknown node type "},
        {"text last in an array", wrap("<array><true/>x</array>"), "Plist: XML unknown node type "},
        {"text first in a dict", wrap("<dict>x<key>k</key><true/></dict>"),
         "Plist: XML dictionary key expected but not found"},
        {"text after a dict value", wrap("<dict><key>k</key><true/>x</dict>"),
         "Plist: XML dictionary key expected but not found"},
        {"integer overflow", wrap("<integer>9223372036854775808</integer>"),
         "Plist: XML integer out of range 9223372036854775808"},
        {"negative integer overflow", wrap("<integer>-9223372036854775809</integer>"),
         "Plist: XML integer out of range -9223372036854775809"},
        {"huge integer", wrap("<integer>123456789012345678901234567890</integer>"),
         "Plist: XML integer out of range 123456789012345678901234567890"},
        {"incomplete date", wrap("<date>2001-01-01</date>"), "Plist::Date::set() date invalid"},
        {"empty date", wrap("<date/>"), "Plist::Date::set() date invalid"},
        {"date year out of range", wrap("<date>-001-01-01T00:00:00Z</date>"), "Plist::Date::set() date invalid"},
        {"not well formed", "<plist><dict></plist>", "Plist: XML parsed with error Start-end tags mismatch"},
        {"not XML", "hello", "Plist: XML parsed with error No document element found"},
        {"unclosed", "<plist><string>a", "Plist: XML parsed with error Start-end tags mismatch"},
        {"bplist01 is XML", "bplist01" + std::string(40, '\0'), "Plist: XML parsed with error"},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.name);
        // The parser's own description is compared only as far as given.
        expectReadFails(c.document, c.message, c.message.rfind("Plist: XML parsed with error", 0) == 0);
    }
}

std::string nested(const char* open, const char* close, int levels, const char* inner)
{
    std::string s;
    for (int i = 0; i < levels; ++i)
        s += open;
    s += inner;
    for (int i = 0; i < levels; ++i)
        s += close;
    return s;
}

TEST(XmlReader, NestingStopsAt512Levels)
{
    const struct {
        const char* open;
        const char* close;
    } kinds[] = {{"<array>", "</array>"}, {"<dict><key>k</key>", "</dict>"}};
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.open);
        boost::any out;
        const std::string ok = wrap(nested(kind.open, kind.close, 512, "<true/>"));
        ASSERT_NO_THROW(Plist::readFromBuffer(ok.data(), static_cast<int64_t>(ok.size()), out));
        // Walk down: exactly 512 containers, then the boolean.
        const boost::any* leaf = nullptr;
        EXPECT_EQ(singleChildDepth(out, leaf), 512);
        EXPECT_TRUE(boost::any_cast<bool>(*leaf));
        for (int levels : {513, 100000}) {
            const std::string deep = wrap(nested(kind.open, kind.close, levels, "<true/>"));
            try {
                Plist::readFromBuffer(deep.data(), static_cast<int64_t>(deep.size()), out);
                ADD_FAILURE() << levels << " levels accepted";
            } catch (const Plist::Error& e) {
                EXPECT_STREQ(e.what(), "Plist: XML nesting deeper than 512 levels");
            }
        }
    }
}

// A desktop with a Polish locale writes "1,5"; property lists never do.
TEST(XmlReader, NumbersIgnoreTheProcessLocale)
{
    const std::string localeDir = VD_PLIST_SCRATCH "/locale";
    const std::string command = "mkdir -p '" + localeDir + "' && localedef -i pl_PL -f UTF-8 '" + localeDir +
                                "/pl_PL.UTF-8' >/dev/null 2>&1";
    if (std::setlocale(LC_NUMERIC, "pl_PL.UTF-8") == nullptr) {
        (void)std::system(command.c_str());
        setenv("LOCPATH", localeDir.c_str(), 1);
    }
    const char* set = std::setlocale(LC_ALL, "pl_PL.UTF-8");
    ASSERT_NE(set, nullptr) << "could not build a Polish locale with localedef";
    ASSERT_EQ(std::atof("1,5"), 1.5) << "the locale does not use a decimal comma";

    const struct {
        const char* body;
        double expected;
    } cases[] = {
        {"<real>1.5</real>", 1.5}, {"<real>-0.25e2</real>", -25.0}, {"<real>1,5</real>", 1.0},
        {"<real>3.14159</real>", 3.14159},
    };
    for (const auto& c : cases)
        EXPECT_EQ(boost::any_cast<double>(readString(wrap(c.body))), c.expected) << c.body;
    EXPECT_EQ(boost::any_cast<long>(readString(wrap("<integer>1234567</integer>"))), 1234567);
    std::setlocale(LC_ALL, "C");
}

TEST(XmlReader, ReadsOtherEncodings)
{
    // UTF-16LE with a byte-order mark.
    const std::string utf8 = "<plist><string>\xc5\xbc\xc3\xb3\xc5\x82w</string></plist>";
    std::string utf16 = "\xff\xfe";
    const char16_t text[] = u"<plist><string>\u017c\u00f3\u0142w</string></plist>";
    for (const char16_t* p = text; *p; ++p) {
        utf16 += static_cast<char>(*p & 0xFF);
        utf16 += static_cast<char>(*p >> 8);
    }
    EXPECT_EQ(boost::any_cast<std::string>(readString(utf16)), "\xc5\xbc\xc3\xb3\xc5\x82w");
    EXPECT_EQ(boost::any_cast<std::string>(readString(utf8)), "\xc5\xbc\xc3\xb3\xc5\x82w");

    // Blanks beside a comment belong to the text in every encoding.
    std::string blanks16 = "\xff\xfe";
    for (const char* p = "<plist><string> <!--x--> a</string></plist>"; *p; ++p) {
        blanks16 += *p;
        blanks16 += '\0';
    }
    EXPECT_EQ(boost::any_cast<std::string>(readString(blanks16)), "  a");
}

TEST(XmlReader, ParsesIntegersLikeAtollWithinRange)
{
    const struct {
        const char* text;
        long expected;
    } cases[] = {
        {"", 0}, {"abc", 0}, {"-", 0}, {"+", 0}, {" \t\n\v\f\r5", 5}, {"007", 7}, {"-0", 0},
        {"1 2", 1}, {"--1", 0}, {"922337203685477580", 922337203685477580L},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Plist::parseXmlInteger(c.text), c.expected) << c.text;
}

} // namespace
