// The PKCS#11 entry points of the stand-in token library.
//
// Each entry point takes the library mutex for its whole run, counts the call,
// answers an injected fault if one matches, and appends one line to the call
// log. The rules follow the standard where the card layer depends on them:
// counting calls with NULL output buffers, CKR_BUFFER_TOO_SMALL, attribute
// length queries, find sessions, per-token login state.

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/support/p11stand/p11stand_internal.h"

namespace p11stand {
namespace {

std::string Fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Fmt(const char* format, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return buf;
}

std::string Hex(const void* data, CK_ULONG length, CK_ULONG limit) {
    static const char digits[] = "0123456789abcdef";
    const auto* p = static_cast<const unsigned char*>(data);
    std::string out;
    const CK_ULONG n = std::min(length, limit);
    for (CK_ULONG i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    if (length > limit) out += "...";
    return out;
}

// Attribute template given as input: type:len=hexvalue.
std::string InputTemplate(const CK_ATTRIBUTE* t, CK_ULONG count) {
    if (t == nullptr) return "NULL";
    std::string out = "[";
    for (CK_ULONG i = 0; i < count; ++i) {
        if (i) out += ',';
        out += Fmt("0x%lx:%lu=", t[i].type, t[i].ulValueLen);
        if (t[i].pValue == nullptr)
            out += "NULL";
        else
            out += Hex(t[i].pValue, t[i].ulValueLen, 64);
    }
    return out + "]";
}

// Attribute template whose values are output buffers: type:NULL or type:len.
std::string OutputTemplate(const CK_ATTRIBUTE* t, CK_ULONG count) {
    if (t == nullptr) return "NULL";
    std::string out = "[";
    for (CK_ULONG i = 0; i < count; ++i) {
        if (i) out += ',';
        if (t[i].pValue == nullptr)
            out += Fmt("0x%lx:NULL", t[i].type);
        else
            out += Fmt("0x%lx:%lu", t[i].type, t[i].ulValueLen);
    }
    return out + "]";
}

std::string PinText(const unsigned char* pin, CK_ULONG length) {
    if (pin == nullptr) return "NULL";
    return "\"" + std::string(reinterpret_cast<const char*>(pin), length) + "\"";
}

// Counts the call; true with *rv when an injected fault answers it.
bool Injected(State& st, const char* function, CK_RV* rv) {
    const unsigned long n = ++st.calls[function];
    for (const Fault& f : st.faults) {
        if (f.function == function && (f.call == 0 || f.call == n)) {
            *rv = f.rv;
            return true;
        }
    }
    return false;
}

CK_RV Finish(State& st, const char* function, const std::string& args, CK_RV rv, bool injected) {
    std::string line = function;
    if (!args.empty()) line += " " + args;
    line += Fmt(" -> 0x%lx", rv);
    if (injected) line += " (injected)";
    st.log.push_back(std::move(line));
    return rv;
}

#define P11_ENTER(NAME, ARGS)                                          \
    State& st = TheState();                                            \
    std::lock_guard<std::mutex> lock(st.mutex);                        \
    const char* fn_ = NAME;                                            \
    std::string args_ = ARGS;                                          \
    {                                                                  \
        CK_RV injected_;                                               \
        if (Injected(st, fn_, &injected_)) return Finish(st, fn_, args_, injected_, true); \
    }
#define P11_LEAVE(RV) return Finish(st, fn_, args_, (RV), false)
#define P11_NEED_INIT() \
    if (!st.initialized) P11_LEAVE(CKR_CRYPTOKI_NOT_INITIALIZED)

void CopyPadded(unsigned char* dst, const std::string& padded, size_t width) {
    std::memset(dst, ' ', width);
    std::memcpy(dst, padded.data(), std::min(width, padded.size()));
}

Session* FindSession(State& st, CK_SESSION_HANDLE h) {
    auto it = st.sessions.find(h);
    return it == st.sessions.end() ? nullptr : &it->second;
}

size_t SessionsOnSlot(const State& st, CK_SLOT_ID slot, bool readOnlyOnly) {
    size_t n = 0;
    for (const auto& kv : st.sessions)
        if (kv.second.slot == slot && (!readOnlyOnly || !(kv.second.flags & CKF_RW_SESSION))) ++n;
    return n;
}

void CloseSessionLocked(State& st, CK_SESSION_HANDLE h) {
    auto it = st.sessions.find(h);
    if (it == st.sessions.end()) return;
    const CK_SLOT_ID slotId = it->second.slot;
    st.sessions.erase(it);
    Slot* slot = st.FindSlot(slotId);
    if (slot == nullptr) return;
    auto& objects = slot->token.objects;
    // Session objects end with their session.
    objects.erase(std::remove_if(objects.begin(), objects.end(),
                                 [&](const Object& o) { return o.session == h; }),
                  objects.end());
    if (SessionsOnSlot(st, slotId, false) == 0) slot->token.loggedIn = -1;
}

bool Visible(const Token& token, const Object& o) {
    return !o.IsPrivate() || token.loggedIn == static_cast<long>(CKU_USER);
}

bool Matches(const Object& o, const CK_ATTRIBUTE* t, CK_ULONG count) {
    for (CK_ULONG i = 0; i < count; ++i) {
        const Attribute* a = o.Find(t[i].type);
        if (a == nullptr || a->value.size() != t[i].ulValueLen) return false;
        if (t[i].ulValueLen && std::memcmp(a->value.data(), t[i].pValue, t[i].ulValueLen) != 0)
            return false;
    }
    return true;
}

bool Sensitive(const Object& o, CK_ATTRIBUTE_TYPE type) {
    CK_ULONG cls = 0;
    if (!o.ULongAttribute(CKA_CLASS, &cls) || (cls != CKO_PRIVATE_KEY && cls != CKO_SECRET_KEY))
        return false;
    if (!o.BoolAttribute(CKA_SENSITIVE, false) && o.BoolAttribute(CKA_EXTRACTABLE, true)) return false;
    switch (type) {
        case CKA_VALUE:
        case CKA_PRIVATE_EXPONENT:
        case CKA_PRIME_1:
        case CKA_PRIME_2:
        case CKA_EXPONENT_1:
        case CKA_EXPONENT_2:
        case CKA_COEFFICIENT:
            return true;
        default:
            return false;
    }
}

// Wrong PIN bookkeeping for one of the two PINs; returns the answer.
CK_RV WrongPin(Token& t, bool so) {
    CK_ULONG& left = so ? t.soPinLeft : t.userPinLeft;
    const CK_ULONG tries = so ? t.soPinTries : t.userPinTries;
    const CK_FLAGS low = so ? CKF_SO_PIN_COUNT_LOW : CKF_USER_PIN_COUNT_LOW;
    const CK_FLAGS finalTry = so ? CKF_SO_PIN_FINAL_TRY : CKF_USER_PIN_FINAL_TRY;
    const CK_FLAGS locked = so ? CKF_SO_PIN_LOCKED : CKF_USER_PIN_LOCKED;
    if (tries == 0) return CKR_PIN_INCORRECT;
    if (left > 0) --left;
    t.flags |= low;
    if (left == 1) t.flags |= finalTry;
    if (left == 0) {
        t.flags &= ~finalTry;
        t.flags |= locked;
    }
    return CKR_PIN_INCORRECT;
}

void RightPin(Token& t, bool so) {
    if (so) {
        t.soPinLeft = t.soPinTries;
        t.flags &= ~(CKF_SO_PIN_COUNT_LOW | CKF_SO_PIN_FINAL_TRY);
    } else {
        t.userPinLeft = t.userPinTries;
        t.flags &= ~(CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY);
    }
}

bool PinEquals(const std::string& pin, const unsigned char* given, CK_ULONG length) {
    return given != nullptr && pin.size() == length && std::memcmp(pin.data(), given, length) == 0;
}

constexpr CK_ULONG kMinPin = 4;
constexpr CK_ULONG kMaxPin = 16;

// ---- general ----

CK_RV Initialize(CK_VOID_PTR initArgs) {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    // The fixture is read before the call is counted, so that the faults it
    // sets can already answer this call.
    const bool fixtureFailed = !st.initialized && !ReadPendingFixture(st);
    const char* fn_ = "C_Initialize";
    std::string args_ = initArgs ? "args=set" : "args=NULL";
    CK_RV injected;
    if (Injected(st, fn_, &injected)) return Finish(st, fn_, args_, injected, true);
    if (fixtureFailed) P11_LEAVE(CKR_GENERAL_ERROR);
    if (st.initialized) P11_LEAVE(CKR_CRYPTOKI_ALREADY_INITIALIZED);
    if (initArgs != nullptr) {
        const auto* a = static_cast<const CK_C_INITIALIZE_ARGS*>(initArgs);
        if (a->pReserved != nullptr) P11_LEAVE(CKR_ARGUMENTS_BAD);
        const int given = (a->CreateMutex != nullptr) + (a->DestroyMutex != nullptr) +
                          (a->LockMutex != nullptr) + (a->UnlockMutex != nullptr);
        if (given != 0 && given != 4) P11_LEAVE(CKR_ARGUMENTS_BAD);
        // Our own mutex serves any threading model the caller asks for.
    }
    st.initialized = true;
    P11_LEAVE(CKR_OK);
}

CK_RV Finalize(CK_VOID_PTR reserved) {
    P11_ENTER("C_Finalize", reserved ? "reserved=set" : "reserved=NULL");
    P11_NEED_INIT();
    if (reserved != nullptr) P11_LEAVE(CKR_ARGUMENTS_BAD);
    while (!st.sessions.empty()) CloseSessionLocked(st, st.sessions.begin()->first);
    st.initialized = false;
    st.fixturePending = true;
    P11_LEAVE(CKR_OK);
}

CK_RV GetInfo(CK_INFO_PTR info) {
    P11_ENTER("C_GetInfo", "");
    P11_NEED_INIT();
    if (info == nullptr) P11_LEAVE(CKR_ARGUMENTS_BAD);
    std::memset(info, 0, sizeof *info);
    info->cryptokiVersion.major = 2;
    info->cryptokiVersion.minor = 40;
    CopyPadded(info->manufacturerID, "p11stand", sizeof info->manufacturerID);
    CopyPadded(info->libraryDescription, std::string("stand-in token library ") + Flavour(),
               sizeof info->libraryDescription);
    info->libraryVersion.major = 1;
    info->libraryVersion.minor = 0;
    P11_LEAVE(CKR_OK);
}

// ---- slots and tokens ----

CK_RV GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    P11_ENTER("C_GetSlotList",
              Fmt("tokenPresent=%u list=%s in=%lu", static_cast<unsigned>(tokenPresent),
                  list ? "set" : "NULL", count ? *count : 0UL));
    P11_NEED_INIT();
    if (count == nullptr) P11_LEAVE(CKR_ARGUMENTS_BAD);
    std::vector<CK_SLOT_ID> ids;
    for (const Slot& s : st.slots)
        if (!tokenPresent || s.tokenPresent) ids.push_back(s.id);
    args_ += Fmt(" count=%zu", ids.size());
    if (list == nullptr) {
        *count = ids.size();
        P11_LEAVE(CKR_OK);
    }
    if (*count < ids.size()) {
        *count = ids.size();
        P11_LEAVE(CKR_BUFFER_TOO_SMALL);
    }
    std::copy(ids.begin(), ids.end(), list);
    *count = ids.size();
    P11_LEAVE(CKR_OK);
}

CK_RV GetSlotInfo(CK_SLOT_ID slotId, CK_SLOT_INFO_PTR info) {
    P11_ENTER("C_GetSlotInfo", Fmt("slot=0x%lx", slotId));
    P11_NEED_INIT();
    if (info == nullptr) P11_LEAVE(CKR_ARGUMENTS_BAD);
    Slot* slot = st.FindSlot(slotId);
    if (slot == nullptr) P11_LEAVE(CKR_SLOT_ID_INVALID);
    std::memset(info, 0, sizeof *info);
    CopyPadded(info->slotDescription, slot->description, sizeof info->slotDescription);
    CopyPadded(info->manufacturerID, "p11stand", sizeof info->manufacturerID);
    info->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (slot->tokenPresent ? CKF_TOKEN_PRESENT : 0);
    info->hardwareVersion.major = 1;
    info->firmwareVersion.major = 1;
    P11_LEAVE(CKR_OK);
}

CK_RV GetTokenInfo(CK_SLOT_ID slotId, CK_TOKEN_INFO_PTR info) {
    P11_ENTER("C_GetTokenInfo", Fmt("slot=0x%lx", slotId));
    P11_NEED_INIT();
    if (info == nullptr) P11_LEAVE(CKR_ARGUMENTS_BAD);
    Slot* slot = st.FindSlot(slotId);
    if (slot == nullptr) P11_LEAVE(CKR_SLOT_ID_INVALID);
    if (!slot->tokenPresent) P11_LEAVE(CKR_TOKEN_NOT_PRESENT);
    const Token& t = slot->token;
    std::memset(info, 0, sizeof *info);
    CopyPadded(info->label, t.label, sizeof info->label);
    CopyPadded(info->manufacturerID, "p11stand", sizeof info->manufacturerID);
    CopyPadded(info->model, "stand-in", sizeof info->model);
    CopyPadded(info->serialNumber, t.serial, sizeof info->serialNumber);
    info->flags = t.flags;
    info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulSessionCount = SessionsOnSlot(st, slotId, false);
    info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulRwSessionCount = info->ulSessionCount - SessionsOnSlot(st, slotId, true);
    info->ulMaxPinLen = kMaxPin;
    info->ulMinPinLen = kMinPin;
    info->ulTotalPublicMemory = t.totalPublicMemory;
    info->ulFreePublicMemory = t.freePublicMemory;
    info->ulTotalPrivateMemory = t.totalPrivateMemory;
    info->ulFreePrivateMemory = t.freePrivateMemory;
    info->hardwareVersion.major = 1;
    info->firmwareVersion.major = 1;
    CopyPadded(info->utcTime, "", sizeof info->utcTime);
    P11_LEAVE(CKR_OK);
}

CK_RV InitToken(CK_SLOT_ID slotId, CK_UTF8CHAR_PTR pin, CK_ULONG pinLen, CK_UTF8CHAR_PTR label) {
    P11_ENTER("C_InitToken", Fmt("slot=0x%lx pin=%s len=%lu label=", slotId, PinText(pin, pinLen).c_str(), pinLen) +
                                 (label ? "\"" + std::string(reinterpret_cast<char*>(label), 32) + "\"" : "NULL"));
    P11_NEED_INIT();
    if (label == nullptr || (pin == nullptr && pinLen > 0)) P11_LEAVE(CKR_ARGUMENTS_BAD);
    Slot* slot = st.FindSlot(slotId);
    if (slot == nullptr) P11_LEAVE(CKR_SLOT_ID_INVALID);
    if (!slot->tokenPresent) P11_LEAVE(CKR_TOKEN_NOT_PRESENT);
    if (SessionsOnSlot(st, slotId, false) > 0) P11_LEAVE(CKR_SESSION_EXISTS);
    Token& t = slot->token;
    if (t.flags & CKF_TOKEN_INITIALIZED) {
        if (t.flags & CKF_SO_PIN_LOCKED) P11_LEAVE(CKR_PIN_LOCKED);
        if (!PinEquals(t.soPin, pin, pinLen)) P11_LEAVE(WrongPin(t, true));
        RightPin(t, true);
    } else {
        if (pinLen < kMinPin || pinLen > kMaxPin) P11_LEAVE(CKR_PIN_LEN_RANGE);
        t.soPin.assign(reinterpret_cast<const char*>(pin), pinLen);
        t.soPinLeft = t.soPinTries;
    }
    t.label.assign(reinterpret_cast<const char*>(label), 32);
    t.objects.clear();
    t.userPin.clear();
    t.userPinLeft = t.userPinTries;
    t.flags |= CKF_TOKEN_INITIALIZED;
    t.flags &= ~(CKF_USER_PIN_INITIALIZED | CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY |
                 CKF_USER_PIN_LOCKED | CKF_USER_PIN_TO_BE_CHANGED);
    P11_LEAVE(CKR_OK);
}

CK_RV InitPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR pin, CK_ULONG pinLen) {
    P11_ENTER("C_InitPIN", Fmt("session=0x%lx pin=%s len=%lu", h, PinText(pin, pinLen).c_str(), pinLen));
    P11_NEED_INIT();
    Session* s = FindSession(st, h);
    if (s == nullptr) P11_LEAVE(CKR_SESSION_HANDLE_INVALID);
    if (pin == nullptr && pinLen > 0) P11_LEAVE(CKR_ARGUMENTS_BAD);
    if (!(s->flags & CKF_RW_SESSION)) P11_LEAVE(CKR_SESSION_READ_ONLY);
    Token& t = st.FindSlot(s->slot)->token;
    if (t.loggedIn != static_cast<long>(CKU_SO)) P11_LEAVE(CKR_USER_NOT_LOGGED_IN);
    if (pinLen < kMinPin || pinLen > kMaxPin) P11_LEAVE(CKR_PIN_LEN_RANGE);
    t.userPin.assign(reinterpret_cast<const char*>(pin), pinLen);
    t.userPinLeft = t.userPinTries;
    t.flags |= CKF_USER_PIN_INITIALIZED;
    t.flags &= ~(CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED);
    P11_LEAVE(CKR_OK);
}

CK_RV SetPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLen, CK_UTF8CHAR_PTR newPin,
             CK_ULONG newLen) {
    P11_ENTER("C_SetPIN", Fmt("session=0x%lx old=%s len=%lu new=%s len=%lu", h,
                              PinText(oldPin, oldLen).c_str(), oldLen, PinText(newPin, newLen).c_str(), newLen));
    P11_NEED_INIT();
    Session* s = FindSession(st, h);
    if (s == nullptr) P11_LEAVE(CKR_SESSION_HANDLE_INVALID);
    if ((oldPin == nullptr && oldLen > 0) || (newPin == nullptr && newLen > 0)) P11_LEAVE(CKR_ARGUMENTS_BAD);
    if (!(s->flags & CKF_RW_SESSION)) P11_LEAVE(CKR_SESSION_READ_ONLY);
    Token& t = st.FindSlot(s->slot)->token;
    const bool so = t.loggedIn == static_cast<long>(CKU_SO);
    if (!so && !(t.flags & CKF_USER_PIN_INITIALIZED)) P11_LEAVE(CKR_USER_PIN_NOT_INITIALIZED);
    if (t.flags & (so ? CKF_SO_PIN_LOCKED : CKF_USER_PIN_LOCKED)) P11_LEAVE(CKR_PIN_LOCKED);
    if (!PinEquals(so ? t.soPin : t.userPin, oldPin, oldLen)) P11_LEAVE(WrongPin(t, so));
    if (newLen < kMinPin || newLen > kMaxPin) P11_LEAVE(CKR_PIN_LEN_RANGE);
    (so ? t.soPin : t.userPin).assign(reinterpret_cast<const char*>(newPin), newLen);
    RightPin(t, so);
    P11_LEAVE(CKR_OK);
}

