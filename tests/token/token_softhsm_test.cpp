// The card layer against a real PKCS#11 module: SoftHSM2 serves the secure
// profile from a private token folder under the build tree, the reader name
// is the slot's description, and the card side comes from the fake port API.
// Object handles are renumbered by the module once the slot's last session
// closes, so nothing here compares a handle across operations.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/fakepcsc2std/FakePcsc2std.h"
#include "tests/support/testkit/testkit.h"
#include "tests/token/TestKeys.h"
#include "token/cardlib.h"
#include "token/cardlib_internal.h"

namespace tokentest {
namespace {

const char kLabel[] = "Vantrelon SoftHSM";
const char kUserPin[] = "1234";
const char kSoPin[] = "12345678";
const char kImportLabel[] = "Import przez Vantrelon Card Manag";
const std::string kHome = VD_SOFTHSM_HOME;
const std::string kTokens = kHome + "/tokens";
const std::string kConf = kHome + "/softhsm2.conf";
// Static: the registry keeps the pointers.
const std::string kModule = VD_SOFTHSM2_MODULE;
const std::string kNoLibrary = kHome + "/no-such-library.so";

std::string TrimBlanks(const unsigned char* field, size_t length) {
    std::string s(reinterpret_cast<const char*>(field), length);
    return s.substr(0, s.find_last_not_of(' ') + 1);
}

class SoftHsmTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        mkdir(kHome.c_str(), 0700);
        std::ofstream conf(kConf);
        conf << "directories.tokendir = " << kTokens << "\n"
             << "objectstore.backend = file\n"
             << "log.level = ERROR\n"
             << "slots.removable = false\n";
        // Read by the module and by softhsm2-util alike.
        setenv("SOFTHSM2_CONF", kConf.c_str(), 1);
    }

    void SetUp() override {
        ASSERT_TRUE(std::ifstream(kConf).good()) << kConf;
        std::error_code error;
        std::filesystem::remove_all(kTokens, error);
        ASSERT_FALSE(error) << kTokens << ": " << error.message();
        ASSERT_EQ(mkdir(kTokens.c_str(), 0700), 0) << std::strerror(errno);
        std::string output;
        ASSERT_EQ(testkit::RunCaptured({VD_SOFTHSM2_UTIL, "--init-token", "--free", "--label", kLabel,
                                        "--so-pin", kSoPin, "--pin", kUserPin},
                                       &output, true),
                  0)
            << "softhsm2-util could not make the token: " << output;
        ResetProfileLibrariesForTesting();
        SetProfileLibraryPathsForTesting(PROFILE_KIND_REGULAR, kNoLibrary.c_str(),
                                         kNoLibrary.c_str());
        SetProfileLibraryPathsForTesting(PROFILE_KIND_SECURE, kModule.c_str(), nullptr);
        LibraryLoadReport report{};
        ASSERT_EQ(LoadProfileLibraries(&report), 0);
        ASSERT_EQ(report.entries[1].initialized, 1) << "lastRv " << profileLibraries[1].lastRv;
        ASSERT_EQ(report.entries[0].loaded, 0);
        f_ = profileLibraries[1].functions;
        ASSERT_NO_FATAL_FAILURE(FindReader());
        ASSERT_EQ(BindProfileToReader(PROFILE_KIND_SECURE, reader_.c_str()), 0);
        ASSERT_EQ(profileLibraries[1].slot, slot_) << "lastRv " << profileLibraries[1].lastRv;
    }

    void TearDown() override {
        CloseReaderPort();
        ResetProfileLibrariesForTesting();
        SetProfileLibraryPathsForTesting(PROFILE_KIND_REGULAR, nullptr, nullptr);
        SetProfileLibraryPathsForTesting(PROFILE_KIND_SECURE, nullptr, nullptr);
    }

