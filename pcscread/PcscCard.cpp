#include "pcscread/PcscCard_internal.h"

#include <cstring>
#include <new>

#include "pcscread/SystemUtils_internal.h"
#include "pcscread/Trace_internal.h"
#include "pcscread/pcsc2std.h"

using pcscread::SleepMilliseconds;
using pcscread::Trace;
using pcscread::TraceHex;

namespace {

// State bits of SCardStatus that mean a card is there.
constexpr DWORD kPresentBits = SCARD_NEGOTIABLE | SCARD_SPECIFIC | SCARD_POWERED | SCARD_PRESENT;

DWORD ReduceState(DWORD state) { return (state & kPresentBits) ? SCARD_PRESENT : SCARD_ABSENT; }

// The retry pause between transaction attempts.
constexpr unsigned long kTransactionPauseMs = 50;
constexpr int kTransactionAttempts = 10;
// How long a re-begin inside a transaction waits for the reader's named lock.
constexpr int64_t kNamedLockTimeoutMs = 30000;

// What SCardStatus writes: the reader name and ATR land in scratch space and
// are copied out, or not, by the caller.
struct StatusRecord {
    // The handle was connected on the reader object's name, which is shorter
    // than PCSC_READER_NAME_SIZE, and pcscd keeps no name longer than
    // MAX_READERNAME either; so SCardStatus never finds this too small.
    char readerName[PCSC_READER_NAME_SIZE];
    DWORD readerLen = 0;
    DWORD state = 0;
    DWORD protocol = 0;
    unsigned char atr[MAX_ATR_SIZE];
    DWORD atrLen = 0;
};
static_assert(PCSC_READER_NAME_SIZE >= MAX_READERNAME, "a reader name from pcscd fits");

// SCardStatus into s, with both buffers offered whole.
LONG ReadStatus(SCARDHANDLE handle, StatusRecord& s) {
    s.readerLen = sizeof s.readerName;
    s.atrLen = sizeof s.atr;
    return SCardStatus(handle, s.readerName, &s.readerLen, &s.state, &s.protocol, s.atr, &s.atrLen);
}

}  // namespace

PCSC_CARD::PCSC_CARD() { Construct(nullptr, SCARD_SCOPE_USER, false); }

PCSC_CARD::PCSC_CARD(const char* readerName) { Construct(readerName, SCARD_SCOPE_USER, true); }

PCSC_CARD::PCSC_CARD(const char* readerName, unsigned long scope) { Construct(readerName, scope, true); }

void PCSC_CARD::Construct(const char* readerName, unsigned long scope, bool named) {
    hCard = 0;
    inTransaction = 0;
    reconnectProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    reader = named ? new (std::nothrow) PCSC_READER(readerName, scope) : new (std::nothrow) PCSC_READER();
    if (reader == nullptr) {
        lastError = PCSC2STD_ERR_THREAD;
        return;
    }
    if (reader->GetLastError() != 0) {
        delete reader;
        reader = nullptr;
        lastError = PCSC2STD_ERR_THREAD;
        return;
    }
    lastError = 0;
}

PCSC_CARD::~PCSC_CARD() {
    if (hCard != 0) SCardDisconnect(hCard, SCARD_LEAVE_CARD);
    hCard = 0;
    delete reader;
    reader = nullptr;
}

void PCSC_CARD::SetPresets(DWORD protocol, const SCARD_IO_REQUEST* pci) {
    if (lastError != 0) return;
    activeProtocol = protocol;
    preferredProtocol = protocol;
    sendPci = pci;
}

SCARDCONTEXT PCSC_CARD::ReaderContext() const {
    return (reader != nullptr && reader->Session() != nullptr) ? reader->Session()->GetContext() : 0;
}

LONG PCSC_CARD::ConnectCard(DWORD share, DWORD protocols) {
    if (reader == nullptr) return lastError = PCSC2STD_ERR_NO_READER;
    if (hCard != 0) {
        DisconnectCard(SCARD_LEAVE_CARD, 1);
        hCard = 0;
    }
    lastError = SCardConnect(ReaderContext(), reader->ReaderName(), share, preferredProtocol, &hCard, &activeProtocol);
    if (lastError != SCARD_S_SUCCESS) {
        hCard = 0;
        lastError = SCardConnect(ReaderContext(), reader->ReaderName(), share, protocols, &hCard, &activeProtocol);
        if (lastError != SCARD_S_SUCCESS) hCard = 0;
    }
    shareMode = share;
    return lastError;
}

