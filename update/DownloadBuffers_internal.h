// What the version-file transfer collects: the body, grown piece by piece,
// and the response's header lines. Both live only for one run of the check.
#ifndef VD_UPDATE_DOWNLOADBUFFERS_INTERNAL_H
#define VD_UPDATE_DOWNLOADBUFFERS_INTERNAL_H

#include <cstddef>
#include <cstdint>

struct DownloadBuffer {
    char* data;   // heap block, NUL-terminated after size bytes
    size_t size;  // bytes received
};

struct HeaderLines {
    int32_t count;
    char* line[128];
};

// A version file is a few hundred bytes; anything past this is not one, and
// the transfer is ended rather than let a server fill the memory.
constexpr size_t kMaxDownloadBody = 1024 * 1024;

// The transfer's write callback: appends the piece to body and keeps it
// NUL-terminated. Refuses (returns a value other than size * nmemb, and
// frees the block) when the body would pass kMaxDownloadBody or memory runs
// out.
size_t WriteBodyCallback(const void* ptr, size_t size, size_t nmemb, DownloadBuffer* body);

// The transfer's header callback: keeps a copy of each line. Lines past the
// 128 that fit are accepted and dropped; nothing reads them.
size_t HeaderLineCallback(const void* ptr, size_t size, size_t nmemb, HeaderLines* lines);

// Frees the body block (setting *body to null) and every stored header line
// (setting each to null; count keeps its value). Either may be null.
void FreeDownloadBuffers(char** body, HeaderLines* lines);

#endif
