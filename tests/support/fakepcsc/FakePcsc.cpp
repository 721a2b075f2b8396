#include "FakePcsc.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

// The send PCIs that the real library exports.
extern "C" {
const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};
}

namespace fakepcsc {
namespace {

struct Reader {
    bool card = false;
    bool mute = false;
    Bytes atr;
    bool stateOverride = false;
    DWORD overrideBits = 0;
    LONG probe = SCARD_S_SUCCESS;
    DWORD accepted = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    DWORD preferred = SCARD_PROTOCOL_T1;
    DWORD counter = 0;  // events so far, reported in the upper 16 bits

    DWORD Bits() const {
        if (stateOverride) return overrideBits;
        if (!card) return SCARD_STATE_EMPTY;
        return SCARD_STATE_PRESENT | (mute ? SCARD_STATE_MUTE : 0);
    }
};

struct Context {
    int busy = 0;          // calls blocked on it
    bool cancelled = false;
};

struct Handle {
    std::string reader;
    DWORD protocol = 0;
    bool direct = false;
};

struct State {
    std::mutex m;
    std::condition_variable cv;
    uint64_t generation = 0;  // bumped by Reset to fail blocked calls
    std::map<std::string, Reader> readers;
    std::vector<std::string> order;  // listing order
    std::map<SCARDCONTEXT, Context> contexts;
    std::map<SCARDHANDLE, Handle> handles;
    SCARDCONTEXT nextContext = 0x1000;
    SCARDHANDLE nextHandle = 0x2000;
    bool service = true;
    bool hang = false;
    int blocked = 0;
    std::deque<LONG> scripts[static_cast<int>(Fn::Count)];
    int calls[static_cast<int>(Fn::Count)] = {0};
    std::deque<Bytes> responses;
    std::vector<Bytes> apdus;
    const SCARD_IO_REQUEST* lastPci = nullptr;
    std::vector<DWORD> reconnectInits;
    std::vector<DWORD> connectShares;
};

State& S() {
    static State s;
    return s;
}

// Counts the call and hands out a scripted result, if any: true when the
// call must return *rc at once.
bool Scripted(State& s, Fn fn, LONG* rc) {
    const int i = static_cast<int>(fn);
    ++s.calls[i];
    if (s.scripts[i].empty()) return false;
    *rc = s.scripts[i].front();
    s.scripts[i].pop_front();
    return *rc != SCARD_S_SUCCESS;
}

void Changed(State& s, Reader& r) {
    ++r.counter;
    s.cv.notify_all();
}

LONG Negotiate(const Reader& r, DWORD offered, DWORD* chosen) {
    const DWORD common = offered & r.accepted & (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    if (common == 0) return SCARD_E_PROTO_MISMATCH;
    *chosen = (common & r.preferred) ? r.preferred : common;
    return SCARD_S_SUCCESS;
}

}  // namespace

void Reset() {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    ++s.generation;
    s.readers.clear();
    s.order.clear();
    s.contexts.clear();
    s.handles.clear();
    s.service = true;
    s.hang = false;
    for (auto& q : s.scripts) q.clear();
    std::fill(std::begin(s.calls), std::end(s.calls), 0);
    s.responses.clear();
    s.apdus.clear();
    s.lastPci = nullptr;
    s.reconnectInits.clear();
    s.connectShares.clear();
    s.cv.notify_all();
}

void AddReader(const std::string& name) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    if (s.readers.count(name) == 0) s.order.push_back(name);
    s.readers[name] = Reader();
    s.cv.notify_all();
}

void RemoveReader(const std::string& name) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    s.readers.erase(name);
    s.order.erase(std::remove(s.order.begin(), s.order.end(), name), s.order.end());
    s.cv.notify_all();
}

void InsertCard(const std::string& name, const Bytes& atr, bool mute) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    Reader& r = s.readers[name];
    r.card = true;
    r.mute = mute;
    r.atr = mute ? Bytes() : atr;
    Changed(s, r);
}

void RemoveCard(const std::string& name) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    Reader& r = s.readers[name];
    r.card = false;
    r.mute = false;
    r.atr.clear();
    Changed(s, r);
}

void SetReaderState(const std::string& name, DWORD bits) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    Reader& r = s.readers[name];
    r.stateOverride = true;
    r.overrideBits = bits;
    Changed(s, r);
}

void SetProbeResult(const std::string& name, LONG rc) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    s.readers[name].probe = rc;
}

void SetCardProtocols(const std::string& name, DWORD accepted, DWORD preferred) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    Reader& r = s.readers[name];
    r.accepted = accepted;
    r.preferred = preferred;
}

