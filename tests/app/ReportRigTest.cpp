// The whole report end to end, inside the rig: fixed host name, private
// process list, fixture driver bundles, token libraries and card manager,
// our virtual cards in the rig's readers and the stand-in tokens serving
// them. The emissions are compared with a golden text in which only the
// date, the kernel and the host name are masked. Two runs instead pull a
// card or stop the daemon from the worker's own emission, and compare what
// the report says from there on.
#include "app/AttrQTextBrowser.h"
#include "app/MainWindow.h"

#include "QtTestSupport.h"
#include "tests/rig/RigUtil.h"
#include "tests/support/vcard/VirtualCard.h"

#include <QPushButton>
#include <QRegularExpression>
#include <QTextCursor>
#include <QThreadPool>

#include <gtest/gtest.h>
#include <winscard.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

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
            if (onLine_)
                onLine_(line);
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
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
        plain_.clear();
    }
    // Runs on the worker's thread for every emission, before it is recorded;
    // set it only while no report runs.
    void onLine(std::function<void(const std::string&)> hook) { onLine_ = std::move(hook); }

private:
    std::function<void(const std::string&)> onLine_;
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

using vdtest::FromHex;
using vdtest::VirtualCard;

using vdrig::kReader0;
using vdrig::kReader1;

struct CardSetup {
    uint16_t tcpPort;
    const char* reader;
    const char* atr;
    std::vector<std::pair<const char*, const char*>> answers;  // command -> response
};

// The profile-version probes: the file 2F01 of type-1 cards (regular and
// secure versions in bytes 7-10) and the two application files of type-3 cards.
std::vector<std::pair<const char*, const char*>> FileProbe(const char* contents)
{
    return {{"00A4000C", "9000"}, {"00A4020C022F01", "9000"}, {"00B000000D", contents}};
}
const std::vector<std::pair<const char*, const char*>> kApplicationProbe = {
    {"00A4000C", "9000"},
    {"00A40100023F1000", "6F1084023F10A5074B656C766F72079000"},
    {"00A40100023F1100", "6F1084023F11A5074B656C766F72099000"}};

// The card sets the ctest entries choose with VD_APP_CARDS.
std::vector<CardSetup> CardSet(const std::string& name)
{
    if (name == "card-and-unknown") {
        return {{VirtualCard::kReader0Port, kReader0, "3BBB1800C01031FE4580670412B00303000081053C",
                 FileProbe("000102030405060502060109009000")},
                // 32 bytes, in no row of the card layer's table.
                {VirtualCard::kReader1Port, kReader1,
                 "3BFF9600008131FE4380318065B0846566FB12017882900085FFFFFFFFFFFFFF", {}}};
    }
    if (name == "two-cards") {
        return {{VirtualCard::kReader0Port, kReader0, "3BBB1800C01031FE4580670412B0030300008177AA",
                 FileProbe("000102030405060304050600009000")},
                {VirtualCard::kReader1Port, kReader1, "3BDD96FF8131FE4580595F5374645F496E6974810000",
                 kApplicationProbe}};
    }
    return {};
}

// Waits with PC/SC's own status wait until the reader shows a card.
bool WaitCardPresent(const char* reader)
{
    return vdrig::WaitReaderState(reader, true, std::chrono::seconds(20)) != 0;
}

bool ProcessGone(pid_t pid)
{
    return access(("/proc/" + std::to_string(pid)).c_str(), F_OK) != 0;
}

// Stops the rig's daemon and starts a stand-in whose command line names it,
// so the process list still shows a daemon while the service is gone.
pid_t ReplaceDaemonByStandIn()
{
    const pid_t daemon = static_cast<pid_t>(std::stol(Env("VD_RIG_PCSCD_PID")));
    if (kill(daemon, SIGTERM) != 0)
        return -1;
    if (!WaitUntil([daemon] { return ProcessGone(daemon); }, 20000))
        return -1;
    char name[] = "pcscd";
    char seconds[] = "600";
    char* argv[] = {name, seconds, nullptr};
    pid_t standIn = -1;
    if (posix_spawn(&standIn, "/bin/sleep", nullptr, nullptr, argv, environ) != 0)
        return -1;
    return standIn;
}

// Starts a program with its output in the file out (or discarded).
pid_t Spawn(std::vector<std::string> args, const std::string& out = "/dev/null")
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void Stop(pid_t pid)
{
    if (pid > 0 && kill(pid, SIGTERM) == 0)
        waitpid(pid, nullptr, 0);
}

