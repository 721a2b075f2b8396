// Card and token inspection layer: C-style free functions between the report
// worker and the pcsc2std port API, over the two profile PKCS#11 libraries.
//
// Every function returns an int status: 0 on success, a negative CARDLIB_ERR_*
// code or a passed-through pcsc2std code on failure. Positive results are
// CARDLIB_NO_TOKEN_SLOT from ReadCardInfo, a present card from IsCardPresent
// and the CK_RV of a failing C_GetSlotInfo from FindSlotForReader.
// The layer holds no lock; no two of its operations may run at once.
#ifndef VD_TOKEN_CARDLIB_H
#define VD_TOKEN_CARDLIB_H

#include <cstddef>
#include <cstdint>

#include <p11-kit/pkcs11.h>

#include "pcscread/pcsc2std.h"

// ---------------------------------------------------------------------------
// Result codes
// ---------------------------------------------------------------------------
enum : int {
    CARDLIB_NO_TOKEN_SLOT = 1,
    CARDLIB_ERR_NO_MEMORY = -1002,
    CARDLIB_ERR_CARD_IO = -1006,
    CARDLIB_ERR_PKCS11 = -1007,
    CARDLIB_ERR_UNKNOWN_ATR = -1009,
    CARDLIB_ERR_NO_PORT = -1014,
    CARDLIB_ERR_NO_SLOT = -1015,
    CARDLIB_ERR_BAD_STATUS_WORD = -1017,
    CARDLIB_ERR_BAD_PROFILE_KIND = -1019,
    CARDLIB_ERR_NO_CERTIFICATE = -1020,
    CARDLIB_ERR_BAD_DATA = -1021,
    CARDLIB_ERR_NO_PRIVATE_KEY = -1022,
    CARDLIB_ERR_UNKNOWN_PROFILE_KIND = -1100,
};

// ---------------------------------------------------------------------------
// Profile kinds
// ---------------------------------------------------------------------------
typedef int ProfileKind;
enum : int {
    PROFILE_KIND_REGULAR = 1,
    PROFILE_KIND_SECURE = 2,
};

// A profile's slot before its first successful binding, and the layer's
// reader port while none is open.
constexpr CK_SLOT_ID CARDLIB_NO_SLOT_BOUND = 0xffff;
constexpr int32_t CARDLIB_NO_READER_PORT = 0xffff;

#pragma pack(push, 1)

struct LibraryLoadEntry {
    int32_t kind;
    uint8_t loaded;
    uint8_t initialized;
    char primaryPath[128];
    char fallbackPath[128];
    char version[32];
    uint8_t hasPkcs11Library;
};
static_assert(sizeof(LibraryLoadEntry) == 295, "LibraryLoadEntry layout");

// Must be all zero when handed to LoadProfileLibraries.
struct LibraryLoadReport {
    int32_t count;
    LibraryLoadEntry entries[10];
};
static_assert(sizeof(LibraryLoadReport) == 4 + 10 * 295, "LibraryLoadReport layout");

struct ProfileInfo {
    int32_t kind;
    char label[64];
    char profileVersion[32];
    char libraryVersion[32];
    uint8_t libraryInitialized;
    char profileName[24];
    uint8_t tokenInitialized;
    uint8_t userPinInitialized;
    uint8_t userPinLocked;
    uint8_t soPinLocked;
    int32_t certificateCount;
    int32_t freePublicMemory;
    int32_t freePrivateMemory;
    uint8_t userPinFinalTry;
    uint8_t soPinFinalTry;
    uint8_t valid;
};
static_assert(sizeof(ProfileInfo) == 176, "ProfileInfo layout");

constexpr int CARDINFO_MAX_PROFILES = 10;

struct CardInfo {
    int32_t profileCount;
    ProfileInfo profiles[CARDINFO_MAX_PROFILES];
    char serialNumber[21];
    char cardNumber[17];
    char readerName[128];
};
static_assert(sizeof(CardInfo) == 4 + 10 * 176 + 21 + 17 + 128, "CardInfo layout");

struct PublicKeyInfo {
    uint8_t objectKind;
    uint8_t id[128];
    uint64_t idLength;
    uint32_t modulusLength;
    uint8_t modulus[1024];
    uint32_t exponentLength;
    uint8_t exponent[1024];
    uint64_t handle;
    char label[129];
    int32_t keyBits;
};
static_assert(sizeof(PublicKeyInfo) == 2334, "PublicKeyInfo layout");

constexpr int CARDLIB_MAX_LISTED_OBJECTS = 15;

