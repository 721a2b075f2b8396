// Token administration against the stand-in libraries: PIN and PUK changes,
// token initialisation, deleting by ID, and the two imports, with the exact
// PKCS#11 calls each makes and what the token holds afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/token/StandIns.h"

namespace tokentest {
namespace {

const char kUserPin[] = "1234";
const char kSoPin[] = "12345678";
const char kImportLabel[] = "Import przez Vantrelon Card Manag";  // 33 bytes

const uint8_t* U(const char* s) { return reinterpret_cast<const uint8_t*>(s); }

Bytes ULongValue(CK_ULONG v) {
    Bytes b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}
const Bytes kTrue = {1};

using Handles = std::vector<CK_OBJECT_HANDLE>;

class AdminTest : public StandInTest {
protected:
    void SetUp() override {
        StandInTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(AddToken(secure_, kSlotReader0, kReader0));
        // Another reader's token, which no operation may touch.
        ASSERT_NO_FATAL_FAILURE(AddToken(secure_, kSlotReader1, kReader1));
    }
    void TearDown() override {
        ExpectNoOpenSession(secure_);
        ExpectNoOpenSession(regular_);
        for (P11StandControl* lib : {&secure_, &regular_}) {
            // Closing the session ends the login; the layer never logs out.
            EXPECT_EQ(lib->call_count("C_Logout"), 0u);
            EXPECT_EQ(lib->call_count("C_Finalize"), 0u);
            for (const std::string& line : LogLines(*lib, "C_OpenSession")) {
                EXPECT_NE(line.find("flags=0x6 app=0x11 notify=NULL"), std::string::npos) << line;
            }
        }
        // The other reader's token is as it was made.
        EXPECT_EQ(Objects(kSlotReader1), otherObjects_);
        EXPECT_EQ(secure_.login_state(kSlotReader1), -1);
        StandInTest::TearDown();
    }

    void AddToken(P11StandControl& lib, CK_SLOT_ID slot, const char* reader, CK_ULONG userTries = 3,
                  CK_ULONG soTries = 10, CK_FLAGS extraFlags = 0) {
        lib.add_slot(slot, reader);  // -1 when it exists: only the token is replaced
        P11StandToken token;
        lib.token_defaults(&token);
        token.label = "Token";
        token.userPin = kUserPin;
        token.soPin = kSoPin;
        token.userPinTries = userTries;
        token.soPinTries = soTries;
        token.flags = CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED | extraFlags;
        ASSERT_EQ(lib.set_token(slot, &token), 0);
        if (&lib == &secure_ && slot == kSlotReader1) {
            AddRsaKey(lib, slot, Rsa(1024), "A", "other");
            AddCertificate(lib, slot, Rsa(1024).certificate, "A", "other");
            lib.add_rsa_private_key(slot, Rsa(1024).modulus.data(), Rsa(1024).modulus.size(),
                                    U("A"), 1, "other", 5);
            otherObjects_ = Objects(slot);
        }
    }

    // Loads the registry, binds the secure profile to the reader and clears
    // the call log, so that it holds the operation's calls only.
    void Bind() {
        Load();
        ASSERT_EQ(BindProfileToReader(PROFILE_KIND_SECURE, kReader0), 0);
        ASSERT_EQ(profileLibraries[1].slot, kSlotReader0);
        secure_.clear_log();
    }

    Handles Objects(CK_SLOT_ID slot) {
        Handles out(64);
        out.resize(secure_.object_handles(slot, out.data(), out.size()));
        return out;
    }

    // An attribute of any object, read past login and sensitivity; empty
    // optional-like: found = false when the object lacks it.
    Bytes Attr(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type, bool* found = nullptr) {
        CK_ULONG length = 0;
        const CK_RV rv = secure_.object_attribute(h, type, nullptr, &length);
        if (found) *found = rv == CKR_OK;
        if (rv != CKR_OK) return {};
        Bytes out(length);
        secure_.object_attribute(h, type, out.data(), &length);
        return out;
    }

    // The function names of the logged calls, in order.
    std::vector<std::string> Calls() {
        std::vector<std::string> out;
        std::istringstream in(secure_.Log());
        std::string line;
        while (std::getline(in, line)) out.push_back(line.substr(0, line.find(' ')));
        return out;
    }

    // The attribute types and lengths of each C_CreateObject, in order.
    std::vector<std::vector<std::pair<CK_ATTRIBUTE_TYPE, CK_ULONG>>> CreateTemplates() {
        static const std::regex attribute("0x([0-9a-f]+):([0-9]+)=");
        std::vector<std::vector<std::pair<CK_ATTRIBUTE_TYPE, CK_ULONG>>> out;
        for (const std::string& line : LogLines(secure_, "C_CreateObject")) {
            const std::string templ = line.substr(line.find("template="));
            std::vector<std::pair<CK_ATTRIBUTE_TYPE, CK_ULONG>> one;
            for (std::sregex_iterator it(templ.begin(), templ.end(), attribute), end; it != end;
                 ++it) {
                one.emplace_back(std::stoul((*it)[1], nullptr, 16), std::stoul((*it)[2]));
            }
            out.push_back(one);
        }
        return out;
    }

    // Logs in with the PIN on a session of its own; true when accepted.
    bool PinAccepted(CK_USER_TYPE user, const char* pin) {
        CK_FUNCTION_LIST* f = profileLibraries[1].functions;
        CK_SESSION_HANDLE s = 0;
        if (f->C_OpenSession(kSlotReader0, CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr, nullptr,
                             &s) != CKR_OK) {
            return false;
        }
        const CK_RV rv = f->C_Login(
            s, user, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)), std::strlen(pin));
        f->C_CloseSession(s);
        secure_.clear_log();
        return rv == CKR_OK;
    }

    uint64_t LastError() {
        uint64_t rv = 0xdeadbeef;
        EXPECT_EQ(GetProfileLastError(PROFILE_KIND_SECURE, &rv), 0);
        EXPECT_EQ(rv, profileLibraries[1].lastRv);
        return rv;
    }

    Handles otherObjects_;
};

// ---------------------------------------------------------------------------
// PIN, PUK and token initialisation
// ---------------------------------------------------------------------------

enum class PinOp { Unblock, Initialize, ChangePuk, ChangePin };

int RunPinOp(PinOp op, int kind, const char* a, const char* b) {
    switch (op) {
        case PinOp::Unblock:
            return UnblockPin(kind, a, b);
        case PinOp::Initialize:
            return InitializeToken(kind, a, b);
        case PinOp::ChangePuk:
            return ChangePuk(kind, a, b);
        case PinOp::ChangePin:
            return ChangePin(kind, a, b);
    }
    return 0;
}

struct PinCase {
    const char* name;
    PinOp op;
    const char* first;   // the PUK or the old PIN
    const char* second;  // the new PIN
    CK_ULONG userTries;
    CK_ULONG soTries;
    CK_FLAGS extraFlags;
    const char* faultFunction;  // nullptr: none
    CK_RV faultRv;
    int rc;
    uint64_t lastRv;
    std::vector<std::string> calls;
    // After the operation: this PIN of this user is accepted (user -1: none).
    long acceptedUser;
    const char* acceptedPin;
};

const std::vector<std::string> kSessionSetPin = {"C_OpenSession", "C_Login", "C_SetPIN",
                                                 "C_CloseSession"};
const std::vector<std::string> kSessionInitPin = {"C_OpenSession", "C_Login", "C_InitPIN",
                                                  "C_CloseSession"};
const std::vector<std::string> kWrongLogin = {"C_OpenSession", "C_Login", "C_CloseSession",
                                              "C_GetTokenInfo"};
const std::vector<std::string> kNoCall = {};
// One search and nothing after it.
const std::vector<std::string> kSearchCalls = {"C_OpenSession",      "C_Login",
                                               "C_FindObjectsInit",  "C_FindObjects",
                                               "C_FindObjectsFinal", "C_CloseSession"};
const std::vector<std::string> kInitThenInitPin = {
    "C_GetTokenInfo", "C_InitToken", "C_OpenSession", "C_Login", "C_InitPIN", "C_CloseSession"};

