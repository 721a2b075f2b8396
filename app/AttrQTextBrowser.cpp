#include "app/AttrQTextBrowser.h"

#include <QFont>
#include <QTextCursor>

namespace {

QString decode(const QByteArray& bytes)
{
    return QString::fromUtf8(bytes);
}

int weightOf(bool bold)
{
    return bold ? QFont::Bold : QFont::Normal;
}

} // namespace

AttrQTextBrowser::AttrQTextBrowser(QWidget* parent)
    : QTextBrowser(parent), currentColor(QStringLiteral("black")), colorAtEnd(QStringLiteral("black"))
{
}

AttrQTextBrowser::~AttrQTextBrowser() = default;

void AttrQTextBrowser::append(QString text, QByteArray fontName, int fontSize, QColor color, bool bold)
{
    // Remember the colour in force before this piece: the next piece that
    // brings no colour of its own goes back to it. It is the colour at the
    // end of the report, never that under a click of the user's into the
    // text, which moves the cursor and with it the text edit's colour.
    currentColor = colorAtEnd;
    appendAtEnd(text, pieceFont(fontName, fontSize, bold), color);
}

void AttrQTextBrowser::append(QByteArray text, QByteArray fontName, int fontSize, QColor color, bool bold)
{
    append(decode(text), fontName, fontSize, color, bold);
}

void AttrQTextBrowser::append(QString text, QByteArray fontName, int fontSize, bool bold)
{
    appendAtEnd(text, pieceFont(fontName, fontSize, bold), currentColor);
}

void AttrQTextBrowser::append(QByteArray text, QByteArray fontName, int fontSize, bool bold)
{
    append(decode(text), fontName, fontSize, bold);
}

void AttrQTextBrowser::append(QString text, bool bold)
{
    QFont font = this->font();
    font.setWeight(weightOf(bold));
    appendAtEnd(text, font, currentColor);
}

void AttrQTextBrowser::append(QByteArray text, bool bold)
{
    append(decode(text), bold);
}

void AttrQTextBrowser::append(QString text)
{
    append(text, false);
}

void AttrQTextBrowser::append(QByteArray text)
{
    append(decode(text), false);
}

void AttrQTextBrowser::insertPlainText(QString text, QByteArray fontName, int fontSize, QColor color, bool bold)
{
    // Starts from the toolkit's default font, not the view's, and leaves the
    // cursor where it is.
    QFont font;
    if (fontSize > 0)
        font.setPointSize(fontSize);
    if (!fontName.isNull())
        font.setFamily(decode(fontName));
    font.setWeight(weightOf(bold));
    setCurrentFont(font);
    const QColor previous = textColor();
    setTextColor(color);
    QTextEdit::insertPlainText(text);
    setTextColor(previous);
}

// The view's font with the piece's family, size (when positive) and
// weight. A piece that names no family keeps the view's: an empty family
// resolves to a different face (a serif one at normal weight on a usual
// Debian desktop), and such pieces would stand out from the report.
QFont AttrQTextBrowser::pieceFont(const QByteArray& fontName, int fontSize, bool bold) const
{
    QFont font = this->font();
    if (fontSize > 0)
        font.setPointSize(fontSize);
    if (!fontName.isEmpty())
        font.setFamily(decode(fontName));
    font.setWeight(weightOf(bold));
    return font;
}

// Every piece goes after the last one, whatever the user clicked or
// selected meanwhile.
void AttrQTextBrowser::appendAtEnd(const QString& text, const QFont& font, const QColor& color)
{
    moveCursor(QTextCursor::End);
    setCurrentFont(font);
    setTextColor(color);
    colorAtEnd = color;
    QTextEdit::insertPlainText(text);
    moveCursor(QTextCursor::End);
}

void AttrQTextBrowser::setCurrentColor(QColor color)
{
    currentColor = color;
    colorAtEnd = color;
    setTextColor(color);
}
