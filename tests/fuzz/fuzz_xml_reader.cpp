#include "FuzzCheck.h"
#include "plist/PlistXml.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    fuzzcheck::run([&](boost::any& out) {
        Plist::readXmlPlist(reinterpret_cast<const char*>(data), static_cast<int64_t>(size), out);
    });
    return 0;
}
