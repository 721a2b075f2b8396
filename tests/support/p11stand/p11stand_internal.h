// Internal model of the stand-in token library. Everything declared here has
// hidden visibility; only the functions marked P11STAND_EXPORT leave the
// shared object.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/p11stand/p11stand_control.h"

#define P11STAND_EXPORT extern "C" __attribute__((visibility("default")))

namespace p11stand {

using Bytes = std::vector<unsigned char>;

struct Attribute {
    CK_ATTRIBUTE_TYPE type;
    Bytes value;
};

struct Object {
    CK_OBJECT_HANDLE handle = 0;
    CK_SESSION_HANDLE session = 0;  // owning session of a session object; 0 for token objects
    std::vector<Attribute> attributes;

    const Attribute* Find(CK_ATTRIBUTE_TYPE type) const;
    bool BoolAttribute(CK_ATTRIBUTE_TYPE type, bool fallback) const;
    bool ULongAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG* out) const;
    // Private objects are visible only to a logged-in user.
    bool IsPrivate() const;
};

struct Token {
    std::string label;   // 32 bytes, blank-padded
    std::string serial;  // 16 bytes, blank-padded
    CK_FLAGS flags = 0;
    CK_ULONG totalPublicMemory = 0;
    CK_ULONG freePublicMemory = 0;
    CK_ULONG totalPrivateMemory = 0;
    CK_ULONG freePrivateMemory = 0;
    std::string soPin;
    std::string userPin;
    CK_ULONG soPinTries = 0;
    CK_ULONG userPinTries = 0;
    CK_ULONG soPinLeft = 0;
    CK_ULONG userPinLeft = 0;
    long loggedIn = -1;  // -1 nobody, CKU_SO, CKU_USER
    std::vector<Object> objects;
};

struct Slot {
    CK_SLOT_ID id = 0;
    std::string description;  // 64 bytes, blank-padded
    bool tokenPresent = false;
    Token token;
};

struct Session {
    CK_SESSION_HANDLE handle = 0;
    CK_SLOT_ID slot = 0;
    CK_FLAGS flags = 0;
    bool findActive = false;
    std::vector<CK_OBJECT_HANDLE> found;
    size_t findPosition = 0;
};

struct Fault {
    std::string function;
    unsigned long call = 0;
    CK_RV rv = CKR_OK;
};

// The whole library state; one instance per loaded copy.
struct State {
    std::mutex mutex;
    bool initialized = false;
    std::vector<Slot> slots;
    std::map<CK_SESSION_HANDLE, Session> sessions;
    CK_SESSION_HANDLE nextSession = 1;
    CK_OBJECT_HANDLE nextObject = 0x1001;
    std::map<std::string, unsigned long> calls;
    std::vector<Fault> faults;
    std::map<CK_ATTRIBUTE_TYPE, CK_ULONG> misreported;  // type -> length reported
    std::vector<std::string> log;
    bool versionNull = false;
    std::string version;
    // The fixture named in the environment is still to be read: at the start,
    // and again once the library is finalised.
    bool fixturePending = true;

    Slot* FindSlot(CK_SLOT_ID id);
    Object* FindObject(CK_OBJECT_HANDLE handle, Slot** slotOut = nullptr);
};

State& TheState();

// Per-build identity, defined by the file compiled into each shared object.
const char* Flavour();
const char* DefaultVersion();

// Entry points shared by the per-build export file.
CK_RV GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list);
const char* Version();

// Model edits; callers hold the state mutex.
void ResetModel(State& st);  // slots, sessions, objects, faults, counts, log, version
Token DefaultToken();
void ApplyTokenSettings(Token& token, const P11StandToken& settings);
std::string Padded(const std::string& text, size_t width);
CK_OBJECT_HANDLE AddObject(State& st, CK_SLOT_ID slot, std::vector<Attribute> attributes);

// Fills the model from a fixture file; false with a message on error. The
// caller holds the state mutex; the model is reset first.
bool LoadFixture(State& st, const std::string& path, std::string* error);
// Reads the fixture named in the environment when one is pending; false (with
// the reason on stderr) when it cannot be read. Caller holds the mutex.
bool ReadPendingFixture(State& st);

Bytes ULongBytes(CK_ULONG value);
Bytes BoolBytes(bool value);

}  // namespace p11stand
