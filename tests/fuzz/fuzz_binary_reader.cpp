#include "FuzzCheck.h"
#include "plist/PlistBinary_internal.h"

// The binary reader never looks at the header again, so every input goes
// straight to it, header or not.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return fuzzcheck::run(Plist::readBinaryPlist, data, size);
}
