// Internals of the card layer shared between its sources and its tests.
// Nothing here is meant for the application.
#ifndef VD_TOKEN_CARDLIB_INTERNAL_H
#define VD_TOKEN_CARDLIB_INTERNAL_H

#include <cstring>

#include "token/cardlib.h"

// Layer state of the reader port.
extern int32_t readerPort;
extern char readerPortName[128];

// --- Registry of profile libraries ------------------------------------------
struct ProfileLibrary {
    int32_t kind;
    uint8_t initialized;
    const char* primaryPath;
    const char* fallbackPath;
    void* dlHandle;
    // A CK_RV, or a negative card-layer code stored sign-extended; 0 for none.
    uint64_t lastRv;
    CK_FUNCTION_LIST* functions;
    CK_C_GetFunctionList getFunctionList;
    CK_SLOT_ID slot;
    const char* profileTitle;
    const char* profileName;
    char version[32];
};

constexpr int PROFILE_LIBRARY_COUNT = 4;
extern ProfileLibrary profileLibraries[PROFILE_LIBRARY_COUNT];

// The registry entry of kind 1 or 2, or nullptr.
ProfileLibrary* FindProfileLibrary(int profileKind);

// --- Object search and listing temporaries ----------------------------------

// *handlesOut receives a malloc'ed array (NULL when none found), released by
// the caller with free(). Returns CKR_OK, the failing CK_RV, or
// CARDLIB_ERR_NO_MEMORY sign-extended.
CK_RV FindTokenObjects(CK_SESSION_HANDLE session, CK_ATTRIBUTE* templ, CK_ULONG attributeCount,
                       CK_OBJECT_HANDLE** handlesOut, CK_ULONG* maxInOut,
                       CK_FUNCTION_LIST* functions);
CK_RV FindPublicKeys(CK_SESSION_HANDLE session, const uint8_t* id, CK_ULONG idLength,
                     CK_OBJECT_HANDLE** handlesOut, CK_ULONG* maxInOut,
                     CK_FUNCTION_LIST* functions);
CK_RV FindCertificates(CK_SESSION_HANDLE session, const uint8_t* id, CK_ULONG idLength,
                       CK_OBJECT_HANDLE** handlesOut, CK_ULONG* maxInOut,
                       CK_FUNCTION_LIST* functions);

// Heap temporaries of one listing; the lengths are those the token reported.
struct PublicKeyAttributes {
    uint8_t* modulus;
    uint64_t modulusLength;
    uint8_t* exponent;
    uint64_t exponentLength;
    uint8_t* id;
    uint64_t idLength;
    uint64_t handle;
    uint8_t* label;
    uint64_t labelLength;
};

struct CertificateAttributes {
    uint8_t* value;
    uint64_t valueLength;
    uint8_t* id;
    uint64_t idLength;
    uint64_t handle;
    uint8_t* label;
    uint64_t labelLength;
};

void FreePublicKeyAttributes(PublicKeyAttributes** table, size_t count);
void FreeCertificateAttributes(CertificateAttributes** table, size_t count);

// --- Slot look-up and token texts -----------------------------------------

// 0 with *slotOut the library's (functions) slot of the reader;
// CARDLIB_ERR_NO_SLOT, or the CK_RV of a failing C_GetSlotInfo.
int FindSlotForReader(const char* readerName, CK_SLOT_ID* slotOut, CK_FUNCTION_LIST* functions);

// The blank-padded field (at most 128 bytes) as a C string in a shared
// buffer, valid until the next call.
const char* TrimTrailingBlanks(const uint8_t* field, size_t length);

// --- Test hooks -----------------------------------------------------------

// Points a registry entry (kind 1 or 2) at other library files. The strings
// must outlive the registry's use of them; nullptr restores the fixed paths.
void SetProfileLibraryPathsForTesting(int profileKind, const char* primaryPath,
                                      const char* fallbackPath);

// Finalises and unloads every library the registry holds and brings the
// registry back to its state at process start (paths set by the hook above
// are kept). Lets one test process exercise several loading outcomes.
void ResetProfileLibrariesForTesting();

// Replaces the source of the random CKA_ID of an imported key pair (it
// answers 1 when it filled the buffer, as RAND_bytes does); nullptr
// restores RAND_bytes.
using ImportIdSource = int (*)(unsigned char* buffer, int length);
void SetImportIdSourceForTesting(ImportIdSource source);

