// The layer's reader port and ReadCardInfo over the fake port API (scripted
// card) and the stand-in libraries: APDU sequences, status words, FCI
// variants, transaction and transport failures, and the profile fields.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/fakepcsc2std/FakePcsc2std.h"
#include "tests/token/StandIns.h"

namespace tokentest {
namespace {

using fakepcsc::Script;

Bytes Cat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

const char kAtr1[] = "3B BB 18 00 C0 10 31 FE 45 80 67 04 12 B0 03 03 00 00 81 05 3C";
const char kAtr2[] = "3B 9F 96 81 B1 FE 45 1F 07 00 64 05 1E B2 00 31 B0 73 96 21 DB 05 90 00 5C";
const char kAtr3[] = "3B DD 96 FF 81 31 FE 45 80 59 5F 53 74 64 5F 49 6E 69 74 81 00 00";

const char kSelectMf[] = "00A4000C";
const char kSelectEf[] = "00A4020C022F01";
const char kReadBinary[] = "00B000000D";
const char kSelectDf10[] = "00A40100023F1000";
const char kSelectDf11[] = "00A40100023F1100";

const Bytes kOk = Hex("90 00");

// FCI with the proprietary template naming the given version.
Bytes Fci(uint8_t version) {
    return Cat(Hex("6F 10 84 02 3F 10 A5 07 4B 65 6C 76 6F 72"), Bytes{version, 0x90, 0x00});
}

Script CardOfType(int type) {
    Script s;
    if (type == 3) {
        s.atr = Hex(kAtr3);
        s.responses[Hex(kSelectMf)] = kOk;
        s.responses[Hex(kSelectDf10)] = Fci(7);
        s.responses[Hex(kSelectDf11)] = Fci(9);
    } else {
        s.atr = Hex(type == 1 ? kAtr1 : kAtr2);
        s.responses[Hex(kSelectMf)] = kOk;
        s.responses[Hex(kSelectEf)] = kOk;
        s.responses[Hex(kReadBinary)] = Hex("00 01 02 03 04 05 06 05 02 06 01 0B 0C 90 00");
    }
    return s;
}

class ProbeTest : public StandInTest {
protected:
    void SetUp() override {
        StandInTest::SetUp();
        CloseReaderPort();
        fakepcsc::Reset(CardOfType(1));
    }
    void TearDown() override {
        CloseReaderPort();
        ExpectNoOpenSession(regular_);
        ExpectNoOpenSession(secure_);
        StandInTest::TearDown();
    }
    // Both libraries serve the reader with a token.
    void StandardTokens() {
        AddReaderSlot(regular_, kSlotReader1, kReader1, "Other", "OTHER");
        AddReaderSlot(regular_, kSlotReader0, kReader0, "Zwykly token    ", "1111222233334444");
        AddReaderSlot(secure_, kSlotReader0, kReader0, "Bezpieczny", "SN-SECURE   ");
    }
    void Open() {
        Load();
        ASSERT_EQ(OpenReaderPort(kReader0), 0);
    }
    // Both libraries serve the reader, the card answers as scripted, and the
    // layer's port is open on the reader.
    void StartWithCard(const Script& card) {
        StandardTokens();
        Load();
        fakepcsc::Reset(card);
        ASSERT_EQ(OpenReaderPort(kReader0), 0);
    }
    int Read() { return ReadCardInfo(kReader0, info_.get()); }

