// A status-change wait guarded by a watchdog: PC/SC runs the wait on a
// helper thread, and a call that stops answering is cancelled through its
// own context and joined, never killed inside the PC/SC library.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "pcscread/Trace.h"
#include "pcscread/pcsc2std.h"

namespace {

using namespace std::chrono_literals;

// How long one attempt may go unanswered.
constexpr auto kWatchdog = 500ms;
constexpr int kAttempts = 3;

struct StatusChangeWait {
    std::mutex m;
    std::condition_variable cv;
    SCARDCONTEXT context = 0;  // the helper's context while it is held
    bool done = false;
    LONG result = SCARD_E_TIMEOUT;
    SCARD_READERSTATE* state = nullptr;
    DWORD timeoutMs = 0;
};

void StatusChangeThreadProc(StatusChangeWait* wait) {
    SCARDCONTEXT ctx = 0;
    LONG rc = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &ctx);
    if (rc == SCARD_S_SUCCESS) {
        {
            std::lock_guard<std::mutex> g(wait->m);
            wait->context = ctx;
        }
        rc = SCardGetStatusChange(ctx, wait->timeoutMs, wait->state, 1);
        {
            std::lock_guard<std::mutex> g(wait->m);
            wait->context = 0;
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

}  // namespace

LONG GetStatusChangeWithWatchdog(DWORD timeoutMs, SCARD_READERSTATE* state) {
    if (state == nullptr) return SCARD_E_INVALID_PARAMETER;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        StatusChangeWait wait;
        wait.state = state;
        wait.timeoutMs = timeoutMs;
        std::thread helper;
        try {
            helper = std::thread(StatusChangeThreadProc, &wait);
        } catch (...) {
            return SCARD_E_NO_MEMORY;
        }
        bool answered = false;
        {
            std::unique_lock<std::mutex> g(wait.m);
            answered = wait.cv.wait_until(g, std::chrono::steady_clock::now() + kWatchdog, [&] { return wait.done; });
            if (!answered) {
                std::printf("terminated !");
                std::fflush(stdout);
                // A cancel that lands before the call has started is lost,
                // so it is repeated until the helper has given up.
                while (!wait.done) {
                    if (wait.context != 0) SCardCancel(wait.context);
                    wait.cv.wait_for(g, 5ms);
                }
            }
        }
        helper.join();
        // An answer, a PC/SC time-out included, ends the wait; only a call
        // that did not answer is tried again.
        if (answered) return wait.result;
    }
    return SCARD_E_TIMEOUT;
}
