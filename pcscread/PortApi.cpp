// The pcsc2std entries over the port table.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "pcscread/Names.h"
#include "pcscread/PcscCard_internal.h"
#include "pcscread/PcscSession_internal.h"
#include "pcscread/Sync_internal.h"
#include "pcscread/Trace_internal.h"
#include "pcscread/pcsc2std.h"
#include "pcscread/pcsc2std_internal.h"

using namespace std::chrono_literals;
using pcscread::DeadlineIn;
using pcscread::MapServiceError;
using pcscread::Trace;
using pcscread::TraceInt;

namespace {

// How long InitPort waits for the port table; every other holder keeps it
// for a few instructions only.
constexpr auto kPortTableWait = 2000ms;
// The direct state query asks for the state as it is, without waiting for
// a change.
constexpr DWORD kStateQueryWaitMs = 0;

struct PortEntry {
    uint32_t portNumber = PCSC2STD_NO_PORT;
    uint32_t subPort = PCSC2STD_NO_PORT;
    DWORD shareMode = SCARD_SHARE_SHARED;
    char* readerName = nullptr;
    // Claimed by an InitPort that is still creating the card object.
    bool reserved = false;
};

PortEntry portTable[PCSC2STD_MAX_PORTS];
// A port is open exactly while its card pointer is set. The pointers are
// atomic because entries read them without the table lock.
std::atomic<PCSC_CARD*> portCards[PCSC2STD_MAX_PORTS];
pcscread::TimedLock portTableMutex;
std::atomic<int> pcsc2stdInitialized{0};

// The card object of an open port, or the entry's error code.
int CardOf(uint32_t port, PCSC_CARD** card) {
    if (!pcsc2stdInitialized.load(std::memory_order_acquire)) return PCSC2STD_ERR_NOT_INITIALIZED;
    if (port >= PCSC2STD_MAX_PORTS) return PCSC2STD_ERR_PORT_NOT_OPEN;
    *card = portCards[port].load(std::memory_order_acquire);
    return *card != nullptr ? 0 : PCSC2STD_ERR_PORT_NOT_OPEN;
}

// Frees the slot's numbers and name; the table lock is held.
void ClearSlot(PortEntry& e) {
    e.portNumber = PCSC2STD_NO_PORT;
    e.subPort = PCSC2STD_NO_PORT;
    std::free(e.readerName);
    e.readerName = nullptr;
    e.reserved = false;
}

uint16_t ReaderStatusOf(LONG probe, bool* listed) {
    *listed = true;
    switch (probe) {
        case SCARD_S_SUCCESS:
        case SCARD_E_NO_SMARTCARD:
        case SCARD_W_REMOVED_CARD:
        case SCARD_W_UNRESPONSIVE_CARD:
        case SCARD_W_UNPOWERED_CARD:
        case SCARD_W_RESET_CARD:
            return READER_STATUS_AVAILABLE;
        case SCARD_E_UNKNOWN_READER:
            return READER_STATUS_ABSENT;
        case SCARD_E_SHARING_VIOLATION:
            return READER_STATUS_OCCUPIED;
        case SCARD_E_READER_UNAVAILABLE:
            return READER_STATUS_UNKNOWN;
        default:
            *listed = false;
            return 0;
    }
}

}  // namespace

void InitLibrary() {
    std::lock_guard<pcscread::TimedLock> table(portTableMutex);
    if (pcsc2stdInitialized.load(std::memory_order_relaxed)) return;
    for (uint32_t i = 0; i < PCSC2STD_MAX_PORTS; ++i) {
        portCards[i].store(nullptr, std::memory_order_relaxed);
        portTable[i].portNumber = PCSC2STD_NO_PORT;
        portTable[i].subPort = PCSC2STD_NO_PORT;
        portTable[i].readerName = nullptr;
        portTable[i].reserved = false;
    }
    pcsc2stdInitialized.store(1, std::memory_order_release);
}

