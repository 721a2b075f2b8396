// Start-up and report-section benchmark of the application.
//
//   app_bench            runs both measurements and prints the figures
//   app_bench empty      (child) shows an empty 508 x 400 window, then exits
//   app_bench app        (child) starts the main window as main does, then exits
//   app_bench icon       (child) the empty window with the application icon,
//                        which shows what loading the image alone costs
//
// Start-up is timed from just before the child is spawned until it reports,
// from its event loop, that its window has been shown. The sections are timed
// in process by running the report worker directly; its one fixed 500 ms
// pause is subtracted.
#include "app/MainWindow.h"

#include <QApplication>
#include <QIcon>
#include <QMainWindow>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int RunChild(int argc, char** argv, bool full, bool icon)
{
    QApplication application(argc, argv);
    int status = 0;
    {
        QMainWindow empty;
        MainWindow* window = nullptr;
        if (full) {
            window = new MainWindow(nullptr);
            if (window->startupFailed())
                return 1;
            window->show();
        } else {
            empty.resize(508, 400);
            empty.setWindowTitle(QStringLiteral("empty"));
            if (icon)
                empty.setWindowIcon(QIcon(QStringLiteral(":/Vantrelon Diagnostic.png")));
            empty.show();
        }
        QTimer::singleShot(0, [] {
            fputs("shown\n", stdout);
            fflush(stdout);
            QCoreApplication::quit();
        });
        status = application.exec();
        delete window;
    }
    return status;
}

// Milliseconds from spawn to the child's "shown" line.
double TimeChild(const char* self, const char* mode)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    char* args[] = {const_cast<char*>(self), const_cast<char*>(mode), nullptr};
    pid_t child = -1;
    const Clock::time_point start = Clock::now();
    const int spawned = posix_spawn(&child, self, &actions, nullptr, args, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        return -1;
    }
    std::string seen;
    char chunk[64];
    double elapsed = -1;
    ssize_t got;
    while ((got = read(fds[0], chunk, sizeof chunk)) > 0) {
        seen.append(chunk, static_cast<size_t>(got));
        if (seen.find("shown\n") != std::string::npos) {
            elapsed = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            break;
        }
    }
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return elapsed;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && strcmp(argv[1], "empty") == 0)
        return RunChild(argc, argv, false, false);
    if (argc > 1 && strcmp(argv[1], "icon") == 0)
        return RunChild(argc, argv, false, true);
    if (argc > 1 && strcmp(argv[1], "app") == 0)
        return RunChild(argc, argv, true, false);

    const int rounds = 25;
    std::vector<double> empty, icon, app;
    TimeChild(argv[0], "empty");  // warm the caches once
    TimeChild(argv[0], "app");
    for (int i = 0; i < rounds; ++i) {
        empty.push_back(TimeChild(argv[0], "empty"));
        icon.push_back(TimeChild(argv[0], "icon"));
        app.push_back(TimeChild(argv[0], "app"));
    }
    const double emptyMs = Median(empty), iconMs = Median(icon), appMs = Median(app);
    printf("start-up to window shown (median of %d): empty Qt window %.1f ms, application %.1f ms, ratio %.2f "
           "(goal <= 1.50); empty window with the application icon %.1f ms\n",
           rounds, emptyMs, appMs, emptyMs > 0 ? appMs / emptyMs : 0.0, iconMs);

    QApplication application(argc, argv);
    MainWindow window(nullptr);
    std::vector<double> sections;
    for (int i = 0; i < 5; ++i) {
        const Clock::time_point start = Clock::now();
        window.DoDiagnosticConcurrent();
        sections.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count() - 500.0);
        QCoreApplication::processEvents();
    }
    printf("frame and system sections without the 500 ms pause (median of 5): %.1f ms (goal < 100)\n",
           Median(sections));
    return 0;
}