LONG PCSC_CARD::Connect(DWORD share) {
    lastError = ConnectCard(share, reconnectProtocols);
    if (lastError != SCARD_S_SUCCESS && hCard != 0) {
        DisconnectCard(SCARD_LEAVE_CARD, 1);
        lastError = ConnectCard(share, reconnectProtocols);
    }
    return lastError;
}

LONG PCSC_CARD::DisconnectCard(DWORD disposition, int force) {
    if (hCard == 0) return lastError = PCSC2STD_ERR_NOT_CONNECTED;
    lastError = SCardDisconnect(hCard, disposition);
    if (lastError == SCARD_S_SUCCESS) {
        hCard = 0;
    } else if (force) {
        hCard = 0;
        lastError = 0;
    }
    return lastError;
}

LONG PCSC_CARD::ResetCard(unsigned char* atrOut, DWORD* atrLenOut, short coldReset) {
    if (hCard == 0) return lastError = PCSC2STD_ERR_NOT_CONNECTED;
    if (atrLenOut == nullptr || atrOut == nullptr) return lastError = SCARD_E_INVALID_PARAMETER;
    const DWORD capacity = *atrLenOut;
    *atrLenOut = 0;
    const unsigned long published = reader->GetEventState();
    if (published & SCARD_STATE_EMPTY) {
        DisconnectCard(SCARD_LEAVE_CARD, 1);
        return lastError = SCARD_W_REMOVED_CARD;
    }
    if (published & SCARD_STATE_MUTE) {
        DisconnectCard(SCARD_LEAVE_CARD, 1);
        return lastError = SCARD_E_UNKNOWN_CARD;
    }
    if (coldReset == 1) {
        lastError = SCardReconnect(hCard, shareMode, preferredProtocol, SCARD_UNPOWER_CARD, &activeProtocol);
        if (lastError != SCARD_S_SUCCESS) {
            lastError = SCardReconnect(hCard, shareMode, reconnectProtocols, SCARD_UNPOWER_CARD, &activeProtocol);
            if (lastError != SCARD_S_SUCCESS) return lastError;
        }
    }
    // The ATR is the one the card-watch thread published.
    unsigned char atr[PCSC_READER_ATR_SIZE];
    unsigned long len = 0;
    if (reader->GetATR(&len, atr) != 0) return lastError = PCSC2STD_ERR_THREAD;
    if (len > capacity) return lastError = SCARD_E_INSUFFICIENT_BUFFER;
    std::memcpy(atrOut, atr, len);
    *atrLenOut = static_cast<DWORD>(len);
    return lastError = 0;
}

LONG PCSC_CARD::CardStartTransaction() {
    if (hCard == 0) return lastError = PCSC2STD_ERR_NOT_CONNECTED;
    bool held = false;
    bool begun = false;  // the last attempt began a transaction
    LONG failure = SCARD_E_NOT_TRANSACTED;
    for (int attempt = 0; attempt < kTransactionAttempts; ++attempt) {
        // Ends whatever an earlier attempt left begun; with nothing begun the call fails harmlessly.
        SCardEndTransaction(hCard, SCARD_LEAVE_CARD);
        inTransaction = 0;
        lastError = SCardBeginTransaction(hCard);
        begun = lastError == SCARD_S_SUCCESS;
        if (!begun) {
            failure = lastError;
            SleepMilliseconds(kTransactionPauseMs);
            if (lastError == SCARD_W_RESET_CARD || lastError == SCARD_E_INVALID_VALUE)
                lastError = SCardReconnect(hCard, shareMode, reconnectProtocols, SCARD_LEAVE_CARD, &activeProtocol);
            continue;
        }
        StatusRecord status;
        lastError = ReadStatus(hCard, status);
        if (lastError == SCARD_S_SUCCESS) {
            held = true;
            break;
        }
        failure = lastError;
        SleepMilliseconds(kTransactionPauseMs);
        if (lastError == SCARD_W_RESET_CARD)
            lastError = SCardReconnect(hCard, shareMode, reconnectProtocols, SCARD_LEAVE_CARD, &activeProtocol);
    }
    // A successful reconnect after the last failed begin is no transaction.
    if (!held) {
        // A transaction begun by the last attempt must not stay held once
        // failure is reported.
        if (begun) SCardEndTransaction(hCard, SCARD_LEAVE_CARD);
        lastError = failure;
        TraceHex("PCSC_CARD::CardStartTransaction failed", static_cast<unsigned long>(lastError));
        return lastError;
    }
    inTransaction = 1;
    return lastError;
}