int InitPort(uint32_t portNumber, uint32_t subPort, const char* readerName, uint32_t* port, int cardKind,
             int exclusive) {
    uint32_t dummy = 0;
    uint32_t& out = port != nullptr ? *port : dummy;
    out = PCSC2STD_NO_PORT;
    if (!pcsc2stdInitialized.load(std::memory_order_acquire)) return PCSC2STD_ERR_NOT_INITIALIZED;

    const bool named = readerName != nullptr && readerName[0] != '\0';
    if (!named) {
        // 128 and 32 themselves pass: the numbers only label a port, they never index the table.
        if (portNumber > 128) return PCSC2STD_ERR_BAD_PORT_NUMBER;
        if (subPort > 32) return PCSC2STD_ERR_BAD_SUBPORT_NUMBER;
    }

    // Every slot is visited, so an equal open port is found even behind a
    // free slot. A free slot is reserved under the lock, so a concurrent
    // InitPort cannot claim it while the card object is being created.
    int candidate = -1;
    int inUse = -1;
    {
        std::unique_lock<pcscread::TimedLock> table(portTableMutex, DeadlineIn(kPortTableWait));
        if (!table.owns_lock()) {
            Trace("pcsc2std:InitPort(...). Port table is busy for ", readerName);
            return PCSC2STD_ERR_INIT_PORT;
        }
        for (uint32_t i = 0; i < PCSC2STD_MAX_PORTS && inUse < 0; ++i) {
            const PortEntry& e = portTable[i];
            const bool open = portCards[i].load(std::memory_order_relaxed) != nullptr;
            if (open && e.portNumber == portNumber && e.subPort == subPort && e.readerName != nullptr && named &&
                std::strcmp(e.readerName, readerName) == 0)
                inUse = static_cast<int>(i);
            else if (candidate < 0 && !open && !e.reserved)
                candidate = static_cast<int>(i);
        }
        if (inUse < 0 && candidate >= 0) {
            PortEntry& e = portTable[candidate];
            e.reserved = true;
            e.portNumber = portNumber;
            e.subPort = subPort;
        }
    }
    if (inUse >= 0) {
        out = static_cast<uint32_t>(inUse);
        Trace("pcsc2std:InitPort(...). Port is already in use. ", readerName);
        return PCSC2STD_ERR_PORT_IN_USE;
    }
    if (candidate < 0) {
        Trace("pcsc2std:InitPort(...). No free port for ", readerName);
        return PCSC2STD_ERR_INIT_PORT;
    }
    PortEntry& slot = portTable[candidate];

    auto release = [&](int code) {
        {
            std::lock_guard<pcscread::TimedLock> table(portTableMutex);
            ClearSlot(slot);
        }
        TraceInt("pcsc2std:InitPort(...) failed", code);
        return code;
    };

    if (exclusive != 0 && exclusive != 1) return release(PCSC2STD_ERR_INIT_PORT);
    const DWORD shareMode = exclusive == 1 ? SCARD_SHARE_EXCLUSIVE : SCARD_SHARE_SHARED;

    PCSC_CARD* card = nullptr;
    if (cardKind == PCSC2STD_CARD_KIND_T0)
        card = new (std::nothrow) PCSC_CARD_T0();
    else if (cardKind == PCSC2STD_CARD_KIND_T1)
        card = new (std::nothrow) PCSC_CARD_T1();
    else
        return release(PCSC2STD_ERR_INIT_PORT);
    if (card == nullptr) return release(PCSC2STD_ERR_INIT_PORT);
    if (card->GetLastError() != 0) {
        delete card;
        return release(PCSC2STD_ERR_INIT_PORT);
    }

    long rc = named ? card->Reader()->AssignName(readerName) : PCSC2STD_ERR_EMPTY_READER_NAME;
    if (rc == 0) rc = card->Reader()->StartThread();
    char* nameCopy = nullptr;
    if (rc == 0) {
        nameCopy = static_cast<char*>(std::malloc(std::strlen(readerName) + 1));
        if (nameCopy == nullptr)
            rc = PCSC2STD_ERR_INIT_PORT;
        else
            std::strcpy(nameCopy, readerName);
    }
    if (rc != 0) {
        delete card;
        return release(PCSC2STD_ERR_INIT_PORT);
    }

    {
        std::lock_guard<pcscread::TimedLock> table(portTableMutex);
        slot.shareMode = shareMode;
        slot.readerName = nameCopy;
        slot.reserved = false;
        portCards[candidate].store(card, std::memory_order_release);
    }
    out = static_cast<uint32_t>(candidate);
    return 0;
}

