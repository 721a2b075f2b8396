// Reads on different threads share nothing: many threads reading the same
// and different inputs at once each get the tree plistlib reads.
#include "PlistTestUtil.h"
#include "plist/Plist.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(ConcurrentReads, EveryThreadGetsTheWholeTree)
{
    const std::string dir = VD_PLIST_FIXTURES;
    const char* const names[] = {"plistlib_sample.xml", "plistlib_sample.bplist", "plistutil_sample.bplist",
                                 "libccid_Info.plist"};
    struct Input {
        std::string bytes, expected;
    };
    std::vector<Input> inputs;
    for (const char* name : names)
        inputs.push_back({plisttest::readFile(dir + "/" + name), plisttest::readFile(dir + "/" + name + ".expected")});

    std::atomic<int> mismatches{0};
    std::atomic<int> reads{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 6; ++round) {
                const Input& in = inputs[static_cast<size_t>(t + round) % inputs.size()];
                boost::any value;
                try {
                    Plist::readFromBuffer(in.bytes.data(), static_cast<int64_t>(in.bytes.size()), value);
                    if (plisttest::dump(value) != in.expected)
                        ++mismatches;
                } catch (...) {
                    ++mismatches;
                }
                ++reads;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(reads.load(), 48);
    EXPECT_EQ(mismatches.load(), 0);
}

} // namespace
