#include "pcscread/PcscSession_internal.h"

#include <cstring>

#include "pcscread/Names.h"
#include "pcscread/Trace_internal.h"

using pcscread::Trace;
using pcscread::TraceHex;

PCSC_SESSION::PCSC_SESSION() { EstablishContext(SCARD_SCOPE_USER); }

PCSC_SESSION::PCSC_SESSION(unsigned long scopeIn) { EstablishContext(scopeIn); }

LONG PCSC_SESSION::EstablishContext(unsigned long scopeIn) {
    hContext = 0;
    lastError = SCardEstablishContext(scopeIn, nullptr, nullptr, &hContext);
    if (lastError != SCARD_S_SUCCESS) {
        contextValid = 0;
        hContext = 0;
        TraceHex("PCSC_SESSION::EstablishContext failed", static_cast<unsigned long>(lastError));
    } else {
        contextValid = 1;
        scope = scopeIn;
    }
    return lastError;
}

void PCSC_SESSION::ReleaseContext() {
    if (hContext == 0) return;
    lastError = SCardReleaseContext(hContext);
    if (lastError == SCARD_S_SUCCESS) {
        hContext = 0;
        contextValid = 0;
    } else {
        TraceHex("PCSC_SESSION::ReleaseContext failed", static_cast<unsigned long>(lastError));
    }
}

LONG PCSC_SESSION::ReestablishContext(unsigned long scopeIn) {
    ReleaseContext();
    if (hContext != 0) return lastError;  // the release failed
    return EstablishContext(scopeIn);
}

LONG PCSC_SESSION::ListReaders(const char* groups, char* buffer, DWORD* size) {
    lastError = SCardListReaders(hContext, groups, buffer, size);
    return lastError;
}

LONG PCSC_SESSION::FindAllReaders(char* buffer, DWORD* size) { return ListReaders(nullptr, buffer, size); }

namespace {

// Walks a PC/SC multi-string of `size` bytes; calls f(name, length) for
// each complete name until f returns true. Returns whether it did.
template <typename F>
bool WalkNames(const char* list, DWORD size, F f) {
    DWORD start = 0;
    for (DWORD i = 0; i < size; ++i) {
        if (list[i] != '\0') continue;
        if (i == start) return false;  // the empty name ends the list
        if (f(list + start, static_cast<size_t>(i - start))) return true;
        start = i + 1;
    }
    return false;
}

}  // namespace

int PCSC_SESSION::GetReaderName(char* nameOut, size_t nameSize, unsigned long index) {
    char list[PCSC_SESSION_LIST_SIZE];
    DWORD size = sizeof list;
    if (FindAllReaders(list, &size) != SCARD_S_SUCCESS) return 0;
    if (size > sizeof list) size = sizeof list;
    unsigned long counted = 0;
    bool found = WalkNames(list, size, [&](const char* name, size_t len) {
        if (counted++ != index) return false;
        pcscread::CopyName(nameOut, nameSize, name, len);
        return true;
    });
    return found ? 1 : 0;
}

int PCSC_SESSION::ReaderExists(const char* name) {
    if (name == nullptr) return 0;
    char list[PCSC_SESSION_LIST_SIZE];
    DWORD size = sizeof list;
    if (FindAllReaders(list, &size) != SCARD_S_SUCCESS) return 0;
    if (size > sizeof list) size = sizeof list;
    size_t wanted = std::strlen(name);
    bool found = WalkNames(list, size, [&](const char* listed, size_t len) {
        return len == wanted && std::memcmp(listed, name, len) == 0;
    });
    return found ? 1 : 0;
}

LONG PCSC_SESSION::GetReaderAttribs(const char* readerName, unsigned short*, unsigned short*, void*) {
    SCARDHANDLE h = 0;
    DWORD protocol = 0;
    lastError = SCardConnect(hContext, readerName, SCARD_SHARE_DIRECT, 0, &h, &protocol);
    if (lastError == SCARD_S_SUCCESS) {
        SCardDisconnect(h, SCARD_LEAVE_CARD);
        return 0;
    }
    if (lastError == SCARD_E_INVALID_VALUE) {
        h = 0;
        lastError = SCardConnect(hContext, readerName, SCARD_SHARE_SHARED,
                                 SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &h, &protocol);
        if (lastError == SCARD_S_SUCCESS) SCardDisconnect(h, SCARD_LEAVE_CARD);
        return lastError;
    }
    Trace("PCSC_SESSION::GetReaderAttribs probe failed for ", readerName);
    return lastError;
}
