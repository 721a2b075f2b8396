// The reader and card sections over the fake port API: every branch a real
// reader cannot be made to take on demand (a port that will not open, a
// failing status or reset, more readers than the records hold, a profile
// that cannot be bound to its reader), and the section texts on their own.
#include "app/ReportCards.h"
#include "app/ReportCards_internal.h"

#include <gtest/gtest.h>

#include <QString>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/fakepcsc2std/FakePcsc2std.h"
#include "tests/support/p11stand/p11stand_control.h"
#include "tests/support/testkit/ReportRecorder.h"
#include "tests/support/vcard/VirtualCard.h"
#include "token/cardlib.h"
#include "token/cardlib_internal.h"

namespace {

using vdtest::FromHex;

using testkit::ReportRecorder;

using testkit::kBlack;
using testkit::kRed;

const char kReaderA[] = "Czytnik A 00 00";
const char kReaderB[] = "Czytnik B 00 01";
// A type-1 card and the answers of its profile-version probe.
const char kKnownAtr[] = "3BBB1800C01031FE4580670412B00303000081053C";

fakepcsc::Script KnownCard(std::vector<std::string> readers)
{
    fakepcsc::Script s;
    s.readers = std::move(readers);
    s.atr = FromHex(kKnownAtr);
    s.responses[FromHex("00A4000C")] = FromHex("9000");
    s.responses[FromHex("00A4020C022F01")] = FromHex("9000");
    s.responses[FromHex("00B000000D")] = FromHex("00010203040506050206019000");
    return s;
}

const std::vector<std::string> kStateHeading = {
    "coloured #0000ff bold font=null size=-1 \"Lista stanu czytników i kart\\n\\n\""};
const std::vector<std::string> kDetailsHeading = {"weighted normal \"\\n\"",
                                                  "weighted bold \" Szczegółowe informacje o kartach\\n\\n\""};

std::vector<std::string> ReaderHead(const char* name)
{
    return {"weighted bold \" Czytnik\"", std::string("weighted normal \" : ") + name + "\\n\"",
            "weighted bold \" Stan czytnika\""};
}

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts)
{
    std::vector<std::string> out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

struct SectionCase {
    const char* name;
    fakepcsc::Script script;
    std::vector<std::string> list;   // emissions of the reader list
    std::vector<std::string> state;  // emissions of the state section and card details
    bool serviceAnswers = true;      // false: the daemon did not answer its wake-up
};

fakepcsc::Script WithForced(fakepcsc::Script s, const char* entry, int call, int result)
{
    s.forced[{entry, call}] = result;
    return s;
}

fakepcsc::Script Readers(std::vector<std::string> names, int status = 0)
{
    fakepcsc::Script s;
    s.readers = std::move(names);
    s.cardStatus = status;
    return s;
}

std::vector<SectionCase> SectionCases()
{
    const std::string listHeading = "weighted bold \" Lista czytników wykorzystywanych przez serwis PCSC\\n\"";
    const std::vector<std::string> noCardA =
        Join({ReaderHead(kReaderA), {"weighted normal \" : Brak karty w czytniku\\n\\n\""}});
    const std::vector<std::string> noCardB =
        Join({ReaderHead(kReaderB), {"weighted normal \" : Brak karty w czytniku\\n\\n\""}});
    const std::vector<std::string> cardHead = {"weighted normal \" :  Karta w czytniku\\n\"",
                                               "weighted bold \" Informacje o karcie :\\n\""};
    const std::string atrLine = "weighted normal \"3B:BB:18:00:C0:10:31:FE:45:80:67:04:12:B0:03:03:00:00:81:05:3C\\n\"";

    fakepcsc::Script unknownAtr = Readers({kReaderA}, PCSC2STD_CARD_PRESENT);
    unknownAtr.atr = FromHex("3B8F8001804F0CA000000306030001000000006A");

    fakepcsc::Script twentyReaders;
    for (int i = 0; i < 16; ++i)
        twentyReaders.readers.push_back("R" + std::to_string(i));
    twentyReaders.reportedReaderCount = 20;
    twentyReaders.cardStatus = 0;
    std::string sixteenNames = "plain \"  ";
    std::vector<std::string> sixteenEmpty;
    for (int i = 0; i < 16; ++i) {
        const std::string name = "R" + std::to_string(i);
        sixteenNames += name + "\\n  ";
        const auto head = ReaderHead(name.c_str());
        sixteenEmpty.insert(sixteenEmpty.end(), head.begin(), head.end());
        sixteenEmpty.push_back("weighted normal \" : Brak karty w czytniku\\n\\n\"");
    }
    sixteenNames += "\\n\"";

    return {
        {"ListFails", WithForced(Readers({kReaderA}), "GetAllReaders", 0, PCSC2STD_ERR_PCSC),
         {listHeading, kRed + "\" Błąd pobrania listy czytników przez wrapper PCSC\\n\"", kBlack},
         kStateHeading},
        // Readers there would be, but the port API is not asked.
        {"ServiceDoesNotAnswer", KnownCard({kReaderA}),
         {listHeading, kRed + "\" Błąd pobrania listy czytników przez wrapper PCSC\\n\"", kBlack},
         kStateHeading, false},
        {"NoReaders", Readers({}), {listHeading, "plain \"  \\n\""}, Join({kStateHeading, kDetailsHeading})},
        {"TwoEmptyReaders", Readers({kReaderA, kReaderB}, 128),
         {listHeading, std::string("plain \"  ") + kReaderA + "\\n  " + kReaderB + "\\n  \\n\""},
         Join({kStateHeading, noCardA, noCardB, kDetailsHeading})},
        {"PortDoesNotOpen", WithForced(Readers({kReaderA, kReaderB}), "InitPort", 1, PCSC2STD_ERR_INIT_PORT),
         {listHeading, std::string("plain \"  ") + kReaderA + "\\n  " + kReaderB + "\\n  \\n\""},
         Join({kStateHeading,
               {kRed + "\"Błąd inicjalizacji czytnika przez wrapper PCSC - -8\\n\\n\"", kBlack},
               noCardB, kDetailsHeading})},
        {"StatusFails", WithForced(Readers({kReaderA}), "CardStatus", 1, CARD_STATUS_ERROR),
         {listHeading, std::string("plain \"  ") + kReaderA + "\\n  \\n\""},
         Join({kStateHeading, ReaderHead(kReaderA),
               {"weighted normal \" : \"", kRed + "\" Błąd pobrania statusu czytnika przez wrapper PCSC - -9\\n\\n\"",
                kBlack},
               kDetailsHeading})},
        {"ResetFails", Readers({kReaderA}, PCSC2STD_CARD_PRESENT | PCSC2STD_CARD_CHANGED),
         {listHeading, std::string("plain \"  ") + kReaderA + "\\n  \\n\""},
         Join({kStateHeading, ReaderHead(kReaderA), cardHead,
               {kRed + "\" Błąd pobrania ATR karty przez wrapper PCSC - -10\\n\\n\"", kBlack},
               kDetailsHeading})},
        {"ResetGivesNothing",
         WithForced(Readers({kReaderA}, PCSC2STD_CARD_PRESENT), "CardReset", 1, 0),
         {listHeading, std::string("plain \"  ") + kReaderA + "\\n  \\n\""},
         Join({kStateHeading, ReaderHead(kReaderA), cardHead,
               {kRed + "\" Błąd pobrania ATR karty przez wrapper PCSC - 0\\n\\n\"", kBlack},
               kDetailsHeading})},
        {"CardNotIdentified", unknownAtr,
         {listHeading, std::string("plain \"  ") + kReaderA + "\\n  \\n\""},
         Join({kStateHeading, ReaderHead(kReaderA), cardHead,
               {"weighted bold \" ATR : \"",
                "weighted normal \"3B:8F:80:01:80:4F:0C:A0:00:00:03:06:03:00:01:00:00:00:00:6A\\n\"",
                kRed + "\"Błąd pobrania podstawowych parametrów karty\\n\\n\"", kBlack, "weighted normal \"\\n\""},
               kDetailsHeading})},
        // Without profile libraries the card is identified and has no profile:
        // it is counted and gets a details block of its own.
        {"CardWithoutProfiles", KnownCard({kReaderA}),
         {listHeading, std::string("plain \"  ") + kReaderA + "\\n  \\n\""},
         Join({kStateHeading, ReaderHead(kReaderA), cardHead,
               {"weighted bold \" ATR : \"", atrLine, "weighted bold \" Numer karty : \"", "weighted normal \"\"",
                "weighted normal \"\\n\"", "weighted normal \"\\n\""},
               kDetailsHeading,
               {"weighted bold \" Karta numer : \"",
                std::string("weighted normal \" ( czytnik : ") + kReaderA + " )\\n\""}})},
        {"MoreReadersThanRecords", twentyReaders, {listHeading, sixteenNames},
         Join({kStateHeading, sixteenEmpty, kDetailsHeading})},
    };
}

void PrintTo(const SectionCase& c, std::ostream* out)
{
    *out << c.name;
}

class ReaderSections : public ::testing::TestWithParam<SectionCase> {};

TEST_P(ReaderSections, EmitTheTextsOfEachBranch)
{
    const SectionCase& c = GetParam();
    fakepcsc::Reset(c.script);
    ReportRecorder sink;
    ReaderSectionState state;
    ReportReaderList(sink, state, c.serviceAnswers);
    EXPECT_EQ(sink.lines(), c.list);
    sink.clear();
    ReportReaderAndCardState(sink, state);
    EXPECT_EQ(sink.lines(), c.state);
    if (!c.serviceAnswers) {
        EXPECT_EQ(fakepcsc::Log(), std::vector<std::string>{});
    }
    // Every reader had its own short-lived port; none is left open.
    EXPECT_EQ(fakepcsc::OpenPorts(), 0);
    CloseReaderPort();
}

INSTANTIATE_TEST_SUITE_P(Fake, ReaderSections, ::testing::ValuesIn(SectionCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReaderSectionsOrder, PortsOpenAndCloseAroundEachReader)
{
    fakepcsc::Reset(KnownCard({kReaderA, kReaderB}));
    ReportRecorder sink;
    ReaderSectionState state;
    ReportReaderList(sink, state);
    ReportReaderAndCardState(sink, state);
    const auto& log = fakepcsc::Log();
    std::vector<std::string> entries;
    for (const std::string& line : log) {
        const std::string entry = line.substr(0, line.find(' '));
        if (entry == "InitPort" || entry == "ClosePort" || entry == "CardStatus" || entry == "CardReset")
            entries.push_back(entry == "ClosePort" ? "ClosePort" : line);
    }
    const std::string a = std::string("InitPort ") + kReaderA;
    const std::string b = std::string("InitPort ") + kReaderB;
    // Worker's port: open, status, cold reset, close; then the card layer's
    // own port, in which the layer resets the card again.
    const std::vector<std::string> expected = {a, "CardStatus", "CardReset cold", "ClosePort", a,
                                               "CardReset cold", "ClosePort", b, "CardStatus", "CardReset cold",
                                               "ClosePort", b, "CardReset cold", "ClosePort"};
    EXPECT_EQ(entries, expected);
    EXPECT_EQ(fakepcsc::OpenPorts(), 0);
}

TEST(ReaderSectionsOrder, TheSectionsOwnPortIsSharedAndForT1Cards)
{
    // An empty reader: the only port opened is the sections' own, not the
    // card layer's, so its arguments are the last ones seen.
    fakepcsc::Reset(Readers({kReaderA}, 0));
    ReportRecorder sink;
    ReaderSectionState state;
    ReportReaderList(sink, state);
    ReportReaderAndCardState(sink, state);
    ASSERT_EQ(fakepcsc::Calls("InitPort"), 1);
    const fakepcsc::InitPortArgs args = fakepcsc::LastInitPort();
    EXPECT_EQ(args.portNumber, 0u);
    EXPECT_EQ(args.subPort, 0u);
    EXPECT_EQ(args.cardKind, PCSC2STD_CARD_KIND_T1);
    EXPECT_EQ(args.exclusive, 0);
    EXPECT_EQ(fakepcsc::OpenPorts(), 0);
}

TEST(ReaderSectionsNames, AFullNameFieldIsReadNoFurther)
{
    // A name that fills the whole field without a terminating zero.
    ReaderInfo readers[2] = {};
    memset(readers[0].name, 'N', sizeof readers[0].name);
    readers[0].attribA = 0x4141;
    strcpy(readers[1].name, "B");
    const QString text = ReaderListText(readers, 2);
    EXPECT_EQ(text, "  " + QString(128, 'N') + "\n  B\n  \n");
    EXPECT_EQ(ReaderListText(readers, 0), "  \n");
    // A count beyond the records is cut to them.
    ReaderInfo many[PCSC2STD_MAX_READERS] = {};
    for (auto& r : many)
        strcpy(r.name, "x");
    EXPECT_EQ(ReaderListText(many, 1000).count("x"), 16);
}

struct IdentifierCase {
    const char* name;
    std::vector<uint8_t> id;
    uint64_t length;
    std::string expected;
};

void PrintTo(const IdentifierCase& c, std::ostream* out)
{
    *out << c.name;
}

class Identifiers : public ::testing::TestWithParam<IdentifierCase> {};

TEST_P(Identifiers, AreOneRunOfDigits)
{
    const IdentifierCase& c = GetParam();
    std::vector<uint8_t> field(128, 0xEE);
    std::copy(c.id.begin(), c.id.end(), field.begin());
    EXPECT_EQ(IdentifierText(field.data(), c.length, field.size()).toStdString(), c.expected);
}

std::vector<uint8_t> Counting(size_t n)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < n; ++i)
        out.push_back(static_cast<uint8_t>(i + 1));
    return out;
}

