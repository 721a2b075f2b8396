// The PKCS#11 rules of the stand-in that the card layer relies on, checked
// through dlopen of the built files.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/p11stand/tests/P11standTestSupport.h"

using namespace p11stand_test;

namespace {

const char* const kRegular = "libVelmartoken.so";
const char* const kSecure = "libZenthary3PKCS.so";

std::string Field(const unsigned char* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, void* value, CK_ULONG length) {
    CK_ATTRIBUTE a;
    a.type = type;
    a.pValue = value;
    a.ulValueLen = length;
    return a;
}

// A freshly reset, initialised regular copy with two reader slots.
class Stand : public ::testing::Test {
protected:
    void SetUp() override {
        Loaded& l = Load(kRegular);
        ctl = &l.ctl;
        fl = l.fl;
        ASSERT_NE(fl, nullptr);
        ctl->reset();
        ctl->set_initialized(1);
        ASSERT_EQ(ctl->add_slot(1, "Virtual PCD 00 00"), 0);
        ASSERT_EQ(ctl->add_slot(7, "Virtual PCD 00 01"), 0);
        ASSERT_EQ(ctl->set_token(1, nullptr), 0);
    }
    void TearDown() override { EXPECT_EQ(ctl->open_session_count(), 0u) << "a test leaked a session"; }

    CK_SESSION_HANDLE Open(CK_SLOT_ID slot = 1) {
        CK_SESSION_HANDLE h = 0;
        unsigned char app = 0x11;
        EXPECT_EQ(fl->C_OpenSession(slot, CKF_RW_SESSION | CKF_SERIAL_SESSION, &app, nullptr, &h), CKR_OK);
        return h;
    }
    std::vector<CK_OBJECT_HANDLE> Find(CK_SESSION_HANDLE s, std::vector<CK_ATTRIBUTE> templ) {
        std::vector<CK_OBJECT_HANDLE> out;
        EXPECT_EQ(fl->C_FindObjectsInit(s, templ.empty() ? nullptr : templ.data(), templ.size()), CKR_OK);
        for (;;) {
            CK_OBJECT_HANDLE h = 0;
            CK_ULONG n = 0;
            EXPECT_EQ(fl->C_FindObjects(s, &h, 1, &n), CKR_OK);
            if (n == 0) break;
            out.push_back(h);
        }
        EXPECT_EQ(fl->C_FindObjectsFinal(s), CKR_OK);
        return out;
    }

