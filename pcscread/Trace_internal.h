// Internals of the trace builders for the layer's tests. Nothing here is
// meant for the builders' users.
#ifndef VD_PCSCREAD_TRACE_INTERNAL_H
#define VD_PCSCREAD_TRACE_INTERNAL_H

#include "pcscread/Trace.h"

namespace pcscread {

// The text the last builder handed to TraceOutput on this thread; lets the
// builders be checked without an output channel.
const char* LastTraceText();

}  // namespace pcscread

#endif  // VD_PCSCREAD_TRACE_INTERNAL_H
