// Loading the profile libraries, the lookup by kind, sessions, login and
// lastRv, against the stand-in libraries loaded with dlopen.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/fakepcsc2std/FakePcsc2std.h"
#include "tests/token/StandIns.h"

namespace tokentest {
namespace {

// ---------------------------------------------------------------------------
// Loading outcomes (the regular entry varies; the secure one always loads)
// ---------------------------------------------------------------------------

struct LoadCase {
    const char* name;
    std::function<std::string()> primary;
    std::function<std::string()> fallback;
    // Prepares the copy the regular entry will load (its control is given).
    std::function<void(P11StandControl&)> prepare;
    std::function<std::string()> controlled;  // the file prepare() works on
    uint8_t loaded;
    uint8_t initialized;
    const char* version;
    uint64_t lastRv;
};

std::string Regular() { return Paths().regular; }
std::string Missing() { return Paths().missing; }
void Nothing(P11StandControl&) {}

const std::string kLongVersion = "0123456789abcdefghijklmnopqrstuvwxyzABCD";  // 40
// 34 bytes, with the two bytes of "ł" at bytes 30 and 31: a cut after 31
// bytes would leave half of it.
const std::string kLongUtf8Version = "0123456789abcdefghijklmnopqrst\xC5\x82xyz";

std::vector<LoadCase> LoadCases() {
    return {
        {"Primary", Regular, Missing, Nothing, Regular, 1, 1, "1.4.0.17", 0},
        {"Fallback", Missing, Regular, Nothing, Regular, 1, 1, "1.4.0.17", 0},
        {"Neither", Missing, Missing, Nothing, Regular, 0, 0, "", 0},
        {"NoFunctionListExport", [] { return Paths().noFunctionList; }, Missing, Nothing,
         [] { return Paths().noFunctionList; }, 1, 0, "", 0},
        {"AlreadyInitialized", Regular, Missing,
         [](P11StandControl& c) { c.set_initialized(1); }, Regular, 1, 0, "1.4.0.17",
         CKR_CRYPTOKI_ALREADY_INITIALIZED},
        {"FunctionListFails", Regular, Missing,
         [](P11StandControl& c) { c.fail("C_GetFunctionList", 0, CKR_HOST_MEMORY); }, Regular, 1,
         0, "1.4.0.17", CKR_HOST_MEMORY},
        {"FunctionListOkButNull", Regular, Missing,
         [](P11StandControl& c) { c.fail("C_GetFunctionList", 0, CKR_OK); }, Regular, 1, 0,
         "1.4.0.17", CKR_GENERAL_ERROR},
        {"InitializeVendorCode", Regular, Missing,
         [](P11StandControl& c) { c.fail("C_Initialize", 0, 0x80000123UL); }, Regular, 1, 0,
         "1.4.0.17", 0x80000123UL},
        {"NoGetVersionExport", [] { return Paths().noVersion; }, Missing, Nothing,
         [] { return Paths().noVersion; }, 1, 1, "", 0},
        {"GetVersionNull", Regular, Missing, [](P11StandControl& c) { c.set_version(nullptr); },
         Regular, 1, 1, "", 0},
        {"VersionOf40Characters", Regular, Missing,
         [](P11StandControl& c) { c.set_version(kLongVersion.c_str()); }, Regular, 1, 1,
         "0123456789abcdefghijklmnopqrstu", 0},
        {"VersionCutBeforeAWholeCharacter", Regular, Missing,
         [](P11StandControl& c) { c.set_version(kLongUtf8Version.c_str()); }, Regular, 1, 1,
         "0123456789abcdefghijklmnopqrst", 0},
    };
}

class LoadTest : public StandInTest, public ::testing::WithParamInterface<LoadCase> {
protected:
    // Points the regular entry at the case's files and prepares the copy
    // that it will load, through controlled_.
    void PrepareRegularEntry() {
        const LoadCase& c = GetParam();
        primary_ = c.primary();
        fallback_ = c.fallback();
        ASSERT_TRUE(controlled_.Open(c.controlled()));
        controlled_.reset();
        controlled_.set_initialized(0);
        c.prepare(controlled_);
        SetProfileLibraryPathsForTesting(PROFILE_KIND_REGULAR, primary_.c_str(),
                                         fallback_.c_str());
    }
    void TearDown() override {
        if (controlled_.handle != nullptr) {
            controlled_.reset();
            controlled_.set_initialized(0);
        }
        StandInTest::TearDown();
    }

