// Internals of the reader object for the layer's tests. Nothing here is
// meant for the port API's users.
#ifndef VD_PCSCREAD_PCSCREADER_INTERNAL_H
#define VD_PCSCREAD_PCSCREADER_INTERNAL_H

#include "pcscread/PcscReader.h"

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