// ---- sessions ----

CK_RV OpenSession(CK_SLOT_ID slotId, CK_FLAGS flags, CK_VOID_PTR app, CK_NOTIFY notify,
                  CK_SESSION_HANDLE_PTR out) {
    P11_ENTER("C_OpenSession",
              Fmt("slot=0x%lx flags=0x%lx app=%s notify=%s", slotId, flags,
                  app ? Fmt("0x%02x", *static_cast<unsigned char*>(app)).c_str() : "NULL",
                  notify ? "set" : "NULL"));
    P11_NEED_INIT();
    if (out == nullptr) P11_LEAVE(CKR_ARGUMENTS_BAD);
    if (!(flags & CKF_SERIAL_SESSION)) P11_LEAVE(CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    Slot* slot = st.FindSlot(slotId);
    if (slot == nullptr) P11_LEAVE(CKR_SLOT_ID_INVALID);
    if (!slot->tokenPresent) P11_LEAVE(CKR_TOKEN_NOT_PRESENT);
    if (!(flags & CKF_RW_SESSION) && slot->token.loggedIn == static_cast<long>(CKU_SO))
        P11_LEAVE(CKR_SESSION_READ_WRITE_SO_EXISTS);
    Session s;
    s.handle = st.nextSession++;
    s.slot = slotId;
    s.flags = flags;
    st.sessions[s.handle] = s;
    *out = s.handle;
    args_ += Fmt(" session=0x%lx", s.handle);
    P11_LEAVE(CKR_OK);
}

CK_RV CloseSession(CK_SESSION_HANDLE h) {
    P11_ENTER("C_CloseSession", Fmt("session=0x%lx", h));
    P11_NEED_INIT();
    if (FindSession(st, h) == nullptr) P11_LEAVE(CKR_SESSION_HANDLE_INVALID);
    CloseSessionLocked(st, h);
    P11_LEAVE(CKR_OK);
}

CK_RV CloseAllSessions(CK_SLOT_ID slotId) {
    P11_ENTER("C_CloseAllSessions", Fmt("slot=0x%lx", slotId));
    P11_NEED_INIT();
    if (st.FindSlot(slotId) == nullptr) P11_LEAVE(CKR_SLOT_ID_INVALID);
    std::vector<CK_SESSION_HANDLE> handles;
    for (const auto& kv : st.sessions)
        if (kv.second.slot == slotId) handles.push_back(kv.first);
    for (CK_SESSION_HANDLE h : handles) CloseSessionLocked(st, h);
    P11_LEAVE(CKR_OK);
}

CK_RV GetSessionInfo(CK_SESSION_HANDLE h, CK_SESSION_INFO_PTR info) {
    P11_ENTER("C_GetSessionInfo", Fmt("session=0x%lx", h));
    P11_NEED_INIT();
    Session* s = FindSession(st, h);
    if (s == nullptr) P11_LEAVE(CKR_SESSION_HANDLE_INVALID);
    if (info == nullptr) P11_LEAVE(CKR_ARGUMENTS_BAD);
    const long who = st.FindSlot(s->slot)->token.loggedIn;
    const bool rw = s->flags & CKF_RW_SESSION;
    info->slotID = s->slot;
    info->flags = s->flags;
    info->ulDeviceError = 0;
    if (who == static_cast<long>(CKU_SO))
        info->state = CKS_RW_SO_FUNCTIONS;
    else if (who == static_cast<long>(CKU_USER))
        info->state = rw ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
    else
        info->state = rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
    P11_LEAVE(CKR_OK);
}

CK_RV Login(CK_SESSION_HANDLE h, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG pinLen) {
    P11_ENTER("C_Login", Fmt("session=0x%lx user=%lu pin=%s len=%lu", h, user, PinText(pin, pinLen).c_str(), pinLen));
    P11_NEED_INIT();
    Session* s = FindSession(st, h);
    if (s == nullptr) P11_LEAVE(CKR_SESSION_HANDLE_INVALID);
    if (user != CKU_SO && user != CKU_USER) P11_LEAVE(CKR_USER_TYPE_INVALID);
    if (pin == nullptr && pinLen > 0) P11_LEAVE(CKR_ARGUMENTS_BAD);
    Token& t = st.FindSlot(s->slot)->token;
    if (t.loggedIn == static_cast<long>(user)) P11_LEAVE(CKR_USER_ALREADY_LOGGED_IN);
    if (t.loggedIn != -1) P11_LEAVE(CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
    const bool so = user == CKU_SO;
    if (so && SessionsOnSlot(st, s->slot, true) > 0) P11_LEAVE(CKR_SESSION_READ_ONLY_EXISTS);
    if (!so && !(t.flags & CKF_USER_PIN_INITIALIZED)) P11_LEAVE(CKR_USER_PIN_NOT_INITIALIZED);
    if (t.flags & (so ? CKF_SO_PIN_LOCKED : CKF_USER_PIN_LOCKED)) P11_LEAVE(CKR_PIN_LOCKED);
    if (!PinEquals(so ? t.soPin : t.userPin, pin, pinLen)) P11_LEAVE(WrongPin(t, so));
    RightPin(t, so);
    t.loggedIn = static_cast<long>(user);
    P11_LEAVE(CKR_OK);
}

CK_RV Logout(CK_SESSION_HANDLE h) {
    P11_ENTER("C_Logout", Fmt("session=0x%lx", h));
    P11_NEED_INIT();
    Session* s = FindSession(st, h);
    if (s == nullptr) P11_LEAVE(CKR_SESSION_HANDLE_INVALID);
    Token& t = st.FindSlot(s->slot)->token;
    if (t.loggedIn == -1) P11_LEAVE(CKR_USER_NOT_LOGGED_IN);
    t.loggedIn = -1;
    P11_LEAVE(CKR_OK);
}

// ---- objects ----

CK_RV CreateObject(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR templ, CK_ULONG count, CK_OBJECT_HANDLE_PTR out) {
    P11_ENTER("C_CreateObject", Fmt("session=0x%lx count=%lu template=", h, count) + InputTemplate(templ, count));
    P11_NEED_INIT();
    Session* s = FindSession(st, h);
    if (s == nullptr) P11_LEAVE(CKR_SESSION_HANDLE_INVALID);
    if (out == nullptr || (templ == nullptr && count > 0)) P11_LEAVE(CKR_ARGUMENTS_BAD);
    Object candidate;
    for (CK_ULONG i = 0; i < count; ++i) {
        if (templ[i].pValue == nullptr && templ[i].ulValueLen > 0) P11_LEAVE(CKR_ARGUMENTS_BAD);
        if (candidate.Find(templ[i].type) != nullptr) P11_LEAVE(CKR_TEMPLATE_INCONSISTENT);
        const auto* p = static_cast<const unsigned char*>(templ[i].pValue);
        candidate.attributes.push_back({templ[i].type, Bytes(p, p + templ[i].ulValueLen)});
    }
    const Attribute* cls = candidate.Find(CKA_CLASS);
    if (cls == nullptr) P11_LEAVE(CKR_TEMPLATE_INCOMPLETE);
    if (cls->value.size() != sizeof(CK_ULONG)) P11_LEAVE(CKR_ATTRIBUTE_VALUE_INVALID);
    for (CK_ATTRIBUTE_TYPE type : {CKA_KEY_TYPE, CKA_CERTIFICATE_TYPE}) {
        const Attribute* a = candidate.Find(type);
        if (a != nullptr && a->value.size() != sizeof(CK_ULONG)) P11_LEAVE(CKR_ATTRIBUTE_VALUE_INVALID);
    }
    for (CK_ATTRIBUTE_TYPE type : {CKA_TOKEN, CKA_PRIVATE, CKA_SENSITIVE, CKA_EXTRACTABLE}) {
        const Attribute* a = candidate.Find(type);
        if (a != nullptr && a->value.size() != sizeof(CK_BBOOL)) P11_LEAVE(CKR_ATTRIBUTE_VALUE_INVALID);
    }
    const bool tokenObject = candidate.BoolAttribute(CKA_TOKEN, false);
    if (tokenObject && !(s->flags & CKF_RW_SESSION)) P11_LEAVE(CKR_SESSION_READ_ONLY);
    Slot* slot = st.FindSlot(s->slot);
    if (candidate.IsPrivate() && slot->token.loggedIn != static_cast<long>(CKU_USER))
        P11_LEAVE(CKR_USER_NOT_LOGGED_IN);
    *out = AddObject(st, s->slot, std::move(candidate.attributes));
    if (!tokenObject) {
        // A session object lives as long as its session.
        st.FindObject(*out)->session = h;
    }
    args_ += Fmt(" object=0x%lx", *out);
    P11_LEAVE(CKR_OK);
}

CK_RV DestroyObject(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE object) {
    P11_ENTER("C_DestroyObject", Fmt("session=0x%lx object=0x%lx", h, object));
    P11_NEED_INIT();
    Session* s = FindSession(st, h);
    if (s == nullptr) P11_LEAVE(CKR_SESSION_HANDLE_INVALID);
    Token& t = st.FindSlot(s->slot)->token;
    auto it = std::find_if(t.objects.begin(), t.objects.end(),
                           [&](const Object& o) { return o.handle == object; });
    if (it == t.objects.end() || !Visible(t, *it)) P11_LEAVE(CKR_OBJECT_HANDLE_INVALID);
    if (it->BoolAttribute(CKA_TOKEN, false) && !(s->flags & CKF_RW_SESSION)) P11_LEAVE(CKR_SESSION_READ_ONLY);
    t.objects.erase(it);
    P11_LEAVE(CKR_OK);
}

CK_RV GetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR templ, CK_ULONG count) {
    P11_ENTER("C_GetAttributeValue",
              Fmt("session=0x%lx object=0x%lx template=", h, object) + OutputTemplate(templ, count));
    P11_NEED_INIT();
    Session* s = FindSession(st, h);
    if (s == nullptr) P11_LEAVE(CKR_SESSION_HANDLE_INVALID);
    if (templ == nullptr && count > 0) P11_LEAVE(CKR_ARGUMENTS_BAD);
    Token& t = st.FindSlot(s->slot)->token;
    const Object* o = nullptr;
    for (const Object& candidate : t.objects)
        if (candidate.handle == object) o = &candidate;
    if (o == nullptr || !Visible(t, *o)) P11_LEAVE(CKR_OBJECT_HANDLE_INVALID);
    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE& a = templ[i];
        const Attribute* have = o->Find(a.type);
        CK_RV one = CKR_OK;
        if (have == nullptr) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            one = CKR_ATTRIBUTE_TYPE_INVALID;
        } else if (Sensitive(*o, a.type)) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            one = CKR_ATTRIBUTE_SENSITIVE;
        } else if (a.pValue == nullptr) {
            a.ulValueLen = have->value.size();
        } else if (a.ulValueLen < have->value.size()) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            one = CKR_BUFFER_TOO_SMALL;
        } else {
            if (!have->value.empty()) std::memcpy(a.pValue, have->value.data(), have->value.size());
            a.ulValueLen = have->value.size();
            const auto lie = st.misreported.find(a.type);
            if (lie != st.misreported.end()) a.ulValueLen = lie->second;
        }
        if (rv == CKR_OK) rv = one;
    }
    P11_LEAVE(rv);
}

