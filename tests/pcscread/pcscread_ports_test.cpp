// The pcsc2std entries on the fake PC/SC library: port-table rules, reader
// listing, the published card state, reset, APDU exchange, transactions
// and the status wait with a watchdog.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FakeFixture.h"
#include "FakePcsc.h"
#include "pcscread/pcsc2std.h"

using fakepcsc::Bytes;
using fakepcsc::Fn;
using testutil::Atr;
using testutil::FakePcscTest;
using testutil::NextCardStatus;
using testutil::WaitUntil;

namespace {

// ---------------------------------------------------------------------------
// InitPort argument rules
// ---------------------------------------------------------------------------

struct InitPortCase {
    const char* label;
    uint32_t number;
    uint32_t subPort;
    const char* reader;
    int kind;
    int exclusive;
    int expected;
};

class InitPortRules : public FakePcscTest, public ::testing::WithParamInterface<InitPortCase> {};

TEST_P(InitPortRules, ResultOutParameterAndTable) {
    const InitPortCase& c = GetParam();
    const std::string longName(200, 'L');
    fakepcsc::AddReader(longName);
    const char* reader = c.reader != nullptr && std::string(c.reader) == "<long>" ? longName.c_str() : c.reader;

    uint32_t out = 77;
    EXPECT_EQ(c.expected, InitPort(c.number, c.subPort, reader, &out, c.kind, c.exclusive));
    if (c.expected == 0) {
        ASSERT_LT(out, PCSC2STD_MAX_PORTS);
        EXPECT_EQ(0, ClosePort(out));
    } else {
        // A failed open names no port and leaves none open.
        EXPECT_EQ(PCSC2STD_NO_PORT, out);
        for (uint32_t p = 0; p < 4; ++p) EXPECT_EQ(PCSC2STD_ERR_PORT_NOT_OPEN, CardStatus(p));
    }
    // Every context a failed open created is gone again.
    EXPECT_EQ(0, fakepcsc::OpenContexts());
}

INSTANTIATE_TEST_SUITE_P(
    Table, InitPortRules,
    ::testing::Values(
        InitPortCase{"NoNamePort129", 129, 0, nullptr, 1, 0, PCSC2STD_ERR_BAD_PORT_NUMBER},
        InitPortCase{"NoNameNegativePort", static_cast<uint32_t>(-1), 0, nullptr, 1, 0, PCSC2STD_ERR_BAD_PORT_NUMBER},
        InitPortCase{"NoNameSub33", 0, 33, nullptr, 1, 0, PCSC2STD_ERR_BAD_SUBPORT_NUMBER},
        InitPortCase{"EmptyNameSub33", 5, 33, "", 1, 0, PCSC2STD_ERR_BAD_SUBPORT_NUMBER},
        InitPortCase{"NoNameLimitsPass", 128, 32, nullptr, 1, 0, PCSC2STD_ERR_INIT_PORT},
        InitPortCase{"EmptyName", 0, 0, "", 1, 0, PCSC2STD_ERR_INIT_PORT},
        InitPortCase{"CardKind2", 0, 0, "Reader A", 2, 0, PCSC2STD_ERR_INIT_PORT},
        InitPortCase{"CardKindNegative", 0, 0, "Reader A", -1, 0, PCSC2STD_ERR_INIT_PORT},
        InitPortCase{"Exclusive2", 0, 0, "Reader A", 1, 2, PCSC2STD_ERR_INIT_PORT},
        InitPortCase{"NameTooLong", 0, 0, "<long>", 1, 0, PCSC2STD_ERR_INIT_PORT},
        InitPortCase{"NamedAnyNumbers", 5000, 99, "Reader A", 1, 0, 0},
        InitPortCase{"KindT0Exclusive", 0, 0, "Reader A", 0, 1, 0}),
    [](const ::testing::TestParamInfo<InitPortCase>& i) { return std::string(i.param.label); });

TEST_F(FakePcscTest, EqualOpenPortIsInUseEvenBehindAFreeSlot) {
    const uint32_t first = Open(kA, 0);
    const uint32_t second = Open(kB, 0);
    ASSERT_NE(first, second);

    uint32_t out = 0;
    EXPECT_EQ(PCSC2STD_ERR_PORT_IN_USE, InitPort(0, 0, kA, &out, 1, 0));
    EXPECT_EQ(first, out);

    // The same reader under another port number is a second port.
    uint32_t third = PCSC2STD_NO_PORT;
    EXPECT_EQ(0, InitPort(1, 0, kA, &third, 1, 0));
    EXPECT_NE(first, third);
    EXPECT_NE(second, third);

    // With the first slot free again, the scan still finds the open port
    // behind it.
    ASSERT_EQ(0, ClosePort(first));
    out = 0;
    EXPECT_EQ(PCSC2STD_ERR_PORT_IN_USE, InitPort(0, 0, kB, &out, 1, 0));
    EXPECT_EQ(second, out);
}

TEST_F(FakePcscTest, SecondInitLibraryKeepsOpenPorts) {
    fakepcsc::InsertCard(kA, Atr(5));
    const uint32_t port = Open(kA);
    InitLibrary();
    EXPECT_EQ(PCSC2STD_CARD_PRESENT, CardStatus(port));
    uint32_t out = 0;
    EXPECT_EQ(PCSC2STD_ERR_PORT_IN_USE, InitPort(0, 0, kA, &out, 1, 0));
    EXPECT_EQ(port, out);
}

TEST_F(FakePcscTest, AllPortsTakenGivesInitPortErrorAnd255) {
    std::vector<uint32_t> ports;
    for (uint32_t i = 0; i < PCSC2STD_MAX_PORTS; ++i) {
        uint32_t p = PCSC2STD_NO_PORT;
        ASSERT_EQ(0, InitPort(i, 0, kA, &p, 1, 0)) << i;
        ports.push_back(p);
    }
    std::sort(ports.begin(), ports.end());
    for (uint32_t i = 0; i < PCSC2STD_MAX_PORTS; ++i) EXPECT_EQ(i, ports[i]);

    uint32_t out = 0;
    EXPECT_EQ(PCSC2STD_ERR_INIT_PORT, InitPort(500, 0, kA, &out, 1, 0));
    EXPECT_EQ(PCSC2STD_NO_PORT, out);

    // One closed port is handed out again.
    ASSERT_EQ(0, ClosePort(17));
    EXPECT_EQ(0, InitPort(500, 0, kA, &out, 1, 0));
    EXPECT_EQ(17u, out);
}

// ---------------------------------------------------------------------------
// Ports that are out of range or not open
// ---------------------------------------------------------------------------

TEST_F(FakePcscTest, PortOutOfRangeOrClosedIsNotOpen) {
    const uint32_t open = Open(kA);
    for (const testutil::PortEntryCase& e : testutil::PortEntries()) {
        for (uint32_t port : {open + 1, 127u, 128u, 255u, 0xFFFFFFFFu}) {
            SCOPED_TRACE(std::string(e.name) + " port " + std::to_string(port));
            EXPECT_EQ(PCSC2STD_ERR_PORT_NOT_OPEN, e.call(port));
        }
    }
    // The open port is untouched by all of that.
    EXPECT_EQ(PCSC2STD_CARD_CHANGED, CardStatus(open));
    EXPECT_EQ(0, ClosePort(open));
    EXPECT_EQ(PCSC2STD_ERR_PORT_NOT_OPEN, ClosePort(open));
}

// ---------------------------------------------------------------------------
// Reader listing
// ---------------------------------------------------------------------------

struct ProbeCase {
    const char* label;
    LONG probe;
    bool listed;
    uint16_t status;
};

class ReaderStatusMapping : public FakePcscTest, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(ReaderStatusMapping, ProbeResultGivesStatusOrLeavesTheReaderOut) {
    const ProbeCase& c = GetParam();
    fakepcsc::SetProbeResult(kA, c.probe);
    ReaderInfo readers[PCSC2STD_MAX_READERS];
    std::memset(readers, 0xEE, sizeof readers);
    uint32_t count = 99;
    ASSERT_EQ(0, GetAllReaders(readers, &count));
    // "Reader B" always answers; it follows "Reader A" or takes its place.
    ASSERT_EQ(c.listed ? 2u : 1u, count);
    const ReaderInfo& b = readers[c.listed ? 1 : 0];
    EXPECT_STREQ(kB, b.name);
    EXPECT_EQ(READER_STATUS_AVAILABLE, b.status);
    if (c.listed) {
        EXPECT_STREQ(kA, readers[0].name);
        EXPECT_EQ(c.status, readers[0].status);
    }
    for (uint32_t i = 0; i < count; ++i) {
        EXPECT_EQ(63, readers[i].attribA);
        EXPECT_EQ(63, readers[i].attribB);
    }
    EXPECT_EQ(0, fakepcsc::OpenContexts());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReaderStatusMapping,
    ::testing::Values(ProbeCase{"Success", SCARD_S_SUCCESS, true, READER_STATUS_AVAILABLE},
                      ProbeCase{"NoSmartcard", SCARD_E_NO_SMARTCARD, true, READER_STATUS_AVAILABLE},
                      ProbeCase{"RemovedCard", SCARD_W_REMOVED_CARD, true, READER_STATUS_AVAILABLE},
                      ProbeCase{"Unresponsive", SCARD_W_UNRESPONSIVE_CARD, true, READER_STATUS_AVAILABLE},
                      ProbeCase{"Unpowered", SCARD_W_UNPOWERED_CARD, true, READER_STATUS_AVAILABLE},
                      ProbeCase{"ResetCard", SCARD_W_RESET_CARD, true, READER_STATUS_AVAILABLE},
                      ProbeCase{"UnknownReader", SCARD_E_UNKNOWN_READER, true, READER_STATUS_ABSENT},
                      ProbeCase{"Sharing", SCARD_E_SHARING_VIOLATION, true, READER_STATUS_OCCUPIED},
                      ProbeCase{"Unavailable", SCARD_E_READER_UNAVAILABLE, true, READER_STATUS_UNKNOWN},
                      ProbeCase{"TimeoutLeftOut", SCARD_E_TIMEOUT, false, 0},
                      ProbeCase{"NoServiceLeftOut", SCARD_E_NO_SERVICE, false, 0}),
    [](const ::testing::TestParamInfo<ProbeCase>& i) { return std::string(i.param.label); });

TEST_F(FakePcscTest, DirectProbeRefusedFallsBackToSharedConnection) {
    // Refused as an invalid value: the shared probe's answer counts; an
    // empty reader then answers "no smart card", which is available.
    fakepcsc::SetProbeResult(kA, SCARD_E_INVALID_VALUE);
    ReaderInfo readers[PCSC2STD_MAX_READERS];
    uint32_t count = 0;
    ASSERT_EQ(0, GetAllReaders(readers, &count));
    ASSERT_EQ(2u, count);
    EXPECT_EQ(READER_STATUS_AVAILABLE, readers[0].status);
    const std::vector<DWORD> shares = fakepcsc::ConnectShareModes();
    ASSERT_EQ(3u, shares.size());
    EXPECT_EQ(static_cast<DWORD>(SCARD_SHARE_DIRECT), shares[0]);
    EXPECT_EQ(static_cast<DWORD>(SCARD_SHARE_SHARED), shares[1]);
    EXPECT_EQ(static_cast<DWORD>(SCARD_SHARE_DIRECT), shares[2]);
    EXPECT_EQ(0, fakepcsc::OpenHandles());
}

TEST_F(FakePcscTest, ListingStopsAtSixteenRecords) {
    for (int i = 0; i < 20; ++i) fakepcsc::AddReader("Extra " + std::to_string(i));
    ReaderInfo readers[PCSC2STD_MAX_READERS + 1];
    std::memset(readers, 0xAB, sizeof readers);
    uint32_t count = 0;
    ASSERT_EQ(0, GetAllReaders(readers, &count));
    EXPECT_EQ(PCSC2STD_MAX_READERS, count);
    EXPECT_STREQ(kA, readers[0].name);
    EXPECT_STREQ("Extra 13", readers[15].name);
    // The record behind the 16th is untouched.
    const unsigned char* guard = reinterpret_cast<const unsigned char*>(&readers[PCSC2STD_MAX_READERS]);
    for (size_t i = 0; i < sizeof(ReaderInfo); ++i) ASSERT_EQ(0xAB, guard[i]) << i;
}

TEST_F(FakePcscTest, LongNamesAreCutInsideTheRecord) {
    fakepcsc::Reset();
    const std::string ascii(200, 'x');
    // 126 ASCII bytes then a two-byte character: it does not fit whole.
    const std::string utf8 = std::string(126, 'y') + "\xC5\x82" + "z";
    fakepcsc::AddReader(ascii);
    fakepcsc::AddReader(utf8);
    ReaderInfo readers[PCSC2STD_MAX_READERS];
    uint32_t count = 0;
    ASSERT_EQ(0, GetAllReaders(readers, &count));
    ASSERT_EQ(2u, count);
    EXPECT_EQ(std::string(127, 'x'), std::string(readers[0].name));
    EXPECT_EQ(std::string(126, 'y'), std::string(readers[1].name));
    // The probes used the whole names (the fake knows only those).
    EXPECT_EQ(READER_STATUS_AVAILABLE, readers[0].status);
}

struct ListFailureCase {
    const char* label;
    Fn fn;
    LONG rc;
    int expected;
};

class ListingFailures : public FakePcscTest, public ::testing::WithParamInterface<ListFailureCase> {};

TEST_P(ListingFailures, ContextOrListFailure) {
    const ListFailureCase& c = GetParam();
    fakepcsc::PushResult(c.fn, c.rc);
    ReaderInfo readers[PCSC2STD_MAX_READERS];
    uint32_t count = 5;
    EXPECT_EQ(c.expected, GetAllReaders(readers, &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(0, fakepcsc::OpenContexts());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ListingFailures,
    ::testing::Values(ListFailureCase{"NoContext", Fn::EstablishContext, SCARD_E_NO_SERVICE, PCSC2STD_ERR_PCSC},
                      ListFailureCase{"ListFails", Fn::ListReaders, SCARD_E_NO_SERVICE, PCSC2STD_ERR_PCSC},
                      ListFailureCase{"NoReaders", Fn::ListReaders, SCARD_E_NO_READERS_AVAILABLE, 0}),
    [](const ::testing::TestParamInfo<ListFailureCase>& i) { return std::string(i.param.label); });

TEST_F(FakePcscTest, ListLongerThanTheListingBufferFails) {
    for (int i = 0; i < 10; ++i) fakepcsc::AddReader(std::string(110, static_cast<char>('a' + i)));
    ReaderInfo readers[PCSC2STD_MAX_READERS];
    uint32_t count = 3;
    EXPECT_EQ(PCSC2STD_ERR_PCSC, GetAllReaders(readers, &count));
    EXPECT_EQ(0u, count);
}

TEST_F(FakePcscTest, NoReadersListsNothing) {
    fakepcsc::Reset();
    ReaderInfo readers[PCSC2STD_MAX_READERS];
    uint32_t count = 3;
    EXPECT_EQ(0, GetAllReaders(readers, &count));
    EXPECT_EQ(0u, count);
}

// ---------------------------------------------------------------------------
// The published card state
// ---------------------------------------------------------------------------

TEST_F(FakePcscTest, CardStateSequenceReportsEachChangeOnce) {
    const uint32_t port = Open(kA);
    // Empty at open: the first state counts as a change.
    EXPECT_EQ(PCSC2STD_CARD_CHANGED, CardStatus(port));
    EXPECT_EQ(0, CardStatus(port));

    fakepcsc::InsertCard(kA, Atr(12));
    EXPECT_EQ(PCSC2STD_CARD_PRESENT | PCSC2STD_CARD_CHANGED, NextCardStatus(port, 0));
    EXPECT_EQ(PCSC2STD_CARD_PRESENT, CardStatus(port));
    EXPECT_EQ(PCSC2STD_CARD_PRESENT, CardStatus(port));

    fakepcsc::RemoveCard(kA);
    EXPECT_EQ(PCSC2STD_CARD_CHANGED, NextCardStatus(port, PCSC2STD_CARD_PRESENT));
    EXPECT_EQ(0, CardStatus(port));

    // A second insertion after a reported removal is reported again.
    fakepcsc::InsertCard(kA, Atr(3));
    EXPECT_EQ(PCSC2STD_CARD_PRESENT | PCSC2STD_CARD_CHANGED, NextCardStatus(port, 0));
    EXPECT_EQ(PCSC2STD_CARD_PRESENT, CardStatus(port));
}

TEST_F(FakePcscTest, CardPresentAtOpenIsNoChange) {
    fakepcsc::InsertCard(kA, Atr(8));
    const uint32_t port = Open(kA);
    EXPECT_EQ(PCSC2STD_CARD_PRESENT, CardStatus(port));
    EXPECT_EQ(PCSC2STD_CARD_PRESENT, CardStatus(port));
    fakepcsc::RemoveCard(kA);
    EXPECT_EQ(PCSC2STD_CARD_CHANGED, NextCardStatus(port, PCSC2STD_CARD_PRESENT));
}

TEST_F(FakePcscTest, StateWithNeitherEmptyNorPresentIsUnknown) {
    const uint32_t port = Open(kA);
    ASSERT_EQ(PCSC2STD_CARD_CHANGED, CardStatus(port));
    fakepcsc::SetReaderState(kA, SCARD_STATE_INUSE);
    EXPECT_EQ(PCSC2STD_ERR_UNKNOWN_CARD_STATE, NextCardStatus(port, 0));
    EXPECT_EQ(PCSC2STD_ERR_UNKNOWN_CARD_STATE, CardStatus(port));
}

// The status calls made before the wait that the watch thread is blocked in
// now, once it is blocked there. That wait gives the first answer to the
// next change; a count read while the thread might already be inside it
// would leave that answer out, or not, by chance.
int StatusCallsBeforeTheBlockedWait() {
    EXPECT_TRUE(WaitUntil([] { return fakepcsc::BlockedStatusWaits() == 1; }));
    return fakepcsc::CallCount(Fn::GetStatusChange) - 1;
}

TEST_F(FakePcscTest, UnavailableReaderIsAskedAgainThenPublishedEmpty) {
    fakepcsc::InsertCard(kA, Atr(4));
    const uint32_t port = Open(kA);
    ASSERT_EQ(PCSC2STD_CARD_PRESENT, CardStatus(port));
    const int before = StatusCallsBeforeTheBlockedWait();
    fakepcsc::SetReaderState(kA, SCARD_STATE_UNAVAILABLE);
    EXPECT_EQ(PCSC2STD_CARD_CHANGED, NextCardStatus(port, PCSC2STD_CARD_PRESENT));
    // The first answer and ten more questions.
    EXPECT_GE(fakepcsc::CallCount(Fn::GetStatusChange) - before, 11);
}

TEST_F(FakePcscTest, CardWithoutAtrIsAskedAgainThenCountsAsAbsent) {
    const uint32_t port = Open(kA);
    ASSERT_EQ(PCSC2STD_CARD_CHANGED, CardStatus(port));
    ASSERT_EQ(0, CardStatus(port));
    // Each such card gets all its questions, the second as the first.
    for (int card = 0; card < 2; ++card) {
        SCOPED_TRACE(card);
        if (card > 0) {
            fakepcsc::RemoveCard(kA);
            ASSERT_EQ(PCSC2STD_CARD_CHANGED, NextCardStatus(port, 0));
        }
        const int before = StatusCallsBeforeTheBlockedWait();
        fakepcsc::InsertCard(kA, Bytes());
        EXPECT_EQ(PCSC2STD_CARD_CHANGED, NextCardStatus(port, 0));
        EXPECT_GE(fakepcsc::CallCount(Fn::GetStatusChange) - before, 11);
        // It is not published again and again while nothing changes: the
        // watch thread goes back to waiting for a real change (a thread that
        // kept asking would never block in the wait).
        EXPECT_TRUE(WaitUntil([] { return fakepcsc::BlockedStatusWaits() == 1; }));
        EXPECT_EQ(0, CardStatus(port));
    }
    // A real change afterwards is still seen. A slow watch thread can see
    // the removal on its own first, which is reported as one.
    fakepcsc::RemoveCard(kA);
    fakepcsc::InsertCard(kA, Atr(7));
    int s = NextCardStatus(port, 0);
    if (s == PCSC2STD_CARD_CHANGED) s = NextCardStatus(port, 0);
    EXPECT_EQ(PCSC2STD_CARD_PRESENT | PCSC2STD_CARD_CHANGED, s);
}

TEST_F(FakePcscTest, CardWithoutAtrAtOpenIsOneChange) {
    // The open is acknowledged before the retries, showing the card as it
    // stands if it never gives its ATR; when the retries end that way, the
    // same change is not reported a second time.
    fakepcsc::InsertCard(kA, Bytes());
    const uint32_t port = Open(kA);
    EXPECT_EQ(PCSC2STD_CARD_CHANGED, CardStatus(port));
    // The retries are over once the thread waits for a real change.
    ASSERT_TRUE(WaitUntil([] { return fakepcsc::BlockedStatusWaits() == 1; }));
    EXPECT_EQ(0, CardStatus(port));
}

TEST_F(FakePcscTest, MuteCardIsPublishedPresent) {
    const uint32_t port = Open(kA);
    ASSERT_EQ(PCSC2STD_CARD_CHANGED, CardStatus(port));
    fakepcsc::InsertCard(kA, Bytes(), /*mute=*/true);
    EXPECT_EQ(PCSC2STD_CARD_PRESENT | PCSC2STD_CARD_CHANGED, NextCardStatus(port, 0));
}

struct ServiceErrorCase {
    const char* label;
    LONG rc;
    int expected;
};

class PublishedServiceErrors : public FakePcscTest, public ::testing::WithParamInterface<ServiceErrorCase> {};

TEST_P(PublishedServiceErrors, ErrorStaysWhileTheConditionLasts) {
    const ServiceErrorCase& c = GetParam();
    const uint32_t port = Open(kA);
    ASSERT_EQ(PCSC2STD_CARD_CHANGED, CardStatus(port));
    // Every status wait fails from now on.
    for (int i = 0; i < 100000; ++i) fakepcsc::PushResult(Fn::GetStatusChange, c.rc);
    EXPECT_EQ(c.expected, NextCardStatus(port, 0));
    const int calls = fakepcsc::CallCount(Fn::GetStatusChange);
    ASSERT_TRUE(WaitUntil([&] { return fakepcsc::CallCount(Fn::GetStatusChange) >= calls + 2; }));
    EXPECT_EQ(c.expected, CardStatus(port));
    // ISO passes the state on and sends nothing.
    const unsigned char apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x00};
    unsigned char resp[64];
    uint32_t len = sizeof apdu;
    EXPECT_EQ(c.expected, ISO(&len, apdu, resp, sizeof resp, port));
    EXPECT_TRUE(fakepcsc::TransmittedApdus().empty());

    // Once the wait answers again, the reader's state is published afresh,
    // although it did not change.
    fakepcsc::ClearResults(Fn::GetStatusChange);
    EXPECT_EQ(PCSC2STD_CARD_CHANGED, NextCardStatus(port, c.expected));
    EXPECT_EQ(0, CardStatus(port));
    fakepcsc::InsertCard(kA, Atr(6));
    EXPECT_EQ(PCSC2STD_CARD_PRESENT | PCSC2STD_CARD_CHANGED, NextCardStatus(port, 0));
}

INSTANTIATE_TEST_SUITE_P(
    Table, PublishedServiceErrors,
    ::testing::Values(ServiceErrorCase{"ReaderUnavailable", SCARD_E_READER_UNAVAILABLE, PCSC2STD_ERR_READER_UNAVAILABLE},
                      ServiceErrorCase{"SystemCancelled", SCARD_E_SYSTEM_CANCELLED, PCSC2STD_ERR_SYSTEM_CANCELLED},
                      ServiceErrorCase{"NoService", SCARD_E_NO_SERVICE, PCSC2STD_ERR_NO_SERVICE},
                      ServiceErrorCase{"ServiceStopped", SCARD_E_SERVICE_STOPPED, PCSC2STD_ERR_SERVICE_STOPPED},
                      ServiceErrorCase{"UnknownReader", SCARD_E_UNKNOWN_READER, PCSC2STD_ERR_READER_UNAVAILABLE}),
    [](const ::testing::TestParamInfo<ServiceErrorCase>& i) { return std::string(i.param.label); });

TEST_F(FakePcscTest, VanishedReaderIsUnavailableNotItsLastCard) {
    fakepcsc::InsertCard(kA, Atr(5));
    const uint32_t port = Open(kA);
    ASSERT_EQ(PCSC2STD_CARD_PRESENT, CardStatus(port));
    fakepcsc::RemoveReader(kA);
    EXPECT_EQ(PCSC2STD_ERR_READER_UNAVAILABLE, NextCardStatus(port, PCSC2STD_CARD_PRESENT));
    // Back again, with a card: published afresh.
    fakepcsc::AddReader(kA);
    fakepcsc::InsertCard(kA, Atr(5));
    EXPECT_EQ(PCSC2STD_CARD_PRESENT, NextCardStatus(port, PCSC2STD_ERR_READER_UNAVAILABLE));
}

TEST_F(FakePcscTest, ServiceStoppedMidWaitIsReportedAndCloseReturns) {
    fakepcsc::InsertCard(kA, Atr(5));
    const uint32_t port = Open(kA);
    ASSERT_EQ(PCSC2STD_CARD_PRESENT, CardStatus(port));
    // The watch thread is blocked in its status wait when the service goes.
    ASSERT_TRUE(WaitUntil([] { return fakepcsc::BlockedStatusWaits() == 1; }));
    fakepcsc::SetService(false);
    const int s = NextCardStatus(port, PCSC2STD_CARD_PRESENT);
    EXPECT_TRUE(s == PCSC2STD_ERR_SERVICE_STOPPED || s == PCSC2STD_ERR_NO_SERVICE) << s;
    EXPECT_EQ(0, ClosePort(port));
    EXPECT_EQ(0, fakepcsc::BlockedStatusWaits());
}

TEST_F(FakePcscTest, WatchThreadThatCannotGetAContextFailsTheOpen) {
    // The reader's own context is granted, the watch thread's is not.
    fakepcsc::PushResult(Fn::EstablishContext, SCARD_S_SUCCESS);
    fakepcsc::PushResult(Fn::EstablishContext, SCARD_E_NO_SERVICE);
    uint32_t out = 0;
    EXPECT_EQ(PCSC2STD_ERR_INIT_PORT, InitPort(0, 0, kA, &out, 1, 0));
    EXPECT_EQ(PCSC2STD_NO_PORT, out);
    EXPECT_EQ(0, fakepcsc::OpenContexts());
    // The slot is free again.
    EXPECT_EQ(0, InitPort(0, 0, kA, &out, 1, 0));
    EXPECT_EQ(0u, out);
}

// ---------------------------------------------------------------------------
// Reset and ATR
// ---------------------------------------------------------------------------

class ResetAtrLengths : public FakePcscTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(ResetAtrLengths, ResetAndStatusReturnTheWholeAtr) {
    const Bytes atr = Atr(GetParam());
    fakepcsc::InsertCard(kA, atr);
    const uint32_t port = Open(kA);

    unsigned char out[PCSC2STD_ATR_CAPACITY + 4];
    std::memset(out, 0xCC, sizeof out);
    ASSERT_EQ(static_cast<int>(atr.size()), CardReset(out, 1, port));
    EXPECT_EQ(atr, Bytes(out, out + atr.size()));
    for (size_t i = atr.size(); i < sizeof out; ++i) ASSERT_EQ(0xCC, out[i]);
    const std::vector<DWORD> inits = fakepcsc::ReconnectInits();
    ASSERT_EQ(1u, inits.size());
    EXPECT_EQ(static_cast<DWORD>(SCARD_UNPOWER_CARD), inits[0]);

    unsigned char direct[PCSC2STD_ATR_CAPACITY];
    int32_t len = 0;
    EXPECT_EQ(PCSC2STD_CARD_PRESENT, CardStatusATR(direct, &len, port));
    ASSERT_EQ(static_cast<int32_t>(atr.size()), len);
    EXPECT_EQ(atr, Bytes(direct, direct + len));

    // The connected card's own status calls take the whole ATR as well.
    EXPECT_EQ(0, StartTransaction(port));
    EXPECT_EQ(0, EndTransaction(port));
    int32_t protocol = -1, presence = -1;
    EXPECT_EQ(0, CardProtocolState(&protocol, &presence, port));
    EXPECT_EQ(PCSC2STD_CARD_PRESENT, presence);
    EXPECT_EQ(PCSC2STD_CARD_PRESENT, CardInside(port));
}

INSTANTIATE_TEST_SUITE_P(Lengths, ResetAtrLengths, ::testing::Values(size_t{2}, size_t{19}, size_t{32}, size_t{33}));

TEST_F(FakePcscTest, ResetWithoutColdResetOnlyCopiesTheAtr) {
    const Bytes atr = Atr(10);
    fakepcsc::InsertCard(kA, atr);
    const uint32_t port = Open(kA);
    unsigned char out[PCSC2STD_ATR_CAPACITY];
    ASSERT_EQ(10, CardReset(out, 0, port));
    EXPECT_EQ(atr, Bytes(out, out + 10));
    EXPECT_TRUE(fakepcsc::ReconnectInits().empty());
}

struct ResetFailureCase {
    const char* label;
    Fn fn;   // Connect: both connection attempts fail; Reconnect: both cold-reset attempts fail
    LONG rc;
    int expected;
};

class ResetFailures : public FakePcscTest, public ::testing::WithParamInterface<ResetFailureCase> {};

TEST_P(ResetFailures, MappedByStage) {
    const ResetFailureCase& c = GetParam();
    fakepcsc::InsertCard(kA, Atr(5));
    const uint32_t port = Open(kA);
    for (int i = 0; i < 4; ++i) fakepcsc::PushResult(c.fn, c.rc);
    unsigned char out[PCSC2STD_ATR_CAPACITY];
    EXPECT_EQ(c.expected, CardReset(out, 1, port));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResetFailures,
    ::testing::Values(
        ResetFailureCase{"ConnectNoCard", Fn::Connect, SCARD_E_NO_SMARTCARD, PCSC2STD_ERR_NO_SMARTCARD},
        ResetFailureCase{"ConnectUnavailable", Fn::Connect, SCARD_E_READER_UNAVAILABLE, PCSC2STD_ERR_READER_UNAVAILABLE},
        ResetFailureCase{"ConnectNoService", Fn::Connect, SCARD_E_NO_SERVICE, PCSC2STD_ERR_NO_SERVICE},
        ResetFailureCase{"ConnectStopped", Fn::Connect, SCARD_E_SERVICE_STOPPED, PCSC2STD_ERR_SERVICE_STOPPED},
        ResetFailureCase{"ConnectCancelled", Fn::Connect, SCARD_E_SYSTEM_CANCELLED, PCSC2STD_ERR_SYSTEM_CANCELLED},
        ResetFailureCase{"ConnectOther", Fn::Connect, SCARD_E_SHARING_VIOLATION, PCSC2STD_ERR_CONNECT},
        ResetFailureCase{"ResetNoCard", Fn::Reconnect, SCARD_E_NO_SMARTCARD, PCSC2STD_ERR_NO_SMARTCARD},
        ResetFailureCase{"ResetStopped", Fn::Reconnect, SCARD_E_SERVICE_STOPPED, PCSC2STD_ERR_SERVICE_STOPPED},
        ResetFailureCase{"ResetOther", Fn::Reconnect, SCARD_E_PROTO_MISMATCH, PCSC2STD_ERR_RESET}),
    [](const ::testing::TestParamInfo<ResetFailureCase>& i) { return std::string(i.param.label); });

TEST_F(FakePcscTest, ResetOnEmptyReaderIsNoSmartcard) {
    const uint32_t port = Open(kA);
    unsigned char out[PCSC2STD_ATR_CAPACITY];
    EXPECT_EQ(PCSC2STD_ERR_NO_SMARTCARD, CardReset(out, 1, port));
}

// ---------------------------------------------------------------------------
// APDU exchange
// ---------------------------------------------------------------------------

struct IsoCase {
    const char* label;
    Bytes response;
    int expected;
    uint32_t length;  // response length without the status word
};

class IsoExchange : public FakePcscTest, public ::testing::WithParamInterface<IsoCase> {};

TEST_P(IsoExchange, StatusWordSplit) {
    const IsoCase& c = GetParam();
    fakepcsc::InsertCard(kA, Atr(5));
    const uint32_t port = Open(kA);
    unsigned char atr[PCSC2STD_ATR_CAPACITY];
    ASSERT_EQ(5, CardReset(atr, 1, port));
    fakepcsc::PushResponse(c.response);
    const unsigned char apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x10};
    unsigned char resp[64];
    std::memset(resp, 0, sizeof resp);
    uint32_t len = sizeof apdu;
    EXPECT_EQ(c.expected, ISO(&len, apdu, resp, sizeof resp, port));
    if (c.expected >= 0) {
        EXPECT_EQ(c.length, len);
        EXPECT_EQ(Bytes(c.response.begin(), c.response.begin() + len), Bytes(resp, resp + len));
    }
    ASSERT_EQ(1u, fakepcsc::TransmittedApdus().size());
    EXPECT_EQ(Bytes(apdu, apdu + sizeof apdu), fakepcsc::TransmittedApdus()[0]);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IsoExchange,
    ::testing::Values(IsoCase{"OnlyStatusWord", {0x90, 0x00}, 0x9000, 0},
                      IsoCase{"DataAndStatus", {0x01, 0x02, 0x03, 0x6A, 0x82}, 0x6A82, 3},
                      IsoCase{"HighStatusWord", {0xFF, 0xFF}, 0xFFFF, 0},
                      IsoCase{"FullBuffer", Bytes(62, 0x55) = [] {
                          Bytes b(62, 0x55);
                          b.push_back(0x61);
                          b.push_back(0x10);
                          return b;
                      }(), 0x6110, 62},
                      IsoCase{"OneByte", {0x90}, PCSC2STD_ERR_TRANSMIT, 0},
                      IsoCase{"Empty", {}, PCSC2STD_ERR_TRANSMIT, 0},
                      IsoCase{"LargerThanBuffer", Bytes(65, 0x11), PCSC2STD_ERR_TRANSMIT, 0}),
    [](const ::testing::TestParamInfo<IsoCase>& i) { return std::string(i.param.label); });

TEST_F(FakePcscTest, IsoOnEmptyReaderSendsNothing) {
    const uint32_t port = Open(kA);
    const unsigned char apdu[] = {0x00, 0xA4, 0x04, 0x00};
    unsigned char resp[64];
    uint32_t len = sizeof apdu;
    EXPECT_EQ(PCSC2STD_CARD_CHANGED, ISO(&len, apdu, resp, sizeof resp, port));
    EXPECT_EQ(0, ISO(&len, apdu, resp, sizeof resp, port));
    EXPECT_EQ(0, fakepcsc::CallCount(Fn::Transmit));
}

TEST_F(FakePcscTest, IsoWithoutConnectionFails) {
    fakepcsc::InsertCard(kA, Atr(5));
    const uint32_t port = Open(kA);
    const unsigned char apdu[] = {0x00, 0xA4, 0x04, 0x00};
    unsigned char resp[64];
    uint32_t len = sizeof apdu;
    EXPECT_EQ(PCSC2STD_ERR_TRANSMIT, ISO(&len, apdu, resp, sizeof resp, port));
    EXPECT_EQ(PCSC2STD_ERR_TRANSMIT, ISO(nullptr, apdu, resp, sizeof resp, port));
}

struct PciCase {
    const char* label;
    int kind;
    DWORD accepted;
    const SCARD_IO_REQUEST* pci;
    int protocolOut;
};

class PciFollowsProtocol : public FakePcscTest, public ::testing::WithParamInterface<PciCase> {};

TEST_P(PciFollowsProtocol, SendPciOfTheNegotiatedProtocol) {
    const PciCase& c = GetParam();
    fakepcsc::InsertCard(kA, Atr(5));
    fakepcsc::SetCardProtocols(kA, c.accepted, c.accepted);
    uint32_t port = 0;
    ASSERT_EQ(0, InitPort(0, 0, kA, &port, c.kind, 0));
    unsigned char atr[PCSC2STD_ATR_CAPACITY];
    ASSERT_EQ(5, CardReset(atr, 1, port));
    const unsigned char apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x00};
    unsigned char resp[16];
    uint32_t len = sizeof apdu;
    EXPECT_EQ(0x9000, ISO(&len, apdu, resp, sizeof resp, port));
    EXPECT_EQ(c.pci, fakepcsc::LastSendPci());
    int32_t protocol = -1, presence = -1;
    EXPECT_EQ(0, CardProtocolState(&protocol, &presence, port));
    EXPECT_EQ(c.protocolOut, protocol);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PciFollowsProtocol,
    ::testing::Values(PciCase{"T1ObjectT1Card", 1, SCARD_PROTOCOL_T1, &g_rgSCardT1Pci, 1},
                      PciCase{"T1ObjectT0Card", 1, SCARD_PROTOCOL_T0, &g_rgSCardT0Pci, 0},
                      PciCase{"T0ObjectT1Card", 0, SCARD_PROTOCOL_T1, &g_rgSCardT1Pci, 1},
                      PciCase{"T0ObjectT0Card", 0, SCARD_PROTOCOL_T0, &g_rgSCardT0Pci, 0}),
    [](const ::testing::TestParamInfo<PciCase>& i) { return std::string(i.param.label); });

