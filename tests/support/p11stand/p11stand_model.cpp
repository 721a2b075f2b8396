// The stand-in's model of slots, tokens and objects, and the exported control
// functions that tests reach through dlsym on each loaded copy.

#include <algorithm>
#include <cstring>

#include "tests/support/p11stand/p11stand_internal.h"

namespace p11stand {

const Attribute* Object::Find(CK_ATTRIBUTE_TYPE type) const {
    for (const Attribute& a : attributes)
        if (a.type == type) return &a;
    return nullptr;
}

bool Object::BoolAttribute(CK_ATTRIBUTE_TYPE type, bool fallback) const {
    const Attribute* a = Find(type);
    if (a == nullptr || a->value.size() != sizeof(CK_BBOOL)) return fallback;
    return a->value[0] != CK_FALSE;
}

bool Object::ULongAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG* out) const {
    const Attribute* a = Find(type);
    if (a == nullptr || a->value.size() != sizeof(CK_ULONG)) return false;
    std::memcpy(out, a->value.data(), sizeof(CK_ULONG));
    return true;
}

bool Object::IsPrivate() const {
    CK_ULONG cls = CKO_DATA;
    ULongAttribute(CKA_CLASS, &cls);
    const bool byDefault = cls == CKO_PRIVATE_KEY || cls == CKO_SECRET_KEY;
    return BoolAttribute(CKA_PRIVATE, byDefault);
}

Slot* State::FindSlot(CK_SLOT_ID id) {
    for (Slot& s : slots)
        if (s.id == id) return &s;
    return nullptr;
}

Object* State::FindObject(CK_OBJECT_HANDLE handle, Slot** slotOut) {
    for (Slot& s : slots) {
        if (!s.tokenPresent) continue;
        for (Object& o : s.token.objects) {
            if (o.handle == handle) {
                if (slotOut) *slotOut = &s;
                return &o;
            }
        }
    }
    return nullptr;
}

State& TheState() {
    // Never destroyed: a caller may still reach the library from an atexit
    // handler or another thread while the process ends.
    static State* state = [] {
        auto* s = new State;
        s->version = DefaultVersion();
        return s;
    }();
    return *state;
}

std::string Padded(const std::string& text, size_t width) {
    std::string out = text.substr(0, width);
    out.resize(width, ' ');
    return out;
}

Bytes ULongBytes(CK_ULONG value) {
    Bytes b(sizeof value);
    std::memcpy(b.data(), &value, sizeof value);
    return b;
}

Bytes BoolBytes(bool value) { return Bytes{static_cast<unsigned char>(value ? CK_TRUE : CK_FALSE)}; }

void ResetModel(State& st) {
    st.slots.clear();
    st.sessions.clear();
    st.nextSession = 1;
    st.nextObject = 0x1001;
    st.calls.clear();
    st.faults.clear();
    st.misreported.clear();
    st.log.clear();
    st.versionNull = false;
    st.version = DefaultVersion();
}

Token DefaultToken() {
    P11StandToken settings;
    std::memset(&settings, 0, sizeof settings);
    settings.flags = CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED | CKF_LOGIN_REQUIRED | CKF_RNG;
    settings.totalPublicMemory = 65536;
    settings.freePublicMemory = 32768;
    settings.totalPrivateMemory = 16384;
    settings.freePrivateMemory = 8192;
    settings.soPinTries = 10;
    settings.userPinTries = 3;
    Token t;
    ApplyTokenSettings(t, settings);
    return t;
}

void ApplyTokenSettings(Token& t, const P11StandToken& settings) {
    t.label = Padded(settings.label ? settings.label : "Stand-in token", 32);
    t.serial = Padded(settings.serialNumber ? settings.serialNumber : "0000000000000001", 16);
    t.flags = settings.flags;
    t.totalPublicMemory = settings.totalPublicMemory;
    t.freePublicMemory = settings.freePublicMemory;
    t.totalPrivateMemory = settings.totalPrivateMemory;
    t.freePrivateMemory = settings.freePrivateMemory;
    t.soPin = settings.soPin ? settings.soPin : "12345678";
    t.userPin = settings.userPin ? settings.userPin : "1234";
    t.soPinTries = t.soPinLeft = settings.soPinTries;
    t.userPinTries = t.userPinLeft = settings.userPinTries;
    t.loggedIn = -1;
    t.objects.clear();
}

