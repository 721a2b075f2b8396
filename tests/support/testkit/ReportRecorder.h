// A report sink that keeps every emission of a report as one line, in the
// form of the report goldens (tests/app/golden): "colour #rrggbb",
// "plain TEXT", "weighted bold|normal TEXT" and "coloured #rrggbb
// bold|normal font=F size=N TEXT", with TEXT quoted as Quoted() does. A
// report section written into it and the same section carried to the view
// by the window's report signals give the same lines.
#ifndef VD_TESTS_SUPPORT_REPORTRECORDER_H
#define VD_TESTS_SUPPORT_REPORTRECORDER_H

#include "app/ReportSink.h"

#include <QByteArray>
#include <QColor>
#include <QString>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace testkit {

// The text in double quotes, its line feeds, backslashes and double quotes
// escaped by a backslash, so that one emission stays one line.
std::string Quoted(const QString& text);

// A red error line as recorded, up to its quoted text, and the colour line
// that the report emits after every error line.
inline const std::string kRed = "coloured #ff0000 normal font=null size=-1 ";
inline const std::string kBlack = "colour #000000";

// Safe to feed from one thread while another reads.
class ReportRecorder : public ReportSink {
public:
    void plain(const QString& text) override;
    void plain(const QByteArray& utf8) override;
    void weighted(const QString& text, bool bold) override;
    void weighted(const QByteArray& utf8, bool bold) override;
    // A colour name as the report's sections give it: with no font and no
    // size of its own, as the window's signal carries it.
    void coloured(const QString& text, const char* colour, bool bold) override;
    void colour(const char* colour) override;

    // The forms of the window's report signals.
    void coloured(const QString& text, const QByteArray& font, int size, const QColor& colour, bool bold);
    void colour(const QColor& colour);

    std::vector<std::string> lines() const;
    // The texts of all emissions, joined as a view shows them.
    QString text() const;
    void clear();
    // Runs for every emission before it is kept, on the emitting thread;
    // set it only while nothing emits.
    void onLine(std::function<void(const std::string&)> hook);

private:
    void add(const std::string& line, const QString& text);

    std::function<void(const std::string&)> onLine_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    QString text_;
};

}  // namespace testkit

#endif  // VD_TESTS_SUPPORT_REPORTRECORDER_H