// ---------------------------------------------------------------------------
// Transactions and the other card entries
// ---------------------------------------------------------------------------

struct TransactionCase {
    const char* label;
    std::vector<std::pair<Fn, LONG>> script;
    int expected;
    int begins;  // SCardBeginTransaction calls
    // SCardEndTransaction calls: one before every attempt, and one more for
    // a transaction that was begun but is reported as failed.
    int ends;
};

class Transactions : public FakePcscTest, public ::testing::WithParamInterface<TransactionCase> {};

TEST_P(Transactions, AttemptsAndResult) {
    const TransactionCase& c = GetParam();
    fakepcsc::InsertCard(kA, Atr(5));
    const uint32_t port = Open(kA);
    unsigned char atr[PCSC2STD_ATR_CAPACITY];
    ASSERT_EQ(5, CardReset(atr, 1, port));
    for (const auto& s : c.script) fakepcsc::PushResult(s.first, s.second);
    EXPECT_EQ(c.expected, StartTransaction(port));
    EXPECT_EQ(c.begins, fakepcsc::CallCount(Fn::BeginTransaction));
    EXPECT_EQ(c.ends, fakepcsc::CallCount(Fn::EndTransaction));
}

std::vector<std::pair<Fn, LONG>> Repeat(Fn fn, LONG rc, int n) { return std::vector<std::pair<Fn, LONG>>(n, {fn, rc}); }

