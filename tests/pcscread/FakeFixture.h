// Shared helpers of the reader-access unit tests on the fake PC/SC library.
#ifndef VD_TESTS_PCSCREAD_FAKEFIXTURE_H
#define VD_TESTS_PCSCREAD_FAKEFIXTURE_H

#include <chrono>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "FakePcsc.h"
#include "pcscread/pcsc2std.h"
#include "tests/support/testkit/testkit.h"

namespace testutil {

using testkit::WaitUntil;

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

using testkit::OwnDescriptors;
using testkit::OwnThreads;
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

// Every entry that takes a port, called on a given port with throw-away
// arguments.
struct PortEntryCase {
    const char* name;
    std::function<int(uint32_t)> call;
};

inline std::vector<PortEntryCase> PortEntries() {
    static unsigned char atr[PCSC2STD_ATR_CAPACITY];
    static unsigned char resp[64];
    static const unsigned char apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x00};
    return {
        {"ClosePort", [](uint32_t p) { return ClosePort(p); }},
        {"CardInside", [](uint32_t p) { return CardInside(p); }},
        {"CardStatusATR", [](uint32_t p) { int32_t l = 0; return CardStatusATR(atr, &l, p); }},
        {"CardStatus", [](uint32_t p) { return CardStatus(p); }},
        {"CardProtocolState", [](uint32_t p) { int32_t a, b; return CardProtocolState(&a, &b, p); }},
        {"GetCardHandles", [](uint32_t p) { SCARDCONTEXT c; SCARDHANDLE h; return GetCardHandles(&c, &h, p); }},
        {"StartTransaction", [](uint32_t p) { return StartTransaction(p); }},
        {"EndTransaction", [](uint32_t p) { return EndTransaction(p); }},
        {"CardDisconnect", [](uint32_t p) { return CardDisconnect(p); }},
        {"CardReset", [](uint32_t p) { return CardReset(atr, 1, p); }},
        {"ISO", [](uint32_t p) { uint32_t l = sizeof apdu; return ISO(&l, apdu, resp, sizeof resp, p); }},
    };
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