    // Static: the registry keeps pointers to them beyond the test.
    static std::string primary_, fallback_;
    P11StandControl controlled_;
};

std::string LoadTest::primary_;
std::string LoadTest::fallback_;

TEST_P(LoadTest, Outcome) {
    const LoadCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(PrepareRegularEntry());
    P11StandControl& controlled = controlled_;
    const std::string& primary = primary_;
    const std::string& fallback = fallback_;
    fakepcsc::Reset(fakepcsc::Script{});

    Load();

    // The port API is prepared first, whatever the libraries do.
    EXPECT_EQ(fakepcsc::Log(), std::vector<std::string>{"InitLibrary"});
    EXPECT_EQ(+report_.count, 4);
    const LibraryLoadEntry& e = report_.entries[0];
    EXPECT_EQ(+e.kind, 1);
    EXPECT_EQ(e.hasPkcs11Library, 1);
    EXPECT_EQ(e.loaded, c.loaded);
    EXPECT_EQ(e.initialized, c.initialized);
    EXPECT_STREQ(e.version, c.version);
    EXPECT_STREQ(e.primaryPath, primary.c_str());
    EXPECT_STREQ(e.fallbackPath, fallback.c_str());

    const ProfileLibrary& lib = profileLibraries[0];
    EXPECT_EQ(lib.initialized, c.initialized);
    EXPECT_EQ(lib.lastRv, c.lastRv);
    EXPECT_STREQ(lib.version, c.version);
    EXPECT_EQ(lib.dlHandle != nullptr, c.loaded == 1);
    EXPECT_EQ(lib.slot, CARDLIB_NO_SLOT_BOUND);
    if (std::string(c.name) == "NoFunctionListExport") {
        // Without the entry point no version is asked for.
        EXPECT_EQ(controlled.call_count("GetVersion"), 0u);
    }

    // The other profile is not affected.
    const LibraryLoadEntry& s = report_.entries[1];
    EXPECT_EQ(+s.kind, 2);
    EXPECT_EQ(s.loaded, 1);
    EXPECT_EQ(s.initialized, 1);
    EXPECT_STREQ(s.version, "1.4.0.18");
    EXPECT_EQ(profileLibraries[1].lastRv, 0u);

    for (int i = 2; i < 4; ++i) {
        EXPECT_EQ(+report_.entries[i].kind, i + 1);
        EXPECT_EQ(report_.entries[i].hasPkcs11Library, 0);
        EXPECT_EQ(report_.entries[i].loaded, 0);
        EXPECT_STREQ(report_.entries[i].primaryPath, "");
    }
    // Entries beyond the registry stay as handed over.
    for (int i = 4; i < 10; ++i) EXPECT_EQ(+report_.entries[i].kind, 0);

}

// A profile whose library is not initialised is never called through.
class UninitialisedLoadTest : public LoadTest {};

TEST_P(UninitialisedLoadTest, OperationsOnUninitialisedProfile) {
    ASSERT_EQ(GetParam().initialized, 0);
    ASSERT_NO_FATAL_FAILURE(PrepareRegularEntry());
    P11StandControl& controlled = controlled_;
    Load();
    const unsigned long before = controlled.log_count();

    PublicKeyInfoList keys;
    std::memset(&keys, 0x5A, sizeof keys);
    EXPECT_EQ(ListPublicKeys(PROFILE_KIND_REGULAR, &keys), CARDLIB_ERR_PKCS11);
    EXPECT_EQ(profileLibraries[0].lastRv, CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(+keys.count, 0);

    profileLibraries[0].lastRv = 0;
    auto certs = std::make_unique<CertificateInfoList>();
    EXPECT_EQ(ListCertificates(PROFILE_KIND_REGULAR, certs.get()), CARDLIB_ERR_PKCS11);
    EXPECT_EQ(profileLibraries[0].lastRv, CKR_CRYPTOKI_NOT_INITIALIZED);

    profileLibraries[0].lastRv = 0;
    EXPECT_EQ(BindProfileToReader(PROFILE_KIND_REGULAR, kReader0), 0);
    EXPECT_EQ(profileLibraries[0].lastRv, CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(profileLibraries[0].slot, CARDLIB_NO_SLOT_BOUND);

    // Nothing reached the library (AlreadyInitialized has a working list).
    EXPECT_EQ(controlled.log_count(), before);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, LoadTest, ::testing::ValuesIn(LoadCases()),
                         [](const auto& info) { return std::string(info.param.name); });

std::vector<LoadCase> UninitialisedCases() {
    std::vector<LoadCase> out;
    for (const LoadCase& c : LoadCases()) {
        if (!c.initialized) out.push_back(c);
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Outcomes, UninitialisedLoadTest, ::testing::ValuesIn(UninitialisedCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StandInTest, RegistryIsFixed) {
    Load();
    EXPECT_STREQ(profileLibraries[0].profileName, "Profil zwykły");
    EXPECT_STREQ(profileLibraries[1].profileName, "Profil bezpieczny");
    EXPECT_STREQ(profileLibraries[0].profileTitle, "Profil zwykły Starcos 3.x");
    EXPECT_STREQ(profileLibraries[1].profileTitle, "Profil bezpieczny Starcos 3.x");
    EXPECT_EQ(+profileLibraries[2].kind, 3);
    EXPECT_EQ(+profileLibraries[3].kind, 4);
    EXPECT_EQ(profileLibraries[2].primaryPath, nullptr);
    // The product's own paths come back when the hook is cleared.
    SetProfileLibraryPathsForTesting(PROFILE_KIND_SECURE, nullptr, nullptr);
    EXPECT_STREQ(profileLibraries[1].primaryPath, "/usr/lib/libZenthary3PKCS.so");
    EXPECT_STREQ(profileLibraries[1].fallbackPath, "/usr/lib64/libZenthary3PKCS.so");
    SetProfileLibraryPathsForTesting(PROFILE_KIND_REGULAR, nullptr, nullptr);
    EXPECT_STREQ(profileLibraries[0].primaryPath, "/usr/lib/libVelmartoken.so");
    EXPECT_STREQ(profileLibraries[0].fallbackPath, "/usr/lib64/libVelmartoken.so");
}

TEST_F(StandInTest, NeverFinalizesNorLogsOutNorAsksForInfo) {
    AddReaderSlot(regular_, kSlotReader0, kReader0);
    AddRsaKey(regular_, kSlotReader0, Rsa(1024), "k", "key");
    Load();
    ASSERT_EQ(BindProfileToReader(PROFILE_KIND_REGULAR, kReader0), 0);
    PublicKeyInfoList keys;
    ASSERT_EQ(ListPublicKeys(PROFILE_KIND_REGULAR, &keys), 0);
    for (const char* f : {"C_Finalize", "C_Logout", "C_GetInfo"}) {
        EXPECT_EQ(regular_.call_count(f), 0u) << f;
    }
}

// ---------------------------------------------------------------------------
// Lookup by kind
// ---------------------------------------------------------------------------

class KindTest : public StandInTest, public ::testing::WithParamInterface<int> {};

TEST_P(KindTest, OnlyKindsOneAndTwo) {
    Load();
    const int kind = GetParam();
    const bool known = kind == 1 || kind == 2;
    EXPECT_EQ(FindProfileLibrary(kind) != nullptr, known);
    if (known) {
        EXPECT_EQ(FindProfileLibrary(kind)->kind, kind);
        return;
    }
    // The lookup comes first: a refused kind leaves the caller's record alone.
    PublicKeyInfoList keys;
    std::memset(&keys, 0x5A, sizeof keys);
    EXPECT_EQ(ListPublicKeys(kind, &keys), CARDLIB_ERR_BAD_PROFILE_KIND);
    EXPECT_EQ(+keys.count, 0x5A5A5A5A);
    EXPECT_EQ(+keys.keys[14].keyBits, 0x5A5A5A5A);
    auto certs = std::make_unique<CertificateInfoList>();
    std::memset(certs.get(), 0x5A, sizeof *certs);
    EXPECT_EQ(ListCertificates(kind, certs.get()), CARDLIB_ERR_BAD_PROFILE_KIND);
    EXPECT_EQ(+certs->count, 0x5A5A5A5A);
    EXPECT_EQ(+certs->certificates[14].keyBits, 0x5A5A5A5A);
    EXPECT_EQ(BindProfileToReader(kind, kReader0), CARDLIB_ERR_BAD_PROFILE_KIND);
    // Entries 3 and 4 are in the registry but never looked up.
    for (const ProfileLibrary& e : profileLibraries) EXPECT_EQ(e.lastRv, 0u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, KindTest, ::testing::Values(-1, 0, 1, 2, 3, 4, 5));

// ---------------------------------------------------------------------------
// Sessions and login
// ---------------------------------------------------------------------------

TEST_F(StandInTest, SessionFlagsAndApplicationByte) {
    AddReaderSlot(secure_, kSlotReader0, kReader0);
    Load();
    ProfileLibrary* lib = nullptr;
    ASSERT_EQ(cardlib_detail::BeginProfileOperation(PROFILE_KIND_SECURE, &lib), 0);
    CK_SESSION_HANDLE session = 0;
    ASSERT_EQ(cardlib_detail::OpenLayerSession(lib, kSlotReader0, &session), CKR_OK);
    lib->functions->C_CloseSession(session);
    const auto lines = LogLines(secure_, "C_OpenSession");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("slot=0x7 flags=0x6 app=0x11 notify=NULL"), std::string::npos)
        << lines[0];
}

struct LoginCase {
    const char* name;
    CK_USER_TYPE user;
    const char* pin;
    CK_ULONG userTries;      // tries left before the attempt (0: unlimited)
    CK_ULONG soTries;
    CK_FLAGS extraFlags;     // flags the token reports besides its PIN state
    CK_RV tokenInfoFault;    // C_GetTokenInfo answers this (0: works)
    CK_RV loginFault;        // C_Login answers this (0: the real check)
    int rc;
    uint64_t lastRv;
};

const LoginCase kLoginCases[] = {
    {"UserPinRight", CKU_USER, "1234", 3, 10, 0, 0, 0, 0, 0},
    {"SoPinRight", CKU_SO, "12345678", 3, 10, 0, 0, 0, 0, 0},
    {"UserPinWrongTriesLeft", CKU_USER, "9999", 3, 10, 0, 0, 0, CARDLIB_ERR_PKCS11,
     CKR_PIN_INCORRECT},
    {"UserPinWrongLocks", CKU_USER, "9999", 1, 10, 0, 0, 0, CARDLIB_ERR_PKCS11, CKR_PIN_LOCKED},
    {"SoPinWrongLocks", CKU_SO, "99999999", 3, 1, 0, 0, 0, CARDLIB_ERR_PKCS11, CKR_PIN_LOCKED},
    // The flag of the other PIN does not count.
    {"SoPinWrongUserLocked", CKU_SO, "99999999", 3, 10, CKF_USER_PIN_LOCKED, 0, 0,
     CARDLIB_ERR_PKCS11, CKR_PIN_INCORRECT},
    {"UserPinWrongSoLocked", CKU_USER, "9999", 3, 10, CKF_SO_PIN_LOCKED, 0, 0,
     CARDLIB_ERR_PKCS11, CKR_PIN_INCORRECT},
    {"UserPinWrongTokenInfoFails", CKU_USER, "9999", 1, 10, 0, CKR_DEVICE_ERROR, 0,
     CARDLIB_ERR_PKCS11, CKR_DEVICE_ERROR},
    {"OtherLoginResultUnchanged", CKU_USER, "1234", 3, 10, 0, 0, CKR_USER_TYPE_INVALID,
     CARDLIB_ERR_PKCS11, CKR_USER_TYPE_INVALID},
    {"VendorLoginResultUnchanged", CKU_USER, "1234", 3, 10, 0, 0, 0x80000A0AUL,
     CARDLIB_ERR_PKCS11, 0x80000A0AUL},
};

class LoginTest : public StandInTest, public ::testing::WithParamInterface<LoginCase> {};

TEST_P(LoginTest, Result) {
    const LoginCase& c = GetParam();
    ASSERT_EQ(regular_.add_slot(kSlotReader0, kReader0), 0);
    P11StandToken token;
    regular_.token_defaults(&token);
    token.userPin = "1234";
    token.soPin = "12345678";
    token.userPinTries = c.userTries;
    token.soPinTries = c.soTries;
    token.flags = CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED | c.extraFlags;
    ASSERT_EQ(regular_.set_token(kSlotReader0, &token), 0);
    if (c.tokenInfoFault) regular_.fail("C_GetTokenInfo", 0, c.tokenInfoFault);
    if (c.loginFault) regular_.fail("C_Login", 0, c.loginFault);
    Load();
    ASSERT_EQ(BindProfileToReader(PROFILE_KIND_REGULAR, kReader0), 0);

    ProfileLibrary* lib = nullptr;
    ASSERT_EQ(cardlib_detail::BeginProfileOperation(PROFILE_KIND_REGULAR, &lib), 0);
    CK_SESSION_HANDLE session = 0;
    ASSERT_EQ(cardlib_detail::OpenLayerSession(lib, lib->slot, &session), CKR_OK);
    const int rc = cardlib_detail::LoginLayerSession(lib, session, c.user, c.pin);
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(lib->lastRv, c.lastRv);
    if (rc == 0) {
        EXPECT_EQ(regular_.login_state(kSlotReader0), static_cast<long>(c.user));
        lib->functions->C_CloseSession(session);
    } else {
        // The failed login closed the session, once.
        EXPECT_EQ(regular_.call_count("C_CloseSession"), 1u);
    }
    ExpectNoOpenSession(regular_);
    EXPECT_EQ(regular_.call_count("C_Logout"), 0u);
    const auto logins = LogLines(regular_, "C_Login");
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_NE(logins[0].find(c.user == CKU_SO ? "user=0 " : "user=1 "), std::string::npos)
        << logins[0];
}

INSTANTIATE_TEST_SUITE_P(Logins, LoginTest, ::testing::ValuesIn(kLoginCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tokentest
