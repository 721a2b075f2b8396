// The report view's weight, colour and font rules.
#include "app/AttrQTextBrowser.h"
#include "app/AttrQTextBrowser_internal.h"

#include "tests/support/qt/QtTestSupport.h"

#include <QApplication>
#include <QFontInfo>
#include <QMouseEvent>
#include <QTextCursor>

#include <gtest/gtest.h>

#include <functional>

namespace {

const std::string kBlack = "#000000";
const std::string kBlue = "#0000ff";
const std::string kRed = "#ff0000";
const std::string kGreen = "#008000";

struct ColourCase {
    const char* name;
    std::function<void(AttrQTextBrowser&)> steps;
    std::vector<Fragment> expected;
};

void PrintTo(const ColourCase& c, std::ostream* os)
{
    *os << c.name;
}

class ViewColours : public ::testing::TestWithParam<ColourCase> {};

// A click of the user's into the shown report, on the first character of
// text, as a report runs: it moves the text edit's cursor there.
void ClickInto(AttrQTextBrowser& view, const char* text)
{
    view.resize(400, 300);
    view.show();
    QTextCursor at = view.document()->find(QString::fromUtf8(text));
    ASSERT_FALSE(at.isNull()) << text;
    at.setPosition(at.selectionStart() + 1);
    const QPoint point = view.cursorRect(at).center();
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QMouseEvent event(type, point, Qt::LeftButton, type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                          Qt::NoModifier);
        QApplication::sendEvent(view.viewport(), &event);
    }
    ASSERT_EQ(view.textCursor().position(), at.position()) << "the click did not reach the text";
}

TEST_P(ViewColours, FragmentsCarryTheRightColourAndWeight)
{
    AttrQTextBrowser view(nullptr);
    GetParam().steps(view);
    EXPECT_EQ(Describe(Fragments(&view)), Describe(GetParam().expected));
}

const QByteArray kNoFont;

INSTANTIATE_TEST_SUITE_P(
    Sequences, ViewColours,
    ::testing::Values(
        ColourCase{"pieces_join_on_one_line",
                   [](AttrQTextBrowser& v) {
                       v.append(QString("a"));
                       v.append(QString("b"));
                   },
                   {{"ab", kBlack, QFont::Normal}}},
        ColourCase{"only_a_line_feed_in_a_piece_breaks_the_line",
                   [](AttrQTextBrowser& v) {
                       v.append(QString("a\n"));
                       v.append(QByteArray("b"));
                   },
                   {{"a\nb", kBlack, QFont::Normal}}},
        ColourCase{"null_byte_text_inserts_nothing",
                   [](AttrQTextBrowser& v) {
                       v.append(QString("x"));
                       v.append(QByteArray());
                       v.append(QByteArray(), true);
                       v.append(QByteArray(), kNoFont, -1, QColor("red"), false);
                   },
                   {{"x", kBlack, QFont::Normal}}},
        ColourCase{"heading_in_blue_then_plain_back_to_black",
                   [](AttrQTextBrowser& v) {
                       v.setCurrentColor(QColor("black"));
                       v.append(QString("Nagłówek"), kNoFont, -1, QColor("blue"), true);
                       v.append(QString("tekst"));
                   },
                   {{"Nagłówek", kBlue, QFont::Bold}, {"tekst", kBlack, QFont::Normal}}},
        ColourCase{"blue_then_red_coloured_leaves_blue_current",
                   [](AttrQTextBrowser& v) {
                       v.setCurrentColor(QColor("black"));
                       v.append(QString("A"), kNoFont, -1, QColor("blue"), true);
                       v.append(QString("B"), kNoFont, -1, QColor("red"), false);
                       v.append(QString("c"));
                   },
                   {{"A", kBlue, QFont::Bold}, {"B", kRed, QFont::Normal}, {"c", kBlue, QFont::Normal}}},
        // What is saved is the colour at the end, wherever the user clicked.
        ColourCase{"click_into_a_heading_changes_no_colour",
                   [](AttrQTextBrowser& v) {
                       v.setCurrentColor(QColor("black"));
                       v.append(QString("Nagłówek\n"), kNoFont, -1, QColor("blue"), true);
                       v.append(QString("tekst\n"));
                       ClickInto(v, "Nagłówek");
                       v.append(QString("Inny\n"), kNoFont, -1, QColor("green"), true);
                       v.append(QString("dalej"));
                   },
                   {{"Nagłówek\n", kBlue, QFont::Bold},
                    {"tekst\n", kBlack, QFont::Normal},
                    {"Inny\n", kGreen, QFont::Bold},
                    {"dalej", kBlack, QFont::Normal}}},
        ColourCase{"click_into_a_red_line_changes_no_colour",
                   [](AttrQTextBrowser& v) {
                       v.setCurrentColor(QColor("black"));
                       v.append(QString("Błąd\n"), kNoFont, -1, QColor("red"), false);
                       v.setCurrentColor(QColor("black"));
                       v.append(QString("tekst\n"));
                       ClickInto(v, "Błąd");
                       v.append(QString("Nagłówek\n"), kNoFont, -1, QColor("blue"), true);
                       v.append(QByteArray("dalej"));
                   },
                   {{"Błąd\n", kRed, QFont::Normal},
                    {"tekst\n", kBlack, QFont::Normal},
                    {"Nagłówek\n", kBlue, QFont::Bold},
                    {"dalej", kBlack, QFont::Normal}}},
        ColourCase{"current_red_then_byte_text_is_red_and_normal",
                   [](AttrQTextBrowser& v) {
                       v.setCurrentColor(QColor("red"));
                       v.append(QByteArray("błąd"));
                   },
                   {{"błąd", kRed, QFont::Normal}}},
        ColourCase{"weighted_pieces_follow_bold_flag_in_current_colour",
                   [](AttrQTextBrowser& v) {
                       v.setCurrentColor(QColor("green"));
                       v.append(QString("Stan"), true);
                       v.append(QByteArray(" : tak"), false);
                       v.append(QByteArray("!"), true);
                   },
                   {{"Stan", kGreen, QFont::Bold}, {" : tak", kGreen, QFont::Normal}, {"!", kGreen, QFont::Bold}}},
        ColourCase{"family_and_size_append_uses_current_colour",
                   [](AttrQTextBrowser& v) {
                       v.setCurrentColor(QColor("blue"));
                       v.append(QString("x"), QByteArray("DejaVu Sans"), 14, true);
                       v.append(QByteArray("y"), kNoFont, -1, false);
                   },
                   {{"x", kBlue, QFont::Bold}, {"y", kBlue, QFont::Normal}}},
        ColourCase{"insert_in_the_middle_keeps_colour_around_it",
                   [](AttrQTextBrowser& v) {
                       v.append(QString("abcd"));
                       QTextCursor cursor = v.textCursor();
                       cursor.setPosition(2);
                       v.setTextCursor(cursor);
                       v.insertPlainText(QString("XY"), kNoFont, -1, QColor("green"), true);
                       v.append(QString("e"));
                   },
                   {{"ab", kBlack, QFont::Normal}, {"XY", kGreen, QFont::Bold}, {"cde", kBlack, QFont::Normal}}}),
    [](const ::testing::TestParamInfo<ColourCase>& info) { return std::string(info.param.name); });

