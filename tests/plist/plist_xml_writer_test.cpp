// XML writer: the document frame, the text of every kind of value, number
// texts independent of the locale, and the refusals.
#include "plist/Plist.h"
#include "PlistWriterTestUtil.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <climits>
#include <cmath>
#include <locale>
#include <sstream>
#include <string>
#include <vector>

namespace {

using writertest::dateAt;

const std::string kHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

std::string write(const boost::any& value)
{
    std::vector<char> out;
    Plist::writeXmlToBuffer(out, value);
    return std::string(out.begin(), out.end());
}

TEST(XmlWriter, WholeDocumentWithSortedKeysAndTabIndent)
{
    Plist::Dictionary d;
    d["b"] = true;
    d["a"] = Plist::Array{1L, std::string("x"), Plist::Array(), Plist::Dictionary()};
    d["Z"] = Plist::Data{'a', 'b', 'c'};
    EXPECT_EQ(write(d), kHead +
                            "\t<dict>\n"
                            "\t\t<key>Z</key>\n"
                            "\t\t<data>YWJj</data>\n"
                            "\t\t<key>a</key>\n"
                            "\t\t<array>\n"
                            "\t\t\t<integer>1</integer>\n"
                            "\t\t\t<string>x</string>\n"
                            "\t\t\t<array />\n"
                            "\t\t\t<dict />\n"
                            "\t\t</array>\n"
                            "\t\t<key>b</key>\n"
                            "\t\t<true />\n"
                            "\t</dict>\n"
                            "</plist>\n");
}

// Reference rendering: the whole tree as one pugixml document, saved at
// once. Covers the kinds the sliced-output test uses.
void appendReference(pugi::xml_node parent, const boost::any& v)
{
    if (const Plist::Dictionary* d = boost::any_cast<Plist::Dictionary>(&v)) {
        pugi::xml_node e = parent.append_child("dict");
        for (const auto& entry : *d) {
            e.append_child("key").append_child(pugi::node_pcdata).set_value(entry.first.c_str());
            appendReference(e, entry.second);
        }
    } else if (const Plist::Array* a = boost::any_cast<Plist::Array>(&v)) {
        pugi::xml_node e = parent.append_child("array");
        for (const auto& item : *a)
            appendReference(e, item);
    } else if (const std::string* s = boost::any_cast<std::string>(&v)) {
        parent.append_child("string").append_child(pugi::node_pcdata).set_value(s->c_str());
    } else if (const long* i = boost::any_cast<long>(&v)) {
        parent.append_child("integer").append_child(pugi::node_pcdata).set_value(std::to_string(*i).c_str());
    } else {
        parent.append_child(boost::any_cast<bool>(v) ? "true" : "false");
    }
}

std::string referenceText(const boost::any& top)
{
    pugi::xml_document doc;
    pugi::xml_node decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "UTF-8";
    doc.append_child(pugi::node_doctype)
        .set_value("plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                   "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\"");
    pugi::xml_node plist = doc.append_child("plist");
    plist.append_attribute("version") = "1.0";
    appendReference(plist, top);
    std::ostringstream out;
    doc.save(out, "\t", pugi::format_indent, pugi::encoding_auto);
    return out.str();
}

// Containers of every size around the point where output is written in
// slices, nested in each other, at the top and below.
TEST(XmlWriter, LargeContainersGiveTheWholeDocumentText)
{
    auto leaves = [](size_t n, const std::string& tag) {
        Plist::Array a;
        for (size_t i = 0; i < n; ++i)
            a.push_back(i % 3 == 0 ? boost::any(tag + "<&>" + std::to_string(i))
                                   : i % 3 == 1 ? boost::any(static_cast<long>(i)) : boost::any(i % 2 == 0));
        return a;
    };
    auto dictOf = [](const Plist::Array& items) {
        Plist::Dictionary d;
        for (size_t i = 0; i < items.size(); ++i)
            d["k&" + std::to_string(i)] = items[i];
        return d;
    };
    for (size_t n : {0, 1, 63, 64, 65, 300, 1000}) {
        Plist::Array top = leaves(n, "a");
        if (n > 2) {
            top[1] = dictOf(leaves(n, "b"));
            Plist::Array inner = leaves(n / 2, "c");
            inner.push_back(dictOf(leaves(70, "d")));
            inner.push_back(Plist::Array{Plist::Array{leaves(100, "e")}});
            top[n - 1] = inner;
        }
        EXPECT_EQ(write(top), referenceText(top)) << n;
        const boost::any asDict = dictOf(top);
        EXPECT_EQ(write(asDict), referenceText(asDict)) << n;
    }
}

struct LeafCase {
    const char* name;
    boost::any value;
    std::string element;
};

std::ostream& operator<<(std::ostream& os, const LeafCase& c)
{
    return os << c.name;
}

class XmlLeaf : public ::testing::TestWithParam<LeafCase> {};

TEST_P(XmlLeaf, WritesElement)
{
    EXPECT_EQ(write(GetParam().value), kHead + "\t" + GetParam().element + "\n</plist>\n");
}

std::string base64Of54()
{
    // 54 zero bytes: 72 "A" and a line feed.
    return std::string(72, 'A') + "\n";
}

INSTANTIATE_TEST_SUITE_P(
    Golden, XmlLeaf,
    ::testing::Values(
        LeafCase{"short_minus5", static_cast<short>(-5), "<integer>-5</integer>"},
        LeafCase{"int_7", 7, "<integer>7</integer>"},
        LeafCase{"long_max", LONG_MAX, "<integer>9223372036854775807</integer>"},
        LeafCase{"long_min", LONG_MIN, "<integer>-9223372036854775808</integer>"},
        LeafCase{"long_million", 1000000L, "<integer>1000000</integer>"},
        // Reals: the shortest text that reads back to the same double.
        LeafCase{"real_pi_digits", 3.14159265, "<real>3.14159265</real>"},
        LeafCase{"real_tenth", 0.1, "<real>0.1</real>"},
        LeafCase{"real_hundred", 100.0, "<real>100</real>"},
        LeafCase{"real_1234567", 1234567.0, "<real>1234567</real>"},
        LeafCase{"real_1234567_5", 1234567.5, "<real>1234567.5</real>"},
        LeafCase{"real_small", 0.00001, "<real>1e-05</real>"},
        LeafCase{"real_third", 1.0 / 3.0, "<real>0.3333333333333333</real>"},
        LeafCase{"real_huge", 1e300, "<real>1e+300</real>"},
        LeafCase{"real_denormal_min", 5e-324, "<real>5e-324</real>"},
        LeafCase{"real_minus_zero", -0.0, "<real>-0</real>"},
        LeafCase{"real_negative", -2.5, "<real>-2.5</real>"},
        LeafCase{"real_infinity", HUGE_VAL, "<real>inf</real>"},
        LeafCase{"float_half", 0.5f, "<real>0.5</real>"},
        LeafCase{"float_tenth_widened", 0.1f, "<real>0.10000000149011612</real>"},
        LeafCase{"true_empty_element", true, "<true />"},
        LeafCase{"false_empty_element", false, "<false />"},
        LeafCase{"date_reference", dateAt(978307200), "<date>2001-01-01T00:00:00Z</date>"},
        LeafCase{"date_before_epoch", dateAt(-14182940), "<date>1969-07-20T20:17:40Z</date>"},
        LeafCase{"data_abc", Plist::Data{'a', 'b', 'c'}, "<data>YWJj</data>"},
        LeafCase{"data_ab", Plist::Data{'a', 'b'}, "<data>YWI=</data>"},
        LeafCase{"data_a", Plist::Data{'a'}, "<data>YQ==</data>"},
        LeafCase{"data_empty", Plist::Data(), "<data></data>"},
        LeafCase{"data_high_bytes", Plist::Data{'\xFF', '\xFE', '\x00'}, "<data>//4A</data>"},
        LeafCase{"data_54", Plist::Data(54, '\0'), "<data>" + base64Of54() + "</data>"},
        LeafCase{"data_55", Plist::Data(55, '\0'), "<data>" + base64Of54() + "AA==</data>"},
        LeafCase{"string_plain", std::string("Vantrelon"), "<string>Vantrelon</string>"},
        LeafCase{"string_empty", std::string(), "<string></string>"},
        LeafCase{"string_blanks", std::string("  "), "<string>  </string>"},
        LeafCase{"string_escaped", std::string("a&b<c>d"), "<string>a&amp;b&lt;c&gt;d</string>"},
        LeafCase{"string_utf8_kept", std::string("Zako\xC5\x84" "cz"),
                 "<string>Zako\xC5\x84" "cz</string>"},
        LeafCase{"string_line_feed", std::string("a\nb"), "<string>a\nb</string>"},
        LeafCase{"string_tab_and_del", std::string("a\tb\x7F"), "<string>a\tb\x7F</string>"},
        LeafCase{"string_last_plane", std::string("\xF4\x8F\xBF\xBF"), "<string>\xF4\x8F\xBF\xBF</string>"}),
    [](const ::testing::TestParamInfo<LeafCase>& info) { return std::string(info.param.name); });

// A locale that writes numbers the way a Polish desktop would: a comma for
// the decimal point and grouped thousands.
struct CommaPunct : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return ' '; }
    std::string do_grouping() const override { return "\3"; }
};

