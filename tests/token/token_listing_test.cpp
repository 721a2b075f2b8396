// Slot binding, the object search and the key and certificate listings,
// against the stand-in libraries.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/token/StandIns.h"

namespace tokentest {
namespace {

// ---------------------------------------------------------------------------
// Binding
// ---------------------------------------------------------------------------

struct BindCase {
    const char* name;
    std::vector<std::pair<CK_SLOT_ID, std::string>> slots;  // in list order
    std::string reader;
    int rc;           // FindSlotForReader's result
    CK_SLOT_ID slot;  // bound slot when rc is 0
};

const std::string k64(64, 'R');

std::vector<BindCase> BindCases() {
    return {
        {"ExactName", {{kSlotReader1, kReader1}, {kSlotReader0, kReader0}}, kReader0, 0,
         kSlotReader0},
        {"PrefixOfDescription", {{11, "Virtual PCD 00 00 (slot A)"}}, kReader0, 0, 11},
        {"FirstInListOrder",
         {{21, "Other"}, {5, "Virtual PCD 00 00 first"}, {2, "Virtual PCD 00 00 second"}}, kReader0,
         0, 5},
        {"ShortNamePrefixOfBoth", {{9, kReader1}, {4, kReader0}}, "Virtual PCD 00", 0, 9},
        {"NoMatch", {{kSlotReader1, kReader1}}, kReader0, CARDLIB_ERR_NO_SLOT, 0},
        {"DescriptionShorterThanName", {{8, "Virtual PCD"}}, kReader0, CARDLIB_ERR_NO_SLOT, 0},
        {"NoSlots", {}, kReader0, CARDLIB_ERR_NO_SLOT, 0},
        {"NameOf64Bytes", {{6, k64}}, k64, 0, 6},
        // The description holds 64 bytes; a longer name can never be their prefix.
        {"NameOf65Bytes", {{6, k64}}, k64 + "R", CARDLIB_ERR_NO_SLOT, 0},
        {"NameOf100Bytes", {{6, k64}}, k64 + std::string(36, 'R'), CARDLIB_ERR_NO_SLOT, 0},
        // The bytes after the description in the slot information are the
        // manufacturer's; a longer name equal to them must still not match.
        {"NameRunningIntoManufacturer", {{6, k64}}, k64 + "p11stand", CARDLIB_ERR_NO_SLOT, 0},
        {"EmptyName", {{6, kReader0}}, "", CARDLIB_ERR_NO_SLOT, 0},
    };
}

class BindTest : public StandInTest, public ::testing::WithParamInterface<BindCase> {};

TEST_P(BindTest, FindsSlot) {
    const BindCase& c = GetParam();
    for (const auto& s : c.slots) ASSERT_EQ(secure_.add_slot(s.first, s.second.c_str()), 0);
    Load();
    CK_SLOT_ID slot = 0xdead;
    EXPECT_EQ(FindSlotForReader(c.reader.c_str(), &slot, profileLibraries[1].functions), c.rc);
    EXPECT_EQ(slot, c.rc == 0 ? c.slot : 0xdead);
    // The count, then the list (also when it is empty), then each slot up to
    // the first match.
    const auto lists = LogLines(secure_, "C_GetSlotList");
    ASSERT_EQ(lists.size(), 2u);
    EXPECT_NE(lists[0].find("tokenPresent=0 list=NULL"), std::string::npos) << lists[0];
    EXPECT_NE(lists[1].find("tokenPresent=0 list=set"), std::string::npos) << lists[1];
    size_t asked = c.slots.size();
    if (c.rc == 0) {
        for (size_t i = 0; i < c.slots.size(); ++i) {
            if (c.slots[i].first == c.slot) {
                asked = i + 1;
                break;
            }
        }
    }
    EXPECT_EQ(LogLines(secure_, "C_GetSlotInfo").size(), asked);

    // The binding keeps the result in the registry; a failure leaves it unbound.
    profileLibraries[1].slot = 1234;
    EXPECT_EQ(BindProfileToReader(PROFILE_KIND_SECURE, c.reader.c_str()), 0);
    if (c.rc == 0) {
        EXPECT_EQ(profileLibraries[1].slot, c.slot);
        EXPECT_EQ(profileLibraries[1].lastRv, 0u);
    } else {
        EXPECT_EQ(profileLibraries[1].slot, CARDLIB_NO_SLOT_BOUND);
        EXPECT_EQ(profileLibraries[1].lastRv, static_cast<uint64_t>(int64_t{c.rc}));
    }
    ExpectNoOpenSession(secure_);
}

INSTANTIATE_TEST_SUITE_P(Slots, BindTest, ::testing::ValuesIn(BindCases()),
                         [](const auto& info) { return std::string(info.param.name); });

struct BindFaultCase {
    const char* name;
    const char* function;
    unsigned long call;
    CK_RV rv;
    uint64_t lastRv;
};

const BindFaultCase kBindFaults[] = {
    {"SlotCountFails", "C_GetSlotList", 1, CKR_DEVICE_ERROR,
     static_cast<uint64_t>(int64_t{CARDLIB_ERR_NO_SLOT})},
    {"SlotListFails", "C_GetSlotList", 2, CKR_DEVICE_ERROR,
     static_cast<uint64_t>(int64_t{CARDLIB_ERR_NO_SLOT})},
    {"SlotInfoFails", "C_GetSlotInfo", 1, CKR_DEVICE_ERROR, CKR_DEVICE_ERROR},
    {"SlotInfoVendorCode", "C_GetSlotInfo", 1, 0x80000001UL, 0x80000001UL},
    {"SlotInfoHighVendorCode", "C_GetSlotInfo", 2, 0xFFFFFFFF80000000UL, 0xFFFFFFFF80000000UL},
};

class BindFaultTest : public StandInTest, public ::testing::WithParamInterface<BindFaultCase> {};

TEST_P(BindFaultTest, FailureLeavesProfileUnbound) {
    const BindFaultCase& c = GetParam();
    AddReaderSlot(regular_, kSlotReader1, kReader1);
    AddReaderSlot(regular_, kSlotReader0, kReader0);
    AddRsaKey(regular_, kSlotReader1, Rsa(1024), "other", "other reader's key");
    AddRsaKey(regular_, kSlotReader0, Rsa(1024), "mine", "this reader's key");
    Load();
    // Bound to the other reader first.
    ASSERT_EQ(BindProfileToReader(PROFILE_KIND_REGULAR, kReader1), 0);
    ASSERT_EQ(profileLibraries[0].slot, kSlotReader1);
    regular_.fail(c.function, regular_.call_count(c.function) + c.call, c.rv);

    EXPECT_EQ(BindProfileToReader(PROFILE_KIND_REGULAR, kReader0), 0);
    EXPECT_EQ(profileLibraries[0].lastRv, c.lastRv);
    EXPECT_EQ(profileLibraries[0].slot, CARDLIB_NO_SLOT_BOUND);

    // The listings that follow fail quietly rather than show the other card.
    const unsigned long opens = regular_.call_count("C_OpenSession");
    PublicKeyInfoList keys;
    EXPECT_EQ(ListPublicKeys(PROFILE_KIND_REGULAR, &keys), CARDLIB_ERR_PKCS11);
    EXPECT_EQ(+keys.count, 0);
    auto certs = std::make_unique<CertificateInfoList>();
    EXPECT_EQ(ListCertificates(PROFILE_KIND_REGULAR, certs.get()), CARDLIB_ERR_PKCS11);
    EXPECT_EQ(+certs->count, 0);
    EXPECT_EQ(regular_.call_count("C_OpenSession"), opens);
    ExpectNoOpenSession(regular_);
}

INSTANTIATE_TEST_SUITE_P(Faults, BindFaultTest, ::testing::ValuesIn(kBindFaults),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StandInTest, BindingDoesNotClearLastRv) {
    AddReaderSlot(regular_, kSlotReader0, kReader0);
    Load();
    profileLibraries[0].lastRv = 0x42;
    ASSERT_EQ(BindProfileToReader(PROFILE_KIND_REGULAR, kReader0), 0);
    EXPECT_EQ(profileLibraries[0].slot, kSlotReader0);
    EXPECT_EQ(profileLibraries[0].lastRv, 0x42u);
}

// ---------------------------------------------------------------------------
// FindTokenObjects
// ---------------------------------------------------------------------------

TEST_F(StandInTest, FindTokenObjectsLimits) {
    AddReaderSlot(regular_, kSlotReader0, kReader0);
    std::vector<CK_OBJECT_HANDLE> added;
    for (int i = 0; i < 5; ++i) {
        added.push_back(AddCertificate(regular_, kSlotReader0, Rsa(1024).certificate,
                                       "id" + std::to_string(i), "c"));
    }
    Load();
    CK_FUNCTION_LIST* f = profileLibraries[0].functions;
    CK_SESSION_HANDLE session = 0;
    ASSERT_EQ(f->C_OpenSession(kSlotReader0, CKF_SERIAL_SESSION, nullptr, nullptr, &session),
              CKR_OK);

    struct {
        CK_ULONG max;
        CK_ULONG found;
        unsigned long findCalls;
    } cases[] = {{0, 0, 0}, {1, 1, 1}, {3, 3, 3}, {5, 5, 5}, {6, 5, 6}, {15, 5, 6}};
    for (const auto& c : cases) {
        const unsigned long before = regular_.call_count("C_FindObjects");
        CK_OBJECT_HANDLE* handles = reinterpret_cast<CK_OBJECT_HANDLE*>(0x1);
        CK_ULONG max = c.max;
        ASSERT_EQ(FindCertificates(session, nullptr, 0, &handles, &max, f), CKR_OK);
        EXPECT_EQ(max, c.found) << "max " << c.max;
        EXPECT_EQ(regular_.call_count("C_FindObjects") - before, c.findCalls) << "max " << c.max;
        if (c.found == 0) {
            EXPECT_EQ(handles, nullptr);
        } else {
            EXPECT_EQ(std::vector<CK_OBJECT_HANDLE>(handles, handles + max),
                      std::vector<CK_OBJECT_HANDLE>(added.begin(), added.begin() + max));
        }
        std::free(handles);
    }

    // By ID: the ID is part of the template.
    CK_OBJECT_HANDLE* handles = nullptr;
    CK_ULONG max = 15;
    const uint8_t id[] = {'i', 'd', '3'};
    ASSERT_EQ(FindCertificates(session, id, sizeof id, &handles, &max, f), CKR_OK);
    ASSERT_EQ(max, 1u);
    EXPECT_EQ(handles[0], added[3]);
    std::free(handles);

    // A failing init leaves both outputs as they were.
    regular_.fail("C_FindObjectsInit", regular_.call_count("C_FindObjectsInit") + 1,
                  CKR_OPERATION_ACTIVE);
    handles = reinterpret_cast<CK_OBJECT_HANDLE*>(0x1);
    max = 7;
    EXPECT_EQ(FindPublicKeys(session, nullptr, 0, &handles, &max, f), CKR_OPERATION_ACTIVE);
    EXPECT_EQ(handles, reinterpret_cast<CK_OBJECT_HANDLE*>(0x1));
    EXPECT_EQ(max, 7u);

    // A failing step ends the search and hands out nothing.
    regular_.fail("C_FindObjects", regular_.call_count("C_FindObjects") + 3, CKR_DEVICE_ERROR);
    const unsigned long finals = regular_.call_count("C_FindObjectsFinal");
    max = 15;
    EXPECT_EQ(FindCertificates(session, nullptr, 0, &handles, &max, f), CKR_DEVICE_ERROR);
    EXPECT_EQ(handles, nullptr);
    EXPECT_EQ(max, 0u);
    EXPECT_EQ(regular_.call_count("C_FindObjectsFinal"), finals + 1);
    f->C_CloseSession(session);
}

TEST_F(StandInTest, SearchTemplates) {
    AddReaderSlot(regular_, kSlotReader0, kReader0);
    Load();
    ASSERT_EQ(BindProfileToReader(PROFILE_KIND_REGULAR, kReader0), 0);
    PublicKeyInfoList keys;
    ASSERT_EQ(ListPublicKeys(PROFILE_KIND_REGULAR, &keys), 0);
    auto certs = std::make_unique<CertificateInfoList>();
    ASSERT_EQ(ListCertificates(PROFILE_KIND_REGULAR, certs.get()), 0);
    const auto inits = LogLines(regular_, "C_FindObjectsInit");
    ASSERT_EQ(inits.size(), 2u);
    // CKA_KEY_TYPE = CKK_RSA, CKA_CLASS = CKO_PUBLIC_KEY, 8 bytes each.
    EXPECT_NE(inits[0].find("[0x100:8=0000000000000000,0x0:8=0200000000000000]"),
              std::string::npos)
        << inits[0];
    // CKA_CERTIFICATE_TYPE = CKC_X_509, CKA_CLASS = CKO_CERTIFICATE.
    EXPECT_NE(inits[1].find("[0x80:8=0000000000000000,0x0:8=0100000000000000]"),
              std::string::npos)
        << inits[1];
}

// ---------------------------------------------------------------------------
// Listings
// ---------------------------------------------------------------------------

class ListingTest : public StandInTest {
protected:
    void Bind() {
        Load();
        ASSERT_EQ(BindProfileToReader(PROFILE_KIND_SECURE, kReader0), 0);
        ASSERT_EQ(profileLibraries[1].slot, kSlotReader0);
    }
    void SetUp() override {
        StandInTest::SetUp();
        AddReaderSlot(secure_, kSlotReader0, kReader0);
    }
    void TearDown() override {
        ExpectNoOpenSession(secure_);
        StandInTest::TearDown();
    }
};

TEST_F(ListingTest, EmptyToken) {
    Bind();
    PublicKeyInfoList keys;
    std::memset(&keys, 0x77, sizeof keys);
    EXPECT_EQ(ListPublicKeys(PROFILE_KIND_SECURE, &keys), 0);
    EXPECT_EQ(+keys.count, 0);
    auto certs = std::make_unique<CertificateInfoList>();
    std::memset(certs.get(), 0x77, sizeof *certs);
    EXPECT_EQ(ListCertificates(PROFILE_KIND_SECURE, certs.get()), 0);
    EXPECT_EQ(+certs->count, 0);
    // The whole record is zero, not only the count.
    const PublicKeyInfoList zeroKeys{};
    EXPECT_EQ(std::memcmp(&keys, &zeroKeys, sizeof keys), 0);
}

class KeySizeTest : public ListingTest, public ::testing::WithParamInterface<int> {};

TEST_P(KeySizeTest, PublicKeyRecord) {
    const RsaKey& key = Rsa(GetParam());
    const std::string label = "Klucz " + std::to_string(GetParam());
    const CK_OBJECT_HANDLE h = AddRsaKey(secure_, kSlotReader0, key, "\x01\x02\x03", label + "   ");
    Bind();
    PublicKeyInfoList keys;
    ASSERT_EQ(ListPublicKeys(PROFILE_KIND_SECURE, &keys), 0);
    ASSERT_EQ(+keys.count, 1);
    const PublicKeyInfo& k = keys.keys[0];
    EXPECT_EQ(k.objectKind, 0);
    EXPECT_EQ(+k.keyBits, GetParam());
    EXPECT_EQ(+k.modulusLength, static_cast<uint32_t>(GetParam() / 8));
    EXPECT_EQ(Str(k.modulus, +k.modulusLength), Str(key.modulus.data(), key.modulus.size()));
    EXPECT_EQ(Str(k.exponent, +k.exponentLength), Str(key.exponent.data(), key.exponent.size()));
    EXPECT_EQ(+k.idLength, 3u);
    EXPECT_EQ(Str(k.id, 3), "\x01\x02\x03");
    EXPECT_EQ(+k.handle, h);
    EXPECT_STREQ(k.label, label.c_str());
    EXPECT_EQ(profileLibraries[1].lastRv, 0u);
}

TEST_P(KeySizeTest, CertificateRecord) {
    const RsaKey& key = Rsa(GetParam());
    const CK_OBJECT_HANDLE h = AddCertificate(secure_, kSlotReader0, key.certificate, "cid", "Cert");
    Bind();
    auto certs = std::make_unique<CertificateInfoList>();
    ASSERT_EQ(ListCertificates(PROFILE_KIND_SECURE, certs.get()), 0);
    ASSERT_EQ(+certs->count, 1);
    const CertificateInfo& c = certs->certificates[0];
    EXPECT_EQ(+c.keyBits, GetParam());
    EXPECT_EQ(+c.valueLength, key.certificate.size());
    EXPECT_EQ(Str(c.value, +c.valueLength), Str(key.certificate.data(), key.certificate.size()));
    EXPECT_EQ(+c.handle, h);
    EXPECT_EQ(Str(c.id, +c.idLength), "cid");
    EXPECT_STREQ(c.label, "Cert");
}

INSTANTIATE_TEST_SUITE_P(Sizes, KeySizeTest, ::testing::Values(1024, 2048, 3072));

TEST_F(ListingTest, CertificateKinds) {
    const Bytes garbage = {0x30, 0x03, 0x02, 0x01};
    struct {
        Bytes der;
        int bits;
    } cases[] = {
        {EcP256Certificate(), 256},
        {garbage, 0},
        {Bytes(Rsa(2048).certificate.begin(), Rsa(2048).certificate.begin() + 100), 0},
        {Rsa(1024).certificate, 1024},
    };
    for (const auto& c : cases) AddCertificate(secure_, kSlotReader0, c.der, "", "");
    Bind();
    auto certs = std::make_unique<CertificateInfoList>();
    ASSERT_EQ(ListCertificates(PROFILE_KIND_SECURE, certs.get()), 0);
    ASSERT_EQ(+certs->count, 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(+certs->certificates[i].keyBits, cases[i].bits) << i;
        EXPECT_EQ(+certs->certificates[i].valueLength, cases[i].der.size()) << i;
        EXPECT_EQ(+certs->certificates[i].idLength, 0u);
        EXPECT_STREQ(certs->certificates[i].label, "");
    }
    EXPECT_EQ(profileLibraries[1].lastRv, 0u);
}

TEST_F(ListingTest, OnlyRsaPublicKeysAndCertificatesWithoutLogin) {
    const RsaKey& key = Rsa(1024);
    const CK_OBJECT_HANDLE pub = AddRsaKey(secure_, kSlotReader0, key, "k", "pub");
    secure_.add_rsa_private_key(kSlotReader0, key.modulus.data(), key.modulus.size(),
                                reinterpret_cast<const unsigned char*>("k"), 1, "priv", 4);
    secure_.add_ec_public_key(kSlotReader0, reinterpret_cast<const unsigned char*>("e"), 1, "ec",
                              2);
    secure_.add_data_object(kSlotReader0, "data", 4, reinterpret_cast<const unsigned char*>("x"),
                            1);
    const CK_OBJECT_HANDLE cert = AddCertificate(secure_, kSlotReader0, key.certificate, "k", "c");
    Bind();
    PublicKeyInfoList keys;
    ASSERT_EQ(ListPublicKeys(PROFILE_KIND_SECURE, &keys), 0);
    ASSERT_EQ(+keys.count, 1);
    EXPECT_EQ(+keys.keys[0].handle, pub);
    auto certs = std::make_unique<CertificateInfoList>();
    ASSERT_EQ(ListCertificates(PROFILE_KIND_SECURE, certs.get()), 0);
    ASSERT_EQ(+certs->count, 1);
    EXPECT_EQ(+certs->certificates[0].handle, cert);
    EXPECT_EQ(secure_.call_count("C_Login"), 0u);
}

TEST_F(ListingTest, SixteenObjectsListFifteen) {
    std::vector<CK_OBJECT_HANDLE> keyHandles, certHandles;
    for (int i = 0; i < 16; ++i) {
        keyHandles.push_back(AddRsaKey(secure_, kSlotReader0, Rsa(1024), "k" + std::to_string(i),
                                       "key " + std::to_string(i)));
        certHandles.push_back(AddCertificate(secure_, kSlotReader0, Rsa(1024).certificate,
                                             "c" + std::to_string(i), "cert " + std::to_string(i)));
    }
    Bind();
    PublicKeyInfoList keys;
    ASSERT_EQ(ListPublicKeys(PROFILE_KIND_SECURE, &keys), 0);
    auto certs = std::make_unique<CertificateInfoList>();
    ASSERT_EQ(ListCertificates(PROFILE_KIND_SECURE, certs.get()), 0);
    ASSERT_EQ(+keys.count, 15);
    ASSERT_EQ(+certs->count, 15);
    for (int i = 0; i < 15; ++i) {
        EXPECT_EQ(+keys.keys[i].handle, keyHandles[i]);
        EXPECT_EQ(("key " + std::to_string(i)), keys.keys[i].label);
        EXPECT_EQ(+certs->certificates[i].handle, certHandles[i]);
        EXPECT_EQ(("cert " + std::to_string(i)), certs->certificates[i].label);
        EXPECT_EQ(+certs->certificates[i].keyBits, 1024);
    }
}

TEST_F(ListingTest, EmptyLabelAndId) {
    AddRsaKey(secure_, kSlotReader0, Rsa(2048), "", "");
    AddRsaKey(secure_, kSlotReader0, Rsa(2048), "", "        ");
    Bind();
    PublicKeyInfoList keys;
    ASSERT_EQ(ListPublicKeys(PROFILE_KIND_SECURE, &keys), 0);
    ASSERT_EQ(+keys.count, 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(+keys.keys[i].idLength, 0u);
        EXPECT_STREQ(keys.keys[i].label, "");
        EXPECT_EQ(+keys.keys[i].keyBits, 2048);
    }
}

// Values larger than the record's fields are cut to them, the length fields
// tell what was kept, and the key size still comes from the whole value.
TEST_F(ListingTest, OversizedValuesAreBounded) {
    const Bytes bigModulus(1100, 0xC3);  // 8800 bits
    const Bytes bigExponent(1030, 0x01);
    const std::string longId(200, 'I');
    const std::string longLabel(200, 'L');
    secure_.add_rsa_public_key(kSlotReader0, bigModulus.data(), bigModulus.size(),
                               bigExponent.data(), bigExponent.size(),
                               reinterpret_cast<const unsigned char*>(longId.data()), longId.size(),
                               longLabel.data(), longLabel.size());
    Bytes bigCert = Rsa(2048).certificate;
    bigCert.resize(5000, 0x00);  // the certificate followed by padding
    AddCertificate(secure_, kSlotReader0, bigCert, longId, longLabel);
    Bind();
    PublicKeyInfoList keys;
    ASSERT_EQ(ListPublicKeys(PROFILE_KIND_SECURE, &keys), 0);
    ASSERT_EQ(+keys.count, 1);
    const PublicKeyInfo& k = keys.keys[0];
    EXPECT_EQ(+k.modulusLength, 1024u);
    EXPECT_EQ(+k.exponentLength, 1024u);
    EXPECT_EQ(+k.idLength, 128u);
    EXPECT_EQ(Str(k.id, 128), std::string(128, 'I'));
    EXPECT_EQ(std::string(k.label), std::string(128, 'L'));
    EXPECT_EQ(+k.keyBits, 8800);

    auto certs = std::make_unique<CertificateInfoList>();
    ASSERT_EQ(ListCertificates(PROFILE_KIND_SECURE, certs.get()), 0);
    ASSERT_EQ(+certs->count, 1);
    const CertificateInfo& c = certs->certificates[0];
    EXPECT_EQ(+c.valueLength, 4096u);
    EXPECT_EQ(+c.idLength, 128u);
    EXPECT_EQ(std::string(c.label), std::string(128, 'L'));
    EXPECT_EQ(+c.keyBits, 2048);
}

TEST_F(ListingTest, LargeCertificateKeySizeFromWholeValue) {
    // A certificate longer than the record: only the whole DER decodes.
    const Bytes& der = LargeCertificate();
    ASSERT_GT(der.size(), 4096u);
    AddCertificate(secure_, kSlotReader0, der, "big", "big");
    Bind();
    auto certs = std::make_unique<CertificateInfoList>();
    ASSERT_EQ(ListCertificates(PROFILE_KIND_SECURE, certs.get()), 0);
    ASSERT_EQ(+certs->count, 1);
    EXPECT_EQ(+certs->certificates[0].valueLength, 4096u);
    EXPECT_EQ(+certs->certificates[0].keyBits, 2048);
}

// ---------------------------------------------------------------------------
// Listing failures: nothing listed, nothing leaked, the session closed
// ---------------------------------------------------------------------------

struct ListFaultCase {
    const char* name;
    const char* function;  // nullptr: the library misreports a length instead
    unsigned long call;    // counted from the listing's start
    CK_RV rv;
    // A length the library reports for a value it has just copied, beyond
    // the buffer it was given; the listing keeps what the buffer holds.
    CK_ATTRIBUTE_TYPE misreported = 0;
    CK_ULONG misreportedLength = 0;
};

const ListFaultCase kListFaults[] = {
    {"OpenSession", "C_OpenSession", 1, CKR_SESSION_COUNT},
    {"FindInit", "C_FindObjectsInit", 1, CKR_DEVICE_ERROR},
    {"FindFirst", "C_FindObjects", 1, CKR_DEVICE_ERROR},
    {"FindSecond", "C_FindObjects", 2, CKR_DEVICE_MEMORY},
    {"FindVendor", "C_FindObjects", 3, 0x8000F00DUL},
    {"LengthsOfFirstObject", "C_GetAttributeValue", 1, CKR_ATTRIBUTE_SENSITIVE},
    {"ValuesOfFirstObject", "C_GetAttributeValue", 2, CKR_DEVICE_ERROR},
    {"LengthsOfThirdObject", "C_GetAttributeValue", 5, CKR_ATTRIBUTE_TYPE_INVALID},
    {"ValuesOfThirdObject", "C_GetAttributeValue", 6, CKR_GENERAL_ERROR},
    {"ValuesOfLastObjectVendor", "C_GetAttributeValue", 8, 0x80000077UL},
    {"IdLongerThanBuffer", nullptr, 0, CKR_OK, CKA_ID, 1000},
    {"LabelLengthUnavailable", nullptr, 0, CKR_OK, CKA_LABEL, CK_UNAVAILABLE_INFORMATION},
};

class ListFaultTest : public ListingTest, public ::testing::WithParamInterface<ListFaultCase> {
protected:
    void Inject() {
        const ListFaultCase& c = GetParam();
        if (c.function != nullptr) {
            secure_.fail(c.function, secure_.call_count(c.function) + c.call, c.rv);
        } else {
            secure_.misreport_length(c.misreported, c.misreportedLength);
        }
    }
};

TEST_P(ListFaultTest, PublicKeys) {
    const ListFaultCase& c = GetParam();
    for (int i = 0; i < 4; ++i) AddRsaKey(secure_, kSlotReader0, Rsa(1024), "id", "label");
    Bind();
    Inject();
    PublicKeyInfoList keys;
    std::memset(&keys, 0x33, sizeof keys);
    EXPECT_EQ(ListPublicKeys(PROFILE_KIND_SECURE, &keys), c.function ? CARDLIB_ERR_PKCS11 : 0);
    EXPECT_EQ(profileLibraries[1].lastRv, c.rv);
    if (c.function == nullptr) {
        ASSERT_EQ(+keys.count, 4);
        for (int i = 0; i < 4; ++i) {
            const PublicKeyInfo& k = keys.keys[i];
            EXPECT_EQ(Str(k.id, +k.idLength), "id");
            EXPECT_STREQ(k.label, "label");
            EXPECT_EQ(+k.modulusLength, 128u);
            EXPECT_EQ(+k.keyBits, 1024);
        }
        return;
    }
    const PublicKeyInfoList zero{};
    EXPECT_EQ(std::memcmp(&keys, &zero, sizeof keys), 0);
}

TEST_P(ListFaultTest, Certificates) {
    const ListFaultCase& c = GetParam();
    for (int i = 0; i < 4; ++i) AddCertificate(secure_, kSlotReader0, Rsa(1024).certificate, "i", "l");
    Bind();
    Inject();
    auto certs = std::make_unique<CertificateInfoList>();
    std::memset(certs.get(), 0x33, sizeof *certs);
    EXPECT_EQ(ListCertificates(PROFILE_KIND_SECURE, certs.get()), c.function ? CARDLIB_ERR_PKCS11 : 0);
    EXPECT_EQ(profileLibraries[1].lastRv, c.rv);
    if (c.function == nullptr) {
        ASSERT_EQ(+certs->count, 4);
        for (int i = 0; i < 4; ++i) {
            const CertificateInfo& cert = certs->certificates[i];
            EXPECT_EQ(Str(cert.id, +cert.idLength), "i");
            EXPECT_STREQ(cert.label, "l");
            EXPECT_EQ(+cert.valueLength, Rsa(1024).certificate.size());
            EXPECT_EQ(+cert.keyBits, 1024);
        }
        return;
    }
    auto zero = std::make_unique<CertificateInfoList>();
    std::memset(zero.get(), 0, sizeof *zero);
    EXPECT_EQ(std::memcmp(certs.get(), zero.get(), sizeof *certs), 0);
}

INSTANTIATE_TEST_SUITE_P(Faults, ListFaultTest, ::testing::ValuesIn(kListFaults),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ListingTest, FailedOpenSessionClosesNothing) {
    Bind();
    secure_.fail("C_OpenSession", 0, CKR_SESSION_COUNT);
    PublicKeyInfoList keys;
    EXPECT_EQ(ListPublicKeys(PROFILE_KIND_SECURE, &keys), CARDLIB_ERR_PKCS11);
    EXPECT_EQ(secure_.call_count("C_CloseSession"), 0u);
}

// A listing clears lastRv of an earlier failure.
TEST_F(ListingTest, SuccessClearsLastRv) {
    AddRsaKey(secure_, kSlotReader0, Rsa(1024), "id", "label");
    Bind();
    profileLibraries[1].lastRv = 0x1234;
    PublicKeyInfoList keys;
    ASSERT_EQ(ListPublicKeys(PROFILE_KIND_SECURE, &keys), 0);
    EXPECT_EQ(profileLibraries[1].lastRv, 0u);
}

}  // namespace
}  // namespace tokentest
