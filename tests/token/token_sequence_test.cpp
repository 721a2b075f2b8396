// The exact PKCS#11 conversation of ReadCardInfo, the binding and the
// listings with a profile library, as the stand-in logs it, and the bounded
// copies of reader names.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/fakepcsc2std/FakePcsc2std.h"
#include "tests/token/StandIns.h"

namespace tokentest {
namespace {

fakepcsc::Script CardOfType1() {
    fakepcsc::Script s;
    s.atr = {0x3B, 0xBB, 0x18, 0x00, 0xC0, 0x10, 0x31, 0xFE, 0x45, 0x80, 0x67,
             0x04, 0x12, 0xB0, 0x03, 0x03, 0x00, 0x00, 0x81, 0x05, 0x3C};
    s.responses[{0x00, 0xA4, 0x00, 0x0C}] = {0x90, 0x00};
    s.responses[{0x00, 0xA4, 0x02, 0x0C, 0x02, 0x2F, 0x01}] = {0x90, 0x00};
    s.responses[{0x00, 0xB0, 0x00, 0x00, 0x0D}] = {0, 1, 2, 3, 4, 5, 6, 5, 2, 6, 1, 11, 12,
                                                    0x90, 0x00};
    return s;
}

// The log lines of one library without what the library chose (session and
// object numbers, counts it hands back, results), so that only what the
// layer decides is compared.
std::vector<std::string> Conversation(P11StandControl& lib) {
    static const std::regex chosen(" session=0x[0-9a-f]+| object=0x[0-9a-f]+| matches=[0-9]+| -> .*$");
    // C_FindObjectsInit's count is the layer's attribute count; elsewhere the
    // count is the library's answer.
    static const std::regex answeredCount(" count=[0-9]+");
    std::vector<std::string> out;
    std::istringstream in(lib.Log());
    std::string line;
    while (std::getline(in, line)) {
        line = std::regex_replace(line, chosen, "");
        if (line.rfind("C_FindObjectsInit ", 0) != 0) line = std::regex_replace(line, answeredCount, "");
        out.push_back(line);
    }
    return out;
}

class CallSequenceTest : public StandInTest {
protected:
    void SetUp() override {
        StandInTest::SetUp();
        CloseReaderPort();
        fakepcsc::Reset(CardOfType1());
    }
    void TearDown() override {
        CloseReaderPort();
        ExpectNoOpenSession(regular_);
        ExpectNoOpenSession(secure_);
        StandInTest::TearDown();
    }
};

TEST_F(CallSequenceTest, ReadCardInfoAsksEachProfileInOrder) {
    // The reader's slot second in the list, behind another reader's.
    AddReaderSlot(regular_, kSlotReader1, kReader1);
    AddReaderSlot(regular_, kSlotReader0, kReader0);
    AddCertificate(regular_, kSlotReader0, Rsa(1024).certificate, "a", "a");
    // An uninitialised token: no session, no search.
    AddReaderSlot(secure_, kSlotReader0, kReader0, "T", "S", CKF_USER_PIN_INITIALIZED);
    Load();
    regular_.clear_log();
    secure_.clear_log();
    ASSERT_EQ(OpenReaderPort(kReader0), 0);
    auto info = std::make_unique<CardInfo>();
    ASSERT_EQ(ReadCardInfo(kReader0, info.get()), 0);
    ASSERT_EQ(+info->profileCount, 2);

    const std::vector<std::string> regular = {
        "C_GetSlotList tokenPresent=1 list=NULL in=0",
        "C_GetSlotList tokenPresent=0 list=NULL in=0",
        "C_GetSlotList tokenPresent=0 list=set in=2",
        "C_GetSlotInfo slot=0x3",
        "C_GetSlotInfo slot=0x7",
        "C_GetTokenInfo slot=0x7",
        "C_OpenSession slot=0x7 flags=0x6 app=0x11 notify=NULL",
        "C_FindObjectsInit count=2 template=[0x80:8=0000000000000000,0x0:8=0100000000000000]",
        "C_FindObjects max=1",
        "C_FindObjects max=1",
        "C_FindObjectsFinal",
        "C_CloseSession",
    };
    EXPECT_EQ(Conversation(regular_), regular) << regular_.Log();
    const std::vector<std::string> secure = {
        "C_GetSlotList tokenPresent=1 list=NULL in=0",
        "C_GetSlotList tokenPresent=0 list=NULL in=0",
        "C_GetSlotList tokenPresent=0 list=set in=1",
        "C_GetSlotInfo slot=0x7",
        "C_GetTokenInfo slot=0x7",
    };
    EXPECT_EQ(Conversation(secure_), secure) << secure_.Log();
}

TEST_F(CallSequenceTest, ListingsReadLengthsThenValues) {
    AddReaderSlot(secure_, kSlotReader0, kReader0);
    AddRsaKey(secure_, kSlotReader0, Rsa(1024), "k", "key");
    AddCertificate(secure_, kSlotReader0, Rsa(1024).certificate, "c", "cert");
    Load();
    ASSERT_EQ(BindProfileToReader(PROFILE_KIND_SECURE, kReader0), 0);
    secure_.clear_log();

    PublicKeyInfoList keys;
    ASSERT_EQ(ListPublicKeys(PROFILE_KIND_SECURE, &keys), 0);
    ASSERT_EQ(+keys.count, 1);
    const std::vector<std::string> keyCalls = {
        "C_OpenSession slot=0x7 flags=0x6 app=0x11 notify=NULL",
        "C_FindObjectsInit count=2 template=[0x100:8=0000000000000000,0x0:8=0200000000000000]",
        "C_FindObjects max=1",
        "C_FindObjects max=1",
        "C_FindObjectsFinal",
        // CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_ID, CKA_LABEL: lengths, then values.
        "C_GetAttributeValue template=[0x120:NULL,0x122:NULL,0x102:NULL,0x3:NULL]",
        "C_GetAttributeValue template=[0x120:128,0x122:" +
            std::to_string(Rsa(1024).exponent.size()) + ",0x102:1,0x3:3]",
        "C_CloseSession",
    };
    EXPECT_EQ(Conversation(secure_), keyCalls) << secure_.Log();

    secure_.clear_log();
    auto certs = std::make_unique<CertificateInfoList>();
    ASSERT_EQ(ListCertificates(PROFILE_KIND_SECURE, certs.get()), 0);
    ASSERT_EQ(+certs->count, 1);
    const std::vector<std::string> certCalls = {
        "C_OpenSession slot=0x7 flags=0x6 app=0x11 notify=NULL",
        "C_FindObjectsInit count=2 template=[0x80:8=0000000000000000,0x0:8=0100000000000000]",
        "C_FindObjects max=1",
        "C_FindObjects max=1",
        "C_FindObjectsFinal",
        // CKA_VALUE, CKA_ID, CKA_LABEL.
        "C_GetAttributeValue template=[0x11:NULL,0x102:NULL,0x3:NULL]",
        "C_GetAttributeValue template=[0x11:" + std::to_string(Rsa(1024).certificate.size()) +
            ",0x102:1,0x3:4]",
        "C_CloseSession",
    };
    EXPECT_EQ(Conversation(secure_), certCalls) << secure_.Log();
}

// Reader names longer than the layer's 128-byte fields are cut, never
// written past them.
TEST_F(CallSequenceTest, LongReaderNamesAreBounded) {
    AddReaderSlot(regular_, kSlotReader0, kReader0);
    AddReaderSlot(secure_, kSlotReader0, kReader0);
    Load();
    for (size_t length : {size_t{127}, size_t{128}, size_t{300}}) {
        const std::string name(length, 'N');
        ASSERT_EQ(OpenReaderPort(name.c_str()), 0);
        EXPECT_EQ(std::string(readerPortName), name.substr(0, 127)) << length;
        auto info = std::make_unique<CardInfo>();
        // No slot carries the name: both profiles are left out, the rest holds.
        EXPECT_EQ(ReadCardInfo(name.c_str(), info.get()), 0);
        EXPECT_EQ(+info->profileCount, 0);
        EXPECT_EQ(std::string(info->readerName), name.substr(0, 127)) << length;
        EXPECT_EQ(profileLibraries[0].lastRv, static_cast<uint64_t>(int64_t{CARDLIB_ERR_NO_SLOT}));
        CloseReaderPort();
    }
}

}  // namespace
}  // namespace tokentest
