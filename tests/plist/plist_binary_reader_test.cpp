#include "PlistTestUtil.h"
#include "plist/Plist.h"
#include "plist/PlistBinary_internal.h"

#include <boost/locale/encoding_errors.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using plisttest::BinaryBuilder;
using plisttest::bytes;
using plisttest::expectReadFails;
using plisttest::expectReads;
using plisttest::patchTrailer;
using plisttest::readString;
using plisttest::singleChildDepth;
using namespace plisttest::values;

// A file holding the given objects, object 0 at the top.
std::string file(std::initializer_list<std::string> objects, int refSize = 1, int offsetSize = 1)
{
    BinaryBuilder b;
    b.objectRefSize = refSize;
    b.offsetIntSize = offsetSize;
    for (const std::string& o : objects)
        b.add(o);
    return b.build();
}

std::string str(const std::string& s)
{
    return std::string(1, static_cast<char>(0x50 | s.size())) + s;
}

struct ValueCase {
    const char* name;
    std::string file;
    boost::any expected;
};

TEST(BinaryReader, DecodesObjects)
{
    const std::string s14 = "abcdefghijklmn";
    const std::string s15 = "abcdefghijklmno";
    const std::string s300(300, 'q');
    BinaryBuilder topTwo;
    topTwo.add(bytes({0x08}));
    topTwo.add(bytes({0x10, 0x01}));
    topTwo.add(bytes({0x09}));
    topTwo.topObject = 2;
    BinaryBuilder wide;
    wide.offsetIntSize = 8;
    wide.objectRefSize = 8;
    wide.add(bytes({0xA2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2}));
    wide.add(str("x"));
    wide.add(bytes({0x10, 0x07}));

    const ValueCase cases[] = {
        {"smallest file", file({bytes({0x09})}), true},
        {"false", file({bytes({0x08})}), false},
        {"top object 2", topTwo.build(), true},
        {"int 255", file({bytes({0x10, 0xFF})}), L(255)},
        {"int 65534", file({bytes({0x11, 0xFF, 0xFE})}), L(65534)},
        {"int -1", file({bytes({0x13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})}), L(-1)},
        {"int 2^31", file({bytes({0x12, 0x80, 0x00, 0x00, 0x00})}), L(2147483648L)},
        {"4-byte int is unsigned", file({bytes({0x12, 0xFF, 0xFF, 0xFF, 0xFF})}), L(4294967295L)},
        // 16-byte integers are two's complement, as other writers make them.
        {"16-byte int 44", file({bytes({0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x2C})}), L(44)},
        {"16-byte int -2", file({bytes({0x14}) + std::string(15, '\xFF') + bytes({0xFE})}), L(-2)},
        {"16-byte int -2^63",
         file({bytes({0x14}) + std::string(8, '\xFF') + bytes({0x80}) + std::string(7, '\0')}),
         L(std::numeric_limits<long>::min())},
        {"single real", file({bytes({0x22, 0x3F, 0x80, 0x00, 0x00})}), R(1.0)},
        {"double real", file({bytes({0x23, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0})}), R(1.0)},
        {"negative zero", file({bytes({0x23, 0x80, 0, 0, 0, 0, 0, 0, 0})}), R(-0.0)},
        {"date zero", file({bytes({0x33, 0, 0, 0, 0, 0, 0, 0, 0})}), T(978307200)},
        {"date -0.5", file({bytes({0x33, 0xBF, 0xE0, 0, 0, 0, 0, 0, 0})}), T(978307199)},
        {"date, low nibble ignored", file({bytes({0x30, 0xC1, 0xCD, 0x27, 0xE4, 0x40, 0, 0, 0})}), T(0)},
        {"string of 14", file({bytes({0x5E}) + s14}), S(s14)},
        {"string of 15", file({bytes({0x5F, 0x10, 0x0F}) + s15}), S(s15)},
        {"string of 15, 2-byte count", file({bytes({0x5F, 0x11, 0x00, 0x0F}) + s15}), S(s15)},
        {"string of 300, 8-byte count", file({bytes({0x5F, 0x13, 0, 0, 0, 0, 0, 0, 0x01, 0x2C}) + s300}), S(s300)},
        {"string with NUL and UTF-8", file({bytes({0x54, 'a', 0, 0xC3, 0xA9})}), S(std::string("a\0\xc3\xa9", 4))},
        {"empty string", file({bytes({0x50})}), S("")},
        {"utf16 e-acute", file({bytes({0x61, 0x00, 0xE9})}), S("\xc3\xa9")},
        {"utf16 surrogate pair", file({bytes({0x62, 0xD8, 0x3D, 0xDE, 0x00})}), S("\xf0\x9f\x98\x80")},
        {"empty utf16", file({bytes({0x60})}), S("")},
        {"data", file({bytes({0x43, 0x00, 0xFF, 0x7F})}), Bytes(std::string("\0\xff\x7f", 3))},
        {"empty data", file({bytes({0x40})}), Bytes("")},
        {"array of two", file({bytes({0xA2, 1, 2}), str("a"), bytes({0x10, 0x05})}), A({S("a"), L(5)})},
        {"shared string twice", file({bytes({0xA2, 1, 1}), str("same")}), A({S("same"), S("same")})},
        {"dictionary", file({bytes({0xD2, 1, 2, 3, 4}), str("b"), str("a"), bytes({0x09}), bytes({0x08})}),
         D({{"a", false}, {"b", true}})},
        {"duplicate key takes the second value",
         file({bytes({0xD2, 1, 1, 2, 3}), str("k"), bytes({0x10, 0x01}), bytes({0x10, 0x02})}), D({{"k", L(2)}})},
        {"utf16 key", file({bytes({0xD1, 1, 2}), bytes({0x61, 0x01, 0x05}), bytes({0x09})}),
         D({{"\xc4\x85", true}})},
        {"empty dict", file({bytes({0xD0})}), D({})},
        {"8-byte widths", wide.build(), A({S("x"), L(7)})},
        {"2-byte references", file({bytes({0xA1, 0, 1}), str("r")}, 2, 2), A({S("r")})},
        {"shared containers are copied",
         file({bytes({0xA2, 1, 1}), bytes({0xA1, 2}), str("leaf")}), A({A({S("leaf")}), A({S("leaf")})})},
    };
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(c.name);
        expectReads(c.file, c.expected);
    }
}

