// Files written by other tools, read by our readers and compared with
// Python's plistlib reading of the same bytes (the .expected files, made by
// tools/make_fixtures.py).
#include "PlistTestUtil.h"
#include "plist/Plist.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <sys/stat.h>

namespace {

const std::string kFixtures = VD_PLIST_FIXTURES;

const char* const kFiles[] = {
    "plistlib_sample.xml",        "plistlib_sample.bplist",        "plistutil_sample.xml",
    "plistutil_sample.bplist",    "libccid_Info.plist",            "libccid_Info.plistlib.bplist",
    "libccid_Info.plistutil.bplist",
};

TEST(Interop, OtherToolsFilesReadAsPlistlibReadsThem)
{
    for (const char* name : kFiles) {
        SCOPED_TRACE(name);
        const std::string path = kFixtures + "/" + name;
        const std::string bytes = plisttest::readFile(path);
        const std::string expected = plisttest::readFile(path + ".expected");
        boost::any value;
        Plist::readFromBuffer(bytes.data(), static_cast<int64_t>(bytes.size()), value);
        EXPECT_EQ(plisttest::dump(value), expected);
        Plist::Dictionary dict;
        Plist::readDictionaryFromFile(path.c_str(), dict);
        EXPECT_EQ(plisttest::dump(dict), expected);
    }
}

TEST(Interop, ReaderDriverBundleKeys)
{
    for (const char* name : {"libccid_Info.plist", "libccid_Info.plistutil.bplist"}) {
        SCOPED_TRACE(name);
        Plist::Dictionary info;
        Plist::readDictionaryFromFile((kFixtures + "/" + name).c_str(), info);
        EXPECT_EQ(boost::any_cast<std::string>(info.at("ifdProductString")), "Generic CCID driver");
        EXPECT_EQ(boost::any_cast<std::string>(info.at("CFBundleExecutable")), "libccid.so");
        EXPECT_EQ(boost::any_cast<std::string>(info.at("CFBundleShortVersionString")), "1.5.2");
        EXPECT_FALSE(boost::any_cast<std::string>(info.at("ifdManufacturerString")).empty());
        const Plist::Array& vendors = boost::any_cast<const Plist::Array&>(info.at("ifdVendorID"));
        const Plist::Array& products = boost::any_cast<const Plist::Array&>(info.at("ifdProductID"));
        const Plist::Array& names = boost::any_cast<const Plist::Array&>(info.at("ifdFriendlyName"));
        EXPECT_GT(vendors.size(), 100u);
        EXPECT_EQ(vendors.size(), products.size());
        EXPECT_EQ(vendors.size(), names.size());
    }
}

// The driver file installed on this machine, compared live with plistlib,
// through the path the report reads it by.
TEST(Interop, InstalledDriverFileMatchesPlistlib)
{
    const std::string installed = "/usr/lib/pcsc/drivers/ifd-ccid.bundle/Contents/Info.plist";
    struct stat st;
    if (stat(installed.c_str(), &st) != 0 || stat(VD_PYTHON3, &st) != 0)
        GTEST_SKIP() << "libccid or python3 not installed";
    const std::string command = std::string(VD_PYTHON3) + " " VD_PLIST_TOOLS "/plist_dump.py '" + installed + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    ASSERT_TRUE(pipe);
    std::string expected;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe.get())) > 0)
        expected.append(chunk, n);
    ASSERT_FALSE(expected.empty());
    Plist::Dictionary dict;
    Plist::readDictionaryFromFile(installed.c_str(), dict);
    EXPECT_EQ(plisttest::dump(dict), expected);
}

} // namespace
