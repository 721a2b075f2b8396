#include "plist/Base64_internal.h"

#include <cstring>
#include <iterator>

namespace Plist {

const char base64Alphabet[64] = {
    'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M',
    'N', 'O', 'P', 'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z',
    'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm',
    'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v', 'w', 'x', 'y', 'z',
    '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/'};

int base64CharValue(char c)
{
    const signed char s = static_cast<signed char>(c);
    if (s >= 'A' && s <= 'Z')
        return s - 'A';
    if (s >= 'a' && s <= 'z')
        return s - 'a' + 26;
    if (s >= '0' && s <= '9')
        return s - '0' + 52;
    if (s == '+')
        return 62;
    if (s == '/')
        return 63;
    if (s == '=')
        return -1;
    return -2;
}

Data dataFromBase64(const char* text)
{
    Data out;
    if (text == nullptr)
        return out;
    const size_t length = std::strlen(text);
    out.reserve(length / 4 * 3 + 3);
    base64Decode(text, text + length, std::back_inserter(out));
    return out;
}

} // namespace Plist