struct ErrorCase {
    const char* name;
    std::string file;
    std::string message;
};

std::string withTrailer(std::string f, size_t position, uint64_t value, int width)
{
    patchTrailer(f, position, value, width);
    return f;
}

// A chain of `levels` one-element arrays ending in a boolean.
std::string chain(int levels)
{
    BinaryBuilder b;
    b.objectRefSize = 2;
    b.offsetIntSize = 4;
    for (int i = 0; i < levels; ++i) {
        std::string o = bytes({0xA1});
        plisttest::putBigEndian(o, static_cast<uint64_t>(i + 1), 2);
        b.add(o);
    }
    b.add(bytes({0x09}));
    return b.build();
}

// Object i is an array referring twice to object i + 1: 2^levels leaves
// from a file of a few hundred bytes.
std::string doublingDag(int levels, const std::string& leaf = str("leaf"))
{
    BinaryBuilder b;
    for (int i = 0; i < levels; ++i)
        b.add(bytes({0xA2, i + 1, i + 1}));
    b.add(leaf);
    return b.build();
}

// An array of `count` references to one string of `length` bytes: linear
// in the file, but count x length bytes once decoded.
std::string sharedPayload(int count, int length)
{
    BinaryBuilder b;
    b.objectRefSize = 1;
    b.offsetIntSize = 2;
    std::string array = bytes({0xAF, 0x11});
    plisttest::putBigEndian(array, static_cast<uint64_t>(count), 2);
    array.append(static_cast<size_t>(count), '\x01');
    b.add(array);
    std::string payload = bytes({0x5F, 0x11});
    plisttest::putBigEndian(payload, static_cast<uint64_t>(length), 2);
    payload.append(static_cast<size_t>(length), 'p');
    b.add(payload);
    return b.build();
}