int GetAllReaders(ReaderInfo* readers, uint32_t* count) {
    if (count != nullptr) *count = 0;
    if (readers == nullptr || count == nullptr) return PCSC2STD_ERR_PCSC;

    PCSC_SESSION* session = new (std::nothrow) PCSC_SESSION();
    if (session == nullptr) return PCSC2STD_ERR_PCSC;
    auto finish = [&](int code) {
        session->ReleaseContext();
        delete session;
        return code;
    };
    if (session->GetLastError() != SCARD_S_SUCCESS) return finish(PCSC2STD_ERR_PCSC);

    char list[PCSC_SESSION_LIST_SIZE];
    DWORD size = sizeof list;
    const LONG listed = session->FindAllReaders(list, &size);
    if (listed == SCARD_E_NO_READERS_AVAILABLE) return finish(0);
    if (listed != SCARD_S_SUCCESS) return finish(PCSC2STD_ERR_PCSC);

    uint32_t filled = 0;
    // The whole name is used for the probe; only the record's copy is cut.
    char name[PCSC_SESSION_LIST_SIZE];
    for (unsigned long i = 0; filled < PCSC2STD_MAX_READERS && session->GetReaderName(name, sizeof name, i); ++i) {
        // The probe never writes these; 63 is what every record has always carried.
        unsigned short attribA = 63, attribB = 63;
        unsigned long scratch = 0;
        session->GetReaderAttribs(name, &attribA, &attribB, &scratch);
        bool keep = false;
        const uint16_t status = ReaderStatusOf(session->GetLastError(), &keep);
        if (!keep) continue;
        ReaderInfo& r = readers[filled++];
        pcscread::CopyName(r.name, sizeof r.name, name);
        r.attribA = attribA;
        r.attribB = attribB;
        r.status = status;
    }
    *count = filled;
    return finish(0);
}

int ClosePort(uint32_t port) {
    if (!pcsc2stdInitialized.load(std::memory_order_acquire)) return PCSC2STD_ERR_NOT_INITIALIZED;
    if (port >= PCSC2STD_MAX_PORTS) return PCSC2STD_ERR_PORT_NOT_OPEN;
    // The card is detached under the lock, so of two racing closes exactly
    // one gets it; it is destroyed outside the lock because stopping its
    // watch thread takes a while.
    PCSC_CARD* card = nullptr;
    {
        std::lock_guard<pcscread::TimedLock> table(portTableMutex);
        card = portCards[port].exchange(nullptr, std::memory_order_acq_rel);
        if (card != nullptr) ClearSlot(portTable[port]);
    }
    if (card == nullptr) return PCSC2STD_ERR_PORT_NOT_OPEN;
    delete card;
    return 0;
}

int CardInside(uint32_t port) {
    PCSC_CARD* card = nullptr;
    if (int rc = CardOf(port, &card)) return rc;
    DWORD state = 0;
    const LONG rc = card->CheckPresence(&state, nullptr, nullptr);
    if (rc == SCARD_S_SUCCESS) return state == SCARD_ABSENT ? 0 : PCSC2STD_CARD_PRESENT;
    if (rc == SCARD_W_REMOVED_CARD) return 0;
    return MapServiceError(rc, CARD_STATUS_ERROR);
}