LONG PCSC_CARD::CardEndTransaction(DWORD disposition) {
    inTransaction = 0;
    if (hCard == 0) return lastError = PCSC2STD_ERR_NOT_CONNECTED;
    lastError = SCardEndTransaction(hCard, disposition);
    if (lastError == SCARD_W_RESET_CARD) lastError = Connect(shareMode);
    return lastError;
}

LONG PCSC_CARD::CardTransmit(const SCARD_IO_REQUEST* pci, const unsigned char* apdu, DWORD apduLen,
                             SCARD_IO_REQUEST* recvPci, unsigned char* resp, DWORD* respLen) {
    if (hCard == 0) return lastError = PCSC2STD_ERR_NOT_CONNECTED;
    if (respLen == nullptr) return lastError = SCARD_E_INVALID_PARAMETER;
    DWORD n = *respLen;
    lastError = SCardTransmit(hCard, pci, apdu, apduLen, recvPci, resp, &n);
    const bool recover = lastError == SCARD_W_RESET_CARD || lastError == SCARD_E_NOT_TRANSACTED ||
                         lastError == SCARD_E_PROTO_MISMATCH || lastError == SCARD_E_SHARING_VIOLATION;
    if (!recover) {
        *respLen = n;
        return lastError;
    }
    TraceHex("PCSC_CARD::CardTransmit recovering from", static_cast<unsigned long>(lastError));
    if (inTransaction) {
        // Re-beginning the transaction is serialised with every other
        // thread and process that uses this reader.
        int fd = 0, sysErr = 0;
        const int locked = pcscread::AcquireNamedLock(reader->ReaderName(), kNamedLockTimeoutMs, &fd, &sysErr);
        lastError = CardStartTransaction();
        if (locked == 0) pcscread::ReleaseNamedLock(reader->ReaderName(), fd, &sysErr);
    } else {
        lastError = Connect(shareMode);
    }
    if (lastError != SCARD_S_SUCCESS) return lastError;
    lastError = SCardTransmit(hCard, pci, apdu, apduLen, recvPci, resp, respLen);
    return lastError;
}

LONG PCSC_CARD::ISO7816_TRANSCEIVER(const unsigned char*, DWORD, unsigned char*, DWORD*, long*) {
    return PCSC2STD_ERR_THREAD;
}

LONG PCSC_CARD::Transceive(const unsigned char* apdu, DWORD apduLen, unsigned char* resp, DWORD* respLen,
                           long* sw) {
    if (activeProtocol == SCARD_PROTOCOL_T1)
        sendPci = SCARD_PCI_T1;
    else if (activeProtocol == SCARD_PROTOCOL_T0)
        sendPci = SCARD_PCI_T0;
    CardTransmit(sendPci, apdu, apduLen, nullptr, resp, respLen);
    if (lastError == SCARD_S_SUCCESS && *respLen > 1) {
        const DWORD n = *respLen;
        if (sw != nullptr) *sw = static_cast<long>(resp[n - 2]) * 256 + resp[n - 1];
        *respLen = n - 2;
    }
    return lastError;
}