    // The slot of the token made in SetUp, and its description as the name
    // of the reader the card sits in.
    void FindReader() {
        CK_ULONG count = 0;
        ASSERT_EQ(f_->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
        std::vector<CK_SLOT_ID> slots(count);
        ASSERT_EQ(f_->C_GetSlotList(CK_TRUE, slots.data(), &count), CKR_OK);
        for (CK_SLOT_ID slot : slots) {
            CK_TOKEN_INFO token;
            CK_SLOT_INFO info;
            if (f_->C_GetTokenInfo(slot, &token) != CKR_OK) continue;
            if (TrimBlanks(token.label, sizeof token.label) != kLabel) continue;
            ASSERT_EQ(f_->C_GetSlotInfo(slot, &info), CKR_OK);
            slot_ = slot;
            reader_ = TrimBlanks(info.slotDescription, sizeof info.slotDescription);
            serial_ = TrimBlanks(token.serialNumber, sizeof token.serialNumber);
            return;
        }
        FAIL() << "no slot holds the token " << kLabel;
    }

    // Every operation closed the sessions it opened: the module knows no
    // session handle (it hands them out from 1 and reuses closed ones).
    void ExpectNoSessionOpen() {
        for (CK_SESSION_HANDLE h = 1; h <= 64; ++h) {
            CK_SESSION_INFO info;
            EXPECT_EQ(f_->C_GetSessionInfo(h, &info), CKR_SESSION_HANDLE_INVALID) << "session " << h;
        }
    }

    // A logged-in session of the test's own.
    CK_SESSION_HANDLE UserSession() {
        CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
        EXPECT_EQ(f_->C_OpenSession(slot_, CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr, nullptr, &s),
                  CKR_OK);
        EXPECT_EQ(f_->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin_)),
                              std::strlen(pin_)),
                  CKR_OK);
        return s;
    }

    // Number of objects of the class (with that CKA_ID when one is given),
    // private ones included.
    CK_ULONG Count(CK_OBJECT_CLASS objectClass, const Bytes* id = nullptr) {
        const CK_SESSION_HANDLE s = UserSession();
        CK_ATTRIBUTE templ[] = {
            {CKA_CLASS, &objectClass, sizeof objectClass},
            {CKA_ID, id ? const_cast<uint8_t*>(id->data()) : nullptr, id ? id->size() : 0},
        };
        EXPECT_EQ(f_->C_FindObjectsInit(s, templ, id ? 2 : 1), CKR_OK);
        CK_OBJECT_HANDLE found[64];
        CK_ULONG n = 0;
        EXPECT_EQ(f_->C_FindObjects(s, found, 64, &n), CKR_OK);
        f_->C_FindObjectsFinal(s);
        f_->C_CloseSession(s);
        return n;
    }

    // Stores the key's public and private halves, without a certificate.
    void StoreKeyPair(const RsaKey& key, const std::string& id) {
        const CK_SESSION_HANDLE s = UserSession();
        CK_OBJECT_CLASS pubClass = CKO_PUBLIC_KEY, privClass = CKO_PRIVATE_KEY;
        CK_KEY_TYPE rsa = CKK_RSA;
        CK_BBOOL yes = CK_TRUE;
        auto v = [](const Bytes& b) { return const_cast<uint8_t*>(b.data()); };
        const Bytes idBytes = Text(id);
        CK_ATTRIBUTE pub[] = {
            {CKA_CLASS, &pubClass, sizeof pubClass},
            {CKA_KEY_TYPE, &rsa, sizeof rsa},
            {CKA_TOKEN, &yes, sizeof yes},
            {CKA_ID, v(idBytes), idBytes.size()},
            {CKA_MODULUS, v(key.modulus), key.modulus.size()},
            {CKA_PUBLIC_EXPONENT, v(key.exponent), key.exponent.size()},
        };
        CK_ATTRIBUTE priv[] = {
            {CKA_CLASS, &privClass, sizeof privClass},
            {CKA_KEY_TYPE, &rsa, sizeof rsa},
            {CKA_TOKEN, &yes, sizeof yes},
            {CKA_PRIVATE, &yes, sizeof yes},
            {CKA_ID, v(idBytes), idBytes.size()},
            {CKA_LABEL, const_cast<char*>("Podpis"), 6},
            {CKA_MODULUS, v(key.modulus), key.modulus.size()},
            {CKA_PRIVATE_EXPONENT, v(key.privateExponent), key.privateExponent.size()},
            {CKA_PRIME_1, v(key.prime1), key.prime1.size()},
            {CKA_PRIME_2, v(key.prime2), key.prime2.size()},
            {CKA_EXPONENT_1, v(key.exponent1), key.exponent1.size()},
            {CKA_EXPONENT_2, v(key.exponent2), key.exponent2.size()},
            {CKA_COEFFICIENT, v(key.coefficient), key.coefficient.size()},
        };
        CK_OBJECT_HANDLE h = 0;
        EXPECT_EQ(f_->C_CreateObject(s, pub, sizeof pub / sizeof pub[0], &h), CKR_OK);
        EXPECT_EQ(f_->C_CreateObject(s, priv, sizeof priv / sizeof priv[0], &h), CKR_OK);
        f_->C_CloseSession(s);
    }

    // The key pair and its certificate, the way a user imports them.
    Bytes Import(const RsaKey& key, CertificateInfoList* list) {
        EXPECT_EQ(ImportKeyAndCertificate(PROFILE_KIND_SECURE, key.certificate.data(),
                                          key.certificate.size(), key.pkcs8.data(),
                                          key.pkcs8.size(), pin_, list),
                  0)
            << "lastRv " << profileLibraries[1].lastRv;
        ExpectNoSessionOpen();
        const CertificateInfo& c = list->certificates[list->count - 1];
        return Bytes(c.id, c.id + c.idLength);
    }

    uint64_t LastError() {
        uint64_t rv = 0xdeadbeef;
        EXPECT_EQ(GetProfileLastError(PROFILE_KIND_SECURE, &rv), 0);
        return rv;
    }

    CK_FUNCTION_LIST* f_ = nullptr;
    CK_SLOT_ID slot_ = 0;
    std::string reader_;
    std::string serial_;
    const char* pin_ = kUserPin;
};

