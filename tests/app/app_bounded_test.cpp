// The thread sanitizer's stage and the bounded calls: a race between a pool
// thread of Qt's, where the report runs, and the bounded call it left behind
// is reported under the stage's options and suppressions, and the calls'
// proper use is not. Each run is a process of its own (a death test), told
// apart by its status: the runtime ends a process at its first report with
// status 66. Built for the thread sanitizer only (tests/app/CMakeLists.txt).
#include "app/BoundedCall.h"

#include <QCoreApplication>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <memory>
#include <ostream>
#include <string>

namespace {

// A record that a bounded call fills, as the reader list's.
struct Record {
    int count = -1;
};

// The pool task as the report runs it: a bounded call that is not back
// within its bound, after which the task goes on with its own record. The
// call fills either that same record (the fault) or one of its own. It
// returns only once the task has gone on, so that the bound always passes
// however fast the machine is, and the process ends once it has returned.
[[noreturn]] void LeaveACallBehind(bool intoTheTasksRecord)
{
    int argc = 1;
    char name[] = "app_bounded_test";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    const auto wentOn = std::make_shared<std::promise<void>>();
    const auto returned = std::make_shared<std::promise<void>>();
    std::future<void> callReturned = returned->get_future();
    QtConcurrent::run(QThreadPool::globalInstance(), [intoTheTasksRecord, wentOn, returned] {
        const auto task = std::make_shared<Record>();
        const auto filled = intoTheTasksRecord ? task : std::make_shared<Record>();
        const std::shared_future<void> taskWentOn = wentOn->get_future().share();
        const bool inTime = CallWithin(100, [filled, taskWentOn, returned] {
            filled->count = 1;
            taskWentOn.wait();
            returned->set_value();
        });
        task->count = inTime ? 1 : 0;
        wentOn->set_value();
    }).waitForFinished();
    callReturned.wait();
    std::exit(0);
}

struct BoundedCase {
    const char* name;
    bool intoTheTasksRecord;
    int status;
    const char* output;  // a pattern the process's error output holds
};

void PrintTo(const BoundedCase& c, std::ostream* out)
{
    *out << c.name;
}

class LeftBehindCall : public ::testing::TestWithParam<BoundedCase> {};

TEST_P(LeftBehindCall, IsReportedExactlyWhenItSharesTheTasksRecord)
{
    // A new process from the start, not a fork of this one.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const BoundedCase& c = GetParam();
    EXPECT_EXIT(LeaveACallBehind(c.intoTheTasksRecord), ::testing::ExitedWithCode(c.status), c.output);
}

INSTANTIATE_TEST_SUITE_P(
    Pool, LeftBehindCall,
    ::testing::Values(BoundedCase{"fills_the_tasks_record", true, 66,
                                  "ThreadSanitizer: data race.*app_bounded_test\\.cpp"},
                      BoundedCase{"fills_its_own_record", false, 0, ""}),
    [](const ::testing::TestParamInfo<BoundedCase>& info) { return std::string(info.param.name); });

}  // namespace
