// The whole report end to end, inside the rig: fixed host name, private
// process list, fixture driver bundles, token libraries and card manager,
// our virtual cards in the rig's readers and the stand-in tokens serving
// them. The emissions are compared with a golden text in which only the
// date, the kernel and the host name are masked. Two runs instead pull a
// card or stop the daemon from the worker's own emission, and compare what
// the report says from there on; others meet a daemon or a card that has
// stopped answering. The decoy case runs its reports as root and as an
// ordinary user.
#include "app/AttrQTextBrowser.h"
#include "app/MainWindow.h"

#include "tests/support/qt/QtTestSupport.h"
#include "tests/support/rig/RigUtil.h"
#include "tests/support/testkit/ReportRecorder.h"
#include "tests/support/testkit/testkit.h"
#include "tests/support/vcard/VirtualCard.h"

#include <QElapsedTimer>
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
#include <thread>
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

using testkit::Quoted;
using testkit::ReadFile;
using testkit::Spawn;

// Every emission of one report, in the worker's order, as one line each.
class Recorder : public testkit::ReportRecorder {
public:
    explicit Recorder(MainWindow& window)
    {
        const auto direct = Qt::DirectConnection;
        QObject::connect(&window, &MainWindow::signalGUI_setCurrentColor, &window,
                         [this](QColor c) { colour(c); }, direct);
        QObject::connect(&window, qOverload<QString>(&MainWindow::signalGUI_append), &window,
                         [this](QString t) { plain(t); }, direct);
        QObject::connect(&window, qOverload<QByteArray>(&MainWindow::signalGUI_append), &window,
                         [this](QByteArray b) { plain(b); }, direct);
        QObject::connect(&window, qOverload<QString, bool>(&MainWindow::signalGUI_append), &window,
                         [this](QString t, bool bold) { weighted(t, bold); }, direct);
        QObject::connect(&window, qOverload<QByteArray, bool>(&MainWindow::signalGUI_append), &window,
                         [this](QByteArray b, bool bold) { weighted(b, bold); }, direct);
        QObject::connect(&window, qOverload<QString, QByteArray, int, QColor, bool>(&MainWindow::signalGUI_append),
                         &window,
                         [this](QString t, QByteArray f, int s, QColor c, bool bold) { coloured(t, f, s, c, bold); },
                         direct);
        QObject::connect(&window,
                         qOverload<QByteArray, QByteArray, int, QColor, bool>(&MainWindow::signalGUI_append), &window,
                         [this](QByteArray b, QByteArray f, int s, QColor c, bool bold) {
                             coloured(QString::fromUtf8(b), f, s, c, bold);
                         }, direct);
    }
};