CK_OBJECT_HANDLE AddObject(State& st, CK_SLOT_ID slotId, std::vector<Attribute> attributes) {
    Slot* slot = st.FindSlot(slotId);
    if (slot == nullptr || !slot->tokenPresent) return 0;
    Object o;
    o.handle = st.nextObject++;
    o.attributes = std::move(attributes);
    slot->token.objects.push_back(std::move(o));
    return slot->token.objects.back().handle;
}

namespace {

void CloseSessionsOf(State& st, CK_SLOT_ID slot) {
    for (auto it = st.sessions.begin(); it != st.sessions.end();) {
        if (it->second.slot == slot)
            it = st.sessions.erase(it);
        else
            ++it;
    }
}

Bytes Copy(const void* p, CK_ULONG n) {
    const auto* b = static_cast<const unsigned char*>(p);
    return p ? Bytes(b, b + n) : Bytes();
}

// The P-256 curve's OID as CKA_EC_PARAMS, and an uncompressed point (04 || x || y)
// wrapped in an OCTET STRING as CKA_EC_POINT; the point's value does not matter.
Bytes EcParams() { return {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07}; }
Bytes EcPoint() {
    Bytes b{0x04, 0x41, 0x04};
    for (int i = 0; i < 64; ++i) b.push_back(static_cast<unsigned char>(i + 1));
    return b;
}

}  // namespace
}  // namespace p11stand

using namespace p11stand;

P11STAND_EXPORT void p11stand_reset(void) {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    ResetModel(st);
}

P11STAND_EXPORT void p11stand_set_initialized(int initialized) {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.sessions.clear();
    for (Slot& s : st.slots) s.token.loggedIn = -1;
    st.initialized = initialized != 0;
    if (!st.initialized) st.fixturePending = true;
}

P11STAND_EXPORT const char* p11stand_flavour(void) { return Flavour(); }

P11STAND_EXPORT int p11stand_add_slot(CK_SLOT_ID id, const char* description) {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    if (st.FindSlot(id) != nullptr) return -1;
    Slot s;
    s.id = id;
    s.description = Padded(description ? description : "", 64);
    st.slots.push_back(std::move(s));
    return 0;
}

P11STAND_EXPORT void p11stand_token_defaults(P11StandToken* out) {
    if (out == nullptr) return;
    std::memset(out, 0, sizeof *out);
    const Token t = DefaultToken();
    out->flags = t.flags;
    out->totalPublicMemory = t.totalPublicMemory;
    out->freePublicMemory = t.freePublicMemory;
    out->totalPrivateMemory = t.totalPrivateMemory;
    out->freePrivateMemory = t.freePrivateMemory;
    out->soPinTries = t.soPinTries;
    out->userPinTries = t.userPinTries;
}

P11STAND_EXPORT int p11stand_set_token(CK_SLOT_ID slot, const P11StandToken* token) {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    Slot* s = st.FindSlot(slot);
    if (s == nullptr) return -1;
    CloseSessionsOf(st, slot);
    s->token = DefaultToken();
    if (token != nullptr) ApplyTokenSettings(s->token, *token);
    s->tokenPresent = true;
    return 0;
}

P11STAND_EXPORT int p11stand_remove_token(CK_SLOT_ID slot) {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    Slot* s = st.FindSlot(slot);
    if (s == nullptr) return -1;
    CloseSessionsOf(st, slot);
    s->tokenPresent = false;
    s->token = Token();
    return 0;
}

P11STAND_EXPORT CK_OBJECT_HANDLE p11stand_add_object(CK_SLOT_ID slot, const CK_ATTRIBUTE* attrs,
                                                     CK_ULONG count) {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    if (attrs == nullptr && count > 0) return 0;
    std::vector<Attribute> list;
    for (CK_ULONG i = 0; i < count; ++i) list.push_back({attrs[i].type, Copy(attrs[i].pValue, attrs[i].ulValueLen)});
    return AddObject(st, slot, std::move(list));
}

