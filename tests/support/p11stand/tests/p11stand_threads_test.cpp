// The application reaches a stand-in from its GUI thread and its report
// worker; the library's own lock must keep concurrent callers apart.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/p11stand/tests/P11standTestSupport.h"

using namespace p11stand_test;

namespace {

TEST(Threads, ConcurrentSessionsAndControlsStayConsistent) {
    Loaded& l = Load("libVelmartoken.so");
    ASSERT_NE(l.fl, nullptr);
    l.ctl.reset();
    l.ctl.set_initialized(1);
    ASSERT_EQ(l.ctl.add_slot(1, "Virtual PCD 00 00"), 0);
    ASSERT_EQ(l.ctl.set_token(1, nullptr), 0);
    const unsigned char id[] = {1};
    const CK_OBJECT_HANDLE cert = l.ctl.add_certificate(1, id, 1, id, 1, "c", 1);
    ASSERT_NE(cert, 0u);

    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                CK_SESSION_HANDLE s = 0;
                if (l.fl->C_OpenSession(1, 6, nullptr, nullptr, &s) != CKR_OK) ++failures;
                CK_ATTRIBUTE a = {CKA_LABEL, nullptr, 0};
                if (l.fl->C_GetAttributeValue(s, cert, &a, 1) != CKR_OK || a.ulValueLen != 1) ++failures;
                if (l.fl->C_CloseSession(s) != CKR_OK) ++failures;
                // A second kind of caller works the controls meanwhile.
                if (t == 0) (void)l.ctl.open_session_count();
                if (t == 1) (void)l.ctl.log_count();
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(l.ctl.open_session_count(), 0u);
    EXPECT_EQ(l.ctl.call_count("C_OpenSession"), static_cast<unsigned long>(kThreads * kRounds));
    EXPECT_EQ(l.ctl.log_count(), static_cast<size_t>(3 * kThreads * kRounds));
    l.ctl.reset();
}

}  // namespace
