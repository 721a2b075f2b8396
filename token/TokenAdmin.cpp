// Token administration for one profile of the bound card: PIN and PUK
// changes, token initialisation, deleting a key pair with its certificate,
// and importing certificates and RSA key pairs.
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

#include "token/cardlib.h"
#include "token/cardlib_internal.h"

using cardlib_detail::BeginBoundProfileOperation;
using cardlib_detail::CopyBounded;
using cardlib_detail::FailInSession;
using cardlib_detail::LoginLayerSession;
using cardlib_detail::OpenLayerSession;

namespace {

using Bytes = std::vector<uint8_t>;

struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct BnFree {
    void operator()(BIGNUM* p) const { BN_clear_free(p); }
};
struct BnCtxFree {
    void operator()(BN_CTX* p) const { BN_CTX_free(p); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;
using BnCtxPtr = std::unique_ptr<BN_CTX, BnCtxFree>;

// The label of every imported object: the first 33 bytes of the text.
const char kImportLabelText[] = "Import przez Vantrelon Card Manager";
constexpr CK_ULONG kImportLabelLength = 33;
static_assert(sizeof kImportLabelText - 1 >= kImportLabelLength, "import label");

constexpr size_t kImportIdLength = 32;

// Where the ID of an imported key pair comes from; tests replace it.
ImportIdSource importIdSource = &RAND_bytes;

// CKA_ID and CKA_LABEL of the private key a certificate is stored next to.
constexpr CK_ULONG kKeyAttributeCapacity = 128;

CK_UTF8CHAR_PTR Utf8(const char* pin) {
    return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin));
}

CK_ULONG PinLength(const char* pin) { return std::strlen(pin); }

// BeginBoundProfileOperation, then the PINs: one the caller did not give is
// refused before the token is asked anything, since a login with it would
// cost one of the PIN's tries and could block it, a token initialisation
// would wipe the token and then fail to set the user PIN, and a NULL PIN asks
// a library for its protected authentication path instead.
int BeginWithPins(int profileKind, std::initializer_list<const char*> pins,
                  ProfileLibrary** libOut) {
    ProfileLibrary* lib = nullptr;
    const int rc = BeginBoundProfileOperation(profileKind, &lib);
    if (rc != 0) return rc;
    for (const char* pin : pins) {
        if (pin == nullptr) {
            lib->lastRv = CKR_ARGUMENTS_BAD;
            return CARDLIB_ERR_PKCS11;
        }
    }
    *libOut = lib;
    return 0;
}

// The operation's session with a login; on failure lastRv is set and no
// session is left open.
int OpenSessionAndLogin(ProfileLibrary* lib, CK_USER_TYPE user, const char* pin,
                        CK_SESSION_HANDLE* session) {
    const CK_RV rv = OpenLayerSession(lib, lib->slot, session);
    if (rv != CKR_OK) {
        lib->lastRv = rv;
        return CARDLIB_ERR_PKCS11;
    }
    return LoginLayerSession(lib, *session, user, pin);
}

// ChangePin, ChangePuk and UnblockPin: both PINs given, a login with the
// first, then the one call step(functions, session).
template <typename Step>
int PinStep(int profileKind, CK_USER_TYPE user, const char* loginPin, const char* otherPin,
            Step step) {
    ProfileLibrary* lib = nullptr;
    int rc = BeginWithPins(profileKind, {loginPin, otherPin}, &lib);
    if (rc != 0) return rc;
    CK_SESSION_HANDLE session = 0;
    rc = OpenSessionAndLogin(lib, user, loginPin, &session);
    if (rc != 0) return rc;
    const CK_RV rv = step(lib->functions, session);
    if (rv != CKR_OK) return FailInSession(lib, session, rv);
    lib->functions->C_CloseSession(session);
    return 0;
}

// ChangePin and ChangePuk: login with the old PIN, then C_SetPIN.
int ChangeOwnPin(int profileKind, CK_USER_TYPE user, const char* oldPin, const char* newPin) {
    return PinStep(profileKind, user, oldPin, newPin,
                   [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session) {
                       return f->C_SetPIN(session, Utf8(oldPin), PinLength(oldPin), Utf8(newPin),
                                          PinLength(newPin));
                   });
}

// The big number's big-endian bytes, (bits + 7) / 8 of them.
Bytes BigEndian(const BIGNUM* bn) {
    Bytes out(static_cast<size_t>(BN_num_bytes(bn)));
    if (!out.empty()) BN_bn2bin(bn, out.data());
    return out;
}

bool IsRsa(EVP_PKEY* key) {
    const int id = EVP_PKEY_get_base_id(key);
    return id == EVP_PKEY_RSA || id == EVP_PKEY_RSA_PSS;
}

BnPtr BnParam(EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) return nullptr;
    return BnPtr(bn);
}