int CardStatusATR(unsigned char* atr, int32_t* atrLen, uint32_t port) {
    PCSC_CARD* card = nullptr;
    if (int rc = CardOf(port, &card)) return rc;
    char name[PCSC2STD_READER_NAME_SIZE];
    bool haveName = false;
    {
        std::lock_guard<pcscread::TimedLock> table(portTableMutex);
        haveName = portTable[port].readerName != nullptr;
        if (haveName) pcscread::CopyName(name, sizeof name, portTable[port].readerName);
    }
    if (!haveName) return PCSC2STD_ERR_PORT_NOT_OPEN;

    SCARDCONTEXT ctx = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) return PCSC2STD_ERR_PCSC;
    SCARD_READERSTATE rs = pcscread::FreshReaderState(name);
    const LONG rc = SCardGetStatusChange(ctx, kStateQueryWaitMs, &rs, 1);
    SCardReleaseContext(ctx);
    if (rc != SCARD_S_SUCCESS) return PCSC2STD_ERR_PCSC;

    const DWORD ev = rs.dwEventState;
    if (ev & (SCARD_STATE_UNAVAILABLE | SCARD_STATE_IGNORE)) return PCSC2STD_ERR_READER_UNAVAILABLE;
    if (ev & SCARD_STATE_EMPTY) return 0;
    if (ev & (SCARD_STATE_PRESENT | SCARD_STATE_ATRMATCH | SCARD_STATE_EXCLUSIVE | SCARD_STATE_INUSE)) {
        if (atr != nullptr && atrLen != nullptr) {
            const DWORD n = rs.cbAtr <= PCSC2STD_ATR_CAPACITY ? rs.cbAtr : PCSC2STD_ATR_CAPACITY;
            std::memcpy(atr, rs.rgbAtr, n);
            *atrLen = static_cast<int32_t>(n);
        }
        return PCSC2STD_CARD_PRESENT;
    }
    return PCSC2STD_ERR_PCSC;
}

int CardStatus(uint32_t port) {
    PCSC_CARD* card = nullptr;
    if (int rc = CardOf(port, &card)) return rc;
    unsigned long state = 0, atrLen = 0;
    unsigned char atr[PCSC_READER_ATR_SIZE];
    const long rc = card->Reader()->GetCardState(&state, &atrLen, atr);
    if (rc != 0) return pcscread::IsServiceErrorCode(rc) ? static_cast<int>(rc) : CARD_STATUS_ERROR;
    const int changed = (state & SCARD_STATE_CHANGED) ? PCSC2STD_CARD_CHANGED : 0;
    if (state & SCARD_STATE_EMPTY) return changed;
    if (state & SCARD_STATE_PRESENT) return PCSC2STD_CARD_PRESENT | changed;
    return PCSC2STD_ERR_UNKNOWN_CARD_STATE;
}

int CardProtocolState(int32_t* protocol, int32_t* presence, uint32_t port) {
    PCSC_CARD* card = nullptr;
    if (int rc = CardOf(port, &card)) return rc;
    DWORD proto = 0, state = 0;
    if (card->GetStatus(&proto, &state) != SCARD_S_SUCCESS) return PCSC2STD_ERR_PCSC;
    if (protocol != nullptr) *protocol = proto == SCARD_PROTOCOL_T0 ? 0 : (proto == SCARD_PROTOCOL_RAW ? 2 : 1);
    const DWORD present = SCARD_PRESENT | SCARD_SWALLOWED | SCARD_POWERED | SCARD_NEGOTIABLE | SCARD_SPECIFIC;
    if (presence != nullptr) *presence = (state & present) ? PCSC2STD_CARD_PRESENT : 0;
    return 0;
}

int GetCardHandles(SCARDCONTEXT* context, SCARDHANDLE* handle, uint32_t port) {
    PCSC_CARD* card = nullptr;
    if (int rc = CardOf(port, &card)) return rc;
    return card->GetHandles(context, handle) == 0 ? 0 : PCSC2STD_ERR_BAD_PORT_NUMBER;
}

int StartTransaction(uint32_t port) {
    PCSC_CARD* card = nullptr;
    if (int rc = CardOf(port, &card)) return rc;
    return card->CardStartTransaction() == SCARD_S_SUCCESS ? 0 : PCSC2STD_ERR_PCSC;
}