std::string Mask(std::string line)
{
    struct utsname names;
    if (uname(&names) == 0) {
        const std::pair<std::string, std::string> fields[] = {{Quoted(names.version).substr(1), "<KERNEL-VERSION>"},
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

// The card sets of the scenarios, by name.
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

void Stop(pid_t pid)
{
    if (pid > 0 && kill(pid, SIGTERM) == 0)
        waitpid(pid, nullptr, 0);
}

// True also when the list cannot be read, so that the precondition fails.
bool ProcessListNamesPcscd()
{
    std::string list;
    return testkit::RunCaptured({"ps", "-ax"}, &list) < 0 || list.find("pcscd") != std::string::npos;
}

// Socket activation as a desktop's init system does it, without one: a
// holder listens on a socket that is also linked as the daemon's socket and
// starts the daemon with the rig's readers on the first connection. Until
// then no process line names the daemon. Returns the holder, which becomes
// the daemon.
pid_t StartSocketActivation(const std::string& dir)
{
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

// Threads of now that were not there before.
std::string NewThreads(const std::set<std::string>& before)
{
    std::string added;
    for (const std::string& id : testkit::OwnThreadIds())
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
using testkit::kBlack;
using testkit::kRed;

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

// The golden report as it reads when its reader list has failed: the red
// line in place of the list, and of the reader and card state section only
// its heading, before the closing line.
std::string WithFailedReaderList(const std::string& golden)
{
    const std::string listHeading = "weighted bold \" Lista czytników wykorzystywanych przez serwis PCSC\\n\"";
    const std::string stateHeading = "coloured #0000ff bold font=null size=-1 \"Lista stanu czytników i kart\\n\\n\"";
    const std::string closing = "coloured #0000ff bold font=null size=-1 \"Koniec raportu diagnostycznego\"";
    std::istringstream in(golden);
    std::string out;
    std::string line;
    bool listNext = false;
    bool inState = false;
    while (std::getline(in, line)) {
        if (listNext) {
            out += kRed + std::string("\" Błąd pobrania listy czytników przez wrapper PCSC\\n\"\n") + kBlack + "\n";
            listNext = false;
            continue;
        }
        inState = inState && line != closing;
        if (!inState)
            out += line + "\n";
        listNext = line == listHeading;
        inState = inState || line == stateHeading;
    }
    return out;
}

// A process stopped (SIGSTOP): let run again by Resume(), by itself
// resumeAfterMs after Opened() when that is not negative, and at the latest
// when the object goes, so that no failed check leaves the report, and with
// it the window, waiting.
class StoppedProcess {
public:
    StoppedProcess(pid_t pid, int resumeAfterMs) : pid_(pid)
    {
        stopped_ = pid > 0 && kill(pid, SIGSTOP) == 0 &&
                   testkit::WaitUntil([pid] { return vdrig::ProcessStopped(pid); }, std::chrono::seconds(20));
        if (resumeAfterMs < 0)
            return;
        const std::shared_future<void> opened = opened_.get_future().share();
        resumer_ = std::thread([this, opened, resumeAfterMs] {
            if (opened.wait_for(std::chrono::seconds(60)) == std::future_status::ready)
                std::this_thread::sleep_for(std::chrono::milliseconds(resumeAfterMs));
            Resume();
        });
    }
    ~StoppedProcess()
    {
        Resume();
        if (resumer_.joinable()) {
            Opened();
            resumer_.join();
        }
    }
    bool stopped() const { return stopped_; }
    // Starts the count towards the resumption; any thread, any number of times.
    void Opened()
    {
        std::call_once(openedOnce_, [this] { opened_.set_value(); });
    }
    void Resume()
    {
        const pid_t pid = pid_.exchange(-1);
        if (pid > 0)
            kill(pid, SIGCONT);
    }

private:
    std::atomic<pid_t> pid_;
    bool stopped_ = false;
    std::once_flag openedOnce_;
    std::promise<void> opened_;
    std::thread resumer_;
};

// The first card of a card set as a program of its own, which can be
// stopped as a whole, as a card whose reader driver then waits on it.
class CardProgram {
public:
    explicit CardProgram(const CardSetup& setup)
    {
        if (dir_.path().empty())
            return;
        std::string script;
        for (const auto& answer : setup.answers)
            script += std::string(answer.first) + " " + answer.second + "\n";
        if (testkit::WriteFile(dir_.path() + "/script", script))
            pid_ = Spawn({VD_APP_VCARD, "--port", std::to_string(setup.tcpPort), "--atr", setup.atr,
                          "--script", dir_.path() + "/script", "--wait", "30"},
                         dir_.path() + "/log");
    }
    ~CardProgram() { Stop(pid_); }
    pid_t pid() const { return pid_; }

private:
    testkit::TempDir dir_;
    pid_t pid_ = -1;
};

// The worker's waits on the PC/SC service are bounded: the daemon's wake-up
// and the reader list. Each wait, from the emission before it to the one
// after it, lasts at least its bound when the service does not answer, and
// ends within a margin that no load uses up (a process list is read after
// the wake-up); the whole report ends within a wider margin for the rest of
// its work. Both stay below the wait for a report that never ends (60 s):
// the stopped process is only resumed after the report.
const int kWakeBoundMs = 5000;
const int kListBoundMs = 10000;
const int kWaitMarginMs = 20000;
const int kLoadMarginMs = 30000;

// What a scenario may stop, and the bounded wait that meets it first.
struct Freeze {
    const char* what;
    const char* opens;  // the emission right before the wait
    int boundMs;
};
const Freeze kFreezes[] = {
    // The daemon itself, as one hung on a reader driver: its wake-up.
    {"pcscd", "weighted bold \" Stan\"", kWakeBoundMs},
    // The first reader's card: the daemon answers, but the reader's driver
    // waits on the card, and with it the probe of every listed reader.
    {"card", "weighted bold \" Lista czytników wykorzystywanych przez serwis PCSC\\n\"", kListBoundMs},
};

// One scenario of the report in the rig. The ctest entry of the same name,
// app_report_rig_<name>, sets up the rig from its row in CMakeLists.txt:
// the rig's daemon or none, the fixture trees, the stand-in tokens.
struct Scenario {
    std::string cards;       // the card set in the readers (CardSet); none when empty
    std::string golden;      // golden/report-<golden>.txt; the test's own name when empty
    std::string act;         // an action of TailAfter at the first card's ATR heading, checked
                             // by what follows it instead of the golden text
    std::string freeze;      // a row of kFreezes, stopped before the report
    int resumeAfterMs = -1;  // with freeze: resumed this long into the wait; -1: stopped for a
                             // first report and resumed for a second
    bool standIn = false;    // the daemon replaced by a process that only bears its name
    bool activated = false;  // the daemon started by socket activation on its first client

    Scenario& Cards(const char* set) { cards = set; return *this; }
    Scenario& Golden(const char* name) { golden = name; return *this; }
    Scenario& Act(const char* action) { act = action; return *this; }
    Scenario& Freeze(const char* what) { freeze = what; return *this; }
    Scenario& ResumeAfterMs(int ms) { resumeAfterMs = ms; return *this; }
    Scenario& StandIn() { standIn = true; return *this; }
    Scenario& Activated() { activated = true; return *this; }
};

class ReportScenario : public ::testing::Test {
protected:
    void Check(Scenario scenario);
};

void ReportScenario::Check(Scenario scenario)
{
    ASSERT_EQ(Env("VD_RIG"), "1") << "runs only inside the rig";
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    if (scenario.golden.empty())
        scenario.golden = name;
    const std::string golden = std::string(VD_APP_GOLDEN_DIR) + "/report-" + scenario.golden + ".txt";
    const std::string actualPath = std::string(VD_APP_OUTPUT_DIR) + "/actual-" + name + ".txt";
    const std::string screenshot = std::string(VD_APP_OUTPUT_DIR) + "/main-window-" + name + ".png";

    pid_t activated = -1;
    std::unique_ptr<testkit::TempDir> activationDir;
    if (scenario.activated) {
        activationDir = std::make_unique<testkit::TempDir>();
        ASSERT_FALSE(activationDir->path().empty());
        // The rig's own command line (process 1) names its "--no-pcscd"
        // option; shown as a plain init, no process line names the daemon.
        const std::string cmdline = activationDir->path() + "/cmdline";
        ASSERT_TRUE(testkit::WriteFile(cmdline, "/sbin/init"));
        ASSERT_EQ(mount(cmdline.c_str(), "/proc/1/cmdline", nullptr, MS_BIND, nullptr), 0) << strerror(errno);
        unlink(cmdline.c_str());
        activated = StartSocketActivation(activationDir->path());
        ASSERT_GT(activated, 0) << "socket activation could not be set up (is systemd-socket-activate installed?)";
        ASSERT_FALSE(ProcessListNamesPcscd()) << "a process names the daemon before its first client";
    }

    std::vector<std::unique_ptr<VirtualCard>> cards;
    std::vector<std::future<bool>> insertions;
    const std::vector<CardSetup> setups = CardSet(scenario.cards);
    ASSERT_EQ(setups.empty(), scenario.cards.empty()) << "no such card set: " << scenario.cards;
    const std::string freezing = scenario.freeze;
    std::unique_ptr<CardProgram> cardProgram;
    for (const CardSetup& setup : setups) {
        if (freezing == "card" && cardProgram == nullptr) {
            cardProgram = std::make_unique<CardProgram>(setup);
            ASSERT_GT(cardProgram->pid(), 0) << "the card program did not start (" << VD_APP_VCARD << ")";
            ASSERT_TRUE(WaitCardPresent(setup.reader)) << "card never became present in " << setup.reader;
            continue;
        }
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
    if (scenario.standIn) {
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
    const std::string action = scenario.act;
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
                testkit::WaitUntil([daemon] { return ProcessGone(daemon); }, std::chrono::seconds(20));
            }
        });
    }
    window.show();
    auto* view = window.findChild<AttrQTextBrowser*>("tbDiagnostic");
    ASSERT_NE(view, nullptr);
    // The pool's idle threads would outlive the report for a while; they
    // are ended before counting, on both sides.
    QThreadPool::globalInstance()->waitForDone();
    const std::set<std::string> threads = testkit::OwnThreadIds();
    // A process stops answering before the report. Stopped for the whole
    // report, the bounded wait that meets it first runs out: the report says
    // the reader list failed and asks the service nothing more, and the next
    // report, with the process running again, is the whole one. Resumed
    // well inside the bound, the report is the whole one at once.
    const Freeze* freeze = nullptr;
    for (const Freeze& row : kFreezes)
        freeze = freezing == row.what ? &row : freeze;
    ASSERT_EQ(freeze == nullptr, freezing.empty()) << "no such process to stop: " << freezing;
    const int resumeAfterMs = scenario.resumeAfterMs;
    std::unique_ptr<StoppedProcess> frozen;
    QElapsedTimer clock;
    std::atomic<qint64> opened(-1), closed(-1);
    if (freeze != nullptr) {
        ASSERT_TRUE(freezing != "card" || cardProgram != nullptr) << "no card set to stop a card of";
        frozen = std::make_unique<StoppedProcess>(
            freezing == "pcscd" ? static_cast<pid_t>(vdrig::DaemonPid()) : cardProgram->pid(), resumeAfterMs);
        ASSERT_TRUE(frozen->stopped());
        recorder.onLine([&](const std::string& line) {
            if (opened < 0 && line == freeze->opens) {
                opened = clock.elapsed();
                frozen->Opened();
            } else if (opened >= 0 && closed < 0) {
                closed = clock.elapsed();
            }
        });
        clock.start();
    }
    if (freeze != nullptr && resumeAfterMs < 0) {
        if (!RunReport(window)) {
            // The report must end before the window and the recorder go.
            frozen->Resume();
            WaitUntil([&] { return window.findChild<QPushButton*>("bGenerateReport")->isEnabled(); }, 60000);
            FAIL() << "the report waits on the stopped " << freezing;
        }
        recorder.onLine(nullptr);
        EXPECT_LT(clock.elapsed(), freeze->boundMs + kLoadMarginMs);
        ASSERT_TRUE(opened >= 0 && closed >= 0);
        EXPECT_GE(closed - opened, freeze->boundMs) << "the wait ended before its bound, not on it";
        EXPECT_LT(closed - opened, freeze->boundMs + kWaitMarginMs) << "the wait outlasted its bound";
        EXPECT_TRUE(window.findChild<QPushButton*>("bSaveReport")->isEnabled());
        std::ostringstream report;
        for (const std::string& line : recorder.lines())
            report << Mask(line) << "\n";
        EXPECT_EQ(report.str(), WithFailedReaderList(ReadFile(golden)));
        frozen->Resume();
        recorder.clear();
    }
    const time_t started = time(nullptr);
    ASSERT_TRUE(RunReport(window));
    const time_t ended = time(nullptr);
    if (freeze != nullptr && resumeAfterMs >= 0) {
        recorder.onLine(nullptr);
        frozen.reset();
        ASSERT_TRUE(opened >= 0 && closed >= 0);
        EXPECT_GE(closed - opened, resumeAfterMs) << "the stop did not hold the bounded wait";
    }
    QThreadPool::globalInstance()->waitForDone();
    Stop(activated);
    activationDir.reset();
    // No port's card-watch thread outlives the report.
    EXPECT_TRUE(WaitUntil([&] { return NewThreads(threads).empty(); }, 10000))
        << "threads left behind:" << NewThreads(threads);

    std::ostringstream actual;
    const std::vector<std::string> lines = recorder.lines();
    ExpectLocalDateLine(lines, started, ended);
    for (const std::string& line : lines)
        actual << Mask(line) << "\n";
    std::ofstream(actualPath) << actual.str();

    if (!action.empty()) {
        ASSERT_TRUE(acted) << "the report never emitted " << kAtrHead;
        std::vector<std::string> tail;
        for (auto line = std::find(lines.begin(), lines.end(), kAtrHead); line != lines.end(); ++line)
            tail.push_back(MaskCodes(*line));
        EXPECT_EQ(tail, expectedTail) << "actual emissions written to " << actualPath;
    } else {
        ASSERT_TRUE(std::ifstream(golden).good()) << golden;
        EXPECT_EQ(actual.str(), ReadFile(golden)) << "actual emissions written to " << actualPath;
    }

    // The view shows exactly what was emitted, in that order.
    EXPECT_EQ(view->toPlainText(), recorder.text());

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
        if (!scenario.standIn && action.empty()) {
            EXPECT_TRUE(shown.contains(QStringLiteral(" Karta w czytniku"))) << shown.toStdString();
        }
    }

    const QPixmap shot = window.grab();
    EXPECT_EQ(shot.size(), QSize(508, 400));
    EXPECT_TRUE(shot.save(QString::fromStdString(screenshot), "PNG"));
}

// The scenarios. With the rig's daemon and cards and tokens in both
// readers: the whole report, and the same with the daemon started by its
// first client. Without a daemon, beside a partial tree (only the
// regular-profile library, no card manager but the property list it left
// behind, driver bundles that each lack a key), and with sparse installed
// files. The daemon stopped under a process list that still names it. The
// card pulled, or the daemon ended, while the report runs. The daemon, or
// the first reader's card run as a program of its own on which the reader's
// driver then waits, stopped for one report and let run for the next; the
// same stopped before the report and resumed 1.5 s into the bounded wait
// they meet, well inside its bound.
TEST_F(ReportScenario, pcscd) { Check(Scenario().Cards("card-and-unknown")); }
TEST_F(ReportScenario, activated) { Check(Scenario().Cards("card-and-unknown").Activated().Golden("pcscd")); }
TEST_F(ReportScenario, nopcscd) { Check(Scenario()); }
TEST_F(ReportScenario, sparse) { Check(Scenario()); }
TEST_F(ReportScenario, twocards) { Check(Scenario().Cards("two-cards")); }
TEST_F(ReportScenario, readerfail) { Check(Scenario().Cards("card-and-unknown").StandIn()); }
TEST_F(ReportScenario, cardpulled) { Check(Scenario().Cards("card-and-unknown").Act("pull-card")); }
TEST_F(ReportScenario, pcscdstopped) { Check(Scenario().Cards("card-and-unknown").Act("stop-pcscd")); }
TEST_F(ReportScenario, pcscdfrozen) { Check(Scenario().Cards("card-and-unknown").Freeze("pcscd").Golden("pcscd")); }
TEST_F(ReportScenario, readerfrozen) { Check(Scenario().Cards("card-and-unknown").Freeze("card").Golden("pcscd")); }
TEST_F(ReportScenario, pcscdpaused)
{
    Check(Scenario().Cards("card-and-unknown").Freeze("pcscd").ResumeAfterMs(1500).Golden("pcscd"));
}
TEST_F(ReportScenario, readerpaused)
{
    Check(Scenario().Cards("card-and-unknown").Freeze("card").ResumeAfterMs(1500).Golden("pcscd"));
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

// One report, and its PC/SC service section written to VD_APP_SECTION_OUT,
// one emission a line. The decoy test below runs it as another user.
TEST(ReportInRig, DaemonSectionOfOneReport)
{
    const std::string out = Env("VD_APP_SECTION_OUT");
    ASSERT_FALSE(out.empty()) << "run by ReportInRig.OnlyARootOwnedPcscdIsTheDaemonAndAskedItsVersion";
    MainWindow window;
    ASSERT_FALSE(window.startupFailed());
    Recorder recorder(window);
    window.show();
    ASSERT_TRUE(RunReport(window));
    std::ofstream file(out);
    for (const std::string& line : DaemonSection(recorder.lines()))
        file << line << "\n";
    file.close();
    EXPECT_TRUE(file.good()) << out;
}

std::vector<std::string> FileLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Single reports as an ordinary user: a copy of this program, in a
// directory that the user can reach whatever the build tree allows, runs
// under setpriv and writes back the PC/SC service section.
class ReportAsUser {
public:
    explicit ReportAsUser(uid_t uid) : uid_(uid), dir_(home_.path())
    {
        if (dir_.empty())
            return;
        const std::string own = dir_ + "/runtime";
        const std::string out = dir_ + "/out";
        ready_ = chmod(dir_.c_str(), 0755) == 0 &&
                 system(("cp /proc/" + std::to_string(getpid()) + "/exe '" + dir_ + "/program'").c_str()) == 0 &&
                 mkdir(own.c_str(), 0700) == 0 && chown(own.c_str(), uid, uid) == 0 && mkdir(out.c_str(), 0700) == 0 &&
                 chown(out.c_str(), uid, uid) == 0;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            std::string text = *entry;
            if (text.rfind("XDG_RUNTIME_DIR=", 0) == 0)
                continue;
            // A sanitizer's suppression file is copied beside the program.
            const size_t at = text.find("suppressions=");
            if (text.find("SAN_OPTIONS=") != std::string::npos && at != std::string::npos) {
                const size_t from = at + strlen("suppressions=");
                const size_t to = std::min(text.find(':', from), text.size());
                const std::string copy = dir_ + "/suppressions-" + std::to_string(env_.size());
                ready_ = ready_ && system(("cp '" + text.substr(from, to - from) + "' '" + copy + "'").c_str()) == 0 &&
                         chmod(copy.c_str(), 0644) == 0;
                text.replace(from, to - from, copy);
            }
            env_.push_back(text);
        }
        env_.push_back("XDG_RUNTIME_DIR=" + own);
    }
    bool ready() const { return ready_; }

    // The section of one report; empty, with the run's output in failure,
    // when the run failed.
    std::vector<std::string> DaemonSection(const std::string& name, std::string& failure)
    {
        const std::string out = dir_ + "/out/" + name;
        const std::string log = dir_ + "/" + name + ".log";
        std::vector<std::string> env = env_;
        env.push_back("VD_APP_SECTION_OUT=" + out);
        const std::string id = std::to_string(uid_);
        const pid_t pid = Spawn({"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", dir_ + "/program",
                                 "--gtest_filter=ReportInRig.DaemonSectionOfOneReport"},
                                log, env);
        int status = -1;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            failure = "status " + std::to_string(status) + ":\n" + ReadFile(log);
            return {};
        }
        return FileLines(out);
    }

private:
    uid_t uid_;
    testkit::TempDir home_;
    std::string dir_;
    bool ready_ = false;
    std::vector<std::string> env_;
};

// What the PC/SC service section shows of a process list's daemon.
enum class Shown { NotRunning, NoVersion, DaemonVersion, DecoyVersion };

void ExpectSection(std::vector<std::string> section, Shown shown)
{
    // The daemon's own version block is told by its first line.
    const std::string daemonVersion = "plain \"  pcsc-lite version 1.9.9.\\n  ";
    for (std::string& line : section) {
        if (line.rfind(daemonVersion, 0) == 0)
            line = "<the daemon's version block>";
    }
    std::vector<std::string> expected = {"weighted bold \" Stan\"", shown == Shown::NotRunning
                                                                     ? "plain \" : Nie jest uruchomiona\\n\""
                                                                     : "plain \" : Uruchomiona\\n\""};
    if (shown == Shown::DaemonVersion || shown == Shown::DecoyVersion)
        expected.push_back("weighted bold \" Wersja : \\n\"");
    if (shown == Shown::DaemonVersion)
        expected.push_back("<the daemon's version block>");
    if (shown == Shown::DecoyVersion)
        expected.push_back("plain \"  decoy version 6.6.6\\n  \"");
    expected.push_back("plain \"\\n\"");
    EXPECT_EQ(section, expected);
}

const uid_t kUser = 65534;      // the ordinary user who runs the report
const uid_t kStranger = 4321;   // another ordinary user

// The live processes (not yet ended, or ending: a zombie counts as gone)
// whose name is name, in the rig's own process list.
std::vector<pid_t> LiveProcessesNamed(const std::string& name)
{
    std::set<std::string> entries;
    std::vector<pid_t> found;
    testkit::DirectoryNames("/proc", &entries);
    for (const std::string& entry : entries) {
        std::string shown;
        char state = 0;
        if (entry.find_first_not_of("0123456789") == std::string::npos &&
            vdrig::ProcessNameAndState(std::stol(entry), &shown, &state) && shown == name && state != 'Z' &&
            state != 'X')
            found.push_back(static_cast<pid_t>(std::stol(entry)));
    }
    return found;
}

// The processes of one row of the decoy test, and what they leave behind:
// a directory anyone may write (in /tmp) and a file system of root's, only
// root may write, mounted below the rig's own /run/pcscd; both go with the
// scene.
class DecoyScene {
public:
    explicit DecoyScene(const std::string& decoy) : decoy_(decoy), open_(openDir_.path())
    {
        if (open_.empty() || chmod(open_.c_str(), 0777) != 0)
            open_.clear();
        if (Directory(kRootOnly, 0755).empty() || mount("tmpfs", kRootOnly, "tmpfs", 0, "mode=0755") != 0)
            return;
        mounts_.push_back(kRootOnly);
        rootOnly_ = kRootOnly;
    }
    ~DecoyScene()
    {
        for (const pid_t pid : processes_)
            Stop(pid);
        if (socket_ >= 0) {
            close(socket_);
            unlink("/run/pcscd/pcscd.comm");
        }
        for (auto dir = mounts_.rbegin(); dir != mounts_.rend(); ++dir)
            EXPECT_EQ(umount2(dir->c_str(), MNT_DETACH), 0) << *dir;
        rmdir(kRootOnly);
    }
    DecoyScene(const DecoyScene&) = delete;
    DecoyScene& operator=(const DecoyScene&) = delete;

    // The directory anyone may write.
    const std::string& open() const { return open_; }
    // A directory only root may write, below directories only root may write.
    const std::string& rootOnly() const { return rootOnly_; }

    // A copy of the decoy named name in dir, made with the given owner and
    // mode; its path, or empty.
    std::string Copy(const std::string& dir, uid_t owner, mode_t mode, const std::string& name = "pcscd")
    {
        if (dir.empty())
            return std::string();
        const std::string path = dir + "/" + name;
        WatchForMarker(dir);
        if (!testkit::WriteFile(path, ReadFile(decoy_)) || chown(path.c_str(), owner, owner) != 0 ||
            chmod(path.c_str(), mode) != 0)
            return std::string();
        return path;
    }
    // A copy of the decoy named "pcscd" in dir, started as its owner by its
    // absolute path through the directory named via (dir itself when empty).
    bool StartCopy(const std::string& dir, uid_t owner, mode_t mode, const std::string& via = std::string())
    {
        const std::string path = Copy(dir, owner, mode);
        if (path.empty())
            return false;
        const std::string id = std::to_string(owner);
        const pid_t pid = Spawn({"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups",
                                 (via.empty() ? dir : via) + "/pcscd"});
        processes_.push_back(pid);
        const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
        return pid > 0 && WaitUntil([&] {
                   char target[4096];
                   const ssize_t n = readlink(exe.c_str(), target, sizeof target);
                   return n > 0 && std::string(target, static_cast<size_t>(n)) == path;
               }, 10000);
    }
    // A program the stranger runs in a user and mount namespace of their
    // own: script, for bash, with the arguments args, ends in
    // "exec -a pcscd PATH". Started once the process shows that name.
    bool StartAsStranger(const std::string& script, const std::vector<std::string>& args)
    {
        const std::string id = std::to_string(kStranger);
        std::vector<std::string> command = {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups",
                                            "unshare", "-Urm", "bash", "-c", script, "bash"};
        command.insert(command.end(), args.begin(), args.end());
        const pid_t pid = Spawn(command, open_ + "/stranger.log");
        processes_.push_back(pid);
        const std::string cmdline = "/proc/" + std::to_string(pid) + "/cmdline";
        return pid > 0 && WaitUntil([&] { return ReadFile(cmdline) == std::string("pcscd", 6); }, 10000);
    }
    // A directory of root's with the given mode.
    static std::string Directory(const std::string& path, mode_t mode)
    {
        if (mkdir(path.c_str(), mode) != 0 || chmod(path.c_str(), mode) != 0)
            return std::string();
        return path;
    }
    // A directory of root's that only root may write, on a file system of
    // its own mounted nosuid, as every mount an ordinary user can make is.
    std::string NosuidDirectory(const std::string& path)
    {
        if (Directory(path, 0755).empty() || mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID, "mode=0755") != 0)
            return std::string();
        mounts_.push_back(path);
        return path;
    }
    // A process that names "pcscd" in its arguments only, and a socket
    // where the daemon's would be whose holder never answers.
    bool StartArgumentAndSilentSocket()
    {
        processes_.push_back(Spawn({decoy_, "-u", "pcscd"}));
        socket_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un address {};
        address.sun_family = AF_UNIX;
        strcpy(address.sun_path, "/run/pcscd/pcscd.comm");
        return processes_.back() > 0 && socket_ >= 0 &&
               bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
               chmod(address.sun_path, 0777) == 0 && listen(socket_, 8) == 0;
    }
    // The real daemon, started as program (through launcher when given),
    // once it answers.
    bool StartDaemon(const std::string& program, std::vector<std::string> launcher = {})
    {
        launcher.insert(launcher.end(), {program, "--foreground", "-c", Env("VD_APP_READER_CONF")});
        processes_.push_back(Spawn(launcher, open_ + "/pcscd.log"));
        return processes_.back() > 0 && WaitUntil([] {
                   SCARDCONTEXT context = 0;
                   if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
                       return false;
                   SCardReleaseContext(context);
                   return true;
               }, 20000);
    }
    // Where a copy of the decoy run with "--ver" leaves its file: beside
    // itself as its own mount namespace shows it.
    void WatchForMarker(const std::string& dir) { markerDirs_.push_back(dir); }
    bool DecoyRan() const
    {
        for (const std::string& dir : markerDirs_) {
            if (access((dir + "/ran-with-ver").c_str(), F_OK) == 0)
                return true;
        }
        return false;
    }

private:
    static constexpr const char* kRootOnly = "/run/pcscd/vd-scene";
    std::string decoy_;
    testkit::TempDir openDir_;
    std::string open_;
    std::string rootOnly_;
    std::vector<pid_t> processes_;
    std::vector<std::string> mounts_;
    std::vector<std::string> markerDirs_;
    int socket_ = -1;
};

