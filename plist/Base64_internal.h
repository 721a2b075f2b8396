// Internal to the property-list library: base64 (RFC 4648 standard
// alphabet, "=" as pad) for the data elements of XML property lists. The
// library's users see only Plist::Data.
#ifndef VD_PLIST_BASE64_INTERNAL_H
#define VD_PLIST_BASE64_INTERNAL_H

#include "plist/Plist.h"

namespace Plist {

// The 64 alphabet characters, indexed by their 6-bit value.
extern const char base64Alphabet[64];

// 0-63 for an alphabet character, -1 for "=", -2 for anything else (bytes
// from 0x80 up included).
int base64CharValue(char c);

// Decodes [begin, end) into out. Characters outside the alphabet are
// skipped wherever they stand; the first "=" ends the decoding, and a
// trailing group of one to three characters without padding yields
// nothing. Never fails.
template <class InputIt, class OutputIt>
void base64Decode(InputIt begin, InputIt end, OutputIt out)
{
    int values[4];
    for (;;) {
        int have = 0;
        while (have < 4) {
            while (begin != end && base64CharValue(*begin) == -2)
                ++begin;
            if (begin == end)
                return;
            const int v = base64CharValue(*begin);
            ++begin;
            if (v == -1) {
                // Pad: whatever the group holds so far is its last output.
                if (have >= 2)
                    *out++ = static_cast<char>((values[0] << 2) | (values[1] >> 4));
                if (have == 3)
                    *out++ = static_cast<char>(((values[1] & 0x0F) << 4) | (values[2] >> 2));
                return;
            }
            values[have++] = v;
        }
        *out++ = static_cast<char>((values[0] << 2) | (values[1] >> 4));
        *out++ = static_cast<char>(((values[1] & 0x0F) << 4) | (values[2] >> 2));
        *out++ = static_cast<char>(((values[2] & 0x03) << 6) | values[3]);
    }
}

// Encodes the bytes of [begin, end) into out: four characters per three
// bytes, a line feed after every 18th complete group, "=" padding on the
// last partial group.
template <class InputIt, class OutputIt>
void base64Encode(InputIt begin, InputIt end, OutputIt out)
{
    unsigned group = 0;
    while (begin != end) {
        const unsigned b0 = static_cast<unsigned char>(*begin++);
        if (begin == end) {
            *out++ = base64Alphabet[b0 >> 2];
            *out++ = base64Alphabet[(b0 & 0x03) << 4];
            *out++ = '=';
            *out++ = '=';
            return;
        }
        const unsigned b1 = static_cast<unsigned char>(*begin++);
        if (begin == end) {
            *out++ = base64Alphabet[b0 >> 2];
            *out++ = base64Alphabet[((b0 & 0x03) << 4) | (b1 >> 4)];
            *out++ = base64Alphabet[(b1 & 0x0F) << 2];
            *out++ = '=';
            return;
        }
        const unsigned b2 = static_cast<unsigned char>(*begin++);
        *out++ = base64Alphabet[b0 >> 2];
        *out++ = base64Alphabet[((b0 & 0x03) << 4) | (b1 >> 4)];
        *out++ = base64Alphabet[((b1 & 0x0F) << 2) | (b2 >> 6)];
        *out++ = base64Alphabet[b2 & 0x3F];
        if (++group == 18) {
            group = 0;
            *out++ = '\n';
        }
    }
}

// Decodes the NUL-terminated text into a new data value.
Data dataFromBase64(const char* text);

} // namespace Plist

#endif
