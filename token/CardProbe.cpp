// Card identification by ATR, the profile-version APDUs, and the token
// information of each profile (ReadCardInfo); slot binding.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pcscread/Names.h"
#include "token/cardlib.h"
#include "token/cardlib_internal.h"

using cardlib_detail::CodeAsRv;
using pcscread::CopyName;

namespace {

struct KnownAtr {
    const uint8_t* atr;
    int32_t atrLength;
    const uint8_t* mask;  // nullptr: compared byte for byte
    int32_t cardType;
};

const uint8_t kAtrType1[21] = {0x3B, 0xBB, 0x18, 0x00, 0xC0, 0x10, 0x31, 0xFE, 0x45, 0x80, 0x67,
                               0x04, 0x12, 0xB0, 0x03, 0x03, 0x00, 0x00, 0x81, 0x05, 0x3C};
const uint8_t kMaskType1[21] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00};
const uint8_t kAtrType2[25] = {0x3B, 0x9F, 0x96, 0x81, 0xB1, 0xFE, 0x45, 0x1F, 0x07,
                               0x00, 0x64, 0x05, 0x1E, 0xB2, 0x00, 0x31, 0xB0, 0x73,
                               0x96, 0x21, 0xDB, 0x05, 0x90, 0x00, 0x5C};
const uint8_t kMaskType2[25] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00};
const uint8_t kAtrType3[22] = {0x3B, 0xDD, 0x96, 0xFF, 0x81, 0x31, 0xFE, 0x45, 0x80, 0x59, 0x5F,
                               0x53, 0x74, 0x64, 0x5F, 0x49, 0x6E, 0x69, 0x74, 0x81, 0x00, 0x00};
const uint8_t kMaskType3[22] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00};

const KnownAtr knownAtrs[] = {
    {kAtrType1, 21, kMaskType1, 1},
    {kAtrType2, 25, kMaskType2, 2},
    {kAtrType3, 22, kMaskType3, 3},
};

const uint8_t kSelectMf[] = {0x00, 0xA4, 0x00, 0x0C};
const uint8_t kSelectEf2F01[] = {0x00, 0xA4, 0x02, 0x0C, 0x02, 0x2F, 0x01};
const uint8_t kReadBinary13[] = {0x00, 0xB0, 0x00, 0x00, 0x0D};
const uint8_t kSelectDf3F10[] = {0x00, 0xA4, 0x01, 0x00, 0x02, 0x3F, 0x10, 0x00};
const uint8_t kSelectDf3F11[] = {0x00, 0xA4, 0x01, 0x00, 0x02, 0x3F, 0x11, 0x00};

constexpr int SW_OK = 0x9000;
constexpr int SW_FILE_NOT_FOUND = 0x6A82;
constexpr size_t kResponseCapacity = 64;
constexpr size_t kVersionSize = 16;
constexpr uint32_t kMaxFindHandles = CARDLIB_MAX_LISTED_OBJECTS;

// Shared output buffer of TrimTrailingBlanks.
char trimBuffer[129];

struct Apdu {
    int sw;            // status word, negative for a transport failure
    uint32_t length;   // response data bytes, status word excluded
    uint8_t data[kResponseCapacity];
};

Apdu Send(const uint8_t* apdu, size_t apduLength) {
    Apdu r{};
    r.length = static_cast<uint32_t>(apduLength);
    r.sw = ISO(&r.length, apdu, r.data, kResponseCapacity, static_cast<uint32_t>(readerPort));
    if (r.length > kResponseCapacity) r.length = kResponseCapacity;
    return r;
}

// Maps a status word that is not among the accepted ones.
int StatusWordError(int sw) { return sw < 0 ? CARDLIB_ERR_CARD_IO : CARDLIB_ERR_BAD_STATUS_WORD; }

