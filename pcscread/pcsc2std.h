// pcsc2std: the port API of the reader-access layer.
//
// A port is a small number (0..127) that stands for one open reader. Behind
// it stand a card object and a card-watch thread that follows the reader's
// card state. Every entry returns an int: a non-negative value on success, a
// negative PCSC2STD_ERR_* code (or CARD_STATUS_ERROR) on failure. Nothing here
// throws.
//
// The layer keeps one process-wide port table. Entries that take a port may
// be called from any thread, but a port must not be closed while another
// thread is inside an entry on that same port.
#ifndef VD_PCSCREAD_PCSC2STD_H
#define VD_PCSCREAD_PCSC2STD_H

#include <cstdint>

#include <winscard.h>

// ---------------------------------------------------------------------------
// Sizes
// ---------------------------------------------------------------------------

// Number of ports in the table; valid port numbers are 0 .. PCSC2STD_MAX_PORTS-1.
constexpr uint32_t PCSC2STD_MAX_PORTS = 128;
// Written to InitPort's out-parameter when no port was opened.
constexpr uint32_t PCSC2STD_NO_PORT = 255;
// GetAllReaders never fills more records than this; callers provide this many.
constexpr uint32_t PCSC2STD_MAX_READERS = 16;
// Size of ReaderInfo::name, terminating zero included.
constexpr uint32_t PCSC2STD_READER_NAME_SIZE = 128;
// Longest ATR the layer hands out (PC/SC's MAX_ATR_SIZE, 33). Every ATR
// buffer given to CardReset and CardStatusATR must hold this many bytes.
constexpr uint32_t PCSC2STD_ATR_CAPACITY = MAX_ATR_SIZE;

// ---------------------------------------------------------------------------
// Reader record
// ---------------------------------------------------------------------------

#pragma pack(push, 1)
struct ReaderInfo {
    char name[128];    // reader name as PC/SC lists it, zero-terminated (truncated if longer)
    uint16_t attribA;  // always 63
    uint16_t attribB;  // always 63
    uint16_t status;   // one of READER_STATUS_*
};
#pragma pack(pop)
static_assert(sizeof(ReaderInfo) == 134, "ReaderInfo is a packed 134-byte record");

// Reader status values (ReaderInfo::status).
constexpr uint16_t READER_STATUS_AVAILABLE = 1;
constexpr uint16_t READER_STATUS_ABSENT = 2;
constexpr uint16_t READER_STATUS_OCCUPIED = 3;
constexpr uint16_t READER_STATUS_UNKNOWN = 4;

// Card state bits returned by CardStatus (and 0/64 by CardInside,
// CardStatusATR and CardProtocolState's presence output):
// 0 no card, 128 no card and changed, 64 card present, 192 present and changed.
constexpr int PCSC2STD_CARD_PRESENT = 64;
constexpr int PCSC2STD_CARD_CHANGED = 128;

// Card kinds for InitPort.
constexpr int PCSC2STD_CARD_KIND_T0 = 0;
constexpr int PCSC2STD_CARD_KIND_T1 = 1;

// ---------------------------------------------------------------------------
// Result codes
// ---------------------------------------------------------------------------

constexpr int PCSC2STD_OK = 0;
constexpr int PCSC2STD_ERR_BAD_PORT_NUMBER = -1;       // InitPort without a name and port number > 128; GetCardHandles with a missing out-parameter
constexpr int PCSC2STD_ERR_BAD_SUBPORT_NUMBER = -2;    // InitPort without a name and sub-port > 32
constexpr int PCSC2STD_ERR_PORT_IN_USE = -3;           // an equal port is open; its number is returned
constexpr int PCSC2STD_ERR_PORT_NOT_OPEN = -4;         // port >= 128, or the port has no card object
constexpr int PCSC2STD_ERR_EMPTY_READER_NAME = -5;     // internal; InitPort reports it as -8
constexpr int PCSC2STD_ERR_INIT_PORT = -8;             // opening the port failed
constexpr int CARD_STATUS_ERROR = -9;                  // the card state could not be determined
constexpr int PCSC2STD_ERR_NO_SMARTCARD = -10;         // SCARD_E_NO_SMARTCARD while connecting or resetting
constexpr int PCSC2STD_ERR_CONNECT = -11;              // connecting to the card failed
constexpr int PCSC2STD_ERR_RESET = -12;                // resetting the card or reading its ATR failed
constexpr int PCSC2STD_ERR_TRANSMIT = -13;             // the APDU exchange failed or gave no status word
constexpr int PCSC2STD_ERR_NOT_SUPPORTED = -15;        // the entry has no function
constexpr int PCSC2STD_ERR_PCSC = -16;                 // a PC/SC call failed
constexpr int PCSC2STD_ERR_UNKNOWN_CARD_STATE = -17;   // published state neither empty nor present
constexpr int PCSC2STD_ERR_NO_READER = -20;            // internal: card object without a reader
constexpr int PCSC2STD_ERR_NOT_CONNECTED = -23;        // internal: card object without a card handle
constexpr int PCSC2STD_ERR_THREAD = -24;               // internal: card-watch thread, its lock or its context failed
constexpr int PCSC2STD_ERR_READER_UNAVAILABLE = -26;   // reader unavailable, ignored or gone
constexpr int PCSC2STD_ERR_SERVICE_STOPPED = -27;      // SCARD_E_SERVICE_STOPPED
constexpr int PCSC2STD_ERR_NO_SERVICE = -28;           // SCARD_E_NO_SERVICE
constexpr int PCSC2STD_ERR_SYSTEM_CANCELLED = -29;     // SCARD_E_SYSTEM_CANCELLED
constexpr int PCSC2STD_ERR_NOT_INITIALIZED = -30;      // InitLibrary has not run

