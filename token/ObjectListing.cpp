// Object search and the listings of RSA public keys and X.509 certificates.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "pcscread/Names.h"
#include "token/cardlib.h"
#include "token/cardlib_internal.h"

using cardlib_detail::Bounded;
using cardlib_detail::CodeAsRv;
using cardlib_detail::CopyBounded;
using cardlib_detail::FailInSession;
using pcscread::CopyName;

namespace {

constexpr CK_ULONG kMaxListed = CARDLIB_MAX_LISTED_OBJECTS;

// Reads the attributes of one object in two calls: the lengths, then the
// values into buffers of those lengths. On success buffers[i] are malloc'ed
// and lengths[i] hold the value lengths; on failure nothing stays allocated.
CK_RV ReadAttributes(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE handle,
                     const CK_ATTRIBUTE_TYPE* types, size_t n, uint8_t** buffers,
                     uint64_t* lengths) {
    CK_ATTRIBUTE templ[4];
    for (size_t i = 0; i < n; ++i) {
        templ[i] = {types[i], nullptr, 0};
        buffers[i] = nullptr;
    }
    CK_RV rv = f->C_GetAttributeValue(session, handle, templ, n);
    if (rv != CKR_OK) return rv;
    CK_ULONG allocated[4];
    for (size_t i = 0; i < n; ++i) {
        allocated[i] = templ[i].ulValueLen;
        // An empty value still gets a buffer; malloc(0) may hand out NULL.
        void* p = allocated[i] == CK_UNAVAILABLE_INFORMATION
                      ? nullptr
                      : std::malloc(allocated[i] > 0 ? allocated[i] : 1);
        if (p == nullptr) {
            for (size_t j = 0; j < i; ++j) std::free(buffers[j]);
            for (size_t j = 0; j < n; ++j) buffers[j] = nullptr;
            return CodeAsRv(CARDLIB_ERR_NO_MEMORY);
        }
        buffers[i] = static_cast<uint8_t*>(p);
        templ[i].pValue = p;
    }
    rv = f->C_GetAttributeValue(session, handle, templ, n);
    if (rv != CKR_OK) {
        for (size_t j = 0; j < n; ++j) {
            std::free(buffers[j]);
            buffers[j] = nullptr;
        }
        return rv;
    }
    for (size_t i = 0; i < n; ++i) {
        // Never believe a length beyond the buffer the first call asked for.
        lengths[i] = templ[i].ulValueLen <= allocated[i] ? templ[i].ulValueLen : allocated[i];
    }
    return CKR_OK;
}

void CopyLabel(char* dst, size_t dstSize, const uint8_t* label, uint64_t labelLength) {
    CopyName(dst, dstSize, TrimTrailingBlanks(label, Bounded(labelLength, 128)));
}

// Common frame of both listings: profile lookup, session, search. Fills the
// handle array; the caller reads the objects and closes the session.
int BeginListing(int profileKind, bool certificates, ProfileLibrary** libOut,
                 CK_SESSION_HANDLE* sessionOut, CK_OBJECT_HANDLE** handlesOut,
                 CK_ULONG* countOut) {
    ProfileLibrary* lib = nullptr;
    int rc = cardlib_detail::BeginBoundProfileOperation(profileKind, &lib);
    if (rc != 0) return rc;
    *libOut = lib;
    CK_FUNCTION_LIST* f = lib->functions;
    CK_RV rv = cardlib_detail::OpenLayerSession(lib, lib->slot, sessionOut);
    if (rv != CKR_OK) {
        lib->lastRv = rv;
        return CARDLIB_ERR_PKCS11;
    }
    CK_OBJECT_HANDLE* handles = nullptr;
    CK_ULONG count = kMaxListed;
    rv = certificates ? FindCertificates(*sessionOut, nullptr, 0, &handles, &count, f)
                      : FindPublicKeys(*sessionOut, nullptr, 0, &handles, &count, f);
    if (rv != CKR_OK) return FailInSession(lib, *sessionOut, rv);
    *handlesOut = handles;
    *countOut = count;
    return 0;
}

PublicKeyAttributes* MakePublicKeyAttributes(uint8_t* const* buffers, const uint64_t* lengths,
                                             CK_OBJECT_HANDLE handle) {
    auto* a = static_cast<PublicKeyAttributes*>(std::calloc(1, sizeof(PublicKeyAttributes)));
    if (a != nullptr) {
        *a = {buffers[0], lengths[0], buffers[1], lengths[1], buffers[2],
              lengths[2], handle,     buffers[3], lengths[3]};
    }
    return a;
}

CertificateAttributes* MakeCertificateAttributes(uint8_t* const* buffers, const uint64_t* lengths,
                                                 CK_OBJECT_HANDLE handle) {
    auto* a = static_cast<CertificateAttributes*>(std::calloc(1, sizeof(CertificateAttributes)));
    if (a != nullptr) {
        *a = {buffers[0], lengths[0], buffers[1], lengths[1], handle, buffers[2], lengths[2]};
    }
    return a;
}

// Reads the attributes of every found object into a table of heap records
// made by make() (which takes over the buffers, or returns NULL). On success
// *tableOut holds count records; on failure nothing stays allocated.
template <typename Record, size_t N>
CK_RV ReadObjectTable(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session,
                      const CK_OBJECT_HANDLE* handles, CK_ULONG count,
                      const CK_ATTRIBUTE_TYPE (&types)[N],
                      Record* (*make)(uint8_t* const*, const uint64_t*, CK_OBJECT_HANDLE),
                      void (*release)(Record**, size_t), Record*** tableOut) {
    auto** table = static_cast<Record**>(std::calloc(count, sizeof(Record*)));
    CK_RV rv = table ? CKR_OK : CodeAsRv(CARDLIB_ERR_NO_MEMORY);
    for (CK_ULONG i = 0; rv == CKR_OK && i < count; ++i) {
        uint8_t* buffers[N];
        uint64_t lengths[N];
        rv = ReadAttributes(f, session, handles[i], types, N, buffers, lengths);
        if (rv != CKR_OK) break;
        table[i] = make(buffers, lengths, handles[i]);
        if (table[i] == nullptr) {
            for (uint8_t* b : buffers) std::free(b);
            rv = CodeAsRv(CARDLIB_ERR_NO_MEMORY);
        }
    }
    if (rv != CKR_OK) {
        release(table, count);
        return rv;
    }
    *tableOut = table;
    return CKR_OK;
}

// The frame both listings share: kind check, the record cleared, session,
// search and attribute reads; fill(record, i) writes entry i of the list.
// On any failure the record stays all zero.
template <typename List, typename Record, size_t N, typename Fill>
int ListObjects(int profileKind, bool certificates, List* out,
                const CK_ATTRIBUTE_TYPE (&types)[N],
                Record* (*make)(uint8_t* const*, const uint64_t*, CK_OBJECT_HANDLE),
                void (*release)(Record**, size_t), Fill fill) {
    if (FindProfileLibrary(profileKind) == nullptr) return CARDLIB_ERR_BAD_PROFILE_KIND;
    std::memset(out, 0, sizeof *out);
    ProfileLibrary* lib = nullptr;
    CK_SESSION_HANDLE session = 0;
    CK_OBJECT_HANDLE* handles = nullptr;
    CK_ULONG count = 0;
    int rc = BeginListing(profileKind, certificates, &lib, &session, &handles, &count);
    if (rc != 0) return rc;
    CK_FUNCTION_LIST* f = lib->functions;
    if (count == 0) {
        std::free(handles);
        f->C_CloseSession(session);
        return 0;
    }
    Record** table = nullptr;
    const CK_RV rv = ReadObjectTable(f, session, handles, count, types, make, release, &table);
    std::free(handles);
    // The caller's record is already all zero.
    if (rv != CKR_OK) return FailInSession(lib, session, rv);
    out->count = static_cast<int32_t>(count);
    for (CK_ULONG i = 0; i < count; ++i) fill(*table[i], i);
    release(table, count);
    f->C_CloseSession(session);
    return 0;
}

}  // namespace

