// Writes the reader benchmark's 100,000-entry tree as a binary and as an
// XML property list and compares with Python's plistlib writing the same
// tree in the same run.
//
//   bench_plist_write [DIR]
//
// DIR holds the generated files (made with the reader benchmark's generator
// when it holds no binary property list yet); default: a scratch directory,
// removed at the end.
#include "plist/Plist.h"
#include "tests/support/testkit/testkit.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace {

// The first file of dir that starts with "bplist00".
std::string findBinaryPlist(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            names.push_back(e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = dir + "/" + name;
        std::ifstream in(path, std::ios::binary);
        char head[8] = {};
        if (in.read(head, 8) && std::memcmp(head, "bplist00", 8) == 0)
            return path;
    }
    return std::string();
}

// The standard output of a program, which says so when it fails.
std::string run(const std::vector<std::string>& args)
{
    std::string out;
    if (testkit::RunCaptured(args, &out) != 0)
        std::fprintf(stderr, "%s %s failed\n", args[0].c_str(), args[1].c_str());
    return out;
}

template <class F>
double bestSeconds(int runs, F&& f)
{
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
        best = std::min(best, d.count());
    }
    return best;
}

size_t countEntries(const boost::any& v)
{
    size_t n = 1;
    if (const Plist::Dictionary* d = boost::any_cast<Plist::Dictionary>(&v))
        for (const auto& e : *d)
            n += countEntries(e.second);
    else if (const Plist::Array* a = boost::any_cast<Plist::Array>(&v))
        for (const auto& e : *a)
            n += countEntries(e);
    return n;
}

const char kPythonTimer[] = R"PY(
import plistlib, sys, time
with open(sys.argv[1], 'rb') as f:
    tree = plistlib.load(f)
for name, fmt in (('binary', plistlib.FMT_BINARY), ('xml', plistlib.FMT_XML)):
    best = 1e300
    for _ in range(3):
        t0 = time.perf_counter()
        out = plistlib.dumps(tree, fmt=fmt)
        best = min(best, time.perf_counter() - t0)
    print(name, best, len(out))
)PY";

} // namespace

int main(int argc, char** argv)
{
    std::optional<testkit::TempDir> scratch;
    if (argc <= 1)
        scratch.emplace();
    const std::string dir = scratch ? scratch->path() : argv[1];
    if (dir.empty()) {
        std::fprintf(stderr, "no scratch directory\n");
        return 1;
    }
    std::string input = findBinaryPlist(dir);
    if (input.empty()) {
        run({VD_PYTHON3, VD_BENCH_GENERATOR, dir});
        input = findBinaryPlist(dir);
    }
    if (input.empty()) {
        std::fprintf(stderr, "no binary property list in %s (generator %s)\n", dir.c_str(),
                     VD_BENCH_GENERATOR);
        return 1;
    }

    const std::string bytes = testkit::ReadFile(input);
    boost::any tree;
    Plist::readFromBuffer(bytes.data(), static_cast<int64_t>(bytes.size()), tree);
    std::printf("input %s: %zu bytes, %zu values\n", input.c_str(), bytes.size(), countEntries(tree));

    std::vector<char> binary, xml;
    const double ourBinary = bestSeconds(5, [&] { Plist::writeBinaryToBuffer(binary, tree); });
    const double ourXml = bestSeconds(5, [&] { Plist::writeXmlToBuffer(xml, tree); });

    const std::string script = dir + "/plistlib_write_timer.py";
    {
        std::ofstream out(script, std::ios::binary | std::ios::trunc);
        out << kPythonTimer;
    }
    double pyBinary = 0, pyXml = 0;
    size_t pyBinarySize = 0, pyXmlSize = 0;
    const std::string pyOut = run({VD_PYTHON3, script, input});
    char name[16];
    double seconds;
    size_t size;
    for (const char* p = pyOut.c_str(); std::sscanf(p, "%15s %lf %zu", name, &seconds, &size) == 3;) {
        if (std::strcmp(name, "binary") == 0) {
            pyBinary = seconds;
            pyBinarySize = size;
        } else if (std::strcmp(name, "xml") == 0) {
            pyXml = seconds;
            pyXmlSize = size;
        }
        p = std::strchr(p, '\n');
        if (!p)
            break;
        ++p;
    }

    std::printf("%-8s %14s %14s %14s %14s %8s\n", "format", "ours (ms)", "ours (bytes)", "plistlib (ms)",
                "plistlib (bytes)", "ratio");
    std::printf("%-8s %14.1f %14zu %14.1f %14zu %8.3f\n", "binary", ourBinary * 1e3, binary.size(),
                pyBinary * 1e3, pyBinarySize, pyBinary > 0 ? ourBinary / pyBinary : 0.0);
    std::printf("%-8s %14.1f %14zu %14.1f %14zu %8.3f\n", "xml", ourXml * 1e3, xml.size(), pyXml * 1e3,
                pyXmlSize, pyXml > 0 ? ourXml / pyXml : 0.0);
    const bool met = pyBinary > 0 && pyXml > 0 && ourBinary <= pyBinary / 5 && ourXml <= pyXml / 5;
    std::printf("goal (at most a fifth of plistlib's time in both formats): %s\n", met ? "met" : "NOT met");
    return 0;
}