INSTANTIATE_TEST_SUITE_P(
    Table, Transactions,
    ::testing::Values(
        TransactionCase{"FirstAttempt", {}, 0, 1, 1},
        TransactionCase{"NineBusyThenBegun", Repeat(Fn::BeginTransaction, SCARD_E_SHARING_VIOLATION, 9), 0, 10, 10},
        TransactionCase{"TenBusy", Repeat(Fn::BeginTransaction, SCARD_E_SHARING_VIOLATION, 10), PCSC2STD_ERR_PCSC, 10,
                        10},
        // Each reset is followed by a successful reconnect, the tenth too:
        // still no transaction was begun.
        TransactionCase{"TenResetsReconnected", Repeat(Fn::BeginTransaction, SCARD_W_RESET_CARD, 10),
                        PCSC2STD_ERR_PCSC, 10, 10},
        // Every begin succeeds and every check fails: the tenth transaction
        // is ended before the failure is reported.
        TransactionCase{"StatusFailsEachTime", Repeat(Fn::Status, SCARD_E_NO_SMARTCARD, 10), PCSC2STD_ERR_PCSC, 10,
                        11},
        TransactionCase{"StatusFailsOnce", Repeat(Fn::Status, SCARD_W_RESET_CARD, 1), 0, 2, 2}),
    [](const ::testing::TestParamInfo<TransactionCase>& i) { return std::string(i.param.label); });

