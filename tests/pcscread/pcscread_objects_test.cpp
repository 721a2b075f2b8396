// The objects beneath the port API on the fake PC/SC library: session,
// card, reader, name copies and trace builders.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "FakeFixture.h"
#include "FakePcsc.h"
#include "pcscread/Names.h"
#include "pcscread/PcscCard_internal.h"
#include "pcscread/PcscReader_internal.h"
#include "pcscread/PcscSession_internal.h"
#include "pcscread/SystemUtils_internal.h"
#include "pcscread/Trace_internal.h"

using fakepcsc::Bytes;
using fakepcsc::Fn;
using testutil::Atr;
using testutil::WaitUntil;

namespace {

class Objects : public ::testing::Test {
protected:
    void SetUp() override {
        fakepcsc::Reset();
        fakepcsc::AddReader(kA);
    }
    void TearDown() override { fakepcsc::Reset(); }
    static constexpr const char* kA = "Reader A";
};

// ---------------------------------------------------------------------------
// PCSC_SESSION
// ---------------------------------------------------------------------------

TEST_F(Objects, SessionNamesByIndex) {
    fakepcsc::AddReader("Reader B");
    PCSC_SESSION s;
    ASSERT_EQ(SCARD_S_SUCCESS, s.GetLastError());
    EXPECT_EQ(1, s.IsContextValid());
    char name[128];
    struct Case {
        unsigned long index;
        int found;
        const char* name;
    } cases[] = {{0, 1, "Reader A"}, {1, 1, "Reader B"}, {2, 0, nullptr}, {1000, 0, nullptr}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index);
        std::strcpy(name, "unchanged");
        EXPECT_EQ(c.found, s.GetReaderName(name, sizeof name, c.index));
        if (c.found) {
            EXPECT_STREQ(c.name, name);
        }
    }
    EXPECT_EQ(1, s.ReaderExists("Reader B"));
    EXPECT_EQ(0, s.ReaderExists("Reader"));
    EXPECT_EQ(0, s.ReaderExists("Reader BB"));
    EXPECT_EQ(0, s.ReaderExists(nullptr));
    s.ReleaseContext();
    EXPECT_EQ(0, s.IsContextValid());
    EXPECT_EQ(0, fakepcsc::OpenContexts());
}

TEST_F(Objects, SessionNameIsCutToTheCallersBuffer) {
    PCSC_SESSION s;
    char small[5];
    std::memset(small, 'Z', sizeof small);
    EXPECT_EQ(1, s.GetReaderName(small, sizeof small, 0));
    EXPECT_STREQ("Read", small);
    s.ReleaseContext();
}

TEST_F(Objects, SessionListLongerThanItsBufferIsAnError) {
    for (int i = 0; i < 10; ++i) fakepcsc::AddReader(std::string(110, static_cast<char>('a' + i)));
    PCSC_SESSION s;
    char name[1024];
    EXPECT_EQ(0, s.GetReaderName(name, sizeof name, 0));
    EXPECT_EQ(SCARD_E_INSUFFICIENT_BUFFER, s.GetLastError());
    EXPECT_EQ(0, s.ReaderExists(kA));
    EXPECT_EQ(SCARD_E_INSUFFICIENT_BUFFER, s.GetLastError());
    s.ReleaseContext();
}

TEST_F(Objects, SessionProbeLeavesAttributesAlone) {
    fakepcsc::SetProbeResult(kA, SCARD_E_INVALID_VALUE);
    PCSC_SESSION s;
    unsigned short a = 11, b = 22;
    EXPECT_EQ(SCARD_E_NO_SMARTCARD, s.GetReaderAttribs(kA, &a, &b, nullptr));
    EXPECT_EQ(11, a);
    EXPECT_EQ(22, b);
    fakepcsc::InsertCard(kA, Atr(4));
    EXPECT_EQ(SCARD_S_SUCCESS, s.GetReaderAttribs(kA, &a, &b, nullptr));
    EXPECT_EQ(SCARD_E_UNKNOWN_READER, s.GetReaderAttribs("nope", &a, &b, nullptr));
    EXPECT_EQ(0, fakepcsc::OpenHandles());
    s.ReleaseContext();
}