    std::unique_ptr<CardInfo> info_ = std::make_unique<CardInfo>();
};

// ---------------------------------------------------------------------------
// Reader port
// ---------------------------------------------------------------------------

TEST_F(ProbeTest, OpenAndClose) {
    Load();
    ASSERT_EQ(OpenReaderPort(kReader0), 0);
    EXPECT_EQ(readerPort, 5);
    EXPECT_STREQ(readerPortName, kReader0);
    EXPECT_EQ(fakepcsc::Log().back(), std::string("InitPort ") + kReader0);
    // Port 0, sub-port 0, the T=1 card object, shared access.
    const fakepcsc::InitPortArgs args = fakepcsc::LastInitPort();
    EXPECT_EQ(args.portNumber, 0u);
    EXPECT_EQ(args.subPort, 0u);
    EXPECT_EQ(args.cardKind, PCSC2STD_CARD_KIND_T1);
    EXPECT_EQ(args.exclusive, 0);
    CloseReaderPort();
    CloseReaderPort();  // the second call does nothing
    EXPECT_EQ(fakepcsc::Calls("ClosePort"), 1);
    EXPECT_EQ(readerPort, CARDLIB_NO_READER_PORT);
    EXPECT_STREQ(readerPortName, "");
    EXPECT_EQ(fakepcsc::OpenPorts(), 0);
}

TEST_F(ProbeTest, FailedOpenLeavesNoPort) {
    fakepcsc::Current().forced[{"InitPort", 0}] = PCSC2STD_ERR_INIT_PORT;
    EXPECT_EQ(OpenReaderPort(kReader0), PCSC2STD_ERR_INIT_PORT);
    EXPECT_EQ(readerPort, CARDLIB_NO_READER_PORT);
    EXPECT_STREQ(readerPortName, "");
    CloseReaderPort();
    EXPECT_EQ(fakepcsc::Calls("ClosePort"), 0);
    EXPECT_EQ(IsCardPresent(), CARDLIB_ERR_NO_PORT);
}

TEST_F(ProbeTest, OpeningAgainClosesTheHeldPort) {
    ASSERT_EQ(OpenReaderPort(kReader1), 0);
    ASSERT_EQ(OpenReaderPort(kReader0), 0);
    EXPECT_EQ(fakepcsc::OpenPorts(), 1);
    EXPECT_EQ(readerPort, 6);
    EXPECT_STREQ(readerPortName, kReader0);
    const std::vector<std::string> expected = {std::string("InitPort ") + kReader1, "ClosePort 5",
                                               std::string("InitPort ") + kReader0};
    EXPECT_EQ(fakepcsc::Log(), expected);
    // A failing reopen still gives up the held port and leaves none.
    fakepcsc::Current().forced[{"InitPort", 0}] = PCSC2STD_ERR_INIT_PORT;
    EXPECT_EQ(OpenReaderPort(kReader1), PCSC2STD_ERR_INIT_PORT);
    EXPECT_EQ(fakepcsc::OpenPorts(), 0);
    EXPECT_EQ(readerPort, CARDLIB_NO_READER_PORT);
}

TEST_F(ProbeTest, IsCardPresentMapsCardStatus) {
    EXPECT_EQ(IsCardPresent(), CARDLIB_ERR_NO_PORT);
    ASSERT_EQ(OpenReaderPort(kReader0), 0);
    const struct {
        int status;
        int expected;
    } cases[] = {{0, 0},
                 {128, 0},
                 {64, 1},
                 {192, 1},
                 {CARD_STATUS_ERROR, CARD_STATUS_ERROR},
                 {PCSC2STD_ERR_UNKNOWN_CARD_STATE, PCSC2STD_ERR_UNKNOWN_CARD_STATE},
                 {PCSC2STD_ERR_NO_SERVICE, PCSC2STD_ERR_NO_SERVICE}};
    for (const auto& c : cases) {
        fakepcsc::Current().cardStatus = c.status;
        EXPECT_EQ(IsCardPresent(), c.expected) << +c.status;
    }
}

TEST_F(ProbeTest, ReaderList) {
    const struct {
        int names;
        int reported;
        int result;
        uint32_t count;
    } cases[] = {{0, -1, 0, 0},   {3, -1, 0, 3},   {16, -1, 0, 16},
                 {16, 40, 0, 16}, {16, 17, 0, 16}, {2, -1, PCSC2STD_ERR_PCSC, 0}};
    for (const auto& c : cases) {
        Script s;
        for (int i = 0; i < c.names; ++i) s.readers.push_back("Reader " + std::to_string(i));
        s.reportedReaderCount = c.reported;
        s.getAllReadersResult = c.result;
        fakepcsc::Reset(s);
        // 16 records for the caller, then a guard that must stay untouched.
        std::vector<ReaderInfo> out(17);
        std::memset(out.data(), 0xEE, out.size() * sizeof(ReaderInfo));
        uint32_t count = 99;
        EXPECT_EQ(GetReaderList(out.data(), &count), c.result);
        if (c.result == 0) {
            EXPECT_EQ(count, +c.count);
            for (uint32_t i = 0; i < count; ++i) {
                EXPECT_EQ(std::string(out[i].name), "Reader " + std::to_string(i));
                EXPECT_EQ(+out[i].attribA, 63);
                EXPECT_EQ(+out[i].attribB, 63);
                EXPECT_EQ(+out[i].status, READER_STATUS_AVAILABLE);
            }
        }
        const auto* guard = reinterpret_cast<const uint8_t*>(&out[16]);
        for (size_t b = 0; b < sizeof(ReaderInfo); ++b) ASSERT_EQ(guard[b], 0xEE);
    }
}

// ---------------------------------------------------------------------------
// The card: ATR, APDUs, transactions
// ---------------------------------------------------------------------------

struct SequenceCase {
    int type;
    std::vector<std::string> apdus;
    const char* regular;
    const char* secure;
};

class SequenceTest : public ProbeTest, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(SequenceTest, ApdusAndVersions) {
    const SequenceCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(StartWithCard(CardOfType(c.type)));
    ASSERT_EQ(Read(), 0);
    EXPECT_EQ(fakepcsc::SentApdus(), c.apdus);
    EXPECT_EQ(fakepcsc::LastIsoCapacity(), 64u);

