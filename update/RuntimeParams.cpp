#include "update/RuntimeParams.h"

#include <cstring>
#include <string>

RuntimeParams runtimeParams;

void ApplyConfiguration(const Plist::Dictionary& configuration, RuntimeParams& params)
{
    // A missing or mistyped key changes nothing, or gives the empty address.
    params.checkLatestVersion = Plist::valueOr<bool>(configuration, "CheckLatestVersion", params.checkLatestVersion);
    const std::string address = Plist::valueOr<std::string>(configuration, "VersionFileUrl", std::string());

    if (!params.checkLatestVersion)
        return;
    if (address.size() >= sizeof params.versionFileUrl) {
        // A cut address would point somewhere else; checking nothing is safer.
        params.checkLatestVersion = false;
        memset(params.versionFileUrl, 0, sizeof params.versionFileUrl);
        return;
    }
    memcpy(params.versionFileUrl, address.c_str(), address.size() + 1);
}