TEST(BinaryReader, RefusesHostileInput)
{
    const std::string one = file({bytes({0x09})});
    const std::string noTrailer = "bplist00";
    std::string payloadIntoTable = file({bytes({0x55}) + "ab"});
    // Objects 0 and 1 share one offset: an array referring to object 1,
    // which is the same array again.
    std::string duplicateOffsets = file({bytes({0xA1, 0x01}), bytes({0x09})});
    duplicateOffsets[8 + 2 + 1 + 1] = 0x08;

    const ErrorCase cases[] = {
        {"header only", noTrailer, "Out of bounds getRange"},
        {"header and 3 bytes", noTrailer + "abc", "Out of bounds getRange"},
        {"31 bytes", "bplist00" + std::string(23, '\0'), "Out of bounds getRange"},
        {"zeroed trailer", "bplist00" + std::string(32, '\0'), "Plist: binary trailer widths must be 1 to 8 bytes"},
        {"offset width 0", withTrailer(one, 6, 0, 1), "Plist: binary trailer widths must be 1 to 8 bytes"},
        {"reference width 0", withTrailer(one, 7, 0, 1), "Plist: binary trailer widths must be 1 to 8 bytes"},
        {"offset width 9", withTrailer(one, 6, 9, 1), "Plist: binary trailer widths must be 1 to 8 bytes"},
        {"reference width 255", withTrailer(one, 7, 255, 1), "Plist: binary trailer widths must be 1 to 8 bytes"},
        {"table offset beyond trailer", withTrailer(one, 24, 11, 8), "Out of bounds getRange"},
        {"table offset negative", withTrailer(one, 24, 0xFFFFFFFFFFFFFFF0ULL, 8), "Out of bounds getRange"},
        {"table offset huge", withTrailer(one, 24, 0x7FFFFFFFFFFFFFFFULL, 8), "Out of bounds getRange"},
        {"offset table of 5 bytes, width 2",
         withTrailer(withTrailer(file({bytes({0x09}), bytes({0x08}), bytes({0x08}), bytes({0x08}), bytes({0x08})}),
                                 6, 2, 1),
                     24, 8 + 5, 8),
         "Out of bounds getRange"},
        {"top object out of range", withTrailer(one, 16, 1, 8), "Plist: binary object number out of range"},
        {"top object 2^63", withTrailer(one, 16, 0x8000000000000000ULL, 8),
         "Plist: binary object number out of range"},
        {"top object 2^32", withTrailer(one, 16, 0x100000000ULL, 8), "Plist: binary object number out of range"},
        {"offset into the header", withTrailer(one, 24, 8, 8), "Plist: binary object offset out of bounds"},
        {"empty offset table", withTrailer(one, 24, 10, 8), "Plist: binary object number out of range"},
        {"reference out of range", file({bytes({0xA1, 0x05})}), "Plist: binary object number out of range"},
        {"reference 2^40", file({bytes({0xA1, 0, 0, 1, 0, 0, 0, 0, 0}), bytes({0x09})}, 8),
         "Plist: binary object number out of range"},
        {"string runs into the offset table", payloadIntoTable, "Out of bounds getRange"},
        {"huge string count", file({bytes({0x5F, 0x13, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})}),
         "Out of bounds getRange"},
        {"count of 2^64-1", file({bytes({0x4F, 0x13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})}),
         "Out of bounds getRange"},
        {"count 2^32 + 1", file({bytes({0x5F, 0x13, 0, 0, 0, 1, 0, 0, 0, 1}) + "x"}), "Out of bounds getRange"},
        {"count field of 2^15 bytes", file({bytes({0x5F, 0x1F, 0x00})}), "Out of bounds getRange"},
        {"count marker at the end", file({bytes({0x5F})}), "Out of bounds getRange"},
        {"huge array count", file({bytes({0xAF, 0x13, 0x40, 0, 0, 0, 0, 0, 0, 0})}), "Out of bounds getRange"},
        {"huge dict count", file({bytes({0xDF, 0x12, 0x80, 0, 0, 0})}), "Out of bounds getRange"},
        {"truncated integer", file({bytes({0x13, 1, 2, 3})}), "Out of bounds getRange"},
        // Beyond 64 bits: the value must not wrap.
        {"16-byte int 2^63 + 44", file({bytes({0x14}) + std::string(8, '\0') + bytes({0x80, 0, 0, 0, 0, 0, 0, 0x2C})}),
         "Plist: binary integer out of range"},
        {"16-byte int 2^64 - 1", file({bytes({0x14}) + std::string(8, '\0') + std::string(8, '\xFF')}),
         "Plist: binary integer out of range"},
        {"16-byte int -2^63 - 1",
         file({bytes({0x14}) + std::string(8, '\xFF') + bytes({0x7F}) + std::string(7, '\xFF')}),
         "Plist: binary integer out of range"},
        {"16-byte int 2^64", file({bytes({0x14}) + std::string(7, '\0') + bytes({0x01}) + std::string(8, '\0')}),
         "Plist: binary integer out of range"},
        {"16-byte count 2^64", file({bytes({0x5F, 0x14}) + std::string(7, '\0') + bytes({0x01}) + std::string(8, '\0')}),
         "Plist: binary integer out of range"},
        {"truncated real", file({bytes({0x23, 1, 2, 3})}), "Out of bounds getRange"},
        {"truncated date", file({bytes({0x33, 1, 2, 3})}), "Out of bounds getRange"},
        {"truncated utf16", file({bytes({0x62, 0x00, 0x41, 0x00})}), "Out of bounds getRange"},
        {"real of 1 byte", file({bytes({0x20, 0x00})}), "Plist: binary real of unsupported width"},
        {"real of 16 bytes", file({bytes({0x24}) + std::string(16, '\0')}), "Plist: binary real of unsupported width"},
        {"NaN date", file({bytes({0x33, 0x7F, 0xF8, 0, 0, 0, 0, 0, 0})}), "Plist::Date::set() date invalid"},
        {"infinite date", file({bytes({0x33, 0x7F, 0xF0, 0, 0, 0, 0, 0, 0})}), "Plist::Date::set() date invalid"},
        {"date 1e300", file({bytes({0x33, 0x7E, 0x37, 0xE4, 0x3C, 0x88, 0x00, 0x75, 0x9C})}),
         "Plist::Date::set() date invalid"},
        {"null marker", file({bytes({0x00})}), "Plist: null byte encountered, unsure how to parse"},
        {"fill marker", file({bytes({0x0F})}), "Plist: fill byte encountered, unsure how to parse"},
        {"marker 0x0C", file({bytes({0x0C})}), "Plist: unknown header \x0c"},
        {"marker 0x01", file({bytes({0x01})}), "Plist: unknown header \x01"},
        {"marker 0x70", file({bytes({0x70})}), "This type is not supported"},
        {"marker 0x80 (uid)", file({bytes({0x80, 0x01})}), "This type is not supported"},
        {"marker 0x9F", file({bytes({0x9F})}), "This type is not supported"},
        {"marker 0xB0", file({bytes({0xB0})}), "This type is not supported"},
        {"marker 0xC0", file({bytes({0xC0})}), "This type is not supported"},
        {"marker 0xE0", file({bytes({0xE0})}), "This type is not supported"},
        {"marker 0xFF", file({bytes({0xFF})}), "This type is not supported"},
        {"integer key", file({bytes({0xD2, 1, 2, 3, 3}), bytes({0x10, 0x01}), str("a"), bytes({0x09})}),
         "Error parsing dictionary.  Key can't be parsed as a string"},
        {"container key", file({bytes({0xD1, 1, 2}), bytes({0xA1, 2}), str("k")}),
         "Error parsing dictionary.  Key can't be parsed as a string"},
        // A key object is decoded before its kind is judged: its own fault
        // comes first.
        {"null key", file({bytes({0xD1, 1, 2}), bytes({0x00}), bytes({0x09})}),
         "Plist: null byte encountered, unsure how to parse"},
        {"unsupported key", file({bytes({0xD1, 1, 2}), bytes({0x80, 0x01}), bytes({0x09})}),
         "This type is not supported"},
        {"truncated integer key", file({bytes({0xD1, 2, 1}), bytes({0x09}), bytes({0x13, 1, 2})}),
         "Out of bounds getRange"},
        {"key refers to its dict", file({bytes({0xD1, 0, 1}), bytes({0x09})}), "Plist: binary object reference cycle"},
        {"array refers to itself", file({bytes({0xA1, 0x00})}), "Plist: binary object reference cycle"},
        {"dict refers to itself", file({bytes({0xD1, 1, 0}), str("k")}), "Plist: binary object reference cycle"},
        {"two-step cycle", file({bytes({0xA1, 1}), bytes({0xA2, 2, 0}), bytes({0x09})}),
         "Plist: binary object reference cycle"},
        {"cycle through two numbers of one object", duplicateOffsets, "Plist: binary object reference cycle"},
        {"513 nested arrays", chain(513), "Plist: binary nesting deeper than 512 levels"},
        {"40-level doubling DAG", doublingDag(40), "Plist: binary plist expands beyond its size limits"},
        {"20-level doubling DAG", doublingDag(20), "Plist: binary plist expands beyond its size limits"},
        // Leaves without payload: only the cap on decoded objects stops
        // these. 19 levels are 1,048,575 objects, just above the floor of
        // a million that a file this small gets.
        {"40-level DAG of booleans", doublingDag(40, bytes({0x09})),
         "Plist: binary plist expands beyond its size limits"},
        {"19-level DAG of integers", doublingDag(19, bytes({0x10, 0x01})),
         "Plist: binary plist expands beyond its size limits"},
        // Few objects, many bytes: only the cap on decoded bytes stops
        // these. 1200 x 60000 bytes is 72,000,000, above the 64 MiB floor.
        {"one 60000-byte string 3000 times", sharedPayload(3000, 60000),
         "Plist: binary plist expands beyond its size limits"},
        {"one 60000-byte string 1200 times", sharedPayload(1200, 60000),
         "Plist: binary plist expands beyond its size limits"},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.name);
        expectReadFails(c.file, c.message);
    }
}