CK_RV FindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR templ, CK_ULONG count) {
    P11_ENTER("C_FindObjectsInit", Fmt("session=0x%lx count=%lu template=", h, count) + InputTemplate(templ, count));
    P11_NEED_INIT();
    Session* s = FindSession(st, h);
    if (s == nullptr) P11_LEAVE(CKR_SESSION_HANDLE_INVALID);
    if (templ == nullptr && count > 0) P11_LEAVE(CKR_ARGUMENTS_BAD);
    if (s->findActive) P11_LEAVE(CKR_OPERATION_ACTIVE);
    const Token& t = st.FindSlot(s->slot)->token;
    s->found.clear();
    for (const Object& o : t.objects)
        if (Visible(t, o) && Matches(o, templ, count)) s->found.push_back(o.handle);
    s->findPosition = 0;
    s->findActive = true;
    args_ += Fmt(" matches=%zu", s->found.size());
    P11_LEAVE(CKR_OK);
}

CK_RV FindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE_PTR out, CK_ULONG max, CK_ULONG_PTR count) {
    P11_ENTER("C_FindObjects", Fmt("session=0x%lx max=%lu", h, max));
    P11_NEED_INIT();
    Session* s = FindSession(st, h);
    if (s == nullptr) P11_LEAVE(CKR_SESSION_HANDLE_INVALID);
    if (!s->findActive) P11_LEAVE(CKR_OPERATION_NOT_INITIALIZED);
    if (count == nullptr || (out == nullptr && max > 0)) P11_LEAVE(CKR_ARGUMENTS_BAD);
    CK_ULONG n = 0;
    const Token& t = st.FindSlot(s->slot)->token;
    while (n < max && s->findPosition < s->found.size()) {
        const CK_OBJECT_HANDLE handle = s->found[s->findPosition++];
        // Objects destroyed since the search began are not handed out.
        for (const Object& o : t.objects)
            if (o.handle == handle && Visible(t, o)) out[n++] = handle;
    }
    *count = n;
    args_ += Fmt(" count=%lu", n);
    P11_LEAVE(CKR_OK);
}