// ReadCardInfo's token part: the profile found through the slot description
// and filled from the module's token information.
TEST_F(SoftHsmTest, ReadCardInfoFindsTheToken) {
    fakepcsc::Script card;
    card.atr = Hex("3B BB 18 00 C0 10 31 FE 45 80 67 04 12 B0 03 03 00 00 81 05 3C");
    card.responses[Hex("00A4000C")] = Hex("9000");
    card.responses[Hex("00A4020C022F01")] = Hex("9000");
    card.responses[Hex("00B000000D")] = Hex("00 01 02 03 04 05 06 05 02 06 01 0B 0C 90 00");
    fakepcsc::Reset(card);
    ASSERT_EQ(OpenReaderPort(reader_.c_str()), 0);
    auto info = std::make_unique<CardInfo>();
    ASSERT_EQ(ReadCardInfo(reader_.c_str(), info.get()), 0);
    ASSERT_EQ(+info->profileCount, 1);
    const ProfileInfo& p = info->profiles[0];
    EXPECT_EQ(+p.kind, PROFILE_KIND_SECURE);
    EXPECT_STREQ(p.label, kLabel);
    EXPECT_STREQ(p.profileVersion, "3.6.1");
    EXPECT_STREQ(p.libraryVersion, "");  // the module has no GetVersion
    EXPECT_STREQ(p.profileName, "Profil bezpieczny");
    EXPECT_EQ(p.libraryInitialized, 1);
    EXPECT_EQ(p.tokenInitialized, 1);
    EXPECT_EQ(p.userPinInitialized, 1);
    EXPECT_EQ(p.userPinLocked, 0);
    EXPECT_EQ(p.soPinLocked, 0);
    EXPECT_EQ(+p.certificateCount, 0);
    // The module reports its free memory as unavailable.
    EXPECT_EQ(+p.freePublicMemory, -1);
    EXPECT_EQ(+p.freePrivateMemory, -1);
    EXPECT_EQ(p.valid, 1);
    EXPECT_EQ(std::string(info->cardNumber), serial_);
    EXPECT_STREQ(info->readerName, reader_.c_str());
    EXPECT_EQ(profileLibraries[1].slot, slot_);
    ExpectNoSessionOpen();
}