TEST(BinaryReader, DeepButLegalNestingAndModestSharingAreRead)
{
    // 512 containers deep is the limit, not beyond it.
    const boost::any deep = readString(chain(512));
    const boost::any* leaf = nullptr;
    EXPECT_EQ(singleChildDepth(deep, leaf), 512);
    EXPECT_TRUE(boost::any_cast<bool>(*leaf));

    // Sharing below the floors reads however small the file: 1100 x 60000
    // bytes is 66,000,000, under 64 MiB, from a file of 61 kB; 18 levels
    // of doubling are 524,287 objects from a file of 100 bytes.
    {
        const boost::any shared = readString(sharedPayload(1100, 60000));
        const Plist::Array& copies = boost::any_cast<const Plist::Array&>(shared);
        ASSERT_EQ(copies.size(), 1100u);
        EXPECT_EQ(boost::any_cast<const std::string&>(copies.front()), std::string(60000, 'p'));
        EXPECT_EQ(boost::any_cast<const std::string&>(copies.back()), std::string(60000, 'p'));
    }
    const std::string dagFile = doublingDag(18, bytes({0x10, 0x07}));
    ASSERT_LT(dagFile.size(), 200u);
    boost::any dag = readString(dagFile);
    const boost::any* node = &dag;
    for (int i = 0; i < 18; ++i) {
        const Plist::Array& a = boost::any_cast<const Plist::Array&>(*node);
        ASSERT_EQ(a.size(), 2u);
        node = &a[i % 2];
    }
    EXPECT_EQ(boost::any_cast<long>(*node), 7L);
}