namespace cardlib_detail {

int RsaKeyBits(const uint8_t* modulus, size_t modulusLength, const uint8_t* exponent,
               size_t exponentLength) {
    if (modulusLength > INT_MAX || exponentLength > INT_MAX) return 0;
    int bits = 0;
    BIGNUM* n = BN_bin2bn(modulus, static_cast<int>(modulusLength), nullptr);
    BIGNUM* e = BN_bin2bn(exponent, static_cast<int>(exponentLength), nullptr);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM* params = nullptr;
    EVP_PKEY_CTX* ctx = nullptr;
    EVP_PKEY* pkey = nullptr;
    if (n && e && bld && OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n) &&
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e) &&
        (params = OSSL_PARAM_BLD_to_param(bld)) != nullptr &&
        (ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr)) != nullptr &&
        EVP_PKEY_fromdata_init(ctx) > 0 &&
        EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params) > 0) {
        bits = EVP_PKEY_get_bits(pkey);
    }
    EVP_PKEY_free(pkey);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(e);
    BN_free(n);
    return bits;
}

CK_RV FindObjectsByClass(CK_SESSION_HANDLE session, CK_ATTRIBUTE_TYPE typeAttribute,
                         CK_ULONG typeValue, CK_OBJECT_CLASS objectClass,
                         CK_ATTRIBUTE_TYPE extraType, const uint8_t* extraValue,
                         CK_ULONG extraLength, CK_OBJECT_HANDLE** handlesOut,
                         CK_ULONG* maxInOut, CK_FUNCTION_LIST* functions) {
    CK_ULONG typeCopy = typeValue;
    CK_OBJECT_CLASS classCopy = objectClass;
    CK_ATTRIBUTE templ[3] = {
        {typeAttribute, &typeCopy, sizeof typeCopy},
        {CKA_CLASS, &classCopy, sizeof classCopy},
        {extraType, const_cast<uint8_t*>(extraValue), extraLength},
    };
    const CK_ULONG count = extraValue != nullptr ? 3 : 2;
    return FindTokenObjects(session, templ, count, handlesOut, maxInOut, functions);
}