class LocaleGuard {
public:
    LocaleGuard() : saved_(std::locale::global(std::locale(std::locale::classic(), new CommaPunct))) {}
    ~LocaleGuard() { std::locale::global(saved_); }

private:
    std::locale saved_;
};

TEST(XmlWriter, NumbersIgnoreTheGlobalLocale)
{
    const LocaleGuard guard;
    struct Case {
        boost::any value;
        std::string element;
    } cases[] = {
        {1234567L, "<integer>1234567</integer>"},
        {-1234567, "<integer>-1234567</integer>"},
        {1234.5, "<real>1234.5</real>"},
        {0.25f, "<real>0.25</real>"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(write(c.value), kHead + "\t" + c.element + "\n</plist>\n");
}

using writertest::RefusalCase;

class XmlRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(XmlRefusal, ThrowsAndDeliversNothing)
{
    writertest::expectRefusal(Plist::writeXmlToBuffer, GetParam());
}

Plist::Dictionary keyed(const std::string& key, const boost::any& value)
{
    Plist::Dictionary d;
    d["a"] = 1L;
    d[key] = value;
    return d;
}

using writertest::kNulRefused;
using writertest::kTypeRefused;
using writertest::kUtf8Refused;
using writertest::kXmlCharRefused;

INSTANTIATE_TEST_SUITE_P(
    Values, XmlRefusal,
    ::testing::Values(
        RefusalCase{"unsigned_int", 5u, kTypeRefused + "j"},
        RefusalCase{"empty_value", boost::any(), kTypeRefused + "v"},
        RefusalCase{"long_long", 5LL, kTypeRefused + "x"},
        RefusalCase{"deep_unsigned_char", keyed("z", Plist::Array{1L, static_cast<unsigned char>(1)}),
                    kTypeRefused + "h"},
        // Of several, the first in document order is named.
        RefusalCase{"first_of_two_named", Plist::Array{5u, Plist::Array{true, 5LL}, 1L}, kTypeRefused + "j"},
        RefusalCase{"string_with_nul", std::string("ab\0cd", 5), kNulRefused},
        RefusalCase{"string_only_nul", std::string(1, '\0'), kNulRefused},
        RefusalCase{"deep_string_with_nul", keyed("z", Plist::Array{std::string("x\0", 2)}), kNulRefused},
        RefusalCase{"key_with_nul", keyed(std::string("k\0ey", 4), 1L), kNulRefused},
        RefusalCase{"truncated_sequence", std::string("ab\xC3"), kUtf8Refused},
        RefusalCase{"overlong_slash", std::string("\xC0\xAF"), kUtf8Refused},
        RefusalCase{"encoded_surrogate", std::string("\xED\xA0\x80"), kUtf8Refused},
        RefusalCase{"above_unicode", std::string("\xF4\x90\x80\x80"), kUtf8Refused},
        RefusalCase{"key_latin2_byte", keyed(std::string("\xB1"), 1L), kUtf8Refused},
        // XML 1.0 allows these neither raw nor as references.
        RefusalCase{"control_01", std::string("a\x01"), kXmlCharRefused},
        RefusalCase{"control_1f", std::string("\x1F"), kXmlCharRefused},
        RefusalCase{"vertical_tab_in_second_word", std::string("0123456789\vb"), kXmlCharRefused},
        RefusalCase{"u_fffe", std::string("\xEF\xBF\xBE"), kXmlCharRefused},
        RefusalCase{"u_ffff", std::string("\xEF\xBF\xBF"), kXmlCharRefused},
        RefusalCase{"deep_control", keyed("z", Plist::Array{std::string("\x08")}), kXmlCharRefused},
        RefusalCase{"key_control", keyed(std::string("k\x1B"), 1L), kXmlCharRefused}),
    writertest::refusalName);

} // namespace