X509Ptr DecodeCertificate(const uint8_t* der, uint32_t length) {
    if (der == nullptr || length == 0) return nullptr;
    const unsigned char* p = der;
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(length)));
}

// What an import needs of the certificate: its RSA modulus and the subject
// name in DER.
struct CertificateParts {
    Bytes modulus;
    Bytes subject;
};

bool TakeCertificateParts(X509* cert, CertificateParts* out) {
    PkeyPtr key(X509_get_pubkey(cert));
    if (!key || !IsRsa(key.get())) return false;
    BnPtr n = BnParam(key.get(), OSSL_PKEY_PARAM_RSA_N);
    if (!n) return false;
    out->modulus = BigEndian(n.get());
    // An empty modulus would leave the search without it and match any key.
    if (out->modulus.empty()) return false;
    unsigned char* der = nullptr;
    const int length = i2d_X509_NAME(X509_get_subject_name(cert), &der);
    if (length < 0) return false;
    out->subject.assign(der, der + length);
    OPENSSL_free(der);
    return true;
}

// The RSA components of a private key as the token stores them.
struct RsaPrivateParts {
    Bytes n, d, p, q, exponent1, exponent2, coefficient;

    // The private components are not left behind in freed memory.
    void Cleanse() {
        for (Bytes* b : {&d, &p, &q, &exponent1, &exponent2, &coefficient}) {
            if (!b->empty()) OPENSSL_cleanse(b->data(), b->size());
        }
    }
    ~RsaPrivateParts() { Cleanse(); }
};

bool TakeRsaPrivateParts(EVP_PKEY* key, RsaPrivateParts* out) {
    if (!IsRsa(key)) return false;
    BnPtr n = BnParam(key, OSSL_PKEY_PARAM_RSA_N);
    BnPtr d = BnParam(key, OSSL_PKEY_PARAM_RSA_D);
    BnPtr p = BnParam(key, OSSL_PKEY_PARAM_RSA_FACTOR1);
    BnPtr q = BnParam(key, OSSL_PKEY_PARAM_RSA_FACTOR2);
    if (!n || !d || !p || !q) return false;
    BnCtxPtr ctx(BN_CTX_new());
    BnPtr pMinus1(BN_dup(p.get()));
    BnPtr qMinus1(BN_dup(q.get()));
    BnPtr exponent1(BN_new());
    BnPtr exponent2(BN_new());
    if (!ctx || !pMinus1 || !qMinus1 || !exponent1 || !exponent2) return false;
    if (!BN_sub_word(pMinus1.get(), 1) || !BN_sub_word(qMinus1.get(), 1) ||
        !BN_mod(exponent1.get(), d.get(), pMinus1.get(), ctx.get()) ||
        !BN_mod(exponent2.get(), d.get(), qMinus1.get(), ctx.get())) {
        return false;
    }
    BnPtr coefficient(BN_mod_inverse(nullptr, q.get(), p.get(), ctx.get()));
    if (!coefficient) return false;
    out->n = BigEndian(n.get());
    out->d = BigEndian(d.get());
    out->p = BigEndian(p.get());
    out->q = BigEndian(q.get());
    out->exponent1 = BigEndian(exponent1.get());
    out->exponent2 = BigEndian(exponent2.get());
    out->coefficient = BigEndian(coefficient.get());
    return true;
}