void SetService(bool up) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    s.service = up;
    s.cv.notify_all();
}

void SetStatusChangeHangs(bool hang) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    s.hang = hang;
    s.cv.notify_all();
}

void PushResult(Fn fn, LONG rc) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    s.scripts[static_cast<int>(fn)].push_back(rc);
}

void ClearResults(Fn fn) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    s.scripts[static_cast<int>(fn)].clear();
}

void PushResponse(const Bytes& response) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    s.responses.push_back(response);
}

int CallCount(Fn fn) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    return s.calls[static_cast<int>(fn)];
}

int OpenContexts() {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    return static_cast<int>(s.contexts.size());
}

int OpenHandles() {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    return static_cast<int>(s.handles.size());
}

int BlockedStatusWaits() {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    return s.blocked;
}

std::vector<Bytes> TransmittedApdus() {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    return s.apdus;
}

const SCARD_IO_REQUEST* LastSendPci() {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    return s.lastPci;
}

std::vector<DWORD> ReconnectInits() {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    return s.reconnectInits;
}

std::vector<DWORD> ConnectShareModes() {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    return s.connectShares;
}

}  // namespace fakepcsc

using namespace fakepcsc;

extern "C" {

LONG SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT phContext) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    LONG rc = 0;
    if (Scripted(s, Fn::EstablishContext, &rc)) return rc;
    if (phContext == nullptr) return SCARD_E_INVALID_PARAMETER;
    if (!s.service) return SCARD_E_NO_SERVICE;
    *phContext = s.nextContext++;
    s.contexts[*phContext] = Context();
    return SCARD_S_SUCCESS;
}

LONG SCardReleaseContext(SCARDCONTEXT hContext) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    LONG rc = 0;
    if (Scripted(s, Fn::ReleaseContext, &rc)) return rc;
    auto it = s.contexts.find(hContext);
    if (it == s.contexts.end()) return SCARD_E_INVALID_HANDLE;
    s.contexts.erase(it);
    // Handles opened through the context go with it.
    return SCARD_S_SUCCESS;
}

LONG SCardIsValidContext(SCARDCONTEXT hContext) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    return s.contexts.count(hContext) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG SCardListReaders(SCARDCONTEXT hContext, LPCSTR, LPSTR mszReaders, LPDWORD pcchReaders) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    LONG rc = 0;
    if (Scripted(s, Fn::ListReaders, &rc)) return rc;
    if (!s.service) return SCARD_E_NO_SERVICE;
    if (s.contexts.count(hContext) == 0) return SCARD_E_INVALID_HANDLE;
    if (pcchReaders == nullptr) return SCARD_E_INVALID_PARAMETER;
    if (s.order.empty()) return SCARD_E_NO_READERS_AVAILABLE;
    std::string multi;
    for (const auto& n : s.order) {
        multi += n;
        multi += '\0';
    }
    multi += '\0';
    const DWORD needed = static_cast<DWORD>(multi.size());
    if (mszReaders == nullptr) {
        *pcchReaders = needed;
        return SCARD_S_SUCCESS;
    }
    if (*pcchReaders < needed) {
        *pcchReaders = needed;
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::memcpy(mszReaders, multi.data(), needed);
    *pcchReaders = needed;
    return SCARD_S_SUCCESS;
}