INSTANTIATE_TEST_SUITE_P(Cases, Identifiers,
                         ::testing::Values(
                             IdentifierCase{"Empty", {}, 0, ""},
                             IdentifierCase{"OneByte", {0x05}, 1, "05"},
                             IdentifierCase{"TwoBytes", {0xAB, 0x0C}, 2, "AB0C\n"},
                             IdentifierCase{"TwentyBytes", Counting(20), 20,
                                            "0102030405060708090A0B0C0D0E0F1011121314\n"},
                             // A length the record cannot hold is cut to the field.
                             IdentifierCase{"LongerThanTheField", Counting(128), 4000,
                                            [] {
                                                std::string s;
                                                char b[3];
                                                for (int i = 1; i <= 128; ++i) {
                                                    snprintf(b, sizeof b, "%02X", i);
                                                    s += b;
                                                }
                                                return s + "\n";
                                            }()}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SectionTexts, HandlesCodesAndAtrs)
{
    const struct {
        uint64_t handle;
        const char* text;
    } handles[] = {{0x1A, "0000001A"}, {0, "00000000"}, {0xFFFFFFFFull, "FFFFFFFF"}, {0x123456789ABull, "456789AB"}};
    for (const auto& h : handles)
        EXPECT_EQ(HandleText(h.handle).toStdString(), h.text) << h.handle;

    EXPECT_EQ(CodeLine("Błąd", -9).toStdString(), "Błąd - -9\n\n");
    EXPECT_EQ(CodeLine("x", 0).toStdString(), "x - 0\n\n");

    unsigned char atr[PCSC2STD_ATR_CAPACITY];
    for (unsigned i = 0; i < sizeof atr; ++i)
        atr[i] = static_cast<unsigned char>(0xA0 + i % 16);
    // 32 bytes end their line, so the ATR line ends in an empty line.
    const std::string atr32 = AtrLine(atr, 32).toStdString();
    EXPECT_EQ(atr32.size(), 32u * 3 - 1 + 2);
    EXPECT_EQ(atr32.substr(atr32.size() - 4), "AF\n\n");
    const std::string atr31 = AtrLine(atr, 31).toStdString();
    EXPECT_EQ(atr31.substr(atr31.size() - 3), "AE\n");
    // 33 bytes: the last one on a line of its own.
    const std::string atr33 = AtrLine(atr, 33).toStdString();
    EXPECT_EQ(atr33.substr(atr33.size() - 5), "F\nA0\n");
    // A length beyond the capacity is never read past it.
    EXPECT_EQ(AtrLine(atr, 5000).toStdString(),
              "A0:A1:A2:A3:A4:A5:A6:A7:A8:A9:AA:AB:AC:AD:AE:AF:A0:A1:A2:A3:A4:A5:A6:A7:A8:A9:AA:AB:AC:AD:AE:AF\nA0\n");

    char field[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(FieldText(field, sizeof field), QByteArray("abcd"));
    EXPECT_EQ(FieldText(nullptr, 10), QByteArray());
}

// Two readers with a card each; the regular profile's library serves a token
// in each reader, each token with public keys of its own: the first token
// one, the second as many as one listing holds (15), every one of them
// printed. The details of a card must only ever show that card's own
// objects. Each token has only one of its two PINs locked, and not the same
// one.
struct BindingCase {
    const char* name;
    int failingCard;          // 1-based card whose binding fails; 0: none
    const char* failingCall;  // the library call that fails during that binding
};

void PrintTo(const BindingCase& c, std::ostream* out)
{
    *out << c.name;
}

const std::string kMissingLibrary = std::string(P11STAND_DIR) + "/libnot-there.so";
const std::string kRegularLibrary = std::string(P11STAND_DIR) + "/libVelmartoken.so";

struct TokenSetup {
    CK_SLOT_ID slot;
    const char* reader;
    const char* label;
    const char* serial;
    const char* grouped;
    CK_FLAGS locked;
    const char* pinLocked;
    const char* pukLocked;
    CK_ULONG freePublic;
    CK_ULONG freePrivate;
    const char* keyLabel;  // the keys are named keyLabel 1, keyLabel 2, ...
    uint8_t keyId;         // and numbered from keyId on
    int keys;
};

const TokenSetup kTokens[] = {
    {7, kReaderA, "Karta A", "1111222233334444", "1111 2222 3333 4444", CKF_USER_PIN_LOCKED, "Tak", "Nie", 1000,
     2000, "Klucz A", 0x0A, 1},
    {3, kReaderB, "Karta B", "5555666677778888", "5555 6666 7777 8888", CKF_SO_PIN_LOCKED, "Nie", "Tak", 3000, 4000,
     "Klucz B", 0x0B, CARDLIB_MAX_LISTED_OBJECTS},
};

class ProfileBinding : public ::testing::TestWithParam<BindingCase> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(regular_.Open(kRegularLibrary)) << dlerror();
        ResetLibraries();
        SetProfileLibraryPathsForTesting(PROFILE_KIND_REGULAR, kRegularLibrary.c_str(), kMissingLibrary.c_str());
        // Only the regular profile: a secure library without tokens would
        // make every card unreadable.
        SetProfileLibraryPathsForTesting(PROFILE_KIND_SECURE, kMissingLibrary.c_str(), kMissingLibrary.c_str());
        // A 1024-bit modulus.
        std::vector<unsigned char> modulus(128, 0x01);
        modulus[0] = 0xC1;
        const unsigned char exponent[] = {0x01, 0x00, 0x01};
        for (const TokenSetup& t : kTokens) {
            ASSERT_EQ(regular_.add_slot(t.slot, t.reader), 0);
            P11StandToken token;
            regular_.token_defaults(&token);
            token.label = t.label;
            token.serialNumber = t.serial;
            token.flags = CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED | t.locked;
            token.freePublicMemory = t.freePublic;
            token.freePrivateMemory = t.freePrivate;
            ASSERT_EQ(regular_.set_token(t.slot, &token), 0);
            handles_.emplace_back();
            for (int k = 0; k < t.keys; ++k) {
                const uint8_t id = static_cast<uint8_t>(t.keyId + k);
                const std::string label = KeyLabel(t, k);
                const CK_OBJECT_HANDLE handle = regular_.add_rsa_public_key(
                    t.slot, modulus.data(), modulus.size(), exponent, sizeof exponent, &id, 1, label.c_str(),
                    label.size());
                ASSERT_NE(handle, 0u);
                handles_.back().push_back(handle);
            }
        }
        LibraryLoadReport report{};
        ASSERT_EQ(LoadProfileLibraries(&report), 0);
    }

    void TearDown() override
    {
        CloseReaderPort();
        ResetLibraries();
        SetProfileLibraryPathsForTesting(PROFILE_KIND_REGULAR, nullptr, nullptr);
        SetProfileLibraryPathsForTesting(PROFILE_KIND_SECURE, nullptr, nullptr);
    }

    void ResetLibraries()
    {
        ResetProfileLibrariesForTesting();
        if (regular_.reset != nullptr) {
            regular_.reset();
            regular_.set_initialized(0);
        }
    }

    static std::string KeyLabel(const TokenSetup& t, int k) { return t.keyLabel + (" " + std::to_string(k + 1)); }

    // The details block of one card; its key lines only when listed.
    std::vector<std::string> Details(size_t card, bool withKey) const
    {
        const TokenSetup& t = kTokens[card];
        std::vector<std::string> out = {
            "weighted bold \" Karta numer : \"",
            std::string("weighted normal \"") + t.grouped + " ( czytnik : " + t.reader + " )\\n\"",
            "weighted bold \"  PROFIL ZWYKŁY\"",
            "weighted normal \"\\n\"",
            "weighted bold \"   Opis profilu : \"",
            std::string("weighted normal \"") + t.label + "\\n\"",
            "weighted bold \"   Numer seryjny : \"",
            "weighted normal \"\\n\"",
            "weighted bold \"   Profil zainicjalizowany : \"",
            "weighted normal \"Tak\\n\"",
            "weighted bold \"   Kod PIN zablokowany : \"",
            std::string("weighted normal \"") + t.pinLocked + "\\n\"",
            "weighted bold \"   Kod PUK zablokowany : \"",
            std::string("weighted normal \"") + t.pukLocked + "\\n\"",
            "weighted bold \"   Dostępna pamięć publiczna : \"",
            "weighted normal \"" + std::to_string(t.freePublic) + "\\n\"",
            "weighted bold \"   Dostępna pamięć prywatna : \"",
            "weighted normal \"" + std::to_string(t.freePrivate) + "\\n\"",
            "weighted bold \"   Lista obiektów publicznych : \\n\\n\"",
        };
        for (int k = 0; withKey && k < t.keys; ++k) {
            char handle[16];
            snprintf(handle, sizeof handle, "%08X", static_cast<unsigned>(handles_[card][k]));
            char id[8];
            snprintf(id, sizeof id, "%02X", static_cast<unsigned>(static_cast<uint8_t>(t.keyId + k)));
            const std::vector<std::string> key = {
                "weighted bold \"    Typ obiektu : \"",          "weighted normal \"Klucz publiczny\"",
                "weighted normal \"\\n\"",                         "weighted bold \"    Uchwyt : \"",
                std::string("weighted normal \"") + handle + "\"", "weighted normal \"\\n\"",
                "weighted bold \"    Nazwa : \"",                "weighted normal \"" + KeyLabel(t, k) + "\"",
                "weighted normal \"\\n\"",                         "weighted bold \"    Długosć klucza : \"",
                "weighted normal \"1024\"",                       "weighted normal \"\\n\"",
                "weighted bold \"    Identyfikator klucza : \"", std::string("weighted normal \"") + id + "\"",
                "weighted normal \"\\n\"",
            };
            out.insert(out.end(), key.begin(), key.end());
        }
        out.push_back("weighted bold \"   Koniec listy obiektów publicznych\\n\\n\"");
        return out;
    }

    P11StandControl regular_;
    std::vector<std::vector<CK_OBJECT_HANDLE>> handles_;
};

