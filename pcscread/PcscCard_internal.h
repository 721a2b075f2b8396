// The card object: one card connection on one named reader, with
// reconnects, a cold reset, transactions and APDU exchange.
#ifndef VD_PCSCREAD_PCSCCARD_INTERNAL_H
#define VD_PCSCREAD_PCSCCARD_INTERNAL_H

#include <winscard.h>

#include "pcscread/PcscReader_internal.h"

class PCSC_CARD {
public:
    PCSC_CARD();
    explicit PCSC_CARD(const char* readerName);
    PCSC_CARD(const char* readerName, unsigned long scope);
    // Ports delete card objects through this base.
    virtual ~PCSC_CARD();
    PCSC_CARD(const PCSC_CARD&) = delete;
    PCSC_CARD& operator=(const PCSC_CARD&) = delete;

    LONG GetLastError() const { return lastError; }
    SCARDHANDLE GetCardHandle() const { return hCard; }
    PCSC_READER* Reader() const { return reader; }
    unsigned long InTransaction() const { return inTransaction; }
    DWORD ActiveProtocol() const { return activeProtocol; }
    DWORD ShareMode() const { return shareMode; }

    LONG ConnectCard(DWORD shareMode, DWORD protocols);
    LONG Connect(DWORD shareMode);
    LONG DisconnectCard(DWORD disposition, int force);
    // atrLenOut: in, the capacity of atrOut (at least the published length;
    // PCSC_READER_ATR_SIZE always suffices); out, the ATR length.
    LONG ResetCard(unsigned char* atrOut, DWORD* atrLenOut, short coldReset);
    LONG CardStartTransaction();
    LONG CardEndTransaction(DWORD disposition);
    LONG CardEndTransaction() { return CardEndTransaction(SCARD_LEAVE_CARD); }
    LONG CardTransmit(const SCARD_IO_REQUEST* sendPci, const unsigned char* apdu, DWORD apduLen,
                      SCARD_IO_REQUEST* recvPci, unsigned char* resp, DWORD* respLen);
    // respLen: in, the capacity; out, the length without the status word.
    // *sw is written only when the exchange succeeded with two or more bytes.
    virtual LONG ISO7816_TRANSCEIVER(const unsigned char* apdu, DWORD apduLen, unsigned char* resp,
                                     DWORD* respLen, long* sw);
    LONG CheckPresence(DWORD* state, unsigned char* atrOut, DWORD* atrLenOut);
    LONG QueryStatus(DWORD* readerLenOut, DWORD* state, DWORD* protocolOut, unsigned char* atrOut,
                     DWORD* atrLenOut);
    LONG GetStatus(DWORD* protocolOut, DWORD* stateOut);
    LONG GetHandles(SCARDCONTEXT* contextOut, SCARDHANDLE* cardOut);
    // atrOut may be NULL; it must hold PCSC_READER_ATR_SIZE bytes.
    LONG ReadAtr(unsigned char* atrOut, DWORD* atrLen);

protected:
    // The exchange shared by both kinds: the send PCI follows the protocol
    // actually negotiated.
    LONG Transceive(const unsigned char* apdu, DWORD apduLen, unsigned char* resp, DWORD* respLen, long* sw);
    void SetPresets(DWORD protocol, const SCARD_IO_REQUEST* pci);
    SCARDCONTEXT ReaderContext() const;

    SCARDHANDLE hCard = 0;
    DWORD shareMode = SCARD_SHARE_SHARED;
    DWORD reconnectProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    LONG lastError = 0;
    DWORD activeProtocol = 0;
    DWORD preferredProtocol = 0;
    const SCARD_IO_REQUEST* sendPci = nullptr;
    unsigned long inTransaction = 0;
    PCSC_READER* reader = nullptr;

private:
    void Construct(const char* readerName, unsigned long scope, bool named);
};

// The two kinds differ only in the protocol they prefer and the PCI they
// start with; both exchange through Transceive.
template <DWORD Protocol>
class PCSC_CARD_OF_PROTOCOL : public PCSC_CARD {
public:
    PCSC_CARD_OF_PROTOCOL();
    explicit PCSC_CARD_OF_PROTOCOL(const char* readerName);
    PCSC_CARD_OF_PROTOCOL(const char* readerName, unsigned long scope);
    LONG ISO7816_TRANSCEIVER(const unsigned char* apdu, DWORD apduLen, unsigned char* resp, DWORD* respLen,
                             long* sw) override;
};

extern template class PCSC_CARD_OF_PROTOCOL<SCARD_PROTOCOL_T0>;
extern template class PCSC_CARD_OF_PROTOCOL<SCARD_PROTOCOL_T1>;

class PCSC_CARD_T0 : public PCSC_CARD_OF_PROTOCOL<SCARD_PROTOCOL_T0> {
public:
    using PCSC_CARD_OF_PROTOCOL::PCSC_CARD_OF_PROTOCOL;
};

class PCSC_CARD_T1 : public PCSC_CARD_OF_PROTOCOL<SCARD_PROTOCOL_T1> {
public:
    using PCSC_CARD_OF_PROTOCOL::PCSC_CARD_OF_PROTOCOL;
};

#endif  // VD_PCSCREAD_PCSCCARD_INTERNAL_H
