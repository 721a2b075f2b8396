#include "pcscread/PcscReader_internal.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "pcscread/pcsc2std.h"
#include "pcscread/pcsc2std_internal.h"
#include "pcscread/Names.h"
#include "pcscread/Trace_internal.h"

using namespace std::chrono_literals;
using pcscread::DeadlineIn;
using pcscread::Trace;
using pcscread::TraceHex;

namespace {

// How long one status wait of the card-watch thread may block in PC/SC; a
// stop request is looked at between two waits (a stop also cancels one).
constexpr DWORD kStatusWaitMs = 500;
// The pause after a failed status wait, so that a lasting failure is asked
// about again ten times a second rather than in a busy loop.
constexpr auto kErrorPause = 100ms;
// How often a card that shows no ATR is asked again before its state is
// published as it stands, and the pause before each question.
constexpr int kAtrRetries = 10;
constexpr auto kAtrRetryPause = 100ms;
// The shorter pause before asking again about a reader that calls itself
// unavailable.
constexpr auto kUnavailableRetryPause = 10ms;
// How long the start waits for the thread's first answer, and how long a
// stop keeps cancelling the thread's status wait before it joins the thread.
constexpr auto kHandshakeWait = 2000ms;
// How often a stop repeats its cancel of the thread's status wait.
constexpr auto kStopCancelRepeat = 10ms;
// How long the thread waits for the publication lock before it gives up.
constexpr auto kPublishLockWait = 2000ms;
// How long a state read waits for the lock: a caller that polls the card
// state must not stall behind the thread.
constexpr auto kStateReadLockWait = 200ms;
// How long an ATR read waits for the lock.
constexpr auto kAtrReadLockWait = 1000ms;

// Results of the status wait that the thread publishes as service errors.
bool IsPublishedError(LONG rc) { return pcscread::IsServiceError(rc) || rc == SCARD_E_UNKNOWN_READER; }

// PC/SC keeps an event counter in the upper half of the state word; only
// the state bits are published.
constexpr unsigned long kStateBits = 0xFFFFUL;

// Whether a changed state is asked about again before it is published: a
// card present without its ATR, or a reader that calls itself unavailable.
bool WantsAtrRetry(const SCARD_READERSTATE& rs) {
    return ((rs.dwEventState & SCARD_STATE_PRESENT) && rs.cbAtr == 0) ||
           (rs.dwEventState & SCARD_STATE_UNAVAILABLE);
}

// What a card that never gave its ATR is published as: absent, unless PC/SC
// calls it mute, in which case it stays as reported.
unsigned long StateWithoutAtr(unsigned long ev) {
    if (ev & SCARD_STATE_MUTE) return ev;
    return (ev & ~static_cast<unsigned long>(SCARD_STATE_PRESENT)) | SCARD_STATE_EMPTY;
}

// A session of its own with an established context, or NULL.
PCSC_SESSION* NewSessionWithContext(unsigned long scope) {
    PCSC_SESSION* s = new (std::nothrow) PCSC_SESSION(scope);
    if (s != nullptr && s->GetLastError() != SCARD_S_SUCCESS) {
        s->ReleaseContext();
        delete s;
        s = nullptr;
    }
    return s;
}

}  // namespace

// The card-watch thread's state from one pass of its loop to the next.
struct PCSC_READER::Watch {
    Watch(SCARDCONTEXT ctx, const char* reader) : context(ctx), rs(pcscread::FreshReaderState(reader)) {}

    // The thread's own context; a stop cancels its status wait through it.
    const SCARDCONTEXT context;
    // What PC/SC answered last. dwCurrentState is the state the next wait
    // starts from: the last one seen, or SCARD_STATE_UNAWARE to be answered
    // at once.
    SCARD_READERSTATE rs;
    // Questions left for a card that shows no ATR yet.
    int atrLoops = kAtrRetries;
    // Whether the start has been acknowledged.
    bool ackSent = false;
    // The state published for the start while ATR retries still run, 0 once
    // a later publication has replaced it.
    unsigned long provisional = 0;
};

PCSC_READER::PCSC_READER() { Construct(nullptr, SCARD_SCOPE_USER); }

PCSC_READER::PCSC_READER(const char* readerName) { Construct(readerName, SCARD_SCOPE_USER); }

PCSC_READER::PCSC_READER(const char* readerName, unsigned long scope) { Construct(readerName, scope); }

