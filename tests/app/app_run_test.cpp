// The whole run as main makes it: with the card layer failing, the error box
// is answered and the program ends with status 1 and no window shown; with
// it working, the window is shown and the event loop's result comes back.
// Inside the rig, the program also runs in a process of its own that is
// closed while its report waits on a daemon that has stopped answering.
#include "app/Application.h"
#include "app/MainWindow.h"
#include "app/MainWindow_internal.h"

#include "tests/support/rig/RigUtil.h"
#include "tests/support/testkit/testkit.h"
#include "tests/support/vcard/VirtualCard.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// What one run saw; filled from inside the run.
struct Seen {
    bool windowShown = false;
    bool boxAnswered = false;
    QString boxTitle;
};
Seen seen;

// Notes every main window that is shown.
class ShowWatch : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* object, QEvent* event) override
    {
        if (event->type() == QEvent::Show && qobject_cast<MainWindow*>(object) != nullptr)
            seen.windowShown = true;
        return false;
    }
};

// Runs step every few milliseconds on the GUI thread until it returns true.
void Poll(bool (*step)())
{
    QTimer* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, step]() {
        if (step())
            timer->stop();
    });
    timer->start(5);
}

bool AnswerTheErrorBox()
{
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible())
        return false;
    seen.boxTitle = modal->windowTitle();
    seen.boxAnswered = true;
    modal->findChild<QPushButton*>("bOk")->click();
    return true;
}

bool QuitOnceShown()
{
    if (!seen.windowShown)
        return false;
    QCoreApplication::exit(7);
    return true;
}

// Stand-ins for the card-layer initialisation; they run inside the window's
// constructor, when the application object exists.
int FailingLoad(LibraryLoadReport*)
{
    qApp->installEventFilter(new ShowWatch(qApp));
    Poll(AnswerTheErrorBox);
    Poll(QuitOnceShown);  // a window shown by mistake ends the run, not the test
    return -1;
}

int WorkingLoad(LibraryLoadReport* report)
{
    qApp->installEventFilter(new ShowWatch(qApp));
    Poll(QuitOnceShown);
    return LoadProfileLibraries(report);
}

struct RunCase {
    const char* name;
    int (*load)(LibraryLoadReport*);
    int status;
    bool windowShown;
    bool boxAnswered;
};

void PrintTo(const RunCase& c, std::ostream* os)
{
    *os << c.name;
}

class Run : public ::testing::TestWithParam<RunCase> {};

TEST_P(Run, StatusAndWindow)
{
    const RunCase& c = GetParam();
    seen = Seen();
    loadProfileLibrariesCall = c.load;
    static char program[] = "VantrelonDiagnostic";
    char* argv[] = {program, nullptr};
    int argc = 1;
    const int status = RunApplication(argc, argv);
    loadProfileLibrariesCall = LoadProfileLibraries;
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(seen.windowShown, c.windowShown);
    EXPECT_EQ(seen.boxAnswered, c.boxAnswered);
    if (c.boxAnswered) {
        EXPECT_EQ(seen.boxTitle, QString::fromUtf8("Błąd aplikacji"));
    }
}

INSTANTIATE_TEST_SUITE_P(CardLayer, Run,
                         ::testing::Values(RunCase{"fails", FailingLoad, 1, false, true},
                                           RunCase{"works", WorkingLoad, 7, true, false}),
                         [](const ::testing::TestParamInfo<RunCase>& info) { return std::string(info.param.name); });


// ---------------------------------------------------------------------------
// Closing while the report waits on a stopped daemon
// ---------------------------------------------------------------------------

// What the program's process does, set before it runs.
struct StopAndClose {
    int go = -1;        // read end of the pipe on which the test says the card is in
    pid_t daemon = -1;  // the rig's daemon
    void (*close)(MainWindow& window) = nullptr;
    MainWindow* window = nullptr;  // the shown window, on its own thread only
};
StopAndClose stopAndClose;

void CloseTheWindow(MainWindow& window)
{
    window.close();
}

void ChooseQuitFromTheMenu(MainWindow& window)
{
    window.findChild<QAction*>("actionZako_cz")->trigger();
}