int ProbeEf2F01(char* regular, char* secure) {
    Apdu r = Send(kSelectMf, sizeof kSelectMf);
    if (r.sw != SW_OK) return StatusWordError(r.sw);
    r = Send(kSelectEf2F01, sizeof kSelectEf2F01);
    if (r.sw != SW_OK) return StatusWordError(r.sw);
    r = Send(kReadBinary13, sizeof kReadBinary13);
    if (r.sw != SW_OK) return StatusWordError(r.sw);
    return cardlib_detail::VersionsFromEf2F01(r.data, r.length, regular, secure, kVersionSize);
}

int ProbeDf(const uint8_t* selectDf, size_t selectLength, char* version) {
    Apdu r = Send(kSelectMf, sizeof kSelectMf);
    if (r.sw != SW_OK) return StatusWordError(r.sw);
    r = Send(selectDf, selectLength);
    if (r.sw == SW_FILE_NOT_FOUND) return 0;
    if (r.sw != SW_OK) return StatusWordError(r.sw);
    return cardlib_detail::VersionFromFci(r.data, r.length, version, kVersionSize);
}

int ProbeVersions(int cardType, char* regular, char* secure) {
    if (cardType == 3) {
        int rc = ProbeDf(kSelectDf3F10, sizeof kSelectDf3F10, regular);
        if (rc != 0) return rc;
        return ProbeDf(kSelectDf3F11, sizeof kSelectDf3F11, secure);
    }
    return ProbeEf2F01(regular, secure);
}

int32_t Low32(CK_ULONG value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

// One profile of ReadCardInfo from its slot-list step on. Returns 0 when the
// profile is listed, 1 when ReadCardInfo must stop with CARDLIB_NO_TOKEN_SLOT,
// -1 when the profile is left out (lastRv says why).
int ExamineProfile(ProfileLibrary& lib, const char* readerName, const char* regular,
                   const char* secure, ProfileInfo& p, CardInfo& out) {
    CK_FUNCTION_LIST* f = lib.functions;
    CK_ULONG tokenSlots = 0;
    CK_RV rv = f->C_GetSlotList(CK_TRUE, nullptr, &tokenSlots);
    if (rv != CKR_OK) {
        lib.lastRv = rv;
        return -1;
    }
    if (tokenSlots == 0) return 1;

    CK_SLOT_ID slot = 0;
    uint64_t found = cardlib_detail::FindSlotForReaderRv(readerName, &slot, f);
    if (found != 0) {
        lib.lastRv = found;
        lib.slot = CARDLIB_NO_SLOT_BOUND;
        return -1;
    }
    lib.slot = slot;

    CK_TOKEN_INFO info;
    std::memset(&info, 0, sizeof info);
    rv = f->C_GetTokenInfo(slot, &info);
    if (rv != CKR_OK) {
        lib.lastRv = rv;
        return -1;
    }

    p.kind = lib.kind;
    CopyName(p.label, sizeof p.label, TrimTrailingBlanks(info.label, sizeof info.label));
    CopyName(p.profileVersion, sizeof p.profileVersion,
             lib.kind == PROFILE_KIND_REGULAR ? regular : secure);
    CopyName(p.profileName, sizeof p.profileName, lib.profileName);
    CopyName(p.libraryVersion, sizeof p.libraryVersion, lib.version);
    p.libraryInitialized = 1;
    p.tokenInitialized = (info.flags & CKF_TOKEN_INITIALIZED) ? 1 : 0;
    p.userPinInitialized = (info.flags & CKF_USER_PIN_INITIALIZED) ? 1 : 0;
    p.userPinLocked = (info.flags & CKF_USER_PIN_LOCKED) ? 1 : 0;
    p.soPinLocked = (info.flags & CKF_SO_PIN_LOCKED) ? 1 : 0;
    p.userPinFinalTry = (info.flags & CKF_USER_PIN_FINAL_TRY) ? 1 : 0;
    p.soPinFinalTry = (info.flags & CKF_SO_PIN_FINAL_TRY) ? 1 : 0;
    p.freePublicMemory = Low32(info.ulFreePublicMemory);
    p.freePrivateMemory = Low32(info.ulFreePrivateMemory);
    CopyName(out.cardNumber, sizeof out.cardNumber,
             TrimTrailingBlanks(info.serialNumber, sizeof info.serialNumber));

    if (p.tokenInitialized) {
        CK_SESSION_HANDLE session = 0;
        rv = cardlib_detail::OpenLayerSession(&lib, slot, &session);
        if (rv != CKR_OK) {
            lib.lastRv = rv;
            return -1;
        }
        CK_OBJECT_HANDLE* handles = nullptr;
        CK_ULONG count = kMaxFindHandles;
        rv = FindCertificates(session, nullptr, 0, &handles, &count, f);
        if (rv != CKR_OK) {
            f->C_CloseSession(session);
            lib.lastRv = rv;
            return -1;
        }
        p.certificateCount = static_cast<int32_t>(count);
        std::free(handles);
        f->C_CloseSession(session);
    }
    p.valid = 1;
    return 0;
}

}  // namespace

