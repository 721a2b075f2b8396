// The configuration record, the application directory the build lays out,
// and the update check run on the record that directory's configuration
// fills.
#include "update/RuntimeParams.h"
#include "update/PanelCheckVersion.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "plist/Plist.h"

namespace {

struct ConfigCase {
    const char* name;
    Plist::Dictionary configuration;
    bool check;
    std::string url;
};

class Configuration : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(Configuration, SwitchAndAddress)
{
    RuntimeParams params;
    memset(&params, 0, sizeof params);
    ApplyConfiguration(GetParam().configuration, params);
    EXPECT_EQ(params.checkLatestVersion, GetParam().check);
    EXPECT_EQ(std::string(params.versionFileUrl), GetParam().url);
    // Never anything after the terminating NUL.
    const size_t used = strlen(params.versionFileUrl);
    for (size_t i = used; i < sizeof params.versionFileUrl; ++i)
        ASSERT_EQ(params.versionFileUrl[i], '\0');
}

Plist::Dictionary Config(boost::any check, boost::any url)
{
    Plist::Dictionary d;
    if (!check.empty())
        d["CheckLatestVersion"] = check;
    if (!url.empty())
        d["VersionFileUrl"] = url;
    return d;
}

const std::string kUrl = "http://127.0.0.1:9/wersja.plist";

INSTANTIATE_TEST_SUITE_P(
    Dictionaries, Configuration,
    ::testing::Values(ConfigCase{"on_with_address", Config(true, kUrl), true, kUrl},
                      ConfigCase{"on_without_address", Config(true, boost::any()), true, ""},
                      ConfigCase{"on_with_number_address", Config(true, 42L), true, ""},
                      ConfigCase{"off_keeps_address_empty", Config(false, kUrl), false, ""},
                      ConfigCase{"string_true_stays_off", Config(std::string("true"), kUrl), false, ""},
                      ConfigCase{"missing_switch", Config(boost::any(), kUrl), false, ""},
                      ConfigCase{"address_of_255_fits", Config(true, std::string(255, 'u')), true, std::string(255, 'u')},
                      ConfigCase{"address_of_256_turns_check_off", Config(true, std::string(256, 'u')), false, ""},
                      ConfigCase{"address_of_4000_turns_check_off", Config(true, std::string(4000, 'u')), false, ""}),
    [](const ::testing::TestParamInfo<ConfigCase>& info) { return std::string(info.param.name); });

// The application directory that the build lays out: the version of this
// release, written out as such so that a build which loses or changes it
// fails here, and a configuration that leaves the update check off.
TEST(ApplicationDirectory, VersionAndConfigurationBesideTheProgram)
{
    Plist::Dictionary info;
    Plist::readDictionaryFromFile(VD_APP_DIR "/Info.plist", info);
    EXPECT_EQ(boost::any_cast<std::string>(info.at("CFBundleShortVersionString")), "1.0.0");

    Plist::Dictionary configuration;
    Plist::readDictionaryFromFile(VD_APP_DIR "/VantrelonDiagnostic.xml", configuration);
    memset(&runtimeParams, 0, sizeof runtimeParams);
    runtimeParams.checkLatestVersion = true;  // the file must switch it off
    ApplyConfiguration(configuration, runtimeParams);
    EXPECT_FALSE(runtimeParams.checkLatestVersion);
    EXPECT_STREQ(runtimeParams.versionFileUrl, "");

    // The check itself comes along: this program builds only while the
    // update library needs nothing of the application's.
    PanelCheckVersion dialog(nullptr);
}

} // namespace