std::vector<PinCase> PinCases() {
    const long so = CKU_SO, user = CKU_USER, none = -1;
    return {
        {"UnblockSetsUserPin", PinOp::Unblock, kSoPin, "5678", 3, 10, 0, nullptr, 0, 0, 0,
         kSessionInitPin, user, "5678"},
        {"UnblockLockedPin", PinOp::Unblock, kSoPin, "5678", 3, 10, CKF_USER_PIN_LOCKED, nullptr, 0,
         0, 0, kSessionInitPin, user, "5678"},
        {"UnblockWrongPukLeavesTries", PinOp::Unblock, "87654321", "5678", 3, 10, 0, nullptr, 0,
         CARDLIB_ERR_PKCS11, CKR_PIN_INCORRECT, kWrongLogin, user, kUserPin},
        {"UnblockWrongPukBlocksIt", PinOp::Unblock, "87654321", "5678", 3, 1, 0, nullptr, 0,
         CARDLIB_ERR_PKCS11, CKR_PIN_LOCKED, kWrongLogin, user, kUserPin},
        {"UnblockPukAlreadyBlocked", PinOp::Unblock, kSoPin, "5678", 3, 10, CKF_SO_PIN_LOCKED,
         nullptr, 0, CARDLIB_ERR_PKCS11, CKR_PIN_LOCKED,
         {"C_OpenSession", "C_Login", "C_CloseSession"}, user, kUserPin},
        {"UnblockNewPinRefused", PinOp::Unblock, kSoPin, "56", 3, 10, 0, nullptr, 0,
         CARDLIB_ERR_PKCS11, CKR_PIN_LEN_RANGE, kSessionInitPin, user, kUserPin},
        // A PIN not given never reaches the token, so it costs no try.
        {"UnblockNullNewPin", PinOp::Unblock, kSoPin, nullptr, 3, 10, 0, nullptr, 0,
         CARDLIB_ERR_PKCS11, CKR_ARGUMENTS_BAD, kNoCall, user, kUserPin},
        {"UnblockInitPinVendorCode", PinOp::Unblock, kSoPin, "5678", 3, 10, 0, "C_InitPIN",
         0x80000055UL, CARDLIB_ERR_PKCS11, 0x80000055UL, kSessionInitPin, user, kUserPin},
        {"UnblockOpenSessionFails", PinOp::Unblock, kSoPin, "5678", 3, 10, 0, "C_OpenSession",
         CKR_SESSION_COUNT, CARDLIB_ERR_PKCS11, CKR_SESSION_COUNT, {"C_OpenSession"}, user,
         kUserPin},
        {"UnblockNullPukOnLastTry", PinOp::Unblock, nullptr, "5678", 3, 1, 0, nullptr, 0,
         CARDLIB_ERR_PKCS11, CKR_ARGUMENTS_BAD, kNoCall, so, kSoPin},

        {"ChangePin", PinOp::ChangePin, kUserPin, "4321", 3, 10, 0, nullptr, 0, 0, 0,
         kSessionSetPin, user, "4321"},
        {"ChangePinWrongOldLeavesTries", PinOp::ChangePin, "9999", "4321", 3, 10, 0, nullptr, 0,
         CARDLIB_ERR_PKCS11, CKR_PIN_INCORRECT, kWrongLogin, user, kUserPin},
        {"ChangePinWrongOldBlocksIt", PinOp::ChangePin, "9999", "4321", 1, 10, 0, nullptr, 0,
         CARDLIB_ERR_PKCS11, CKR_PIN_LOCKED, kWrongLogin, none, nullptr},
        {"ChangePinNewRefused", PinOp::ChangePin, kUserPin, "1", 3, 10, 0, nullptr, 0,
         CARDLIB_ERR_PKCS11, CKR_PIN_LEN_RANGE, kSessionSetPin, user, kUserPin},
        {"ChangePinSetPinVendorCode", PinOp::ChangePin, kUserPin, "4321", 3, 10, 0, "C_SetPIN",
         0xFFFFFFFF80000000UL, CARDLIB_ERR_PKCS11, 0xFFFFFFFF80000000UL, kSessionSetPin, user,
         kUserPin},
        {"ChangePinNullOldOnLastTry", PinOp::ChangePin, nullptr, "4321", 1, 10, 0, nullptr, 0,
         CARDLIB_ERR_PKCS11, CKR_ARGUMENTS_BAD, kNoCall, user, kUserPin},
        {"ChangePinNullNew", PinOp::ChangePin, kUserPin, nullptr, 3, 10, 0, nullptr, 0,
         CARDLIB_ERR_PKCS11, CKR_ARGUMENTS_BAD, kNoCall, user, kUserPin},
        {"ChangePukNullNew", PinOp::ChangePuk, kSoPin, nullptr, 3, 10, 0, nullptr, 0,
         CARDLIB_ERR_PKCS11, CKR_ARGUMENTS_BAD, kNoCall, so, kSoPin},
        // The PUK's lock does not count for the PIN.
        {"ChangePinWrongOldPukLocked", PinOp::ChangePin, "9999", "4321", 3, 10, CKF_SO_PIN_LOCKED,
         nullptr, 0, CARDLIB_ERR_PKCS11, CKR_PIN_INCORRECT, kWrongLogin, user, kUserPin},

        {"ChangePuk", PinOp::ChangePuk, kSoPin, "87654321", 3, 10, 0, nullptr, 0, 0, 0,
         kSessionSetPin, so, "87654321"},
        {"ChangePukWrongOldBlocksIt", PinOp::ChangePuk, "11111111", "87654321", 3, 1, 0, nullptr, 0,
         CARDLIB_ERR_PKCS11, CKR_PIN_LOCKED, kWrongLogin, user, kUserPin},
        // The user PIN's lock does not count for the PUK.
        {"ChangePukWrongOldUserLocked", PinOp::ChangePuk, "11111111", "87654321", 3, 10,
         CKF_USER_PIN_LOCKED, nullptr, 0, CARDLIB_ERR_PKCS11, CKR_PIN_INCORRECT, kWrongLogin, so,
         kSoPin},
        {"ChangePukWrongOldTokenInfoFails", PinOp::ChangePuk, "11111111", "87654321", 3, 1, 0,
         "C_GetTokenInfo", CKR_DEVICE_ERROR, CARDLIB_ERR_PKCS11, CKR_DEVICE_ERROR, kWrongLogin,
         user, kUserPin},
        {"ChangePukSetPinFails", PinOp::ChangePuk, kSoPin, "87654321", 3, 10, 0, "C_SetPIN",
         CKR_DEVICE_ERROR, CARDLIB_ERR_PKCS11, CKR_DEVICE_ERROR, kSessionSetPin, so, kSoPin},

        {"InitializeToken", PinOp::Initialize, kSoPin, "2468", 3, 10, 0, nullptr, 0, 0, 0,
         kInitThenInitPin, user, "2468"},
        {"InitializeTokenWithBlockedPin", PinOp::Initialize, kSoPin, "2468", 3, 10,
         CKF_USER_PIN_LOCKED, nullptr, 0, 0, 0, kInitThenInitPin, user, "2468"},
        // The rule for a wrong PIN at login does not apply to C_InitToken.
        {"InitializeTokenWrongPuk", PinOp::Initialize, "87654321", "2468", 3, 1, 0, nullptr, 0,
         CARDLIB_ERR_PKCS11, CKR_PIN_INCORRECT, {"C_GetTokenInfo", "C_InitToken"}, user, kUserPin},
        {"InitializeTokenInfoFails", PinOp::Initialize, kSoPin, "2468", 3, 10, 0, "C_GetTokenInfo",
         CKR_TOKEN_NOT_PRESENT, CARDLIB_ERR_PKCS11, CKR_TOKEN_NOT_PRESENT, {"C_GetTokenInfo"}, user,
         kUserPin},
        {"InitializeTokenRefused", PinOp::Initialize, kSoPin, "2468", 3, 10, 0, "C_InitToken",
         0x80001234UL, CARDLIB_ERR_PKCS11, 0x80001234UL, {"C_GetTokenInfo", "C_InitToken"}, user,
         kUserPin},
        {"InitializeTokenNullPuk", PinOp::Initialize, nullptr, "2468", 3, 1, 0, nullptr, 0,
         CARDLIB_ERR_PKCS11, CKR_ARGUMENTS_BAD, kNoCall, so, kSoPin},
        // The token is not wiped when its new user PIN is missing.
        {"InitializeTokenNullNewPin", PinOp::Initialize, kSoPin, nullptr, 3, 10, 0, nullptr, 0,
         CARDLIB_ERR_PKCS11, CKR_ARGUMENTS_BAD, kNoCall, user, kUserPin},
        {"InitializeTokenNewPinRefused", PinOp::Initialize, kSoPin, "2", 3, 10, 0, nullptr, 0,
         CARDLIB_ERR_PKCS11, CKR_PIN_LEN_RANGE, kInitThenInitPin, so, kSoPin},
    };
}

class PinTest : public AdminTest, public ::testing::WithParamInterface<PinCase> {};

TEST_P(PinTest, Result) {
    const PinCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(
        AddToken(secure_, kSlotReader0, kReader0, c.userTries, c.soTries, c.extraFlags));
    AddRsaKey(secure_, kSlotReader0, Rsa(1024), "k", "key");
    Bind();
    if (c.faultFunction) {
        secure_.fail(c.faultFunction, secure_.call_count(c.faultFunction) + 1, c.faultRv);
    }
    profileLibraries[1].lastRv = 0x77;  // cleared by every operation

    EXPECT_EQ(RunPinOp(c.op, PROFILE_KIND_SECURE, c.first, c.second), c.rc);
    EXPECT_EQ(profileLibraries[1].lastRv, c.lastRv);
    EXPECT_EQ(LastError(), c.lastRv);
    EXPECT_EQ(Calls(), c.calls);
    ExpectNoOpenSession(secure_);

    // Who logged in: the PUK is the token's SO PIN.
    const bool withSo =
        c.op == PinOp::Unblock || c.op == PinOp::Initialize || c.op == PinOp::ChangePuk;
    // A PIN as the library sees it: its text and strlen.
    auto pinArg = [](const char* pin) {
        const std::string text = pin ? pin : "";
        return "\"" + text + "\" len=" + std::to_string(text.size());
    };
    for (const std::string& line : LogLines(secure_, "C_Login")) {
        EXPECT_NE(line.find(withSo ? " user=0 " : " user=1 "), std::string::npos) << line;
        EXPECT_NE(line.find(" pin=" + pinArg(c.first)), std::string::npos) << line;
    }
    for (const std::string& line : LogLines(secure_, "C_SetPIN")) {
        // The old PIN and the new one, each with its own length.
        const std::string expected = "old=" + pinArg(c.first) + " new=" + pinArg(c.second);
        EXPECT_NE(line.find(expected), std::string::npos) << line;
    }
    for (const std::string& line : LogLines(secure_, "C_InitPIN")) {
        EXPECT_NE(line.find(" pin=" + pinArg(c.second)), std::string::npos) << line;
    }
    for (const std::string& line : LogLines(secure_, "C_InitToken")) {
        // On the bound slot with the PUK, keeping the token's current
        // 32-byte label.
        EXPECT_NE(line.find("slot=0x7 pin=" + pinArg(c.first) + " "), std::string::npos) << line;
        EXPECT_NE(line.find("label=\"Token" + std::string(27, ' ') + "\""), std::string::npos)
            << line;
    }

    if (c.acceptedUser != -1) {
        EXPECT_TRUE(PinAccepted(static_cast<CK_USER_TYPE>(c.acceptedUser), c.acceptedPin));
    } else {
        EXPECT_TRUE(secure_.token_flags(kSlotReader0) & CKF_USER_PIN_LOCKED);
    }
}

