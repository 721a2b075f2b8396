// The whole run as main makes it: with the card layer failing, the error box
// is answered and the program ends with status 1 and no window shown; with
// it working, the window is shown and the event loop's result comes back.
#include "app/Application.h"
#include "app/MainWindow.h"
#include "app/MainWindow_internal.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

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

} // namespace