    std::vector<std::string> expected = {std::string("InitPort ") + kReader0, "CardReset cold",
                                         "StartTransaction"};
    for (const auto& a : c.apdus) expected.push_back("ISO " + a);
    expected.push_back("EndTransaction");
    expected.push_back("CardDisconnect");
    EXPECT_EQ(fakepcsc::Log(), expected);

    ASSERT_EQ(+info_->profileCount, 2);
    EXPECT_STREQ(info_->profiles[0].profileVersion, c.regular);
    EXPECT_STREQ(info_->profiles[1].profileVersion, c.secure);
}

INSTANTIATE_TEST_SUITE_P(
    CardTypes, SequenceTest,
    ::testing::Values(SequenceCase{1, {kSelectMf, kSelectEf, kReadBinary}, "3.5.2", "3.6.1"},
                      SequenceCase{2, {kSelectMf, kSelectEf, kReadBinary}, "3.5.2", "3.6.1"},
                      SequenceCase{3, {kSelectMf, kSelectDf10, kSelectMf, kSelectDf11}, "3.5.7",
                                   "3.5.9"}));

// Each step of the probe failing: the transaction is ended and the card
// released, and nothing is sent after the failing APDU.
struct StepFailure {
    std::string name;
    int type;
    int failingApdu;  // 1-based index into the card's APDU sequence
    bool transport;   // the exchange fails (else a bad status word)
    Bytes answer;     // the card's answer when not a transport failure
    int rc;
};

std::vector<StepFailure> StepFailures() {
    std::vector<StepFailure> out;
    const char* names1[] = {"SelectMf", "SelectEf", "ReadBinary"};
    const char* names3[] = {"SelectMf", "SelectDf10", "SelectMfAgain", "SelectDf11"};
    for (int type : {1, 3}) {
        const int n = type == 1 ? 3 : 4;
        for (int i = 1; i <= n; ++i) {
            const std::string step = type == 1 ? names1[i - 1] : names3[i - 1];
            out.push_back({"Type" + std::to_string(type) + step + "Transport",
                           type, i, true, {}, CARDLIB_ERR_CARD_IO});
            out.push_back({"Type" + std::to_string(type) + step + "6B00", type,
                           i, false, Hex("6B 00"), CARDLIB_ERR_BAD_STATUS_WORD});
        }
    }
    // 6A82 is accepted only for the DF selections.
    out.push_back({"Type1SelectEf6A82", 1, 2, false, Hex("6A 82"), CARDLIB_ERR_BAD_STATUS_WORD});
    out.push_back({"Type3SelectMf6A82", 3, 1, false, Hex("6A 82"), CARDLIB_ERR_BAD_STATUS_WORD});
    // A status word with data before it is still only its status word.
    out.push_back({"Type1ReadBinary6282", 1, 3, false,
                   Hex("00 01 02 03 04 05 06 05 02 06 01 0B 0C 62 82"),
                   CARDLIB_ERR_BAD_STATUS_WORD});
    // READ BINARY giving too few bytes for the versions.
    out.push_back({"Type1ReadBinaryTenBytes", 1, 3, false,
                   Hex("00 01 02 03 04 05 06 05 02 06 90 00"), CARDLIB_ERR_BAD_DATA});
    out.push_back({"Type2ReadBinaryNoData", 2, 3, false, Hex("90 00"), CARDLIB_ERR_BAD_DATA});
    return out;
}

class StepFailureTest : public ProbeTest, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(StepFailureTest, EndsTransactionAndReleasesCard) {
    const StepFailure& c = GetParam();
    Script s = CardOfType(c.type);
    std::vector<std::string> sequence =
        c.type == 3 ? std::vector<std::string>{kSelectMf, kSelectDf10, kSelectMf, kSelectDf11}
                    : std::vector<std::string>{kSelectMf, kSelectEf, kReadBinary};
    if (c.transport) {
        s.forced[{"ISO", c.failingApdu}] = PCSC2STD_ERR_TRANSMIT;
    } else if (c.type == 3 && c.failingApdu == 3) {
        // The second SELECT MF: answer it differently only the second time.
        s.forced[{"ISO", 3}] = c.answer[0] * 256 + c.answer[1];
    } else {
        s.responses[Hex(sequence[c.failingApdu - 1])] = c.answer;
    }
    ASSERT_NO_FATAL_FAILURE(StartWithCard(s));
    EXPECT_EQ(Read(), c.rc);
    const std::vector<std::string> sent(sequence.begin(), sequence.begin() + c.failingApdu);
    EXPECT_EQ(fakepcsc::SentApdus(), sent);
    const auto& log = fakepcsc::Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "EndTransaction");
    EXPECT_EQ(log[log.size() - 1], "CardDisconnect");
    EXPECT_EQ(+info_->profileCount, 0);
    EXPECT_STREQ(info_->readerName, kReader0);
    // No profile library was asked anything.
    EXPECT_EQ(regular_.call_count("C_GetSlotList"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Steps, StepFailureTest, ::testing::ValuesIn(StepFailures()),
                         [](const auto& info) { return info.param.name; });

struct FciCardCase {
    const char* name;
    Bytes df10;  // answers to the two DF selections
    Bytes df11;
    int rc;
    const char* regular;
    const char* secure;
};

std::vector<FciCardCase> FciCardCases() {
    const Bytes kelvor = Hex("4B 65 6C 76 6F 72");
    return {
        {"BothTemplates", Fci(3), Fci(4), 0, "3.5.3", "3.5.4"},
        {"NoTemplate", Hex("6F 04 84 02 3F 10 90 00"), Fci(1), 0, "3.5.x", "3.5.1"},
        {"RegularDfMissing", Hex("6A 82"), Fci(2), 0, "", "3.5.2"},
        {"SecureDfMissing", Fci(2), Hex("6A 82"), 0, "3.5.2", ""},
        {"BothDfsMissing", Hex("6A 82"), Hex("6A 82"), 0, "", ""},
        {"LengthByte40", Cat(Cat(Hex("A5 40"), kelvor), Hex("01 90 00")), Fci(1),
         CARDLIB_ERR_BAD_DATA, "", ""},
        {"NotKelvor", Fci(1), Hex("A5 07 4B 65 6C 76 69 6E 01 90 00"), CARDLIB_ERR_BAD_DATA, "",
         ""},
        {"TemplateCut", Hex("6F 05 A5 07 4B 65 6C 90 00"), Fci(1), CARDLIB_ERR_BAD_DATA, "", ""},
        // The fake fills the buffer beyond the returned bytes with A5: not
        // to be taken for a template.
        {"NoDataAtAll", Hex("90 00"), Hex("90 00"), 0, "3.5.x", "3.5.x"},
        {"SecureDfWrongStatus", Fci(1), Hex("69 82"), CARDLIB_ERR_BAD_STATUS_WORD, "", ""},
    };
}

class FciCardTest : public ProbeTest, public ::testing::WithParamInterface<FciCardCase> {};

TEST_P(FciCardTest, Versions) {
    const FciCardCase& c = GetParam();
    Script s = CardOfType(3);
    s.responses[Hex(kSelectDf10)] = c.df10;
    s.responses[Hex(kSelectDf11)] = c.df11;
    ASSERT_NO_FATAL_FAILURE(StartWithCard(s));
    ASSERT_EQ(Read(), c.rc);
    if (c.rc != 0) {
        EXPECT_EQ(+info_->profileCount, 0);
        return;
    }
    ASSERT_EQ(+info_->profileCount, 2);
    EXPECT_STREQ(info_->profiles[0].profileVersion, c.regular);
    EXPECT_STREQ(info_->profiles[1].profileVersion, c.secure);
    // A missing regular DF does not stop the secure one from being read.
    EXPECT_EQ(fakepcsc::SentApdus().size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(Fci, FciCardTest, ::testing::ValuesIn(FciCardCases()),
                         [](const auto& info) { return std::string(info.param.name); });

struct CardFailureCase {
    const char* name;
    std::function<void(Script&)> script;
    int rc;
    std::vector<std::string> log;  // after InitPort
};

std::vector<CardFailureCase> CardFailureCases() {
    return {
        {"NoCard", [](Script& s) { s.forced[{"CardReset", 0}] = PCSC2STD_ERR_NO_SMARTCARD; },
         CARDLIB_ERR_CARD_IO, {"CardReset cold"}},
        {"ResetGivesZero", [](Script& s) { s.forced[{"CardReset", 0}] = 0; }, CARDLIB_ERR_CARD_IO,
         {"CardReset cold"}},
        {"UnknownAtr", [](Script& s) { s.atr = Hex("3B 8F 80 01 80 4F 0C A0 00 00 03 06"); },
         CARDLIB_ERR_UNKNOWN_ATR, {"CardReset cold", "CardDisconnect"}},
        {"AtrOfRow1OneByteLonger", [](Script& s) { s.atr.push_back(0x00); },
         CARDLIB_ERR_UNKNOWN_ATR, {"CardReset cold", "CardDisconnect"}},
        {"TransactionFails",
         [](Script& s) { s.forced[{"StartTransaction", 0}] = PCSC2STD_ERR_PCSC; },
         PCSC2STD_ERR_PCSC, {"CardReset cold", "StartTransaction"}},
        {"TransactionPortGone",
         [](Script& s) { s.forced[{"StartTransaction", 0}] = PCSC2STD_ERR_PORT_NOT_OPEN; },
         PCSC2STD_ERR_PORT_NOT_OPEN, {"CardReset cold", "StartTransaction"}},
        // Failures of ending or releasing are not examined.
        {"EndAndDisconnectFail",
         [](Script& s) {
             s.forced[{"EndTransaction", 0}] = PCSC2STD_ERR_PCSC;
             s.forced[{"CardDisconnect", 0}] = PCSC2STD_ERR_PORT_NOT_OPEN;
         },
         0,
         {"CardReset cold", "StartTransaction", std::string("ISO ") + kSelectMf,
          std::string("ISO ") + kSelectEf, std::string("ISO ") + kReadBinary, "EndTransaction",
          "CardDisconnect"}},
        // The card went between the reset and the APDU.
        {"CardGoneBeforeApdu", [](Script& s) { s.cardStatus = 0; }, CARDLIB_ERR_BAD_STATUS_WORD,
         {"CardReset cold", "StartTransaction", std::string("ISO ") + kSelectMf, "EndTransaction",
          "CardDisconnect"}},
        {"ReaderGoneBeforeApdu",
         [](Script& s) { s.cardStatus = PCSC2STD_ERR_READER_UNAVAILABLE; }, CARDLIB_ERR_CARD_IO,
         {"CardReset cold", "StartTransaction", std::string("ISO ") + kSelectMf, "EndTransaction",
          "CardDisconnect"}},
    };
}

class CardFailureTest : public ProbeTest, public ::testing::WithParamInterface<CardFailureCase> {};

TEST_P(CardFailureTest, Result) {
    const CardFailureCase& c = GetParam();
    Script s = CardOfType(1);
    c.script(s);
    ASSERT_NO_FATAL_FAILURE(StartWithCard(s));
    std::memset(info_.get(), 0x6C, sizeof *info_);
    EXPECT_EQ(Read(), c.rc);
    std::vector<std::string> expected = {std::string("InitPort ") + kReader0};
    expected.insert(expected.end(), c.log.begin(), c.log.end());
    EXPECT_EQ(fakepcsc::Log(), expected);
    EXPECT_STREQ(info_->readerName, kReader0);
    if (c.rc != 0) {
        // Cleared: only the reader name is set.
        auto cleared = std::make_unique<CardInfo>();
        std::memset(cleared.get(), 0, sizeof *cleared);
        std::strcpy(cleared->readerName, kReader0);
        EXPECT_EQ(std::memcmp(info_.get(), cleared.get(), sizeof *cleared), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Card, CardFailureTest, ::testing::ValuesIn(CardFailureCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProbeTest, NoPortNoCardAccess) {
    StandardTokens();
    Load();
    std::memset(info_.get(), 0x6C, sizeof *info_);
    EXPECT_EQ(ReadCardInfo(kReader0, info_.get()), CARDLIB_ERR_NO_PORT);
    EXPECT_EQ(fakepcsc::Calls("CardReset"), 0);
    EXPECT_EQ(fakepcsc::Calls("StartTransaction"), 0);
    EXPECT_EQ(+info_->profileCount, 0);
    EXPECT_STREQ(info_->readerName, kReader0);
}

// ---------------------------------------------------------------------------
// Profiles
// ---------------------------------------------------------------------------

TEST_F(ProbeTest, BothProfilesListed) {
    StandardTokens();
    AddCertificate(regular_, kSlotReader0, Rsa(1024).certificate, "a", "a");
    AddCertificate(regular_, kSlotReader1, Rsa(1024).certificate, "x", "other reader");
    for (int i = 0; i < 16; ++i) AddCertificate(secure_, kSlotReader0, Rsa(1024).certificate, "b", "b");
    Open();
    ASSERT_EQ(Read(), 0);
    ASSERT_EQ(+info_->profileCount, 2);
    const ProfileInfo& r = info_->profiles[0];
    const ProfileInfo& s = info_->profiles[1];
    EXPECT_EQ(+r.kind, 1);
    EXPECT_EQ(+s.kind, 2);
    EXPECT_STREQ(r.label, "Zwykly token");
    EXPECT_STREQ(s.label, "Bezpieczny");
    EXPECT_STREQ(r.profileName, "Profil zwykły");
    EXPECT_STREQ(s.profileName, "Profil bezpieczny");
    EXPECT_STREQ(r.libraryVersion, "1.4.0.17");
    EXPECT_STREQ(s.libraryVersion, "1.4.0.18");
    EXPECT_EQ(r.libraryInitialized, 1);
    EXPECT_EQ(r.valid, 1);
    EXPECT_EQ(s.valid, 1);
    EXPECT_EQ(+r.certificateCount, 1);
    EXPECT_EQ(+s.certificateCount, 15);
    // The last profile examined gives the card number.
    EXPECT_STREQ(info_->cardNumber, "SN-SECURE");
    EXPECT_STREQ(info_->readerName, kReader0);
    EXPECT_EQ(std::string(info_->serialNumber, sizeof info_->serialNumber),
              std::string(sizeof info_->serialNumber, '\0'));
    EXPECT_EQ(profileLibraries[0].slot, kSlotReader0);
    EXPECT_EQ(profileLibraries[1].slot, kSlotReader0);
    // Every session: slot of the reader, flags 6, application byte 0x11.
    for (P11StandControl* lib : {&regular_, &secure_}) {
        const auto opens = LogLines(*lib, "C_OpenSession");
        ASSERT_EQ(opens.size(), 1u);
        EXPECT_NE(opens[0].find("slot=0x7 flags=0x6 app=0x11 notify=NULL"), std::string::npos);
        const auto lists = LogLines(*lib, "C_GetSlotList");
        ASSERT_GE(lists.size(), 1u);
        EXPECT_NE(lists[0].find("tokenPresent=1 list=NULL"), std::string::npos) << lists[0];
    }
}

struct ProfileFailure {
    const char* name;
    const char* function;
    unsigned long call;  // of that function after loading
    CK_RV rv;
    uint64_t lastRv;
};

const ProfileFailure kProfileFailures[] = {
    {"TokenSlotCount", "C_GetSlotList", 1, CKR_DEVICE_ERROR, CKR_DEVICE_ERROR},
    {"TokenSlotCountVendor", "C_GetSlotList", 1, 0x80001234UL, 0x80001234UL},
    {"SlotCount", "C_GetSlotList", 2, CKR_DEVICE_ERROR,
     static_cast<uint64_t>(int64_t{CARDLIB_ERR_NO_SLOT})},
    {"SlotInfo", "C_GetSlotInfo", 1, CKR_SLOT_ID_INVALID, CKR_SLOT_ID_INVALID},
    {"SlotInfoVendor", "C_GetSlotInfo", 1, 0x80000001UL, 0x80000001UL},
    {"TokenInfo", "C_GetTokenInfo", 1, CKR_TOKEN_NOT_PRESENT, CKR_TOKEN_NOT_PRESENT},
    {"OpenSession", "C_OpenSession", 1, CKR_SESSION_COUNT, CKR_SESSION_COUNT},
    {"FindInit", "C_FindObjectsInit", 1, CKR_DEVICE_ERROR, CKR_DEVICE_ERROR},
    {"Find", "C_FindObjects", 1, CKR_DEVICE_REMOVED, CKR_DEVICE_REMOVED},
};

class ProfileFailureTest : public ProbeTest,
                           public ::testing::WithParamInterface<std::tuple<ProfileFailure, int>> {};

TEST_P(ProfileFailureTest, OnlyThatProfileLeftOut) {
    const ProfileFailure& c = std::get<0>(GetParam());
    const int failingKind = std::get<1>(GetParam());
    StandardTokens();
    AddCertificate(regular_, kSlotReader0, Rsa(1024).certificate, "a", "a");
    AddCertificate(secure_, kSlotReader0, Rsa(1024).certificate, "b", "b");
    Open();
    P11StandControl& failing = failingKind == 1 ? regular_ : secure_;
    failing.fail(c.function, failing.call_count(c.function) + c.call, c.rv);
    ASSERT_EQ(Read(), 0);
    ASSERT_EQ(+info_->profileCount, 1);
    const int otherKind = failingKind == 1 ? 2 : 1;
    EXPECT_EQ(+info_->profiles[0].kind, otherKind);
    EXPECT_EQ(+info_->profiles[0].certificateCount, 1);
    EXPECT_EQ(info_->profiles[0].valid, 1);
    // Nothing of the failed profile is left beyond the count.
    const ProfileInfo zero{};
    EXPECT_EQ(std::memcmp(&info_->profiles[1], &zero, sizeof zero), 0);
    EXPECT_EQ(profileLibraries[failingKind - 1].lastRv, c.lastRv);
    EXPECT_EQ(profileLibraries[otherKind - 1].lastRv, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ProfileFailureTest,
    ::testing::Combine(::testing::ValuesIn(kProfileFailures), ::testing::Values(1, 2)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) == 1 ? "Regular" : "Secure");
    });

TEST_F(ProbeTest, ProfileWithoutSlotForReader) {
    AddReaderSlot(regular_, kSlotReader1, kReader1);
    AddReaderSlot(secure_, kSlotReader0, kReader0);
    Open();
    ASSERT_EQ(Read(), 0);
    ASSERT_EQ(+info_->profileCount, 1);
    EXPECT_EQ(+info_->profiles[0].kind, 2);
    EXPECT_EQ(profileLibraries[0].lastRv, static_cast<uint64_t>(int64_t{CARDLIB_ERR_NO_SLOT}));
    EXPECT_EQ(profileLibraries[0].slot, CARDLIB_NO_SLOT_BOUND);
}

TEST_F(ProbeTest, UninitialisedRegularLibrarySkipped) {
    StandardTokens();
    regular_.set_initialized(1);  // its C_Initialize will answer 0x191
    Open();
    ASSERT_EQ(Read(), 0);
    ASSERT_EQ(+info_->profileCount, 1);
    EXPECT_EQ(+info_->profiles[0].kind, 2);
    EXPECT_EQ(regular_.call_count("C_GetSlotList"), 0u);
    regular_.set_initialized(0);
}

TEST_F(ProbeTest, NoTokenSlot) {
    const struct {
        bool regularToken;
        bool secureToken;
        int rc;
        int count;
        unsigned long secureSlotLists;
    } cases[] = {{false, true, CARDLIB_NO_TOKEN_SLOT, 0, 0},
                 {true, false, CARDLIB_NO_TOKEN_SLOT, 1, 1},
                 {false, false, CARDLIB_NO_TOKEN_SLOT, 0, 0},
                 {true, true, 0, 2, 3}};
    for (const auto& c : cases) {
        ResetStandIns();
        ASSERT_EQ(regular_.add_slot(kSlotReader0, kReader0), 0);
        ASSERT_EQ(secure_.add_slot(kSlotReader0, kReader0), 0);
        if (c.regularToken) {
            ASSERT_EQ(regular_.set_token(kSlotReader0, nullptr), 0);
        }
        if (c.secureToken) {
            ASSERT_EQ(secure_.set_token(kSlotReader0, nullptr), 0);
        }
        report_ = LibraryLoadReport{};
        Load();
        ASSERT_EQ(OpenReaderPort(kReader0), 0);
        EXPECT_EQ(Read(), c.rc);
        EXPECT_EQ(+info_->profileCount, +c.count);
        EXPECT_EQ(secure_.call_count("C_GetSlotList"), c.secureSlotLists);
    }
}

struct FlagCase {
    const char* name;
    CK_FLAGS flag;
    uint8_t ProfileInfo::*field;
};

const FlagCase kFlags[] = {
    {"TokenInitialized", CKF_TOKEN_INITIALIZED, &ProfileInfo::tokenInitialized},
    {"UserPinInitialized", CKF_USER_PIN_INITIALIZED, &ProfileInfo::userPinInitialized},
    {"UserPinLocked", CKF_USER_PIN_LOCKED, &ProfileInfo::userPinLocked},
    {"SoPinLocked", CKF_SO_PIN_LOCKED, &ProfileInfo::soPinLocked},
    {"UserPinFinalTry", CKF_USER_PIN_FINAL_TRY, &ProfileInfo::userPinFinalTry},
    {"SoPinFinalTry", CKF_SO_PIN_FINAL_TRY, &ProfileInfo::soPinFinalTry},
};

class FlagTest : public ProbeTest, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(FlagTest, OneFlagOneByte) {
    const FlagCase& c = GetParam();
    AddReaderSlot(regular_, kSlotReader0, kReader0, "L", "S", c.flag);
    AddCertificate(regular_, kSlotReader0, Rsa(1024).certificate, "a", "a");
    AddReaderSlot(secure_, kSlotReader0, kReader0, "L", "S", 0);
    Open();
    ASSERT_EQ(Read(), 0);
    ASSERT_EQ(+info_->profileCount, 2);
    const ProfileInfo& p = info_->profiles[0];
    for (const FlagCase& f : kFlags) {
        EXPECT_EQ(p.*(f.field), f.flag == c.flag ? 1 : 0) << f.name;
        EXPECT_EQ(info_->profiles[1].*(f.field), 0) << f.name;
    }
    // Certificates are counted only on an initialised token.
    EXPECT_EQ(+p.certificateCount, c.flag == CKF_TOKEN_INITIALIZED ? 1 : 0);
    EXPECT_EQ(regular_.call_count("C_OpenSession"), c.flag == CKF_TOKEN_INITIALIZED ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Flags, FlagTest, ::testing::ValuesIn(kFlags),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProbeTest, FreeMemoryLow32Bits) {
    const struct {
        CK_ULONG reported;
        int32_t shown;
    } cases[] = {{CK_UNAVAILABLE_INFORMATION, -1},
                 {0, 0},
                 {32768, 32768},
                 {0x100000005UL, 5},
                 {0x7FFFFFFFUL, INT32_MAX},
                 {0x80000000UL, INT32_MIN},
                 {0xFFFFFFFFUL, -1}};
    for (const auto& c : cases) {
        ResetStandIns();
        ASSERT_EQ(regular_.add_slot(kSlotReader0, kReader0), 0);
        P11StandToken token;
        regular_.token_defaults(&token);
        token.freePublicMemory = c.reported;
        token.freePrivateMemory = 77;
        ASSERT_EQ(regular_.set_token(kSlotReader0, &token), 0);
        AddReaderSlot(secure_, kSlotReader0, kReader0);
        report_ = LibraryLoadReport{};
        Load();
        ASSERT_EQ(OpenReaderPort(kReader0), 0);
        ASSERT_EQ(Read(), 0);
        ASSERT_GE(+info_->profileCount, 1);
        EXPECT_EQ(+info_->profiles[0].freePublicMemory, c.shown) << std::hex << c.reported;
        EXPECT_EQ(+info_->profiles[0].freePrivateMemory, 77);
    }
}

}  // namespace
}  // namespace tokentest