// True also when the list cannot be read, so that the precondition fails.
bool ProcessListNamesPcscd()
{
    std::string list;
    return vdrig::RunCommand("ps -ax", &list) < 0 || list.find("pcscd") != std::string::npos;
}

// Socket activation as a desktop's init system does it, without one: a
// holder listens on a socket that is also linked as the daemon's socket and
// starts the daemon with the rig's readers on the first connection. Until
// then no process line names the daemon. Returns the holder, which becomes
// the daemon.
pid_t StartSocketActivation(std::string& dir)
{
    char pattern[] = "/tmp/vd-activation-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return -1;
    dir = pattern;
    const std::string start = dir + "/start";
    std::ofstream(start) << "#!/bin/sh\nexec pcscd --foreground --auto-exit -c '" << Env("VD_APP_READER_CONF") << "'\n";
    chmod(start.c_str(), 0755);
    const std::string listening = dir + "/listen";
    const pid_t holder = Spawn({"systemd-socket-activate", "-l", listening, "--", start}, dir + "/log");
    struct stat info;
    if (holder < 0 || !WaitUntil([&] { return stat(listening.c_str(), &info) == 0 && S_ISSOCK(info.st_mode); }, 10000))
        return -1;
    // The two names are one socket; the bind puts the second where clients look.
    if (link(listening.c_str(), (dir + "/pcscd.comm").c_str()) != 0 ||
        mount(dir.c_str(), "/run/pcscd", nullptr, MS_BIND, nullptr) != 0)
        return -1;
    return holder;
}

// Presses "Generuj raport" and waits until the report has ended.
bool RunReport(MainWindow& window)
{
    auto* generate = window.findChild<QPushButton*>("bGenerateReport");
    if (generate == nullptr)
        return false;
    generate->click();
    return WaitUntil([&] { return generate->isEnabled(); }, 60000);
}

// The threads of this process, by id.
std::set<std::string> OwnThreads()
{
    std::set<std::string> threads;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr)
        return threads;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            threads.insert(entry->d_name);
    }
    closedir(dir);
    return threads;
}

// Threads of now that were not there before.
std::string NewThreads(const std::set<std::string>& before)
{
    std::string added;
    for (const std::string& id : OwnThreads())
        added += before.count(id) != 0 ? "" : " " + id;
    return added;
}

// Codes of the port API that depend on how far the daemon or the reader got
// when the card went or the daemon stopped.
std::string MaskCodes(const std::string& line)
{
    const QRegularExpression code(QStringLiteral("wrapper PCSC - -?\\d+\\\\n"));
    return QString::fromStdString(line).replace(code, QStringLiteral("wrapper PCSC - <CODE>\\n")).toStdString();
}

// The date line shows the local clock: its text is that of one of the
// seconds the report ran, in the zone the test runs under. Under a zone that
// is not UTC, a date in UTC is an hour or more away from all of them.
void ExpectLocalDateLine(const std::vector<std::string>& lines, time_t before, time_t after)
{
    struct tm now;
    ASSERT_NE(localtime_r(&before, &now), nullptr);
    ASSERT_NE(now.tm_gmtoff, 0) << "the test must run in a zone that is not UTC (TZ=" << Env("TZ") << ")";
    const auto heading = std::find(lines.begin(), lines.end(), "weighted bold \"Data i czas\"");
    ASSERT_TRUE(heading != lines.end() && heading + 1 != lines.end());
    std::vector<std::string> seconds;
    for (time_t t = before; t <= after; ++t) {
        struct tm fields;
        char text[64];
        ASSERT_NE(localtime_r(&t, &fields), nullptr);
        strftime(text, sizeof text, "plain \" : %Y-%m-%d %H:%M:%S\\n\"", &fields);
        seconds.push_back(text);
    }
    EXPECT_NE(std::find(seconds.begin(), seconds.end(), heading[1]), seconds.end())
        << heading[1] << " is none of the local times from " << seconds.front() << " to " << seconds.back();
}

const char kAtrHead[] = "weighted bold \" Informacje o karcie :\\n\"";
const char kBlack[] = "colour #000000";
const char kRed[] = "coloured #ff0000 normal font=null size=-1 ";