void PCSC_READER::Construct(const char* readerName, unsigned long scope) {
    session = NewSessionWithContext(scope);
    if (session == nullptr) {
        lastError = PCSC2STD_ERR_THREAD;
        return;
    }
    name[0] = '\0';
    if (readerName != nullptr) AssignName(readerName);
    lastError = 0;
}

PCSC_READER::~PCSC_READER() {
    StopThread();
    if (session != nullptr) {
        session->ReleaseContext();
        delete session;
        session = nullptr;
    }
}

long PCSC_READER::AssignName(const char* readerName) {
    if (readerName == nullptr || readerName[0] == '\0') return PCSC2STD_ERR_EMPTY_READER_NAME;
    // A cut name would watch a different reader, so a name that does not
    // fit is refused rather than shortened.
    if (std::strlen(readerName) >= sizeof name) return PCSC2STD_ERR_INIT_PORT;
    pcscread::CopyName(name, sizeof name, readerName);
    return 0;
}

void PCSC_READER::SetThreadContext(SCARDCONTEXT ctx) {
    std::lock_guard<std::mutex> g(contextMutex);
    threadContext = ctx;
}

long PCSC_READER::StartThread() {
    if (thread.joinable()) StopThread();  // a failed thread is reclaimed first
    ackEvent.Reset();
    endedEvent.Reset();
    stopEvent.Reset();
    SetThreadContext(0);
    threadFailed = false;
    try {
        thread = std::thread(&PCSC_READER::ThreadCheckCard, this);
    } catch (...) {
        threadFailed = true;  // no thread: the next state read starts one
        lastError = PCSC2STD_ERR_THREAD;
        return lastError;
    }
    // The thread acknowledges once it has had its first answer from PC/SC,
    // or when it fails before that.
    if (!ackEvent.WaitUntil(DeadlineIn(kHandshakeWait)) || threadFailed) {
        Trace("PCSC_READER::StartThread: card-watch thread did not start for ", name);
        StopThread();
        threadFailed = true;  // as above, once the failed thread is reclaimed
        lastError = PCSC2STD_ERR_THREAD;
        return lastError;
    }
    lastError = 0;
    return 0;
}

void PCSC_READER::StopThread() {
    if (!thread.joinable()) return;
    {
        std::lock_guard<std::mutex> g(contextMutex);
        stopEvent.Set();
        if (threadContext != 0) SCardCancel(threadContext);
    }
    // A cancel that arrives between two status calls is lost, so it is
    // repeated until the thread has ended; each status call lasts at most
    // kStatusWaitMs in any case, so the join below is bounded as well.
    const auto deadline = DeadlineIn(kHandshakeWait);
    while (!endedEvent.WaitUntil(std::min(DeadlineIn(kStopCancelRepeat), deadline))) {
        if (pcscread::Clock::now() >= deadline) break;
        std::lock_guard<std::mutex> g(contextMutex);
        if (threadContext != 0) SCardCancel(threadContext);
    }
    thread.join();
    threadFailed = false;
}

bool PCSC_READER::StopRequestedWithin(std::chrono::milliseconds wait) {
    return stopEvent.WaitUntil(DeadlineIn(wait));
}

void PCSC_READER::SendAckIfNeeded(bool* ackSent) {
    if (*ackSent) return;
    ackEvent.Set();
    *ackSent = true;
}

bool PCSC_READER::PublishState(const SCARD_READERSTATE& rs) {
    {
        std::unique_lock<pcscread::TimedLock> published(threadSemaphore, DeadlineIn(kPublishLockWait));
        if (!published.owns_lock()) return false;
        eventState.store(rs.dwEventState & kStateBits, std::memory_order_release);
        cardStateOperationResult = 0;
        atrLength = rs.cbAtr <= sizeof atr ? rs.cbAtr : sizeof atr;
        std::memcpy(atr, rs.rgbAtr, atrLength);
    }
    waitEvent.Set();
    return true;
}

bool PCSC_READER::PublishError(LONG rc) {
    {
        std::unique_lock<pcscread::TimedLock> published(threadSemaphore, DeadlineIn(kPublishLockWait));
        if (!published.owns_lock()) return false;
        cardStateOperationResult = rc;
    }
    waitEvent.Set();
    return true;
}

void PCSC_READER::ThreadCheckCard(PCSC_READER* reader) { reader->ThreadBody(); }