INSTANTIATE_TEST_SUITE_P(Pins, PinTest, ::testing::ValuesIn(PinCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Every operation: unknown kinds, a library that is not initialised, an
// unbound profile
// ---------------------------------------------------------------------------

struct AdminOp {
    const char* name;
    std::function<int(int kind, CertificateInfoList* out)> run;
};

std::vector<AdminOp> AdminOps() {
    return {
        {"UnblockPin", [](int k, CertificateInfoList*) { return UnblockPin(k, kSoPin, "5678"); }},
        {"InitializeToken",
         [](int k, CertificateInfoList*) { return InitializeToken(k, kSoPin, "5678"); }},
        {"ChangePuk", [](int k, CertificateInfoList*) { return ChangePuk(k, kSoPin, "87654321"); }},
        {"ChangePin", [](int k, CertificateInfoList*) { return ChangePin(k, kUserPin, "4321"); }},
        {"DeleteObjectsById",
         [](int k, CertificateInfoList*) { return DeleteObjectsById(k, U("A"), 1, kUserPin); }},
        {"ImportCertificate",
         [](int k, CertificateInfoList* out) {
             const Bytes& der = Rsa(1024).certificate;
             return ImportCertificate(k, der.data(), der.size(), kUserPin, out);
         }},
        {"ImportKeyAndCertificate",
         [](int k, CertificateInfoList* out) {
             const RsaKey& key = Rsa(1024);
             return ImportKeyAndCertificate(k, key.certificate.data(), key.certificate.size(),
                                            key.pkcs8.data(), key.pkcs8.size(), kUserPin, out);
         }},
    };
}

class EveryOpTest : public AdminTest, public ::testing::WithParamInterface<AdminOp> {
protected:
    void SetUp() override {
        AdminTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(AddToken(regular_, kSlotReader0, kReader0));
        AddCertificate(secure_, kSlotReader0, Rsa(1024).certificate, "A", "c");
        secure_.add_rsa_private_key(kSlotReader0, Rsa(1024).modulus.data(),
                                    Rsa(1024).modulus.size(), U("A"), 1, "k", 1);
        before_ = Objects(kSlotReader0);
    }
    Handles before_;
};

TEST_P(EveryOpTest, UnknownKind) {
    Bind();
    regular_.clear_log();
    for (int kind : {-1, 0, 3, 4, 5}) {
        profileLibraries[0].lastRv = 0x11;
        profileLibraries[1].lastRv = 0x22;
        auto out = std::make_unique<CertificateInfoList>();
        EXPECT_EQ(GetParam().run(kind, out.get()), CARDLIB_ERR_BAD_PROFILE_KIND) << kind;
        EXPECT_EQ(+out->count, 0);
        EXPECT_EQ(profileLibraries[0].lastRv, 0x11u);
        EXPECT_EQ(profileLibraries[1].lastRv, 0x22u);
        uint64_t rv = 0x5A;
        EXPECT_EQ(GetProfileLastError(kind, &rv), CARDLIB_ERR_UNKNOWN_PROFILE_KIND) << kind;
        EXPECT_EQ(rv, 0x5Au);
    }
    EXPECT_EQ(secure_.log_count(), 0u);
    EXPECT_EQ(regular_.log_count(), 0u);
}

TEST_P(EveryOpTest, LibraryNotInitialised) {
    regular_.set_initialized(1);  // its C_Initialize answers 0x191
    Load();
    ASSERT_EQ(profileLibraries[0].initialized, 0);
    regular_.clear_log();
    auto out = std::make_unique<CertificateInfoList>();
    EXPECT_EQ(GetParam().run(PROFILE_KIND_REGULAR, out.get()), CARDLIB_ERR_PKCS11);
    EXPECT_EQ(profileLibraries[0].lastRv, CKR_CRYPTOKI_NOT_INITIALIZED);
    uint64_t rv = 0;
    EXPECT_EQ(GetProfileLastError(PROFILE_KIND_REGULAR, &rv), 0);
    EXPECT_EQ(rv, CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(regular_.log_count(), 0u);
    EXPECT_EQ(+out->count, 0);
}

// A profile whose binding failed must not work on the card of the reader
// bound before.
TEST_P(EveryOpTest, UnboundProfile) {
    Load();
    ASSERT_EQ(BindProfileToReader(PROFILE_KIND_SECURE, kReader1), 0);
    ASSERT_EQ(BindProfileToReader(PROFILE_KIND_SECURE, "Virtual PCD 00 02"), 0);
    ASSERT_EQ(profileLibraries[1].slot, CARDLIB_NO_SLOT_BOUND);
    secure_.clear_log();
    auto out = std::make_unique<CertificateInfoList>();
    EXPECT_EQ(GetParam().run(PROFILE_KIND_SECURE, out.get()), CARDLIB_ERR_PKCS11);
    EXPECT_EQ(LastError(), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(secure_.log_count(), 0u);
    EXPECT_EQ(+out->count, 0);
    EXPECT_EQ(Objects(kSlotReader0), before_);
}

INSTANTIATE_TEST_SUITE_P(Ops, EveryOpTest, ::testing::ValuesIn(AdminOps()),
                         [](const auto& info) { return std::string(info.param.name); });

// The operations with the user's PIN refuse a missing one before the token is
// asked anything: on the PIN's last try nothing is lost.
TEST_F(AdminTest, NullUserPinRefused) {
    ASSERT_NO_FATAL_FAILURE(AddToken(secure_, kSlotReader0, kReader0, 1));
    const RsaKey& key = Rsa(1024);
    AddCertificate(secure_, kSlotReader0, key.certificate, "A", "c");
    secure_.add_rsa_private_key(kSlotReader0, key.modulus.data(), key.modulus.size(), U("A"), 1,
                                "k", 1);
    const Handles before = Objects(kSlotReader0);
    Bind();
    const struct {
        const char* name;
        std::function<int(CertificateInfoList*)> run;
    } cases[] = {
        {"DeleteObjectsById",
         [](CertificateInfoList*) {
             return DeleteObjectsById(PROFILE_KIND_SECURE, U("A"), 1, nullptr);
         }},
        {"ImportCertificate",
         [&](CertificateInfoList* out) {
             return ImportCertificate(PROFILE_KIND_SECURE, key.certificate.data(),
                                      key.certificate.size(), nullptr, out);
         }},
        {"ImportKeyAndCertificate",
         [&](CertificateInfoList* out) {
             return ImportKeyAndCertificate(PROFILE_KIND_SECURE, key.certificate.data(),
                                            key.certificate.size(), key.pkcs8.data(),
                                            key.pkcs8.size(), nullptr, out);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto out = std::make_unique<CertificateInfoList>();
        EXPECT_EQ(c.run(out.get()), CARDLIB_ERR_PKCS11);
        EXPECT_EQ(LastError(), CKR_ARGUMENTS_BAD);
        EXPECT_EQ(secure_.log_count(), 0u);
        EXPECT_EQ(+out->count, 0);
        EXPECT_EQ(Objects(kSlotReader0), before);
        EXPECT_TRUE(PinAccepted(CKU_USER, kUserPin));
    }
}

TEST_F(AdminTest, LastErrorOfEachProfileKeptApart) {
    ASSERT_NO_FATAL_FAILURE(AddToken(regular_, kSlotReader0, kReader0));
    Bind();
    ASSERT_EQ(BindProfileToReader(PROFILE_KIND_REGULAR, kReader0), 0);
    EXPECT_EQ(ChangePin(PROFILE_KIND_SECURE, "0000", "4321"), CARDLIB_ERR_PKCS11);
    regular_.fail("C_OpenSession", 0, 0xFFFFFFFFFFFFFFF0UL);
    EXPECT_EQ(ChangePin(PROFILE_KIND_REGULAR, kUserPin, "4321"), CARDLIB_ERR_PKCS11);
    const struct {
        int kind;
        uint64_t rv;
    } cases[] = {{PROFILE_KIND_SECURE, CKR_PIN_INCORRECT},
                 {PROFILE_KIND_REGULAR, 0xFFFFFFFFFFFFFFF0UL}};
    for (const auto& c : cases) {
        uint64_t rv = 0;
        EXPECT_EQ(GetProfileLastError(c.kind, &rv), 0);
        EXPECT_EQ(rv, c.rv) << c.kind;
    }
    // Reading it changes nothing, and a NULL destination is not written.
    EXPECT_EQ(GetProfileLastError(PROFILE_KIND_SECURE, nullptr), 0);
    EXPECT_EQ(profileLibraries[1].lastRv, CKR_PIN_INCORRECT);
    // The next operation clears it.
    EXPECT_EQ(ChangePin(PROFILE_KIND_SECURE, kUserPin, "4321"), 0);
    EXPECT_EQ(LastError(), 0u);
}

// ---------------------------------------------------------------------------
// DeleteObjectsById
// ---------------------------------------------------------------------------

// The token's objects by name, in the order they are made.
const char* const kObjectNames[] = {"certC", "pubD", "privD", "certA", "pubA", "privA",
                                    "ecA",   "data", "certB", "pubB",  "privB"};

struct DeleteCase {
    const char* name;
    const char* id;  // nullptr: no ID
    const char* pin;
    const char* faultFunction;
    unsigned long faultCall;
    CK_RV faultRv;
    int rc;
    uint64_t lastRv;
    std::vector<std::string> destroyed;  // in the order of destruction
};

std::vector<DeleteCase> DeleteCases() {
    return {
        {"KeyPairWithCertificate", "A", kUserPin, nullptr, 0, 0, 0, 0, {"certA", "pubA", "privA"}},
        {"AnotherId", "B", kUserPin, nullptr, 0, 0, 0, 0, {"certB", "pubB", "privB"}},
        {"CertificateWithoutKeys", "C", kUserPin, nullptr, 0, 0, 0, 0, {"certC"}},
        {"KeysWithoutCertificate", "D", kUserPin, nullptr, 0, 0, CARDLIB_ERR_NO_CERTIFICATE, 0, {}},
        {"UnknownId", "Z", kUserPin, nullptr, 0, 0, CARDLIB_ERR_NO_CERTIFICATE, 0, {}},
        {"WrongPin", "A", "0000", nullptr, 0, 0, CARDLIB_ERR_PKCS11, CKR_PIN_INCORRECT, {}},
        {"CertificateSearchFails", "A", kUserPin, "C_FindObjectsInit", 1, CKR_DEVICE_ERROR,
         CARDLIB_ERR_PKCS11, CKR_DEVICE_ERROR, {}},
        // What was destroyed before a failure stays destroyed.
        {"PublicKeySearchFails", "A", kUserPin, "C_FindObjects", 3, CKR_DEVICE_MEMORY,
         CARDLIB_ERR_PKCS11, CKR_DEVICE_MEMORY, {"certA"}},
        {"PrivateKeySearchFails", "A", kUserPin, "C_FindObjectsInit", 3, 0x80000009UL,
         CARDLIB_ERR_PKCS11, 0x80000009UL, {"certA", "pubA"}},
        {"CertificateRefusesDestruction", "A", kUserPin, "C_DestroyObject", 1,
         CKR_ACTION_PROHIBITED, CARDLIB_ERR_PKCS11, CKR_ACTION_PROHIBITED, {}},
        {"PublicKeyRefusesDestruction", "A", kUserPin, "C_DestroyObject", 2, CKR_ACTION_PROHIBITED,
         CARDLIB_ERR_PKCS11, CKR_ACTION_PROHIBITED, {"certA"}},
        {"PrivateKeyRefusesDestruction", "A", kUserPin, "C_DestroyObject", 3, CKR_DEVICE_ERROR,
         CARDLIB_ERR_PKCS11, CKR_DEVICE_ERROR, {"certA", "pubA"}},
    };
}

constexpr unsigned long kMaxPerSearch = 15;

class DeleteTest : public AdminTest, public ::testing::WithParamInterface<DeleteCase> {
protected:
    // Each search goes on asking for one more handle until the token has no
    // more or `max` are held: matches + 1 calls below max, max calls above.
    void ExpectSearchesAskFor(unsigned long max) {
        static const std::regex matches(" matches=([0-9]+) ");
        std::istringstream in(secure_.Log());
        std::string line;
        long expected = -1;
        unsigned long asked = 0;
        int searches = 0;
        while (std::getline(in, line)) {
            std::smatch m;
            if (line.rfind("C_FindObjectsInit ", 0) == 0 && std::regex_search(line, m, matches)) {
                const unsigned long n = std::stoul(m[1]);
                expected = static_cast<long>(n < max ? n + 1 : max);
                asked = 0;
            } else if (line.rfind("C_FindObjects ", 0) == 0) {
                ++asked;
            } else if (line.rfind("C_FindObjectsFinal ", 0) == 0) {
                EXPECT_EQ(static_cast<long>(asked), expected) << "search " << searches;
                ++searches;
            }
        }
        EXPECT_GT(searches, 0);
    }

    void SetUp() override {
        AdminTest::SetUp();
        const RsaKey& a = Rsa(1024);
        const RsaKey& b = Rsa(2048);
        auto priv = [&](const RsaKey& k, const char* id) {
            return secure_.add_rsa_private_key(kSlotReader0, k.modulus.data(), k.modulus.size(),
                                               U(id), 1, "priv", 4);
        };
        handles_["certC"] = AddCertificate(secure_, kSlotReader0, b.certificate, "C", "cert");
        handles_["pubD"] = AddRsaKey(secure_, kSlotReader0, b, "D", "pub");
        handles_["privD"] = priv(b, "D");
        handles_["certA"] = AddCertificate(secure_, kSlotReader0, a.certificate, "A", "cert");
        handles_["pubA"] = AddRsaKey(secure_, kSlotReader0, a, "A", "pub");
        handles_["privA"] = priv(a, "A");
        handles_["ecA"] = secure_.add_ec_public_key(kSlotReader0, U("A"), 1, "ec", 2);
        handles_["data"] = secure_.add_data_object(kSlotReader0, "A", 1, U("A"), 1);
        handles_["certB"] = AddCertificate(secure_, kSlotReader0, a.certificate, "B", "cert");
        handles_["pubB"] = AddRsaKey(secure_, kSlotReader0, a, "B", "pub");
        handles_["privB"] = priv(a, "B");
    }
    std::map<std::string, CK_OBJECT_HANDLE> handles_;
};

TEST_P(DeleteTest, Result) {
    const DeleteCase& c = GetParam();
    Bind();
    if (c.faultFunction) {
        secure_.fail(c.faultFunction, secure_.call_count(c.faultFunction) + c.faultCall, c.faultRv);
    }
    profileLibraries[1].lastRv = 0x99;
    const uint8_t* id = c.id ? U(c.id) : nullptr;
    // The length is ignored without an ID.
    const uint64_t idLength = c.id ? std::strlen(c.id) : 77;
    EXPECT_EQ(DeleteObjectsById(PROFILE_KIND_SECURE, id, idLength, c.pin), c.rc);
    EXPECT_EQ(LastError(), c.lastRv);

    Handles expectedLeft;
    for (const char* name : kObjectNames) {
        if (std::find(c.destroyed.begin(), c.destroyed.end(), name) == c.destroyed.end()) {
            expectedLeft.push_back(handles_[name]);
        }
    }
    EXPECT_EQ(Objects(kSlotReader0), expectedLeft);
    std::vector<std::string> destroyLines;
    for (const std::string& name : c.destroyed) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "object=0x%lx -> 0x0", handles_[name]);
        destroyLines.push_back(buf);
    }
    std::vector<std::string> logged;
    for (const std::string& line : LogLines(secure_, "C_DestroyObject")) {
        if (line.find("(injected)") == std::string::npos) {
            logged.push_back(line.substr(line.find("object=")));
        }
    }
    EXPECT_EQ(logged, destroyLines);

    // Each search asks for at most 15 handles, one at a time, and carries the
    // ID only when one is given.
    char idAttribute[16] = "]";
    if (c.id) std::snprintf(idAttribute, sizeof idAttribute, ",0x102:1=%02x]", c.id[0]);
    const std::vector<std::string> templates = {
        "count=" + std::string(c.id ? "3" : "2") +
            " template=[0x80:8=0000000000000000,0x0:8=0100000000000000" + idAttribute,
        "count=" + std::string(c.id ? "3" : "2") +
            " template=[0x100:8=0000000000000000,0x0:8=0200000000000000" + idAttribute,
        "count=" + std::string(c.id ? "3" : "2") +
            " template=[0x100:8=0000000000000000,0x0:8=0300000000000000" + idAttribute,
    };
    const auto inits = LogLines(secure_, "C_FindObjectsInit");
    ASSERT_LE(inits.size(), 3u);
    for (size_t i = 0; i < inits.size(); ++i) {
        EXPECT_NE(inits[i].find(templates[i]), std::string::npos) << inits[i];
    }
    for (const std::string& line : LogLines(secure_, "C_FindObjects")) {
        EXPECT_NE(line.find(" max=1"), std::string::npos) << line;
    }
    if (!c.faultFunction && c.rc != CARDLIB_ERR_PKCS11) ExpectSearchesAskFor(kMaxPerSearch);
    if (c.rc == 0) {
        // Each object is destroyed right after its own search, before the
        // next search begins.
        std::vector<std::string> expected = {"C_OpenSession", "C_Login"};
        for (const char* kind : {"cert", "pub", "priv"}) {
            expected.push_back("C_FindObjectsInit");
            for (const std::string& name : c.destroyed) {
                if (name.rfind(kind, 0) == 0) expected.push_back("C_DestroyObject");
            }
        }
        expected.push_back("C_CloseSession");
        std::vector<std::string> calls = Calls();
        calls.erase(std::remove_if(calls.begin(), calls.end(),
                                   [](const std::string& f) {
                                       return f == "C_FindObjects" || f == "C_FindObjectsFinal";
                                   }),
                    calls.end());
        EXPECT_EQ(calls, expected);
    }
    // Every search that began was ended.
    const bool initRefused = c.faultFunction && std::string(c.faultFunction) == "C_FindObjectsInit";
    EXPECT_EQ(LogLines(secure_, "C_FindObjectsFinal").size(), inits.size() - (initRefused ? 1 : 0));
    if (c.rc == CARDLIB_ERR_NO_CERTIFICATE) {
        EXPECT_EQ(Calls(), kSearchCalls);
    }
    // With the user's PIN: private keys are seen only after a user login.
    const auto logins = LogLines(secure_, "C_Login");
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_NE(logins[0].find(" user=1 "), std::string::npos);
}

// With more certificates than one search takes, the first is still the
// one destroyed, and the search stops at 15.
TEST_F(DeleteTest, SearchStopsAtFifteen) {
    for (int i = 0; i < 17; ++i) {
        AddCertificate(secure_, kSlotReader0, Rsa(1024).certificate, "M", "many");
    }
    const Handles before = Objects(kSlotReader0);
    ASSERT_EQ(before.size(), std::size(kObjectNames) + 17);
    Bind();
    ASSERT_EQ(DeleteObjectsById(PROFILE_KIND_SECURE, U("M"), 1, kUserPin), 0);
    Handles expected = before;
    expected.erase(expected.begin() + std::size(kObjectNames));  // the first "M"
    EXPECT_EQ(Objects(kSlotReader0), expected);
    ExpectSearchesAskFor(kMaxPerSearch);
    EXPECT_EQ(secure_.call_count("C_FindObjects"), kMaxPerSearch + 1 + 1);
}

INSTANTIATE_TEST_SUITE_P(Ids, DeleteTest, ::testing::ValuesIn(DeleteCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Without an ID the first certificate decides: it goes with the keys that
// carry its own CKA_ID, and no other key of the token is touched.
enum class Made { Certificate, CertificateWithoutId, PublicKey, PrivateKey };

struct DeleteFirstCase {
    const char* name;
    std::vector<std::pair<Made, const char*>> objects;  // in the order made
    const char* faultFunction;
    CK_RV faultRv;
    int rc;
    uint64_t lastRv;
    std::vector<size_t> destroyed;  // indexes into objects
    CK_ULONG misreportedIdLength = 0;  // the library's CKA_ID length after the copy
};

std::vector<DeleteFirstCase> DeleteFirstCases() {
    const Made cert = Made::Certificate, pub = Made::PublicKey, priv = Made::PrivateKey;
    return {
        {"LoneCertificateKeepsUnrelatedPair", {{cert, "C"}, {pub, "D"}, {priv, "D"}}, nullptr, 0, 0,
         0, {0}},
        {"CertificateWithItsPair",
         {{pub, "B"}, {priv, "B"}, {cert, "A"}, {cert, "B"}, {pub, "A"}, {priv, "A"}}, nullptr, 0,
         0, 0, {2, 4, 5}},
        {"CertificateWithoutIdAlone",
         {{Made::CertificateWithoutId, ""}, {pub, ""}, {priv, ""}, {pub, "D"}}, nullptr, 0, 0, 0,
         {0}},
        {"CertificateWithEmptyIdAlone", {{cert, ""}, {pub, ""}, {priv, ""}}, nullptr, 0, 0, 0, {0}},
        {"IdUnreadable", {{cert, "A"}, {pub, "A"}, {priv, "A"}}, "C_GetAttributeValue",
         CKR_DEVICE_ERROR, CARDLIB_ERR_PKCS11, CKR_DEVICE_ERROR, {}},
        {"NoCertificate", {{pub, "A"}, {priv, "A"}}, nullptr, 0, CARDLIB_ERR_NO_CERTIFICATE, 0, {}},
        {"IdLongerThanBuffer", {{cert, "A"}, {pub, "A"}, {priv, "A"}}, nullptr, 0,
         CARDLIB_ERR_PKCS11, CKR_BUFFER_TOO_SMALL, {}, 1000},
    };
}

class DeleteFirstTest : public AdminTest, public ::testing::WithParamInterface<DeleteFirstCase> {};

TEST_P(DeleteFirstTest, Result) {
    const DeleteFirstCase& c = GetParam();
    const RsaKey& key = Rsa(1024);
    Handles made;
    for (const auto& o : c.objects) {
        const std::string id = o.second;
        switch (o.first) {
            case Made::Certificate:
                made.push_back(AddCertificate(secure_, kSlotReader0, key.certificate, id, "c"));
                break;
            case Made::CertificateWithoutId: {
                CK_OBJECT_CLASS objectClass = CKO_CERTIFICATE;
                CK_CERTIFICATE_TYPE type = CKC_X_509;
                CK_BBOOL yes = CK_TRUE;
                CK_ATTRIBUTE templ[] = {
                    {CKA_CLASS, &objectClass, sizeof objectClass},
                    {CKA_CERTIFICATE_TYPE, &type, sizeof type},
                    {CKA_TOKEN, &yes, sizeof yes},
                    {CKA_VALUE, const_cast<uint8_t*>(key.certificate.data()),
                     key.certificate.size()},
                };
                made.push_back(secure_.add_object(kSlotReader0, templ, std::size(templ)));
                break;
            }
            case Made::PublicKey:
                made.push_back(AddRsaKey(secure_, kSlotReader0, key, id, "pub"));
                break;
            case Made::PrivateKey:
                made.push_back(secure_.add_rsa_private_key(kSlotReader0, key.modulus.data(),
                                                           key.modulus.size(), U(id.c_str()),
                                                           id.size(), "priv", 4));
                break;
        }
    }
    Bind();
    if (c.faultFunction) {
        secure_.fail(c.faultFunction, secure_.call_count(c.faultFunction) + 1, c.faultRv);
    }
    secure_.misreport_length(CKA_ID, c.misreportedIdLength);
    EXPECT_EQ(DeleteObjectsById(PROFILE_KIND_SECURE, nullptr, 77, kUserPin), c.rc);
    EXPECT_EQ(LastError(), c.lastRv);
    Handles left;
    for (size_t i = 0; i < made.size(); ++i) {
        if (std::find(c.destroyed.begin(), c.destroyed.end(), i) == c.destroyed.end()) {
            left.push_back(made[i]);
        }
    }
    EXPECT_EQ(Objects(kSlotReader0), left);
    // In the order certificate, public key, private key.
    Handles destroyed;
    for (const std::string& line : LogLines(secure_, "C_DestroyObject")) {
        destroyed.push_back(std::stoul(line.substr(line.find("object=0x") + 9), nullptr, 16));
    }
    Handles expected;
    for (size_t i : c.destroyed) expected.push_back(made[i]);
    EXPECT_EQ(destroyed, expected);
}

INSTANTIATE_TEST_SUITE_P(NoId, DeleteFirstTest, ::testing::ValuesIn(DeleteFirstCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Imports
// ---------------------------------------------------------------------------

const std::vector<CK_ATTRIBUTE_TYPE> kCertificateTemplate = {
    CKA_CLASS, CKA_CERTIFICATE_TYPE, CKA_TOKEN, CKA_LABEL, CKA_ID, CKA_VALUE, CKA_SUBJECT};
const std::vector<CK_ATTRIBUTE_TYPE> kPublicTemplate = {
    CKA_LABEL,           CKA_ID,   CKA_CLASS,  CKA_KEY_TYPE, CKA_TOKEN, CKA_MODULUS,
    CKA_PUBLIC_EXPONENT, CKA_WRAP, CKA_ENCRYPT};
const std::vector<CK_ATTRIBUTE_TYPE> kPrivateTemplate = {CKA_LABEL,
                                                         CKA_ID,
                                                         CKA_CLASS,
                                                         CKA_KEY_TYPE,
                                                         CKA_TOKEN,
                                                         CKA_MODULUS,
                                                         CKA_PRIVATE_EXPONENT,
                                                         CKA_PRIME_1,
                                                         CKA_PRIME_2,
                                                         CKA_EXPONENT_1,
                                                         CKA_EXPONENT_2,
                                                         CKA_COEFFICIENT,
                                                         CKA_UNWRAP,
                                                         CKA_DECRYPT,
                                                         CKA_SENSITIVE,
                                                         CKA_EXTRACTABLE,
                                                         CKA_PRIVATE};

std::vector<CK_ATTRIBUTE_TYPE> Types(
    const std::vector<std::pair<CK_ATTRIBUTE_TYPE, CK_ULONG>>& templ) {
    std::vector<CK_ATTRIBUTE_TYPE> out;
    for (const auto& a : templ) out.push_back(a.first);
    return out;
}

// The caller's list before an import: `count` records, all bytes marked so
// that any write beyond the appended record shows, and a guard area after
// the list that no import may reach.
class MarkedList {
public:
    explicit MarkedList(int count) : bytes_(sizeof(CertificateInfoList) + kGuard, 0x5A) {
        std::memset(bytes_.data() + sizeof(CertificateInfoList), kGuardByte, kGuard);
        get()->count = count;
    }
    CertificateInfoList* get() { return reinterpret_cast<CertificateInfoList*>(bytes_.data()); }
    CertificateInfoList& operator*() { return *get(); }
    bool GuardIntact() const {
        for (size_t i = sizeof(CertificateInfoList); i < bytes_.size(); ++i) {
            if (bytes_[i] != kGuardByte) return false;
        }
        return true;
    }

private:
    static constexpr size_t kGuard = 2 * sizeof(CertificateInfo);
    static constexpr uint8_t kGuardByte = 0xA7;
    std::vector<uint8_t> bytes_;
};

class ImportTest : public AdminTest {
protected:
    // After a successful import: the record at index `at` holds the
    // certificate and the ID, everything else is as it was.
    void ExpectAppended(const CertificateInfoList& before, const CertificateInfoList& after, int at,
                        const Bytes& der, const Bytes& id) {
        ASSERT_EQ(+after.count, at + 1);
        const CertificateInfo& c = after.certificates[at];
        EXPECT_EQ(c.objectKind, 0);
        const size_t kept = std::min<size_t>(der.size(), sizeof c.value);
        EXPECT_EQ(+c.valueLength, kept);
        EXPECT_EQ(Bytes(c.value, c.value + kept), Bytes(der.begin(), der.begin() + kept));
        EXPECT_EQ(+c.idLength, id.size());
        EXPECT_EQ(Bytes(c.id, c.id + c.idLength), id);
        // handle, label and keyBits are not written.
        const CertificateInfo& was = before.certificates[at];
        EXPECT_EQ(+c.handle, +was.handle);
        EXPECT_EQ(std::memcmp(c.label, was.label, sizeof c.label), 0);
        EXPECT_EQ(+c.keyBits, +was.keyBits);
        for (int i = 0; i < CARDLIB_MAX_LISTED_OBJECTS; ++i) {
            if (i == at) continue;
            EXPECT_EQ(std::memcmp(&after.certificates[i], &before.certificates[i],
                                  sizeof(CertificateInfo)),
                      0)
                << i;
        }
    }
};

// --- ImportCertificate ---

struct ImportCertCase {
    const char* name;
    std::function<Bytes()> der;
    bool nullDer;
    const char* pin;
    int listCount;
    const char* faultFunction;
    CK_RV faultRv;
    int rc;
    uint64_t lastRv;
    // For a successful import: the key of the certificate, and the ID and
    // label of its private key on the token.
    std::function<const RsaKey&()> key;
    const char* keyId;
    const char* keyLabel;
    std::vector<std::string> calls;  // empty: not checked
};

const std::vector<std::string> kImportCertCalls = {"C_OpenSession",      "C_Login",
                                                   "C_FindObjectsInit",  "C_FindObjects",
                                                   "C_FindObjectsFinal", "C_GetAttributeValue",
                                                   "C_CreateObject",     "C_CloseSession"};
const std::vector<std::string> kSearchAndReadCalls = {
    "C_OpenSession",      "C_Login",             "C_FindObjectsInit", "C_FindObjects",
    "C_FindObjectsFinal", "C_GetAttributeValue", "C_CloseSession"};

std::vector<ImportCertCase> ImportCertCases() {
    auto cert = [](int bits) { return [bits] { return Rsa(bits).certificate; }; };
    auto rsa = [](int bits) { return [bits]() -> const RsaKey& { return Rsa(bits); }; };
    const std::function<const RsaKey&()> none;
    const std::vector<std::string> unchecked;
    return {
        {"Key2048", cert(2048), false, kUserPin, 2, nullptr, 0, 0, 0, rsa(2048), "key-2048",
         "Moj klucz", kImportCertCalls},
        {"Key1024", cert(1024), false, kUserPin, 0, nullptr, 0, 0, 0, rsa(1024), "\x01\x02", "",
         unchecked},
        {"ListFullStillImports", cert(2048), false, kUserPin, 15, nullptr, 0, 0, 0, rsa(2048),
         "key-2048", "Moj klucz", unchecked},
        // A list with a count no listing makes is not written to either.
        {"ListCountNegative", cert(2048), false, kUserPin, -1, nullptr, 0, 0, 0, rsa(2048),
         "key-2048", "Moj klucz", unchecked},
        {"CertificateLongerThanRecord", [] { return RsaWithLargeCertificate().certificate; }, false,
         kUserPin, 14, nullptr, 0, 0, 0, RsaWithLargeCertificate, "large", "large", unchecked},
        {"KeyNotOnToken", cert(1536), false, kUserPin, 2, nullptr, 0, CARDLIB_ERR_NO_PRIVATE_KEY, 0,
         none, nullptr, nullptr,
         kSearchCalls},
        {"NotDer", [] { return Bytes{0x30, 0x03, 0x02, 0x01}; }, false, kUserPin, 2, nullptr, 0,
         CARDLIB_ERR_BAD_DATA, 0, none, nullptr, nullptr, kNoCall},
        {"Truncated",
         [] { return Bytes(Rsa(2048).certificate.begin(), Rsa(2048).certificate.begin() + 200); },
         false, kUserPin, 2, nullptr, 0, CARDLIB_ERR_BAD_DATA, 0, none, nullptr, nullptr, kNoCall},
        {"Empty", [] { return Bytes{}; }, false, kUserPin, 2, nullptr, 0, CARDLIB_ERR_BAD_DATA, 0,
         none, nullptr, nullptr, kNoCall},
        {"NullCertificate", cert(2048), true, kUserPin, 2, nullptr, 0, CARDLIB_ERR_BAD_DATA, 0,
         none, nullptr, nullptr, kNoCall},
        {"EcCertificate", [] { return EcP256Certificate(); }, false, kUserPin, 2, nullptr, 0,
         CARDLIB_ERR_BAD_DATA, 0, none, nullptr, nullptr, kNoCall},
        {"WrongPin", cert(2048), false, "9999", 2, nullptr, 0, CARDLIB_ERR_PKCS11,
         CKR_PIN_INCORRECT, none, nullptr, nullptr, kWrongLogin},
        {"SearchFails", cert(2048), false, kUserPin, 2, "C_FindObjects", CKR_DEVICE_ERROR,
         CARDLIB_ERR_PKCS11, CKR_DEVICE_ERROR, none, nullptr, nullptr,
         kSearchCalls},
        {"KeyAttributesFail", cert(2048), false, kUserPin, 2, "C_GetAttributeValue",
         CKR_DEVICE_ERROR, CARDLIB_ERR_PKCS11, CKR_DEVICE_ERROR, none, nullptr, nullptr,
         kSearchAndReadCalls},
        // A label longer than 128 bytes does not fit the buffer.
        {"KeyLabelTooLong", cert(3072), false, kUserPin, 2, nullptr, 0, CARDLIB_ERR_PKCS11,
         CKR_BUFFER_TOO_SMALL, none, nullptr, nullptr, unchecked},
        {"CreateRefused", cert(2048), false, kUserPin, 2, "C_CreateObject", 0x80000042UL,
         CARDLIB_ERR_PKCS11, 0x80000042UL, none, nullptr, nullptr, kImportCertCalls},
    };
}

class ImportCertificateTest : public ImportTest,
                              public ::testing::WithParamInterface<ImportCertCase> {
protected:
    void SetUp() override {
        ImportTest::SetUp();
        auto priv = [&](const RsaKey& k, const std::string& id, const std::string& label) {
            secure_.add_rsa_private_key(kSlotReader0, k.modulus.data(), k.modulus.size(),
                                        U(id.c_str()), id.size(), label.data(), label.size());
        };
        priv(Rsa(1024), "\x01\x02", "");
        priv(Rsa(2048), "key-2048", "Moj klucz");
        priv(RsaWithLargeCertificate(), "large", "large");
        priv(Rsa(3072), "key-3072", std::string(129, 'L'));
        AddRsaKey(secure_, kSlotReader0, Rsa(2048), "key-2048", "pub");
        before_ = Objects(kSlotReader0);
    }
    Handles before_;
};

TEST_P(ImportCertificateTest, Result) {
    const ImportCertCase& c = GetParam();
    Bind();
    if (c.faultFunction) {
        secure_.fail(c.faultFunction, secure_.call_count(c.faultFunction) + 1, c.faultRv);
    }
    profileLibraries[1].lastRv = 0x99;
    const Bytes der = c.der();
    MarkedList list(c.listCount);
    const auto before = std::make_unique<CertificateInfoList>(*list);

    EXPECT_EQ(ImportCertificate(PROFILE_KIND_SECURE, c.nullDer ? nullptr : der.data(),
                                static_cast<uint32_t>(der.size()), c.pin, list.get()),
              c.rc);
    EXPECT_EQ(LastError(), c.lastRv);
    if (!c.calls.empty() || c.rc == CARDLIB_ERR_BAD_DATA) {
        EXPECT_EQ(Calls(), c.calls);
    }

    EXPECT_TRUE(list.GuardIntact());
    const Handles after = Objects(kSlotReader0);
    if (c.rc != 0) {
        EXPECT_EQ(after, before_);
        EXPECT_EQ(std::memcmp(list.get(), before.get(), sizeof *list), 0);
        return;
    }
    ASSERT_EQ(after.size(), before_.size() + 1);
    const CK_OBJECT_HANDLE made = after.back();
    const Bytes id = Text(c.keyId);
    EXPECT_EQ(Attr(made, CKA_CLASS), ULongValue(CKO_CERTIFICATE));
    EXPECT_EQ(Attr(made, CKA_CERTIFICATE_TYPE), ULongValue(CKC_X_509));
    EXPECT_EQ(Attr(made, CKA_TOKEN), kTrue);
    EXPECT_EQ(Attr(made, CKA_LABEL), Text(c.keyLabel));
    EXPECT_EQ(Attr(made, CKA_ID), id);
    EXPECT_EQ(Attr(made, CKA_VALUE), der);  // all of it, whatever the record holds
    const RsaKey& key = c.key();
    EXPECT_EQ(Attr(made, CKA_SUBJECT), key.subject);
    const auto templates = CreateTemplates();
    ASSERT_EQ(templates.size(), 1u);
    EXPECT_EQ(Types(templates[0]), kCertificateTemplate);

    // The private key was found by the certificate's modulus.
    const auto inits = LogLines(secure_, "C_FindObjectsInit");
    ASSERT_EQ(inits.size(), 1u);
    EXPECT_NE(inits[0].find("count=3 template=[0x100:8=0000000000000000,0x0:8=0300000000000000,"
                            "0x120:" +
                            std::to_string(key.modulus.size()) + "="),
              std::string::npos)
        << inits[0];
    const auto reads = LogLines(secure_, "C_GetAttributeValue");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_NE(reads[0].find("template=[0x102:128,0x3:128]"), std::string::npos) << reads[0];

    if (c.listCount >= 0 && c.listCount < CARDLIB_MAX_LISTED_OBJECTS) {
        ExpectAppended(*before, *list, c.listCount, der, id);
    } else {
        // No room: the list is left as it was.
        EXPECT_EQ(std::memcmp(list.get(), before.get(), sizeof *list), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Certificates, ImportCertificateTest,
                         ::testing::ValuesIn(ImportCertCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// A library that answers CKR_OK while reporting a value longer than the
// buffer it was given (no library should): the reported length is not
// trusted, so nothing beyond the 128-byte buffer reaches the token.
TEST_F(ImportTest, ReportedKeyAttributeLongerThanBuffer) {
    const RsaKey& key = Rsa(2048);
    secure_.add_rsa_private_key(kSlotReader0, key.modulus.data(), key.modulus.size(), U("kid"), 3,
                                "Podpis", 6);
    const Handles before = Objects(kSlotReader0);
    Bind();
    const struct {
        CK_ATTRIBUTE_TYPE type;
        CK_ULONG length;
    } cases[] = {{CKA_ID, 129},
                 {CKA_LABEL, 129},
                 {CKA_LABEL, 4096},
                 {CKA_ID, CK_UNAVAILABLE_INFORMATION}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << "type 0x" << c.type << " length 0x"
                                          << c.length);
        secure_.misreport_length(c.type, c.length);
        auto list = std::make_unique<CertificateInfoList>();
        const int rc = ImportCertificate(PROFILE_KIND_SECURE, key.certificate.data(),
                                         key.certificate.size(), kUserPin, list.get());
        secure_.misreport_length(c.type, 0);
        EXPECT_EQ(rc, CARDLIB_ERR_PKCS11);
        EXPECT_EQ(LastError(), CKR_BUFFER_TOO_SMALL);
        EXPECT_EQ(Objects(kSlotReader0), before);
        EXPECT_EQ(secure_.call_count("C_CreateObject"), 0u);
        EXPECT_EQ(+list->count, 0);
        ExpectNoOpenSession(secure_);
    }
}

// --- ImportKeyAndCertificate ---

struct ImportKeyCase {
    const char* name;
    int bits;  // the key pair of a successful import
    std::function<Bytes()> der;
    std::function<Bytes()> pkcs8;
    bool nullPkcs8;
    const char* pin;
    int listCount;
    const char* faultFunction;
    unsigned long faultCall;
    CK_RV faultRv;
    int rc;
    uint64_t lastRv;
    // After a refused creation: the handles (by creation index 1..2) destroyed,
    // in order.
    std::vector<int> rolledBack;
    bool noRandomId = false;  // the random source fails
};

std::vector<ImportKeyCase> ImportKeyCases() {
    auto cert = [](int bits) { return [bits] { return Rsa(bits).certificate; }; };
    auto key = [](int bits) { return [bits] { return Rsa(bits).pkcs8; }; };
    return {
        {"Key1024", 1024, cert(1024), key(1024), false, kUserPin, 2, nullptr, 0, 0, 0, 0, {}},
        {"Key2048", 2048, cert(2048), key(2048), false, kUserPin, 0, nullptr, 0, 0, 0, 0, {}},
        {"Key3072ListFull", 3072, cert(3072), key(3072), false, kUserPin, 15, nullptr, 0, 0, 0, 0,
         {}},
        {"ListCountNegative", 1024, cert(1024), key(1024), false, kUserPin, -1, nullptr, 0, 0, 0, 0,
         {}},
        {"PublicKeyRefused", 2048, cert(2048), key(2048), false, kUserPin, 2, "C_CreateObject", 1,
         CKR_DEVICE_MEMORY, CARDLIB_ERR_PKCS11, CKR_DEVICE_MEMORY, {}},
        {"PrivateKeyRefused", 2048, cert(2048), key(2048), false, kUserPin, 2, "C_CreateObject", 2,
         CKR_TEMPLATE_INCONSISTENT, CARDLIB_ERR_PKCS11, CKR_TEMPLATE_INCONSISTENT, {1}},
        // Private key before public key.
        {"CertificateRefused", 2048, cert(2048), key(2048), false, kUserPin, 2, "C_CreateObject", 3,
         0x8000ABCDUL, CARDLIB_ERR_PKCS11, 0x8000ABCDUL, {2, 1}},
        {"WrongPin", 2048, cert(2048), key(2048), false, "9999", 2, nullptr, 0, 0,
         CARDLIB_ERR_PKCS11, CKR_PIN_INCORRECT, {}},
        {"OpenSessionFails", 2048, cert(2048), key(2048), false, kUserPin, 2, "C_OpenSession", 1,
         CKR_SESSION_COUNT, CARDLIB_ERR_PKCS11, CKR_SESSION_COUNT, {}},
        {"CertificateNotDer", 2048, [] { return Bytes{0x30, 0x01}; }, key(2048), false, kUserPin, 2,
         nullptr, 0, 0, CARDLIB_ERR_BAD_DATA, 0, {}},
        {"KeyNotDer", 2048, cert(2048), [] { return Bytes(40, 0x30); }, false, kUserPin, 2, nullptr,
         0, 0, CARDLIB_ERR_BAD_DATA, 0, {}},
        {"KeyTruncated", 2048, cert(2048),
         [] { return Bytes(Rsa(2048).pkcs8.begin(), Rsa(2048).pkcs8.end() - 10); }, false, kUserPin,
         2, nullptr, 0, 0, CARDLIB_ERR_BAD_DATA, 0, {}},
        {"KeyEmpty", 2048, cert(2048), [] { return Bytes{}; }, false, kUserPin, 2, nullptr, 0, 0,
         CARDLIB_ERR_BAD_DATA, 0, {}},
        {"KeyNull", 2048, cert(2048), key(2048), true, kUserPin, 2, nullptr, 0, 0,
         CARDLIB_ERR_BAD_DATA, 0, {}},
        {"EcKey", 2048, cert(2048), [] { return EcP256Pkcs8(); }, false, kUserPin, 2, nullptr, 0, 0,
         CARDLIB_ERR_BAD_DATA, 0, {}},
        {"EcCertificate", 2048, [] { return EcP256Certificate(); }, key(2048), false, kUserPin, 2,
         nullptr, 0, 0, CARDLIB_ERR_BAD_DATA, 0, {}},
        // A certificate in place of the key.
        {"CertificateAsKey", 2048, cert(2048), cert(2048), false, kUserPin, 2, nullptr, 0, 0,
         CARDLIB_ERR_BAD_DATA, 0, {}},
        // Without a fresh ID the pair could be mistaken for another one.
        {"NoRandomId", 2048, cert(2048), key(2048), false, kUserPin, 2, nullptr, 0, 0,
         CARDLIB_ERR_BAD_DATA, 0, {}, true},
    };
}

class ImportKeyTest : public ImportTest, public ::testing::WithParamInterface<ImportKeyCase> {
protected:
    void SetUp() override {
        ImportTest::SetUp();
        AddCertificate(secure_, kSlotReader0, Rsa(1024).certificate, "old", "old");
        before_ = Objects(kSlotReader0);
    }
    Handles before_;
};

TEST_P(ImportKeyTest, Result) {
    const ImportKeyCase& c = GetParam();
    const RsaKey& key = Rsa(c.bits);
    Bind();
    if (c.faultFunction) {
        secure_.fail(c.faultFunction, secure_.call_count(c.faultFunction) + c.faultCall, c.faultRv);
    }
    profileLibraries[1].lastRv = 0x99;
    const Bytes der = c.der();
    const Bytes pkcs8 = c.pkcs8();
    MarkedList list(c.listCount);
    const auto before = std::make_unique<CertificateInfoList>(*list);

    if (c.noRandomId) SetImportIdSourceForTesting([](unsigned char*, int) { return 0; });
    const int rc =
        ImportKeyAndCertificate(PROFILE_KIND_SECURE, der.data(), static_cast<uint32_t>(der.size()),
                                c.nullPkcs8 ? nullptr : pkcs8.data(),
                                static_cast<uint32_t>(pkcs8.size()), c.pin, list.get());
    SetImportIdSourceForTesting(nullptr);
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(LastError(), c.lastRv);
    if (c.rc == CARDLIB_ERR_BAD_DATA) {
        EXPECT_EQ(secure_.log_count(), 0u);
    }

    EXPECT_TRUE(list.GuardIntact());
    const Handles after = Objects(kSlotReader0);
    if (c.rc != 0) {
        EXPECT_EQ(after, before_);
        EXPECT_EQ(std::memcmp(list.get(), before.get(), sizeof *list), 0);
        // What was made is destroyed again, newest first.
        std::vector<std::string> made;
        for (const std::string& line : LogLines(secure_, "C_CreateObject")) {
            const size_t at = line.find(" object=");
            if (at != std::string::npos)
                made.push_back(line.substr(at + 1, line.find(' ', at + 1) - at - 1));
        }
        std::vector<std::string> expected;
        for (int index : c.rolledBack) {
            ASSERT_LE(static_cast<size_t>(index), made.size());
            expected.push_back(made[index - 1]);
        }
        std::vector<std::string> destroyed;
        for (const std::string& line : LogLines(secure_, "C_DestroyObject")) {
            const size_t at = line.find("object=");
            destroyed.push_back(line.substr(at, line.find(' ', at) - at));
        }
        EXPECT_EQ(destroyed, expected);
        return;
    }

    // Three new objects: public key, private key, certificate.
    ASSERT_EQ(after.size(), before_.size() + 3);
    const CK_OBJECT_HANDLE pub = after[after.size() - 3];
    const CK_OBJECT_HANDLE priv = after[after.size() - 2];
    const CK_OBJECT_HANDLE cert = after[after.size() - 1];
    const Bytes id = Attr(pub, CKA_ID);
    ASSERT_EQ(id.size(), 32u);
    const Bytes label = Text(kImportLabel);
    for (CK_OBJECT_HANDLE h : {pub, priv, cert}) {
        EXPECT_EQ(Attr(h, CKA_ID), id);
        EXPECT_EQ(Attr(h, CKA_LABEL), label);
        EXPECT_EQ(Attr(h, CKA_TOKEN), kTrue);
    }
    EXPECT_EQ(Attr(pub, CKA_CLASS), ULongValue(CKO_PUBLIC_KEY));
    EXPECT_EQ(Attr(pub, CKA_KEY_TYPE), ULongValue(CKK_RSA));
    EXPECT_EQ(Attr(pub, CKA_MODULUS), key.modulus);
    EXPECT_EQ(Attr(pub, CKA_PUBLIC_EXPONENT), key.exponent);
    EXPECT_EQ(Attr(pub, CKA_WRAP), kTrue);
    EXPECT_EQ(Attr(pub, CKA_ENCRYPT), kTrue);

    EXPECT_EQ(Attr(priv, CKA_CLASS), ULongValue(CKO_PRIVATE_KEY));
    EXPECT_EQ(Attr(priv, CKA_KEY_TYPE), ULongValue(CKK_RSA));
    EXPECT_EQ(Attr(priv, CKA_MODULUS), key.modulus);
    EXPECT_EQ(Attr(priv, CKA_PRIVATE_EXPONENT), key.privateExponent);
    EXPECT_EQ(Attr(priv, CKA_PRIME_1), key.prime1);
    EXPECT_EQ(Attr(priv, CKA_PRIME_2), key.prime2);
    EXPECT_EQ(Attr(priv, CKA_EXPONENT_1), key.exponent1);
    EXPECT_EQ(Attr(priv, CKA_EXPONENT_2), key.exponent2);
    EXPECT_EQ(Attr(priv, CKA_COEFFICIENT), key.coefficient);
    for (CK_ATTRIBUTE_TYPE t :
         {CKA_UNWRAP, CKA_DECRYPT, CKA_SENSITIVE, CKA_EXTRACTABLE, CKA_PRIVATE}) {
        EXPECT_EQ(Attr(priv, t), kTrue) << t;
    }
    for (CK_ATTRIBUTE_TYPE t : {CKA_PUBLIC_EXPONENT, CKA_SIGN}) {
        bool found = true;
        Attr(priv, t, &found);
        EXPECT_FALSE(found) << t;
    }

    EXPECT_EQ(Attr(cert, CKA_CLASS), ULongValue(CKO_CERTIFICATE));
    EXPECT_EQ(Attr(cert, CKA_CERTIFICATE_TYPE), ULongValue(CKC_X_509));
    EXPECT_EQ(Attr(cert, CKA_VALUE), der);
    EXPECT_EQ(Attr(cert, CKA_SUBJECT), key.subject);

    const auto templates = CreateTemplates();
    ASSERT_EQ(templates.size(), 3u);
    EXPECT_EQ(Types(templates[0]), kPublicTemplate);
    EXPECT_EQ(Types(templates[1]), kPrivateTemplate);
    EXPECT_EQ(Types(templates[2]), kCertificateTemplate);
    // 33 bytes of label, 32 of ID; big numbers without a leading zero byte.
    EXPECT_EQ(templates[0][0].second, 33u);
    EXPECT_EQ(templates[0][1].second, 32u);
    EXPECT_EQ(templates[1][5].second, key.modulus.size());
    EXPECT_EQ(LogLines(secure_, "C_DestroyObject").size(), 0u);
    const std::vector<std::string> calls = {"C_OpenSession",  "C_Login",        "C_CreateObject",
                                            "C_CreateObject", "C_CreateObject", "C_CloseSession"};
    EXPECT_EQ(Calls(), calls);

    if (c.listCount >= 0 && c.listCount < CARDLIB_MAX_LISTED_OBJECTS) {
        ExpectAppended(*before, *list, c.listCount, der, id);
    } else {
        EXPECT_EQ(std::memcmp(list.get(), before.get(), sizeof *list), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(KeyPairs, ImportKeyTest, ::testing::ValuesIn(ImportKeyCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Without a list to append to, both imports still store their objects.
TEST_F(ImportTest, NoList) {
    const RsaKey& key = Rsa(2048);
    secure_.add_rsa_private_key(kSlotReader0, key.modulus.data(), key.modulus.size(), U("kid"), 3,
                                "Podpis", 6);
    Bind();
    const struct {
        const char* name;
        std::function<int()> run;
        size_t made;
    } cases[] = {
        {"ImportCertificate",
         [&] {
             return ImportCertificate(PROFILE_KIND_SECURE, key.certificate.data(),
                                      key.certificate.size(), kUserPin, nullptr);
         },
         1},
        {"ImportKeyAndCertificate",
         [&] {
             return ImportKeyAndCertificate(PROFILE_KIND_SECURE, key.certificate.data(),
                                            key.certificate.size(), key.pkcs8.data(),
                                            key.pkcs8.size(), kUserPin, nullptr);
         },
         3},
    };
    for (const auto& c : cases) {
        const size_t before = Objects(kSlotReader0).size();
        EXPECT_EQ(c.run(), 0) << c.name;
        EXPECT_EQ(Objects(kSlotReader0).size(), before + c.made) << c.name;
    }
}

// Imports in quick succession each get an ID of their own, and the C
// library's generator, which belongs to the rest of the process, is neither
// reseeded nor drawn from.
TEST_F(ImportTest, EachImportGetsItsOwnId) {
    Bind();
    const RsaKey& key = Rsa(1024);
    auto list = std::make_unique<CertificateInfoList>();
    std::memset(list.get(), 0, sizeof *list);
    std::srand(4242);
    const int expectedDraw = std::rand();
    std::srand(4242);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(ImportKeyAndCertificate(PROFILE_KIND_SECURE, key.certificate.data(),
                                          key.certificate.size(), key.pkcs8.data(),
                                          key.pkcs8.size(), kUserPin, list.get()),
                  0);
    }
    EXPECT_EQ(std::rand(), expectedDraw);
    ASSERT_EQ(+list->count, 3);
    // Nine objects, three under each of three IDs.
    std::map<Bytes, int> perId;
    for (CK_OBJECT_HANDLE h : Objects(kSlotReader0)) perId[Attr(h, CKA_ID)] += 1;
    ASSERT_EQ(perId.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const Bytes id(list->certificates[i].id, list->certificates[i].id + 32);
        EXPECT_EQ(perId[id], 3) << i;
    }
    // Deleting one pair by its ID leaves the others.
    ASSERT_EQ(DeleteObjectsById(PROFILE_KIND_SECURE, list->certificates[1].id, 32, kUserPin), 0);
    EXPECT_EQ(Objects(kSlotReader0).size(), 6u);
}

// An imported certificate is listed like any other, under its key's ID.
TEST_F(ImportTest, ImportedObjectsAreListed) {
    const RsaKey& key = Rsa(2048);
    secure_.add_rsa_private_key(kSlotReader0, key.modulus.data(), key.modulus.size(), U("kid"), 3,
                                "Podpis", 6);
    Bind();
    auto list = std::make_unique<CertificateInfoList>();
    std::memset(list.get(), 0, sizeof *list);
    ASSERT_EQ(ImportCertificate(PROFILE_KIND_SECURE, key.certificate.data(), key.certificate.size(),
                                kUserPin, list.get()),
              0);
    auto listed = std::make_unique<CertificateInfoList>();
    ASSERT_EQ(ListCertificates(PROFILE_KIND_SECURE, listed.get()), 0);
    ASSERT_EQ(+listed->count, 1);
    EXPECT_EQ(Bytes(listed->certificates[0].id, listed->certificates[0].id + 3), Text("kid"));
    EXPECT_STREQ(listed->certificates[0].label, "Podpis");
    EXPECT_EQ(+listed->certificates[0].keyBits, 2048);
    // ... and can be deleted again by that ID, with its key.
    ASSERT_EQ(DeleteObjectsById(PROFILE_KIND_SECURE, U("kid"), 3, kUserPin), 0);
    EXPECT_EQ(Objects(kSlotReader0), Handles{});
}

}  // namespace
}  // namespace tokentest
