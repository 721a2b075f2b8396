#include "PlistTestUtil.h"
#include "plist/Plist.h"

#include <gtest/gtest.h>

#include <boost/any.hpp>

#include <fcntl.h>
#include <sstream>
#include <streambuf>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string kScratch = VD_PLIST_SCRATCH;

const std::string kXmlDict =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
    "\t<key>CFBundleShortVersionString</key>\n\t<string>1.2.3</string>\n"
    "\t<key>n</key>\n\t<integer>3</integer>\n</dict>\n</plist>\n";
const std::string kXmlArray = "<plist><array><string>x</string></array></plist>";

// {"a": true} in binary.
std::string binaryDict()
{
    plisttest::BinaryBuilder b;
    b.add(plisttest::bytes({0xD1, 1, 2}));
    b.add(plisttest::bytes({0x51, 'a'}));
    b.add(plisttest::bytes({0x09}));
    return b.build();
}

Plist::Dictionary previous()
{
    return Plist::Dictionary{{"old", std::string("value")}, {"CFBundleShortVersionString", 9L}};
}

void expectXmlDict(const Plist::Dictionary& d)
{
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(boost::any_cast<std::string>(d.at("CFBundleShortVersionString")), "1.2.3");
    EXPECT_EQ(boost::any_cast<long>(d.at("n")), 3);
}

void expectPrevious(const Plist::Dictionary& d)
{
    EXPECT_EQ(plisttest::dump(d), plisttest::dump(previous()));
}

std::string scratchFile(const std::string& name, const std::string& content)
{
    const std::string path = kScratch + "/" + name;
    plisttest::writeFile(path, content);
    return path;
}

TEST(ReadDictionaryFromFile, ReadsBothEncodingsAndReplacesTheOutput)
{
    const struct {
        const char* name;
        std::string content;
        std::string dump;
    } cases[] = {
        {"xml.plist", kXmlDict, ""},
        {"binary.plist", binaryDict(), plisttest::dump(Plist::Dictionary{{"a", true}})},
    };
    for (const auto& c : cases) {
        Plist::Dictionary out = previous();
        Plist::readDictionaryFromFile(scratchFile(c.name, c.content).c_str(), out);
        if (c.dump.empty())
            expectXmlDict(out);
        else
            EXPECT_EQ(plisttest::dump(out), c.dump);
        EXPECT_EQ(out.count("old"), 0u);
    }
}

TEST(ReadDictionaryFromFile, FailuresLeaveTheOutputUntouched)
{
    const std::string dir = kScratch + "/a-directory";
    mkdir(dir.c_str(), 0755);
    const std::string empty = scratchFile("empty.plist", "");
    const std::string array = scratchFile("array.plist", kXmlArray);
    const std::string broken = scratchFile("broken.plist", "<plist><dict>");
    const std::string unreadable = scratchFile("unreadable.plist", kXmlDict);
    const struct {
        const char* path;
        const char* message; // null: boost::bad_any_cast
    } cases[] = {
        {"/nonexistent/dir/Info.plist", "Can't open file."},
        {nullptr, "Can't open file."},
        {dir.c_str(), "Can't open file."},
        {"", "Can't open file."},
        {empty.c_str(), "Can't read zero length data"},
        {broken.c_str(), "Plist: XML parsed with error Start-end tags mismatch"},
        {array.c_str(), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path ? c.path : "(null)");
        Plist::Dictionary out = previous();
        if (c.message == nullptr) {
            EXPECT_THROW(Plist::readDictionaryFromFile(c.path, out), boost::bad_any_cast);
        } else {
            try {
                Plist::readDictionaryFromFile(c.path, out);
                ADD_FAILURE() << "no error";
            } catch (const Plist::Error& e) {
                EXPECT_STREQ(e.what(), c.message);
            }
        }
        expectPrevious(out);
    }
}

