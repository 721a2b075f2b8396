#include "FuzzCheck.h"
#include "plist/PlistBinary.h"

#include <cstddef>
#include <cstdint>

// The binary reader never looks at the header again, so every input goes
// straight to it, header or not.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    fuzzcheck::run([&](boost::any& out) {
        Plist::readBinaryPlist(reinterpret_cast<const char*>(data), static_cast<int64_t>(size), out);
    });
    return 0;
}
