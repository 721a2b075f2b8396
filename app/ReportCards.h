// The report's reader and card sections: the reader list, the state of every
// reader and its card, and the details of every card read. They run inside
// the report worker and write through a sink, so that they never depend on
// the window that carries the texts to the view.
#ifndef VD_APP_REPORTCARDS_H
#define VD_APP_REPORTCARDS_H

#include <QByteArray>
#include <QString>

#include <cstdint>

#include "pcscread/pcsc2std.h"

// Where the sections' texts go. Every call carries its text by value.
class ReportSink {
public:
    virtual ~ReportSink() = default;
    // Appended in normal weight and the current colour.
    virtual void plain(const QString& text) = 0;
    // Appended in bold or normal weight and the current colour.
    virtual void weighted(const QString& text, bool bold) = 0;
    // The same for UTF-8 text taken from the card layer's records.
    virtual void weighted(const QByteArray& utf8, bool bold) = 0;
    // Appended in the named colour ("red", "blue") and the given weight.
    virtual void coloured(const QString& text, const char* colour, bool bold) = 0;
    // The colour of later pieces that bring none of their own.
    virtual void colour(const char* colour) = 0;
};

// What the reader list hands on to the reader and card state section.
struct ReaderSectionState {
    bool listFailed = false;
    uint32_t count = 0;
    ReaderInfo readers[PCSC2STD_MAX_READERS] = {};
};

// The reader list: heading, then the names of the readers the port API
// lists (at most 16), or the red failure line. When the daemon did not
// answer its wake-up (serviceAnswers false) the list counts as failed
// without a call of the port API, each of which would wait on it for good.
void ReportReaderList(ReportSink& sink, ReaderSectionState& state, bool serviceAnswers = true);

// The state of each listed reader and its card, then the details of every
// card that was read. After a failed reader list only the heading.
void ReportReaderAndCardState(ReportSink& sink, const ReaderSectionState& state);

#endif