LONG SCardGetStatusChange(SCARDCONTEXT hContext, DWORD dwTimeout, SCARD_READERSTATE* states, DWORD count) {
    State& s = S();
    std::unique_lock<std::mutex> g(s.m);
    LONG rc = 0;
    if (Scripted(s, Fn::GetStatusChange, &rc)) return rc;
    if (!s.service) return SCARD_E_NO_SERVICE;
    auto ctxIt = s.contexts.find(hContext);
    if (ctxIt == s.contexts.end()) return SCARD_E_INVALID_HANDLE;
    if (states == nullptr && count > 0) return SCARD_E_INVALID_PARAMETER;

    const uint64_t generation = s.generation;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwTimeout);
    ++s.blocked;
    ++ctxIt->second.busy;
    LONG result = SCARD_E_TIMEOUT;
    for (;;) {
        if (s.generation != generation) {
            result = SCARD_E_SYSTEM_CANCELLED;
            break;
        }
        if (!s.service) {
            result = SCARD_E_SERVICE_STOPPED;
            break;
        }
        auto c = s.contexts.find(hContext);
        if (c == s.contexts.end()) {
            result = SCARD_E_INVALID_HANDLE;
            break;
        }
        if (c->second.cancelled) {
            c->second.cancelled = false;
            result = SCARD_E_CANCELLED;
            break;
        }
        if (s.hang) {
            s.cv.wait(g);
            continue;
        }
        bool changed = false, unknown = false;
        for (DWORD i = 0; i < count; ++i) {
            SCARD_READERSTATE& st = states[i];
            auto r = s.readers.find(st.szReader != nullptr ? st.szReader : "");
            if (r == s.readers.end()) {
                unknown = true;
                break;
            }
            const DWORD bits = r->second.Bits();
            const DWORD current = st.dwCurrentState;
            const bool differs = (current & 0xFFFFUL & ~static_cast<DWORD>(SCARD_STATE_CHANGED)) != bits ||
                                 (current >> 16) != (r->second.counter & 0xFFFFUL);
            st.dwEventState = bits | ((r->second.counter & 0xFFFFUL) << 16) | (differs ? SCARD_STATE_CHANGED : 0);
            st.cbAtr = static_cast<DWORD>(std::min<size_t>(r->second.atr.size(), MAX_ATR_SIZE));
            if (st.cbAtr > 0) std::memcpy(st.rgbAtr, r->second.atr.data(), st.cbAtr);
            changed = changed || differs;
        }
        if (unknown) {
            result = SCARD_E_UNKNOWN_READER;
            break;
        }
        if (changed) {
            result = SCARD_S_SUCCESS;
            break;
        }
        if (dwTimeout != INFINITE && std::chrono::steady_clock::now() >= deadline) {
            result = SCARD_E_TIMEOUT;
            break;
        }
        if (dwTimeout == INFINITE)
            s.cv.wait(g);
        else
            s.cv.wait_until(g, deadline);
    }
    --s.blocked;
    auto c = s.contexts.find(hContext);
    if (c != s.contexts.end() && s.generation == generation) --c->second.busy;
    return result;
}

LONG SCardCancel(SCARDCONTEXT hContext) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    LONG rc = 0;
    if (Scripted(s, Fn::Cancel, &rc)) return rc;
    auto it = s.contexts.find(hContext);
    if (it == s.contexts.end()) return SCARD_E_INVALID_HANDLE;
    // As in the real library, a cancel only reaches a call that is blocked.
    if (it->second.busy > 0) {
        it->second.cancelled = true;
        s.cv.notify_all();
    }
    return SCARD_S_SUCCESS;
}

LONG SCardConnect(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode, DWORD dwPreferredProtocols,
                  LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    LONG rc = 0;
    if (Scripted(s, Fn::Connect, &rc)) return rc;
    s.connectShares.push_back(dwShareMode);
    if (!s.service) return SCARD_E_NO_SERVICE;
    if (s.contexts.count(hContext) == 0) return SCARD_E_INVALID_HANDLE;
    if (szReader == nullptr || phCard == nullptr || pdwActiveProtocol == nullptr) return SCARD_E_INVALID_PARAMETER;
    auto r = s.readers.find(szReader);
    if (r == s.readers.end()) return SCARD_E_UNKNOWN_READER;
    Handle h;
    h.reader = szReader;
    if (dwShareMode == SCARD_SHARE_DIRECT) {
        if (r->second.probe != SCARD_S_SUCCESS) return r->second.probe;
        h.direct = true;
    } else {
        if (!r->second.card) return SCARD_E_NO_SMARTCARD;
        if (r->second.mute) return SCARD_W_UNRESPONSIVE_CARD;
        if (LONG n = Negotiate(r->second, dwPreferredProtocols, &h.protocol)) return n;
    }
    *phCard = s.nextHandle++;
    *pdwActiveProtocol = h.protocol;
    s.handles[*phCard] = h;
    return SCARD_S_SUCCESS;
}

LONG SCardReconnect(SCARDHANDLE hCard, DWORD, DWORD dwPreferredProtocols, DWORD dwInitialization,
                    LPDWORD pdwActiveProtocol) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    LONG rc = 0;
    s.reconnectInits.push_back(dwInitialization);
    if (Scripted(s, Fn::Reconnect, &rc)) return rc;
    if (!s.service) return SCARD_E_NO_SERVICE;
    auto h = s.handles.find(hCard);
    if (h == s.handles.end()) return SCARD_E_INVALID_HANDLE;
    auto r = s.readers.find(h->second.reader);
    if (r == s.readers.end()) return SCARD_E_READER_UNAVAILABLE;
    if (!r->second.card) return SCARD_E_NO_SMARTCARD;
    if (LONG n = Negotiate(r->second, dwPreferredProtocols, &h->second.protocol)) return n;
    if (pdwActiveProtocol != nullptr) *pdwActiveProtocol = h->second.protocol;
    return SCARD_S_SUCCESS;
}

