// The report's reader and card sections: the reader list, the state of every
// reader and its card, and the details of every card read. The report
// worker runs them between the frame's sections (ReportFrame.h).
#ifndef VD_APP_REPORTCARDS_H
#define VD_APP_REPORTCARDS_H

#include <cstdint>

#include "app/ReportSink.h"
#include "pcscread/pcsc2std.h"

// What the reader list hands on to the reader and card state section.
struct ReaderSectionState {
    bool listFailed = false;
    uint32_t count = 0;
    ReaderInfo readers[PCSC2STD_MAX_READERS] = {};
};

// The reader list: heading, then the names of the readers the port API
// lists (at most 16), or the red failure line. When the daemon did not
// answer its wake-up (serviceAnswers false) the list counts as failed
// without a call of the port API, each of which would wait on it for good;
// so does a list that has not come back within 10 s (a reader's driver
// that waits on its card holds it), which is left to finish on its own.
void ReportReaderList(ReportSink& sink, ReaderSectionState& state, bool serviceAnswers = true);

// The state of each listed reader and its card, then the details of every
// card that was read. After a failed reader list only the heading.
void ReportReaderAndCardState(ReportSink& sink, const ReaderSectionState& state);

#endif
