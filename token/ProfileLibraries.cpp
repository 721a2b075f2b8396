// Registry of the profile PKCS#11 libraries, their loading, and the session
// and login conventions every profile operation follows.
#include <dlfcn.h>

#include <cstring>

#include "pcscread/Names.h"
#include "token/cardlib.h"
#include "token/cardlib_internal.h"

namespace {

const char kRegularPrimary[] = "/usr/lib/libVelmartoken.so";
const char kRegularFallback[] = "/usr/lib64/libVelmartoken.so";
const char kSecurePrimary[] = "/usr/lib/libZenthary3PKCS.so";
const char kSecureFallback[] = "/usr/lib64/libZenthary3PKCS.so";

constexpr ProfileLibrary MakeEntry(int32_t kind, const char* primary, const char* fallback,
                         const char* title, const char* name) {
    ProfileLibrary e{};
    e.kind = kind;
    e.primaryPath = primary;
    e.fallbackPath = fallback;
    e.slot = CARDLIB_NO_SLOT_BOUND;
    e.profileTitle = title;
    e.profileName = name;
    return e;
}

constexpr ProfileLibrary InitialEntry(int position) {
    switch (position) {
        case 0:
            return MakeEntry(PROFILE_KIND_REGULAR, kRegularPrimary, kRegularFallback,
                             "Profil zwykły Starcos 3.x", "Profil zwykły");
        case 1:
            return MakeEntry(PROFILE_KIND_SECURE, kSecurePrimary, kSecureFallback,
                             "Profil bezpieczny Starcos 3.x", "Profil bezpieczny");
        default:
            return MakeEntry(position + 1, nullptr, nullptr, nullptr, nullptr);
    }
}

// The application argument of every session the layer opens.
unsigned char sessionApplicationByte = 0x11;

}  // namespace

// Constant-initialised, so that it is complete before any start-up code runs.
ProfileLibrary profileLibraries[PROFILE_LIBRARY_COUNT] = {
    InitialEntry(0), InitialEntry(1), InitialEntry(2), InitialEntry(3)};

namespace cardlib_detail {

int BeginProfileOperation(int profileKind, ProfileLibrary** libOut) {
    ProfileLibrary* lib = FindProfileLibrary(profileKind);
    if (lib == nullptr) return CARDLIB_ERR_BAD_PROFILE_KIND;
    lib->lastRv = 0;
    // Never call through a function list that was not handed out, or into a
    // library that refused to initialise.
    if (!lib->initialized || lib->functions == nullptr) {
        lib->lastRv = CKR_CRYPTOKI_NOT_INITIALIZED;
        return CARDLIB_ERR_PKCS11;
    }
    *libOut = lib;
    return 0;
}

int BeginBoundProfileOperation(int profileKind, ProfileLibrary** libOut) {
    ProfileLibrary* lib = nullptr;
    const int rc = BeginProfileOperation(profileKind, &lib);
    if (rc != 0) return rc;
    if (lib->slot == CARDLIB_NO_SLOT_BOUND) {
        // The slot number would be whatever the library makes of it.
        lib->lastRv = CKR_SLOT_ID_INVALID;
        return CARDLIB_ERR_PKCS11;
    }
    *libOut = lib;
    return 0;
}

CK_RV OpenLayerSession(ProfileLibrary* lib, CK_SLOT_ID slot, CK_SESSION_HANDLE* session) {
    return lib->functions->C_OpenSession(slot, CKF_RW_SESSION | CKF_SERIAL_SESSION,
                                         &sessionApplicationByte, nullptr, session);
}

int FailInSession(ProfileLibrary* lib, CK_SESSION_HANDLE session, CK_RV rv) {
    lib->functions->C_CloseSession(session);
    lib->lastRv = rv;
    return CARDLIB_ERR_PKCS11;
}

int LoginLayerSession(ProfileLibrary* lib, CK_SESSION_HANDLE session, CK_USER_TYPE userType,
                      const char* pin) {
    CK_FUNCTION_LIST* f = lib->functions;
    const CK_ULONG pinLength = pin != nullptr ? std::strlen(pin) : 0;
    CK_RV rv = f->C_Login(session, userType,
                          reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)), pinLength);
    if (rv == CKR_OK) return 0;
    f->C_CloseSession(session);
    if (rv == CKR_PIN_INCORRECT) {
        CK_TOKEN_INFO info;
        std::memset(&info, 0, sizeof info);
        CK_RV infoRv = f->C_GetTokenInfo(lib->slot, &info);
        if (infoRv != CKR_OK) {
            rv = infoRv;
        } else {
            const CK_FLAGS lockedFlag = userType == CKU_SO ? CKF_SO_PIN_LOCKED : CKF_USER_PIN_LOCKED;
            if (info.flags & lockedFlag) rv = CKR_PIN_LOCKED;
        }
    }
    lib->lastRv = rv;
    return CARDLIB_ERR_PKCS11;
}

}  // namespace cardlib_detail

