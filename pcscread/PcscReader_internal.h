// One named reader and its card-watch thread, which follows the reader's
// state through PC/SC and publishes the state word and the ATR; and the
// layer's tests' access to the thread and its lock.
#ifndef VD_PCSCREAD_PCSCREADER_INTERNAL_H
#define VD_PCSCREAD_PCSCREADER_INTERNAL_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

#include <winscard.h>

#include "pcscread/PcscSession_internal.h"
#include "pcscread/Sync_internal.h"

// Size of the reader name field, terminating zero included.
constexpr size_t PCSC_READER_NAME_SIZE = 128;
// Size of the published ATR store.
constexpr size_t PCSC_READER_ATR_SIZE = MAX_ATR_SIZE;

class PCSC_READER {
public:
    PCSC_READER();
    explicit PCSC_READER(const char* name);
    PCSC_READER(const char* name, unsigned long scope);
    ~PCSC_READER();
    PCSC_READER(const PCSC_READER&) = delete;
    PCSC_READER& operator=(const PCSC_READER&) = delete;

    // 0, -5 for a missing or empty name, -8 for a name that does not fit
    // (the reader keeps its old name then).
    long AssignName(const char* name);
    const char* ReaderName() const { return name; }
    long GetLastError() const { return lastError; }
    PCSC_SESSION* Session() const { return session; }

    // Starts the card-watch thread and waits until it has seen the reader
    // once. 0, or -24 when it could not start or did not answer in time.
    long StartThread();
    // The state published last; a change is handed out once. state and atr
    // (PCSC_READER_ATR_SIZE bytes) are written only on success, atr only
    // with a change. -24 when the lock stays busy, and when the watch thread
    // has failed: that read starts a new thread for the next one.
    long GetCardState(unsigned long* state, unsigned long* atrLen, unsigned char* atr);
    // The published ATR (atr holds PCSC_READER_ATR_SIZE bytes). 0 / -24.
    long GetATR(unsigned long* atrLen, unsigned char* atr);
    // The published state word, read without waiting.
    unsigned long GetEventState() const { return eventState.load(std::memory_order_acquire); }

    long SelectReader(char* nameBuf, size_t nameSize, unsigned long index);
    unsigned short ReaderExists(const char* name);

private:
    // Test access, below.
    friend struct PcscReaderTestAccess;

    void Construct(const char* name, unsigned long scope);

    // The card-watch thread. Its loop state lives in a Watch; each pass
    // tells what comes next: another pass (after the stop poll), the
    // normal end on a stop request, or the failure end when a publication
    // could not take the lock.
    struct Watch;
    enum class WatchNext { NextPass, Stop, Fail };
    static void ThreadCheckCard(PCSC_READER* reader);
    void ThreadBody();
    WatchNext WatchPass(Watch& w);
    WatchNext AfterStatusError(Watch& w, LONG rc);
    WatchNext PublishReaderGone(Watch& w, unsigned long ev);
    WatchNext AskAgainForAtr(Watch& w, unsigned long ev);
    WatchNext PublishChange(Watch& w, unsigned long ev, bool retriesUsedUp);
    void SendAckIfNeeded(bool* ackSent);
    // Waits up to `wait` for a stop request; true when a stop was asked for.
    bool StopRequestedWithin(std::chrono::milliseconds wait);
    bool PublishState(const SCARD_READERSTATE& rs);
    bool PublishError(LONG rc);
    // Asks the thread to stop, wakes it out of PC/SC and joins it.
    void StopThread();
    void SetThreadContext(SCARDCONTEXT ctx);

    char name[PCSC_READER_NAME_SIZE] = {0};
    long lastError = 0;

    pcscread::Event stopEvent;
    pcscread::Event ackEvent;
    pcscread::Event endedEvent;
    // Set after each publication. Nothing in the layer waits on it; it is kept for whoever wants to.
    pcscread::Event waitEvent;
    // The watch thread ended on a failure, or could not be started: the
    // next state read starts a new one.
    std::atomic<bool> threadFailed{false};
    // Held by the state read that restarts a failed thread.
    std::mutex restartMutex;

    pcscread::TimedLock threadSemaphore;
    std::atomic<unsigned long> eventState{SCARD_STATE_UNKNOWN};
    unsigned long reportedState = SCARD_STATE_UNKNOWN;
    long cardStateOperationResult = 0;
    unsigned long atrLength = 0;
    unsigned char atr[PCSC_READER_ATR_SIZE] = {0};

    std::thread thread;
    // The watch thread's own context, kept so that a stop can cancel its
    // blocking status call; guarded by contextMutex.
    std::mutex contextMutex;
    SCARDCONTEXT threadContext = 0;

    PCSC_SESSION* session = nullptr;
};


struct PcscReaderTestAccess {
    // Whether a watch thread object exists (running, or ended but not yet
    // joined).
    static bool HasThread(const PCSC_READER& reader) { return reader.thread.joinable(); }
    // Whether the watch thread ended on a failure.
    static bool ThreadFailed(const PCSC_READER& reader) { return reader.threadFailed; }
    // The lock of the published state; a test that holds it past the watch
    // thread's wait for it makes the thread fail.
    static pcscread::TimedLock& StateLock(PCSC_READER& reader) { return reader.threadSemaphore; }
};

#endif  // VD_PCSCREAD_PCSCREADER_INTERNAL_H
