/*
 * Control interface of the stand-in PKCS#11 token libraries.
 *
 * The stand-in is built as several shared objects (see CMakeLists.txt in this
 * directory), all in the directory ${VD_P11STAND_DIR}:
 *
 *   libVelmartoken.so            regular profile   (flavour "regular")
 *   libZenthary3PKCS.so          secure profile    (flavour "secure")
 *   libp11stand_noversion.so     no GetVersion export    (flavour "noversion")
 *   libp11stand_nofunclist.so    no C_GetFunctionList export (flavour "nofunclist")
 *
 * Each file exports only C_GetFunctionList, GetVersion and the p11stand_*
 * functions declared here; everything else is hidden, so two of them loaded
 * into one process keep separate state and never interpose on each other.
 *
 * In CMake, `target_link_libraries(t PRIVATE p11stand)` gives this header,
 * the PKCS#11 header, the compile definition P11STAND_DIR (the directory
 * above, as a string) and a build dependency on all four files.
 *
 * NEVER link against these libraries. Each loaded copy is controlled through
 * its own dlopen handle:
 *
 *     void* h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
 *     auto reset = (p11stand_reset_fn)dlsym(h, "p11stand_reset");
 *
 * or, in C++, with the helper at the end of this header:
 *
 *     P11StandControl ctl;
 *     ctl.Open(path);              // dlopen + dlsym of every control function
 *     ctl.reset();
 *
 * Opening the same path again (as the card layer does) yields the same handle
 * and therefore the same state.
 *
 * The model
 * ---------
 * Slots carry a caller-chosen CK_SLOT_ID and a 64-byte slotDescription (the
 * given text, blank-padded or cut to 64 bytes). C_GetSlotList lists slots in
 * the order they were added. A slot may hold a token: label (32 bytes) and
 * serial number (16 bytes) blank-padded, flags, free/total memory (any value,
 * CK_UNAVAILABLE_INFORMATION included), SO PIN and user PIN with retry
 * counters. Objects belong to a token; each has a handle unique within the
 * library and a list of attributes. Private objects (CKA_PRIVATE true; private
 * keys unless CKA_PRIVATE is given as false) are seen by the find and
 * attribute functions only while the user is logged in on that token.
 *
 * PIN handling: a wrong PIN answers CKR_PIN_INCORRECT and counts down the
 * retry counter (0 tries = unlimited). One try left sets *_PIN_FINAL_TRY, none
 * left sets *_PIN_LOCKED; later logins answer CKR_PIN_LOCKED. A correct PIN
 * restores the counter. The login state belongs to the token and ends when
 * its last session is closed.
 *
 * Faults and call log
 * -------------------
 * Every PKCS#11 entry point (named as in the standard, "C_OpenSession") and
 * GetVersion counts its calls since the last reset. p11stand_fail makes the
 * n-th call (1-based; 0 = every call) answer the given CK_RV without doing
 * anything. For "C_GetFunctionList" an injected CKR_OK means: answer CKR_OK and
 * hand out a NULL list.
 *
 * Every call is appended to the log as one line: the function name, its key
 * arguments, then (on the paths that produce them) results, and the answer:
 *     <function> key=value ... [result=value ...] -> 0x<rv>
 * e.g. "C_OpenSession slot=0x1 flags=0x6 app=0x11 notify=NULL session=0x1 -> 0x0"
 * ("app" is the byte the application pointer points to, or NULL);
 *      "C_GetSlotList tokenPresent=1 list=NULL in=0 count=2 -> 0x0";
 *      "C_Login session=0x1 user=1 pin=\"1234\" len=4 -> 0xa0";
 *      "C_FindObjectsInit session=0x1 count=2 template=[0x100:8=0000000000000000,0x0:8=0200000000000000] matches=1 -> 0x0"
 * Input templates (find, create) are written [type:len=hexvalue,...] (values
 * cut after 64 bytes with "..."; a NULL value is "NULL"); output templates
 * (C_GetAttributeValue) are written [type:NULL,...] or [type:bufferlength,...].
 * All numbers in hex except lengths and counts. GetVersion logs
 * "GetVersion -> \"text\"" or "GetVersion -> NULL". A faulted call ends in
 * "-> 0x<rv> (injected)" and carries no results.
 *
 * Fixture file
 * ------------
 * When the environment variable P11STAND_FIXTURE names a file, the first call
 * into the library (C_GetFunctionList, GetVersion or C_Initialize) replaces
 * the model (slots, tokens, objects, version, faults, counts, log) with the
 * file's contents before that call is counted, so the file's faults can answer
 * it. After C_Finalize or p11stand_set_initialized(0) the next such call reads
 * the file again. A file that cannot be read or parsed makes C_Initialize
 * answer CKR_GENERAL_ERROR and prints the reason to stderr. The product never
 * reads this variable. Format: one directive per
 * line; blank lines and lines starting with '#' are ignored; TEXT means the
 * rest of the line after one blank (it may contain blanks).
 *
 *   library NAME...        following lines apply only to the listed flavours
 *                          ("regular", "secure", "noversion", "nofunclist");
 *                          "library *" applies them to all again (the start)
 *   version TEXT           GetVersion text
 *   version-null           GetVersion returns NULL
 *   fail FUNCTION CALL RV  as p11stand_fail (numbers decimal or 0x hex)
 *   slot ID TEXT           adds a slot without token; TEXT is the description
 *   token ID               puts a default token into slot ID; the following
 *                          token lines change that token:
 *     label TEXT | serial TEXT | flags N | free-public N | free-private N
 *     so-pin TEXT | user-pin TEXT | user-tries N | so-tries N
 *                          N may be "unavailable" (CK_UNAVAILABLE_INFORMATION)
 *   object                 starts a new object on the last token; then:
 *     attr NAME KIND VALUE NAME is CKA_xxx (see the table in p11stand_fixture.cpp)
 *                          or a number; KIND is one of
 *                            ulong  N or CKO_/CKK_/CKC_ name (8 bytes)
 *                            bool   0 or 1 (1 byte)
 *                            hex    hex digits, blanks allowed, may be empty
 *                            text   TEXT (may be empty)
 *                            file   path of a binary file (e.g. DER), relative
 *                                   to the fixture file's directory
 *
 * Example:
 *   slot 0 Virtual PCD 00 00
 *   token 0
 *   label Profil zwykly
 *   serial 1234567890123456
 *   free-public unavailable
 *   object
 *   attr CKA_CLASS ulong CKO_CERTIFICATE
 *   attr CKA_CERTIFICATE_TYPE ulong CKC_X_509
 *   attr CKA_TOKEN bool 1
 *   attr CKA_VALUE file cert1.der
 *   attr CKA_ID hex 01 02
 *   attr CKA_LABEL text Podpis
 *   library secure
 *   version 2.0.1
 */