LONG PCSC_CARD::QueryStatus(DWORD* readerLenOut, DWORD* state, DWORD* protocolOut, unsigned char* atrOut,
                            DWORD* atrLenOut) {
    StatusRecord status;
    if (hCard != 0) {
        lastError = ReadStatus(hCard, status);
        if (lastError == SCARD_W_RESET_CARD) {
            lastError = Connect(shareMode);
            if (lastError != SCARD_S_SUCCESS) return lastError;
            lastError = ReadStatus(hCard, status);
        }
        if (lastError != SCARD_S_SUCCESS) return lastError;
        if (atrLenOut != nullptr) *atrLenOut = status.atrLen;
        if (readerLenOut != nullptr) *readerLenOut = status.readerLen;
        if (protocolOut != nullptr) *protocolOut = status.protocol;
        if (state != nullptr) *state = ReduceState(status.state);
        if (atrOut != nullptr)
            std::memcpy(atrOut, status.atr, status.atrLen <= sizeof status.atr ? status.atrLen : sizeof status.atr);
        return lastError;
    }
    if (reader == nullptr) return lastError = PCSC2STD_ERR_NO_READER;
    SCARDHANDLE temporary = 0;
    DWORD p = 0;
    lastError = SCardConnect(ReaderContext(), reader->ReaderName(), SCARD_SHARE_SHARED,
                             SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &temporary, &p);
    if (lastError != SCARD_S_SUCCESS) return lastError;
    lastError = ReadStatus(temporary, status);
    SCardDisconnect(temporary, SCARD_LEAVE_CARD);
    if (lastError != SCARD_S_SUCCESS) return lastError;
    if (atrLenOut != nullptr) *atrLenOut = 0;
    if (readerLenOut != nullptr) *readerLenOut = 0;
    if (protocolOut != nullptr) *protocolOut = 0;
    if (state != nullptr) *state = ReduceState(status.state);
    return lastError;
}

LONG PCSC_CARD::CheckPresence(DWORD* state, unsigned char* atrOut, DWORD* atrLenOut) {
    QueryStatus(nullptr, state, nullptr, atrOut, atrLenOut);
    if (lastError != SCARD_S_SUCCESS && hCard != 0) {
        DisconnectCard(SCARD_LEAVE_CARD, 1);
        QueryStatus(nullptr, state, nullptr, atrOut, atrLenOut);
    }
    return lastError;
}

LONG PCSC_CARD::GetStatus(DWORD* protocolOut, DWORD* stateOut) {
    if (hCard == 0) return PCSC2STD_ERR_NOT_CONNECTED;
    StatusRecord status;
    lastError = ReadStatus(hCard, status);
    if (stateOut != nullptr) *stateOut = status.state;
    if (protocolOut != nullptr) *protocolOut = status.protocol;
    return lastError;
}

LONG PCSC_CARD::GetHandles(SCARDCONTEXT* contextOut, SCARDHANDLE* cardOut) {
    if (contextOut == nullptr) return -1;
    *contextOut = ReaderContext();
    if (cardOut == nullptr) return -1;
    *cardOut = hCard;
    return 0;
}

LONG PCSC_CARD::ReadAtr(unsigned char* atrOut, DWORD* atrLen) {
    if (hCard == 0) return lastError = PCSC2STD_ERR_NOT_CONNECTED;
    if (atrLen == nullptr) return lastError = SCARD_E_INVALID_PARAMETER;
    StatusRecord status;
    lastError = ReadStatus(hCard, status);
    *atrLen = status.atrLen;
    if (lastError == SCARD_S_SUCCESS && atrOut != nullptr) std::memcpy(atrOut, status.atr, *atrLen);
    return lastError;
}

// --- the two kinds -----------------------------------------------------------

namespace {

const SCARD_IO_REQUEST* PciOf(DWORD protocol) {
    return protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
}

}  // namespace

template <DWORD Protocol>
PCSC_CARD_OF_PROTOCOL<Protocol>::PCSC_CARD_OF_PROTOCOL() : PCSC_CARD() {
    SetPresets(Protocol, PciOf(Protocol));
}
template <DWORD Protocol>
PCSC_CARD_OF_PROTOCOL<Protocol>::PCSC_CARD_OF_PROTOCOL(const char* n) : PCSC_CARD(n) {
    SetPresets(Protocol, PciOf(Protocol));
}
template <DWORD Protocol>
PCSC_CARD_OF_PROTOCOL<Protocol>::PCSC_CARD_OF_PROTOCOL(const char* n, unsigned long s) : PCSC_CARD(n, s) {
    SetPresets(Protocol, PciOf(Protocol));
}
template <DWORD Protocol>
LONG PCSC_CARD_OF_PROTOCOL<Protocol>::ISO7816_TRANSCEIVER(const unsigned char* apdu, DWORD apduLen,
                                                          unsigned char* resp, DWORD* respLen, long* sw) {
    return Transceive(apdu, apduLen, resp, respLen, sw);
}

template class PCSC_CARD_OF_PROTOCOL<SCARD_PROTOCOL_T0>;
template class PCSC_CARD_OF_PROTOCOL<SCARD_PROTOCOL_T1>;