CK_RV FindObjectsFinal(CK_SESSION_HANDLE h) {
    P11_ENTER("C_FindObjectsFinal", Fmt("session=0x%lx", h));
    P11_NEED_INIT();
    Session* s = FindSession(st, h);
    if (s == nullptr) P11_LEAVE(CKR_SESSION_HANDLE_INVALID);
    if (!s->findActive) P11_LEAVE(CKR_OPERATION_NOT_INITIALIZED);
    s->findActive = false;
    s->found.clear();
    P11_LEAVE(CKR_OK);
}

// Every other entry point of the list.
template <typename F>
struct Unsupported;
template <typename... A>
struct Unsupported<CK_RV (*)(A...)> {
    static CK_RV Call(A...) { return CKR_FUNCTION_NOT_SUPPORTED; }
};

CK_FUNCTION_LIST BuildList() {
    CK_FUNCTION_LIST fl;
    std::memset(&fl, 0, sizeof fl);
    fl.version.major = 2;
    fl.version.minor = 40;
#define P11_STUB(name) fl.name = &Unsupported<decltype(fl.name)>::Call
    fl.C_Initialize = &Initialize;
    fl.C_Finalize = &Finalize;
    fl.C_GetInfo = &GetInfo;
    fl.C_GetFunctionList = &GetFunctionList;
    fl.C_GetSlotList = &GetSlotList;
    fl.C_GetSlotInfo = &GetSlotInfo;
    fl.C_GetTokenInfo = &GetTokenInfo;
    P11_STUB(C_GetMechanismList);
    P11_STUB(C_GetMechanismInfo);
    fl.C_InitToken = &InitToken;
    fl.C_InitPIN = &InitPIN;
    fl.C_SetPIN = &SetPIN;
    fl.C_OpenSession = &OpenSession;
    fl.C_CloseSession = &CloseSession;
    fl.C_CloseAllSessions = &CloseAllSessions;
    fl.C_GetSessionInfo = &GetSessionInfo;
    P11_STUB(C_GetOperationState);
    P11_STUB(C_SetOperationState);
    fl.C_Login = &Login;
    fl.C_Logout = &Logout;
    fl.C_CreateObject = &CreateObject;
    P11_STUB(C_CopyObject);
    fl.C_DestroyObject = &DestroyObject;
    P11_STUB(C_GetObjectSize);
    fl.C_GetAttributeValue = &GetAttributeValue;
    P11_STUB(C_SetAttributeValue);
    fl.C_FindObjectsInit = &FindObjectsInit;
    fl.C_FindObjects = &FindObjects;
    fl.C_FindObjectsFinal = &FindObjectsFinal;
    P11_STUB(C_EncryptInit);
    P11_STUB(C_Encrypt);
    P11_STUB(C_EncryptUpdate);
    P11_STUB(C_EncryptFinal);
    P11_STUB(C_DecryptInit);
    P11_STUB(C_Decrypt);
    P11_STUB(C_DecryptUpdate);
    P11_STUB(C_DecryptFinal);
    P11_STUB(C_DigestInit);
    P11_STUB(C_Digest);
    P11_STUB(C_DigestUpdate);
    P11_STUB(C_DigestKey);
    P11_STUB(C_DigestFinal);
    P11_STUB(C_SignInit);
    P11_STUB(C_Sign);
    P11_STUB(C_SignUpdate);
    P11_STUB(C_SignFinal);
    P11_STUB(C_SignRecoverInit);
    P11_STUB(C_SignRecover);
    P11_STUB(C_VerifyInit);
    P11_STUB(C_Verify);
    P11_STUB(C_VerifyUpdate);
    P11_STUB(C_VerifyFinal);
    P11_STUB(C_VerifyRecoverInit);
    P11_STUB(C_VerifyRecover);
    P11_STUB(C_DigestEncryptUpdate);
    P11_STUB(C_DecryptDigestUpdate);
    P11_STUB(C_SignEncryptUpdate);
    P11_STUB(C_DecryptVerifyUpdate);
    P11_STUB(C_GenerateKey);
    P11_STUB(C_GenerateKeyPair);
    P11_STUB(C_WrapKey);
    P11_STUB(C_UnwrapKey);
    P11_STUB(C_DeriveKey);
    P11_STUB(C_SeedRandom);
    P11_STUB(C_GenerateRandom);
    P11_STUB(C_GetFunctionStatus);
    P11_STUB(C_CancelFunction);
    P11_STUB(C_WaitForSlotEvent);
#undef P11_STUB
    return fl;
}

}  // namespace

CK_RV GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    static CK_FUNCTION_LIST functions = BuildList();
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    ReadPendingFixture(st);  // a failure shows again at C_Initialize
    const char* fn_ = "C_GetFunctionList";
    const std::string args_ = list ? "list=set" : "list=NULL";
    CK_RV injected;
    if (Injected(st, fn_, &injected)) {
        // An injected success hands out no list at all.
        if (injected == CKR_OK && list != nullptr) *list = nullptr;
        return Finish(st, fn_, args_, injected, true);
    }
    if (list == nullptr) P11_LEAVE(CKR_ARGUMENTS_BAD);
    *list = &functions;
    P11_LEAVE(CKR_OK);
}

const char* Version() {
    State& st = TheState();
    std::lock_guard<std::mutex> lock(st.mutex);
    ReadPendingFixture(st);
    ++st.calls["GetVersion"];
    const char* text = st.versionNull ? nullptr : st.version.c_str();
    st.log.push_back(text ? "GetVersion -> \"" + st.version + "\"" : std::string("GetVersion -> NULL"));
    return text;
}

}  // namespace p11stand