PkeyPtr DecodePkcs8(const uint8_t* der, uint32_t length) {
    if (der == nullptr || length == 0 || length > static_cast<uint32_t>(INT_MAX)) return nullptr;
    BIO* bio = BIO_new_mem_buf(der, static_cast<int>(length));
    if (bio == nullptr) return nullptr;
    PKCS8_PRIV_KEY_INFO* info = d2i_PKCS8_PRIV_KEY_INFO_bio(bio, nullptr);
    BIO_free(bio);
    if (info == nullptr) return nullptr;
    PkeyPtr key(EVP_PKCS82PKEY(info));
    PKCS8_PRIV_KEY_INFO_free(info);
    return key;
}

// C_CreateObject; *handle is written only when the object was made, so a
// refused object is never taken for one to destroy.
CK_RV CreateObject(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session, CK_ATTRIBUTE* templ,
                   CK_ULONG count, CK_OBJECT_HANDLE* handle) {
    CK_OBJECT_HANDLE made = CK_INVALID_HANDLE;
    const CK_RV rv = f->C_CreateObject(session, templ, count, &made);
    if (rv == CKR_OK) *handle = made;
    return rv;
}

// The certificate object: class, certificate type, token, label, ID, value,
// subject.
CK_RV CreateCertificateObject(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session, const uint8_t* der,
                              uint32_t derLength, const CertificateParts& parts, const void* label,
                              CK_ULONG labelLength, const void* id, CK_ULONG idLength,
                              CK_OBJECT_HANDLE* handle) {
    CK_OBJECT_CLASS objectClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE certificateType = CKC_X_509;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE templ[] = {
        {CKA_CLASS, &objectClass, sizeof objectClass},
        {CKA_CERTIFICATE_TYPE, &certificateType, sizeof certificateType},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_LABEL, const_cast<void*>(label), labelLength},
        {CKA_ID, const_cast<void*>(id), idLength},
        {CKA_VALUE, const_cast<uint8_t*>(der), derLength},
        {CKA_SUBJECT, const_cast<uint8_t*>(parts.subject.data()), parts.subject.size()},
    };
    return CreateObject(f, session, templ, sizeof templ / sizeof templ[0], handle);
}

CK_VOID_PTR Data(const Bytes& b) { return const_cast<uint8_t*>(b.data()); }

// Appends the imported certificate to the caller's list while it has room;
// the record's handle, label and key size are left as they were.
void AppendImported(CertificateInfoList* out, const uint8_t* der, uint32_t derLength,
                    const uint8_t* id, size_t idLength) {
    if (out == nullptr || out->count < 0 || out->count >= CARDLIB_MAX_LISTED_OBJECTS) return;
    CertificateInfo& c = out->certificates[out->count];
    c.valueLength = static_cast<uint32_t>(CopyBounded(c.value, der, derLength));
    c.idLength = CopyBounded(c.id, id, idLength);
    c.objectKind = 0;
    out->count += 1;
}

// Removes what an import created before a later step failed: the
// certificate first, then the private key, then the public key.
void DestroyCreated(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session,
                    std::initializer_list<const CK_OBJECT_HANDLE*> newestFirst) {
    for (const CK_OBJECT_HANDLE* h : newestFirst) {
        if (*h != CK_INVALID_HANDLE) f->C_DestroyObject(session, *h);
    }
}

}  // namespace

void SetImportIdSourceForTesting(ImportIdSource source) {
    importIdSource = source != nullptr ? source : &RAND_bytes;
}

int GetProfileLastError(int profileKind, uint64_t* rvOut) {
    const ProfileLibrary* lib = FindProfileLibrary(profileKind);
    if (lib == nullptr) return CARDLIB_ERR_UNKNOWN_PROFILE_KIND;
    if (rvOut != nullptr) *rvOut = lib->lastRv;
    return 0;
}

int UnblockPin(int profileKind, const char* soPin, const char* newUserPin) {
    return PinStep(profileKind, CKU_SO, soPin, newUserPin,
                   [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session) {
                       return f->C_InitPIN(session, Utf8(newUserPin), PinLength(newUserPin));
                   });
}

