// The process-wide configuration record, filled at start-up by the main
// window from "VantrelonDiagnostic.xml" in the application directory and
// read by the update check. It lives here, beside its reader, so that the
// update library needs nothing of the application that links it.
#ifndef VD_UPDATE_RUNTIMEPARAMS_H
#define VD_UPDATE_RUNTIMEPARAMS_H

#include "plist/Plist.h"

struct RuntimeParams {
    bool checkLatestVersion;
    char versionFileUrl[256];  // NUL-terminated, at most 255 bytes of text
};
static_assert(sizeof(RuntimeParams) == 1 + 256, "RuntimeParams layout");

extern RuntimeParams runtimeParams;

// Applies a configuration dictionary to params: "CheckLatestVersion" when it
// is a boolean, and "VersionFileUrl" (a missing or non-string value giving
// the empty address) only while the check is on. An address that does not
// fit the record turns the check off rather than being cut or overrun.
void ApplyConfiguration(const Plist::Dictionary& configuration, RuntimeParams& params);

#endif