// Imports, listings and deletion by ID as the administration uses them.
TEST_F(SoftHsmTest, ImportListAndDeleteById) {
    auto list = std::make_unique<CertificateInfoList>();
    std::memset(list.get(), 0, sizeof *list);
    const Bytes first = Import(Rsa(2048), list.get());
    const Bytes second = Import(Rsa(1024), list.get());
    ASSERT_EQ(first.size(), 32u);
    ASSERT_EQ(second.size(), 32u);
    EXPECT_NE(first, second);
    // A certificate for a key pair already on the token takes the key's ID.
    StoreKeyPair(Rsa(3072), "K3072");
    ASSERT_EQ(ImportCertificate(PROFILE_KIND_SECURE, Rsa(3072).certificate.data(),
                                Rsa(3072).certificate.size(), pin_, list.get()),
              0)
        << "lastRv " << LastError();
    ExpectNoSessionOpen();
    ASSERT_EQ(+list->count, 3);
    EXPECT_EQ(Str(list->certificates[2].id, list->certificates[2].idLength), "K3072");
    // A certificate whose key is not there is refused.
    EXPECT_EQ(ImportCertificate(PROFILE_KIND_SECURE, Rsa(1536).certificate.data(),
                                Rsa(1536).certificate.size(), pin_, list.get()),
              CARDLIB_ERR_NO_PRIVATE_KEY);
    ExpectNoSessionOpen();

    PublicKeyInfoList keys;
    ASSERT_EQ(ListPublicKeys(PROFILE_KIND_SECURE, &keys), 0) << "lastRv " << LastError();
    ExpectNoSessionOpen();
    ASSERT_EQ(+keys.count, 3);
    auto certs = std::make_unique<CertificateInfoList>();
    ASSERT_EQ(ListCertificates(PROFILE_KIND_SECURE, certs.get()), 0) << "lastRv " << LastError();
    ExpectNoSessionOpen();
    ASSERT_EQ(+certs->count, 3);
    // The module's order is its own: each object is found by its ID.
    struct Expected {
        Bytes id;
        int bits;
        const RsaKey& key;
        const char* keyLabel;
        const char* certificateLabel;
    } expected[] = {
        {first, 2048, Rsa(2048), kImportLabel, kImportLabel},
        {second, 1024, Rsa(1024), kImportLabel, kImportLabel},
        {Text("K3072"), 3072, Rsa(3072), "", "Podpis"},
    };
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.bits);
        int keysFound = 0, certsFound = 0;
        for (int i = 0; i < keys.count; ++i) {
            const PublicKeyInfo& k = keys.keys[i];
            if (Bytes(k.id, k.id + k.idLength) != e.id) continue;
            ++keysFound;
            EXPECT_EQ(+k.keyBits, e.bits);
            EXPECT_EQ(Bytes(k.modulus, k.modulus + k.modulusLength), e.key.modulus);
            EXPECT_EQ(Bytes(k.exponent, k.exponent + k.exponentLength), e.key.exponent);
            EXPECT_STREQ(k.label, e.keyLabel);
        }
        for (int i = 0; i < certs->count; ++i) {
            const CertificateInfo& c = certs->certificates[i];
            if (Bytes(c.id, c.id + c.idLength) != e.id) continue;
            ++certsFound;
            EXPECT_EQ(+c.keyBits, e.bits);
            EXPECT_EQ(Bytes(c.value, c.value + c.valueLength), e.key.certificate);
            EXPECT_STREQ(c.label, e.certificateLabel);
        }
        EXPECT_EQ(keysFound, 1);
        EXPECT_EQ(certsFound, 1);
    }

    // By ID: that pair and its certificate go, the others stay.
    ASSERT_EQ(DeleteObjectsById(PROFILE_KIND_SECURE, first.data(), first.size(), pin_), 0)
        << "lastRv " << LastError();
    ExpectNoSessionOpen();
    for (CK_OBJECT_CLASS c : {CKO_CERTIFICATE, CKO_PUBLIC_KEY, CKO_PRIVATE_KEY}) {
        EXPECT_EQ(Count(c, &first), 0u) << c;
        EXPECT_EQ(Count(c, &second), 1u) << c;
        EXPECT_EQ(Count(c), 2u) << c;
    }
    const Bytes none = Text("none");
    EXPECT_EQ(DeleteObjectsById(PROFILE_KIND_SECURE, none.data(), none.size(), pin_),
              CARDLIB_ERR_NO_CERTIFICATE);
    EXPECT_EQ(LastError(), 0u);
    ExpectNoSessionOpen();
}

