#include "update/DownloadBuffers_internal.h"

#include <cstdlib>
#include <cstring>

namespace {

// The transfer ends when a callback returns anything but the length it was
// given: -1, unless -1 is that length.
size_t Refusal(size_t n)
{
    return n == static_cast<size_t>(-1) ? 0 : static_cast<size_t>(-1);
}
constexpr int32_t kLineCapacity = static_cast<int32_t>(sizeof(HeaderLines::line) / sizeof(HeaderLines::line[0]));

// size * nmemb, or false when the product does not fit.
bool PieceLength(size_t size, size_t nmemb, size_t& n)
{
    if (size != 0 && nmemb > SIZE_MAX / size)
        return false;
    n = size * nmemb;
    return true;
}

} // namespace

size_t WriteBodyCallback(const void* ptr, size_t size, size_t nmemb, DownloadBuffer* body)
{
    size_t n = 0;
    const bool fits = PieceLength(size, nmemb, n) && body->size <= kMaxDownloadBody &&
                      n <= kMaxDownloadBody - body->size;
    char* grown = fits ? static_cast<char*>(realloc(body->data, body->size + n + 1)) : nullptr;
    if (grown == nullptr) {
        free(body->data);
        body->data = nullptr;
        body->size = 0;
        return Refusal(n);
    }
    body->data = grown;
    if (n != 0)
        memcpy(body->data + body->size, ptr, n);
    body->size += n;
    body->data[body->size] = '\0';
    return n;
}

size_t HeaderLineCallback(const void* ptr, size_t size, size_t nmemb, HeaderLines* lines)
{
    size_t n = 0;
    if (!PieceLength(size, nmemb, n) || n == SIZE_MAX)
        return Refusal(n);
    if (lines->count < 0 || lines->count >= kLineCapacity)
        return n;  // the array is full; the line is never read, so it is dropped

    char* copy = static_cast<char*>(malloc(n + 1));
    if (copy == nullptr) {
        for (int32_t i = 0; i < lines->count; ++i) {
            free(lines->line[i]);
            lines->line[i] = nullptr;
        }
        return Refusal(n);
    }
    if (n != 0)
        memcpy(copy, ptr, n);
    copy[n] = '\0';
    lines->line[lines->count] = copy;
    ++lines->count;
    return n;
}

void FreeDownloadBuffers(char** body, HeaderLines* lines)
{
    if (body != nullptr && *body != nullptr) {
        free(*body);
        *body = nullptr;
    }
    if (lines != nullptr) {
        const int32_t stored = lines->count < kLineCapacity ? lines->count : kLineCapacity;
        for (int32_t i = 0; i < stored; ++i) {
            free(lines->line[i]);
            lines->line[i] = nullptr;
        }
    }
}
