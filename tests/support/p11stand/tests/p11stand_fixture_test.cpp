// The fixture file: read at C_Initialize when P11STAND_FIXTURE names it, so
// that a whole application can run against the stand-in out of process.
// This executable sets the variable for itself only.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "tests/support/p11stand/tests/P11standTestSupport.h"
#include "tests/support/testkit/testkit.h"

using namespace p11stand_test;

namespace {

using testkit::TempDir;

// The path of a new file in dir.
std::string Write(const TempDir& dir, const std::string& name, const std::string& content) {
    const std::string file = dir.path() + "/" + name;
    EXPECT_TRUE(testkit::WriteFile(file, content)) << file;
    return file;
}

std::string Field(const unsigned char* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

// Re-initialises one copy with the fixture named in the environment.
CK_RV InitialiseWith(Loaded& l, const std::string& fixture) {
    setenv(P11STAND_FIXTURE_ENV, fixture.c_str(), 1);
    l.ctl.reset();
    l.ctl.set_initialized(0);
    const CK_RV rv = l.fl->C_Initialize(nullptr);
    unsetenv(P11STAND_FIXTURE_ENV);
    return rv;
}

std::vector<CK_OBJECT_HANDLE> FindAll(CK_FUNCTION_LIST* fl, CK_SESSION_HANDLE s, CK_ATTRIBUTE* t, CK_ULONG n) {
    std::vector<CK_OBJECT_HANDLE> out;
    EXPECT_EQ(fl->C_FindObjectsInit(s, t, n), CKR_OK);
    CK_OBJECT_HANDLE h[32];
    CK_ULONG got = 0;
    EXPECT_EQ(fl->C_FindObjects(s, h, 32, &got), CKR_OK);
    out.assign(h, h + got);
    EXPECT_EQ(fl->C_FindObjectsFinal(s), CKR_OK);
    return out;
}

TEST(Fixture, BuildsTheWholeModelPerLibrary) {
    const RsaMaterial& rsa = Rsa(2048);
    ASSERT_FALSE(rsa.certificate.empty());
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    std::string der(rsa.certificate.begin(), rsa.certificate.end());
    Write(dir, "cert.der", der);
    std::string modulusHex;
    for (unsigned char b : rsa.modulus) {
        char x[3];
        snprintf(x, sizeof x, "%02X", b);
        modulusHex += x;
    }
    const std::string fixture = Write(dir, "model.txt",
                                          "# both libraries\r\n"
                                          "slot 0 Virtual PCD 00 00\n"
                                          "slot 0x10 Virtual PCD 00 01\n"
                                          "\n"
                                          "library regular\n"
                                          "version 3.1.4 beta\n"
                                          "token 0x10\n"
                                          "label Profil zwykły   \n"
                                          "serial 1234 5678\n"
                                          "flags 0x40C\n"
                                          "free-public unavailable\n"
                                          "free-private 0x100000005\n"
                                          "object\n"
                                          "attr CKA_CLASS ulong CKO_PUBLIC_KEY\n"
                                          "attr CKA_KEY_TYPE ulong CKK_RSA\n"
                                          "attr CKA_TOKEN bool 1\n"
                                          "attr CKA_MODULUS hex " + modulusHex + "\n"
                                          "attr CKA_PUBLIC_EXPONENT hex 01 00 01\n"
                                          "attr CKA_ID hex\n"
                                          "attr CKA_LABEL text klucz  \n"
                                          "object\n"
                                          "attr CKA_CLASS ulong 1\n"
                                          "attr CKA_CERTIFICATE_TYPE ulong CKC_X_509\n"
                                          "attr CKA_VALUE file cert.der\n"
                                          "attr 0x102 hex 0a0b\n"
                                          "object\n"
                                          "attr CKA_CLASS ulong CKO_PRIVATE_KEY\n"
                                          "attr CKA_ID hex 0a0b\n"
                                          "library secure noversion\n"
                                          "version-null\n"
                                          "library *\n"
                                          "fail C_Login 2 0x80000001\n");

    Loaded& regular = Load("libVelmartoken.so");
    ASSERT_EQ(InitialiseWith(regular, fixture), CKR_OK);
    CK_FUNCTION_LIST* fl = regular.fl;

    CK_SLOT_ID ids[4];
    CK_ULONG n = 4;
    ASSERT_EQ(fl->C_GetSlotList(CK_FALSE, ids, &n), CKR_OK);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(ids[0], 0u);
    EXPECT_EQ(ids[1], 0x10u);
    n = 4;
    ASSERT_EQ(fl->C_GetSlotList(CK_TRUE, ids, &n), CKR_OK);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(ids[0], 0x10u);
    CK_SLOT_INFO si;
    ASSERT_EQ(fl->C_GetSlotInfo(0x10, &si), CKR_OK);
    EXPECT_EQ(Field(si.slotDescription, 64), "Virtual PCD 00 01" + std::string(47, ' '));

    CK_TOKEN_INFO ti;
    ASSERT_EQ(fl->C_GetTokenInfo(0x10, &ti), CKR_OK);
    const std::string label = "Profil zwykły   ";  // 17 bytes in UTF-8
    EXPECT_EQ(Field(ti.label, 32), label + std::string(32 - label.size(), ' '));
    EXPECT_EQ(Field(ti.serialNumber, 16), "1234 5678       ");
    EXPECT_EQ(ti.flags, 0x40Cu);
    EXPECT_EQ(ti.ulFreePublicMemory, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(ti.ulFreePrivateMemory, 0x100000005u);

    auto version = reinterpret_cast<const char* (*)()>(dlsym(regular.ctl.handle, "GetVersion"));
    EXPECT_STREQ(version(), "3.1.4 beta");

    CK_SESSION_HANDLE s = 0;
    ASSERT_EQ(fl->C_OpenSession(0x10, 6, nullptr, nullptr, &s), CKR_OK);
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE byClass = {CKA_CLASS, &certClass, sizeof certClass};
    const auto certs = FindAll(fl, s, &byClass, 1);
    ASSERT_EQ(certs.size(), 1u);
    std::vector<unsigned char> value(rsa.certificate.size());
    CK_ATTRIBUTE v[] = {{CKA_VALUE, value.data(), value.size()}, {CKA_ID, nullptr, 0}};
    EXPECT_EQ(fl->C_GetAttributeValue(s, certs[0], v, 2), CKR_OK);
    EXPECT_EQ(value, rsa.certificate);
    EXPECT_EQ(v[1].ulValueLen, 2u);

    CK_OBJECT_CLASS pubClass = CKO_PUBLIC_KEY;
    CK_ATTRIBUTE pubTemplate = {CKA_CLASS, &pubClass, sizeof pubClass};
    const auto keys = FindAll(fl, s, &pubTemplate, 1);
    ASSERT_EQ(keys.size(), 1u);
    std::vector<unsigned char> modulus(512), label2(64);
    CK_ATTRIBUTE k[] = {{CKA_MODULUS, modulus.data(), modulus.size()},
                        {CKA_ID, nullptr, 0},
                        {CKA_LABEL, label2.data(), label2.size()}};
    EXPECT_EQ(fl->C_GetAttributeValue(s, keys[0], k, 3), CKR_OK);
    modulus.resize(k[0].ulValueLen);
    EXPECT_EQ(modulus, rsa.modulus);
    EXPECT_EQ(k[1].ulValueLen, 0u);
    EXPECT_EQ(std::string(label2.begin(), label2.begin() + k[2].ulValueLen), "klucz  ");
    EXPECT_EQ(FindAll(fl, s, nullptr, 0).size(), 2u) << "the private key stays hidden";

    unsigned char pin[] = "1234";
    EXPECT_EQ(fl->C_Login(s, CKU_USER, pin, 4), CKR_OK);
    EXPECT_EQ(FindAll(fl, s, nullptr, 0).size(), 3u);
    EXPECT_EQ(fl->C_Logout(s), CKR_OK);
    EXPECT_EQ(fl->C_Login(s, CKU_USER, pin, 4), 0x80000001u) << "the fixture's fault";
    EXPECT_EQ(fl->C_CloseSession(s), CKR_OK);

    // The secure copy reads the same file but only its own sections.
    Loaded& secure = Load("libZenthary3PKCS.so");
    ASSERT_EQ(InitialiseWith(secure, fixture), CKR_OK);
    n = 0;
    EXPECT_EQ(secure.fl->C_GetSlotList(CK_TRUE, nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 0u);
    n = 0;
    EXPECT_EQ(secure.fl->C_GetSlotList(CK_FALSE, nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 2u);
    auto secureVersion = reinterpret_cast<const char* (*)()>(dlsym(secure.ctl.handle, "GetVersion"));
    EXPECT_EQ(secureVersion(), nullptr);

    regular.ctl.reset();
    secure.ctl.reset();
}

TEST(Fixture, ItsFaultsAnswerTheInitialisationItself) {
    TempDir dir;
    const std::string fixture = Write(dir, "f.txt", "fail C_Initialize 1 0x191\n");
    Loaded& l = Load("libVelmartoken.so");
    EXPECT_EQ(InitialiseWith(l, fixture), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    CK_ULONG n = 0;
    EXPECT_EQ(l.fl->C_GetSlotList(CK_FALSE, nullptr, &n), CKR_CRYPTOKI_NOT_INITIALIZED);
    l.ctl.reset();
    l.ctl.set_initialized(1);
}

TEST(Fixture, IsReadAtTheFirstCallIntoTheLibrary) {
    TempDir dir;
    const std::string fixture = Write(dir, "f.txt", "version lazy\nfail C_GetFunctionList 1 0x30\n");
    Loaded& l = Load("libVelmartoken.so");
    auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(l.ctl.handle, "C_GetFunctionList"));
    auto version = reinterpret_cast<const char* (*)()>(dlsym(l.ctl.handle, "GetVersion"));
    struct Case {
        const char* first;  // the call that finds the fixture pending
        bool initialiseBefore;
    };
    for (const Case& c : {Case{"C_GetFunctionList", false}, Case{"GetVersion", false}, Case{"none", true}}) {
        l.ctl.reset();
        l.ctl.set_initialized(0);
        setenv(P11STAND_FIXTURE_ENV, fixture.c_str(), 1);
        if (c.initialiseBefore) l.ctl.set_initialized(1);  // still pending, but not re-initialised
        CK_FUNCTION_LIST* list = nullptr;
        if (std::string(c.first) == "C_GetFunctionList") {
            EXPECT_EQ(get(&list), CKR_DEVICE_ERROR) << "the fixture's fault answers its own first call";
            EXPECT_STREQ(version(), "lazy");
        } else if (std::string(c.first) == "GetVersion") {
            EXPECT_STREQ(version(), "lazy");
            EXPECT_EQ(get(&list), CKR_DEVICE_ERROR);
        } else {
            EXPECT_EQ(l.fl->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED) << "no read while initialised";
            EXPECT_EQ(get(&list), CKR_DEVICE_ERROR) << "the next list request still reads it";
        }
        unsetenv(P11STAND_FIXTURE_ENV);
        // Read once: later calls see the model, not a fresh copy of the file.
        EXPECT_EQ(get(&list), CKR_OK) << c.first;
        EXPECT_EQ(l.ctl.call_count("C_GetFunctionList"), 2u) << c.first;
    }
    l.ctl.reset();
    l.ctl.set_initialized(1);
}

struct BadCase {
    const char* name;
    std::string content;
    std::string message;  // expected part of the error
};

class BadFixture : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadFixture, IsRejectedWithItsLine) {
    const BadCase& c = GetParam();
    TempDir dir;
    const std::string fixture = Write(dir, "bad.txt", c.content);
    Loaded& l = Load("libVelmartoken.so");
    char err[256] = "untouched";
    EXPECT_EQ(l.ctl.load_fixture(fixture.c_str(), err, sizeof err), -1);
    EXPECT_NE(std::string(err).find(c.message), std::string::npos) << err;
    EXPECT_NE(std::string(err).find(fixture + ":"), std::string::npos) << err;

    // Through the environment the initialisation fails and leaves the copy uninitialised.
    testing::internal::CaptureStderr();
    EXPECT_EQ(InitialiseWith(l, fixture), CKR_GENERAL_ERROR);
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_NE(printed.find(c.message), std::string::npos) << printed;
    CK_ULONG n = 0;
    EXPECT_EQ(l.fl->C_GetSlotList(CK_FALSE, nullptr, &n), CKR_CRYPTOKI_NOT_INITIALIZED);
    l.ctl.reset();
    l.ctl.set_initialized(1);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, BadFixture,
    ::testing::Values(BadCase{"UnknownDirective", "slot 1 A\nfrobnicate\n", ":2: unknown directive frobnicate"},
                      BadCase{"TokenBeforeSlot", "token 3\n", ":1: token for unknown slot 3"},
                      BadCase{"SlotTwice", "slot 1 A\nslot 1 B\n", ":2: slot 1 defined twice"},
                      BadCase{"SlotWithoutNumber", "slot x A\n", ":1: slot needs a numeric ID"},
                      BadCase{"LabelOutsideToken", "slot 1 A\nlabel X\n", ":2: label outside a token"},
                      BadCase{"ObjectOutsideToken", "slot 1 A\nobject\n", ":2: object outside a token"},
                      BadCase{"AttrOutsideObject", "slot 1 A\ntoken 1\nattr CKA_ID hex 00\n",
                              ":3: attr outside an object"},
                      BadCase{"OddHex", "slot 1 A\ntoken 1\nobject\nattr CKA_ID hex 123\n", ":4: bad hex value"},
                      BadCase{"NotHex", "slot 1 A\ntoken 1\nobject\nattr CKA_ID hex zz\n", ":4: bad hex value"},
                      BadCase{"BadBool", "slot 1 A\ntoken 1\nobject\nattr CKA_TOKEN bool 2\n",
                              ":4: bool must be 0 or 1"},
                      BadCase{"UnknownAttribute", "slot 1 A\ntoken 1\nobject\nattr CKA_NOPE hex 00\n",
                              ":4: unknown attribute CKA_NOPE"},
                      BadCase{"AttributeTwice",
                              "slot 1 A\ntoken 1\nobject\nattr CKA_ID hex 00\nattr CKA_ID hex 01\n",
                              ":5: attribute CKA_ID given twice"},
                      BadCase{"MissingFile", "slot 1 A\ntoken 1\nobject\nattr CKA_VALUE file nowhere.der\n",
                              ":4: cannot read"},
                      BadCase{"NegativeNumber", "slot -1 A\n", ":1: slot needs a numeric ID"},
                      BadCase{"BadFail", "fail C_Login x 5\n", ":1: fail needs FUNCTION CALL RV"},
                      BadCase{"EmptyLibrary", "library\n", ":1: library needs at least one name"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Fixture, MissingFileIsReported) {
    Loaded& l = Load("libVelmartoken.so");
    char err[256];
    EXPECT_EQ(l.ctl.load_fixture("/nonexistent/p11stand.txt", err, sizeof err), -1);
    EXPECT_STREQ(err, "cannot open fixture file /nonexistent/p11stand.txt");
    EXPECT_EQ(l.ctl.load_fixture(nullptr, err, sizeof err), -1);
}

TEST(Fixture, WithoutTheVariableInitialisationKeepsTheModel) {
    unsetenv(P11STAND_FIXTURE_ENV);
    Loaded& l = Load("libVelmartoken.so");
    l.ctl.reset();
    l.ctl.set_initialized(0);
    ASSERT_EQ(l.ctl.add_slot(5, "kept"), 0);
    EXPECT_EQ(l.fl->C_Initialize(nullptr), CKR_OK);
    CK_ULONG n = 0;
    EXPECT_EQ(l.fl->C_GetSlotList(CK_FALSE, nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 1u);
    l.ctl.reset();
}

}  // namespace