int CertificateKeyBits(const uint8_t* der, size_t length) {
    if (length > static_cast<size_t>(LONG_MAX)) return 0;
    const unsigned char* p = der;
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(length));
    if (cert == nullptr) return 0;
    EVP_PKEY* key = X509_get_pubkey(cert);
    const int bits = EVP_PKEY_bits(key);  // 0 for a NULL key
    EVP_PKEY_free(key);
    X509_free(cert);
    return bits;
}

}  // namespace cardlib_detail

CK_RV FindTokenObjects(CK_SESSION_HANDLE session, CK_ATTRIBUTE* templ, CK_ULONG attributeCount,
                       CK_OBJECT_HANDLE** handlesOut, CK_ULONG* maxInOut,
                       CK_FUNCTION_LIST* functions) {
    CK_RV rv = functions->C_FindObjectsInit(session, templ, attributeCount);
    if (rv != CKR_OK) return rv;
    const CK_ULONG max = *maxInOut;
    CK_OBJECT_HANDLE* handles = nullptr;
    CK_ULONG found = 0;
    while (found < max) {
        CK_OBJECT_HANDLE h = 0;
        CK_ULONG returned = 0;
        rv = functions->C_FindObjects(session, &h, 1, &returned);
        if (rv != CKR_OK) {
            std::free(handles);
            *handlesOut = nullptr;
            *maxInOut = 0;
            functions->C_FindObjectsFinal(session);
            return rv;
        }
        if (returned == 0) break;
        auto* grown = static_cast<CK_OBJECT_HANDLE*>(
            std::realloc(handles, (found + 1) * sizeof(CK_OBJECT_HANDLE)));
        if (grown == nullptr) {
            std::free(handles);
            *handlesOut = nullptr;
            *maxInOut = 0;
            functions->C_FindObjectsFinal(session);
            return CodeAsRv(CARDLIB_ERR_NO_MEMORY);
        }
        handles = grown;
        handles[found++] = h;
    }
    functions->C_FindObjectsFinal(session);
    *handlesOut = handles;
    *maxInOut = found;
    return CKR_OK;
}

