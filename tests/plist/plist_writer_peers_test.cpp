// Other tools read what we write, and we read what they write: Python's
// plistlib and libplist's plistutil, compared value for value through the
// same canonical text on both sides.
#include "plist/Plist.h"
#include "PlistWriterTestUtil.h"
#include "tests/support/testkit/testkit.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#ifndef VD_PLIST_SCRATCH
#error "VD_PLIST_SCRATCH must name a scratch directory"
#endif
#ifndef VD_PYTHON3
#define VD_PYTHON3 "python3"
#endif

namespace {

using writertest::canonical;
using writertest::readFile;
using testkit::RunCaptured;

// "dump FILE..." prints one canonical line per file as plistlib reads it;
// "gen SEED COUNT DIR" writes COUNT random trees with plistlib, as
// py_N.xml and py_N.bin, and prints each tree's canonical line.
const char kPeerScript[] = R"PY(
import calendar, datetime, plistlib, random, struct, sys

def canon(v):
    if isinstance(v, dict):
        items = sorted(v.items(), key=lambda kv: kv[0].encode('utf-8'))
        return '{' + ''.join(k.encode('utf-8').hex() + ':' + canon(x) + ',' for k, x in items) + '}'
    if isinstance(v, list):
        return '[' + ''.join(canon(x) + ',' for x in v) + ']'
    if isinstance(v, str):
        return 's' + v.encode('utf-8').hex()
    if isinstance(v, bool):
        return 'T' if v else 'F'
    if isinstance(v, int):
        return 'i%d' % v
    if isinstance(v, float):
        return 'rnan' if v != v else 'r' + struct.pack('>d', v).hex()
    if isinstance(v, datetime.datetime):
        return 'd%d' % calendar.timegm(v.utctimetuple())
    if isinstance(v, bytes):
        return 'b' + v.hex()
    raise TypeError(type(v))

PIECES = ['a', 'Z', '7', ' ', '\t', '\n', '&', '<', '>', '"', "'", ']]>', 'key',
          '\u00e9', '\u0141', '\u0105', '\u4e2d', '\u20ac', '\U0001F600', '+', '/']

def text(r):
    return ''.join(r.choice(PIECES) for _ in range(r.randint(0, 12)))

def value(r, depth, container=False):
    kind = r.randint(0, 1) if container else r.randint(2 if depth >= 4 else 0, 8)
    if kind == 0:
        return {text(r): value(r, depth + 1) for _ in range(r.randint(0, 5))}
    if kind == 1:
        return [value(r, depth + 1) for _ in range(r.randint(0, 5))]
    if kind == 2:
        return text(r)
    if kind == 3:
        return r.choice([0, 1, -1, 255, 256, 65536, 2**31, 2**32, 2**63 - 1, -2**63,
                         r.randint(-2**63, 2**63 - 1), r.randint(-1000, 1000)])
    if kind == 4:
        # No -0.0: plistlib's binary writer stores equal values once, and
        # -0.0 == 0.0 in Python, so it would come back as whichever came first.
        return r.choice([0.0, 0.1, 1e300, -2.5, r.uniform(-1e6, 1e6), r.randint(-999, 999) / 8])
    if kind == 5:
        return r.random() < 0.5
    if kind == 6:
        return datetime.datetime(1970, 1, 1) + datetime.timedelta(
            seconds=r.randint(-2208988800, 7258118400))
    if kind == 7:
        return bytes(r.randint(0, 255) for _ in range(r.randint(0, 120)))
    return text(r)

if sys.argv[1] == 'dump':
    for path in sys.argv[2:]:
        with open(path, 'rb') as f:
            print(canon(plistlib.load(f)))
else:
    r = random.Random(int(sys.argv[2]))
    for i in range(int(sys.argv[3])):
        tree = value(r, 0, True)
        for fmt, ext in ((plistlib.FMT_XML, 'xml'), (plistlib.FMT_BINARY, 'bin')):
            with open('%s/py_%d.%s' % (sys.argv[4], i, ext), 'wb') as f:
                plistlib.dump(tree, f, fmt=fmt, sort_keys=True)
        print(canon(tree))
)PY";

std::string scratchDir()
{
    return VD_PLIST_SCRATCH;
}