int InitializeToken(int profileKind, const char* soPin, const char* newUserPin) {
    ProfileLibrary* lib = nullptr;
    const int rc = BeginWithPins(profileKind, {soPin, newUserPin}, &lib);
    if (rc != 0) return rc;
    CK_FUNCTION_LIST* f = lib->functions;
    CK_TOKEN_INFO info;
    std::memset(&info, 0, sizeof info);
    CK_RV rv = f->C_GetTokenInfo(lib->slot, &info);
    if (rv == CKR_OK) {
        // The token keeps its current 32-byte, blank-padded label.
        rv = f->C_InitToken(lib->slot, Utf8(soPin), PinLength(soPin), info.label);
    }
    if (rv != CKR_OK) {
        lib->lastRv = rv;
        return CARDLIB_ERR_PKCS11;
    }
    return UnblockPin(profileKind, soPin, newUserPin);
}

int ChangePuk(int profileKind, const char* oldSoPin, const char* newSoPin) {
    return ChangeOwnPin(profileKind, CKU_SO, oldSoPin, newSoPin);
}

int ChangePin(int profileKind, const char* oldPin, const char* newPin) {
    return ChangeOwnPin(profileKind, CKU_USER, oldPin, newPin);
}

namespace {

constexpr CK_ULONG kMaxCertificateIdLength = 4096;

// The CKA_ID of the certificate that a deletion without an ID starts from.
// *hasId is false when the certificate carries no ID (or an empty one): it
// is then deleted alone, since no key can be told to belong to it.
CK_RV ReadCertificateId(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE cert,
                        Bytes* id, bool* hasId) {
    *hasId = false;
    CK_ATTRIBUTE attr = {CKA_ID, nullptr, 0};
    CK_RV rv = f->C_GetAttributeValue(session, cert, &attr, 1);
    if (rv == CKR_ATTRIBUTE_TYPE_INVALID) return CKR_OK;
    if (rv != CKR_OK) return rv;
    if (attr.ulValueLen == 0 || attr.ulValueLen == CK_UNAVAILABLE_INFORMATION) return CKR_OK;
    // No token holds IDs of that size; a library claiming one is not believed.
    if (attr.ulValueLen > kMaxCertificateIdLength) return CKR_ATTRIBUTE_VALUE_INVALID;
    id->assign(attr.ulValueLen, 0);
    attr.pValue = id->data();
    rv = f->C_GetAttributeValue(session, cert, &attr, 1);
    if (rv != CKR_OK) return rv;
    // A length beyond the buffer would make the key search read past it.
    if (attr.ulValueLen > id->size()) return CKR_BUFFER_TOO_SMALL;
    id->resize(attr.ulValueLen);
    *hasId = !id->empty();
    return CKR_OK;
}

}  // namespace

int DeleteObjectsById(int profileKind, const uint8_t* id, uint64_t idLength, const char* userPin) {
    ProfileLibrary* lib = nullptr;
    int rc = BeginWithPins(profileKind, {userPin}, &lib);
    if (rc != 0) return rc;
    CK_SESSION_HANDLE session = 0;
    rc = OpenSessionAndLogin(lib, CKU_USER, userPin, &session);
    if (rc != 0) return rc;
    CK_FUNCTION_LIST* f = lib->functions;
    CK_ULONG length = id != nullptr ? static_cast<CK_ULONG>(idLength) : 0;

    // The certificate, then the RSA public key, then the RSA private key.
    struct Search {
        CK_ATTRIBUTE_TYPE typeAttribute;
        CK_ULONG typeValue;
        CK_OBJECT_CLASS objectClass;
    };
    static const Search kSearches[] = {
        {CKA_CERTIFICATE_TYPE, CKC_X_509, CKO_CERTIFICATE},
        {CKA_KEY_TYPE, CKK_RSA, CKO_PUBLIC_KEY},
        {CKA_KEY_TYPE, CKK_RSA, CKO_PRIVATE_KEY},
    };
    Bytes certificateId;
    for (size_t step = 0; step < sizeof kSearches / sizeof kSearches[0]; ++step) {
        const Search& s = kSearches[step];
        CK_OBJECT_HANDLE* handles = nullptr;
        CK_ULONG found = CARDLIB_MAX_LISTED_OBJECTS;
        CK_RV rv =
            cardlib_detail::FindObjectsByClass(session, s.typeAttribute, s.typeValue, s.objectClass,
                                               CKA_ID, id, length, &handles, &found, f);
        if (rv != CKR_OK) return FailInSession(lib, session, rv);
        if (found == 0) {
            std::free(handles);
            if (step == 0) {
                f->C_CloseSession(session);
                lib->lastRv = 0;
                return CARDLIB_ERR_NO_CERTIFICATE;
            }
            continue;
        }
        const CK_OBJECT_HANDLE first = handles[0];
        std::free(handles);
        // Without an ID the keys to delete are those of the first
        // certificate, never merely the first keys of the token.
        bool alone = false;
        if (step == 0 && id == nullptr) {
            bool hasId = false;
            rv = ReadCertificateId(f, session, first, &certificateId, &hasId);
            if (rv != CKR_OK) return FailInSession(lib, session, rv);
            alone = !hasId;
            id = certificateId.data();
            length = certificateId.size();
        }
        rv = f->C_DestroyObject(session, first);
        if (rv != CKR_OK) return FailInSession(lib, session, rv);
        if (alone) break;
    }
    f->C_CloseSession(session);
    return 0;
}

