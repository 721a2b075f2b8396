// Files written by other tools, read by our readers and compared with
// Python's plistlib reading of the same bytes: kept fixtures (the .expected
// files, made by tools/make_fixtures.py) and files that plistlib and
// plistutil write at test time.
#include "PlistTestUtil.h"
#include "plist/Plist.h"
#include "PlistWriterTestUtil.h"
#include "tests/support/testkit/testkit.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>
#include <sys/stat.h>

namespace {

using plisttest::dump;
using plisttest::readFile;
using testkit::RunCaptured;

const std::string kFixtures = VD_PLIST_FIXTURES;
const std::string kScratch = VD_PLIST_SCRATCH;

// The canonical dump of a file as plistlib reads it.
std::string plistlibDump(const std::string& path)
{
    std::string output;
    const int status = RunCaptured({VD_PYTHON3, VD_PLIST_TOOLS "/plist_dump.py", path}, &output);
    if (status != 0 || output.empty())
        throw std::runtime_error("plist_dump.py failed on " + path);
    return output;
}

// Our reading of a file, or the text of the error it ends with.
std::string ourReading(const std::string& path)
{
    try {
        return dump(plisttest::readString(readFile(path)));
    } catch (const Plist::Error& e) {
        return std::string("error: ") + e.what();
    }
}

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
    ASSERT_EQ(stat(installed.c_str(), &st), 0) << installed << " is missing: scripts/install-deps.sh installs libccid";
    ASSERT_EQ(stat(VD_PYTHON3, &st), 0) << VD_PYTHON3 << " is missing: scripts/install-deps.sh installs python3";
    const std::string expected = plistlibDump(installed);
    Plist::Dictionary dict;
    Plist::readDictionaryFromFile(installed.c_str(), dict);
    EXPECT_EQ(dump(dict), expected);
}

// Writes the files of the cases below into the scratch directory with
// plistlib, once per run.
const char kWriteScript[] = R"PY(
import datetime, plistlib, sys
out = sys.argv[1]
B, X = plistlib.FMT_BINARY, plistlib.FMT_XML
def save(name, value, fmt):
    with open(out + '/' + name, 'wb') as f:
        plistlib.dump(value, f, fmt=fmt, sort_keys=True)
# plistlib stores a container that occurs several times once.
d = {'k%02d' % i: 'value %d' % i for i in range(20)}
save('shared_80.bin', {'items': [d] * 80}, B)
save('shared_4000.bin', {'items': [d] * 4000}, B)
save('shared_100x100.bin', {'rows': [[d] * 100] * 100}, B)
save('int_2p63.bin', 2**63, B)
save('int_2p64m1.bin', 2**64 - 1, B)
save('int_2p63.xml', 2**63, X)
with open(out + '/big_integers.xml', 'w') as f:
    f.write('<plist version="1.0"><array><integer>9223372036854775808</integer>'
            '<integer>18446744073709551615</integer></array></plist>')
for name, when in (('1969_half', datetime.datetime(1969, 12, 31, 23, 59, 59, 500000)),
                   ('1900_quarter', datetime.datetime(1900, 1, 1, 0, 0, 0, 250000)),
                   ('moon', datetime.datetime(1969, 7, 20, 20, 17, 40, 900000)),
                   ('2001', datetime.datetime(2001, 1, 1, 0, 0, 0, 750000))):
    save('date_%s.xml' % name, {'d': when}, X)
    save('date_%s.bin' % name, {'d': when}, B)
)PY";

// The scratch directory holding the files of kWriteScript, and plistutil's
// conversions of some of them.
const std::string& peerFiles()
{
    static const std::string dir = [] {
        const std::string script = kScratch + "/write_peers.py";
        writertest::writeFile(script, kWriteScript);
        std::string output;
        if (RunCaptured({VD_PYTHON3, script, kScratch}, &output, true) != 0)
            throw std::runtime_error("plistlib could not write the files: " + output);
        // plistutil reports some failures only in its output.
        const char* const conversions[][3] = {
            {"shared_80.bin", "shared_80.util.xml", "xml"},
            {"shared_4000.bin", "shared_4000.util.xml", "xml"},
            {"big_integers.xml", "big_integers.util.bin", "bin"},
        };
        for (const auto& c : conversions) {
            const std::vector<std::string> command = {"plistutil", "-i", kScratch + "/" + c[0],
                                                      "-o", kScratch + "/" + c[1], "-f", c[2]};
            if (RunCaptured(command, &output, true) != 0 || !output.empty())
                throw std::runtime_error(std::string("plistutil converting ") + c[0] + ": " + output);
        }
        return kScratch;
    }();
    return dir;
}

