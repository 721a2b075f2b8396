// ReadCardInfo end to end: the real port API on a private pcscd with vpcd,
// our virtual card in "Virtual PCD 00 00", and the stand-in profile
// libraries serving that reader. The APDUs are taken from the card's log.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/rig/RigUtil.h"
#include "tests/support/testkit/testkit.h"
#include "tests/support/vcard/VirtualCard.h"
#include "tests/token/StandIns.h"

namespace tokentest {
namespace {

using vdtest::FromHex;
using vdtest::ToHex;
using vdtest::VirtualCard;

const char kSelectMf[] = "00A4000C";
const char kSelectEf[] = "00A4020C022F01";
const char kReadBinary[] = "00B000000D";
const char kSelectDf10[] = "00A40100023F1000";
const char kSelectDf11[] = "00A40100023F1100";

struct RigCase {
    const char* name;
    const char* atr;
    int rc;
    std::vector<std::string> apdus;
    const char* regular;
    const char* secure;
};

const std::vector<std::string> kEfSequence = {kSelectMf, kSelectEf, kReadBinary};
const std::vector<std::string> kDfSequence = {kSelectMf, kSelectDf10, kSelectMf, kSelectDf11};

std::vector<RigCase> RigCases() {
    return {
        {"Row1", "3BBB1800C01031FE4580670412B00303000081053C", 0, kEfSequence, "3.5.2", "3.6.1"},
        {"Row1MaskedBytes", "3BBB1800C01031FE4580670412B0030300008177AA", 0, kEfSequence, "3.5.2",
         "3.6.1"},
        {"Row2", "3B9F9681B1FE451F070064051EB20031B0739621DB0590005C", 0, kEfSequence, "3.5.2",
         "3.6.1"},
        {"Row2MaskedBytes", "3B9F9681B1FE451F070064051EB20031B0739621DB11223344", 0, kEfSequence,
         "3.5.2", "3.6.1"},
        {"Row3", "3BDD96FF8131FE4580595F5374645F496E6974810000", 0, kDfSequence, "3.5.7", "3.5.9"},
        {"Row3MaskedBytes", "3BDD96FF8131FE4580595F5374645F496E697481ABCD", 0, kDfSequence,
         "3.5.7", "3.5.9"},
        {"UnknownAtr", "3B8F8001804F0CA000000306030001000000006A", CARDLIB_ERR_UNKNOWN_ATR, {}, "",
         ""},
    };
}

class RigTest : public StandInTest, public ::testing::WithParamInterface<RigCase> {
protected:
    void SetUp() override {
        ASSERT_TRUE(vdrig::InRig()) << "run this test through tests/rig/run-in-rig.sh";
        StandInTest::SetUp();
    }
    void TearDown() override {
        if (!vdrig::InRig()) return;  // SetUp stopped before the stand-ins were opened
        CloseReaderPort();
        StandInTest::TearDown();
    }
};

TEST_P(RigTest, ReadCardInfo) {
    const RigCase& c = GetParam();
    VirtualCard card(FromHex(c.atr), VirtualCard::kReader0Port);
    const vdtest::Bytes ok = FromHex("9000");
    card.AddResponse(FromHex(kSelectMf), ok);
    card.AddResponse(FromHex(kSelectEf), ok);
    card.AddResponse(FromHex(kReadBinary), FromHex("00010203040506050206010B0C9000"));
    card.AddResponse(FromHex(kSelectDf10), FromHex("6F1084023F10A5074B656C766F72079000"));
    card.AddResponse(FromHex(kSelectDf11), FromHex("6F1084023F11A5074B656C766F72099000"));

    AddReaderSlot(regular_, kSlotReader1, kReader1, "Other", "OTHER");
    AddReaderSlot(regular_, kSlotReader0, kReader0, "Zwykly", "1234567890123456");
    AddReaderSlot(secure_, kSlotReader0, kReader0, "Bezpieczny", "1234567890123456");
    AddCertificate(secure_, kSlotReader0, Rsa(2048).certificate, "c", "cert");
    Load();

    ASSERT_TRUE(card.Insert());
    ASSERT_EQ(OpenReaderPort(kReader0), 0);
    ASSERT_TRUE(testkit::WaitUntil([] { return IsCardPresent() == 1; }, std::chrono::seconds(10)))
        << "card not seen in " << kReader0;
    card.ClearLog();

    auto info = std::make_unique<CardInfo>();
    ASSERT_EQ(ReadCardInfo(kReader0, info.get()), c.rc);

    std::vector<std::string> sent;
    for (const auto& apdu : card.Apdus()) sent.push_back(ToHex(apdu));
    EXPECT_EQ(sent, c.apdus);
    EXPECT_STREQ(info->readerName, kReader0);
    if (c.rc == 0) {
        ASSERT_EQ(+info->profileCount, 2);
        EXPECT_EQ(+info->profiles[0].kind, PROFILE_KIND_REGULAR);
        EXPECT_EQ(+info->profiles[1].kind, PROFILE_KIND_SECURE);
        EXPECT_STREQ(info->profiles[0].profileVersion, c.regular);
        EXPECT_STREQ(info->profiles[1].profileVersion, c.secure);
        EXPECT_STREQ(info->profiles[0].label, "Zwykly");
        EXPECT_STREQ(info->profiles[1].label, "Bezpieczny");
        EXPECT_EQ(+info->profiles[1].certificateCount, 1);
        EXPECT_STREQ(info->cardNumber, "1234567890123456");
        EXPECT_EQ(profileLibraries[0].slot, kSlotReader0);
    } else {
        EXPECT_EQ(+info->profileCount, 0);
    }
    ExpectNoOpenSession(regular_);
    ExpectNoOpenSession(secure_);

    // The profiles bound to the reader list the card's objects.
    if (c.rc == 0) {
        ASSERT_EQ(BindProfileToReader(PROFILE_KIND_SECURE, kReader0), 0);
        auto certs = std::make_unique<CertificateInfoList>();
        ASSERT_EQ(ListCertificates(PROFILE_KIND_SECURE, certs.get()), 0);
        ASSERT_EQ(+certs->count, 1);
        EXPECT_EQ(+certs->certificates[0].keyBits, 2048);
        ExpectNoOpenSession(secure_);
    }
    CloseReaderPort();
    EXPECT_TRUE(card.Remove());
}

INSTANTIATE_TEST_SUITE_P(Atrs, RigTest, ::testing::ValuesIn(RigCases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tokentest
