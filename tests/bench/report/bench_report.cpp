// The whole report against the peer tools, on the rig, in one run: one card
// in "Virtual PCD 00 00" (our virtual card, served by the stand-in tokens),
// the fixture trees bound over /usr/lib64 and /opt. Times the report from
// "Generuj raport" to the closing line in the view, less its one fixed
// 500 ms pause, and beside it OpenSC's tools on the same card and reader.
// Prints median and spread of each and the ratio of the report's own work
// to the peers' sum (goal: at most 1). Exits non-zero only when something
// does not run at all. Run it with the target bench_report_run.
#include "app/MainWindow.h"
#include "tests/support/rig/RigUtil.h"
#include "tests/support/testkit/testkit.h"
#include "tests/support/vcard/VirtualCard.h"

#include <QApplication>
#include <QPushButton>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/wait.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRuns = 15;
constexpr double kReportPauseMs = 500.0;
const char kClosingLine[] = "Koniec raportu diagnostycznego";
const char kOpenscModule[] = "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so";

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Figure {
    std::string name;
    std::vector<double> ms;
    int lastStatus = 0;
    double Median() const
    {
        std::vector<double> v = ms;
        std::sort(v.begin(), v.end());
        return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    }
    double Min() const { return *std::min_element(ms.begin(), ms.end()); }
    double Max() const { return *std::max_element(ms.begin(), ms.end()); }
};

// One run of a peer tool with its output discarded; -1 when it cannot start.
double TimeTool(const std::vector<std::string>& args, int* status)
{
    const Clock::time_point start = Clock::now();
    const pid_t child = testkit::Spawn(args);
    if (child < 0)
        return -1;
    int raw = 0;
    waitpid(child, &raw, 0);
    const double ms = Ms(Clock::now() - start);
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return ms;
}

void Print(const Figure& f)
{
    std::printf("  %-44s median %7.1f ms   spread %7.1f .. %7.1f ms  (%zu runs, last status %d)\n", f.name.c_str(),
                f.Median(), f.Min(), f.Max(), f.ms.size(), f.lastStatus);
}

}  // namespace

int main(int argc, char** argv)
{
    if (!vdrig::InRig()) {
        std::fprintf(stderr, "bench_report: run me through the target bench_report_run (the rig with its binds)\n");
        return 2;
    }
    // The profile-version probe of a type-1 card, as the stand-in tokens'
    // card in this reader answers it.
    vdtest::VirtualCard card(vdtest::FromHex("3BBB1800C01031FE4580670412B00303000081053C"));
    card.AddResponse(vdtest::FromHex("00A4000C"), vdtest::FromHex("9000"));
    card.AddResponse(vdtest::FromHex("00A4020C022F01"), vdtest::FromHex("9000"));
    card.AddResponse(vdtest::FromHex("00B000000D"), vdtest::FromHex("000102030405060502060109009000"));
    if (!card.Insert(std::chrono::seconds(20)) || vdrig::WaitReaderState(vdrig::kReader0, true) == 0) {
        std::fprintf(stderr, "bench_report: the virtual card did not come up in %s\n", vdrig::kReader0);
        return 1;
    }

    QApplication application(argc, argv);
    MainWindow window;
    if (window.startupFailed()) {
        std::fprintf(stderr, "bench_report: the card layer did not start\n");
        return 1;
    }
    window.show();
    auto* generate = window.findChild<QPushButton*>("bGenerateReport");
    if (generate == nullptr) {
        std::fprintf(stderr, "bench_report: no \"Generuj raport\" button\n");
        return 1;
    }
    // Queued behind the view's own slot, so this sees the line arrive there.
    bool closed = false;
    QObject::connect(&window, qOverload<QString, QByteArray, int, QColor, bool>(&MainWindow::signalGUI_append),
                     &window, [&closed](QString text, QByteArray, int, QColor, bool) {
                         if (text == QLatin1String(kClosingLine))
                             closed = true;
                     });
    QObject::connect(&window, qOverload<QByteArray, QByteArray, int, QColor, bool>(&MainWindow::signalGUI_append),
                     &window, [&closed](QByteArray text, QByteArray, int, QColor, bool) {
                         if (text == kClosingLine)
                             closed = true;
                     });
    auto report = [&]() -> double {
        closed = false;
        const Clock::time_point start = Clock::now();
        generate->click();
        const Clock::time_point deadline = start + std::chrono::seconds(60);
        while (!closed && Clock::now() < deadline)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        const double ms = Ms(Clock::now() - start);
        // The next report starts from idle, as a user's would.
        while (!generate->isEnabled() && Clock::now() < deadline)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return closed ? ms - kReportPauseMs : -1;
    };

    Figure own{"report's own work (Generuj raport .. closing)", {}};
    std::vector<Figure> peers = {{"opensc-tool -l", {}},
                                 {"opensc-tool -r 0 -a", {}},
                                 {"pkcs11-tool -L (OpenSC module)", {}},
                                 {"pkcs11-tool -O (OpenSC module)", {}}};
    const std::vector<std::vector<std::string>> commands = {
        {"opensc-tool", "-l"},
        {"opensc-tool", "-r", "0", "-a"},
        {"pkcs11-tool", "--module", kOpenscModule, "-L"},
        {"pkcs11-tool", "--module", kOpenscModule, "-O"}};

    // One round of each to warm the caches, then the runs interleaved so
    // that a busy moment of the machine falls on all of them alike.
    if (report() < 0) {
        std::fprintf(stderr, "bench_report: the report did not reach its closing line within 60 s\n");
        return 1;
    }
    for (size_t i = 0; i < commands.size(); ++i) {
        if (TimeTool(commands[i], &peers[i].lastStatus) < 0) {
            std::fprintf(stderr, "bench_report: cannot start %s\n", commands[i][0].c_str());
            return 1;
        }
    }
    for (int run = 0; run < kRuns; ++run) {
        const double ms = report();
        if (ms < 0) {
            std::fprintf(stderr, "bench_report: a report did not reach its closing line within 60 s\n");
            return 1;
        }
        own.ms.push_back(ms);
        for (size_t i = 0; i < commands.size(); ++i)
            peers[i].ms.push_back(TimeTool(commands[i], &peers[i].lastStatus));
    }

    std::printf("One card in \"%s\", %d runs each:\n", vdrig::kReader0, kRuns);
    Print(own);
    double peerSum = 0;
    for (const Figure& f : peers) {
        Print(f);
        peerSum += f.Median();
    }
    const double ratio = own.Median() / peerSum;
    std::printf("  peers together (sum of medians)              %7.1f ms\n", peerSum);
    std::printf("ratio own work / peers = %.2f (goal <= 1.00): %s\n", ratio, ratio <= 1.0 ? "met" : "NOT met");
    return 0;
}