int ImportCertificate(int profileKind, const uint8_t* certificateDer, uint32_t certificateLength,
                      const char* userPin, CertificateInfoList* out) {
    ProfileLibrary* lib = nullptr;
    int rc = BeginWithPins(profileKind, {userPin}, &lib);
    if (rc != 0) return rc;
    // Everything taken from the certificate is ready before the token is
    // asked anything; a key other than RSA cannot be matched to a key there.
    X509Ptr cert = DecodeCertificate(certificateDer, certificateLength);
    CertificateParts parts;
    if (!cert || !TakeCertificateParts(cert.get(), &parts)) return CARDLIB_ERR_BAD_DATA;

    CK_SESSION_HANDLE session = 0;
    rc = OpenSessionAndLogin(lib, CKU_USER, userPin, &session);
    if (rc != 0) return rc;
    CK_FUNCTION_LIST* f = lib->functions;

    CK_OBJECT_HANDLE* handles = nullptr;
    CK_ULONG found = 1;
    CK_RV rv = cardlib_detail::FindObjectsByClass(session, CKA_KEY_TYPE, CKK_RSA, CKO_PRIVATE_KEY,
                                                  CKA_MODULUS, parts.modulus.data(),
                                                  parts.modulus.size(), &handles, &found, f);
    if (rv != CKR_OK) return FailInSession(lib, session, rv);
    if (found == 0) {
        std::free(handles);
        f->C_CloseSession(session);
        return CARDLIB_ERR_NO_PRIVATE_KEY;
    }
    const CK_OBJECT_HANDLE privateKey = handles[0];
    std::free(handles);

    uint8_t keyId[kKeyAttributeCapacity];
    uint8_t keyLabel[kKeyAttributeCapacity];
    CK_ATTRIBUTE keyTemplate[] = {
        {CKA_ID, keyId, sizeof keyId},
        {CKA_LABEL, keyLabel, sizeof keyLabel},
    };
    rv = f->C_GetAttributeValue(session, privateKey, keyTemplate, 2);
    if (rv != CKR_OK) return FailInSession(lib, session, rv);
    // Never trust a length beyond the buffer that was handed over.
    const CK_ULONG idLength = keyTemplate[0].ulValueLen;
    const CK_ULONG labelLength = keyTemplate[1].ulValueLen;
    if (idLength > sizeof keyId || labelLength > sizeof keyLabel) {
        return FailInSession(lib, session, CKR_BUFFER_TOO_SMALL);
    }

    CK_OBJECT_HANDLE created = CK_INVALID_HANDLE;
    rv = CreateCertificateObject(f, session, certificateDer, certificateLength, parts, keyLabel,
                                 labelLength, keyId, idLength, &created);
    if (rv != CKR_OK) return FailInSession(lib, session, rv);
    AppendImported(out, certificateDer, certificateLength, keyId, idLength);
    f->C_CloseSession(session);
    return 0;
}

