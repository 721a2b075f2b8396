// The whole start-up as main runs it, with a configuration beside the
// program that switches the update check on against the loopback server:
// a newer published version shows the update dialog before the main window,
// and a name server that never answers delays the window by no more than
// the check's time-out.
#include "app/Application.h"
#include "app/MainWindow.h"
#include "app/MainWindow_internal.h"
#include "update/RuntimeParams.h"
#include "update/PanelCheckVersion.h"

#include "UpdateTestSupport.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// What one run saw, filled from inside it.
struct Seen {
    std::vector<std::string> shown;  // class names, in the order first shown
    QString info;
    Clock::time_point loading;  // the window's constructor loads the libraries
    Clock::time_point windowShown;
};
Seen seen;

class ShowWatch : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* object, QEvent* event) override
    {
        if (event->type() == QEvent::Show) {
            if (qobject_cast<PanelCheckVersion*>(object) != nullptr)
                seen.shown.push_back("PanelCheckVersion");
            else if (qobject_cast<MainWindow*>(object) != nullptr) {
                seen.shown.push_back("MainWindow");
                seen.windowShown = Clock::now();
            }
        }
        return false;
    }
};

// Answers the update dialog with "Nie" and ends the run once the main
// window is up; a bound keeps a run that never gets there finite.
void Drive()
{
    QTimer* timer = new QTimer(qApp);
    int* ticks = new int(0);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, ticks]() {
        if (auto* dialog = qobject_cast<PanelCheckVersion*>(QApplication::activeModalWidget())) {
            if (dialog->isVisible()) {
                seen.info = dialog->findChild<QLabel*>("lNewAppVersionInfo")->text();
                dialog->findChild<QPushButton*>("buttonNo")->click();
            }
        }
        const bool windowUp = !seen.shown.empty() && seen.shown.back() == "MainWindow";
        if (windowUp || ++*ticks > 6000) {
            timer->stop();
            delete ticks;
            QCoreApplication::exit(windowUp ? 7 : 3);
        }
    });
    timer->start(5);
}

// Runs inside the window's constructor, once the application object exists.
int WatchingLoad(LibraryLoadReport* report)
{
    seen.loading = Clock::now();
    qApp->installEventFilter(new ShowWatch(qApp));
    Drive();
    return LoadProfileLibraries(report);
}

std::string ProgramDir()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    path[n] = '\0';
    std::string text(path);
    return text.substr(0, text.rfind('/'));
}

struct StartCase {
    const char* name;
    bool checkOn;
    const char* host;  // nullptr: the loopback server (plain HTTP)
    const char* file;  // served version file
    std::vector<std::string> shown;
    const char* info;
};

void PrintTo(const StartCase& c, std::ostream* os)
{
    *os << c.name;
}

class Start : public ::testing::TestWithParam<StartCase> {
protected:
    static void SetUpTestSuite()
    {
        server = new UpdateServer;
        server->put("newer.plist", VersionFile(VersionRoot("1.0.6", "https://pobierz.example/"), false));
        server->put("same.bplist", VersionFile(VersionRoot("1.0.5", "https://pobierz.example/"), true));
    }
    static void TearDownTestSuite()
    {
        delete server;
        server = nullptr;
    }
    void TearDown() override
    {
        unlink((ProgramDir() + "/Info.plist").c_str());
        unlink((ProgramDir() + "/VantrelonDiagnostic.xml").c_str());
        loadProfileLibrariesCall = LoadProfileLibraries;
    }
    static UpdateServer* server;
};
UpdateServer* Start::server = nullptr;

TEST_P(Start, DialogBeforeMainWindow)
{
    const StartCase& c = GetParam();
    // A named host is looked up through the rig's silent name server.
    std::unique_ptr<SilentNameServer> nameServer;
    if (c.host != nullptr) {
        if (getenv("VD_RIG") == nullptr)
            GTEST_SKIP() << "needs the rig's /etc/resolv.conf (ctest runs it as update_startup_rig)";
        nameServer = std::make_unique<SilentNameServer>();
    }
    server->clearRequests();
    memset(&runtimeParams, 0, sizeof runtimeParams);
    seen = Seen();
    WriteFile(ProgramDir() + "/Info.plist",
              XmlPlist("<key>CFBundleShortVersionString</key><string>1.0.5</string>\n"));
    WriteFile(ProgramDir() + "/VantrelonDiagnostic.xml",
              XmlPlist(std::string("<key>CheckLatestVersion</key>") + (c.checkOn ? "<true/>" : "<false/>") +
                       "\n<key>VersionFileUrl</key><string>" + (c.host != nullptr ? c.host : server->http()) +
                       "/files/" + c.file + "</string>\n"));

    loadProfileLibrariesCall = WatchingLoad;
    static char program[] = "VantrelonDiagnostic";
    char* argv[] = {program, nullptr};
    int argc = 1;
    EXPECT_EQ(RunApplication(argc, argv), 7);
    EXPECT_EQ(seen.shown, c.shown);
    EXPECT_EQ(seen.info, QString::fromUtf8(c.info));
    EXPECT_EQ(server->requests().size(), c.checkOn && c.host == nullptr ? 1u : 0u);

    // The check holds the window back by its time-out at most, whatever
    // the network does; behind a silent name server it waits that long.
    const double late = std::chrono::duration<double>(seen.windowShown - seen.loading).count();
    EXPECT_LT(late, kTimeOutLatestSeconds);
    if (nameServer) {
        EXPECT_GE(late, kTimeOutEarliestSeconds);
        EXPECT_GT(nameServer->queries(), 0) << "the host name was never asked for";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Configuration, Start,
    ::testing::Values(StartCase{"newer_published", true, nullptr, "newer.plist", {"PanelCheckVersion", "MainWindow"},
                                "Dostępna jest nowsza wersja aplikacji (1.0.6)"},
                      StartCase{"same_published", true, nullptr, "same.bplist", {"MainWindow"}, ""},
                      StartCase{"check_off", false, nullptr, "newer.plist", {"MainWindow"}, ""}),
    [](const ::testing::TestParamInfo<StartCase>& info) { return std::string(info.param.name); });

// Inside the rig only: the version file's host is looked up through a name
// server that never answers.
INSTANTIATE_TEST_SUITE_P(
    NameServer, Start,
    ::testing::Values(StartCase{"silent_http", true, "http://wersja.example", "newer.plist", {"MainWindow"}, ""},
                      StartCase{"silent_https", true, "https://wersja.example", "newer.plist", {"MainWindow"}, ""}),
    [](const ::testing::TestParamInfo<StartCase>& info) { return std::string(info.param.name); });

} // namespace
