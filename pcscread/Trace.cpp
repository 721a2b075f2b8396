#include "pcscread/Trace_internal.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace pcscread {

namespace {

thread_local char lastText[kTraceLong];

// Appends into a fixed buffer, dropping whatever does not fit; the buffer
// always stays zero-terminated.
class LineBuilder {
public:
    LineBuilder(char* buf, size_t size) : buf_(buf), size_(size) { buf_[0] = '\0'; }

    void Append(const char* text) {
        if (text == nullptr) return;
        size_t n = std::strlen(text);
        size_t room = size_ - 1 - len_;
        if (n > room) n = room;
        std::memcpy(buf_ + len_, text, n);
        len_ += n;
        buf_[len_] = '\0';
    }

    template <typename... Args>
    void AppendFormat(const char* format, Args... args) {
        char tmp[32];
        std::snprintf(tmp, sizeof tmp, format, args...);
        Append(tmp);
    }

    const char* Text() const { return buf_; }

private:
    char* buf_;
    size_t size_;
    size_t len_ = 0;
};

void AppendInt(LineBuilder& b, long value) {
    b.Append(" -> ");
    b.AppendFormat("%ld", value);
}

void AppendHex(LineBuilder& b, unsigned long value) {
    b.Append(" -> ");
    b.AppendFormat("%08lX", value);
}

void AppendBytes(LineBuilder& b, const unsigned char* bytes, size_t count, bool separate) {
    b.Append(" -> ");
    for (size_t i = 0; i < count; ++i) {
        b.AppendFormat("%02X", static_cast<unsigned>(bytes[i]));
        if (separate) b.Append(":");
    }
}

// The line end is always kept: the body is cut short to leave room for it.
int EmitLine(const LineBuilder& body) {
    char buf[kTraceLong];
    LineBuilder b(buf, sizeof buf - 2);
    b.Append(body.Text());
    size_t len = std::strlen(buf);
    buf[len] = '\r';
    buf[len + 1] = '\n';
    buf[len + 2] = '\0';
    return TraceOutput(buf);
}

// Every builder: the message, then what `rest` adds, handed on as a short
// line or, with lineEnd set, as a long one that ends in CR LF.
template <typename Rest>
int Build(const char* message, bool lineEnd, Rest rest) {
    if (message == nullptr) return -2;
    char body[kTraceLong];
    LineBuilder b(body, lineEnd ? sizeof body : kTraceShort);
    b.Append(message);
    rest(b);
    return lineEnd ? EmitLine(b) : TraceOutput(b.Text());
}

}  // namespace

int TraceOutput(const char* text) {
    // Nothing is written anywhere; the copy only keeps the line inspectable.
    if (text == nullptr) {
        lastText[0] = '\0';
        return 0;
    }
    std::strncpy(lastText, text, sizeof lastText - 1);
    lastText[sizeof lastText - 1] = '\0';
    return 0;
}

const char* LastTraceText() { return lastText; }

int Trace(const char* message, const char* text) {
    return Build(message, false, [text](LineBuilder& b) { b.Append(text); });
}

int TraceInt(const char* message, long value) {
    return Build(message, false, [value](LineBuilder& b) { AppendInt(b, value); });
}

int TraceHex(const char* message, unsigned long value) {
    return Build(message, false, [value](LineBuilder& b) { AppendHex(b, value); });
}

int TraceBytes(const char* message, const unsigned char* bytes, size_t count, bool separate) {
    if (bytes == nullptr) return -2;
    return Build(message, false, [&](LineBuilder& b) { AppendBytes(b, bytes, count, separate); });
}

int TraceLine(const char* message) {
    return Build(message, true, [](LineBuilder&) {});
}

int TraceLine(const char* message, const char* text) {
    return Build(message, true, [text](LineBuilder& b) { b.Append(text); });
}

int TraceIntLine(const char* message, long value) {
    return Build(message, true, [value](LineBuilder& b) { AppendInt(b, value); });
}

int TraceHexLine(const char* message, unsigned long value) {
    return Build(message, true, [value](LineBuilder& b) { AppendHex(b, value); });
}

int TraceBytesLine(const char* message, const unsigned char* bytes, size_t count, bool separate) {
    if (bytes == nullptr) return -2;
    return Build(message, true, [&](LineBuilder& b) { AppendBytes(b, bytes, count, separate); });
}

void SleepMilliseconds(unsigned long ms) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>((ms % 1000) * 1000000UL);
    // Not resumed after a signal: every caller only paces a retry, and a shorter pause does no harm.
    nanosleep(&ts, nullptr);
}

}  // namespace pcscread
