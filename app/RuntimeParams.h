// The process-wide configuration record, filled at start-up from
// "VantrelonDiagnostic.xml" in the application directory and read by the
// update check.
#ifndef VD_APP_RUNTIMEPARAMS_H
#define VD_APP_RUNTIMEPARAMS_H

#include "plist/Plist.h"

struct RuntimeParams {
    bool checkLatestVersion;
    char versionFileUrl[256];  // NUL-terminated, at most 255 bytes of text
};

extern RuntimeParams runtimeParams;

// Applies a configuration dictionary to params: "CheckLatestVersion" when it
// is a boolean, and "VersionFileUrl" (a missing or non-string value giving
// the empty address) only while the check is on. An address that does not
// fit the record turns the check off rather than being cut or overrun.
void ApplyConfiguration(const Plist::Dictionary& configuration, RuntimeParams& params);

#endif
