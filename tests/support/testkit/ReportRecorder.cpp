#include "tests/support/testkit/ReportRecorder.h"

#include <utility>

namespace testkit {

std::string Quoted(const QString& text)
{
    std::string out;
    for (char c : text.toStdString()) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else
            out += c;
    }
    return "\"" + out + "\"";
}

namespace {

std::string Weight(bool bold)
{
    return bold ? "bold" : "normal";
}

}  // namespace

void ReportRecorder::plain(const QString& text)
{
    add("plain " + Quoted(text), text);
}

void ReportRecorder::plain(const QByteArray& utf8)
{
    plain(QString::fromUtf8(utf8));
}

void ReportRecorder::weighted(const QString& text, bool bold)
{
    add("weighted " + Weight(bold) + " " + Quoted(text), text);
}

void ReportRecorder::weighted(const QByteArray& utf8, bool bold)
{
    weighted(QString::fromUtf8(utf8), bold);
}

void ReportRecorder::coloured(const QString& text, const char* colour, bool bold)
{
    coloured(text, QByteArray(), -1, QColor(colour), bold);
}

void ReportRecorder::colour(const char* colour)
{
    this->colour(QColor(colour));
}

void ReportRecorder::coloured(const QString& text, const QByteArray& font, int size, const QColor& colour, bool bold)
{
    add("coloured " + colour.name().toStdString() + " " + Weight(bold) +
            (font.isNull() ? " font=null" : " font=" + font.toStdString()) + " size=" + std::to_string(size) + " " +
            Quoted(text),
        text);
}

void ReportRecorder::colour(const QColor& colour)
{
    add("colour " + colour.name().toStdString(), QString());
}

std::vector<std::string> ReportRecorder::lines() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

QString ReportRecorder::text() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
}

void ReportRecorder::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
    text_.clear();
}

void ReportRecorder::onLine(std::function<void(const std::string&)> hook)
{
    onLine_ = std::move(hook);
}

void ReportRecorder::add(const std::string& line, const QString& text)
{
    if (onLine_)
        onLine_(line);
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(line);
    text_ += text;
}

}  // namespace testkit