std::string scriptPath()
{
    const std::string path = scratchDir() + "/peer.py";
    writertest::writeFile(path, kPeerScript);
    return path;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// Trees every peer can hold: UTF-8 text without NUL, no NaN (whose bits
// no tool promises to keep).
std::vector<boost::any> peerTrees(uint64_t seed, int count)
{
    writertest::TreeOptions options;
    options.specialReals = false;
    writertest::TreeGenerator gen(seed, options);
    std::vector<boost::any> trees;
    for (int i = 0; i < count; ++i)
        trees.push_back(gen.tree());
    return trees;
}

struct Format {
    const char* name;
    const char* ext;
    void (*toFile)(const char*, const boost::any&);
    const char* otherFormat; // the plistutil conversion target
};

const Format kFormats[] = {
    {"xml", "xml", Plist::writeXmlToFile, "bin"},
    {"binary", "bin", Plist::writeBinaryToFile, "xml"},
};

std::ostream& operator<<(std::ostream& os, const Format& f)
{
    return os << f.name;
}

class Peers : public ::testing::TestWithParam<Format> {};

TEST_P(Peers, PlistlibReadsWhatWeWrite)
{
    const Format& f = GetParam();
    const std::vector<boost::any> trees = peerTrees(0xb0b0, 300);
    std::vector<std::string> command = {VD_PYTHON3, scriptPath(), "dump"};
    for (size_t i = 0; i < trees.size(); ++i) {
        const std::string path = scratchDir() + "/ours_" + std::to_string(i) + "." + f.ext;
        f.toFile(path.c_str(), trees[i]);
        command.push_back(path);
    }
    std::string output;
    ASSERT_EQ(RunCaptured(command, &output, true), 0) << output;
    const std::vector<std::string> got = lines(output);
    ASSERT_EQ(got.size(), trees.size()) << output;
    for (size_t i = 0; i < trees.size(); ++i)
        ASSERT_EQ(got[i], canonical(trees[i])) << "tree " << i;
}

TEST_P(Peers, WeReadWhatPlistlibWrites)
{
    const Format& f = GetParam();
    const int count = 200;
    std::string output;
    ASSERT_EQ(RunCaptured({VD_PYTHON3, scriptPath(), "gen", "4242", std::to_string(count), scratchDir()}, &output,
                          true),
              0)
        << output;
    const std::vector<std::string> expected = lines(output);
    ASSERT_EQ(expected.size(), static_cast<size_t>(count)) << output;
    for (int i = 0; i < count; ++i) {
        const std::string path = scratchDir() + "/py_" + std::to_string(i) + "." + f.ext;
        boost::any back;
        const std::string bytes = readFile(path);
        ASSERT_NO_THROW(Plist::readFromBuffer(bytes.data(), static_cast<int64_t>(bytes.size()), back))
            << path;
        ASSERT_EQ(canonical(back), expected[i]) << path;
    }
}

// plistutil converts our file to the other format; we read its output.
TEST_P(Peers, PlistutilConvertsWhatWeWrite)
{
    const Format& f = GetParam();
    const std::vector<boost::any> trees = peerTrees(0xcafe, 80);
    for (size_t i = 0; i < trees.size(); ++i) {
        const std::string ours = scratchDir() + "/util_in_" + std::to_string(i) + "." + f.ext;
        const std::string theirs = scratchDir() + "/util_out_" + std::to_string(i) + "." + f.otherFormat;
        std::remove(theirs.c_str());
        f.toFile(ours.c_str(), trees[i]);
        std::string output;
        ASSERT_EQ(RunCaptured({"plistutil", "-i", ours, "-o", theirs, "-f", f.otherFormat}, &output, true), 0);
        // plistutil reports some failures only in its output.
        ASSERT_EQ(output, "") << ours;
        const std::string bytes = readFile(theirs);
        boost::any back;
        ASSERT_NO_THROW(Plist::readFromBuffer(bytes.data(), static_cast<int64_t>(bytes.size()), back))
            << theirs;
        ASSERT_EQ(canonical(back), canonical(trees[i])) << ours;
    }
}

INSTANTIATE_TEST_SUITE_P(Tools, Peers, ::testing::ValuesIn(kFormats),
                         [](const ::testing::TestParamInfo<Format>& info) {
                             return std::string(info.param.name);
                         });

// Non-ASCII text in binary: plistlib accepts only UTF-16 string objects for
// it and refuses UTF-8 in one-byte strings.
TEST(PeersBinaryText, NonAsciiStringsAreReadableByPlistlib)
{
    Plist::Dictionary d;
    d["\xC5\x81\xC3\xB3\x64\xC5\xBA"] = std::string("Zako\xC5\x84" "cz \xF0\x9F\x98\x80");
    d["ascii"] = std::string("plain");
    const std::string path = scratchDir() + "/text.bin";
    Plist::writeBinaryToFile(path.c_str(), d);
    std::string output;
    ASSERT_EQ(RunCaptured({VD_PYTHON3, scriptPath(), "dump", path}, &output, true), 0) << output;
    EXPECT_EQ(output, canonical(d) + "\n");
}

} // namespace
