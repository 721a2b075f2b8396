#include "app/ReportFormat.h"

#include <cstring>

namespace {

const size_t kFormatBufferSize = 4096;
char formatHexBuffer[kFormatBufferSize];
char groupDigitsBuffer[kFormatBufferSize];

// Appends text at *used when it fits together with the final NUL.
bool appendBounded(char* buffer, size_t& used, const char* text, size_t length)
{
    if (used + length >= kFormatBufferSize)
        return false;
    memcpy(buffer + used, text, length);
    used += length;
    return true;
}

} // namespace

const char* FormatHex(const char* data, int length, unsigned perLine, const char* separator)
{
    static const char digits[] = "0123456789ABCDEF";
    memset(formatHexBuffer, 0, sizeof formatHexBuffer);
    if (length <= 0 || data == nullptr)
        return formatHexBuffer;
    if (separator == nullptr)
        separator = "";
    const size_t separatorLength = strlen(separator);
    size_t used = 0;
    for (int i = 0; i < length; ++i) {
        const unsigned char byte = static_cast<unsigned char>(data[i]);
        const char hex[2] = {digits[byte >> 4], digits[byte & 0x0F]};
        if (!appendBounded(formatHexBuffer, used, hex, 2))
            break;
        const bool lineEnds = perLine != 0 && (static_cast<unsigned>(i) + 1) % perLine == 0 && i > 0;
        if (lineEnds) {
            if (!appendBounded(formatHexBuffer, used, "\n", 1))
                break;
        } else if (i + 1 < length) {
            // A separator only goes out with the byte after it, so a cut
            // output never ends in a dangling separator.
            if (used + separatorLength + 2 >= kFormatBufferSize)
                break;
            appendBounded(formatHexBuffer, used, separator, separatorLength);
        }
    }
    return formatHexBuffer;
}

const char* GroupDigitsBy4(const char* text)
{
    memset(groupDigitsBuffer, 0, sizeof groupDigitsBuffer);
    if (text == nullptr)
        return groupDigitsBuffer;
    const size_t groups = strlen(text) / 4;
    size_t used = 0;
    for (size_t g = 0; g < groups; ++g) {
        if (!appendBounded(groupDigitsBuffer, used, text + 4 * g, 4))
            break;
        if ((g + 1) % 100 == 0) {
            if (!appendBounded(groupDigitsBuffer, used, "\n", 1))
                break;
        } else if (g + 1 < groups) {
            if (used + 1 + 4 >= kFormatBufferSize)
                break;
            appendBounded(groupDigitsBuffer, used, " ", 1);
        }
    }
    return groupDigitsBuffer;
}

std::string FormatDaemonVersion(const std::string& output)
{
    std::string text = "  ";
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        end = end == std::string::npos ? output.size() : end + 1;
        text.append(output, start, end - start);
        text += "  ";
        start = end;
    }
    return text;
}