CK_RV FindPublicKeys(CK_SESSION_HANDLE session, const uint8_t* id, CK_ULONG idLength,
                     CK_OBJECT_HANDLE** handlesOut, CK_ULONG* maxInOut,
                     CK_FUNCTION_LIST* functions) {
    return cardlib_detail::FindObjectsByClass(session, CKA_KEY_TYPE, CKK_RSA, CKO_PUBLIC_KEY,
                                              CKA_ID, id, idLength, handlesOut, maxInOut,
                                              functions);
}

CK_RV FindCertificates(CK_SESSION_HANDLE session, const uint8_t* id, CK_ULONG idLength,
                       CK_OBJECT_HANDLE** handlesOut, CK_ULONG* maxInOut,
                       CK_FUNCTION_LIST* functions) {
    return cardlib_detail::FindObjectsByClass(session, CKA_CERTIFICATE_TYPE, CKC_X_509,
                                              CKO_CERTIFICATE, CKA_ID, id, idLength, handlesOut,
                                              maxInOut, functions);
}

void FreePublicKeyAttributes(PublicKeyAttributes** table, size_t count) {
    if (table == nullptr) return;
    for (size_t i = 0; i < count; ++i) {
        PublicKeyAttributes* a = table[i];
        if (a == nullptr) continue;
        std::free(a->modulus);
        std::free(a->exponent);
        std::free(a->id);
        std::free(a->label);
        std::free(a);
    }
    std::free(table);
}

void FreeCertificateAttributes(CertificateAttributes** table, size_t count) {
    if (table == nullptr) return;
    for (size_t i = 0; i < count; ++i) {
        CertificateAttributes* a = table[i];
        if (a == nullptr) continue;
        std::free(a->value);
        std::free(a->id);
        std::free(a->label);
        std::free(a);
    }
    std::free(table);
}

int ListPublicKeys(int profileKind, PublicKeyInfoList* out) {
    static const CK_ATTRIBUTE_TYPE kTypes[4] = {CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_ID,
                                                CKA_LABEL};
    auto fill = [out](const PublicKeyAttributes& a, CK_ULONG i) {
        PublicKeyInfo& k = out->keys[i];
        k.objectKind = 0;
        k.modulusLength = static_cast<uint32_t>(CopyBounded(k.modulus, a.modulus, a.modulusLength));
        k.exponentLength =
            static_cast<uint32_t>(CopyBounded(k.exponent, a.exponent, a.exponentLength));
        k.idLength = CopyBounded(k.id, a.id, a.idLength);
        k.handle = a.handle;
        CopyLabel(k.label, sizeof k.label, a.label, a.labelLength);
        // From the token's full values, not from what fits the record.
        k.keyBits =
            cardlib_detail::RsaKeyBits(a.modulus, a.modulusLength, a.exponent, a.exponentLength);
    };
    return ListObjects(profileKind, false, out, kTypes, MakePublicKeyAttributes,
                       FreePublicKeyAttributes, fill);
}

int ListCertificates(int profileKind, CertificateInfoList* out) {
    static const CK_ATTRIBUTE_TYPE kTypes[3] = {CKA_VALUE, CKA_ID, CKA_LABEL};
    auto fill = [out](const CertificateAttributes& a, CK_ULONG i) {
        CertificateInfo& c = out->certificates[i];
        c.objectKind = 0;
        c.valueLength = static_cast<uint32_t>(CopyBounded(c.value, a.value, a.valueLength));
        c.idLength = CopyBounded(c.id, a.id, a.idLength);
        c.handle = a.handle;
        CopyLabel(c.label, sizeof c.label, a.label, a.labelLength);
        c.keyBits = cardlib_detail::CertificateKeyBits(a.value, a.valueLength);
    };
    return ListObjects(profileKind, true, out, kTypes, MakeCertificateAttributes,
                       FreeCertificateAttributes, fill);
}
