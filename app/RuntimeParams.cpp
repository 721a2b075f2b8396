#include "app/RuntimeParams.h"

#include <cstring>
#include <stdexcept>
#include <string>

RuntimeParams runtimeParams;

void ApplyConfiguration(const Plist::Dictionary& configuration, RuntimeParams& params)
{
    try {
        params.checkLatestVersion = boost::any_cast<bool>(configuration.at("CheckLatestVersion"));
    } catch (const std::out_of_range&) {
    } catch (const boost::bad_any_cast&) {
    }

    std::string address;
    try {
        address = boost::any_cast<std::string>(configuration.at("VersionFileUrl"));
    } catch (const std::out_of_range&) {
    } catch (const boost::bad_any_cast&) {
    }

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