// What the child of ExpansionFailsQuicklyAndSmall tells of its read.
struct ChildRead {
    enum Outcome : int { kRefused, kAccepted, kOutOfMemory, kOtherError, kNotBounded } outcome = kNotBounded;
    long grownKb = -1;  // growth of the peak resident size
};

// The data size the kernel counts for this process against RLIMIT_DATA.
long ownDataKb()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmData:", 0) == 0)
            return std::stol(line.substr(7));
    }
    return -1;
}

// Lowers a limit of this process, never above the hard limit it has.
bool lowerLimit(int resource, rlim_t soft, rlim_t hard)
{
    rlimit now;
    if (getrlimit(resource, &now) != 0)
        return false;
    const rlimit lowered = {std::min(soft, now.rlim_max), std::min(hard, now.rlim_max)};
    return setrlimit(resource, &lowered) == 0;
}

// A file built to expand fails quickly and in little memory. The read runs in
// a child process whose work the kernel bounds by CPU time, which unlike
// wall-clock time does not grow when other work shares the machine: each read
// takes well under a second of it, even under the sanitizers, and the bound
// is 30. Its added data is bounded at 2 GiB, so that a reader without its
// caps ends there instead of taking the machine's memory; the child reports
// how far its peak resident size grew.
TEST(BinaryReader, ExpansionFailsQuicklyAndSmall)
{
    const rlim_t cpuSeconds = 30;
    const rlim_t extraDataBytes = rlim_t(2048) << 20;
    const std::string files[] = {doublingDag(40), doublingDag(40, bytes({0x09})), sharedPayload(3000, 60000)};
    for (const std::string& f : files) {
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(pipeFds[0]);
            ChildRead result;
            const long dataKb = ownDataKb();
            const rlim_t dataBytes = static_cast<rlim_t>(dataKb) * 1024 + extraDataBytes;
            if (dataKb > 0 && lowerLimit(RLIMIT_CORE, 0, 0) && lowerLimit(RLIMIT_CPU, cpuSeconds, cpuSeconds + 5) &&
                lowerLimit(RLIMIT_DATA, dataBytes, dataBytes)) {
                struct rusage before, after;
                getrusage(RUSAGE_SELF, &before);
                try {
                    readString(f);
                    result.outcome = ChildRead::kAccepted;
                } catch (const Plist::Error&) {
                    result.outcome = ChildRead::kRefused;
                } catch (const std::bad_alloc&) {
                    result.outcome = ChildRead::kOutOfMemory;
                } catch (...) {
                    result.outcome = ChildRead::kOtherError;
                }
                getrusage(RUSAGE_SELF, &after);
                result.grownKb = after.ru_maxrss - before.ru_maxrss;
            }
            (void)!write(pipeFds[1], &result, sizeof result);
            _exit(0);
        }
        close(pipeFds[1]);
        ChildRead result;
        const ssize_t got = read(pipeFds[0], &result, sizeof result);
        close(pipeFds[0]);
        int status = 0;
        struct rusage usage;
        ASSERT_EQ(wait4(child, &status, 0, &usage), child);
        const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        ASSERT_EQ(got, static_cast<ssize_t>(sizeof result))
            << "the child gave no result: it "
            << (WIFSIGNALED(status) ? std::string("was ended by ") + strsignal(WTERMSIG(status))
                                    : "exited with " + std::to_string(WEXITSTATUS(status)))
            << " after " << cpu << " s of CPU time (the bound is " << cpuSeconds << " s and "
            << (extraDataBytes >> 20) << " MiB of added data)";
        EXPECT_EQ(result.outcome, ChildRead::kRefused)
            << "not refused with a Plist::Error (1: read whole, 2: out of memory, 3: another error, 4: unbounded)";
        EXPECT_LT(result.grownKb, 1024L * 1024) << "kB of peak resident memory";
    }
}