// The card-watch thread: passes of one status wait each. It ends
//  - at once when it gets no context of its own, telling the start so;
//  - on a stop request: at the stop poll between two passes, which does not
//    wait, or during a pause inside a pass (after a failed status wait, or
//    before asking again for an ATR);
//  - on the failure end, when a publication cannot take the lock.
void PCSC_READER::ThreadBody() {
    PCSC_SESSION* own = NewSessionWithContext(SCARD_SCOPE_USER);
    if (own == nullptr) {
        // No context to watch with: the start is told at once.
        threadFailed = true;
        ackEvent.Set();
        endedEvent.Set();
        return;
    }
    Watch w(own->GetContext(), name);
    SetThreadContext(w.context);

    WatchNext next = WatchNext::NextPass;
    while (next == WatchNext::NextPass && !stopEvent.IsSet()) next = WatchPass(w);

    SetThreadContext(0);
    own->ReleaseContext();
    delete own;
    if (next == WatchNext::Fail) {
        TraceHex("PCSC_READER::ThreadCheckCard failed", 0);
        threadFailed = true;
        ackEvent.Set();
    }
    endedEvent.Set();
}

// One status wait and what its answer asks for.
PCSC_READER::WatchNext PCSC_READER::WatchPass(Watch& w) {
    const LONG rc = SCardGetStatusChange(w.context, kStatusWaitMs, &w.rs, 1);
    // Any answer but a time-out or a change acknowledges the start; a change
    // does so once it is published.
    if ((rc != SCARD_S_SUCCESS || (w.rs.dwEventState & SCARD_STATE_CHANGED) == 0) && rc != SCARD_E_TIMEOUT)
        SendAckIfNeeded(&w.ackSent);

    if (rc == SCARD_E_TIMEOUT) return WatchNext::NextPass;
    if (rc != SCARD_S_SUCCESS) return AfterStatusError(w, rc);

    const unsigned long ev = w.rs.dwEventState;
    if ((ev & SCARD_STATE_CHANGED) == 0) {
        w.rs.dwCurrentState = ev;
        return WatchNext::NextPass;
    }
    if (ev & (SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE)) return PublishReaderGone(w, ev);
    const bool wantRetry = WantsAtrRetry(w.rs);
    if (wantRetry && w.atrLoops > 0) return AskAgainForAtr(w, ev);
    return PublishChange(w, ev, wantRetry);
}

// A failed status wait: a service error is published, then a pause.
PCSC_READER::WatchNext PCSC_READER::AfterStatusError(Watch& w, LONG rc) {
    if (IsPublishedError(rc)) {
        if (!PublishError(rc)) return WatchNext::Fail;
        // The published error stays until a state is published again;
        // asking afresh makes the first answer after the condition ends such
        // a publication, even when the reader's state looks as it did before.
        w.rs.dwCurrentState = SCARD_STATE_UNAWARE;
        w.provisional = 0;
    }
    return StopRequestedWithin(kErrorPause) ? WatchNext::Stop : WatchNext::NextPass;
}

// The reader has gone: it is reported unavailable instead of leaving its
// last card state in place, and the thread waits for it to come back.
PCSC_READER::WatchNext PCSC_READER::PublishReaderGone(Watch& w, unsigned long ev) {
    if (!PublishError(SCARD_E_UNKNOWN_READER)) return WatchNext::Fail;
    w.provisional = 0;
    SendAckIfNeeded(&w.ackSent);
    w.rs.dwCurrentState = ev;
    return WatchNext::NextPass;
}

// A change without an ATR while questions are left: after a pause the next
// wait asks afresh, so PC/SC answers at once.
PCSC_READER::WatchNext PCSC_READER::AskAgainForAtr(Watch& w, unsigned long ev) {
    if (!w.ackSent) {
        // PC/SC pauses inside every status call for a card that does not
        // power up, so the retries can outlast the start deadline. The start
        // is acknowledged now, showing the state the card gets if it never
        // gives an ATR; the retries go on.
        SCARD_READERSTATE shown = w.rs;
        shown.dwEventState = StateWithoutAtr(ev);
        if (!PublishState(shown)) return WatchNext::Fail;
        SendAckIfNeeded(&w.ackSent);
        w.provisional = shown.dwEventState & kStateBits;
    }
    const auto pause = (ev & SCARD_STATE_UNAVAILABLE) ? kUnavailableRetryPause : kAtrRetryPause;
    if (StopRequestedWithin(pause)) return WatchNext::Stop;
    w.rs.dwCurrentState = SCARD_STATE_UNAWARE;
    --w.atrLoops;
    return WatchNext::NextPass;
}