#ifndef VD_TESTS_SUPPORT_P11STAND_CONTROL_H
#define VD_TESTS_SUPPORT_P11STAND_CONTROL_H

#include <stddef.h>
#include <p11-kit/pkcs11.h>

#define P11STAND_FIXTURE_ENV "P11STAND_FIXTURE"

#ifdef __cplusplus
extern "C" {
#endif

/* Token settings for p11stand_set_token. NULL texts take the defaults. */
typedef struct P11StandToken {
    const char* label;          /* blank-padded to 32 bytes; default "Stand-in token" */
    const char* serialNumber;   /* blank-padded to 16 bytes; default "0000000000000001" */
    CK_FLAGS flags;             /* reported as given, plus the PIN state bits */
    CK_ULONG totalPublicMemory;
    CK_ULONG freePublicMemory;
    CK_ULONG totalPrivateMemory;
    CK_ULONG freePrivateMemory;
    const char* soPin;          /* default "12345678" */
    const char* userPin;        /* default "1234" */
    CK_ULONG soPinTries;        /* 0: unlimited; default 10 */
    CK_ULONG userPinTries;      /* 0: unlimited; default 3 */
} P11StandToken;

/* Back to an empty model: no slots, objects, sessions, logins, faults, call
 * counts or log lines; default GetVersion text. The C_Initialize state is
 * kept, so a card layer that initialised the library once goes on working. */
typedef void (*p11stand_reset_fn)(void);
/* Forces the library's initialised state (1) or not (0); sessions are closed. */
typedef void (*p11stand_set_initialized_fn)(int initialized);
/* The flavour name of this copy: "regular", "secure", "noversion", "nofunclist". */
typedef const char* (*p11stand_flavour_fn)(void);

/* Adds a slot without token. 0 on success, -1 when the ID is already used. */
typedef int (*p11stand_add_slot_fn)(CK_SLOT_ID id, const char* description);
/* Fills *out with the default token settings. */
typedef void (*p11stand_token_defaults_fn)(P11StandToken* out);
/* Inserts a token (NULL: defaults) into the slot, replacing any token there
 * with its objects. 0, or -1 for an unknown slot. */
typedef int (*p11stand_set_token_fn)(CK_SLOT_ID slot, const P11StandToken* token);
/* Removes the token from the slot (its sessions are closed). 0 or -1. */
typedef int (*p11stand_remove_token_fn)(CK_SLOT_ID slot);

/* Adds an object with exactly these attributes (values copied) to the token
 * in the slot. Returns its handle, 0 when there is no token. */
typedef CK_OBJECT_HANDLE (*p11stand_add_object_fn)(CK_SLOT_ID slot, const CK_ATTRIBUTE* attrs,
                                                   CK_ULONG count);
/* Public RSA key: CKA_CLASS, CKA_KEY_TYPE, CKA_TOKEN, CKA_PRIVATE false,
 * CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_ID, CKA_LABEL (lengths as given,
 * 0 allowed), CKA_MODULUS_BITS. */
typedef CK_OBJECT_HANDLE (*p11stand_add_rsa_public_key_fn)(
    CK_SLOT_ID slot, const unsigned char* modulus, CK_ULONG modulusLength,
    const unsigned char* exponent, CK_ULONG exponentLength, const unsigned char* id,
    CK_ULONG idLength, const char* label, CK_ULONG labelLength);
/* Private RSA key (CKA_PRIVATE and CKA_SENSITIVE true): CKA_CLASS,
 * CKA_KEY_TYPE, CKA_TOKEN, CKA_MODULUS, CKA_ID, CKA_LABEL. */
typedef CK_OBJECT_HANDLE (*p11stand_add_rsa_private_key_fn)(
    CK_SLOT_ID slot, const unsigned char* modulus, CK_ULONG modulusLength,
    const unsigned char* id, CK_ULONG idLength, const char* label, CK_ULONG labelLength);
/* X.509 certificate: CKA_CLASS, CKA_CERTIFICATE_TYPE, CKA_TOKEN, CKA_PRIVATE
 * false, CKA_VALUE (the DER bytes, not checked), CKA_ID, CKA_LABEL. */
typedef CK_OBJECT_HANDLE (*p11stand_add_certificate_fn)(
    CK_SLOT_ID slot, const unsigned char* der, CK_ULONG derLength, const unsigned char* id,
    CK_ULONG idLength, const char* label, CK_ULONG labelLength);
/* Decoy: public EC key (P-256 parameters and a point), with id and label. */
typedef CK_OBJECT_HANDLE (*p11stand_add_ec_public_key_fn)(
    CK_SLOT_ID slot, const unsigned char* id, CK_ULONG idLength, const char* label,
    CK_ULONG labelLength);
/* Decoy: public data object (CKO_DATA) with label and value. */
typedef CK_OBJECT_HANDLE (*p11stand_add_data_object_fn)(
    CK_SLOT_ID slot, const char* label, CK_ULONG labelLength, const unsigned char* value,
    CK_ULONG valueLength);

/* Every object of the token in the slot, private ones included: writes up to
 * max handles in creation order and returns how many there are. */
typedef CK_ULONG (*p11stand_object_handles_fn)(CK_SLOT_ID slot, CK_OBJECT_HANDLE* out,
                                               CK_ULONG max);
/* Reads one attribute of any object without login, sensitivity, fault or log:
 * NULL value => *length set; too small => CKR_BUFFER_TOO_SMALL with *length
 * set to the size needed; unknown handle => CKR_OBJECT_HANDLE_INVALID;
 * missing attribute => CKR_ATTRIBUTE_TYPE_INVALID. */
typedef CK_RV (*p11stand_object_attribute_fn)(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                                              void* value, CK_ULONG* length);

/* Fault: the call-th call (1-based, counted since reset; 0 = every call) of
 * the named function answers rv. Several faults may be set. */
typedef void (*p11stand_fail_fn)(const char* function, unsigned long call, CK_RV rv);
/* A library that misreports: after C_GetAttributeValue has copied a value of
 * this type into the caller's buffer, it reports `length` as the value's
 * length, whatever the buffer held (CK_UNAVAILABLE_INFORMATION included),
 * and still answers CKR_OK. Length 0 ends it for the type; reset ends all. */
typedef void (*p11stand_misreport_length_fn)(CK_ATTRIBUTE_TYPE type, CK_ULONG length);
/* Number of calls of the named function since reset. */
typedef unsigned long (*p11stand_call_count_fn)(const char* function);

/* Call log: line count, one line copied into buf (NUL-terminated, cut to
 * size); returns the line's full length, or (size_t)-1 for a bad index. */
typedef size_t (*p11stand_log_count_fn)(void);
typedef size_t (*p11stand_log_line_fn)(size_t index, char* buf, size_t size);
typedef void (*p11stand_clear_log_fn)(void);

/* Sessions open now, over all slots. */
typedef CK_ULONG (*p11stand_open_session_count_fn)(void);
/* Login state of the token in the slot: -1 nobody (or no token), CKU_SO, CKU_USER. */
typedef long (*p11stand_login_state_fn)(CK_SLOT_ID slot);
/* Current token flags (with the PIN state bits), or 0 without token. */
typedef CK_FLAGS (*p11stand_token_flags_fn)(CK_SLOT_ID slot);

/* GetVersion text; NULL makes GetVersion return NULL. */
typedef void (*p11stand_set_version_fn)(const char* text);

/* Replaces the model with the fixture file's contents (format above).
 * 0 on success; -1 with a message in err otherwise. */
typedef int (*p11stand_load_fixture_fn)(const char* path, char* err, size_t errSize);

#ifdef __cplusplus
} /* extern "C" */
#endif