TEST(BinaryReader, InvalidUtf16EndsWithTheConversionError)
{
    const std::string files[] = {
        file({bytes({0x61, 0xD8, 0x00})}),             // lone high surrogate
        file({bytes({0x61, 0xDC, 0x00})}),             // lone low surrogate
        file({bytes({0x62, 0xD8, 0x00, 0x00, 0x41})}), // high surrogate then a letter
        file({bytes({0x62, 0xDE, 0x00, 0xD8, 0x3D})}), // pair in the wrong order
    };
    for (const std::string& f : files) {
        boost::any out = 7L;
        EXPECT_THROW(readString(f), boost::locale::conv::conversion_error);
        try {
            Plist::readFromBuffer(f.data(), static_cast<int64_t>(f.size()), out);
        } catch (const boost::locale::conv::conversion_error&) {
        }
        EXPECT_EQ(boost::any_cast<long>(out), 7L);
    }
}

TEST(BinaryReader, EveryTruncationOfAValidFileFailsCleanly)
{
    const std::string full = file({bytes({0xD2, 1, 2, 3, 4}), str("key"), bytes({0x61, 0x00, 0xE9}),
                                   bytes({0xA2, 5, 6}), bytes({0x33, 0, 0, 0, 0, 0, 0, 0, 0}),
                                   bytes({0x10, 0x2A}), bytes({0x23, 0x40, 0x09, 0x21, 0xFB, 0x54, 0x44, 0x2D, 0x18})});
    ASSERT_NO_THROW(readString(full));
    for (size_t n = 8; n < full.size(); ++n) {
        const std::string part = full.substr(0, n);
        EXPECT_THROW(readString(part), Plist::Error) << n;
    }
    // Flipping any single byte must either read or fail with an exception.
    for (size_t i = 8; i < full.size(); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            std::string damaged = full;
            damaged[i] = static_cast<char>(damaged[i] ^ (1 << bit));
            try {
                readString(damaged);
            } catch (const Plist::Error&) {
            } catch (const boost::locale::conv::conversion_error&) {
            }
        }
    }
}