// Without an ID only the first certificate and the keys of its own ID go;
// a key pair of another ID survives. The parameter: whether the certificate
// has a key pair of its own (else it is alone on the token).
class DeleteWithoutIdTest : public SoftHsmTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DeleteWithoutIdTest, KeepsUnrelatedPair) {
    auto list = std::make_unique<CertificateInfoList>();
    std::memset(list.get(), 0, sizeof *list);
    Bytes certificateId = Text("LONE");
    if (GetParam()) {
        certificateId = Import(Rsa(2048), list.get());
    } else {
        // The certificate imported for a stored key pair, whose keys are
        // then taken away again.
        StoreKeyPair(Rsa(2048), "LONE");
        ASSERT_EQ(ImportCertificate(PROFILE_KIND_SECURE, Rsa(2048).certificate.data(),
                                    Rsa(2048).certificate.size(), pin_, list.get()),
                  0);
        const CK_SESSION_HANDLE s = UserSession();
        for (CK_OBJECT_CLASS keyClass : {CKO_PUBLIC_KEY, CKO_PRIVATE_KEY}) {
            CK_ATTRIBUTE templ[] = {{CKA_CLASS, &keyClass, sizeof keyClass}};
            CK_OBJECT_HANDLE h = 0;
            CK_ULONG n = 0;
            ASSERT_EQ(f_->C_FindObjectsInit(s, templ, 1), CKR_OK);
            ASSERT_EQ(f_->C_FindObjects(s, &h, 1, &n), CKR_OK);
            f_->C_FindObjectsFinal(s);
            ASSERT_EQ(n, 1u);
            ASSERT_EQ(f_->C_DestroyObject(s, h), CKR_OK);
        }
        f_->C_CloseSession(s);
    }
    StoreKeyPair(Rsa(1024), "UNRELATED");
    ASSERT_EQ(Count(CKO_CERTIFICATE), 1u);

    EXPECT_EQ(DeleteObjectsById(PROFILE_KIND_SECURE, nullptr, 0, pin_), 0)
        << "lastRv " << LastError();
    ExpectNoSessionOpen();
    const Bytes unrelated = Text("UNRELATED");
    EXPECT_EQ(Count(CKO_CERTIFICATE), 0u);
    for (CK_OBJECT_CLASS keyClass : {CKO_PUBLIC_KEY, CKO_PRIVATE_KEY}) {
        EXPECT_EQ(Count(keyClass, &certificateId), 0u) << keyClass;
        EXPECT_EQ(Count(keyClass, &unrelated), 1u) << keyClass;
        EXPECT_EQ(Count(keyClass), 1u) << keyClass;
    }
    // Nothing left to start from.
    EXPECT_EQ(DeleteObjectsById(PROFILE_KIND_SECURE, nullptr, 0, pin_), CARDLIB_ERR_NO_CERTIFICATE);
    ExpectNoSessionOpen();
}