// What the report says from the chosen emission on: just before the cold
// reset of the first reader's card, that card is pulled or the daemon ends.
// The second reader holds the card that no profile knows.
std::vector<std::string> TailAfter(const std::string& action)
{
    const std::vector<std::string> atrFailed = {kAtrHead,
                                                kRed + std::string("\" Błąd pobrania ATR karty przez wrapper PCSC - "
                                                                   "<CODE>\\n\\n\""),
                                                kBlack};
    std::vector<std::string> secondReader;
    if (action == "pull-card") {
        secondReader = {"weighted bold \" Czytnik\"",
                        "weighted normal \" : Virtual PCD 00 01\\n\"",
                        "weighted bold \" Stan czytnika\"",
                        "weighted normal \" :  Karta w czytniku\\n\"",
                        kAtrHead,
                        "weighted bold \" ATR : \"",
                        "weighted normal \"3B:FF:96:00:00:81:31:FE:43:80:31:80:65:B0:84:65:66:FB:12:01:78:82:90:00:85:"
                        "FF:FF:FF:FF:FF:FF:FF\\n\\n\"",
                        kRed + std::string("\"Błąd pobrania podstawowych parametrów karty\\n\\n\""),
                        kBlack,
                        "weighted normal \"\\n\""};
    } else if (action == "stop-pcscd") {
        secondReader = {kRed + std::string("\"Błąd inicjalizacji czytnika przez wrapper PCSC - <CODE>\\n\\n\""),
                        kBlack};
    } else {
        return {};
    }
    std::vector<std::string> tail = atrFailed;
    tail.insert(tail.end(), secondReader.begin(), secondReader.end());
    tail.insert(tail.end(), {"weighted normal \"\\n\"", "weighted bold \" Szczegółowe informacje o kartach\\n\\n\"",
                             "coloured #0000ff bold font=null size=-1 \"Koniec raportu diagnostycznego\""});
    return tail;
}