struct FontCase {
    const char* name;
    int size;              // argument
    bool insertAtCursor;   // insertPlainText instead of the coloured append
    bool expectWidgetSize; // size of the view's font, else the given size or the default font's
};

class ViewFontSize : public ::testing::TestWithParam<FontCase> {};

TEST_P(ViewFontSize, SizeArgumentIsHonouredOnlyWhenPositive)
{
    const FontCase& c = GetParam();
    AttrQTextBrowser view(nullptr);
    QFont widgetFont = view.font();
    widgetFont.setPointSize(17);
    view.setFont(widgetFont);
    if (c.insertAtCursor)
        view.insertPlainText(QString("t"), QByteArray(), c.size, QColor("black"), false);
    else
        view.append(QString("t"), QByteArray(), c.size, QColor("black"), false);

    QTextCursor cursor(view.document());
    cursor.setPosition(1);
    const int got = cursor.charFormat().font().pointSize();
    if (c.size > 0)
        EXPECT_EQ(got, c.size);
    else if (c.expectWidgetSize)
        EXPECT_EQ(got, 17);
    else
        EXPECT_EQ(got, QFont().pointSize());
}

INSTANTIATE_TEST_SUITE_P(Sizes, ViewFontSize,
                         ::testing::Values(FontCase{"append_zero", 0, false, true},
                                           FontCase{"append_minus_one", -1, false, true},
                                           FontCase{"append_twelve", 12, false, false},
                                           FontCase{"insert_zero", 0, true, false},
                                           FontCase{"insert_minus_one", -1, true, false},
                                           FontCase{"insert_nine", 9, true, false}),
                         [](const ::testing::TestParamInfo<FontCase>& info) { return std::string(info.param.name); });

// A piece without a family is drawn in the view's own face, at either
// weight, whichever append brings it.
TEST(ViewFamily, NoFamilyKeepsTheViewsFaceAndAGivenFamilyIsDecodedAsUtf8)
{
    AttrQTextBrowser view(nullptr);
    const QString face = QFontInfo(view.font()).family();
    ASSERT_EQ(face, "DejaVu Sans");
    view.append(QString("a"), QByteArray(), -1, QColor("red"), false);
    view.append(QString("b"), QByteArray(), -1, QColor("blue"), true);
    view.append(QByteArray("c"), QByteArray(), -1, false);
    view.append(QString("d"), QByteArray(""), -1, QColor("red"), false);
    view.append(QString("e"), QByteArray("Łódź Sans"), -1, QColor("black"), false);
    QTextCursor cursor(view.document());
    for (int position = 1; position <= 4; ++position) {
        cursor.setPosition(position);
        EXPECT_EQ(QFontInfo(cursor.charFormat().font()).family(), face) << "piece " << position;
    }
    cursor.setPosition(5);
    EXPECT_EQ(cursor.charFormat().fontFamily(), QString::fromUtf8("Łódź Sans"));
}

TEST(ViewState, StartsBlackAndClearKeepsTheCurrentColour)
{
    AttrQTextBrowser view(nullptr);
    EXPECT_EQ(AttrQTextBrowserTestAccess::CurrentColor(view), QColor("black"));
    EXPECT_TRUE(view.isReadOnly());
    view.setCurrentColor(QColor("red"));
    view.append(QString("x"));
    view.clear();
    EXPECT_EQ(AttrQTextBrowserTestAccess::CurrentColor(view), QColor("red"));
    EXPECT_TRUE(view.toPlainText().isEmpty());
}

} // namespace
