// Entries before and after InitLibrary. This runs in a process of its own
// because the port table cannot be un-initialised.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FakePcsc.h"
#include "pcscread/pcsc2std.h"

namespace {

struct Entry {
    const char* name;
    std::function<int(uint32_t)> call;
    int afterInitOnClosedPort;
};

std::vector<Entry> Entries() {
    static unsigned char atr[PCSC2STD_ATR_CAPACITY];
    static unsigned char resp[64];
    static const unsigned char apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x00};
    return {
        {"InitPort", [](uint32_t) { uint32_t p = 0; return InitPort(0, 0, "Reader A", &p, 1, 0); }, 0},
        {"ClosePort", [](uint32_t p) { return ClosePort(p); }, PCSC2STD_ERR_PORT_NOT_OPEN},
        {"CardInside", [](uint32_t p) { return CardInside(p); }, PCSC2STD_ERR_PORT_NOT_OPEN},
        {"CardStatusATR", [](uint32_t p) { int32_t l = 0; return CardStatusATR(atr, &l, p); },
         PCSC2STD_ERR_PORT_NOT_OPEN},
        {"CardStatus", [](uint32_t p) { return CardStatus(p); }, PCSC2STD_ERR_PORT_NOT_OPEN},
        {"CardProtocolState", [](uint32_t p) { int32_t a, b; return CardProtocolState(&a, &b, p); },
         PCSC2STD_ERR_PORT_NOT_OPEN},
        {"GetCardHandles", [](uint32_t p) { SCARDCONTEXT c; SCARDHANDLE h; return GetCardHandles(&c, &h, p); },
         PCSC2STD_ERR_PORT_NOT_OPEN},
        {"StartTransaction", [](uint32_t p) { return StartTransaction(p); }, PCSC2STD_ERR_PORT_NOT_OPEN},
        {"EndTransaction", [](uint32_t p) { return EndTransaction(p); }, PCSC2STD_ERR_PORT_NOT_OPEN},
        {"CardDisconnect", [](uint32_t p) { return CardDisconnect(p); }, PCSC2STD_ERR_PORT_NOT_OPEN},
        {"CardReset", [](uint32_t p) { return CardReset(atr, 1, p); }, PCSC2STD_ERR_PORT_NOT_OPEN},
        {"ISO", [](uint32_t p) { uint32_t l = sizeof apdu; return ISO(&l, apdu, resp, sizeof resp, p); },
         PCSC2STD_ERR_PORT_NOT_OPEN},
        {"NoOpEntry1", [](uint32_t p) { return NoOpEntry1(p); }, 0},
        {"NoOpEntry2", [](uint32_t p) { return NoOpEntry2(p); }, 0},
        {"UnsupportedEntry1", [](uint32_t p) { return UnsupportedEntry1(p); }, PCSC2STD_ERR_NOT_SUPPORTED},
        {"UnsupportedEntry2", [](uint32_t p) { return UnsupportedEntry2(p); }, PCSC2STD_ERR_NOT_SUPPORTED},
        {"UnsupportedEntry3", [](uint32_t p) { return UnsupportedEntry3(7, p); }, PCSC2STD_ERR_NOT_SUPPORTED},
        {"UnsupportedEntry4", [](uint32_t p) { return UnsupportedEntry4(p); }, PCSC2STD_ERR_NOT_SUPPORTED},
    };
}

TEST(Uninitialised, EveryEntryButListingAnswersNotInitialised) {
    fakepcsc::Reset();
    fakepcsc::AddReader("Reader A");
    fakepcsc::InsertCard("Reader A", {0x3B, 0x00});

    for (const Entry& e : Entries()) {
        for (uint32_t port : {0u, 5u, 200u}) {
            SCOPED_TRACE(std::string(e.name) + " port " + std::to_string(port));
            EXPECT_EQ(PCSC2STD_ERR_NOT_INITIALIZED, e.call(port));
        }
    }
    uint32_t out = 7;
    EXPECT_EQ(PCSC2STD_ERR_NOT_INITIALIZED, InitPort(0, 0, "Reader A", &out, 1, 0));
    EXPECT_EQ(PCSC2STD_NO_PORT, out);
    // Nothing was opened: no context left behind, no connection tried.
    EXPECT_EQ(0, fakepcsc::OpenContexts());
    EXPECT_EQ(0, fakepcsc::CallCount(fakepcsc::Fn::Connect));

    // The listing needs no initialisation.
    ReaderInfo readers[PCSC2STD_MAX_READERS];
    uint32_t count = 0;
    ASSERT_EQ(0, GetAllReaders(readers, &count));
    ASSERT_EQ(1u, count);
    EXPECT_STREQ("Reader A", readers[0].name);
    EXPECT_EQ(READER_STATUS_AVAILABLE, readers[0].status);

    // Once initialised, a closed port is reported as such; the entries
    // without function answer their fixed values.
    InitLibrary();
    for (const Entry& e : Entries()) {
        if (std::string(e.name) == "InitPort") continue;
        SCOPED_TRACE(e.name);
        EXPECT_EQ(e.afterInitOnClosedPort, e.call(9));
    }
    fakepcsc::Reset();
}

}  // namespace
