// Concurrent use of the port table, and open/close cycles that must not
// leave threads, descriptors or PC/SC contexts behind.
#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "FakeFixture.h"
#include "FakePcsc.h"
#include "pcscread/pcsc2std.h"

using testutil::Atr;
using testutil::FakePcscTest;

namespace {

// Runs body(i) on n threads that all start at the same moment.
template <typename F>
void RunTogether(int n, F body) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i) {
        threads.emplace_back([&, i] {
            ++ready;
            while (!go.load()) std::this_thread::yield();
            body(i);
        });
    }
    while (ready.load() < n) std::this_thread::yield();
    go = true;
    for (auto& t : threads) t.join();
}

TEST_F(FakePcscTest, ConcurrentOpensNeverShareASlot) {
    for (int i = 0; i < 24; ++i) fakepcsc::AddReader("R" + std::to_string(i));
    for (int round = 0; round < 3; ++round) {
        std::vector<uint32_t> ports(24, PCSC2STD_NO_PORT);
        std::vector<int> results(24, 1);
        RunTogether(24, [&](int i) {
            results[i] = InitPort(0, 0, ("R" + std::to_string(i)).c_str(), &ports[i], 1, 0);
        });
        std::set<uint32_t> distinct;
        for (int i = 0; i < 24; ++i) {
            ASSERT_EQ(0, results[i]) << i;
            distinct.insert(ports[i]);
        }
        EXPECT_EQ(24u, distinct.size());
        // Each port watches the reader it was opened for.
        EXPECT_EQ(PCSC2STD_CARD_CHANGED, CardStatus(ports[5]));
        fakepcsc::InsertCard("R5", Atr(4));
        EXPECT_EQ(PCSC2STD_CARD_PRESENT | PCSC2STD_CARD_CHANGED, testutil::NextCardStatus(ports[5], 0));
        EXPECT_EQ(PCSC2STD_CARD_CHANGED, CardStatus(ports[6]));
        fakepcsc::RemoveCard("R5");
        RunTogether(24, [&](int i) { EXPECT_EQ(0, ClosePort(ports[i])); });
    }
}

TEST_F(FakePcscTest, RacingClosesDestroyThePortOnce) {
    for (int round = 0; round < 20; ++round) {
        const uint32_t port = Open(kA);
        std::atomic<int> closed{0}, notOpen{0};
        RunTogether(6, [&](int) {
            const int rc = ClosePort(port);
            if (rc == 0) ++closed;
            if (rc == PCSC2STD_ERR_PORT_NOT_OPEN) ++notOpen;
        });
        EXPECT_EQ(1, closed.load());
        EXPECT_EQ(5, notOpen.load());
    }
    EXPECT_EQ(0, fakepcsc::OpenContexts());
}

TEST_F(FakePcscTest, OpenAndCloseWhileOthersDoTheSame) {
    fakepcsc::InsertCard(kA, Atr(9));
    std::atomic<int> failures{0};
    RunTogether(8, [&](int i) {
        for (int k = 0; k < 10; ++k) {
            uint32_t port = PCSC2STD_NO_PORT;
            if (InitPort(static_cast<uint32_t>(i), static_cast<uint32_t>(k), kA, &port, 1, 0) != 0) {
                ++failures;
                continue;
            }
            if (CardStatus(port) != PCSC2STD_CARD_PRESENT) ++failures;
            if (ClosePort(port) != 0) ++failures;
        }
    });
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(0, fakepcsc::OpenContexts());
}

struct CycleCase {
    const char* label;
    bool card;
    bool reset;
};

class OpenCloseCycles : public FakePcscTest, public ::testing::WithParamInterface<CycleCase> {};

TEST_P(OpenCloseCycles, NothingGrows) {
    const CycleCase& c = GetParam();
    if (c.card) fakepcsc::InsertCard(kA, Atr(11));
    // One cycle first, so that lazily created process resources exist.
    ClosePort(Open(kA));
    const int threads = testutil::OwnThreads();
    const int fds = testutil::OwnDescriptors();
    for (int i = 0; i < 100; ++i) {
        const uint32_t port = Open(kA);
        ASSERT_NE(PCSC2STD_NO_PORT, port);
        if (c.reset) {
            unsigned char atr[PCSC2STD_ATR_CAPACITY];
            ASSERT_EQ(11, CardReset(atr, 1, port));
        }
        ASSERT_EQ(0, ClosePort(port));
    }
    EXPECT_TRUE(testutil::ThreadsSettleAt(threads));
    EXPECT_EQ(fds, testutil::OwnDescriptors());
    EXPECT_EQ(0, fakepcsc::OpenContexts());
    EXPECT_EQ(0, fakepcsc::OpenHandles());
    EXPECT_EQ(0, fakepcsc::BlockedStatusWaits());
}

INSTANTIATE_TEST_SUITE_P(Table, OpenCloseCycles,
                         ::testing::Values(CycleCase{"EmptyReader", false, false},
                                           CycleCase{"CardPresent", true, false},
                                           CycleCase{"CardReset", true, true}),
                         [](const ::testing::TestParamInfo<CycleCase>& i) { return std::string(i.param.label); });

TEST_F(FakePcscTest, StatusReadsRaceWithPublications) {
    const uint32_t port = Open(kA);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        while (!stop.load()) {
            const int s = CardStatus(port);
            if (s != 0 && s != PCSC2STD_CARD_CHANGED && s != PCSC2STD_CARD_PRESENT &&
                s != (PCSC2STD_CARD_PRESENT | PCSC2STD_CARD_CHANGED))
                ++bad;
        }
    });
    for (int i = 0; i < 50; ++i) {
        fakepcsc::InsertCard(kA, Atr(3 + i % 30));
        fakepcsc::RemoveCard(kA);
    }
    stop = true;
    reader.join();
    EXPECT_EQ(0, bad.load());
}

}  // namespace