// --- Shared by the layer's sources -----------------------------------------
namespace cardlib_detail {

// Card-layer codes go into lastRv sign-extended to 64 bits.
inline uint64_t CodeAsRv(int code) { return static_cast<uint64_t>(static_cast<int64_t>(code)); }

// Lookup by kind, lastRv cleared, and the library checked for being usable:
// on success *libOut is set and 0 is returned. A library that is not
// initialised stores CKR_CRYPTOKI_NOT_INITIALIZED and gives CARDLIB_ERR_PKCS11;
// an unknown kind gives CARDLIB_ERR_BAD_PROFILE_KIND with lastRv untouched.
int BeginProfileOperation(int profileKind, ProfileLibrary** libOut);

// BeginProfileOperation, and the profile bound to a slot: an unbound profile
// stores CKR_SLOT_ID_INVALID and gives CARDLIB_ERR_PKCS11 without asking the
// library, so that no operation reaches the card of a reader bound before.
int BeginBoundProfileOperation(int profileKind, ProfileLibrary** libOut);

// Object search with the template typeAttribute = typeValue, CKA_CLASS =
// objectClass and, when extraValue is not NULL, extraType = those bytes.
CK_RV FindObjectsByClass(CK_SESSION_HANDLE session, CK_ATTRIBUTE_TYPE typeAttribute,
                         CK_ULONG typeValue, CK_OBJECT_CLASS objectClass,
                         CK_ATTRIBUTE_TYPE extraType, const uint8_t* extraValue,
                         CK_ULONG extraLength, CK_OBJECT_HANDLE** handlesOut,
                         CK_ULONG* maxInOut, CK_FUNCTION_LIST* functions);

// Read-write serial session on slot, with the layer's application byte.
CK_RV OpenLayerSession(ProfileLibrary* lib, CK_SLOT_ID slot, CK_SESSION_HANDLE* session);

// A step that failed after the session was opened: the session closed, rv
// stored in lastRv; gives CARDLIB_ERR_PKCS11.
int FailInSession(ProfileLibrary* lib, CK_SESSION_HANDLE session, CK_RV rv);

// Login on an open session. On failure the session is closed (once), the
// resulting error (CKR_PIN_LOCKED when the token shows the tried PIN locked)
// is stored in lastRv and CARDLIB_ERR_PKCS11 is returned.
int LoginLayerSession(ProfileLibrary* lib, CK_SESSION_HANDLE session, CK_USER_TYPE userType,
                      const char* pin);

// FindSlotForReader with the full 64-bit result, so that a vendor CK_RV of a
// failing C_GetSlotInfo survives unchanged into lastRv.
uint64_t FindSlotForReaderRv(const char* readerName, CK_SLOT_ID* slotOut,
                             CK_FUNCTION_LIST* functions);

// A value's length as far as a field of that capacity holds it.
inline size_t Bounded(uint64_t length, size_t capacity) {
    return length < capacity ? static_cast<size_t>(length) : capacity;
}

// Copies what fits the record's field; returns the number of bytes copied.
template <size_t Capacity>
size_t CopyBounded(uint8_t (&dst)[Capacity], const uint8_t* src, uint64_t length) {
    const size_t copied = Bounded(length, Capacity);
    if (copied > 0) std::memcpy(dst, src, copied);
    return copied;
}

// Card identification: the card type of the first row of knownAtrs that
// the ATR matches, or 0.
int IdentifyCardType(const uint8_t* atr, int atrLength);

// The profile version from a SELECT's FCI: the first A5 template among the
// length bytes the card returned. Writes "3.5.x" when there is none; returns
// 0, or CARDLIB_ERR_BAD_DATA for a template that is not as expected or runs
// past the data.
int VersionFromFci(const uint8_t* data, size_t length, char* version, size_t versionSize);

// The two profile versions from the 13 bytes of EF 2F01; CARDLIB_ERR_BAD_DATA
// when the card returned too few bytes to hold them.
int VersionsFromEf2F01(const uint8_t* data, size_t length, char* regular, char* secure,
                       size_t versionSize);

// Key sizes in bits as OpenSSL gives them: an RSA key from its big-endian
// modulus and exponent, and the public key of a DER certificate (0 when the
// DER does not decode).
int RsaKeyBits(const uint8_t* modulus, size_t modulusLength, const uint8_t* exponent,
               size_t exponentLength);
int CertificateKeyBits(const uint8_t* der, size_t length);

}  // namespace cardlib_detail

#endif  // VD_TOKEN_CARDLIB_INTERNAL_H
