// The report worker: runs the report's sections in order on a thread-pool
// thread. It touches no widget: every piece of text leaves by value through
// the window's report signals.
#include "app/MainWindow.h"
#include "app/MainWindow_internal.h"
#include "app/ReportCards.h"
#include "app/ReportFrame.h"
#include "app/ReportHandOver.h"
#include "app/ReportSink.h"

#include <QByteArray>
#include <QColor>
#include <QString>

namespace {

// Each call of the sink is one emission of the signal overload that carries
// its kind of text.
class WindowSink : public ReportSink {
public:
    explicit WindowSink(MainWindow& window) : window_(window) {}
    void plain(const QString& text) override { emit window_.signalGUI_append(text); }
    void plain(const QByteArray& utf8) override { emit window_.signalGUI_append(utf8); }
    void weighted(const QString& text, bool bold) override { emit window_.signalGUI_append(text, bold); }
    void weighted(const QByteArray& utf8, bool bold) override { emit window_.signalGUI_append(utf8, bold); }
    void coloured(const QString& text, const char* colour, bool bold) override
    {
        emit window_.signalGUI_append(text, QByteArray(), -1, QColor(colour), bold);
    }
    void colour(const char* colour) override { emit window_.signalGUI_setCurrentColor(QColor(colour)); }

private:
    MainWindow& window_;
};

} // namespace

void (*beforeClosingLineCall)() = nullptr;

void MainWindow::DoDiagnosticConcurrent()
{
    TakeReportOver(this);
    WindowSink sink(*this);
    ReportTitleAndDate(sink, appVersion);
    ReportSystem(sink);
    ReportDrivers(sink);
    bool daemonAnswers = true;
    const bool daemonRunning = ReportDaemon(sink, daemonAnswers);

    ReaderSectionState readers;
    if (daemonRunning)
        ReportReaderList(sink, readers, daemonAnswers);

    ReportInstalledFiles(sink);

    if (daemonRunning)
        ReportReaderAndCardState(sink, readers);

    if (beforeClosingLineCall != nullptr)
        beforeClosingLineCall();
    ReportClosingLine(sink);
    HandReportOver(this);
}