int EndTransaction(uint32_t port) {
    PCSC_CARD* card = nullptr;
    if (int rc = CardOf(port, &card)) return rc;
    return card->CardEndTransaction() == SCARD_S_SUCCESS ? 0 : PCSC2STD_ERR_PCSC;
}

int CardDisconnect(uint32_t port) {
    PCSC_CARD* card = nullptr;
    if (int rc = CardOf(port, &card)) return rc;
    // Forced: the handle is given up whatever PC/SC answers, so there is nothing to report.
    card->DisconnectCard(SCARD_LEAVE_CARD, 1);
    return 0;
}

int CardReset(unsigned char* atr, int16_t coldReset, uint32_t port) {
    PCSC_CARD* card = nullptr;
    if (int rc = CardOf(port, &card)) return rc;
    if (atr == nullptr) return PCSC2STD_ERR_RESET;
    DWORD shareMode = SCARD_SHARE_SHARED;
    {
        std::lock_guard<pcscread::TimedLock> table(portTableMutex);
        shareMode = portTable[port].shareMode;
    }
    LONG rc = card->Connect(shareMode);
    if (rc != SCARD_S_SUCCESS)
        return rc == SCARD_E_NO_SMARTCARD ? PCSC2STD_ERR_NO_SMARTCARD : MapServiceError(rc, PCSC2STD_ERR_CONNECT);
    DWORD atrLen = PCSC2STD_ATR_CAPACITY;
    rc = card->ResetCard(atr, &atrLen, coldReset);
    if (rc != SCARD_S_SUCCESS)
        return rc == SCARD_E_NO_SMARTCARD ? PCSC2STD_ERR_NO_SMARTCARD : MapServiceError(rc, PCSC2STD_ERR_RESET);
    return static_cast<int>(atrLen);
}

int ISO(uint32_t* length, const unsigned char* apdu, unsigned char* response, uint32_t capacity, uint32_t port) {
    PCSC_CARD* card = nullptr;
    if (int rc = CardOf(port, &card)) return rc;
    const int s = CardStatus(port);
    // An empty reader's 0 or 128 goes back as it is: no status word has SW1 0x00, so callers tell them apart.
    if (s != PCSC2STD_CARD_PRESENT && s != (PCSC2STD_CARD_PRESENT | PCSC2STD_CARD_CHANGED)) return s;
    if (length == nullptr || apdu == nullptr || response == nullptr) return PCSC2STD_ERR_TRANSMIT;
    DWORD respLen = capacity;
    long sw = -1;
    const LONG rc = card->ISO7816_TRANSCEIVER(apdu, *length, response, &respLen, &sw);
    // Fewer than two bytes carry no status word.
    if (rc != SCARD_S_SUCCESS || sw < 0) return PCSC2STD_ERR_TRANSMIT;
    *length = static_cast<uint32_t>(respLen);
    return static_cast<int>(sw);
}

int NoOpEntry1(uint32_t) { return pcsc2stdInitialized.load() ? 0 : PCSC2STD_ERR_NOT_INITIALIZED; }
int NoOpEntry2(uint32_t) { return pcsc2stdInitialized.load() ? 0 : PCSC2STD_ERR_NOT_INITIALIZED; }
int UnsupportedEntry1(uint32_t) {
    return pcsc2stdInitialized.load() ? PCSC2STD_ERR_NOT_SUPPORTED : PCSC2STD_ERR_NOT_INITIALIZED;
}
int UnsupportedEntry2(uint32_t) {
    return pcsc2stdInitialized.load() ? PCSC2STD_ERR_NOT_SUPPORTED : PCSC2STD_ERR_NOT_INITIALIZED;
}
int UnsupportedEntry3(uint8_t, uint32_t) {
    return pcsc2stdInitialized.load() ? PCSC2STD_ERR_NOT_SUPPORTED : PCSC2STD_ERR_NOT_INITIALIZED;
}
int UnsupportedEntry4(uint32_t) {
    return pcsc2stdInitialized.load() ? PCSC2STD_ERR_NOT_SUPPORTED : PCSC2STD_ERR_NOT_INITIALIZED;
}
