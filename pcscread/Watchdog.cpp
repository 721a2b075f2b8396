// A status-change wait guarded by a watchdog: PC/SC runs the wait on a
// helper thread, and a call that stops answering is cancelled through its
// own context, never killed inside the PC/SC library.
//
// A daemon that is stopped (not gone) answers nothing at all: the helper's
// calls and every SCardCancel then block in the library until the daemon
// runs again. So cancels are sent from a thread of their own, and a helper
// that a few cancels do not end is left behind. Everything either thread
// touches lives in a record they share with the caller, so neither ever
// writes into the caller's memory or into freed state, and both end on their
// own once the daemon answers again.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "pcscread/Trace_internal.h"
#include "pcscread/pcsc2std.h"

namespace {

using namespace std::chrono_literals;

// How long one attempt may go unanswered.
constexpr auto kWatchdog = 500ms;
// How long cancels are given to end an attempt before its threads are left
// behind; a live daemon answers a cancel within a millisecond.
constexpr auto kCancelGrace = 100ms;
constexpr auto kCancelRepeat = 5ms;
constexpr int kAttempts = 3;

struct StatusChangeWait {
    // Held by the canceller across each SCardCancel, and by the helper while
    // it gives up its context, so that a cancel never meets a released one.
    std::mutex cancelGuard;
    // Guards the fields below; never held across a PC/SC call.
    std::mutex m;
    std::condition_variable cv;
    SCARDCONTEXT context = 0;  // the helper's context while its wait runs
    bool done = false;
    bool abandoned = false;  // the caller has returned without this attempt
    LONG result = SCARD_E_TIMEOUT;
    // The helper's own copy of the caller's record and reader name.
    std::string readerName;
    SCARD_READERSTATE state{};
    DWORD timeoutMs = 0;
};

void StatusChangeThreadProc(std::shared_ptr<StatusChangeWait> wait) {
    SCARDCONTEXT ctx = 0;
    LONG rc = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &ctx);
    if (rc == SCARD_S_SUCCESS) {
        bool run = false;
        {
            std::lock_guard<std::mutex> g(wait->m);
            run = !wait->abandoned;
            if (run) wait->context = ctx;
        }
        wait->cv.notify_all();
        if (run) {
            rc = SCardGetStatusChange(ctx, wait->timeoutMs, &wait->state, 1);
            std::lock_guard<std::mutex> cg(wait->cancelGuard);
            std::lock_guard<std::mutex> g(wait->m);
            wait->context = 0;
        } else {
            rc = SCARD_E_CANCELLED;
        }
        SCardReleaseContext(ctx);
    }
    {
        std::lock_guard<std::mutex> g(wait->m);
        wait->result = rc;
        wait->done = true;
    }
    wait->cv.notify_all();
}

// Cancels the helper's wait until the helper has ended. A cancel that lands
// before the wait has started is lost, so it is repeated.
void CancelUntilDone(std::shared_ptr<StatusChangeWait> wait) {
    std::unique_lock<std::mutex> g(wait->m);
    for (;;) {
        wait->cv.wait(g, [&] { return wait->done || wait->context != 0; });
        if (wait->done) return;
        g.unlock();
        {
            std::lock_guard<std::mutex> cg(wait->cancelGuard);
            SCARDCONTEXT ctx = 0;
            {
                std::lock_guard<std::mutex> g2(wait->m);
                ctx = wait->context;
            }
            if (ctx != 0) SCardCancel(ctx);
        }
        g.lock();
        if (wait->cv.wait_for(g, kCancelRepeat, [&] { return wait->done; })) return;
    }
}

}  // namespace

LONG GetStatusChangeWithWatchdog(DWORD timeoutMs, SCARD_READERSTATE* state) {
    if (state == nullptr) return SCARD_E_INVALID_PARAMETER;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        std::shared_ptr<StatusChangeWait> wait;
        std::thread helper;
        try {
            wait = std::make_shared<StatusChangeWait>();
            wait->state = *state;
            if (state->szReader != nullptr) {
                wait->readerName = state->szReader;
                wait->state.szReader = wait->readerName.c_str();
            }
            wait->timeoutMs = timeoutMs;
            helper = std::thread(StatusChangeThreadProc, wait);
        } catch (...) {
            return SCARD_E_NO_MEMORY;
        }
        std::thread canceller;
        std::unique_lock<std::mutex> g(wait->m);
        const bool answered =
            wait->cv.wait_until(g, std::chrono::steady_clock::now() + kWatchdog, [&] { return wait->done; });
        if (!answered) {
            // On standard output, not in the traces: the one sign of a cut wait that reaches a log.
            std::printf("terminated !");
            std::fflush(stdout);
            g.unlock();
            try {
                canceller = std::thread(CancelUntilDone, wait);
            } catch (...) {
                // Without a canceller the helper ends with its own time-out.
            }
            g.lock();
            if (!wait->cv.wait_until(g, std::chrono::steady_clock::now() + kCancelGrace,
                                     [&] { return wait->done; })) {
                // The daemon does not answer even a cancel. Further attempts
                // would only leave more threads waiting on it.
                wait->abandoned = true;
                g.unlock();
                helper.detach();
                if (canceller.joinable()) canceller.detach();
                pcscread::Trace("GetStatusChangeWithWatchdog: left a wait behind for ",
                                state->szReader != nullptr ? state->szReader : "");
                return SCARD_E_TIMEOUT;
            }
        }
        g.unlock();
        // Once the helper is done no further cancel is sent, so both joins
        // are immediate.
        helper.join();
        if (canceller.joinable()) canceller.join();
        // An answer, a PC/SC time-out included, ends the wait; only a call
        // that did not answer is tried again.
        if (answered) {
            const char* name = state->szReader;
            *state = wait->state;
            state->szReader = name;
            return wait->result;
        }
    }
    return SCARD_E_TIMEOUT;
}