// Once the window is shown: presses "Generuj raport". When the report
// reaches the card, the daemon is stopped (from the worker's thread, before
// it asks the daemon for the card) and the window is closed, as a user does
// when the report hangs.
bool StartTheReportOnceShown()
{
    MainWindow* window = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<MainWindow*>(widget) != nullptr && widget->isVisible())
            window = qobject_cast<MainWindow*>(widget);
    }
    if (window == nullptr)
        return false;
    stopAndClose.window = window;
    QObject::connect(window, qOverload<QString, bool>(&MainWindow::signalGUI_append), window,
                     [window](QString text, bool) {
                         static std::atomic<bool> done(false);
                         if (text != QStringLiteral(" Informacje o karcie :\n") || done.exchange(true))
                             return;
                         kill(stopAndClose.daemon, SIGSTOP);
                         testkit::WaitUntil([] { return vdrig::ProcessStopped(stopAndClose.daemon); },
                                            std::chrono::seconds(20));
                         // The functor carries nothing: Qt's event queue hands it
                         // over unseen by the thread sanitizer, and the window is
                         // known on its own thread.
                         QMetaObject::invokeMethod(window, [] { stopAndClose.close(*stopAndClose.window); },
                                                   Qt::QueuedConnection);
                     },
                     Qt::DirectConnection);
    window->findChild<QPushButton*>("bGenerateReport")->click();
    return true;
}

int LoadThenStopAtTheCard(LibraryLoadReport* report)
{
    char go = 0;
    if (read(stopAndClose.go, &go, 1) != 1)
        _exit(20);
    Poll(StartTheReportOnceShown);
    return LoadProfileLibraries(report);
}

// The test's side: the program's process, the rig's daemon and the card,
// all let go on every way out of the test.
class ProgramRun {
public:
    ~ProgramRun()
    {
        if (daemon > 0)
            kill(daemon, SIGCONT);
        if (child > 0 && !ended) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
    }
    pid_t daemon = -1;
    pid_t child = -1;
    bool ended = false;
    int status = -1;
};

struct CloseCase {
    const char* name;
    void (*close)(MainWindow& window);
};

void PrintTo(const CloseCase& c, std::ostream* os)
{
    *os << c.name;
}

// The program's own bound on closing during a report (about 2 s), and a
// margin that no load on the machine can use up: after the bound the
// process only flushes its output and ends. The daemon stays stopped, so a
// close that waited for the report would never end; it fails here.
const auto kCloseBound = std::chrono::milliseconds(2000);
const auto kLoadMargin = std::chrono::seconds(20);

class ClosingWhileTheDaemonIsStopped : public ::testing::TestWithParam<CloseCase> {};

TEST_P(ClosingWhileTheDaemonIsStopped, EndsTheProcessWithStatusZeroWithinTheBound)
{
    ASSERT_TRUE(vdrig::InRig()) << "runs only inside the rig";
    ProgramRun run;
    run.daemon = static_cast<pid_t>(vdrig::DaemonPid());
    ASSERT_GT(run.daemon, 0);
    int go[2];
    ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
    // Forked while this process has no other thread; the card, with its
    // threads, comes afterwards.
    run.child = fork();
    ASSERT_GE(run.child, 0);
    if (run.child == 0) {
        close(go[1]);
        stopAndClose = {go[0], run.daemon, GetParam().close};
        loadProfileLibrariesCall = LoadThenStopAtTheCard;
        static char program[] = "VantrelonDiagnostic";
        char* argv[] = {program, nullptr};
        int argc = 1;
        // Ending through the window's close, the process never comes back
        // here; a run that returns is told apart by its status.
        const int status = RunApplication(argc, argv);
        _exit(status == 0 ? 30 : status);
    }
    close(go[0]);
    vdtest::VirtualCard card(vdtest::FromHex("3BBB1800C01031FE4580670412B00303000081053C"),
                             vdtest::VirtualCard::kReader0Port);
    ASSERT_TRUE(card.Insert());
    ASSERT_NE(vdrig::WaitReaderState(vdrig::kReader0, true), 0u);
    ASSERT_EQ(write(go[1], "g", 1), 1);
    close(go[1]);

    ASSERT_TRUE(testkit::WaitUntil([&] { return vdrig::ProcessStopped(run.daemon); }, std::chrono::seconds(60)))
        << "the report never reached the card";
    const auto stoppedAt = std::chrono::steady_clock::now();
    run.ended = testkit::WaitUntil([&] { return waitpid(run.child, &run.status, WNOHANG) == run.child; },
                                   kCloseBound + kLoadMargin);
    const auto took = std::chrono::steady_clock::now() - stoppedAt;
    ASSERT_TRUE(run.ended) << "the program still runs " << std::chrono::duration_cast<std::chrono::seconds>(took).count()
                           << " s after the close";
    ASSERT_TRUE(WIFEXITED(run.status)) << "status " << run.status;
    EXPECT_EQ(WEXITSTATUS(run.status), 0);
}

INSTANTIATE_TEST_SUITE_P(Stop, ClosingWhileTheDaemonIsStopped,
                         ::testing::Values(CloseCase{"window_closed", CloseTheWindow},
                                           CloseCase{"quit_from_the_menu", ChooseQuitFromTheMenu}),
                         [](const ::testing::TestParamInfo<CloseCase>& info) { return std::string(info.param.name); });

} // namespace