int ImportKeyAndCertificate(int profileKind, const uint8_t* certificateDer,
                            uint32_t certificateLength, const uint8_t* pkcs8Der,
                            uint32_t pkcs8Length, const char* userPin, CertificateInfoList* out) {
    ProfileLibrary* lib = nullptr;
    int rc = BeginWithPins(profileKind, {userPin}, &lib);
    if (rc != 0) return rc;
    X509Ptr cert = DecodeCertificate(certificateDer, certificateLength);
    PkeyPtr key = cert ? DecodePkcs8(pkcs8Der, pkcs8Length) : nullptr;
    CertificateParts parts;
    RsaPrivateParts rsa;
    if (!cert || !key || !TakeCertificateParts(cert.get(), &parts) ||
        !TakeRsaPrivateParts(key.get(), &rsa)) {
        return CARDLIB_ERR_BAD_DATA;
    }
    // The public exponent belongs to the public key object only.
    BnPtr e = BnParam(key.get(), OSSL_PKEY_PARAM_RSA_E);
    if (!e) return CARDLIB_ERR_BAD_DATA;
    const Bytes exponent = BigEndian(e.get());

    // A fresh ID of its own for every pair, so that a later deletion or
    // certificate import by ID finds this pair and no other. Without one
    // nothing is stored.
    uint8_t id[kImportIdLength];
    if (importIdSource(id, static_cast<int>(sizeof id)) != 1) return CARDLIB_ERR_BAD_DATA;

    CK_SESSION_HANDLE session = 0;
    rc = OpenSessionAndLogin(lib, CKU_USER, userPin, &session);
    if (rc != 0) return rc;
    CK_FUNCTION_LIST* f = lib->functions;

    CK_VOID_PTR label = const_cast<char*>(kImportLabelText);

    CK_BBOOL yes = CK_TRUE;
    CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
    CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
    CK_KEY_TYPE keyType = CKK_RSA;
    CK_ATTRIBUTE publicTemplate[] = {
        {CKA_LABEL, label, kImportLabelLength},
        {CKA_ID, id, sizeof id},
        {CKA_CLASS, &publicClass, sizeof publicClass},
        {CKA_KEY_TYPE, &keyType, sizeof keyType},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_MODULUS, Data(rsa.n), rsa.n.size()},
        {CKA_PUBLIC_EXPONENT, Data(exponent), exponent.size()},
        {CKA_WRAP, &yes, sizeof yes},
        {CKA_ENCRYPT, &yes, sizeof yes},
    };
    CK_ATTRIBUTE privateTemplate[] = {
        {CKA_LABEL, label, kImportLabelLength},
        {CKA_ID, id, sizeof id},
        {CKA_CLASS, &privateClass, sizeof privateClass},
        {CKA_KEY_TYPE, &keyType, sizeof keyType},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_MODULUS, Data(rsa.n), rsa.n.size()},
        {CKA_PRIVATE_EXPONENT, Data(rsa.d), rsa.d.size()},
        {CKA_PRIME_1, Data(rsa.p), rsa.p.size()},
        {CKA_PRIME_2, Data(rsa.q), rsa.q.size()},
        {CKA_EXPONENT_1, Data(rsa.exponent1), rsa.exponent1.size()},
        {CKA_EXPONENT_2, Data(rsa.exponent2), rsa.exponent2.size()},
        {CKA_COEFFICIENT, Data(rsa.coefficient), rsa.coefficient.size()},
        {CKA_UNWRAP, &yes, sizeof yes},
        {CKA_DECRYPT, &yes, sizeof yes},
        {CKA_SENSITIVE, &yes, sizeof yes},
        {CKA_EXTRACTABLE, &yes, sizeof yes},
        {CKA_PRIVATE, &yes, sizeof yes},
    };

    CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE certificate = CK_INVALID_HANDLE;
    CK_RV rv = CreateObject(f, session, publicTemplate,
                            sizeof publicTemplate / sizeof publicTemplate[0], &publicKey);
    if (rv == CKR_OK) {
        rv = CreateObject(f, session, privateTemplate,
                          sizeof privateTemplate / sizeof privateTemplate[0], &privateKey);
    }
    if (rv == CKR_OK) {
        rv = CreateCertificateObject(f, session, certificateDer, certificateLength, parts, label,
                                     kImportLabelLength, id, sizeof id, &certificate);
    }
    if (rv != CKR_OK) {
        DestroyCreated(f, session, {&certificate, &privateKey, &publicKey});
        return FailInSession(lib, session, rv);
    }
    AppendImported(out, certificateDer, certificateLength, id, sizeof id);
    f->C_CloseSession(session);
    return 0;
}