TEST(ReadFromBuffer, RecognisesTheEncodingByItsFirstEightBytes)
{
    const std::string bin = binaryDict();
    std::string bplist01 = bin;
    bplist01[7] = '1';
    std::string damaged = bin;
    damaged.resize(20);
    const struct {
        const char* name;
        std::string data;
        std::string message; // empty: reads
    } cases[] = {
        {"binary", bin, ""},
        {"xml", kXmlDict, ""},
        {"damaged binary goes to the binary reader", damaged, "Out of bounds getRange"},
        {"bplist01 goes to the XML reader", bplist01, "Plist: XML parsed with error"},
        {"bplist0 (7 bytes) goes to the XML reader", "bplist0", "Plist: XML parsed with error"},
        {"short XML", "<a/>", "Plist: XML unknown node type "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        boost::any out = 1L;
        try {
            Plist::readFromBuffer(c.data.data(), static_cast<int64_t>(c.data.size()), out);
            EXPECT_TRUE(c.message.empty()) << "no error";
            EXPECT_NO_THROW(boost::any_cast<Plist::Dictionary>(out));
        } catch (const Plist::Error& e) {
            EXPECT_EQ(std::string(e.what()).substr(0, c.message.size()), c.message);
            EXPECT_FALSE(c.message.empty()) << e.what();
            EXPECT_EQ(boost::any_cast<long>(out), 1L);
        }
    }
}

TEST(ReadFromBuffer, EmptyAndNegativeSizesAreEmptyData)
{
    const char text[] = "<plist><true/></plist>";
    const struct {
        const char* data;
        int64_t size;
    } cases[] = {{nullptr, 10}, {text, 0}, {text, -1}, {text, INT64_MIN}, {nullptr, 0}};
    for (const auto& c : cases) {
        boost::any out = 5L;
        try {
            Plist::readFromBuffer(c.data, c.size, out);
            ADD_FAILURE() << c.size;
        } catch (const Plist::Error& e) {
            EXPECT_STREQ(e.what(), "Plist: Empty plist data");
        }
        EXPECT_EQ(boost::any_cast<long>(out), 5L);
        Plist::Dictionary dict = previous();
        EXPECT_THROW(Plist::readDictionaryFromBuffer(c.data, c.size, dict), Plist::Error);
        expectPrevious(dict);
    }
}

TEST(ReadDictionaryFromBuffer, RootMustBeADictionary)
{
    Plist::Dictionary out = previous();
    EXPECT_THROW(Plist::readDictionaryFromBuffer(kXmlArray.data(), static_cast<int64_t>(kXmlArray.size()), out),
                 boost::bad_any_cast);
    expectPrevious(out);
    boost::any any;
    Plist::readFromBuffer(kXmlArray.data(), static_cast<int64_t>(kXmlArray.size()), any);
    EXPECT_EQ(boost::any_cast<Plist::Array>(any).size(), 1u);
    Plist::readDictionaryFromBuffer(kXmlDict.data(), static_cast<int64_t>(kXmlDict.size()), out);
    expectXmlDict(out);
}

// A typed look-up gives the value only when the key is there with that type.
TEST(ValueOr, FallbackForAMissingKeyOrAnotherType)
{
    Plist::Dictionary d;
    Plist::readDictionaryFromBuffer(kXmlDict.data(), static_cast<int64_t>(kXmlDict.size()), d);
    d["nothing"] = boost::any();
    EXPECT_EQ(Plist::valueOr<std::string>(d, "CFBundleShortVersionString", "x"), "1.2.3");
    EXPECT_EQ(Plist::valueOr<long>(d, "n", -1), 3);
    EXPECT_EQ(Plist::valueOr<std::string>(d, "n", "x"), "x");
    EXPECT_EQ(Plist::valueOr<int>(d, "n", -1), -1);  // integers are long
    EXPECT_EQ(Plist::valueOr<long>(d, "N", -1), -1);
    EXPECT_EQ(Plist::valueOr<bool>(d, "nothing", true), true);
    EXPECT_EQ(d.size(), 3u);  // nothing added by a look-up
}

// A stream whose seeks fail and which hands out its bytes a few at a time,
// like a pipe.
class TrickleBuffer : public std::streambuf {
public:
    explicit TrickleBuffer(std::string data) : data_(std::move(data)) {}

protected:
    int_type underflow() override
    {
        if (pos_ >= data_.size())
            return traits_type::eof();
        const size_t n = std::min<size_t>(3, data_.size() - pos_);
        setg(&data_[pos_], &data_[pos_], &data_[pos_] + n);
        pos_ += n;
        return traits_type::to_int_type(*gptr());
    }
    pos_type seekoff(off_type, std::ios_base::seekdir, std::ios_base::openmode) override { return pos_type(-1); }
    pos_type seekpos(pos_type, std::ios_base::openmode) override { return pos_type(-1); }

private:
    std::string data_;
    size_t pos_ = 0;
};

// A stream that fails part-way, as a disk error would.
class FailingBuffer : public std::streambuf {
public:
    explicit FailingBuffer(std::string prefix) : data_(std::move(prefix)) { setg(&data_[0], &data_[0], &data_[0] + data_.size()); }

protected:
    int_type underflow() override { throw std::ios_base::failure("device error"); }

private:
    std::string data_;
};

TEST(ReadFromStream, ReadsToTheEndWithoutSeeking)
{
    for (const std::string& content : {kXmlDict, binaryDict()}) {
        TrickleBuffer buffer(content);
        std::istream in(&buffer);
        Plist::Dictionary out = previous();
        Plist::readDictionaryFromStream(in, out);
        EXPECT_EQ(out.count("old"), 0u);
        EXPECT_FALSE(out.empty());
    }
    // A stream larger than one read chunk.
    std::string big = "<plist><array>";
    for (int i = 0; i < 20000; ++i)
        big += "<integer>" + std::to_string(i) + "</integer>";
    big += "</array></plist>";
    TrickleBuffer buffer(big);
    std::istream in(&buffer);
    boost::any out;
    Plist::readFromStream(in, out);
    const Plist::Array& a = boost::any_cast<const Plist::Array&>(out);
    ASSERT_EQ(a.size(), 20000u);
    EXPECT_EQ(boost::any_cast<long>(a.back()), 19999);
}

TEST(ReadFromStream, EmptyOrFailingStreamsAreErrors)
{
    {
        std::istringstream in("");
        boost::any out = 1L;
        try {
            Plist::readFromStream(in, out);
            ADD_FAILURE();
        } catch (const Plist::Error& e) {
            EXPECT_STREQ(e.what(), "Can't read zero length data");
        }
        EXPECT_EQ(boost::any_cast<long>(out), 1L);
    }
    {
        // The first half of a valid document, then a read error: the
        // half must not be parsed as if the rest were there.
        FailingBuffer buffer(kXmlDict.substr(0, kXmlDict.size() / 2));
        std::istream in(&buffer);
        Plist::Dictionary out = previous();
        try {
            Plist::readDictionaryFromStream(in, out);
            ADD_FAILURE();
        } catch (const Plist::Error& e) {
            EXPECT_STREQ(e.what(), "Plist: read error");
        }
        expectPrevious(out);
    }
    {
        // Reading starts where the stream stands.
        std::istringstream in("garbage" + kXmlDict);
        in.seekg(7);
        Plist::Dictionary out;
        Plist::readDictionaryFromStream(in, out);
        expectXmlDict(out);
    }
}

TEST(ReadDictionaryFromFile, ReadsAFifo)
{
    const std::string path = kScratch + "/fifo.plist";
    unlink(path.c_str());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = open(path.c_str(), O_WRONLY);
        if (fd >= 0) {
            ssize_t ignored = write(fd, kXmlDict.data(), kXmlDict.size());
            (void)ignored;
            close(fd);
        }
        _exit(0);
    }
    Plist::Dictionary out;
    Plist::readDictionaryFromFile(path.c_str(), out);
    expectXmlDict(out);
    int status = 0;
    waitpid(child, &status, 0);
}

} // namespace