    P11StandControl* ctl = nullptr;
    CK_FUNCTION_LIST* fl = nullptr;
};

// ---- the four files ----

struct FileCase {
    const char* file;
    const char* flavour;
    bool hasFunctionList;
    bool hasVersion;
    const char* defaultVersion;
};

class Files : public ::testing::TestWithParam<FileCase> {};

TEST_P(Files, ExportOnlyWhatTheirRoleNeeds) {
    const FileCase& c = GetParam();
    Loaded& l = Load(c.file);
    ASSERT_NE(l.ctl.handle, nullptr);
    l.ctl.reset();
    EXPECT_STREQ(l.ctl.flavour(), c.flavour);
    EXPECT_EQ(dlsym(l.ctl.handle, "C_GetFunctionList") != nullptr, c.hasFunctionList);
    auto version = reinterpret_cast<const char* (*)()>(dlsym(l.ctl.handle, "GetVersion"));
    EXPECT_EQ(version != nullptr, c.hasVersion);
    if (version) { EXPECT_STREQ(version(), c.defaultVersion); }
    // Internal entry points stay hidden; only the list reaches them.
    for (const char* hidden : {"C_Initialize", "C_OpenSession", "C_GetSlotList", "_ZN8p11stand8TheStateEv"})
        EXPECT_EQ(dlsym(l.ctl.handle, hidden), nullptr) << hidden;
}

INSTANTIATE_TEST_SUITE_P(All, Files,
                         ::testing::Values(FileCase{"libVelmartoken.so", "regular", true, true, "1.4.0.17"},
                                           FileCase{"libZenthary3PKCS.so", "secure", true, true, "1.4.0.18"},
                                           FileCase{"libp11stand_noversion.so", "noversion", true, false, ""},
                                           FileCase{"libp11stand_nofunclist.so", "nofunclist", false, true,
                                                    "1.4.0.20"}));

TEST(TwoCopies, KeepSeparateStateAndBothInitialise) {
    Loaded& a = Load(kRegular);
    Loaded& b = Load(kSecure);
    ASSERT_NE(a.ctl.handle, b.ctl.handle);
    ASSERT_NE(a.fl, b.fl);
    for (Loaded* l : {&a, &b}) {
        l->ctl.reset();
        l->ctl.set_initialized(0);
        EXPECT_EQ(l->fl->C_Initialize(nullptr), CKR_OK) << l->ctl.flavour();
    }
    a.ctl.add_slot(1, "Virtual PCD 00 00");
    a.ctl.set_version("regular-text");
    b.ctl.fail("C_GetSlotList", 0, 0x80000042UL);

    CK_ULONG n = 0;
    EXPECT_EQ(a.fl->C_GetSlotList(CK_FALSE, nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(b.fl->C_GetSlotList(CK_FALSE, nullptr, &n), 0x80000042UL);
    EXPECT_EQ(a.ctl.call_count("C_GetSlotList"), 1u);
    EXPECT_EQ(b.ctl.call_count("C_GetSlotList"), 1u);
    auto versionB = reinterpret_cast<const char* (*)()>(dlsym(b.ctl.handle, "GetVersion"));
    EXPECT_STREQ(versionB(), "1.4.0.18");
    // The same path opened again is the same copy, so a second initialisation is refused.
    void* again = dlopen(LibraryPath(kSecure).c_str(), RTLD_LAZY);
    EXPECT_EQ(again, b.ctl.handle);
    EXPECT_EQ(b.fl->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    dlclose(again);
    a.ctl.reset();
    b.ctl.reset();
}

// ---- initialisation ----

TEST_F(Stand, CallsBeforeInitialiseAreRefused) {
    ctl->set_initialized(0);
    CK_ULONG n = 0;
    CK_SLOT_INFO si;
    CK_TOKEN_INFO ti;
    CK_SESSION_HANDLE h = 0;
    const std::vector<std::pair<const char*, CK_RV>> calls = {
        {"C_GetSlotList", fl->C_GetSlotList(CK_TRUE, nullptr, &n)},
        {"C_GetSlotInfo", fl->C_GetSlotInfo(1, &si)},
        {"C_GetTokenInfo", fl->C_GetTokenInfo(1, &ti)},
        {"C_OpenSession", fl->C_OpenSession(1, 6, nullptr, nullptr, &h)},
        {"C_CloseSession", fl->C_CloseSession(1)},
        {"C_Finalize", fl->C_Finalize(nullptr)},
    };
    for (const auto& c : calls) EXPECT_EQ(c.second, CKR_CRYPTOKI_NOT_INITIALIZED) << c.first;
    EXPECT_EQ(fl->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(fl->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    EXPECT_EQ(fl->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(fl->C_Initialize(nullptr), CKR_OK);
}

TEST_F(Stand, InitialiseArgumentsAreChecked) {
    ctl->set_initialized(0);
    CK_C_INITIALIZE_ARGS args;
    std::memset(&args, 0, sizeof args);
    int dummy = 0;
    args.pReserved = &dummy;
    EXPECT_EQ(fl->C_Initialize(&args), CKR_ARGUMENTS_BAD);
    args.pReserved = nullptr;
    args.flags = CKF_OS_LOCKING_OK;
    EXPECT_EQ(fl->C_Initialize(&args), CKR_OK);
}

// ---- slots ----

struct SlotListCase {
    const char* name;
    CK_BBOOL tokenPresent;
    bool withList;
    CK_ULONG capacity;
    CK_RV rv;
    CK_ULONG count;
    std::vector<CK_SLOT_ID> ids;
};

class SlotList : public Stand, public ::testing::WithParamInterface<SlotListCase> {};

TEST_P(SlotList, CountsAndFills) {
    const SlotListCase& c = GetParam();
    ASSERT_EQ(ctl->add_slot(3, "Other reader"), 0);
    ASSERT_EQ(ctl->set_token(3, nullptr), 0);
    std::vector<CK_SLOT_ID> list(8, 0xdead);
    CK_ULONG n = c.capacity;
    EXPECT_EQ(fl->C_GetSlotList(c.tokenPresent, c.withList ? list.data() : nullptr, &n), c.rv);
    EXPECT_EQ(n, c.count);
    if (c.withList && c.rv == CKR_OK) {
        list.resize(n);
        EXPECT_EQ(list, c.ids);
    }
    if (c.rv == CKR_BUFFER_TOO_SMALL) { EXPECT_EQ(list[0], 0xdeadu) << "nothing written on a short buffer"; }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SlotList,
    ::testing::Values(SlotListCase{"AllCount", CK_FALSE, false, 0, CKR_OK, 3, {}},
                      SlotListCase{"PresentCount", CK_TRUE, false, 0, CKR_OK, 2, {}},
                      SlotListCase{"AllExact", CK_FALSE, true, 3, CKR_OK, 3, {1, 7, 3}},
                      SlotListCase{"AllRoomy", CK_FALSE, true, 8, CKR_OK, 3, {1, 7, 3}},
                      SlotListCase{"PresentInOrder", CK_TRUE, true, 2, CKR_OK, 2, {1, 3}},
                      SlotListCase{"AllShort", CK_FALSE, true, 2, CKR_BUFFER_TOO_SMALL, 3, {}},
                      SlotListCase{"PresentEmptyBuffer", CK_TRUE, true, 0, CKR_BUFFER_TOO_SMALL, 2, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Stand, SlotListWithoutCountPointerIsRefused) {
    EXPECT_EQ(fl->C_GetSlotList(CK_FALSE, nullptr, nullptr), CKR_ARGUMENTS_BAD);
}

TEST_F(Stand, SlotDescriptionIsBlankPaddedOrCutTo64Bytes) {
    const std::string longName(70, 'R');
    ASSERT_EQ(ctl->add_slot(9, longName.c_str()), 0);
    EXPECT_EQ(ctl->add_slot(9, "again"), -1);
    const std::vector<std::pair<CK_SLOT_ID, std::string>> cases = {
        {1, "Virtual PCD 00 00" + std::string(47, ' ')},
        {7, "Virtual PCD 00 01" + std::string(47, ' ')},
        {9, std::string(64, 'R')},
    };
    for (const auto& c : cases) {
        CK_SLOT_INFO info;
        ASSERT_EQ(fl->C_GetSlotInfo(c.first, &info), CKR_OK);
        EXPECT_EQ(Field(info.slotDescription, 64), c.second);
        EXPECT_EQ((info.flags & CKF_TOKEN_PRESENT) != 0, c.first == 1);
    }
    CK_SLOT_INFO info;
    EXPECT_EQ(fl->C_GetSlotInfo(42, &info), CKR_SLOT_ID_INVALID);
}

// ---- token information ----

struct TokenCase {
    const char* name;
    P11StandToken settings;
    std::string label;
    std::string serial;
};

class TokenInfo : public Stand, public ::testing::WithParamInterface<TokenCase> {};

TEST_P(TokenInfo, ReportsWhatWasSet) {
    const TokenCase& c = GetParam();
    ASSERT_EQ(ctl->set_token(7, &c.settings), 0);
    CK_TOKEN_INFO info;
    ASSERT_EQ(fl->C_GetTokenInfo(7, &info), CKR_OK);
    EXPECT_EQ(Field(info.label, 32), c.label);
    EXPECT_EQ(Field(info.serialNumber, 16), c.serial);
    EXPECT_EQ(info.flags, c.settings.flags);
    EXPECT_EQ(info.ulFreePublicMemory, c.settings.freePublicMemory);
    EXPECT_EQ(info.ulFreePrivateMemory, c.settings.freePrivateMemory);
    EXPECT_EQ(info.ulTotalPublicMemory, c.settings.totalPublicMemory);
}

P11StandToken Settings(const char* label, const char* serial, CK_FLAGS flags, CK_ULONG freePub, CK_ULONG freePriv) {
    P11StandToken t;
    std::memset(&t, 0, sizeof t);
    t.label = label;
    t.serialNumber = serial;
    t.flags = flags;
    t.freePublicMemory = freePub;
    t.freePrivateMemory = freePriv;
    t.totalPublicMemory = 100000;
    return t;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, TokenInfo,
    ::testing::Values(
        TokenCase{"Padded", Settings("Profil", "1234", CKF_TOKEN_INITIALIZED, 1000, 2000),
                  "Profil" + std::string(26, ' '), "1234" + std::string(12, ' ')},
        TokenCase{"FullWidth", Settings("LLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLL", "0123456789ABCDEF", 0, 0, 0),
                  std::string(32, 'L'), "0123456789ABCDEF"},
        TokenCase{"Unavailable", Settings("x", "y", CKF_USER_PIN_LOCKED | CKF_SO_PIN_FINAL_TRY,
                                      CK_UNAVAILABLE_INFORMATION, CK_UNAVAILABLE_INFORMATION),
                  "x" + std::string(31, ' '), "y" + std::string(15, ' ')},
        TokenCase{"HighBits", Settings("x", "y", 0x60E0D, 0x1234567890ULL, 0xFFFFFFFF00000001ULL),
                  "x" + std::string(31, ' '), "y" + std::string(15, ' ')}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Stand, TokenInfoWithoutTokenOrSlot) {
    CK_TOKEN_INFO info;
    EXPECT_EQ(fl->C_GetTokenInfo(7, &info), CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(fl->C_GetTokenInfo(99, &info), CKR_SLOT_ID_INVALID);
    ASSERT_EQ(ctl->remove_token(1), 0);
    EXPECT_EQ(fl->C_GetTokenInfo(1, &info), CKR_TOKEN_NOT_PRESENT);
}

// ---- sessions ----

TEST_F(Stand, SessionsAreCountedAndClosedOnce) {
    const CK_SESSION_HANDLE a = Open();
    const CK_SESSION_HANDLE b = Open();
    EXPECT_NE(a, b);
    EXPECT_EQ(ctl->open_session_count(), 2u);
    EXPECT_EQ(fl->C_CloseSession(a), CKR_OK);
    EXPECT_EQ(fl->C_CloseSession(a), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(ctl->open_session_count(), 1u);
    CK_OBJECT_HANDLE h;
    CK_ULONG n;
    EXPECT_EQ(fl->C_FindObjectsInit(a, nullptr, 0), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(fl->C_FindObjects(a, &h, 1, &n), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(fl->C_CloseSession(b), CKR_OK);
    EXPECT_EQ(ctl->open_session_count(), 0u);
}

TEST_F(Stand, OpenSessionRules) {
    struct Case {
        CK_SLOT_ID slot;
        CK_FLAGS flags;
        CK_RV rv;
    };
    const Case cases[] = {
        {1, CKF_RW_SESSION, CKR_SESSION_PARALLEL_NOT_SUPPORTED},
        {7, CKF_RW_SESSION | CKF_SERIAL_SESSION, CKR_TOKEN_NOT_PRESENT},
        {5, CKF_RW_SESSION | CKF_SERIAL_SESSION, CKR_SLOT_ID_INVALID},
        {1, CKF_SERIAL_SESSION, CKR_OK},
    };
    for (const Case& c : cases) {
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(fl->C_OpenSession(c.slot, c.flags, nullptr, nullptr, &h), c.rv) << c.slot << " " << c.flags;
        if (c.rv == CKR_OK) { EXPECT_EQ(fl->C_CloseSession(h), CKR_OK); }
    }
    EXPECT_EQ(ctl->open_session_count(), 0u);
}

TEST_F(Stand, CallLogShowsSessionFlagsAndApplicationByte) {
    ctl->clear_log();
    const CK_SESSION_HANDLE h = Open();
    EXPECT_EQ(fl->C_CloseSession(h), CKR_OK);
    const auto open = LogLines(*ctl, "C_OpenSession");
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0], "C_OpenSession slot=0x1 flags=0x6 app=0x11 notify=NULL session=0x" + [&] {
        char b[32];
        snprintf(b, sizeof b, "%lx", h);
        return std::string(b);
    }() + " -> 0x0");
    ASSERT_EQ(LogLines(*ctl, "C_CloseSession").size(), 1u);
}

// ---- objects, find and attributes ----

class Objects : public Stand {
protected:
    void SetUp() override {
        Stand::SetUp();
        const RsaMaterial& rsa = Rsa(1024);
        ASSERT_FALSE(rsa.certificate.empty());
        const unsigned char id1[] = {0x01, 0x02};
        const unsigned char id2[] = {0x03};
        pub = ctl->add_rsa_public_key(1, rsa.modulus.data(), rsa.modulus.size(), rsa.exponent.data(),
                                      rsa.exponent.size(), id1, sizeof id1, "key one  ", 9);
        cert = ctl->add_certificate(1, rsa.certificate.data(), rsa.certificate.size(), id1, sizeof id1, "cert", 4);
        priv = ctl->add_rsa_private_key(1, rsa.modulus.data(), rsa.modulus.size(), id1, sizeof id1, "priv", 4);
        ec = ctl->add_ec_public_key(1, id2, sizeof id2, "ec", 2);
        data = ctl->add_data_object(1, "data", 4, id2, sizeof id2);
        pub2 = ctl->add_rsa_public_key(1, rsa.modulus.data(), rsa.modulus.size(), rsa.exponent.data(),
                                       rsa.exponent.size(), nullptr, 0, "", 0);
        for (CK_OBJECT_HANDLE h : {pub, cert, priv, ec, data, pub2}) ASSERT_NE(h, 0u);
    }
    CK_OBJECT_HANDLE pub = 0, cert = 0, priv = 0, ec = 0, data = 0, pub2 = 0;
};

TEST_F(Objects, TemplatesMatchAttributeByAttribute) {
    CK_OBJECT_CLASS pubClass = CKO_PUBLIC_KEY, certClass = CKO_CERTIFICATE, privClass = CKO_PRIVATE_KEY;
    CK_KEY_TYPE rsa = CKK_RSA;
    CK_CERTIFICATE_TYPE x509 = CKC_X_509;
    unsigned char id1[] = {0x01, 0x02};
    unsigned char id1Short[] = {0x01};
    unsigned int classAsInt = CKO_PUBLIC_KEY;
    struct Case {
        const char* name;
        std::vector<CK_ATTRIBUTE> templ;
        std::vector<CK_OBJECT_HANDLE> expected;
    };
    const std::vector<Case> cases = {
        {"RsaPublicKeys",
         {Attr(CKA_KEY_TYPE, &rsa, sizeof rsa), Attr(CKA_CLASS, &pubClass, sizeof pubClass)},
         {pub, pub2}},
        {"RsaPublicKeyById",
         {Attr(CKA_KEY_TYPE, &rsa, sizeof rsa), Attr(CKA_CLASS, &pubClass, sizeof pubClass),
          Attr(CKA_ID, id1, sizeof id1)},
         {pub}},
        {"IdPrefixIsNoMatch", {Attr(CKA_ID, id1Short, sizeof id1Short)}, {}},
        {"Certificates",
         {Attr(CKA_CERTIFICATE_TYPE, &x509, sizeof x509), Attr(CKA_CLASS, &certClass, sizeof certClass)},
         {cert}},
        {"PrivateKeysHiddenWithoutLogin",
         {Attr(CKA_KEY_TYPE, &rsa, sizeof rsa), Attr(CKA_CLASS, &privClass, sizeof privClass)},
         {}},
        {"FourByteClassMatchesNothing", {Attr(CKA_CLASS, &classAsInt, sizeof classAsInt)}, {}},
        {"EmptyTemplateSeesAllPublicObjects", {}, {pub, cert, ec, data, pub2}},
    };
    const CK_SESSION_HANDLE s = Open();
    for (const Case& c : cases) EXPECT_EQ(Find(s, c.templ), c.expected) << c.name;
    EXPECT_EQ(fl->C_CloseSession(s), CKR_OK);
}

TEST_F(Objects, PrivateKeysAppearAfterUserLoginUntilTheLastSessionCloses) {
    CK_OBJECT_CLASS privClass = CKO_PRIVATE_KEY;
    std::vector<CK_ATTRIBUTE> templ = {Attr(CKA_CLASS, &privClass, sizeof privClass)};
    const CK_SESSION_HANDLE a = Open();
    const CK_SESSION_HANDLE b = Open();
    unsigned char pin[] = "1234";
    EXPECT_EQ(fl->C_Login(a, CKU_USER, pin, 4), CKR_OK);
    EXPECT_EQ(Find(b, templ), std::vector<CK_OBJECT_HANDLE>{priv}) << "login belongs to the token";
    EXPECT_EQ(fl->C_CloseSession(a), CKR_OK);
    EXPECT_EQ(ctl->login_state(1), static_cast<long>(CKU_USER));
    EXPECT_EQ(fl->C_CloseSession(b), CKR_OK);
    EXPECT_EQ(ctl->login_state(1), -1);
    const CK_SESSION_HANDLE c = Open();
    EXPECT_TRUE(Find(c, templ).empty());
    CK_ATTRIBUTE id = Attr(CKA_ID, nullptr, 0);
    EXPECT_EQ(fl->C_GetAttributeValue(c, priv, &id, 1), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(fl->C_CloseSession(c), CKR_OK);
}

TEST_F(Objects, FindHandsOutInChunksAndStopsAtEnd) {
    const CK_SESSION_HANDLE s = Open();
    ASSERT_EQ(fl->C_FindObjectsInit(s, nullptr, 0), CKR_OK);
    EXPECT_EQ(fl->C_FindObjectsInit(s, nullptr, 0), CKR_OPERATION_ACTIVE);
    CK_OBJECT_HANDLE h[8];
    CK_ULONG n = 99;
    EXPECT_EQ(fl->C_FindObjects(s, h, 3, &n), CKR_OK);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(h[0], pub);
    EXPECT_EQ(fl->C_FindObjects(s, h, 8, &n), CKR_OK);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(h[1], pub2);
    EXPECT_EQ(fl->C_FindObjects(s, h, 8, &n), CKR_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(fl->C_FindObjectsFinal(s), CKR_OK);
    EXPECT_EQ(fl->C_FindObjectsFinal(s), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(fl->C_FindObjects(s, h, 1, &n), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(fl->C_CloseSession(s), CKR_OK);
}

TEST_F(Objects, AttributeLengthQueriesAndBufferRules) {
    const RsaMaterial& rsa = Rsa(1024);
    const CK_SESSION_HANDLE s = Open();
    struct Case {
        const char* name;
        CK_OBJECT_HANDLE object;
        CK_ATTRIBUTE_TYPE type;
        bool withBuffer;
        CK_ULONG capacity;
        CK_RV rv;
        CK_ULONG length;
        CK_ULONG misreport = 0;  // told to report this length for the type
    };
    const CK_ULONG modLen = rsa.modulus.size();
    const Case cases[] = {
        {"QueryModulus", pub, CKA_MODULUS, false, 0, CKR_OK, modLen},
        {"ExactModulus", pub, CKA_MODULUS, true, modLen, CKR_OK, modLen},
        {"RoomyModulus", pub, CKA_MODULUS, true, modLen + 10, CKR_OK, modLen},
        {"ShortModulus", pub, CKA_MODULUS, true, modLen - 1, CKR_BUFFER_TOO_SMALL, CK_UNAVAILABLE_INFORMATION},
        {"LabelWithBlanks", pub, CKA_LABEL, false, 0, CKR_OK, 9},
        {"EmptyLabel", pub2, CKA_LABEL, false, 0, CKR_OK, 0},
        {"EmptyId", pub2, CKA_ID, true, 4, CKR_OK, 0},
        {"MissingOnCertificate", cert, CKA_MODULUS, false, 0, CKR_ATTRIBUTE_TYPE_INVALID,
         CK_UNAVAILABLE_INFORMATION},
        {"CertificateValue", cert, CKA_VALUE, false, 0, CKR_OK, rsa.certificate.size()},
        {"UnknownObject", 0x7777, CKA_LABEL, false, 0, CKR_OBJECT_HANDLE_INVALID, 1234},
        // Only a value copied out is misreported; the length query stays true.
        {"MisreportedId", pub, CKA_ID, true, 2, CKR_OK, 1000, 1000},
        {"MisreportedIdQuery", pub, CKA_ID, false, 0, CKR_OK, 2, 1000},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> buf(c.capacity + 1, 0xEE);
        CK_ATTRIBUTE a = Attr(c.type, c.withBuffer ? buf.data() : nullptr, c.withBuffer ? c.capacity : 1234);
        ctl->misreport_length(c.type, c.misreport);
        EXPECT_EQ(fl->C_GetAttributeValue(s, c.object, &a, 1), c.rv) << c.name;
        ctl->misreport_length(c.type, 0);
        EXPECT_EQ(a.ulValueLen, c.length) << c.name;
        if (c.withBuffer && c.misreport == 0) {
            // Nothing beyond the value (or, when refused, beyond the buffer) is written.
            const CK_ULONG end = c.rv == CKR_OK ? c.length : 0;
            for (CK_ULONG i = end; i < buf.size(); ++i) ASSERT_EQ(buf[i], 0xEE) << c.name << " byte " << i;
        }
        if (c.withBuffer && c.rv == CKR_OK && c.type == CKA_MODULUS) {
            EXPECT_EQ(std::vector<unsigned char>(buf.begin(), buf.begin() + c.length), rsa.modulus) << c.name;
        }
    }
    EXPECT_EQ(fl->C_CloseSession(s), CKR_OK);
}

TEST_F(Objects, MixedTemplateReportsEachAttribute) {
    const CK_SESSION_HANDLE s = Open();
    unsigned char id[8];
    unsigned char label[2];
    CK_ATTRIBUTE t[] = {Attr(CKA_ID, id, sizeof id), Attr(CKA_MODULUS, nullptr, 0),
                        Attr(CKA_LABEL, label, sizeof label), Attr(CKA_VALUE, nullptr, 0)};
    EXPECT_EQ(fl->C_GetAttributeValue(s, cert, t, 4), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(t[0].ulValueLen, 2u);
    EXPECT_EQ(id[0], 0x01);
    EXPECT_EQ(t[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(t[2].ulValueLen, CK_UNAVAILABLE_INFORMATION) << "4-byte label in a 2-byte buffer";
    EXPECT_EQ(t[3].ulValueLen, Rsa(1024).certificate.size());
    EXPECT_EQ(fl->C_CloseSession(s), CKR_OK);
}

TEST_F(Objects, SensitivePrivateValuesStayInside) {
    const CK_SESSION_HANDLE s = Open();
    unsigned char pin[] = "1234";
    ASSERT_EQ(fl->C_Login(s, CKU_USER, pin, 4), CKR_OK);
    unsigned char value[] = {1, 2, 3};
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE create[] = {Attr(CKA_CLASS, &cls, sizeof cls), Attr(CKA_TOKEN, &yes, 1),
                             Attr(CKA_SENSITIVE, &yes, 1), Attr(CKA_PRIVATE_EXPONENT, value, 3)};
    CK_OBJECT_HANDLE h = 0;
    ASSERT_EQ(fl->C_CreateObject(s, create, 4, &h), CKR_OK);
    CK_ATTRIBUTE a = Attr(CKA_PRIVATE_EXPONENT, nullptr, 0);
    EXPECT_EQ(fl->C_GetAttributeValue(s, h, &a, 1), CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(a.ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(fl->C_CloseSession(s), CKR_OK);
}

// ---- login and PINs ----

struct LoginStep {
    CK_USER_TYPE user;
    const char* pin;
    CK_RV rv;
    CK_FLAGS flagsSet;    // must be set afterwards
    CK_FLAGS flagsClear;  // must be clear afterwards
};
struct LoginCase {
    const char* name;
    CK_ULONG userTries;
    CK_ULONG soTries;
    std::vector<LoginStep> steps;
};

class Logins : public Stand, public ::testing::WithParamInterface<LoginCase> {};

TEST_P(Logins, FollowTheRetryCounters) {
    const LoginCase& c = GetParam();
    P11StandToken settings;
    ctl->token_defaults(&settings);
    settings.userPinTries = c.userTries;
    settings.soPinTries = c.soTries;
    ASSERT_EQ(ctl->set_token(1, &settings), 0);
    int i = 0;
    for (const LoginStep& step : c.steps) {
        const CK_SESSION_HANDLE s = Open();
        std::string pin = step.pin;
        EXPECT_EQ(fl->C_Login(s, step.user, reinterpret_cast<unsigned char*>(&pin[0]), pin.size()), step.rv)
            << "step " << i;
        const CK_FLAGS flags = ctl->token_flags(1);
        EXPECT_EQ(flags & step.flagsSet, step.flagsSet) << "step " << i;
        EXPECT_EQ(flags & step.flagsClear, 0u) << "step " << i;
        CK_TOKEN_INFO info;
        ASSERT_EQ(fl->C_GetTokenInfo(1, &info), CKR_OK);
        EXPECT_EQ(info.flags, flags);
        EXPECT_EQ(fl->C_CloseSession(s), CKR_OK);
        ++i;
    }
}

const CK_FLAGS kUserLow = CKF_USER_PIN_COUNT_LOW, kUserFinal = CKF_USER_PIN_FINAL_TRY,
               kUserLocked = CKF_USER_PIN_LOCKED, kSoFinal = CKF_SO_PIN_FINAL_TRY, kSoLocked = CKF_SO_PIN_LOCKED;

INSTANTIATE_TEST_SUITE_P(
    Rules, Logins,
    ::testing::Values(
        LoginCase{"RightUserPin", 3, 10, {{CKU_USER, "1234", CKR_OK, 0, kUserLow | kUserFinal | kUserLocked}}},
        LoginCase{"WrongThenRightRestores",
                  3,
                  10,
                  {{CKU_USER, "9999", CKR_PIN_INCORRECT, kUserLow, kUserFinal | kUserLocked},
                   {CKU_USER, "1234", CKR_OK, 0, kUserLow | kUserFinal}}},
        LoginCase{"ThreeWrongLock",
                  3,
                  10,
                  {{CKU_USER, "0000", CKR_PIN_INCORRECT, kUserLow, kUserFinal | kUserLocked},
                   {CKU_USER, "0000", CKR_PIN_INCORRECT, kUserFinal, kUserLocked},
                   {CKU_USER, "0000", CKR_PIN_INCORRECT, kUserLocked, kUserFinal},
                   {CKU_USER, "1234", CKR_PIN_LOCKED, kUserLocked, 0}}},
        LoginCase{"UnlimitedNeverLocks",
                  0,
                  0,
                  {{CKU_USER, "0000", CKR_PIN_INCORRECT, 0, kUserLocked | kUserLow},
                   {CKU_USER, "0000", CKR_PIN_INCORRECT, 0, kUserLocked | kUserLow},
                   {CKU_USER, "0000", CKR_PIN_INCORRECT, 0, kUserLocked | kUserLow},
                   {CKU_USER, "1234", CKR_OK, 0, 0}}},
        LoginCase{"SoLocksOnItsOwnCounter",
                  3,
                  2,
                  {{CKU_SO, "1234", CKR_PIN_INCORRECT, kSoFinal, kSoLocked | kUserLocked},
                   {CKU_SO, "1234", CKR_PIN_INCORRECT, kSoLocked, kSoFinal | kUserLocked},
                   {CKU_SO, "12345678", CKR_PIN_LOCKED, kSoLocked, 0},
                   {CKU_USER, "1234", CKR_OK, kSoLocked, kUserLocked}}},
        LoginCase{"BadUserType", 3, 10, {{CKU_CONTEXT_SPECIFIC, "1234", CKR_USER_TYPE_INVALID, 0, 0}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Stand, SecondLoginOnTheTokenIsRefused) {
    const CK_SESSION_HANDLE s = Open();
    unsigned char user[] = "1234", so[] = "12345678";
    EXPECT_EQ(fl->C_Login(s, CKU_USER, user, 4), CKR_OK);
    EXPECT_EQ(fl->C_Login(s, CKU_USER, user, 4), CKR_USER_ALREADY_LOGGED_IN);
    EXPECT_EQ(fl->C_Login(s, CKU_SO, so, 8), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
    EXPECT_EQ(fl->C_Logout(s), CKR_OK);
    EXPECT_EQ(fl->C_Logout(s), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(fl->C_CloseSession(s), CKR_OK);
}

// ---- administration ----

TEST_F(Objects, InitTokenKeepsTheGivenLabelAndClearsTheToken) {
    unsigned char so[] = "12345678", wrong[] = "00000000";
    unsigned char label[33] = "New label                       ";
    const CK_SESSION_HANDLE s = Open();
    EXPECT_EQ(fl->C_InitToken(1, so, 8, label), CKR_SESSION_EXISTS);
    EXPECT_EQ(fl->C_CloseSession(s), CKR_OK);
    EXPECT_EQ(fl->C_InitToken(1, wrong, 8, label), CKR_PIN_INCORRECT);
    EXPECT_EQ(ctl->object_handles(1, nullptr, 0), 6u) << "a refused initialisation keeps the objects";
    EXPECT_EQ(fl->C_InitToken(1, so, 8, label), CKR_OK);
    EXPECT_EQ(ctl->object_handles(1, nullptr, 0), 0u);
    CK_TOKEN_INFO info;
    ASSERT_EQ(fl->C_GetTokenInfo(1, &info), CKR_OK);
    EXPECT_EQ(Field(info.label, 32), Field(label, 32));
    EXPECT_EQ(info.flags & CKF_USER_PIN_INITIALIZED, 0u);
    EXPECT_NE(info.flags & CKF_TOKEN_INITIALIZED, 0u);

    // Then the user PIN is set in an SO session, as an unblocking does.
    const CK_SESSION_HANDLE t = Open();
    unsigned char user[] = "5678";
    EXPECT_EQ(fl->C_Login(t, CKU_USER, user, 4), CKR_USER_PIN_NOT_INITIALIZED);
    EXPECT_EQ(fl->C_InitPIN(t, user, 4), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(fl->C_Login(t, CKU_SO, so, 8), CKR_OK);
    EXPECT_EQ(fl->C_InitPIN(t, user, 2), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(fl->C_InitPIN(t, user, 4), CKR_OK);
    EXPECT_EQ(fl->C_CloseSession(t), CKR_OK);
    const CK_SESSION_HANDLE u = Open();
    EXPECT_EQ(fl->C_Login(u, CKU_USER, user, 4), CKR_OK);
    EXPECT_EQ(fl->C_CloseSession(u), CKR_OK);
}

TEST_F(Stand, InitPinUnblocksALockedUserPin) {
    P11StandToken settings;
    ctl->token_defaults(&settings);
    settings.flags |= CKF_USER_PIN_LOCKED;
    ASSERT_EQ(ctl->set_token(1, &settings), 0);
    const CK_SESSION_HANDLE s = Open();
    unsigned char so[] = "12345678", user[] = "4321";
    ASSERT_EQ(fl->C_Login(s, CKU_SO, so, 8), CKR_OK);
    EXPECT_EQ(fl->C_InitPIN(s, user, 4), CKR_OK);
    EXPECT_EQ(ctl->token_flags(1) & CKF_USER_PIN_LOCKED, 0u);
    EXPECT_EQ(fl->C_CloseSession(s), CKR_OK);
}

TEST_F(Stand, SetPinChangesThePinOfWhoeverIsLoggedIn) {
    struct Case {
        CK_USER_TYPE user;
        const char* current;
        const char* old;
        const char* next;
        CK_RV rv;
        const char* nowValid;
    };
    const Case cases[] = {
        {CKU_USER, "1234", "1234", "2468", CKR_OK, "2468"},
        {CKU_USER, "2468", "1111", "3333", CKR_PIN_INCORRECT, "2468"},
        {CKU_SO, "12345678", "12345678", "87654321", CKR_OK, "87654321"},
        {CKU_USER, "2468", "2468", "1", CKR_PIN_LEN_RANGE, "2468"},
    };
    for (const Case& c : cases) {
        const CK_SESSION_HANDLE s = Open();
        std::string cur = c.current, old = c.old, next = c.next, valid = c.nowValid;
        ASSERT_EQ(fl->C_Login(s, c.user, reinterpret_cast<unsigned char*>(&cur[0]), cur.size()), CKR_OK) << c.current;
        EXPECT_EQ(fl->C_SetPIN(s, reinterpret_cast<unsigned char*>(&old[0]), old.size(),
                               reinterpret_cast<unsigned char*>(&next[0]), next.size()),
                  c.rv)
            << c.next;
        EXPECT_EQ(fl->C_CloseSession(s), CKR_OK);
        const CK_SESSION_HANDLE t = Open();
        EXPECT_EQ(fl->C_Login(t, c.user, reinterpret_cast<unsigned char*>(&valid[0]), valid.size()), CKR_OK)
            << c.nowValid;
        EXPECT_EQ(fl->C_CloseSession(t), CKR_OK);
    }
}

TEST_F(Stand, CreateAndDestroyObjects) {
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE, privClass = CKO_PRIVATE_KEY;
    unsigned int shortClass = CKO_CERTIFICATE;
    CK_BBOOL yes = CK_TRUE;
    unsigned char id[32] = {7};
    struct Case {
        const char* name;
        bool login;
        CK_FLAGS sessionFlags;
        std::vector<CK_ATTRIBUTE> templ;
        CK_RV rv;
    };
    const std::vector<Case> cases = {
        {"PublicCertificate", false, 6,
         {Attr(CKA_CLASS, &certClass, sizeof certClass), Attr(CKA_TOKEN, &yes, 1), Attr(CKA_ID, id, 32)}, CKR_OK},
        {"PrivateKeyNeedsLogin", false, 6, {Attr(CKA_CLASS, &privClass, sizeof privClass), Attr(CKA_TOKEN, &yes, 1)},
         CKR_USER_NOT_LOGGED_IN},
        {"PrivateKeyAfterLogin", true, 6, {Attr(CKA_CLASS, &privClass, sizeof privClass), Attr(CKA_TOKEN, &yes, 1)},
         CKR_OK},
        {"ReadOnlySession", false, CKF_SERIAL_SESSION,
         {Attr(CKA_CLASS, &certClass, sizeof certClass), Attr(CKA_TOKEN, &yes, 1)}, CKR_SESSION_READ_ONLY},
        {"NoClass", true, 6, {Attr(CKA_TOKEN, &yes, 1)}, CKR_TEMPLATE_INCOMPLETE},
        {"FourByteClass", true, 6, {Attr(CKA_CLASS, &shortClass, sizeof shortClass)}, CKR_ATTRIBUTE_VALUE_INVALID},
        {"TwiceTheSameType", true, 6,
         {Attr(CKA_CLASS, &certClass, sizeof certClass), Attr(CKA_CLASS, &certClass, sizeof certClass)},
         CKR_TEMPLATE_INCONSISTENT},
    };
    for (const Case& c : cases) {
        CK_SESSION_HANDLE s = 0;
        ASSERT_EQ(fl->C_OpenSession(1, c.sessionFlags, nullptr, nullptr, &s), CKR_OK);
        unsigned char pin[] = "1234";
        if (c.login) { ASSERT_EQ(fl->C_Login(s, CKU_USER, pin, 4), CKR_OK); }
        const CK_ULONG before = ctl->object_handles(1, nullptr, 0);
        CK_OBJECT_HANDLE h = 0;
        EXPECT_EQ(fl->C_CreateObject(s, const_cast<CK_ATTRIBUTE*>(c.templ.data()), c.templ.size(), &h), c.rv)
            << c.name;
        EXPECT_EQ(ctl->object_handles(1, nullptr, 0), before + (c.rv == CKR_OK ? 1 : 0)) << c.name;
        if (c.rv == CKR_OK) {
            unsigned char got[64];
            CK_ULONG len = sizeof got;
            EXPECT_EQ(ctl->object_attribute(h, CKA_CLASS, got, &len), CKR_OK);
            EXPECT_EQ(len, sizeof(CK_ULONG));
            EXPECT_EQ(fl->C_DestroyObject(s, h), CKR_OK) << c.name;
            EXPECT_EQ(fl->C_DestroyObject(s, h), CKR_OBJECT_HANDLE_INVALID) << c.name;
            EXPECT_EQ(ctl->object_handles(1, nullptr, 0), before) << c.name;
        }
        EXPECT_EQ(fl->C_CloseSession(s), CKR_OK);
    }
}

TEST_F(Stand, CreateObjectIsLoggedWithItsTemplate) {
    const CK_SESSION_HANDLE s = Open();
    CK_OBJECT_CLASS cls = CKO_DATA;
    unsigned char label[] = "abc";
    CK_ATTRIBUTE t[] = {Attr(CKA_CLASS, &cls, sizeof cls), Attr(CKA_LABEL, label, 3)};
    CK_OBJECT_HANDLE h = 0;
    ctl->clear_log();
    ASSERT_EQ(fl->C_CreateObject(s, t, 2, &h), CKR_OK);
    const auto lines = LogLines(*ctl, "C_CreateObject");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("count=2 template=[0x0:8=0000000000000000,0x3:3=616263]"), std::string::npos)
        << lines[0];
    EXPECT_EQ(fl->C_CloseSession(s), CKR_OK);
}

TEST_F(Stand, SessionObjectsEndWithTheirSession) {
    const CK_SESSION_HANDLE s = Open();
    CK_OBJECT_CLASS cls = CKO_DATA;
    CK_ATTRIBUTE t[] = {Attr(CKA_CLASS, &cls, sizeof cls)};
    CK_OBJECT_HANDLE h = 0;
    ASSERT_EQ(fl->C_CreateObject(s, t, 1, &h), CKR_OK);
    EXPECT_EQ(ctl->object_handles(1, nullptr, 0), 1u);
    EXPECT_EQ(fl->C_CloseSession(s), CKR_OK);
    EXPECT_EQ(ctl->object_handles(1, nullptr, 0), 0u);
}

// ---- faults ----

struct FaultCase {
    const char* name;
    const char* function;
    unsigned long call;
    CK_RV rv;
    std::vector<CK_RV> expected;  // answers of four calls of GetSlotList / OpenSession
};

class Faults : public Stand, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(Faults, AnswerTheChosenCall) {
    const FaultCase& c = GetParam();
    ctl->fail(c.function, c.call, c.rv);
    ctl->clear_log();
    std::vector<CK_RV> got;
    for (int i = 0; i < 4; ++i) {
        if (std::string(c.function) == "C_GetSlotList") {
            CK_ULONG n = 0;
            got.push_back(fl->C_GetSlotList(CK_TRUE, nullptr, &n));
        } else {
            CK_SESSION_HANDLE h = 0;
            const CK_RV rv = fl->C_OpenSession(1, 6, nullptr, nullptr, &h);
            got.push_back(rv);
            if (rv == CKR_OK) { EXPECT_EQ(fl->C_CloseSession(h), CKR_OK); }
        }
    }
    EXPECT_EQ(got, c.expected);
    EXPECT_EQ(ctl->call_count(c.function), 4u);
    const auto lines = LogLines(*ctl, c.function);
    ASSERT_EQ(lines.size(), 4u);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(lines[i].find("(injected)") != std::string::npos, got[i] != CKR_OK) << lines[i];
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Faults,
    ::testing::Values(FaultCase{"SecondSlotList", "C_GetSlotList", 2, CKR_DEVICE_ERROR,
                                {CKR_OK, CKR_DEVICE_ERROR, CKR_OK, CKR_OK}},
                      FaultCase{"EverySlotList", "C_GetSlotList", 0, CKR_GENERAL_ERROR,
                                {CKR_GENERAL_ERROR, CKR_GENERAL_ERROR, CKR_GENERAL_ERROR, CKR_GENERAL_ERROR}},
                      FaultCase{"VendorCodeOnThirdOpen", "C_OpenSession", 3, 0x80000123UL,
                                {CKR_OK, CKR_OK, 0x80000123UL, CKR_OK}},
                      FaultCase{"HighestVendorCode", "C_OpenSession", 1, 0xFFFFFFFFFFFFFFFEULL,
                                {0xFFFFFFFFFFFFFFFEULL, CKR_OK, CKR_OK, CKR_OK}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Objects, FaultedCallHasNoEffect) {
    ctl->fail("C_GetAttributeValue", 3, CKR_DEVICE_MEMORY);
    ctl->fail("C_CloseSession", 1, CKR_DEVICE_ERROR);
    const CK_SESSION_HANDLE s = Open();
    for (int i = 1; i <= 4; ++i) {
        CK_ATTRIBUTE a = Attr(CKA_LABEL, nullptr, 77);
        const CK_RV rv = fl->C_GetAttributeValue(s, pub, &a, 1);
        EXPECT_EQ(rv, i == 3 ? CKR_DEVICE_MEMORY : CKR_OK) << i;
        EXPECT_EQ(a.ulValueLen, i == 3 ? 77u : 9u) << i;
    }
    EXPECT_EQ(fl->C_CloseSession(s), CKR_DEVICE_ERROR);
    EXPECT_EQ(ctl->open_session_count(), 1u) << "the faulted close closed nothing";
    EXPECT_EQ(fl->C_CloseSession(s), CKR_OK);
}

TEST(FunctionListFaults, SuccessWithoutListAndPlainFailure) {
    Loaded& l = Load(kRegular);
    auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(l.ctl.handle, "C_GetFunctionList"));
    ASSERT_NE(get, nullptr);
    l.ctl.reset();
    l.ctl.fail("C_GetFunctionList", 1, CKR_OK);
    l.ctl.fail("C_GetFunctionList", 2, CKR_HOST_MEMORY);
    CK_FUNCTION_LIST* list = l.fl;
    EXPECT_EQ(get(&list), CKR_OK);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(get(&list), CKR_HOST_MEMORY);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(get(&list), CKR_OK);
    EXPECT_EQ(list, l.fl);
    EXPECT_EQ(get(nullptr), CKR_ARGUMENTS_BAD);
    l.ctl.reset();
}

TEST(FunctionList, EveryEntryIsSetAndUnimplementedOnesSayNotSupported) {
    Loaded& l = Load(kSecure);
    ASSERT_NE(l.fl, nullptr);
    EXPECT_EQ(l.fl->version.major, 2);
    const size_t first = offsetof(CK_FUNCTION_LIST, C_Initialize);
    const size_t count = (sizeof(CK_FUNCTION_LIST) - first) / sizeof(void*);
    EXPECT_EQ(count, 68u);
    for (size_t i = 0; i < count; ++i) {
        void* entry = nullptr;
        std::memcpy(&entry, reinterpret_cast<const char*>(l.fl) + first + i * sizeof(void*), sizeof entry);
        EXPECT_NE(entry, nullptr) << "entry " << i;
    }
    EXPECT_EQ(l.fl->C_Sign(0, nullptr, 0, nullptr, nullptr), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(l.fl->C_GenerateKeyPair(0, nullptr, nullptr, 0, nullptr, 0, nullptr, nullptr), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(l.fl->C_WaitForSlotEvent(0, nullptr, nullptr), CKR_FUNCTION_NOT_SUPPORTED);
}

// ---- GetVersion ----

TEST(Version, TextNullAndLongTexts) {
    Loaded& l = Load(kRegular);
    auto version = reinterpret_cast<const char* (*)()>(dlsym(l.ctl.handle, "GetVersion"));
    ASSERT_NE(version, nullptr);
    const std::string forty(40, 'V');
    struct Case {
        const char* set;
        const char* expected;
    };
    const Case cases[] = {{"9.9.9", "9.9.9"}, {nullptr, nullptr}, {forty.c_str(), forty.c_str()}, {"", ""}};
    for (const Case& c : cases) {
        l.ctl.set_version(c.set);
        const char* got = version();
        if (c.expected == nullptr)
            EXPECT_EQ(got, nullptr);
        else
            EXPECT_STREQ(got, c.expected);
    }
    l.ctl.reset();
    EXPECT_STREQ(version(), "1.4.0.17") << "reset restores the default text";
    EXPECT_EQ(l.ctl.call_count("GetVersion"), 1u);
}

}  // namespace
