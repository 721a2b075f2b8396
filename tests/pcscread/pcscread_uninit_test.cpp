// Entries before and after InitLibrary. This runs in a process of its own
// because the port table cannot be un-initialised.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FakeFixture.h"
#include "FakePcsc.h"
#include "pcscread/pcsc2std.h"

namespace {

struct Entry {
    const char* name;
    std::function<int(uint32_t)> call;
    int afterInitOnClosedPort;
};

std::vector<Entry> Entries() {
    std::vector<Entry> entries = {
        {"InitPort", [](uint32_t) { uint32_t p = 0; return InitPort(0, 0, "Reader A", &p, 1, 0); }, 0},
    };
    for (const testutil::PortEntryCase& e : testutil::PortEntries())
        entries.push_back({e.name, e.call, PCSC2STD_ERR_PORT_NOT_OPEN});
    entries.insert(entries.end(), {
        {"NoOpEntry1", [](uint32_t p) { return NoOpEntry1(p); }, 0},
        {"NoOpEntry2", [](uint32_t p) { return NoOpEntry2(p); }, 0},
        {"UnsupportedEntry1", [](uint32_t p) { return UnsupportedEntry1(p); }, PCSC2STD_ERR_NOT_SUPPORTED},
        {"UnsupportedEntry2", [](uint32_t p) { return UnsupportedEntry2(p); }, PCSC2STD_ERR_NOT_SUPPORTED},
        {"UnsupportedEntry3", [](uint32_t p) { return UnsupportedEntry3(7, p); }, PCSC2STD_ERR_NOT_SUPPORTED},
        {"UnsupportedEntry4", [](uint32_t p) { return UnsupportedEntry4(p); }, PCSC2STD_ERR_NOT_SUPPORTED},
    });
    return entries;
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