TEST_P(ProfileBinding, AnUnboundProfileListsNoOtherCardsObjects)
{
    const BindingCase& c = GetParam();
    fakepcsc::Reset(KnownCard({kReaderA, kReaderB}));
    ReportRecorder sink;
    int cardsShown = 0;
    unsigned long failedAt = 0;
    // The binding of a card's profiles follows right after its number line.
    sink.onLine([&](const std::string& line) {
        if (line != "weighted bold \" Karta numer : \"")
            return;
        cardsShown += 1;
        if (cardsShown == c.failingCard) {
            failedAt = regular_.call_count(c.failingCall) + 1;
            regular_.fail(c.failingCall, failedAt, CKR_DEVICE_ERROR);
        }
    });
    ReaderSectionState state;
    ReportReaderList(sink, state);
    ReportReaderAndCardState(sink, state);

    const std::string heading = "weighted bold \" Szczegółowe informacje o kartach\\n\\n\"";
    const std::vector<std::string> lines = sink.lines();
    auto at = std::find(lines.begin(), lines.end(), heading);
    ASSERT_NE(at, lines.end());
    const std::vector<std::string> details(at + 1, lines.end());
    const std::vector<std::string> expected = Join({Details(0, c.failingCard != 1), Details(1, c.failingCard != 2)});
    EXPECT_EQ(details, expected);

    if (c.failingCard != 0) {
        // The fault was met inside the binding, not somewhere else.
        EXPECT_GE(regular_.call_count(c.failingCall), failedAt);
        EXPECT_NE(regular_.Log().find(std::string(c.failingCall) + " "), std::string::npos);
        EXPECT_NE(regular_.Log().find("(injected)"), std::string::npos);
    }
    EXPECT_EQ(regular_.open_session_count(), 0u);
    EXPECT_EQ(fakepcsc::OpenPorts(), 0);
}

INSTANTIATE_TEST_SUITE_P(StandIn, ProfileBinding,
                         ::testing::Values(BindingCase{"BothBound", 0, "C_GetSlotInfo"},
                                           // Left bound to the last card read, this one
                                           // would show the second card's key.
                                           BindingCase{"FirstSlotInfoFails", 1, "C_GetSlotInfo"},
                                           BindingCase{"FirstSlotListFails", 1, "C_GetSlotList"},
                                           // Left bound to the first card, it would show
                                           // that card's key.
                                           BindingCase{"SecondSlotInfoFails", 2, "C_GetSlotInfo"},
                                           BindingCase{"SecondSlotListFails", 2, "C_GetSlotList"}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