using pcscread::CopyName;

ProfileLibrary* FindProfileLibrary(int profileKind) {
    if (profileKind != PROFILE_KIND_REGULAR && profileKind != PROFILE_KIND_SECURE) return nullptr;
    for (ProfileLibrary& e : profileLibraries) {
        if (e.kind == profileKind) return &e;
    }
    return nullptr;
}

TokenVersionFunction FindVersionExport(void* library) {
    return reinterpret_cast<TokenVersionFunction>(dlsym(library, "GetVersion"));
}

int LoadProfileLibraries(LibraryLoadReport* report) {
    InitLibrary();
    for (int i = 0; i < PROFILE_LIBRARY_COUNT; ++i) {
        ProfileLibrary& lib = profileLibraries[i];
        LibraryLoadEntry& entry = report->entries[i];
        if (lib.kind != PROFILE_KIND_REGULAR && lib.kind != PROFILE_KIND_SECURE) {
            entry.hasPkcs11Library = 0;
            entry.kind = lib.kind;
            report->count += 1;
            continue;
        }
        entry.hasPkcs11Library = 1;
        lib.dlHandle = lib.primaryPath ? dlopen(lib.primaryPath, RTLD_LAZY) : nullptr;
        if (lib.dlHandle == nullptr && lib.fallbackPath != nullptr) {
            lib.dlHandle = dlopen(lib.fallbackPath, RTLD_LAZY);
        }
        lib.lastRv = 0;
        if (lib.dlHandle != nullptr) {
            lib.getFunctionList =
                reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib.dlHandle, "C_GetFunctionList"));
            if (lib.getFunctionList != nullptr) {
                CK_FUNCTION_LIST* list = nullptr;
                CK_RV rv = lib.getFunctionList(&list);
                if (rv == CKR_OK && list == nullptr) {
                    // An OK without a list cannot be used; treat it as a failure.
                    rv = CKR_GENERAL_ERROR;
                }
                if (rv != CKR_OK) {
                    lib.lastRv = rv;
                } else {
                    lib.functions = list;
                    rv = list->C_Initialize != nullptr ? list->C_Initialize(nullptr)
                                                       : CKR_GENERAL_ERROR;
                    if (rv == CKR_OK) {
                        lib.initialized = 1;
                    } else {
                        lib.lastRv = rv;
                    }
                }
                const TokenVersionFunction getVersion = FindVersionExport(lib.dlHandle);
                if (getVersion != nullptr) {
                    CopyName(lib.version, sizeof lib.version, getVersion());
                }
            }
            entry.loaded = 1;
            entry.initialized = lib.initialized;
            CopyName(entry.version, sizeof entry.version, lib.version);
        }
        CopyName(entry.primaryPath, sizeof entry.primaryPath, lib.primaryPath);
        CopyName(entry.fallbackPath, sizeof entry.fallbackPath, lib.fallbackPath);
        entry.kind = lib.kind;
        report->count += 1;
    }
    return 0;
}

// --- Test hooks -------------------------------------------------------------

void SetProfileLibraryPathsForTesting(int profileKind, const char* primaryPath,
                                      const char* fallbackPath) {
    ProfileLibrary* lib = FindProfileLibrary(profileKind);
    if (lib == nullptr) return;
    const ProfileLibrary fixed = InitialEntry(profileKind - 1);
    lib->primaryPath = primaryPath ? primaryPath : fixed.primaryPath;
    lib->fallbackPath = (primaryPath || fallbackPath) ? fallbackPath : fixed.fallbackPath;
}

void ResetProfileLibrariesForTesting() {
    for (int i = 0; i < PROFILE_LIBRARY_COUNT; ++i) {
        ProfileLibrary& lib = profileLibraries[i];
        if (lib.initialized && lib.functions != nullptr && lib.functions->C_Finalize != nullptr) {
            lib.functions->C_Finalize(nullptr);
        }
        if (lib.dlHandle != nullptr) dlclose(lib.dlHandle);
        ProfileLibrary fresh = InitialEntry(i);
        fresh.primaryPath = lib.primaryPath;
        fresh.fallbackPath = lib.fallbackPath;
        lib = fresh;
    }
}
