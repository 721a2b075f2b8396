// A scriptable stand-in for the PC/SC client library, for the branches a
// real daemon cannot be made to produce. It exports the same SCard*
// functions and send PCIs, and keeps its readers, cards, contexts and
// handles in memory. Tests steer it through the functions below.
#ifndef VD_TESTS_FAKEPCSC_H
#define VD_TESTS_FAKEPCSC_H

#include <cstdint>
#include <string>
#include <vector>

#include <winscard.h>

namespace fakepcsc {

enum class Fn {
    EstablishContext,
    ReleaseContext,
    ListReaders,
    GetStatusChange,
    Connect,
    Reconnect,
    Disconnect,
    BeginTransaction,
    EndTransaction,
    Status,
    Transmit,
    Cancel,
    Count
};

using Bytes = std::vector<uint8_t>;

// Forgets every reader, script, handle and counter, and fails any call that
// is blocked in the fake. Contexts still open are dropped.
void Reset();

// Readers. A new reader is empty.
void AddReader(const std::string& name);
// The reader vanishes: status waits on it answer SCARD_E_UNKNOWN_READER.
void RemoveReader(const std::string& name);
// A card with this ATR (mute: present without a usable ATR, as PC/SC shows a
// card that never answered).
void InsertCard(const std::string& name, const Bytes& atr, bool mute = false);
void RemoveCard(const std::string& name);
// Replaces the reader's state bits (SCARD_STATE_*) as status waits report them.
void SetReaderState(const std::string& name, DWORD stateBits);
// Result of a direct connection (the reader probe) to this reader.
void SetProbeResult(const std::string& name, LONG rc);
// Protocols the card accepts (SCARD_PROTOCOL_T0/T1 mask) and the one it
// picks when offered both.
void SetCardProtocols(const std::string& name, DWORD accepted, DWORD preferred);

// The service: while down, every call answers SCARD_E_NO_SERVICE, and calls
// blocked in a status wait return SCARD_E_SERVICE_STOPPED.
void SetService(bool up);
// An unresponsive service: status waits answer nothing, ignore their
// time-out and stay blocked until cancelled (SCardCancel), the service
// stops, or this is switched off.
void SetStatusChangeHangs(bool hang);

// The next call of fn returns rc without doing anything (rc == 0: the call
// runs normally). Results queue up in order.
void PushResult(Fn fn, LONG rc);
// Drops the results still queued for fn.
void ClearResults(Fn fn);
// The next successful SCardTransmit answers these bytes. Without a queued
// answer the card answers 90 00.
void PushResponse(const Bytes& response);

// Observations.
int CallCount(Fn fn);
int OpenContexts();
int OpenHandles();
// Status waits currently blocked inside the fake.
int BlockedStatusWaits();
std::vector<Bytes> TransmittedApdus();
// The send PCI of the last SCardTransmit.
const SCARD_IO_REQUEST* LastSendPci();
// dwInitialization of every SCardReconnect, in order.
std::vector<DWORD> ReconnectInits();
// dwShareMode of every SCardConnect, in order (probes included).
std::vector<DWORD> ConnectShareModes();

}  // namespace fakepcsc

#endif  // VD_TESTS_FAKEPCSC_H