TEST_F(FakePcscTest, TransactionEntriesNeedAConnection) {
    fakepcsc::InsertCard(kA, Atr(5));
    const uint32_t port = Open(kA);
    EXPECT_EQ(PCSC2STD_ERR_PCSC, StartTransaction(port));
    EXPECT_EQ(PCSC2STD_ERR_PCSC, EndTransaction(port));
    int32_t protocol = 0, presence = 0;
    EXPECT_EQ(PCSC2STD_ERR_PCSC, CardProtocolState(&protocol, &presence, port));
    EXPECT_EQ(0, fakepcsc::CallCount(Fn::BeginTransaction));
}

TEST_F(FakePcscTest, EndTransactionOnResetCardReconnects) {
    fakepcsc::InsertCard(kA, Atr(5));
    const uint32_t port = Open(kA);
    unsigned char atr[PCSC2STD_ATR_CAPACITY];
    ASSERT_EQ(5, CardReset(atr, 1, port));
    ASSERT_EQ(0, StartTransaction(port));
    const int connects = fakepcsc::CallCount(Fn::Connect);
    fakepcsc::PushResult(Fn::EndTransaction, SCARD_W_RESET_CARD);
    EXPECT_EQ(0, EndTransaction(port));
    EXPECT_EQ(connects + 1, fakepcsc::CallCount(Fn::Connect));
}

