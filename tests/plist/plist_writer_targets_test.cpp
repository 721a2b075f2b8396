// Delivery of a written document, both formats: buffers are replaced,
// streams receive the document at their position or report failure, files
// are touched only when the document is complete, and every open, write
// or close failure is an error.
#include "plist/Plist.h"
#include "PlistWriterTestUtil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#ifndef VD_PLIST_SCRATCH
#error "VD_PLIST_SCRATCH must name a scratch directory"
#endif

namespace {

using writertest::readFile;
using writertest::writeFile;

struct Writer {
    const char* name;
    void (*toBuffer)(std::vector<char>&, const boost::any&);
    void (*toStream)(std::ostream&, const boost::any&);
    void (*toFile)(const char*, const boost::any&);
};

std::ostream& operator<<(std::ostream& os, const Writer& w)
{
    return os << w.name;
}

class Targets : public ::testing::TestWithParam<Writer> {
protected:
    std::string scratch(const std::string& leaf) const
    {
        return std::string(VD_PLIST_SCRATCH) + "/" + GetParam().name + "_" + leaf;
    }

    static boost::any sample()
    {
        Plist::Dictionary d;
        d["name"] = std::string("Zako\xC5\x84" "cz");
        d["list"] = Plist::Array{1L, 2.5, true, Plist::Data{'x', 'y'}};
        return d;
    }

    static boost::any refused()
    {
        Plist::Dictionary d;
        d["ok"] = 1L;
        d["bad"] = 7u;
        return d;
    }

    std::string document() const
    {
        std::vector<char> out;
        GetParam().toBuffer(out, sample());
        return std::string(out.begin(), out.end());
    }
};

TEST_P(Targets, BufferIsReplacedWhole)
{
    std::vector<char> out(100000, 'q');
    GetParam().toBuffer(out, sample());
    EXPECT_EQ(std::string(out.begin(), out.end()), document());
    boost::any back = writertest::readBack(out);
    EXPECT_EQ(writertest::canonical(back), writertest::canonical(sample()));
}

TEST_P(Targets, StreamReceivesDocumentAtItsPosition)
{
    std::ostringstream out;
    out << "prefix";
    GetParam().toStream(out, sample());
    EXPECT_EQ(out.str(), "prefix" + document());
}

TEST_P(Targets, StreamGetsNothingForRefusedValue)
{
    std::ostringstream out;
    out << "prefix";
    EXPECT_THROW(GetParam().toStream(out, refused()), Plist::Error);
    EXPECT_EQ(out.str(), "prefix");
}

TEST_P(Targets, FailingStreamsAreReported)
{
    struct Case {
        const char* name;
        std::function<std::unique_ptr<std::ostream>()> make;
    } cases[] = {
        {"already_failed",
         [] {
             auto s = std::make_unique<std::ostringstream>();
             s->setstate(std::ios::failbit);
             return std::unique_ptr<std::ostream>(std::move(s));
         }},
        {"no_buffer", [] { return std::make_unique<std::ostream>(nullptr); }},
        {"full_device",
         [] { return std::unique_ptr<std::ostream>(new std::ofstream("/dev/full", std::ios::binary)); }},
    };
    for (const Case& c : cases) {
        std::unique_ptr<std::ostream> out = c.make();
        try {
            GetParam().toStream(*out, sample());
            ADD_FAILURE() << c.name << ": no exception";
        } catch (const Plist::Error& e) {
            EXPECT_EQ(std::string(e.what()), "Plist: Can't write to stream") << c.name;
        }
    }
}

TEST_P(Targets, FileHoldsExactlyTheDocument)
{
    const std::string path = scratch("exact.plist");
    writeFile(path, std::string(50000, 'o'));
    GetParam().toFile(path.c_str(), sample());
    EXPECT_EQ(readFile(path), document());
    Plist::Dictionary back;
    Plist::readDictionaryFromFile(path.c_str(), back);
    EXPECT_EQ(writertest::canonical(back), writertest::canonical(sample()));
}

TEST_P(Targets, RefusedValueLeavesExistingFileAlone)
{
    const std::string path = scratch("kept.plist");
    writeFile(path, "old content");
    EXPECT_THROW(GetParam().toFile(path.c_str(), refused()), Plist::Error);
    EXPECT_EQ(readFile(path), "old content");

    const std::string absent = scratch("never.plist");
    std::remove(absent.c_str());
    EXPECT_THROW(GetParam().toFile(absent.c_str(), refused()), Plist::Error);
    struct stat st;
    EXPECT_NE(::stat(absent.c_str(), &st), 0) << "a refused value created the file";
}

TEST_P(Targets, FileFailuresAreErrors)
{
    const std::string missingDir = scratch("no/such/dir/x.plist");
    const std::string directory = std::string(VD_PLIST_SCRATCH);
    struct Case {
        const char* path;
        std::string message;
    } cases[] = {
        {"/dev/full", "Plist: Can't write file: /dev/full: No space left on device"},
        {missingDir.c_str(),
         "Plist: Can't open file for writing: " + missingDir + ": No such file or directory"},
        {directory.c_str(), "Plist: Can't open file for writing: " + directory + ": Is a directory"},
        {"", "Plist: Can't open file for writing: : No such file or directory"},
        {nullptr, "Plist: Can't open file for writing: (null): No such file or directory"},
    };
    for (const Case& c : cases) {
        try {
            GetParam().toFile(c.path, sample());
            ADD_FAILURE() << (c.path ? c.path : "(null)") << ": no exception";
        } catch (const Plist::Error& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, Targets,
    ::testing::Values(Writer{"Xml", Plist::writeXmlToBuffer, Plist::writeXmlToStream, Plist::writeXmlToFile},
                      Writer{"Binary", Plist::writeBinaryToBuffer, Plist::writeBinaryToStream,
                             Plist::writeBinaryToFile}),
    [](const ::testing::TestParamInfo<Writer>& info) { return std::string(info.param.name); });

} // namespace
