#include "FuzzCheck.h"
#include "plist/PlistXml_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return fuzzcheck::run(Plist::readXmlPlist, data, size);
}
