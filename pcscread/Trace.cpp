#include "pcscread/Trace.h"

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

void AppendBytes(LineBuilder& b, const unsigned char* bytes, size_t count, bool separate) {
    b.Append(" -> ");
    for (size_t i = 0; i < count; ++i) {
        b.AppendFormat("%02X", static_cast<unsigned>(bytes[i]));
        if (separate) b.Append(":");
    }
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
    if (message == nullptr) return -2;
    char buf[kTraceShort];
    LineBuilder b(buf, sizeof buf);
    b.Append(message);
    b.Append(text);
    return TraceOutput(b.Text());
}

int TraceInt(const char* message, long value) {
    if (message == nullptr) return -2;
    char buf[kTraceShort];
    LineBuilder b(buf, sizeof buf);
    b.Append(message);
    b.Append(" -> ");
    b.AppendFormat("%ld", value);
    return TraceOutput(b.Text());
}

int TraceHex(const char* message, unsigned long value) {
    if (message == nullptr) return -2;
    char buf[kTraceShort];
    LineBuilder b(buf, sizeof buf);
    b.Append(message);
    b.Append(" -> ");
    b.AppendFormat("%08lX", value);
    return TraceOutput(b.Text());
}

int TraceBytes(const char* message, const unsigned char* bytes, size_t count, bool separate) {
    if (message == nullptr || bytes == nullptr) return -2;
    char buf[kTraceShort];
    LineBuilder b(buf, sizeof buf);
    b.Append(message);
    AppendBytes(b, bytes, count, separate);
    return TraceOutput(b.Text());
}

// The line end is always kept: the body is cut short to leave room for it.
static int EmitLine(LineBuilder& body) {
    char buf[kTraceLong];
    LineBuilder b(buf, sizeof buf - 2);
    b.Append(body.Text());
    size_t len = std::strlen(buf);
    buf[len] = '\r';
    buf[len + 1] = '\n';
    buf[len + 2] = '\0';
    return TraceOutput(buf);
}

int TraceLine(const char* message) {
    if (message == nullptr) return -2;
    char body[kTraceLong];
    LineBuilder b(body, sizeof body);
    b.Append(message);
    return EmitLine(b);
}

int TraceLine(const char* message, const char* text) {
    if (message == nullptr) return -2;
    char body[kTraceLong];
    LineBuilder b(body, sizeof body);
    b.Append(message);
    b.Append(text);
    return EmitLine(b);
}

int TraceIntLine(const char* message, long value) {
    if (message == nullptr) return -2;
    char body[kTraceLong];
    LineBuilder b(body, sizeof body);
    b.Append(message);
    b.Append(" -> ");
    b.AppendFormat("%ld", value);
    return EmitLine(b);
}

int TraceHexLine(const char* message, unsigned long value) {
    if (message == nullptr) return -2;
    char body[kTraceLong];
    LineBuilder b(body, sizeof body);
    b.Append(message);
    b.Append(" -> ");
    b.AppendFormat("%08lX", value);
    return EmitLine(b);
}

int TraceBytesLine(const char* message, const unsigned char* bytes, size_t count, bool separate) {
    if (message == nullptr || bytes == nullptr) return -2;
    char body[kTraceLong];
    LineBuilder b(body, sizeof body);
    b.Append(message);
    AppendBytes(b, bytes, count, separate);
    return EmitLine(b);
}

void SleepMilliseconds(unsigned long ms) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>((ms % 1000) * 1000000UL);
    nanosleep(&ts, nullptr);
}

}  // namespace pcscread