// ---------------------------------------------------------------------------
// Entries
// ---------------------------------------------------------------------------

// Prepares the port table. A further call changes nothing and leaves open
// ports open.
void InitLibrary();

// Opens a port on the reader readerName and starts its card-watch thread.
//   portNumber, subPort: labels of the port; with an empty or missing name
//     they are checked (> 128 / > 32 rejected), otherwise any value is taken.
//   port:      out; the opened port, the existing port for -3, else 255.
//   cardKind:  PCSC2STD_CARD_KIND_T0 or PCSC2STD_CARD_KIND_T1.
//   exclusive: 1 exclusive access when connecting, 0 shared.
// Results:
//   0     the port is open.
//   -30   InitLibrary has not run.
//   -1    no reader name and portNumber > 128.
//   -2    no reader name and subPort > 32.
//   -3    an open port has the same numbers and reader name; *port names it.
//   -8    the port table lock was not obtained, all 128 ports are open, the
//         card kind or exclusive flag is invalid, the name is empty or does
//         not fit, or the card object or its watch thread could not start.
int InitPort(uint32_t portNumber, uint32_t subPort, const char* readerName, uint32_t* port,
             int cardKind, int exclusive);

// Lists the readers PC/SC knows, probing each one. readers must hold
// PCSC2STD_MAX_READERS records; readers beyond that are left out. *count is
// the number of records filled. Needs no InitLibrary.
// Results:
//   0     listed (count 0 when PC/SC reports no readers).
//   -16   no PC/SC context, or the reader list failed.
int GetAllReaders(ReaderInfo* readers, uint32_t* count);

// Closes a port: disconnects its card and stops its card-watch thread.
// Results:
//   0     closed.
//   -4    port >= 128, or the port is not open (also when a concurrent close won).
//   -30   InitLibrary has not run.
int ClosePort(uint32_t port);

// Asks the card for its presence (connecting for the query if needed).
// Results:
//   0     no card (or the card was removed).
//   64    card present.
//   -26   reader unavailable.     -27  service stopped.
//   -28   no service.             -29  system cancelled.
//   -9    any other failure.
//   -4    port >= 128 or not open.
//   -30   InitLibrary has not run.
int CardInside(uint32_t port);

// Asks PC/SC directly for the state of the port's reader. When both atr and
// atrLen are given and a card is present, *atrLen and the ATR bytes (up to
// PCSC2STD_ATR_CAPACITY) are written.
// Results:
//   0     empty reader.
//   64    card present.
//   -26   reader unavailable or ignored.
//   -16   PC/SC context or status query failed, or an unknown state.
//   -4    port >= 128 or not open.
//   -30   InitLibrary has not run.
int CardStatusATR(unsigned char* atr, int32_t* atrLen, uint32_t port);

// Reads the card state the card-watch thread last published; a change is
// reported once.
// Results:
//   0     no card.                128  no card, changed since the last call.
//   64    card present.           192  card present, changed since the last call.
//   -17   the published state is neither empty nor present.
//   -26   reader unavailable or gone.   -27  service stopped.
//   -28   no service.                   -29  system cancelled.
//   -9    the state could not be read (watch thread failed or busy).
//   -4    port >= 128 or not open.
//   -30   InitLibrary has not run.
int CardStatus(uint32_t port);