struct DecoyRow {
    const char* name;
    std::function<bool(DecoyScene&)> start;
    Shown asRoot;
    Shown asUser;
};

// The stranger's attacks from a user and mount namespace of their own: a
// file of root's on a nosuid mount ("$2") seen through their overlay over a
// directory of theirs ("$1"), and another file of root's ("$2") bound over a
// path ("$1"); either run as "pcscd".
const char kStrangersOverlay[] =
    "mkdir -p \"$1/upper\" \"$1/work\" \"$1/merged\" && "
    "mount -t overlay overlay -o \"lowerdir=$2,upperdir=$1/upper,workdir=$1/work\" \"$1/merged\" && "
    "exec -a pcscd \"$1/merged/pcscd\"";
const char kStrangersBind[] = "mount --bind \"$2\" \"$1\" && exec -a pcscd \"$1\"";

// Which process of the list is the daemon, and whose program is run for its
// version, with the report run by root and by an ordinary user. Root looks
// at the file a process runs and finds it by its path in its own view of
// the system; the user, who may not, at the program its command names.
// Either way only a root-owned "pcscd" reached through directories and
// links that only root may change is run: never a stranger's file, nor one
// on a file system mounted nosuid, nor what a stranger shows a file of
// root's as in a mount namespace of their own. What the version program
// starts ends with it.
TEST(ReportInRig, OnlyARootOwnedPcscdIsTheDaemonAndAskedItsVersion)
{
    ASSERT_EQ(Env("VD_RIG"), "1") << "runs only inside the rig";
    ASSERT_TRUE(Env("VD_RIG_PCSCD_PID").empty()) << "starts with the rig's daemon down (--no-pcscd)";
    ASSERT_EQ(geteuid(), 0u) << "needs root to start the processes of other users";
    const std::string decoy = Env("VD_APP_DECOY");
    ASSERT_EQ(access(decoy.c_str(), X_OK), 0) << "VD_APP_DECOY: " << decoy;

    const std::vector<DecoyRow> rows = {
        {"named_in_arguments", [](DecoyScene& scene) { return scene.StartArgumentAndSilentSocket(); },
         Shown::NotRunning, Shown::NotRunning},
        {"strangers_pcscd", [](DecoyScene& scene) { return scene.StartCopy(scene.open(), kStranger, 0755); },
         Shown::NoVersion, Shown::NoVersion},
        // Earlier in the list than the daemon, it does not hide the daemon's version.
        {"strangers_pcscd_before_the_daemon",
         [](DecoyScene& scene) {
             return scene.StartCopy(scene.open(), kStranger, 0755) && scene.StartDaemon("/usr/sbin/pcscd");
         },
         Shown::DaemonVersion, Shown::DaemonVersion},
        {"the_users_own_pcscd",
         [](DecoyScene& scene) { return scene.StartCopy(scene.Directory(scene.open() + "/user", 0777), kUser, 0755); },
         Shown::NoVersion, Shown::NoVersion},
        {"roots_pcscd_below_a_directory_anyone_writes",
         [](DecoyScene& scene) {
             scene.Directory(scene.rootOnly() + "/open", 0777);
             return scene.StartCopy(scene.Directory(scene.rootOnly() + "/open/sub", 0755), 0, 0755);
         },
         Shown::NoVersion, Shown::NoVersion},
        {"strangers_pcscd_in_roots_directories",
         [](DecoyScene& scene) {
             return scene.StartCopy(scene.Directory(scene.rootOnly() + "/stranger", 0755), kStranger, 0755);
         },
         Shown::NoVersion, Shown::NoVersion},
        {"roots_pcscd_its_group_may_write",
         [](DecoyScene& scene) { return scene.StartCopy(scene.Directory(scene.rootOnly() + "/group", 0755), 0, 0775); },
         Shown::NoVersion, Shown::NoVersion},
        {"roots_pcscd_in_roots_directories",
         [](DecoyScene& scene) { return scene.StartCopy(scene.rootOnly(), 0, 0755); },
         Shown::DecoyVersion, Shown::DecoyVersion},
        // Started through root's link in a directory only root may write, as
        // "/sbin/pcscd" where "/sbin" is root's link to "usr/sbin".
        {"roots_pcscd_through_roots_link",
         [](DecoyScene& scene) {
             const std::string usr = scene.Directory(scene.rootOnly() + "/usr", 0755);
             return !usr.empty() && !scene.Directory(usr + "/sbin", 0755).empty() &&
                    symlink("usr/sbin", (scene.rootOnly() + "/sbin").c_str()) == 0 &&
                    scene.StartCopy(usr + "/sbin", 0, 0755, scene.rootOnly() + "/sbin");
         },
         Shown::DecoyVersion, Shown::DecoyVersion},
        // Its version program starts a child that sleeps (the decoy does when
        // it finds "leave-a-child" beside itself): it does not outlive the report.
        {"roots_pcscd_whose_version_leaves_a_child",
         [](DecoyScene& scene) {
             return testkit::WriteFile(scene.rootOnly() + "/leave-a-child", "") &&
                    scene.StartCopy(scene.rootOnly(), 0, 0755);
         },
         Shown::DecoyVersion, Shown::DecoyVersion},
        // Root's in every way a file can show, but on a mount its user may have made.
        {"roots_pcscd_on_a_nosuid_mount",
         [](DecoyScene& scene) {
             return scene.StartCopy(scene.NosuidDirectory(scene.rootOnly() + "/nosuid"), 0, 0755);
         },
         Shown::NoVersion, Shown::NoVersion},
        // The same file seen through an overlay, which is not nosuid, in the
        // stranger's namespace.
        {"strangers_overlay_of_roots_pcscd_on_a_nosuid_mount",
         [](DecoyScene& scene) {
             const std::string medium = scene.NosuidDirectory(scene.rootOnly() + "/medium");
             const std::string own = scene.open() + "/stranger";
             scene.WatchForMarker(own + "/merged");
             return !scene.Copy(medium, 0, 0755).empty() && scene.StartAsStranger(kStrangersOverlay, {own, medium});
         },
         Shown::NoVersion, Shown::NoVersion},
        // A program of root's, bound over a file "pcscd" of the stranger's own.
        {"strangers_bind_of_a_roots_program",
         [](DecoyScene& scene) {
             const std::string program = scene.Copy(scene.rootOnly(), 0, 0755, "other");
             const std::string own = scene.open() + "/pcscd";
             scene.WatchForMarker(scene.open());
             return !program.empty() && testkit::WriteFile(own, "") && chown(own.c_str(), kStranger, kStranger) == 0 &&
                    scene.StartAsStranger(kStrangersBind, {own, program});
         },
         Shown::NoVersion, Shown::NoVersion},
        // The same, bound over a root-owned "pcscd" in root's directories:
        // its path names that file in root's view, not the one that runs.
        {"strangers_bind_over_a_roots_pcscd",
         [](DecoyScene& scene) {
             const std::string program = scene.Copy(scene.rootOnly(), 0, 0755, "other");
             const std::string daemon = scene.Copy(scene.Directory(scene.rootOnly() + "/daemon", 0755), 0, 0755);
             return !program.empty() && !daemon.empty() && scene.StartAsStranger(kStrangersBind, {daemon, program});
         },
         Shown::NoVersion, Shown::NoVersion},
        {"daemon_started_by_name", [](DecoyScene& scene) { return scene.StartDaemon("pcscd"); },
         Shown::DaemonVersion, Shown::NoVersion},
        {"daemon_started_by_its_path", [](DecoyScene& scene) { return scene.StartDaemon("/usr/sbin/pcscd"); },
         Shown::DaemonVersion, Shown::DaemonVersion},
        // As a service manager starts it: in a mount namespace of its own
        // whose /usr is a read-only bind of itself.
        {"daemon_in_a_read_only_view_of_usr",
         [](DecoyScene& scene) {
             return scene.StartDaemon("/usr/sbin/pcscd",
                                      {"unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
                                       "mount --bind /usr /usr && mount -o remount,bind,ro /usr && exec \"$@\"", "sh"});
         },
         Shown::DaemonVersion, Shown::DaemonVersion},
    };

    MainWindow window;
    ASSERT_FALSE(window.startupFailed());
    Recorder recorder(window);
    window.show();
    ReportAsUser user(kUser);
    ASSERT_TRUE(user.ready());

    for (const DecoyRow& row : rows) {
        SCOPED_TRACE(row.name);
        DecoyScene scene(decoy);
        ASSERT_TRUE(!scene.open().empty() && !scene.rootOnly().empty()) << "the row's directories were not made";
        ASSERT_TRUE(row.start(scene)) << "the row's processes did not start";
        recorder.clear();
        ASSERT_TRUE(RunReport(window));
        {
            SCOPED_TRACE("report by root");
            ExpectSection(DaemonSection(recorder.lines()), row.asRoot);
        }
        std::string failure;
        const std::vector<std::string> section = user.DaemonSection(row.name, failure);
        {
            SCOPED_TRACE("report by user " + std::to_string(kUser));
            EXPECT_TRUE(failure.empty()) << failure;
            ExpectSection(section, row.asUser);
        }
        if (row.asRoot != Shown::DecoyVersion && row.asUser != Shown::DecoyVersion) {
            EXPECT_FALSE(scene.DecoyRan()) << "a stranger's program was run";
        }
        // Killed with its version program's group, what that started ends at once.
        std::vector<pid_t> left;
        EXPECT_TRUE(WaitUntil([&] { return (left = LiveProcessesNamed("decoy-child")).empty(); }, 10000))
            << left.size() << " left running";
        for (const pid_t pid : left)
            kill(pid, SIGKILL);
    }
}

} // namespace
