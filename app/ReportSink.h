// Where the report's texts go. Every section of the report writes only
// here, so that none of them depends on the window that carries the texts
// to the view: the report worker puts the window's report signals behind
// it, one call to one signal overload.
#ifndef VD_APP_REPORTSINK_H
#define VD_APP_REPORTSINK_H

#include <QByteArray>
#include <QString>

// Every call carries its text by value.
class ReportSink {
public:
    virtual ~ReportSink() = default;
    // Appended in normal weight and the current colour.
    virtual void plain(const QString& text) = 0;
    // The same for UTF-8 text gathered from files and commands' output.
    virtual void plain(const QByteArray& utf8) = 0;
    // Appended in bold or normal weight and the current colour.
    virtual void weighted(const QString& text, bool bold) = 0;
    // The same for UTF-8 text taken from the card layer's records.
    virtual void weighted(const QByteArray& utf8, bool bold) = 0;
    // Appended in the named colour ("red", "blue") and the given weight.
    virtual void coloured(const QString& text, const char* colour, bool bold) = 0;
    // The colour of later pieces that bring none of their own.
    virtual void colour(const char* colour) = 0;
};

#endif  // VD_APP_REPORTSINK_H