// Status of the connected card.
//   protocol: out; 0 T=0, 2 raw, 1 otherwise.
//   presence: out; 64 card present/powered, 0 otherwise.
// Results:
//   0     written.
//   -16   not connected, or SCardStatus failed.
//   -4    port >= 128 or not open.
//   -30   InitLibrary has not run.
int CardProtocolState(int32_t* protocol, int32_t* presence, uint32_t port);

// Hands out the reader's PC/SC context and the card handle (0 when not
// connected). Both remain owned by the port.
// Results:
//   0     both written.
//   -1    context or handle out-parameter missing (the context is written
//         when only the handle is missing).
//   -4    port >= 128 or not open.
//   -30   InitLibrary has not run.
int GetCardHandles(SCARDCONTEXT* context, SCARDHANDLE* card, uint32_t port);

// Begins an exclusive PC/SC transaction on the connected card (with up to
// ten attempts and recovery from a reset card).
// Results:
//   0     a transaction is held.
//   -16   not connected, or no attempt both began and saw the card.
//   -4    port >= 128 or not open.
//   -30   InitLibrary has not run.
int StartTransaction(uint32_t port);

// Ends the transaction, leaving the card as it is.
// Results:
//   0     ended.
//   -16   not connected, or SCardEndTransaction (or the reconnect after a
//         reset) failed.
//   -4    port >= 128 or not open.
//   -30   InitLibrary has not run.
int EndTransaction(uint32_t port);

// Drops the card connection (the handle is given up even if PC/SC refuses).
// Results:
//   0     always for an open port, connected or not.
//   -4    port >= 128 or not open.
//   -30   InitLibrary has not run.
int CardDisconnect(uint32_t port);

// Connects to the card and, with coldReset 1, cold-resets it; writes the
// ATR the card-watch thread published. atr must hold PCSC2STD_ATR_CAPACITY
// bytes.
// Results:
//   > 0   the ATR length.
//   -10   no card (SCARD_E_NO_SMARTCARD).
//   -11   connecting failed.
//   -12   the reset or the ATR read failed, or the card was removed or is mute.
//   -26   reader unavailable.     -27  service stopped.
//   -28   no service.             -29  system cancelled.
//   -4    port >= 128 or not open.
//   -30   InitLibrary has not run.
int CardReset(unsigned char* atr, int16_t coldReset, uint32_t port);

// Exchanges one APDU with the connected card.
//   length:   in, the APDU length; out, the response length without the
//             status word.
//   response: receives the response; capacity is its size in bytes.
// Results:
//   >= 0 with a card present: the status word SW1 * 256 + SW2.
//   0 or 128  no card (from CardStatus); nothing was sent.
//   -13   the exchange failed or gave fewer than two bytes.
//   -9, -17, -26..-29  as CardStatus.
//   -4    port >= 128 or not open.
//   -30   InitLibrary has not run.
int ISO(uint32_t* length, const unsigned char* apdu, unsigned char* response, uint32_t capacity,
        uint32_t port);

// Entries without function. The no-op entries return 0, the unsupported
// ones -15; all return -30 before InitLibrary.
int NoOpEntry1(uint32_t ignored);
int NoOpEntry2(uint32_t ignored);
int UnsupportedEntry1(uint32_t ignored);
int UnsupportedEntry2(uint32_t ignored);
int UnsupportedEntry3(uint8_t ignored1, uint32_t ignored2);
int UnsupportedEntry4(uint32_t ignored);

// Waits for a status change of one reader with a watchdog. Each attempt runs
// SCardGetStatusChange(timeoutMs) on a helper thread with its own PC/SC
// context and its own copy of *state; a call that has not answered after
// 500 ms is cancelled (SCardCancel on that context), its thread joined, and
// "terminated !" is printed on standard output. Up to three attempts; the
// first answer ends the wait. When the daemon answers not even the cancels
// (it is stopped), the attempt's threads are left to end on their own once
// it runs again, and the wait returns SCARD_E_TIMEOUT at once; *state is
// then left as it was.
// Results (PC/SC codes):
//   SCARD_S_SUCCESS        answered; state->dwEventState is written.
//   SCARD_E_TIMEOUT        PC/SC's own time-out, or three unanswered attempts.
//   SCARD_E_INVALID_PARAMETER  state is NULL.
//   any other              PC/SC's own result (context or status call).
LONG GetStatusChangeWithWatchdog(DWORD timeoutMs, SCARD_READERSTATE* state);

#endif  // VD_PCSCREAD_PCSC2STD_H