#ifdef __cplusplus
#include <dlfcn.h>
#include <string>

/* All control functions of one loaded copy, looked up through its handle. */
struct P11StandControl {
#define P11STAND_CONTROLS(X)                                                  \
    X(reset) X(set_initialized) X(flavour) X(add_slot) X(token_defaults)       \
    X(set_token) X(remove_token) X(add_object) X(add_rsa_public_key)          \
    X(add_rsa_private_key) X(add_certificate) X(add_ec_public_key)            \
    X(add_data_object) X(object_handles) X(object_attribute) X(fail)          \
    X(misreport_length) X(call_count) X(log_count) X(log_line) X(clear_log)  \
    X(open_session_count) X(login_state) X(token_flags) X(set_version)        \
    X(load_fixture)
#define P11STAND_MEMBER(name) p11stand_##name##_fn name = nullptr;
    P11STAND_CONTROLS(P11STAND_MEMBER)
#undef P11STAND_MEMBER

    void* handle = nullptr;

    /* Resolves every control function through an existing handle; false when
     * one is missing (the handle is kept either way). */
    bool Bind(void* h) {
        handle = h;
        bool all = h != nullptr;
#define P11STAND_BIND(name)                                                         \
    name = h ? reinterpret_cast<p11stand_##name##_fn>(dlsym(h, "p11stand_" #name)) \
             : nullptr;                                                             \
    all = all && name != nullptr;
        P11STAND_CONTROLS(P11STAND_BIND)
#undef P11STAND_BIND
        return all;
    }

    /* dlopen(path, RTLD_NOW | RTLD_LOCAL) and Bind. The handle is never
     * closed here: the card layer keeps its libraries for the process life. */
    bool Open(const std::string& path) { return Bind(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)); }

    /* The whole call log, one entry per line. */
    std::string Log() const {
        std::string all;
        const size_t n = log_count();
        for (size_t i = 0; i < n; ++i) {
            const size_t len = log_line(i, nullptr, 0);
            if (len == static_cast<size_t>(-1)) break;
            std::string line(len + 1, '\0');
            log_line(i, &line[0], line.size());
            line.resize(len);
            all += line;
            all += '\n';
        }
        return all;
    }
};
#undef P11STAND_CONTROLS
#endif /* __cplusplus */

#endif /* VD_TESTS_SUPPORT_P11STAND_CONTROL_H */
