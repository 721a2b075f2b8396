// Texts of the reader and card sections, kept apart so that they can be
// checked alone. Nothing here is meant for the sections' callers.
#ifndef VD_APP_REPORTCARDS_INTERNAL_H
#define VD_APP_REPORTCARDS_INTERNAL_H

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

#include "app/ReportCards.h"
#include "pcscread/pcsc2std.h"

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

#endif  // VD_APP_REPORTCARDS_INTERNAL_H