TEST_F(FakePcscTest, DisconnectDropsTheHandleEvenWhenRefused) {
    fakepcsc::InsertCard(kA, Atr(5));
    const uint32_t port = Open(kA);
    EXPECT_EQ(0, CardDisconnect(port));  // never connected
    unsigned char atr[PCSC2STD_ATR_CAPACITY];
    ASSERT_EQ(5, CardReset(atr, 1, port));
    SCARDCONTEXT ctx = 0;
    SCARDHANDLE handle = 0;
    ASSERT_EQ(0, GetCardHandles(&ctx, &handle, port));
    EXPECT_NE(0, ctx);
    EXPECT_NE(0, handle);
    fakepcsc::PushResult(Fn::Disconnect, SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(0, CardDisconnect(port));
    ASSERT_EQ(0, GetCardHandles(&ctx, &handle, port));
    EXPECT_EQ(0, handle);
}

TEST_F(FakePcscTest, GetCardHandlesNeedsBothOutputs) {
    const uint32_t port = Open(kA);
    SCARDCONTEXT ctx = 0;
    SCARDHANDLE handle = 5;
    EXPECT_EQ(PCSC2STD_ERR_BAD_PORT_NUMBER, GetCardHandles(nullptr, &handle, port));
    EXPECT_EQ(5, handle);
    EXPECT_EQ(PCSC2STD_ERR_BAD_PORT_NUMBER, GetCardHandles(&ctx, nullptr, port));
    EXPECT_NE(0, ctx);  // written before the missing handle was noticed
    EXPECT_EQ(0, GetCardHandles(&ctx, &handle, port));
    EXPECT_EQ(0, handle);
}

struct InsideCase {
    const char* label;
    bool card;
    LONG connectRc;
    int expected;
};

class CardInsideResults : public FakePcscTest, public ::testing::WithParamInterface<InsideCase> {};

TEST_P(CardInsideResults, Mapping) {
    const InsideCase& c = GetParam();
    if (c.card) fakepcsc::InsertCard(kA, Atr(5));
    const uint32_t port = Open(kA);
    if (c.connectRc != SCARD_S_SUCCESS) fakepcsc::PushResult(Fn::Connect, c.connectRc);
    EXPECT_EQ(c.expected, CardInside(port));
    EXPECT_EQ(0, fakepcsc::OpenHandles());  // the query's connection is gone
}

INSTANTIATE_TEST_SUITE_P(
    Table, CardInsideResults,
    ::testing::Values(InsideCase{"Present", true, SCARD_S_SUCCESS, PCSC2STD_CARD_PRESENT},
                      InsideCase{"EmptyReader", false, SCARD_S_SUCCESS, CARD_STATUS_ERROR},
                      InsideCase{"Removed", true, SCARD_W_REMOVED_CARD, 0},
                      InsideCase{"Unavailable", true, SCARD_E_READER_UNAVAILABLE, PCSC2STD_ERR_READER_UNAVAILABLE},
                      InsideCase{"Cancelled", true, SCARD_E_SYSTEM_CANCELLED, PCSC2STD_ERR_SYSTEM_CANCELLED},
                      InsideCase{"NoService", true, SCARD_E_NO_SERVICE, PCSC2STD_ERR_NO_SERVICE},
                      InsideCase{"Stopped", true, SCARD_E_SERVICE_STOPPED, PCSC2STD_ERR_SERVICE_STOPPED},
                      InsideCase{"Other", true, SCARD_E_TIMEOUT, CARD_STATUS_ERROR}),
    [](const ::testing::TestParamInfo<InsideCase>& i) { return std::string(i.param.label); });

struct StatusAtrCase {
    const char* label;
    DWORD state;
    int expected;
};

class CardStatusAtrStates : public FakePcscTest, public ::testing::WithParamInterface<StatusAtrCase> {};

TEST_P(CardStatusAtrStates, EventStateMapping) {
    const StatusAtrCase& c = GetParam();
    const uint32_t port = Open(kA);
    fakepcsc::SetReaderState(kA, c.state);
    unsigned char atr[PCSC2STD_ATR_CAPACITY];
    int32_t len = -1;
    EXPECT_EQ(c.expected, CardStatusATR(atr, &len, port));
    EXPECT_EQ(c.expected, CardStatusATR(nullptr, nullptr, port));
}

INSTANTIATE_TEST_SUITE_P(
    Table, CardStatusAtrStates,
    ::testing::Values(StatusAtrCase{"Empty", SCARD_STATE_EMPTY, 0},
                      StatusAtrCase{"Present", SCARD_STATE_PRESENT, PCSC2STD_CARD_PRESENT},
                      StatusAtrCase{"InUse", SCARD_STATE_INUSE, PCSC2STD_CARD_PRESENT},
                      StatusAtrCase{"Exclusive", SCARD_STATE_EXCLUSIVE, PCSC2STD_CARD_PRESENT},
                      StatusAtrCase{"Unavailable", SCARD_STATE_UNAVAILABLE | SCARD_STATE_PRESENT,
                                    PCSC2STD_ERR_READER_UNAVAILABLE},
                      StatusAtrCase{"Ignore", SCARD_STATE_IGNORE, PCSC2STD_ERR_READER_UNAVAILABLE},
                      StatusAtrCase{"Mute", SCARD_STATE_MUTE, PCSC2STD_ERR_PCSC}),
    [](const ::testing::TestParamInfo<StatusAtrCase>& i) { return std::string(i.param.label); });

TEST_F(FakePcscTest, CardStatusAtrFailsWithoutService) {
    const uint32_t port = Open(kA);
    fakepcsc::PushResult(Fn::EstablishContext, SCARD_E_NO_SERVICE);
    EXPECT_EQ(PCSC2STD_ERR_PCSC, CardStatusATR(nullptr, nullptr, port));
}

// ---------------------------------------------------------------------------
// Status wait with a watchdog
// ---------------------------------------------------------------------------

TEST_F(FakePcscTest, WatchdogReturnsTheAnswer) {
    SCARD_READERSTATE rs;
    std::memset(&rs, 0, sizeof rs);
    rs.szReader = kA;
    rs.dwCurrentState = SCARD_STATE_UNAWARE;
    EXPECT_EQ(SCARD_S_SUCCESS, GetStatusChangeWithWatchdog(100, &rs));
    EXPECT_TRUE(rs.dwEventState & SCARD_STATE_EMPTY);
    EXPECT_TRUE(rs.dwEventState & SCARD_STATE_CHANGED);

    rs.dwCurrentState = rs.dwEventState;
    EXPECT_EQ(SCARD_E_TIMEOUT, GetStatusChangeWithWatchdog(0, &rs));

    rs.szReader = "No such reader";
    EXPECT_EQ(SCARD_E_UNKNOWN_READER, GetStatusChangeWithWatchdog(100, &rs));
    EXPECT_EQ(SCARD_E_INVALID_PARAMETER, GetStatusChangeWithWatchdog(100, nullptr));
    EXPECT_EQ(0, fakepcsc::OpenContexts());
}

TEST_F(FakePcscTest, WatchdogCancelsAnUnresponsiveWaitAndJoinsIt) {
    fakepcsc::SetStatusChangeHangs(true);
    SCARD_READERSTATE rs;
    std::memset(&rs, 0, sizeof rs);
    rs.szReader = kA;
    rs.dwCurrentState = SCARD_STATE_EMPTY;
    const int threads = testutil::OwnThreads();
    ::testing::internal::CaptureStdout();
    const LONG rc = GetStatusChangeWithWatchdog(INFINITE, &rs);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(SCARD_E_TIMEOUT, rc);
    EXPECT_EQ("terminated !terminated !terminated !", out);
    EXPECT_EQ(3, fakepcsc::CallCount(Fn::GetStatusChange));
    // Every helper was cancelled through its context, released it and ended.
    EXPECT_GE(fakepcsc::CallCount(Fn::Cancel), 3);
    EXPECT_EQ(0, fakepcsc::BlockedStatusWaits());
    EXPECT_EQ(0, fakepcsc::OpenContexts());
    EXPECT_TRUE(testutil::ThreadsSettleAt(threads));
}

TEST_F(FakePcscTest, WatchdogGivesUpOnNoContext) {
    fakepcsc::PushResult(Fn::EstablishContext, SCARD_E_NO_SERVICE);
    SCARD_READERSTATE rs;
    std::memset(&rs, 0, sizeof rs);
    rs.szReader = kA;
    EXPECT_EQ(SCARD_E_NO_SERVICE, GetStatusChangeWithWatchdog(100, &rs));
}

}  // namespace
