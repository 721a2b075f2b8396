// GoogleTest main with the QApplication that the widget tests need.
#include <QApplication>

#include <gtest/gtest.h>

#include "tests/support/qt/QtTestSupport.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace {

std::atomic<bool> endDuringReportExpected(false);

void Say(const char* text)
{
    if (write(STDERR_FILENO, text, strlen(text)) < 0) {
        // Nothing more can be said; the status tells.
    }
}

// Closing the window while a report outlives the close wait ends the
// process at once with status 0. Inside a test program that would read as
// every test passed, so here it ends the program as a failure instead,
// unless the test is there to see that end.
void EndedDuringReport()
{
    if (endDuringReportExpected) {
        Say(kEndedDuringReportMark);
        Say("\n");
        return;
    }
    Say("a window ended the test program: a report outlived the close wait\n");
    _exit(1);
}

} // namespace

void ExpectEndDuringReport()
{
    endDuringReportExpected = true;
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    std::at_quick_exit(EndedDuringReport);
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