namespace cardlib_detail {

int IdentifyCardType(const uint8_t* atr, int atrLength) {
    for (const KnownAtr& row : knownAtrs) {
        if (row.atrLength != atrLength) continue;
        bool match = true;
        for (int i = 0; i < atrLength && match; ++i) {
            const uint8_t m = row.mask ? row.mask[i] : 0xFF;
            match = (atr[i] & m) == (row.atr[i] & m);
        }
        if (match) return row.cardType;
    }
    return 0;
}

int VersionFromFci(const uint8_t* data, size_t length, char* version, size_t versionSize) {
    if (length > kResponseCapacity) length = kResponseCapacity;
    const void* tag = std::memchr(data, 0xA5, length);
    if (tag == nullptr) {
        CopyName(version, versionSize, "3.5.x");
        return 0;
    }
    const size_t t = static_cast<size_t>(static_cast<const uint8_t*>(tag) - data);
    // Length byte, "Kelvor" and the version byte must all lie in what the
    // card returned.
    if (length - t - 1 < 8) return CARDLIB_ERR_BAD_DATA;
    if (data[t + 1] == 0x40) return CARDLIB_ERR_BAD_DATA;
    if (std::memcmp(data + t + 2, "Kelvor", 6) != 0) return CARDLIB_ERR_BAD_DATA;
    std::snprintf(version, versionSize, "3.5.%d", static_cast<int>(data[t + 8]));
    return 0;
}

int VersionsFromEf2F01(const uint8_t* data, size_t length, char* regular, char* secure,
                       size_t versionSize) {
    if (length < 11) return CARDLIB_ERR_BAD_DATA;
    std::snprintf(regular, versionSize, "3.%d.%d", static_cast<int>(data[7]),
                  static_cast<int>(data[8]));
    std::snprintf(secure, versionSize, "3.%d.%d", static_cast<int>(data[9]),
                  static_cast<int>(data[10]));
    return 0;
}

uint64_t FindSlotForReaderRv(const char* readerName, CK_SLOT_ID* slotOut,
                             CK_FUNCTION_LIST* functions) {
    CK_ULONG count = 0;
    if (functions->C_GetSlotList(CK_FALSE, nullptr, &count) != CKR_OK) {
        return CodeAsRv(CARDLIB_ERR_NO_SLOT);
    }
    // The list is fetched even for a count of 0; one element at least, so
    // that an empty list is not mistaken for a failed allocation.
    const CK_ULONG allocated = count > 0 ? count : 1;
    auto* slots = static_cast<CK_SLOT_ID*>(std::calloc(allocated, sizeof(CK_SLOT_ID)));
    if (slots == nullptr) return CodeAsRv(CARDLIB_ERR_NO_SLOT);
    uint64_t result = CodeAsRv(CARDLIB_ERR_NO_SLOT);
    if (functions->C_GetSlotList(CK_FALSE, slots, &count) == CKR_OK) {
        // Never walk past the array, whatever count the library hands back.
        if (count > allocated) count = allocated;
        // A name longer than the description can never be its prefix, and an
        // empty one would bind whatever slot comes first.
        const size_t nameLength = readerName ? std::strlen(readerName) : 0;
        const bool usable = nameLength > 0 && nameLength <= 64;
        for (CK_ULONG i = 0; i < count; ++i) {
            CK_SLOT_INFO info;
            std::memset(&info, 0, sizeof info);
            CK_RV rv = functions->C_GetSlotInfo(slots[i], &info);
            if (rv != CKR_OK) {
                result = rv;
                break;
            }
            if (usable && std::memcmp(info.slotDescription, readerName, nameLength) == 0) {
                *slotOut = slots[i];
                result = 0;
                break;
            }
        }
    }
    std::free(slots);
    return result;
}

}  // namespace cardlib_detail

