// The report view: a read-only text area into which the report is written
// piece by piece, each piece with its own weight, colour and font.
#ifndef VD_APP_ATTRQTEXTBROWSER_H
#define VD_APP_ATTRQTEXTBROWSER_H

#include <QByteArray>
#include <QColor>
#include <QFont>
#include <QString>
#include <QTextBrowser>

// Text that arrives as 8-bit (the QByteArray overloads) is UTF-8; a null
// byte array reads as the empty text. The byte arrays are values, so text
// queued from the report worker cannot change after it was emitted.
class AttrQTextBrowser : public QTextBrowser {
    Q_OBJECT
public:
    explicit AttrQTextBrowser(QWidget* parent = nullptr);
    ~AttrQTextBrowser() override;

public slots:
    void append(QString text, QByteArray fontName, int fontSize, QColor color, bool bold);
    void append(QByteArray text, QByteArray fontName, int fontSize, QColor color, bool bold);
    void append(QString text, QByteArray fontName, int fontSize, bool bold);
    void append(QByteArray text, QByteArray fontName, int fontSize, bool bold);
    void append(QString text, bool bold);
    void append(QByteArray text, bool bold);
    void append(QString text);
    void append(QByteArray text);
    void insertPlainText(QString text, QByteArray fontName, int fontSize, QColor color, bool bold);
    void setCurrentColor(QColor color);

private:
    friend struct AttrQTextBrowserTestAccess;

    QFont pieceFont(const QByteArray& fontName, int fontSize, bool bold) const;
    void appendAtEnd(const QString& text, const QFont& font, const QColor& color);

    QColor currentColor;
    // The text colour at the end of the report, where every piece goes:
    // the last piece's, or the one set last, whichever came later.
    QColor colorAtEnd;
};

#endif