// A container stored once and referred to from many places is ordinary:
// it reads as plistlib reads it, and as plistutil expands it.
TEST(InteropSharing, SharedContainersRead)
{
    const struct {
        const char* file;
        size_t maxSize;          // the file is small: the container is stored once
        const char* expandedXml; // plistutil's XML of the same file, or null
    } cases[] = {
        {"shared_80.bin", 600, "shared_80.util.xml"},
        {"shared_4000.bin", 9000, "shared_4000.util.xml"},
        // about 410,000 objects once decoded
        {"shared_100x100.bin", 1000, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string path = peerFiles() + "/" + c.file;
        EXPECT_LE(readFile(path).size(), c.maxSize);
        const std::string ours = ourReading(path);
        EXPECT_EQ(ours, plistlibDump(path));
        if (c.expandedXml != nullptr) {
            EXPECT_EQ(ourReading(peerFiles() + "/" + c.expandedXml), ours);
        }
    }
}

// Integers from 2^63 up, which other writers store in 16 bytes, cannot be
// held and are refused; 16-byte integers that fit read as plistlib reads
// them.
TEST(InteropIntegers, SixteenByteIntegers)
{
    const struct {
        const char* name;
        std::string file; // a name in the peer files, or the bytes of an object
        const char* error; // null: read as plistlib reads it
    } cases[] = {
        {"plistlib 2^63", "int_2p63.bin", "Plist: binary integer out of range"},
        {"plistlib 2^64-1", "int_2p64m1.bin", "Plist: binary integer out of range"},
        {"plistutil 2^63 and 2^64-1", "big_integers.util.bin", "Plist: binary integer out of range"},
        {"plistlib 2^63 as XML", "int_2p63.xml", "Plist: XML integer out of range 9223372036854775808"},
        {"-1", plisttest::bytes({0x14}) + std::string(16, '\xFF'), nullptr},
        {"-2^63", plisttest::bytes({0x14}) + std::string(8, '\xFF') + plisttest::bytes({0x80}) + std::string(7, '\0'),
         nullptr},
        {"2^63-1", plisttest::bytes({0x14}) + std::string(8, '\0') + plisttest::bytes({0x7F}) + std::string(7, '\xFF'),
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path;
        if (c.file[0] == 0x14) {
            plisttest::BinaryBuilder b;
            b.add(c.file);
            path = kScratch + "/int16.bin";
            writertest::writeFile(path, b.build());
        } else {
            path = peerFiles() + "/" + c.file;
        }
        if (c.error != nullptr) {
            EXPECT_EQ(ourReading(path), std::string("error: ") + c.error);
        } else {
            EXPECT_EQ(ourReading(path), plistlibDump(path));
        }
    }
}

// plistlib writes a date with a fraction of a second as whole seconds in
// XML and with its fraction in binary; both read as the same second, the
// one plistlib's own reading falls in.
TEST(InteropDates, FractionalDatesReadAsTheirXmlTwin)
{
    const struct {
        const char* name;
        long unixTime;
    } cases[] = {
        {"1969_half", -1},                // 1969-12-31T23:59:59.5
        {"1900_quarter", -2208988800},    // 1900-01-01T00:00:00.25
        {"moon", -14182940},              // 1969-07-20T20:17:40.9
        {"2001", 978307200},              // 2001-01-01T00:00:00.75
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string stem = peerFiles() + "/date_" + c.name;
        const std::string expected = "dict 1\n  key 64\n  date " + std::to_string(c.unixTime) + "\n";
        EXPECT_EQ(plistlibDump(stem + ".bin"), expected);
        EXPECT_EQ(ourReading(stem + ".xml"), expected);
        EXPECT_EQ(ourReading(stem + ".bin"), expected);
    }
}

// Text that plistlib could not read back is refused before anything is
// written, and an existing file keeps its content; the text around the
// boundary is written, and plistlib reads it as it was.
TEST(InteropText, WritersRefuseWhatOtherReadersCannotRead)
{
    const std::string notUtf8 = writertest::kUtf8Refused;
    const std::string notXml = writertest::kXmlCharRefused;
    const struct {
        const char* name;
        std::string text;
        std::string xmlError;    // empty: written
        std::string binaryError; // empty: written
    } cases[] = {
        {"tab, line feed, DEL", "a\tb\nc\x7F", "", ""},
        {"Polish and the last plane", "\xC5\x81\xC3\xB3\x64\xC5\xBA \xF4\x8F\xBF\xBF", "", ""},
        {"control 0x01", "a\x01", notXml, ""},
        {"escape 0x1B", "\x1B[0m", notXml, ""},
        {"U+FFFF", "\xEF\xBF\xBF", notXml, ""},
        {"Latin-2 byte", "Zako\xF1" "cz", notUtf8, notUtf8},
        {"overlong slash", "\xC0\xAF", notUtf8, notUtf8},
        {"encoded surrogate", "\xED\xA0\x80", notUtf8, notUtf8},
        {"cut sequence", "ab\xE2\x82", notUtf8, notUtf8},
    };
    const struct {
        const char* name;
        void (*write)(const char*, const boost::any&);
        bool xml;
    } writers[] = {{"xml", Plist::writeXmlToFile, true}, {"binary", Plist::writeBinaryToFile, false}};
    const std::string path = kScratch + "/text.plist";
    for (const auto& w : writers) {
        for (const auto& c : cases) {
            for (const bool asKey : {false, true}) {
                SCOPED_TRACE(std::string(w.name) + ": " + c.name + (asKey ? " as key" : " as string"));
                Plist::Dictionary tree;
                if (asKey)
                    tree[c.text] = std::string("v");
                else
                    tree["k"] = c.text;
                const std::string& error = w.xml ? c.xmlError : c.binaryError;
                writertest::writeFile(path, "earlier content");
                if (error.empty()) {
                    w.write(path.c_str(), tree);
                    EXPECT_EQ(plistlibDump(path), dump(tree));
                    continue;
                }
                try {
                    w.write(path.c_str(), tree);
                    ADD_FAILURE() << "written";
                } catch (const Plist::Error& e) {
                    EXPECT_EQ(e.what(), error);
                }
                EXPECT_EQ(readFile(path), "earlier content");
            }
        }
    }
}

} // namespace
