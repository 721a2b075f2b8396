// The report's frame and system sections end to end, inside the rig: fixed
// host name, private process list, fixture driver bundles, token libraries
// and card manager. The emissions are compared with a golden text in which
// only the date, the kernel and the host name are masked.
#include "app/AttrQTextBrowser.h"
#include "app/MainWindow.h"

#include "QtTestSupport.h"

#include <QPushButton>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <sys/mount.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string Escape(const QString& text)
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

// Every emission of one report, in the worker's order, as one line each.
class Recorder {
public:
    explicit Recorder(MainWindow& window)
    {
        auto add = [this](const std::string& line, const QString& text, bool isText) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
            if (isText)
                plain_ += text;
        };
        const auto direct = Qt::DirectConnection;
        QObject::connect(&window, &MainWindow::signalGUI_setCurrentColor, &window,
                         [add](QColor c) { add("colour " + c.name().toStdString(), QString(), false); }, direct);
        QObject::connect(&window, qOverload<QString>(&MainWindow::signalGUI_append), &window,
                         [add](QString t) { add("plain " + Escape(t), t, true); }, direct);
        QObject::connect(&window, qOverload<QByteArray>(&MainWindow::signalGUI_append), &window,
                         [add](QByteArray b) {
                             const QString t = QString::fromUtf8(b);
                             add("plain " + Escape(t), t, true);
                         }, direct);
        QObject::connect(&window, qOverload<QString, bool>(&MainWindow::signalGUI_append), &window,
                         [add](QString t, bool bold) {
                             add(std::string("weighted ") + (bold ? "bold " : "normal ") + Escape(t), t, true);
                         }, direct);
        QObject::connect(&window, qOverload<QByteArray, bool>(&MainWindow::signalGUI_append), &window,
                         [add](QByteArray b, bool bold) {
                             const QString t = QString::fromUtf8(b);
                             add(std::string("weighted ") + (bold ? "bold " : "normal ") + Escape(t), t, true);
                         }, direct);
        auto coloured = [add](const QString& t, const QByteArray& font, int size, const QColor& c, bool bold) {
            std::ostringstream line;
            line << "coloured " << c.name().toStdString() << (bold ? " bold" : " normal")
                 << (font.isNull() ? " font=null" : " font=" + font.toStdString()) << " size=" << size << " "
                 << Escape(t);
            add(line.str(), t, true);
        };
        QObject::connect(&window, qOverload<QString, QByteArray, int, QColor, bool>(&MainWindow::signalGUI_append),
                         &window, coloured, direct);
        QObject::connect(&window,
                         qOverload<QByteArray, QByteArray, int, QColor, bool>(&MainWindow::signalGUI_append), &window,
                         [coloured](QByteArray b, QByteArray f, int s, QColor c, bool bold) {
                             coloured(QString::fromUtf8(b), f, s, c, bold);
                         }, direct);
    }
    std::vector<std::string> lines()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    QString plain()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return plain_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
    QString plain_;
};

std::string Mask(std::string line)
{
    struct utsname names;
    if (uname(&names) == 0) {
        const std::pair<std::string, std::string> fields[] = {{Escape(names.version).substr(1), "<KERNEL-VERSION>"},
                                                              {names.release, "<KERNEL-RELEASE>"},
                                                              {names.nodename, "<HOST>"}};
        for (const auto& field : fields) {
            std::string from = field.first;
            if (!from.empty() && from.back() == '"')
                from.pop_back();
            for (size_t at; !from.empty() && (at = line.find(from)) != std::string::npos;)
                line.replace(at, from.size(), field.second);
        }
    }
    const QRegularExpression date(QStringLiteral("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}"));
    return QString::fromStdString(line).replace(date, QStringLiteral("<DATE>")).toStdString();
}

std::string Env(const char* name)
{
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

TEST(ReportInRig, FrameAndSystemSectionsMatchTheGoldenText)
{
    ASSERT_EQ(Env("VD_RIG"), "1") << "runs only inside the rig";
    const std::string golden = Env("VD_APP_GOLDEN");
    const std::string actualPath = Env("VD_APP_ACTUAL");
    const std::string screenshot = Env("VD_APP_SCREENSHOT");
    ASSERT_FALSE(golden.empty());

    if (Env("VD_APP_PLAIN_INIT") == "1") {
        // The rig's own command line (process 1) names its "--no-pcscd"
        // option; shown as a plain init, the process list names no daemon.
        char path[] = "/tmp/vd-app-init-XXXXXX";
        const int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "/sbin/init", 10), 10);
        close(fd);
        ASSERT_EQ(mount(path, "/proc/1/cmdline", nullptr, MS_BIND, nullptr), 0) << strerror(errno);
        unlink(path);
    }

    MainWindow window;
    ASSERT_FALSE(window.startupFailed());
    EXPECT_EQ(window.appVersion, "9.8.7");
    Recorder recorder(window);
    window.show();
    auto* generate = window.findChild<QPushButton*>("bGenerateReport");
    auto* view = window.findChild<AttrQTextBrowser*>("tbDiagnostic");
    ASSERT_NE(generate, nullptr);
    ASSERT_NE(view, nullptr);
    generate->click();
    ASSERT_TRUE(WaitUntil([&] { return generate->isEnabled(); }, 60000));

    std::ostringstream actual;
    for (const std::string& line : recorder.lines())
        actual << Mask(line) << "\n";
    if (!actualPath.empty())
        std::ofstream(actualPath) << actual.str();

    std::ifstream in(golden);
    ASSERT_TRUE(in.good()) << golden;
    const std::string expected((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(actual.str(), expected) << "actual emissions written to " << actualPath;

    // The view shows exactly what was emitted, in that order.
    EXPECT_EQ(view->toPlainText(), recorder.plain());

    if (!screenshot.empty()) {
        const QPixmap shot = window.grab();
        EXPECT_EQ(shot.size(), QSize(508, 400));
        EXPECT_TRUE(shot.save(QString::fromStdString(screenshot), "PNG"));
    }
}

} // namespace
