// Shared helpers of the reader-access unit tests on the fake PC/SC library.
#ifndef VD_TESTS_PCSCREAD_FAKEFIXTURE_H
#define VD_TESTS_PCSCREAD_FAKEFIXTURE_H

#include <chrono>
#include <functional>

#include <gtest/gtest.h>

#include "FakePcsc.h"
#include "pcscread/pcsc2std.h"
#include "tests/rig/RigUtil.h"

namespace testutil {

// Polls cond until it holds or the deadline passes.
inline bool WaitUntil(const std::function<bool()>& cond,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    return vdrig::PollUntil(cond, limit);
}

// Polls CardStatus until it differs from `from`; returns the new value, or
// `from` when nothing changed before the deadline.
inline int NextCardStatus(uint32_t port, int from) {
    int s = from;
    WaitUntil([&] {
        s = CardStatus(port);
        return s != from;
    });
    return s;
}

using vdrig::OwnDescriptors;
using vdrig::OwnThreads;
// True once the process has no more than n threads. A thread that was
// joined can stay listed in /proc for a moment after the join returns.
inline bool ThreadsSettleAt(int n) {
    return WaitUntil([n] { return OwnThreads() <= n; });
}

inline fakepcsc::Bytes Atr(size_t n) {
    fakepcsc::Bytes atr(n);
    atr[0] = 0x3B;
    for (size_t i = 1; i < n; ++i) atr[i] = static_cast<uint8_t>(0x10 + i);
    return atr;
}

// Every test starts from an initialised port table, no open port and a fake
// holding the readers "Reader A" (empty) and "Reader B" (empty).
class FakePcscTest : public ::testing::Test {
protected:
    void SetUp() override {
        fakepcsc::Reset();
        InitLibrary();
        fakepcsc::AddReader(kA);
        fakepcsc::AddReader(kB);
    }
    void TearDown() override {
        fakepcsc::SetStatusChangeHangs(false);
        fakepcsc::SetService(true);
        for (uint32_t p = 0; p < PCSC2STD_MAX_PORTS; ++p) ClosePort(p);
        fakepcsc::Reset();
    }
    uint32_t Open(const char* reader, uint32_t number = 0) {
        uint32_t port = PCSC2STD_NO_PORT;
        EXPECT_EQ(0, InitPort(number, 0, reader, &port, PCSC2STD_CARD_KIND_T1, 0));
        return port;
    }

    static constexpr const char* kA = "Reader A";
    static constexpr const char* kB = "Reader B";
};

}  // namespace testutil

#endif  // VD_TESTS_PCSCREAD_FAKEFIXTURE_H
