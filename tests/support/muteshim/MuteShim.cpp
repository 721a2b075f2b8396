// Preloaded over the real libpcsclite, this makes every present card look
// like a card that does not power up, the way the library shows one: no
// ATR (cbAtr 0), SCARD_STATE_MUTE set, and a pause of 400 ms inside every
// status call that reports it. The virtual card cannot be mute itself: an
// empty ATR makes the vpcd reader look empty.
#include <dlfcn.h>
#include <time.h>
#include <winscard.h>

#include <cstring>
#include <vector>

namespace {

using StatusChangeFn = LONG (*)(SCARDCONTEXT, DWORD, SCARD_READERSTATE*, DWORD);

StatusChangeFn RealStatusChange() {
    static const StatusChangeFn real =
        reinterpret_cast<StatusChangeFn>(dlsym(RTLD_NEXT, "SCardGetStatusChange"));
    return real;
}

// libpcsclite's own pause for a present card without an ATR.
constexpr long kMutePauseMs = 400;

}  // namespace

extern "C" {

// Lets a test make sure that it runs with this library preloaded.
int vd_muteshim_active(void) { return 1; }

LONG SCardGetStatusChange(SCARDCONTEXT hContext, DWORD dwTimeout, SCARD_READERSTATE* rgReaderStates,
                          DWORD cReaders) {
    const StatusChangeFn real = RealStatusChange();
    if (real == nullptr) return SCARD_F_INTERNAL_ERROR;
    // The library compares the caller's current state with what it itself
    // reported, so the mute bit it never set is hidden from it.
    std::vector<DWORD> current;
    for (DWORD i = 0; rgReaderStates != nullptr && i < cReaders; ++i) {
        current.push_back(rgReaderStates[i].dwCurrentState);
        rgReaderStates[i].dwCurrentState &= ~static_cast<DWORD>(SCARD_STATE_MUTE);
    }
    const LONG rc = real(hContext, dwTimeout, rgReaderStates, cReaders);
    bool mute = false;
    for (DWORD i = 0; i < current.size(); ++i) {
        SCARD_READERSTATE& r = rgReaderStates[i];
        r.dwCurrentState = current[i];
        if (rc == SCARD_S_SUCCESS && (r.dwEventState & SCARD_STATE_PRESENT)) {
            r.dwEventState |= SCARD_STATE_MUTE;
            r.cbAtr = 0;
            std::memset(r.rgbAtr, 0, sizeof r.rgbAtr);
            mute = true;
        }
    }
    if (mute) {
        struct timespec pause = {0, kMutePauseMs * 1000000L};
        nanosleep(&pause, nullptr);
    }
    return rc;
}

}  // extern "C"
