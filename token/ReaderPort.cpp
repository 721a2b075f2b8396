// The card layer's own reader port over the pcsc2std port API.
#include <cstring>

#include "pcscread/Names.h"
#include "token/cardlib.h"
#include "token/cardlib_internal.h"

int32_t readerPort = CARDLIB_NO_READER_PORT;
char readerPortName[128] = {};

namespace {
ReaderInfo readerBuffer[PCSC2STD_MAX_READERS];
}

int OpenReaderPort(const char* readerName) {
    // A port held from an earlier card would otherwise be lost with its
    // card-watch thread still running.
    if (readerPort != CARDLIB_NO_READER_PORT) CloseReaderPort();
    uint32_t port = PCSC2STD_NO_PORT;
    const int rc = InitPort(0, 0, readerName, &port, PCSC2STD_CARD_KIND_T1, 0);
    if (rc == 0) {
        readerPort = static_cast<int32_t>(port);
        pcscread::CopyName(readerPortName, sizeof readerPortName, readerName);
    }
    return rc;
}

void CloseReaderPort() {
    if (readerPort == CARDLIB_NO_READER_PORT) return;
    ClosePort(static_cast<uint32_t>(readerPort));
    std::memset(readerPortName, 0, sizeof readerPortName);
    readerPort = CARDLIB_NO_READER_PORT;
}

int IsCardPresent() {
    if (readerPort == CARDLIB_NO_READER_PORT) return CARDLIB_ERR_NO_PORT;
    const int state = CardStatus(static_cast<uint32_t>(readerPort));
    switch (state) {
        case 0:
        case PCSC2STD_CARD_CHANGED:
            return 0;
        case PCSC2STD_CARD_PRESENT:
        case PCSC2STD_CARD_PRESENT | PCSC2STD_CARD_CHANGED:
            return 1;
        default:
            return state;
    }
}

int GetReaderList(ReaderInfo* out, uint32_t* count) {
    uint32_t found = 0;
    const int rc = GetAllReaders(readerBuffer, &found);
    if (rc != 0) return rc;
    // The caller holds 16 records; never write past them whatever the
    // port API reports.
    if (found > PCSC2STD_MAX_READERS) found = PCSC2STD_MAX_READERS;
    for (uint32_t i = 0; i < found; ++i) {
        pcscread::CopyName(out[i].name, sizeof out[i].name, readerBuffer[i].name);
        out[i].attribA = readerBuffer[i].attribA;
        out[i].attribB = readerBuffer[i].attribB;
        out[i].status = readerBuffer[i].status;
    }
    *count = found;
    return 0;
}