// A change to publish: as PC/SC reports it, or, once the questions for an
// ATR are used up, as the state the card gets without one.
PCSC_READER::WatchNext PCSC_READER::PublishChange(Watch& w, unsigned long ev, bool retriesUsedUp) {
    if (retriesUsedUp) w.rs.dwEventState = StateWithoutAtr(ev);
    w.atrLoops = kAtrRetries;
    // The outcome of the retries is published unless it is just what the
    // start already showed, which would report one change twice.
    const bool shownAlready = retriesUsedUp && w.provisional == (w.rs.dwEventState & kStateBits);
    w.provisional = 0;
    if (!shownAlready && !PublishState(w.rs)) return WatchNext::Fail;
    SendAckIfNeeded(&w.ackSent);
    // Wait for PC/SC's next real change, not for the state published in
    // place of a card without an ATR.
    w.rs.dwCurrentState = ev;
    return WatchNext::NextPass;
}

long PCSC_READER::GetCardState(unsigned long* state, unsigned long* atrLenOut, unsigned char* atrOut) {
    {
        // Readers on other threads wait here while one restarts the thread.
        std::lock_guard<std::mutex> restart(restartMutex);
        if (threadFailed) {
            // A watch thread that ended on a failure publishes nothing more,
            // so what it left is stale: a new thread answers the next read,
            // and this one fails. While none can be started, every read
            // fails and tries again.
            StartThread();
            return PCSC2STD_ERR_THREAD;
        }
    }
    std::unique_lock<pcscread::TimedLock> published(threadSemaphore, DeadlineIn(kStateReadLockWait));
    if (!published.owns_lock()) return PCSC2STD_ERR_THREAD;
    long result = 0;
    if (cardStateOperationResult != 0) {
        // A reader that has gone is reported as one that is unavailable.
        const LONG published = cardStateOperationResult == SCARD_E_UNKNOWN_READER ? SCARD_E_READER_UNAVAILABLE
                                                                                   : cardStateOperationResult;
        result = pcscread::MapServiceError(published, PCSC2STD_ERR_THREAD);
    } else {
        unsigned long ev = eventState.load(std::memory_order_relaxed);
        unsigned long out = ev;
        if (ev & SCARD_STATE_CHANGED) {
            if (ev & SCARD_STATE_PRESENT) {
                if (reportedState & SCARD_STATE_EMPTY) {
                    reportedState = (reportedState | SCARD_STATE_PRESENT) & ~static_cast<unsigned long>(SCARD_STATE_EMPTY);
                } else {
                    // Present after present may be the same card or a swap; neither counts, the ATR still goes out.
                    out &= ~static_cast<unsigned long>(SCARD_STATE_CHANGED);
                }
            } else {
                reportedState = ev;
            }
            if (atrLenOut != nullptr) *atrLenOut = atrLength;
            if (atrOut != nullptr) std::memcpy(atrOut, atr, atrLength);
            eventState.store(ev & ~static_cast<unsigned long>(SCARD_STATE_CHANGED), std::memory_order_release);
        }
        if (state != nullptr) *state = out;
    }
    return result;
}

long PCSC_READER::GetATR(unsigned long* atrLenOut, unsigned char* atrOut) {
    std::unique_lock<pcscread::TimedLock> published(threadSemaphore, DeadlineIn(kAtrReadLockWait));
    if (!published.owns_lock()) return PCSC2STD_ERR_THREAD;
    if (atrLenOut != nullptr) *atrLenOut = atrLength;
    if (atrOut != nullptr) std::memcpy(atrOut, atr, atrLength);
    return 0;
}

long PCSC_READER::SelectReader(char* nameBuf, size_t nameSize, unsigned long index) {
    if (session == nullptr) return lastError = PCSC2STD_ERR_THREAD;
    if (session->GetReaderName(nameBuf, nameSize, index)) {
        AssignName(nameBuf);
        unsigned short a = 63, b = 63;
        session->GetReaderAttribs(nameBuf, &a, &b, nullptr);
    }
    lastError = session->GetLastError();
    return lastError;
}

unsigned short PCSC_READER::ReaderExists(const char* readerName) {
    if (session == nullptr) {
        lastError = PCSC2STD_ERR_THREAD;
        return 0;
    }
    unsigned short found = static_cast<unsigned short>(session->ReaderExists(readerName));
    lastError = session->GetLastError();
    return found;
}