P11STAND_EXPORT CK_OBJECT_HANDLE p11stand_add_rsa_public_key(
    CK_SLOT_ID slot, const unsigned char* modulus, CK_ULONG modulusLength, const unsigned char* exponent,
    CK_ULONG exponentLength, const unsigned char* id, CK_ULONG idLength, const char* label,
    CK_ULONG labelLength) {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    return AddObject(st, slot,
                     {{CKA_CLASS, ULongBytes(CKO_PUBLIC_KEY)},
                      {CKA_KEY_TYPE, ULongBytes(CKK_RSA)},
                      {CKA_TOKEN, BoolBytes(true)},
                      {CKA_PRIVATE, BoolBytes(false)},
                      {CKA_MODULUS, Copy(modulus, modulusLength)},
                      {CKA_PUBLIC_EXPONENT, Copy(exponent, exponentLength)},
                      {CKA_ID, Copy(id, idLength)},
                      {CKA_LABEL, Copy(label, labelLength)},
                      {CKA_MODULUS_BITS, ULongBytes(modulusLength * 8)}});
}

P11STAND_EXPORT CK_OBJECT_HANDLE p11stand_add_rsa_private_key(CK_SLOT_ID slot, const unsigned char* modulus,
                                                              CK_ULONG modulusLength, const unsigned char* id,
                                                              CK_ULONG idLength, const char* label,
                                                              CK_ULONG labelLength) {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    return AddObject(st, slot,
                     {{CKA_CLASS, ULongBytes(CKO_PRIVATE_KEY)},
                      {CKA_KEY_TYPE, ULongBytes(CKK_RSA)},
                      {CKA_TOKEN, BoolBytes(true)},
                      {CKA_PRIVATE, BoolBytes(true)},
                      {CKA_SENSITIVE, BoolBytes(true)},
                      {CKA_MODULUS, Copy(modulus, modulusLength)},
                      {CKA_ID, Copy(id, idLength)},
                      {CKA_LABEL, Copy(label, labelLength)}});
}

P11STAND_EXPORT CK_OBJECT_HANDLE p11stand_add_certificate(CK_SLOT_ID slot, const unsigned char* der,
                                                          CK_ULONG derLength, const unsigned char* id,
                                                          CK_ULONG idLength, const char* label,
                                                          CK_ULONG labelLength) {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    return AddObject(st, slot,
                     {{CKA_CLASS, ULongBytes(CKO_CERTIFICATE)},
                      {CKA_CERTIFICATE_TYPE, ULongBytes(CKC_X_509)},
                      {CKA_TOKEN, BoolBytes(true)},
                      {CKA_PRIVATE, BoolBytes(false)},
                      {CKA_VALUE, Copy(der, derLength)},
                      {CKA_ID, Copy(id, idLength)},
                      {CKA_LABEL, Copy(label, labelLength)}});
}

P11STAND_EXPORT CK_OBJECT_HANDLE p11stand_add_ec_public_key(CK_SLOT_ID slot, const unsigned char* id,
                                                            CK_ULONG idLength, const char* label,
                                                            CK_ULONG labelLength) {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    return AddObject(st, slot,
                     {{CKA_CLASS, ULongBytes(CKO_PUBLIC_KEY)},
                      {CKA_KEY_TYPE, ULongBytes(CKK_EC)},
                      {CKA_TOKEN, BoolBytes(true)},
                      {CKA_PRIVATE, BoolBytes(false)},
                      {CKA_EC_PARAMS, EcParams()},
                      {CKA_EC_POINT, EcPoint()},
                      {CKA_ID, Copy(id, idLength)},
                      {CKA_LABEL, Copy(label, labelLength)}});
}