const char* TrimTrailingBlanks(const uint8_t* field, size_t length) {
    if (length > 128) length = 128;
    std::memcpy(trimBuffer, field, length);
    trimBuffer[length] = '\0';
    for (size_t n = std::strlen(trimBuffer); n > 0 && trimBuffer[n - 1] == ' '; --n) {
        trimBuffer[n - 1] = '\0';
    }
    return trimBuffer;
}

int FindSlotForReader(const char* readerName, CK_SLOT_ID* slotOut, CK_FUNCTION_LIST* functions) {
    return static_cast<int>(cardlib_detail::FindSlotForReaderRv(readerName, slotOut, functions));
}

int BindProfileToReader(int profileKind, const char* readerName) {
    ProfileLibrary* lib = FindProfileLibrary(profileKind);
    if (lib == nullptr) return CARDLIB_ERR_BAD_PROFILE_KIND;
    uint64_t result;
    CK_SLOT_ID slot = 0;
    if (!lib->initialized || lib->functions == nullptr) {
        result = CKR_CRYPTOKI_NOT_INITIALIZED;
    } else {
        result = cardlib_detail::FindSlotForReaderRv(readerName, &slot, lib->functions);
    }
    if (result == 0) {
        lib->slot = slot;
    } else {
        // Unbound, so that the listings that follow cannot reach the card of
        // the reader bound before.
        lib->lastRv = result;
        lib->slot = CARDLIB_NO_SLOT_BOUND;
    }
    return 0;
}

int ReadCardInfo(const char* readerName, CardInfo* out) {
    std::memset(out, 0, sizeof *out);
    CopyName(out->readerName, sizeof out->readerName, readerName);
    if (readerPort == CARDLIB_NO_READER_PORT) return CARDLIB_ERR_NO_PORT;
    const uint32_t port = static_cast<uint32_t>(readerPort);

    uint8_t atr[PCSC2STD_ATR_CAPACITY] = {};
    const int atrLength = CardReset(atr, 1, port);
    if (atrLength <= 0) return CARDLIB_ERR_CARD_IO;

    const int cardType = cardlib_detail::IdentifyCardType(atr, atrLength);
    if (cardType == 0) {
        CardDisconnect(port);
        return CARDLIB_ERR_UNKNOWN_ATR;
    }

    const int tx = StartTransaction(port);
    if (tx != 0) return tx;
    char regular[kVersionSize] = {};
    char secure[kVersionSize] = {};
    const int probe = ProbeVersions(cardType, regular, secure);
    EndTransaction(port);
    CardDisconnect(port);
    if (probe != 0) return probe;

    for (ProfileLibrary& lib : profileLibraries) {
        if (lib.kind != PROFILE_KIND_REGULAR && lib.kind != PROFILE_KIND_SECURE) continue;
        if (!lib.initialized || lib.functions == nullptr) continue;
        if (out->profileCount >= CARDINFO_MAX_PROFILES) break;
        ProfileInfo& p = out->profiles[out->profileCount];
        // A profile left out before must not leave its values in the entry
        // the next profile reuses.
        std::memset(&p, 0, sizeof p);
        lib.lastRv = 0;
        const int rc = ExamineProfile(lib, readerName, regular, secure, p, *out);
        if (rc == 1) return CARDLIB_NO_TOKEN_SLOT;
        if (rc == 0) {
            out->profileCount += 1;
        } else {
            std::memset(&p, 0, sizeof p);
        }
    }
    return 0;
}