LONG SCardDisconnect(SCARDHANDLE hCard, DWORD) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    LONG rc = 0;
    if (Scripted(s, Fn::Disconnect, &rc)) return rc;
    if (s.handles.erase(hCard) == 0) return SCARD_E_INVALID_HANDLE;
    return SCARD_S_SUCCESS;
}

LONG SCardBeginTransaction(SCARDHANDLE hCard) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    LONG rc = 0;
    if (Scripted(s, Fn::BeginTransaction, &rc)) return rc;
    if (!s.service) return SCARD_E_NO_SERVICE;
    return s.handles.count(hCard) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG SCardEndTransaction(SCARDHANDLE hCard, DWORD) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    LONG rc = 0;
    if (Scripted(s, Fn::EndTransaction, &rc)) return rc;
    if (!s.service) return SCARD_E_NO_SERVICE;
    return s.handles.count(hCard) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG SCardStatus(SCARDHANDLE hCard, LPSTR szReaderName, LPDWORD pcchReaderLen, LPDWORD pdwState,
                 LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    LONG rc = 0;
    if (Scripted(s, Fn::Status, &rc)) return rc;
    if (!s.service) return SCARD_E_NO_SERVICE;
    auto h = s.handles.find(hCard);
    if (h == s.handles.end()) return SCARD_E_INVALID_HANDLE;
    auto r = s.readers.find(h->second.reader);
    if (r == s.readers.end()) return SCARD_E_READER_UNAVAILABLE;
    if (!r->second.card) return SCARD_W_REMOVED_CARD;
    const std::string& name = h->second.reader;
    const DWORD nameNeeded = static_cast<DWORD>(name.size() + 1);
    const DWORD atrNeeded = static_cast<DWORD>(r->second.atr.size());
    bool small = false;
    if (pcchReaderLen != nullptr) {
        if (szReaderName != nullptr && *pcchReaderLen < nameNeeded) small = true;
        else if (szReaderName != nullptr) std::memcpy(szReaderName, name.c_str(), nameNeeded);
        *pcchReaderLen = nameNeeded;
    }
    if (pcbAtrLen != nullptr) {
        if (pbAtr != nullptr && *pcbAtrLen < atrNeeded) small = true;
        else if (pbAtr != nullptr && atrNeeded > 0) std::memcpy(pbAtr, r->second.atr.data(), atrNeeded);
        *pcbAtrLen = atrNeeded;
    }
    if (pdwState != nullptr) *pdwState = SCARD_PRESENT | SCARD_POWERED | SCARD_SPECIFIC;
    if (pdwProtocol != nullptr) *pdwProtocol = h->second.protocol;
    return small ? SCARD_E_INSUFFICIENT_BUFFER : SCARD_S_SUCCESS;
}

LONG SCardTransmit(SCARDHANDLE hCard, const SCARD_IO_REQUEST* pioSendPci, LPCBYTE pbSendBuffer, DWORD cbSendLength,
                   SCARD_IO_REQUEST*, LPBYTE pbRecvBuffer, LPDWORD pcbRecvLength) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    LONG rc = 0;
    if (Scripted(s, Fn::Transmit, &rc)) {
        if (pcbRecvLength != nullptr) *pcbRecvLength = 0;
        return rc;
    }
    if (!s.service) return SCARD_E_NO_SERVICE;
    auto h = s.handles.find(hCard);
    if (h == s.handles.end()) return SCARD_E_INVALID_HANDLE;
    if (pbSendBuffer == nullptr || pcbRecvLength == nullptr || pbRecvBuffer == nullptr)
        return SCARD_E_INVALID_PARAMETER;
    auto r = s.readers.find(h->second.reader);
    if (r == s.readers.end()) return SCARD_E_READER_UNAVAILABLE;
    if (!r->second.card) return SCARD_W_REMOVED_CARD;
    s.lastPci = pioSendPci;
    s.apdus.emplace_back(pbSendBuffer, pbSendBuffer + cbSendLength);
    Bytes answer = {0x90, 0x00};
    if (!s.responses.empty()) {
        answer = s.responses.front();
        s.responses.pop_front();
    }
    if (*pcbRecvLength < answer.size()) {
        *pcbRecvLength = static_cast<DWORD>(answer.size());
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    if (!answer.empty()) std::memcpy(pbRecvBuffer, answer.data(), answer.size());
    *pcbRecvLength = static_cast<DWORD>(answer.size());
    return SCARD_S_SUCCESS;
}

}  // extern "C"
