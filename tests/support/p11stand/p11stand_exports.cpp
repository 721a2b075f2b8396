// The two standard exports of one build of the stand-in. Compiled once per
// shared object, with P11STAND_FLAVOUR and P11STAND_DEFAULT_VERSION set and
// P11STAND_NO_GETVERSION / P11STAND_NO_FUNCTION_LIST leaving an export out.

#include "tests/support/p11stand/p11stand_internal.h"

#ifndef P11STAND_NO_FUNCTION_LIST
P11STAND_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    return p11stand::GetFunctionList(list);
}
#endif

#ifndef P11STAND_NO_GETVERSION
P11STAND_EXPORT const char* GetVersion(void) { return p11stand::Version(); }
#endif

namespace p11stand {
const char* Flavour() { return P11STAND_FLAVOUR; }
const char* DefaultVersion() { return P11STAND_DEFAULT_VERSION; }
}  // namespace p11stand
