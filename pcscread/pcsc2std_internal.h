// Internals of the port API shared by the reader layer's sources. Nothing
// here is meant for the port API's users.
#ifndef VD_PCSCREAD_PCSC2STD_INTERNAL_H
#define VD_PCSCREAD_PCSC2STD_INTERNAL_H

#include <cstring>

#include <winscard.h>

#include "pcscread/pcsc2std.h"

namespace pcscread {

// The four service-level PC/SC results that the port API passes on under
// codes of its own, whichever entry or thread met them.
struct ServiceError {
    LONG pcsc;
    int code;
};
constexpr ServiceError kServiceErrors[] = {
    {SCARD_E_READER_UNAVAILABLE, PCSC2STD_ERR_READER_UNAVAILABLE},
    {SCARD_E_SYSTEM_CANCELLED, PCSC2STD_ERR_SYSTEM_CANCELLED},
    {SCARD_E_NO_SERVICE, PCSC2STD_ERR_NO_SERVICE},
    {SCARD_E_SERVICE_STOPPED, PCSC2STD_ERR_SERVICE_STOPPED},
};

// The port API's code for a service-level PC/SC result; fallback for any
// other result.
inline int MapServiceError(LONG rc, int fallback) {
    for (const ServiceError& e : kServiceErrors)
        if (e.pcsc == rc) return e.code;
    return fallback;
}

// Whether rc is one of the four service-level PC/SC results.
inline bool IsServiceError(LONG rc) { return MapServiceError(rc, 0) != 0; }

// Whether code is the port API's code of one of them.
inline bool IsServiceErrorCode(long code) {
    for (const ServiceError& e : kServiceErrors)
        if (e.code == code) return true;
    return false;
}

// A status record for one reader that claims to know nothing of it yet, so
// that PC/SC answers at once with the reader's current state.
inline SCARD_READERSTATE FreshReaderState(const char* reader) {
    SCARD_READERSTATE rs;
    std::memset(&rs, 0, sizeof rs);
    rs.szReader = reader;
    rs.dwCurrentState = SCARD_STATE_UNAWARE;
    return rs;
}

}  // namespace pcscread

#endif  // VD_PCSCREAD_PCSC2STD_INTERNAL_H