INSTANTIATE_TEST_SUITE_P(Certificates, DeleteWithoutIdTest, ::testing::Bool(),
                         [](const auto& info) {
                             return std::string(info.param ? "WithItsPair" : "Alone");
                         });

// The PIN, the PUK and a new start of the token, with the module's own
// answers where they differ from success.
TEST_F(SoftHsmTest, PinsAndInitialisation) {
    ASSERT_EQ(ChangePin(PROFILE_KIND_SECURE, kUserPin, "4321"), 0) << "lastRv " << LastError();
    ExpectNoSessionOpen();
    pin_ = "4321";
    // The module has no try counter: a wrong PIN stays merely incorrect.
    EXPECT_EQ(ChangePin(PROFILE_KIND_SECURE, "9999", "1111"), CARDLIB_ERR_PKCS11);
    EXPECT_EQ(LastError(), CKR_PIN_INCORRECT);
    ExpectNoSessionOpen();
    ASSERT_EQ(ChangePuk(PROFILE_KIND_SECURE, kSoPin, "87654321"), 0) << "lastRv " << LastError();
    ExpectNoSessionOpen();
    ASSERT_EQ(UnblockPin(PROFILE_KIND_SECURE, "87654321", "2468"), 0) << "lastRv " << LastError();
    ExpectNoSessionOpen();
    pin_ = "2468";
    auto list = std::make_unique<CertificateInfoList>();
    std::memset(list.get(), 0, sizeof *list);
    Import(Rsa(1024), list.get());
    ASSERT_EQ(Count(CKO_PRIVATE_KEY), 1u);

    // While any session is open the module refuses to initialise the token.
    CK_SESSION_HANDLE held = CK_INVALID_HANDLE;
    ASSERT_EQ(f_->C_OpenSession(slot_, CKF_SERIAL_SESSION, nullptr, nullptr, &held), CKR_OK);
    EXPECT_EQ(InitializeToken(PROFILE_KIND_SECURE, "87654321", "1357"), CARDLIB_ERR_PKCS11);
    EXPECT_EQ(LastError(), CKR_SESSION_EXISTS);
    ASSERT_EQ(f_->C_CloseSession(held), CKR_OK);
    EXPECT_EQ(InitializeToken(PROFILE_KIND_SECURE, "11111111", "1357"), CARDLIB_ERR_PKCS11);
    EXPECT_EQ(LastError(), CKR_PIN_INCORRECT);

    ASSERT_EQ(InitializeToken(PROFILE_KIND_SECURE, "87654321", "1357"), 0)
        << "lastRv " << LastError();
    ExpectNoSessionOpen();
    pin_ = "1357";
    // Empty, under its old label, with the new PIN; still bound to its slot.
    CK_TOKEN_INFO token;
    ASSERT_EQ(f_->C_GetTokenInfo(slot_, &token), CKR_OK);
    EXPECT_EQ(TrimBlanks(token.label, sizeof token.label), kLabel);
    EXPECT_EQ(Count(CKO_PRIVATE_KEY), 0u);
    PublicKeyInfoList keys;
    ASSERT_EQ(ListPublicKeys(PROFILE_KIND_SECURE, &keys), 0) << "lastRv " << LastError();
    EXPECT_EQ(+keys.count, 0);
    EXPECT_EQ(ChangePin(PROFILE_KIND_SECURE, "1357", "8642"), 0) << "lastRv " << LastError();
    ExpectNoSessionOpen();
}

}  // namespace
}  // namespace tokentest