struct PublicKeyInfoList {
    int32_t count;
    PublicKeyInfo keys[CARDLIB_MAX_LISTED_OBJECTS];
};
static_assert(sizeof(PublicKeyInfoList) == 4 + 15 * 2334, "PublicKeyInfoList layout");

struct CertificateInfo {
    uint8_t objectKind;
    uint8_t id[128];
    uint64_t idLength;
    uint32_t valueLength;
    uint8_t value[4096];
    uint64_t handle;
    char label[129];
    int32_t keyBits;
};
static_assert(sizeof(CertificateInfo) == 4378, "CertificateInfo layout");

struct CertificateInfoList {
    int32_t count;
    CertificateInfo certificates[CARDLIB_MAX_LISTED_OBJECTS];
};
static_assert(sizeof(CertificateInfoList) == 4 + 15 * 4378, "CertificateInfoList layout");

#pragma pack(pop)

// ---------------------------------------------------------------------------
// Profile libraries
// ---------------------------------------------------------------------------

// Initialises the port API and loads and initialises both profile libraries.
// Always returns 0; each report entry records its own outcome.
int LoadProfileLibraries(LibraryLoadReport* report);

// The maker's "GetVersion" export of a token library, or NULL when it has
// none. library is a handle from dlopen, never NULL (dlsym would search the
// whole process). The export returns the library's version text (or NULL),
// which lives inside the library: copy it before closing the library.
typedef const char* (*TokenVersionFunction)();
TokenVersionFunction FindVersionExport(void* library);

// ---------------------------------------------------------------------------
// Reader port and card probe
// ---------------------------------------------------------------------------
int OpenReaderPort(const char* readerName);
void CloseReaderPort();
int IsCardPresent();
// Copies at most 16 reader records into out.
int GetReaderList(ReaderInfo* out, uint32_t* count);

int ReadCardInfo(const char* readerName, CardInfo* out);

int BindProfileToReader(int profileKind, const char* readerName);

// ---------------------------------------------------------------------------
// Listings
// ---------------------------------------------------------------------------
int ListPublicKeys(int profileKind, PublicKeyInfoList* out);
int ListCertificates(int profileKind, CertificateInfoList* out);

// ---------------------------------------------------------------------------
// Token administration
// ---------------------------------------------------------------------------
// Each works on the slot of the profile's last binding, in a session of its
// own; PINs are C strings and are not kept. A failed PKCS#11 step gives
// CARDLIB_ERR_PKCS11 with its CK_RV in the profile's lastRv. Refused the same
// way before the token is asked anything: a profile that is not bound
// (CKR_SLOT_ID_INVALID), a library that is not initialised
// (CKR_CRYPTOKI_NOT_INITIALIZED) and a NULL PIN (CKR_ARGUMENTS_BAD).

// *rvOut = the profile's lastRv; CARDLIB_ERR_UNKNOWN_PROFILE_KIND for a kind
// other than 1 or 2.
int GetProfileLastError(int profileKind, uint64_t* rvOut);

// Logs in with the PUK (the token's SO PIN) and sets a new user PIN.
int UnblockPin(int profileKind, const char* soPin, const char* newUserPin);
// Re-initialises the token under its current label, then sets the user PIN
// as UnblockPin does.
int InitializeToken(int profileKind, const char* soPin, const char* newUserPin);
int ChangePuk(int profileKind, const char* oldSoPin, const char* newSoPin);
int ChangePin(int profileKind, const char* oldPin, const char* newPin);

// Destroys the first certificate, RSA public key and RSA private key with the
// given CKA_ID (any, when id is NULL). CARDLIB_ERR_NO_CERTIFICATE when no
// certificate matches; nothing is destroyed then.
int DeleteObjectsById(int profileKind, const uint8_t* id, uint64_t idLength,
                      const char* userPin);

// Stores the certificate next to the RSA private key with its modulus, under
// that key's CKA_ID and label, and appends it to out while out has room (a
// NULL or full list is left as it is; the certificate is stored either way).
// A certificate whose key is not RSA gives CARDLIB_ERR_BAD_DATA.
int ImportCertificate(int profileKind, const uint8_t* certificateDer,
                      uint32_t certificateLength, const char* userPin,
                      CertificateInfoList* out);
// Stores the RSA key pair of the PKCS#8 key and the certificate under a new
// random CKA_ID, and appends the certificate to out as ImportCertificate does.
int ImportKeyAndCertificate(int profileKind, const uint8_t* certificateDer,
                            uint32_t certificateLength, const uint8_t* pkcs8Der,
                            uint32_t pkcs8Length, const char* userPin,
                            CertificateInfoList* out);

#endif  // VD_TOKEN_CARDLIB_H