P11STAND_EXPORT CK_OBJECT_HANDLE p11stand_add_data_object(CK_SLOT_ID slot, const char* label,
                                                          CK_ULONG labelLength, const unsigned char* value,
                                                          CK_ULONG valueLength) {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    return AddObject(st, slot,
                     {{CKA_CLASS, ULongBytes(CKO_DATA)},
                      {CKA_TOKEN, BoolBytes(true)},
                      {CKA_PRIVATE, BoolBytes(false)},
                      {CKA_LABEL, Copy(label, labelLength)},
                      {CKA_APPLICATION, Copy("p11stand", 8)},
                      {CKA_VALUE, Copy(value, valueLength)}});
}

P11STAND_EXPORT CK_ULONG p11stand_object_handles(CK_SLOT_ID slot, CK_OBJECT_HANDLE* out, CK_ULONG max) {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    Slot* s = st.FindSlot(slot);
    if (s == nullptr || !s->tokenPresent) return 0;
    const auto& objects = s->token.objects;
    for (CK_ULONG i = 0; out != nullptr && i < max && i < objects.size(); ++i) out[i] = objects[i].handle;
    return objects.size();
}

P11STAND_EXPORT CK_RV p11stand_object_attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, void* value,
                                                CK_ULONG* length) {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    if (length == nullptr) return CKR_ARGUMENTS_BAD;
    const Object* o = st.FindObject(object);
    if (o == nullptr) return CKR_OBJECT_HANDLE_INVALID;
    const Attribute* a = o->Find(type);
    if (a == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (value != nullptr) {
        if (*length < a->value.size()) {
            *length = a->value.size();
            return CKR_BUFFER_TOO_SMALL;
        }
        if (!a->value.empty()) std::memcpy(value, a->value.data(), a->value.size());
    }
    *length = a->value.size();
    return CKR_OK;
}

P11STAND_EXPORT void p11stand_fail(const char* function, unsigned long call, CK_RV rv) {
    if (function == nullptr) return;
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.faults.push_back({function, call, rv});
}

P11STAND_EXPORT void p11stand_misreport_length(CK_ATTRIBUTE_TYPE type, CK_ULONG length) {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    if (length == 0) {
        st.misreported.erase(type);
    } else {
        st.misreported[type] = length;
    }
}

P11STAND_EXPORT unsigned long p11stand_call_count(const char* function) {
    if (function == nullptr) return 0;
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    auto it = st.calls.find(function);
    return it == st.calls.end() ? 0 : it->second;
}

P11STAND_EXPORT size_t p11stand_log_count(void) {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    return st.log.size();
}

P11STAND_EXPORT size_t p11stand_log_line(size_t index, char* buf, size_t size) {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    if (index >= st.log.size()) return static_cast<size_t>(-1);
    const std::string& line = st.log[index];
    if (buf != nullptr && size > 0) {
        const size_t n = std::min(size - 1, line.size());
        std::memcpy(buf, line.data(), n);
        buf[n] = '\0';
    }
    return line.size();
}

P11STAND_EXPORT void p11stand_clear_log(void) {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.log.clear();
}

P11STAND_EXPORT CK_ULONG p11stand_open_session_count(void) {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    return st.sessions.size();
}

P11STAND_EXPORT long p11stand_login_state(CK_SLOT_ID slot) {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    Slot* s = st.FindSlot(slot);
    return s != nullptr && s->tokenPresent ? s->token.loggedIn : -1;
}

P11STAND_EXPORT CK_FLAGS p11stand_token_flags(CK_SLOT_ID slot) {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    Slot* s = st.FindSlot(slot);
    return s != nullptr && s->tokenPresent ? s->token.flags : 0;
}

P11STAND_EXPORT void p11stand_set_version(const char* text) {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.versionNull = text == nullptr;
    st.version = text ? text : "";
}

P11STAND_EXPORT int p11stand_load_fixture(const char* path, char* err, size_t errSize) {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    std::string error;
    const bool ok = path != nullptr && LoadFixture(st, path, &error);
    if (!ok && path == nullptr) error = "no fixture path";
    if (err != nullptr && errSize > 0) {
        const size_t n = ok ? 0 : std::min(errSize - 1, error.size());
        std::memcpy(err, error.data(), n);
        err[n] = '\0';
    }
    return ok ? 0 : -1;
}
