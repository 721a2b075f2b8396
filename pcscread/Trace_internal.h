// Trace builders of the reader-access layer. Every step builds a line and
// hands it to TraceOutput, which discards it; nothing reaches the user. The
// last line built is kept for the layer's tests.
#ifndef VD_PCSCREAD_TRACE_INTERNAL_H
#define VD_PCSCREAD_TRACE_INTERNAL_H

#include <cstddef>

namespace pcscread {

// Size of the line buffers: lines without a line end, and with one.
constexpr size_t kTraceShort = 512;
constexpr size_t kTraceLong = 2048;

// The sink: discards the line, returns 0.
int TraceOutput(const char* text);

// message + second text
int Trace(const char* message, const char* text);
// message + " -> " + value as %d
int TraceInt(const char* message, long value);
// message + " -> " + value as %08X
int TraceHex(const char* message, unsigned long value);
// message + " -> " + bytes as %02X, with ":" after each byte when separate is set
int TraceBytes(const char* message, const unsigned char* bytes, size_t count, bool separate);

// The same four forms, and the message alone, ending the line with CR LF.
int TraceLine(const char* message);
int TraceLine(const char* message, const char* text);
int TraceIntLine(const char* message, long value);
int TraceHexLine(const char* message, unsigned long value);
int TraceBytesLine(const char* message, const unsigned char* bytes, size_t count, bool separate);

// One nanosleep of ms milliseconds; an interrupting signal ends it early.
void SleepMilliseconds(unsigned long ms);

// The text the last builder handed to TraceOutput on this thread; lets the
// builders be checked without an output channel.
const char* LastTraceText();

}  // namespace pcscread

#endif  // VD_PCSCREAD_TRACE_INTERNAL_H