TEST_F(Objects, SessionFailedReleaseKeepsTheContext) {
    PCSC_SESSION s;
    const SCARDCONTEXT ctx = s.GetContext();
    fakepcsc::PushResult(Fn::ReleaseContext, SCARD_E_INVALID_HANDLE);
    s.ReleaseContext();
    EXPECT_EQ(ctx, s.GetContext());
    EXPECT_EQ(1, s.IsContextValid());
    // A re-establish stops at a failed release.
    fakepcsc::PushResult(Fn::ReleaseContext, SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(SCARD_E_INVALID_HANDLE, s.ReestablishContext(SCARD_SCOPE_USER));
    EXPECT_EQ(ctx, s.GetContext());
    EXPECT_EQ(SCARD_S_SUCCESS, s.ReestablishContext(SCARD_SCOPE_USER));
    EXPECT_NE(ctx, s.GetContext());
    EXPECT_EQ(1, fakepcsc::OpenContexts());
    s.ReleaseContext();
    EXPECT_EQ(0, fakepcsc::OpenContexts());
}

TEST_F(Objects, SessionWithoutServiceHasNoContext) {
    fakepcsc::SetService(false);
    PCSC_SESSION s;
    EXPECT_EQ(SCARD_E_NO_SERVICE, s.GetLastError());
    EXPECT_EQ(0, s.IsContextValid());
    EXPECT_EQ(0u, static_cast<unsigned long>(s.GetContext()));
}

// ---------------------------------------------------------------------------
// PCSC_CARD
// ---------------------------------------------------------------------------

TEST_F(Objects, CardConstructionFailsWithoutService) {
    fakepcsc::SetService(false);
    PCSC_CARD_T1 card;
    EXPECT_EQ(PCSC2STD_ERR_THREAD, card.GetLastError());
    EXPECT_EQ(nullptr, card.Reader());
    EXPECT_EQ(PCSC2STD_ERR_NO_READER, card.ConnectCard(SCARD_SHARE_SHARED, 3));
}

struct ConnectCase {
    const char* label;
    DWORD accepted;
    DWORD preferredByCard;
    bool t0Object;
    LONG result;
    DWORD protocol;
    int connects;
};

class CardConnect : public Objects, public ::testing::WithParamInterface<ConnectCase> {};

TEST_P(CardConnect, PreferredProtocolThenMask) {
    const ConnectCase& c = GetParam();
    fakepcsc::InsertCard(kA, Atr(5));
    fakepcsc::SetCardProtocols(kA, c.accepted, c.preferredByCard);
    PCSC_CARD_T0 t0(kA);
    PCSC_CARD_T1 t1(kA);
    PCSC_CARD& card = c.t0Object ? static_cast<PCSC_CARD&>(t0) : static_cast<PCSC_CARD&>(t1);
    EXPECT_EQ(c.result, card.ConnectCard(SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
    EXPECT_EQ(static_cast<DWORD>(SCARD_SHARE_EXCLUSIVE), card.ShareMode());
    if (c.result == SCARD_S_SUCCESS) {
        EXPECT_EQ(c.protocol, card.ActiveProtocol());
        EXPECT_NE(0, card.GetCardHandle());
    } else {
        EXPECT_EQ(0, card.GetCardHandle());
    }
    EXPECT_EQ(c.connects, fakepcsc::CallCount(Fn::Connect));
}

INSTANTIATE_TEST_SUITE_P(
    Table, CardConnect,
    ::testing::Values(ConnectCase{"T1Preferred", 3, SCARD_PROTOCOL_T0, false, 0, SCARD_PROTOCOL_T1, 1},
                      ConnectCase{"T1RefusedFallsBack", SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T0, false, 0,
                                  SCARD_PROTOCOL_T0, 2},
                      ConnectCase{"T0RefusedFallsBack", SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T1, true, 0,
                                  SCARD_PROTOCOL_T1, 2},
                      ConnectCase{"NeitherProtocol", 0, 0, false, SCARD_E_PROTO_MISMATCH, 0, 2}),
    [](const ::testing::TestParamInfo<ConnectCase>& i) { return std::string(i.param.label); });

TEST_F(Objects, ConnectReplacesAnEarlierConnection) {
    fakepcsc::InsertCard(kA, Atr(5));
    PCSC_CARD_T1 card(kA);
    ASSERT_EQ(SCARD_S_SUCCESS, card.Connect(SCARD_SHARE_SHARED));
    const SCARDHANDLE first = card.GetCardHandle();
    ASSERT_EQ(SCARD_S_SUCCESS, card.Connect(SCARD_SHARE_SHARED));
    EXPECT_NE(first, card.GetCardHandle());
    EXPECT_EQ(1, fakepcsc::OpenHandles());
}

TEST_F(Objects, ForcedDisconnectForgetsARefusal) {
    fakepcsc::InsertCard(kA, Atr(5));
    PCSC_CARD_T1 card(kA);
    EXPECT_EQ(PCSC2STD_ERR_NOT_CONNECTED, card.DisconnectCard(SCARD_LEAVE_CARD, 1));
    ASSERT_EQ(SCARD_S_SUCCESS, card.Connect(SCARD_SHARE_SHARED));
    fakepcsc::PushResult(Fn::Disconnect, SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(SCARD_E_INVALID_HANDLE, card.DisconnectCard(SCARD_LEAVE_CARD, 0));
    EXPECT_NE(0, card.GetCardHandle());
    fakepcsc::PushResult(Fn::Disconnect, SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(0, card.DisconnectCard(SCARD_LEAVE_CARD, 1));
    EXPECT_EQ(0, card.GetCardHandle());
}

static_assert(std::has_virtual_destructor_v<PCSC_CARD>, "ports delete card objects through the base");

TEST_F(Objects, CardDestroyedThroughTheBaseReleasesEverything) {
    fakepcsc::InsertCard(kA, Atr(5));
    PCSC_CARD* card = new PCSC_CARD_T1(kA);
    ASSERT_EQ(0, card->Reader()->StartThread());
    ASSERT_EQ(SCARD_S_SUCCESS, card->Connect(SCARD_SHARE_SHARED));
    delete card;
    EXPECT_EQ(0, fakepcsc::OpenHandles());
    EXPECT_EQ(0, fakepcsc::OpenContexts());
}

// A card on a reader whose watch thread runs, connected.
class WatchedCard : public Objects {
protected:
    void SetUp() override {
        Objects::SetUp();
        fakepcsc::InsertCard(kA, atr);
        card = new PCSC_CARD_T1(kA);
        ASSERT_EQ(0, card->Reader()->StartThread());
        ASSERT_EQ(SCARD_S_SUCCESS, card->Connect(SCARD_SHARE_SHARED));
    }
    void TearDown() override {
        delete card;
        Objects::TearDown();
    }
    bool PublishedHas(unsigned long bits) {
        return WaitUntil([&] { return (card->Reader()->GetEventState() & bits) == bits; });
    }
    Bytes atr = Atr(33);
    PCSC_CARD* card = nullptr;
};

TEST_F(WatchedCard, ResetReturnsThePublishedAtr) {
    unsigned char out[PCSC_READER_ATR_SIZE];
    DWORD len = sizeof out;
    EXPECT_EQ(0, card->ResetCard(out, &len, 1));
    ASSERT_EQ(33u, len);
    EXPECT_EQ(atr, Bytes(out, out + len));
    // A buffer too small for the published ATR is refused, not overrun.
    unsigned char small[40];
    std::memset(small, 0x77, sizeof small);
    len = 32;
    EXPECT_EQ(SCARD_E_INSUFFICIENT_BUFFER, card->ResetCard(small, &len, 0));
    EXPECT_EQ(0u, len);
    EXPECT_EQ(0x77, small[0]);
}

TEST_F(WatchedCard, ResetAfterPublishedRemovalDropsTheConnection) {
    fakepcsc::RemoveCard(kA);
    ASSERT_TRUE(PublishedHas(SCARD_STATE_EMPTY));
    unsigned char out[PCSC_READER_ATR_SIZE];
    DWORD len = sizeof out;
    EXPECT_EQ(SCARD_W_REMOVED_CARD, card->ResetCard(out, &len, 1));
    EXPECT_EQ(0u, len);
    EXPECT_EQ(0, card->GetCardHandle());
    EXPECT_TRUE(fakepcsc::ReconnectInits().empty());
}

TEST_F(WatchedCard, ResetOfMuteCardIsUnknownCard) {
    fakepcsc::SetReaderState(kA, SCARD_STATE_PRESENT | SCARD_STATE_MUTE);
    ASSERT_TRUE(PublishedHas(SCARD_STATE_MUTE));
    unsigned char out[PCSC_READER_ATR_SIZE];
    DWORD len = sizeof out;
    EXPECT_EQ(SCARD_E_UNKNOWN_CARD, card->ResetCard(out, &len, 1));
    EXPECT_EQ(0, card->GetCardHandle());
}

TEST_F(WatchedCard, ColdResetRetriesWithTheProtocolMask) {
    fakepcsc::PushResult(Fn::Reconnect, SCARD_E_PROTO_MISMATCH);
    unsigned char out[PCSC_READER_ATR_SIZE];
    DWORD len = sizeof out;
    EXPECT_EQ(0, card->ResetCard(out, &len, 1));
    const std::vector<DWORD> inits = fakepcsc::ReconnectInits();
    ASSERT_EQ(2u, inits.size());
    EXPECT_EQ(static_cast<DWORD>(SCARD_UNPOWER_CARD), inits[1]);
    // Both refused: the error is returned and the handle kept.
    fakepcsc::PushResult(Fn::Reconnect, SCARD_E_PROTO_MISMATCH);
    fakepcsc::PushResult(Fn::Reconnect, SCARD_E_NOT_TRANSACTED);
    len = sizeof out;
    EXPECT_EQ(SCARD_E_NOT_TRANSACTED, card->ResetCard(out, &len, 1));
    EXPECT_NE(0, card->GetCardHandle());
}

struct TransmitCase {
    const char* label;
    LONG first;
    bool inTransaction;
    int transmits;
    LONG result;
};

class TransmitRecovery : public WatchedCard, public ::testing::WithParamInterface<TransmitCase> {};

TEST_P(TransmitRecovery, OneRetryAfterRecovery) {
    const TransmitCase& c = GetParam();
    if (c.inTransaction) {
        ASSERT_EQ(0, card->CardStartTransaction());
    }
    const int begins = fakepcsc::CallCount(Fn::BeginTransaction);
    const int connects = fakepcsc::CallCount(Fn::Connect);
    fakepcsc::PushResult(Fn::Transmit, c.first);
    const unsigned char apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x00};
    unsigned char resp[32];
    DWORD len = sizeof resp;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(c.result, card->CardTransmit(SCARD_PCI_T1, apdu, sizeof apdu, nullptr, resp, &len));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(c.transmits, fakepcsc::CallCount(Fn::Transmit));
    const bool recovered = c.transmits == 2;
    if (recovered && c.inTransaction) {
        // The transaction was begun again under the reader's named lock.
        EXPECT_EQ(begins + 1, fakepcsc::CallCount(Fn::BeginTransaction));
        EXPECT_NE(std::string::npos, err.find("[SystemUtils]pcscread[AcquireNamedLock]-Reader A[ENTER]"));
        EXPECT_NE(std::string::npos, err.find("[SystemUtils]pcscread[ReleaseNamedLock]-Reader A[EXIT]"));
        EXPECT_EQ(1u, card->InTransaction());
    } else if (recovered) {
        EXPECT_EQ(connects + 1, fakepcsc::CallCount(Fn::Connect));
        EXPECT_TRUE(err.empty()) << err;
    } else {
        // No recovery: the length is what PC/SC left (the fake leaves 0).
        EXPECT_EQ(0u, len);
        EXPECT_EQ(connects, fakepcsc::CallCount(Fn::Connect));
    }
    if (c.result == SCARD_S_SUCCESS) {
        EXPECT_EQ(2u, len);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, TransmitRecovery,
    ::testing::Values(TransmitCase{"SharingOutside", SCARD_E_SHARING_VIOLATION, false, 2, SCARD_S_SUCCESS},
                      TransmitCase{"ResetOutside", SCARD_W_RESET_CARD, false, 2, SCARD_S_SUCCESS},
                      TransmitCase{"ProtoOutside", SCARD_E_PROTO_MISMATCH, false, 2, SCARD_S_SUCCESS},
                      TransmitCase{"NotTransactedInside", SCARD_E_NOT_TRANSACTED, true, 2, SCARD_S_SUCCESS},
                      TransmitCase{"ResetInside", SCARD_W_RESET_CARD, true, 2, SCARD_S_SUCCESS},
                      TransmitCase{"TimeoutNoRetry", SCARD_E_TIMEOUT, false, 1, SCARD_E_TIMEOUT},
                      TransmitCase{"TimeoutInsideNoRetry", SCARD_E_TIMEOUT, true, 1, SCARD_E_TIMEOUT}),
    [](const ::testing::TestParamInfo<TransmitCase>& i) { return std::string(i.param.label); });

// Descriptor 0 is a valid lock descriptor (a program started with its
// standard input closed gets it for the lock file): the named lock taken
// for the re-begin must still be released, or the reader stays locked for
// every other thread and process.
TEST_F(WatchedCard, RecoveryReleasesTheNamedLockHeldOnDescriptorZero) {
    ASSERT_EQ(0, card->CardStartTransaction());
    const std::string lockFile = pcscread::LockFilePath(kA);
    const int savedStdin = dup(0);
    ASSERT_GE(savedStdin, 0);
    struct RestoreStdin {
        int saved;
        ~RestoreStdin() {
            dup2(saved, 0);
            close(saved);
        }
    } restore{savedStdin};
    ASSERT_EQ(0, close(0));
    // Descriptor 0 is the lowest free one now, so the lock file gets it.
    const int probe = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(0, probe);
    close(probe);

    fakepcsc::PushResult(Fn::Transmit, SCARD_E_NOT_TRANSACTED);
    const unsigned char apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x00};
    unsigned char resp[32];
    DWORD len = sizeof resp;
    // Nothing may open a descriptor between here and the lock (no output
    // capture either); the lock's log lines go to standard error.
    EXPECT_EQ(SCARD_S_SUCCESS, card->CardTransmit(SCARD_PCI_T1, apdu, sizeof apdu, nullptr, resp, &len));
    EXPECT_EQ(1u, card->InTransaction());

    // The lock's descriptor was closed and its entry removed ...
    errno = 0;
    EXPECT_EQ(-1, fcntl(0, F_GETFD));
    EXPECT_EQ(EBADF, errno);
    EXPECT_EQ(0u, pcscread::NamedLockEntryCount());
    // ... so another open file description can lock the file at once.
    const int other = open(lockFile.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(other, 0);
    EXPECT_EQ(0, flock(other, LOCK_EX | LOCK_NB)) << "the lock file is still held";
    close(other);
}

TEST_F(WatchedCard, FailedRecoveryReturnsItsErrorAndDoesNotTransmitAgain) {
    fakepcsc::PushResult(Fn::Transmit, SCARD_E_SHARING_VIOLATION);
    for (int i = 0; i < 4; ++i) fakepcsc::PushResult(Fn::Connect, SCARD_E_NO_SMARTCARD);
    const unsigned char apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x00};
    unsigned char resp[32];
    DWORD len = sizeof resp;
    EXPECT_EQ(SCARD_E_NO_SMARTCARD, card->CardTransmit(SCARD_PCI_T1, apdu, sizeof apdu, nullptr, resp, &len));
    EXPECT_EQ(1, fakepcsc::CallCount(Fn::Transmit));
    EXPECT_EQ(sizeof resp, len);
}

struct SwCase {
    const char* label;
    Bytes response;
    LONG sw;        // -1: not written
    DWORD length;
};

class StatusWord : public WatchedCard, public ::testing::WithParamInterface<SwCase> {};

TEST_P(StatusWord, SplitOnlyWithTwoBytes) {
    const SwCase& c = GetParam();
    fakepcsc::PushResponse(c.response);
    const unsigned char apdu[] = {0x00, 0xB0, 0x00, 0x00, 0x00};
    unsigned char resp[32];
    DWORD len = sizeof resp;
    long sw = -1;
    EXPECT_EQ(SCARD_S_SUCCESS, card->ISO7816_TRANSCEIVER(apdu, sizeof apdu, resp, &len, &sw));
    EXPECT_EQ(c.sw, sw);
    EXPECT_EQ(c.length, len);
}

INSTANTIATE_TEST_SUITE_P(Table, StatusWord,
                         ::testing::Values(SwCase{"Two", {0x90, 0x00}, 0x9000, 0},
                                           SwCase{"Three", {0xAA, 0x63, 0xC2}, 0x63C2, 1},
                                           SwCase{"One", {0x90}, -1, 1},
                                           SwCase{"None", {}, -1, 0}),
                         [](const ::testing::TestParamInfo<SwCase>& i) { return std::string(i.param.label); });

TEST_F(Objects, BaseTransceiverDoesNothing) {
    PCSC_CARD base(kA);
    const unsigned char apdu[] = {0x00};
    unsigned char resp[4] = {1, 2, 3, 4};
    DWORD len = sizeof resp;
    long sw = -1;
    EXPECT_EQ(PCSC2STD_ERR_THREAD, base.ISO7816_TRANSCEIVER(apdu, 1, resp, &len, &sw));
    EXPECT_EQ(sizeof resp, len);
    EXPECT_EQ(-1, sw);
    EXPECT_EQ(0, fakepcsc::CallCount(Fn::Transmit));
}

TEST_F(Objects, OperationsWithoutAHandle) {
    PCSC_CARD_T1 card(kA);
    unsigned char atr[PCSC_READER_ATR_SIZE];
    DWORD len = sizeof atr;
    EXPECT_EQ(PCSC2STD_ERR_NOT_CONNECTED, card.ResetCard(atr, &len, 1));
    EXPECT_EQ(PCSC2STD_ERR_NOT_CONNECTED, card.CardStartTransaction());
    EXPECT_EQ(PCSC2STD_ERR_NOT_CONNECTED, card.ReadAtr(atr, &len));
    DWORD protocol = 0, state = 0;
    EXPECT_EQ(PCSC2STD_ERR_NOT_CONNECTED, card.GetStatus(&protocol, &state));
    const unsigned char apdu[] = {0x00};
    EXPECT_EQ(PCSC2STD_ERR_NOT_CONNECTED, card.CardTransmit(SCARD_PCI_T1, apdu, 1, nullptr, atr, &len));
    EXPECT_EQ(PCSC2STD_ERR_NOT_CONNECTED, card.CardEndTransaction());
    EXPECT_EQ(0u, card.InTransaction());
    EXPECT_EQ(0, fakepcsc::CallCount(Fn::Transmit) + fakepcsc::CallCount(Fn::BeginTransaction) +
                     fakepcsc::CallCount(Fn::Status));
}

TEST_F(WatchedCard, StatusQueriesTakeTheWholeAtr) {
    unsigned char out[PCSC_READER_ATR_SIZE];
    DWORD len = 0;
    EXPECT_EQ(SCARD_S_SUCCESS, card->ReadAtr(out, &len));
    ASSERT_EQ(33u, len);
    EXPECT_EQ(atr, Bytes(out, out + len));
    DWORD state = 0, readerLen = 0, protocol = 0, atrLen = 0;
    EXPECT_EQ(SCARD_S_SUCCESS, card->QueryStatus(&readerLen, &state, &protocol, out, &atrLen));
    EXPECT_EQ(static_cast<DWORD>(SCARD_PRESENT), state);
    EXPECT_EQ(33u, atrLen);
    EXPECT_EQ(9u, readerLen);  // "Reader A" and its zero
    EXPECT_EQ(static_cast<DWORD>(SCARD_PROTOCOL_T1), protocol);
    // A reset card is reconnected and asked again.
    fakepcsc::PushResult(Fn::Status, SCARD_W_RESET_CARD);
    EXPECT_EQ(SCARD_S_SUCCESS, card->CheckPresence(&state, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(SCARD_PRESENT), state);
}

TEST_F(WatchedCard, PresenceFallsBackToATemporaryConnection) {
    fakepcsc::PushResult(Fn::Status, SCARD_E_INVALID_HANDLE);
    DWORD state = 0, atrLen = 99;
    unsigned char out[PCSC_READER_ATR_SIZE];
    EXPECT_EQ(SCARD_S_SUCCESS, card->CheckPresence(&state, out, &atrLen));
    EXPECT_EQ(static_cast<DWORD>(SCARD_PRESENT), state);
    EXPECT_EQ(0u, atrLen);  // the temporary path copies no ATR
    EXPECT_EQ(0, card->GetCardHandle());
    EXPECT_EQ(0, fakepcsc::OpenHandles());
}

// The longest name a reader object takes comes back whole from every status
// query, so none of them fails for want of room.
TEST_F(Objects, StatusQueriesOnTheLongestReaderName) {
    const std::string name(PCSC_READER_NAME_SIZE - 1, 'L');
    fakepcsc::AddReader(name);
    fakepcsc::InsertCard(name, Atr(33));
    PCSC_CARD_T1 card(name.c_str());
    ASSERT_EQ(SCARD_S_SUCCESS, card.Connect(SCARD_SHARE_SHARED));
    DWORD readerLen = 0, state = 0, protocol = 0, atrLen = 0;
    unsigned char out[PCSC_READER_ATR_SIZE];
    EXPECT_EQ(SCARD_S_SUCCESS, card.QueryStatus(&readerLen, &state, &protocol, out, &atrLen));
    EXPECT_EQ(name.size() + 1, readerLen);
    EXPECT_EQ(SCARD_S_SUCCESS, card.GetStatus(&protocol, &state));
    EXPECT_EQ(SCARD_S_SUCCESS, card.ReadAtr(out, &atrLen));
    EXPECT_EQ(33u, atrLen);
    EXPECT_EQ(SCARD_S_SUCCESS, card.CardStartTransaction());
    EXPECT_EQ(1u, card.InTransaction());
}

// ---------------------------------------------------------------------------
// PCSC_READER
// ---------------------------------------------------------------------------

TEST_F(Objects, ReaderNames) {
    PCSC_READER reader;
    EXPECT_STREQ("", reader.ReaderName());
    struct Case {
        std::string name;
        long result;
        const char* kept;
    } cases[] = {{"Reader A", 0, "Reader A"},
                 {"", PCSC2STD_ERR_EMPTY_READER_NAME, "Reader A"},
                 {std::string(127, 'n'), 0, nullptr},
                 {std::string(128, 'm'), PCSC2STD_ERR_INIT_PORT, nullptr}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.size());
        EXPECT_EQ(c.result, reader.AssignName(c.name.c_str()));
        if (c.kept != nullptr) {
            EXPECT_STREQ(c.kept, reader.ReaderName());
        }
    }
    EXPECT_EQ(std::string(127, 'n'), reader.ReaderName());
    EXPECT_EQ(PCSC2STD_ERR_EMPTY_READER_NAME, reader.AssignName(nullptr));
}

// A reader on "Reader A" and what its state reads hand out.
struct ReaderReads {
    PCSC_READER reader{"Reader A"};
    unsigned long state = 0, len = 0;
    unsigned char out[PCSC_READER_ATR_SIZE];
    long Read() { return reader.GetCardState(&state, &len, out); }
    Bytes AtrRead() const { return Bytes(out, out + len); }
};

TEST_F(Objects, ReaderStateReadsConsumeChanges) {
    const Bytes atr = Atr(7);
    fakepcsc::InsertCard(kA, atr);
    ReaderReads r;
    ASSERT_EQ(0, r.reader.StartThread());
    // Present at start: no change, but the ATR is handed out once.
    EXPECT_EQ(0, r.Read());
    EXPECT_TRUE(r.state & SCARD_STATE_PRESENT);
    EXPECT_FALSE(r.state & SCARD_STATE_CHANGED);
    EXPECT_EQ(atr, r.AtrRead());
    r.len = 99;
    EXPECT_EQ(0, r.Read());
    EXPECT_EQ(99u, r.len);
    // The ATR can be had at any time.
    r.len = 0;
    EXPECT_EQ(0, r.reader.GetATR(&r.len, r.out));
    EXPECT_EQ(atr, r.AtrRead());
}

TEST_F(Objects, ReaderStateReadRestartsAFailedWatchThread) {
    ReaderReads r;
    ASSERT_EQ(0, r.reader.StartThread());
    ASSERT_EQ(0, r.Read());
    ASSERT_TRUE(r.state & SCARD_STATE_EMPTY);
    // The lock held past the thread's wait for it while a card comes: the
    // thread cannot publish the card and ends on a failure.
    {
        std::lock_guard<pcscread::TimedLock> held(PcscReaderTestAccess::StateLock(r.reader));
        fakepcsc::InsertCard(kA, Atr(6));
        ASSERT_TRUE(WaitUntil([&] { return PcscReaderTestAccess::ThreadFailed(r.reader); }));
    }
    // No new thread gets a context at first: that read fails, and so does
    // every read until one is started; the reader never hands out the empty
    // state the failed thread left.
    fakepcsc::PushResult(Fn::EstablishContext, SCARD_E_NO_SERVICE);
    EXPECT_EQ(PCSC2STD_ERR_THREAD, r.Read());
    // Two readers at once: one restarts the thread (its first status wait
    // held until the other has come), the other waits and then reads the
    // card the new thread published.
    fakepcsc::SetStatusChangeHangs(true);
    long results[2] = {1, 1};
    unsigned long states[2] = {0, 0};
    Bytes atrs[2];
    std::atomic<int> entered(0);
    std::vector<std::thread> readers;
    for (int i = 0; i < 2; ++i)
        readers.emplace_back([&, i] {
            unsigned long len = 0;
            unsigned char out[PCSC_READER_ATR_SIZE];
            entered += 1;
            results[i] = r.reader.GetCardState(&states[i], &len, out);
            if (results[i] == 0) atrs[i] = Bytes(out, out + len);
        });
    // Both readers are inside the read before the restart may go on, so the
    // second one meets the restart under way and not a finished one.
    EXPECT_TRUE(WaitUntil([&] { return entered == 2 && fakepcsc::BlockedStatusWaits() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    fakepcsc::SetStatusChangeHangs(false);
    for (auto& t : readers) t.join();
    const int restarter = results[0] == 0 ? 1 : 0;
    EXPECT_EQ(PCSC2STD_ERR_THREAD, results[restarter]);
    EXPECT_EQ(0, results[1 - restarter]);
    EXPECT_TRUE(states[1 - restarter] & SCARD_STATE_PRESENT);
    EXPECT_TRUE(states[1 - restarter] & SCARD_STATE_CHANGED);
    EXPECT_EQ(Atr(6), atrs[1 - restarter]);
    EXPECT_TRUE(PcscReaderTestAccess::HasThread(r.reader));
}

TEST_F(Objects, ReaderSelectAndExists) {
    fakepcsc::AddReader("Reader B");
    PCSC_READER reader;
    char name[128];
    EXPECT_EQ(SCARD_S_SUCCESS, reader.SelectReader(name, sizeof name, 1));
    EXPECT_STREQ("Reader B", reader.ReaderName());
    EXPECT_EQ(1, reader.ReaderExists("Reader A"));
    EXPECT_EQ(0, reader.ReaderExists("Reader C"));
}

TEST_F(Objects, ReaderStopEndsAThreadBlockedInPcsc) {
    const int threads = testutil::OwnThreads();
    {
        PCSC_READER reader(kA);
        ASSERT_EQ(0, reader.StartThread());
        // Now the status waits never time out: only a cancel ends them.
        fakepcsc::SetStatusChangeHangs(true);
        ASSERT_TRUE(WaitUntil([] { return fakepcsc::BlockedStatusWaits() == 1; }));
        EXPECT_TRUE(PcscReaderTestAccess::HasThread(reader));
    }
    EXPECT_EQ(0, fakepcsc::BlockedStatusWaits());
    EXPECT_EQ(0, fakepcsc::OpenContexts());
    EXPECT_TRUE(testutil::ThreadsSettleAt(threads));
    EXPECT_GE(fakepcsc::CallCount(Fn::Cancel), 1);
}

TEST_F(Objects, ReaderStartFailsWhenTheFirstWaitNeverAnswers) {
    fakepcsc::SetStatusChangeHangs(true);
    PCSC_READER reader(kA);
    EXPECT_EQ(PCSC2STD_ERR_THREAD, reader.StartThread());
    EXPECT_EQ(PCSC2STD_ERR_THREAD, reader.GetLastError());
    EXPECT_FALSE(PcscReaderTestAccess::HasThread(reader));
    EXPECT_EQ(0, fakepcsc::BlockedStatusWaits());
}

// ---------------------------------------------------------------------------
// Name copies and traces
// ---------------------------------------------------------------------------

std::string Repeated(const std::string& unit, size_t times) {
    std::string s;
    for (size_t i = 0; i < times; ++i) s += unit;
    return s;
}

struct NameCase {
    const char* label;
    std::string src;
    size_t size;
    std::string expected;
    bool whole;
    // The source is a field of exactly src.size() bytes with no terminator.
    bool unterminated = false;
};

class NameCopies : public ::testing::TestWithParam<NameCase> {};

TEST_P(NameCopies, BoundedAndTerminated) {
    const NameCase& c = GetParam();
    // A heap copy of its own, so that a read past the source is caught.
    const size_t srcSize = c.src.size() + (c.unterminated ? 0 : 1);
    std::unique_ptr<char[]> src(new char[srcSize]);
    std::memcpy(src.get(), c.src.c_str(), srcSize);
    char buf[130];
    std::memset(buf, 'Q', sizeof buf);
    EXPECT_EQ(c.whole, pcscread::CopyName(buf, c.size, src.get()));
    EXPECT_EQ(c.expected, std::string(buf));
    for (size_t i = c.size; i < sizeof buf; ++i) ASSERT_EQ('Q', buf[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Table, NameCopies,
    ::testing::Values(NameCase{"Fits", "abc", 8, "abc", true}, NameCase{"Exact", "abcdefg", 8, "abcdefg", true},
                      NameCase{"OneOver", "abcdefgh", 8, "abcdefg", false},
                      NameCase{"Empty", "", 1, "", true},
                      NameCase{"TwoByteCut", "abcdef\xC5\x82", 8, "abcdef", false},
                      NameCase{"TwoByteFits", "abcde\xC5\x82", 8, "abcde\xC5\x82", true},
                      NameCase{"ThreeByteCut", "abcde\xE2\x82\xAC", 8, "abcde", false},
                      NameCase{"FourByteCut", "ab\xF0\x9F\x98\x80xyz", 6, "ab", false},
                      // The progress box's 128-byte texts.
                      NameCase{"Short", "diag", 128, "diag", true},
                      NameCase{"Exactly127", std::string(127, 'a'), 128, std::string(127, 'a'), true},
                      NameCase{"Ascii200", std::string(200, 'b'), 128, std::string(127, 'b'), false},
                      NameCase{"TwoByteAcrossTheEnd", std::string(126, 'c') + "\xC5\x84", 128, std::string(126, 'c'),
                               false},
                      NameCase{"TwoByteFitsAtTheEnd", std::string(125, 'c') + "\xC5\x84x", 128,
                               std::string(125, 'c') + "\xC5\x84", false},
                      NameCase{"ThreeByteAcrossTheEnd", std::string(125, 'd') + "\xE2\x82\xAC", 128,
                               std::string(125, 'd'), false},
                      NameCase{"AllTwoByte", Repeated("\xC5\x84", 100), 128, Repeated("\xC5\x84", 63), false},
                      // A full 128-byte reader name field without a terminator.
                      NameCase{"FullFieldUnterminated", std::string(128, 'r'), 128, std::string(127, 'r'), false,
                               true}),
    [](const ::testing::TestParamInfo<NameCase>& i) { return std::string(i.param.label); });

TEST(NameCopiesNull, NullSourceGivesEmpty) {
    char buf[128];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_TRUE(pcscread::CopyName(buf, sizeof buf, nullptr));
    EXPECT_STREQ("", buf);
}

struct TraceCase {
    const char* label;
    std::function<int()> call;
    int result;
    std::string text;  // the line handed to the sink, "" when none was
};

class TraceBuilders : public ::testing::TestWithParam<TraceCase> {};

const std::string& Huge() {
    static const std::string s(5000, 'h');
    return s;
}

const unsigned char kBytes[] = {0x3B, 0x00, 0xFF};
const std::vector<unsigned char>& ManyBytes() {
    static const std::vector<unsigned char> b(3000, 0xAB);
    return b;
}

TEST_P(TraceBuilders, Text) {
    const TraceCase& c = GetParam();
    pcscread::TraceOutput(nullptr);
    EXPECT_EQ(c.result, c.call());
    EXPECT_EQ(c.text, std::string(pcscread::LastTraceText()));
}

// Oversized input is cut where the buffer ends (511 characters without a
// line end; 2045 and CR LF with one), never dropped.
using namespace pcscread;
INSTANTIATE_TEST_SUITE_P(
    Table, TraceBuilders,
    ::testing::Values(
        TraceCase{"Text", [] { return Trace("open ", "Reader A"); }, 0, "open Reader A"},
        TraceCase{"Int", [] { return TraceInt("rc", -24); }, 0, "rc -> -24"},
        TraceCase{"Hex", [] { return TraceHex("rc", 0x8010000AUL); }, 0, "rc -> 8010000A"},
        TraceCase{"HexPadded", [] { return TraceHex("v", 0x1FUL); }, 0, "v -> 0000001F"},
        TraceCase{"BytesSep", [] { return TraceBytes("atr", kBytes, 3, true); }, 0, "atr -> 3B:00:FF:"},
        TraceCase{"BytesPlain", [] { return TraceBytes("atr", kBytes, 3, false); }, 0, "atr -> 3B00FF"},
        TraceCase{"LineAlone", [] { return TraceLine("step"); }, 0, "step\r\n"},
        TraceCase{"LineText", [] { return TraceLine("a", "b"); }, 0, "ab\r\n"},
        TraceCase{"LineInt", [] { return TraceIntLine("n", 7); }, 0, "n -> 7\r\n"},
        TraceCase{"LineHex", [] { return TraceHexLine("h", 0xABCUL); }, 0, "h -> 00000ABC\r\n"},
        TraceCase{"LineBytes", [] { return TraceBytesLine("b", kBytes, 2, true); }, 0, "b -> 3B:00:\r\n"},
        TraceCase{"HugeText", [] { return Trace(Huge().c_str(), Huge().c_str()); }, 0, std::string(511, 'h')},
        TraceCase{"HugeHex", [] { return TraceHex(Huge().c_str(), 1); }, 0, std::string(511, 'h')},
        TraceCase{"TextCutInValue", [] { return TraceHex(std::string(500, 'm').c_str(), 0x12345678UL); }, 0,
                  std::string(500, 'm') + " -> 1234567"},
        // "m -> " and 506 characters of "AB:" groups: 168 whole ones and "AB".
        TraceCase{"HugeBytes", [] { return TraceBytes("m", ManyBytes().data(), ManyBytes().size(), true); }, 0,
                  "m -> " + Repeated("AB:", 168) + "AB"},
        TraceCase{"HugeLine", [] { return TraceLine(Huge().c_str()); }, 0, std::string(2045, 'h') + "\r\n"},
        TraceCase{"HugeLineBytes", [] { return TraceBytesLine("b", ManyBytes().data(), ManyBytes().size(), false); },
                  0, "b -> " + Repeated("AB", 1020) + "\r\n"},
        TraceCase{"NullMessageInt", [] { return TraceInt(nullptr, 1); }, -2, ""},
        TraceCase{"NullMessageLine", [] { return TraceLine(nullptr); }, -2, ""},
        TraceCase{"NullBytes", [] { return TraceBytes("m", nullptr, 3, true); }, -2, ""},
        TraceCase{"NullBytesLine", [] { return TraceBytesLine("m", nullptr, 3, true); }, -2, ""}),
    [](const ::testing::TestParamInfo<TraceCase>& i) { return std::string(i.param.label); });

}  // namespace