TEST(BinaryByteRoutines, GetRangeChecksBounds)
{
    const Plist::ByteVector v = {1, 2, 3, 4};
    EXPECT_EQ(Plist::getRange(v, 1, 2), (Plist::ByteVector{2, 3}));
    EXPECT_EQ(Plist::getRange(v, 4, 0), Plist::ByteVector{});
    EXPECT_EQ(Plist::getRange(v, 0, 4), v);
    const struct {
        int64_t start, length;
    } bad[] = {{-1, 1}, {0, -1}, {3, 2}, {5, 0}, {1, std::numeric_limits<int64_t>::max()},
               {std::numeric_limits<int64_t>::max(), 1}, {std::numeric_limits<int64_t>::min(), 0}};
    for (const auto& b : bad) {
        try {
            Plist::getRange(v, b.start, b.length);
            ADD_FAILURE() << b.start << " " << b.length;
        } catch (const Plist::Error& e) {
            EXPECT_STREQ(e.what(), "Out of bounds getRange");
        }
        EXPECT_THROW(Plist::copyRangeToData(v, b.start, b.length), Plist::Error);
    }
    EXPECT_EQ(Plist::copyRangeToData(v, 2, 2), (Plist::Data{3, 4}));
}

TEST(BinaryByteRoutines, FitZeroBytes)
{
    const struct {
        Plist::ByteVector in;
        int width;
        Plist::ByteVector out;
    } cases[] = {
        {{1, 0, 0, 0}, 1, {1}},      {{1, 0, 0, 0}, 2, {1, 0}},  {{1, 2, 0, 0}, 1, {1, 2}},
        {{0, 0, 0, 0}, 1, {0}},      {{5}, 4, {5, 0, 0, 0}},     {{}, 2, {0, 0}},
        {{0, 1, 0, 1}, 2, {0, 1, 0, 1}}, {{1, 0, 2, 0, 0}, 3, {1, 0, 2}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Plist::fitZeroBytes(c.in, c.width), c.out);
}

TEST(BinaryByteRoutines, AssembleIntegersAndReals)
{
    EXPECT_TRUE(Plist::hostIsLittleEndian());
    const Plist::ByteVector four = {0x01, 0x02, 0x03, 0x84};
    EXPECT_EQ(Plist::bytesToInt32(four, false), static_cast<int32_t>(0x01020384));
    EXPECT_EQ(Plist::bytesToInt32(four, true), static_cast<int32_t>(0x84030201u));
    const Plist::ByteVector eight = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE};
    EXPECT_EQ(Plist::bytesToInt64(eight, false), -2);
    EXPECT_EQ(Plist::bytesToInt64(eight, true), static_cast<int64_t>(0xFEFFFFFFFFFFFFFFull));
    const Plist::ByteVector oneBigEndian = {0x3F, 0xF0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Plist::bytesToReal(oneBigEndian, false), 1.0);
    const Plist::ByteVector oneLittleEndian = {0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
    EXPECT_EQ(Plist::bytesToReal(oneLittleEndian, true), 1.0);
    EXPECT_THROW(Plist::bytesToInt64(four, false), Plist::Error);
    EXPECT_THROW(Plist::bytesToReal(four, false), Plist::Error);
}

} // namespace
