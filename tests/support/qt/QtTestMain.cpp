// GoogleTest main with the QApplication that the widget tests need.
#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

#include <unistd.h>

namespace {

// Closing the window while a report outlives the close wait ends the
// process at once with status 0. Inside a test program that would read as
// every test passed, so here it ends the program as a failure instead.
void EndedDuringReport()
{
    static const char message[] = "a window ended the test program: a report outlived the close wait\n";
    if (write(STDERR_FILENO, message, sizeof message - 1) < 0) {
        // Nothing more can be said; the status tells.
    }
    _exit(1);
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    std::at_quick_exit(EndedDuringReport);
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