TEST(ReportInRig, FrameAndSystemSectionsMatchTheGoldenText)
{
    ASSERT_EQ(Env("VD_RIG"), "1") << "runs only inside the rig";
    const std::string golden = Env("VD_APP_GOLDEN");
    const std::string actualPath = Env("VD_APP_ACTUAL");
    const std::string screenshot = Env("VD_APP_SCREENSHOT");
    ASSERT_FALSE(golden.empty());

    pid_t activated = -1;
    std::string activationDir;
    if (Env("VD_APP_ACTIVATION") == "1") {
        // The rig's own command line (process 1) names its "--no-pcscd"
        // option; shown as a plain init, no process line names the daemon.
        char path[] = "/tmp/vd-app-init-XXXXXX";
        const int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "/sbin/init", 10), 10);
        close(fd);
        ASSERT_EQ(mount(path, "/proc/1/cmdline", nullptr, MS_BIND, nullptr), 0) << strerror(errno);
        unlink(path);
        activated = StartSocketActivation(activationDir);
        ASSERT_GT(activated, 0) << "socket activation could not be set up (is systemd-socket-activate installed?)";
        ASSERT_FALSE(ProcessListNamesPcscd()) << "a process names the daemon before its first client";
    }

    std::vector<std::unique_ptr<VirtualCard>> cards;
    std::vector<std::future<bool>> insertions;
    const std::vector<CardSetup> setups = CardSet(Env("VD_APP_CARDS"));
    for (const CardSetup& setup : setups) {
        cards.push_back(std::make_unique<VirtualCard>(FromHex(setup.atr), setup.tcpPort));
        for (const auto& answer : setup.answers)
            cards.back()->AddResponse(FromHex(answer.first), FromHex(answer.second));
        VirtualCard* card = cards.back().get();
        // An activated daemon's readers appear only once the report has
        // woken it: the cards go in as soon as they can.
        insertions.push_back(std::async(std::launch::async, [card] { return card->Insert(std::chrono::seconds(30)); }));
        if (activated < 0) {
            ASSERT_TRUE(insertions.back().get()) << setup.reader;
            ASSERT_TRUE(WaitCardPresent(setup.reader)) << "card never became present in " << setup.reader;
        }
    }
    pid_t standIn = -1;
    if (Env("VD_APP_STOP_PCSCD") == "1") {
        standIn = ReplaceDaemonByStandIn();
        ASSERT_GT(standIn, 0) << "could not replace the daemon";
    }

    MainWindow window;
    ASSERT_FALSE(window.startupFailed());
    EXPECT_EQ(window.appVersion, "9.8.7");
    Recorder recorder(window);
    if (activated > 0) {
        // Holds the worker at the state line, the daemon now running, until
        // the daemon has seen the cards.
        recorder.onLine([&](const std::string& line) {
            if (line != "plain \" : Uruchomiona\\n\"")
                return;
            for (size_t i = 0; i < setups.size(); ++i) {
                EXPECT_TRUE(insertions[i].get()) << setups[i].reader;
                EXPECT_TRUE(WaitCardPresent(setups[i].reader)) << "card never became present in " << setups[i].reader;
            }
        });
    }
    const std::string action = Env("VD_APP_ACT");
    const std::vector<std::string> expectedTail = TailAfter(action);
    ASSERT_EQ(action.empty(), expectedTail.empty()) << "no such action: " << action;
    std::atomic<bool> acted(false);
    // Runs on the worker's thread, so what it does the worker meets next.
    if (!action.empty()) {
        recorder.onLine([&](const std::string& line) {
            if (acted || line != kAtrHead)
                return;
            acted = true;
            if (action == "pull-card") {
                cards.front()->Remove();
            } else {
                const pid_t daemon = static_cast<pid_t>(std::stol(Env("VD_RIG_PCSCD_PID")));
                kill(daemon, SIGTERM);
                vdrig::PollUntil([daemon] { return ProcessGone(daemon); }, std::chrono::seconds(20));
            }
        });
    }
    window.show();
    auto* view = window.findChild<AttrQTextBrowser*>("tbDiagnostic");
    ASSERT_NE(view, nullptr);
    // The pool's idle threads would outlive the report for a while; they
    // are ended before counting, on both sides.
    QThreadPool::globalInstance()->waitForDone();
    const std::set<std::string> threads = OwnThreads();
    const time_t started = time(nullptr);
    ASSERT_TRUE(RunReport(window));
    const time_t ended = time(nullptr);
    QThreadPool::globalInstance()->waitForDone();
    Stop(activated);
    if (!activationDir.empty()) {
        EXPECT_EQ(system(("rm -rf '" + activationDir + "'").c_str()), 0);
    }
    // No port's card-watch thread outlives the report.
    EXPECT_TRUE(WaitUntil([&] { return NewThreads(threads).empty(); }, 10000))
        << "threads left behind:" << NewThreads(threads);

    std::ostringstream actual;
    const std::vector<std::string> lines = recorder.lines();
    ExpectLocalDateLine(lines, started, ended);
    for (const std::string& line : lines)
        actual << Mask(line) << "\n";
    if (!actualPath.empty())
        std::ofstream(actualPath) << actual.str();

    if (!action.empty()) {
        ASSERT_TRUE(acted) << "the report never emitted " << kAtrHead;
        std::vector<std::string> tail;
        for (auto line = std::find(lines.begin(), lines.end(), kAtrHead); line != lines.end(); ++line)
            tail.push_back(MaskCodes(*line));
        EXPECT_EQ(tail, expectedTail) << "actual emissions written to " << actualPath;
    } else {
        std::ifstream in(golden);
        ASSERT_TRUE(in.good()) << golden;
        const std::string expected((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(actual.str(), expected) << "actual emissions written to " << actualPath;
    }

    // The view shows exactly what was emitted, in that order.
    EXPECT_EQ(view->toPlainText(), recorder.plain());

    if (standIn > 0) {
        kill(standIn, SIGKILL);
        waitpid(standIn, nullptr, 0);
    }

    if (!cards.empty()) {
        // The picture shows the reader and card state: its heading at the top.
        const QString heading = QStringLiteral("Lista stanu czytników i kart");
        QTextCursor top = view->document()->find(heading);
        ASSERT_FALSE(top.isNull());
        top.clearSelection();
        view->moveCursor(QTextCursor::End);
        view->setTextCursor(top);
        view->ensureCursorVisible();
        QCoreApplication::processEvents();
        const int first = view->cursorForPosition(QPoint(4, 4)).position();
        const QString shown = view->toPlainText().mid(first, 400);
        EXPECT_TRUE(shown.contains(heading)) << shown.toStdString();
        if (Env("VD_APP_STOP_PCSCD") != "1" && action.empty()) {
            EXPECT_TRUE(shown.contains(QStringLiteral(" Karta w czytniku"))) << shown.toStdString();
        }
    }

    if (!screenshot.empty()) {
        const QPixmap shot = window.grab();
        EXPECT_EQ(shot.size(), QSize(508, 400));
        EXPECT_TRUE(shot.save(QString::fromStdString(screenshot), "PNG"));
    }
}

// The emissions of the PC/SC service section after its heading, up to its
// closing line feed.
std::vector<std::string> DaemonSection(const std::vector<std::string>& lines)
{
    std::vector<std::string> section;
    bool inside = false;
    for (const std::string& line : lines) {
        if (inside) {
            section.push_back(line);
            if (line == "plain \"\\n\"")
                break;
        }
        inside = inside || line == "coloured #0000ff bold font=null size=-1 \"Informacje o usłudze PCSC\\n\\n\"";
    }
    return section;
}

TEST(ReportInRig, OnlyARootOwnedPcscdIsTheDaemonAndAskedItsVersion)
{
    ASSERT_EQ(Env("VD_RIG"), "1") << "runs only inside the rig";
    ASSERT_TRUE(Env("VD_RIG_PCSCD_PID").empty()) << "starts with the rig's daemon down (--no-pcscd)";
    const std::string decoy = Env("VD_APP_DECOY");
    ASSERT_EQ(access(decoy.c_str(), X_OK), 0) << "VD_APP_DECOY: " << decoy;
    char pattern[] = "/tmp/vd-decoys-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    const std::string marker = dir + "/ran-with-ver";
    const std::string stateLine = "weighted bold \" Stan\"";
    const std::string endLine = "plain \"\\n\"";

    MainWindow window;
    ASSERT_FALSE(window.startupFailed());
    Recorder recorder(window);
    window.show();

    // A process that names the daemon in its arguments, and a socket whose
    // holder never answers: neither is a running daemon, and the report ends.
    const pid_t watcher = Spawn({decoy, "-u", "pcscd"});
    ASSERT_GT(watcher, 0);
    const int silent = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(silent, 0);
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, "/run/pcscd/pcscd.comm");
    ASSERT_EQ(bind(silent, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << strerror(errno);
    ASSERT_EQ(listen(silent, 8), 0);
    ASSERT_TRUE(RunReport(window));
    EXPECT_EQ(DaemonSection(recorder.lines()),
              (std::vector<std::string>{stateLine, "plain \" : Nie jest uruchomiona\\n\"", endLine}));
    close(silent);
    unlink(address.sun_path);

    // Another user's program called pcscd in a directory anyone may write:
    // it counts as running, but it is never run.
    const std::string stranger = dir + "/pcscd";
    ASSERT_EQ(system(("cp '" + decoy + "' '" + stranger + "'").c_str()), 0);
    ASSERT_EQ(chown(stranger.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(stranger.c_str(), 0755), 0);
    const pid_t strangerPid = Spawn({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", stranger});
    ASSERT_GT(strangerPid, 0);
    const std::string strangerExe = "/proc/" + std::to_string(strangerPid) + "/exe";
    ASSERT_TRUE(WaitUntil([&] {
        char target[4096];
        const ssize_t n = readlink(strangerExe.c_str(), target, sizeof target);
        return n > 0 && std::string(target, static_cast<size_t>(n)) == stranger;
    }, 10000));
    recorder.clear();
    ASSERT_TRUE(RunReport(window));
    EXPECT_EQ(DaemonSection(recorder.lines()),
              (std::vector<std::string>{stateLine, "plain \" : Uruchomiona\\n\"", endLine}));
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << "the stranger's program was run";

    // The real daemon, later in the process list than both: its version.
    const pid_t daemon =
        Spawn({"pcscd", "--foreground", "-c", Env("VD_APP_READER_CONF")}, dir + "/pcscd.log");
    ASSERT_GT(daemon, strangerPid);
    ASSERT_TRUE(WaitUntil([] {
        SCARDCONTEXT context = 0;
        if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
            return false;
        SCardReleaseContext(context);
        return true;
    }, 20000));
    recorder.clear();
    ASSERT_TRUE(RunReport(window));
    const std::vector<std::string> section = DaemonSection(recorder.lines());
    ASSERT_EQ(section.size(), 5u);
    EXPECT_EQ(section[1], "plain \" : Uruchomiona\\n\"");
    EXPECT_EQ(section[2], "weighted bold \" Wersja : \\n\"");
    EXPECT_EQ(section[3].rfind("plain \"  pcsc-lite version 1.9.9.\\n  ", 0), 0u) << section[3];
    EXPECT_EQ(section[4], endLine);
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << "the stranger's program was run";

    Stop(daemon);
    for (const pid_t pid : {watcher, strangerPid}) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}

} // namespace
