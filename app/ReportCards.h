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

// Texts of the sections, kept apart so that they can be checked alone.

// "  " + each name + "\n" + "  " ..., then "\n". Names are read up to their
// terminating zero or the end of the field, whichever comes first.
QString ReaderListText(const ReaderInfo* readers, uint32_t count);

// message + " - " + code in decimal + "\n\n".
QString CodeLine(const char* message, int code);

// The ATR as colon-separated hex, 32 bytes a line, then "\n". Lengths beyond
// the port API's ATR capacity are cut to it.
QString AtrLine(const unsigned char* atr, int length);

// The low 32 bits of an object handle as at least eight upper-case hex digits.
QString HandleText(uint64_t handle);

// An object identifier as one run of hex digits; a line feed follows unless
// it is one byte long. At most idCapacity bytes are read.
QString IdentifierText(const uint8_t* id, uint64_t idLength, size_t idCapacity);

// A zero-terminated text of a fixed field, read no further than the field.
QByteArray FieldText(const char* field, size_t size);

#endif
