// Read benchmark: the same 100,000-entry tree as a ~10 MB binary and a
// ~20 MB XML property list (written by plistlib, see make_bench_plist.py),
// read by our readers, by libplist, by Python's plistlib, and parsed bare by
// pugixml. Prints the best of several runs and the ratios against the goals:
// our binary read no slower than libplist's, our XML read at most half of
// libplist's and within 2x of pugixml's bare parse.
//
// Usage: bench_plist_read [DATA_DIR] [RUNS]
#include "plist/Plist.h"
#include "tests/support/testkit/testkit.h"

#include <pugixml.hpp>
#ifdef VD_HAVE_LIBPLIST
#include <plist/plist.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::vector<char> slurp(const std::string& path)
{
    const std::string bytes = testkit::ReadFile(path);
    return std::vector<char>(bytes.begin(), bytes.end());
}

const void* volatile gSink = nullptr;
void keep(const void* result)
{
    gSink = result;
}

// One timed read in this fresh process, the input already in memory;
// the result is not freed, so no reader pays for freeing its tree.
double timeOne(const std::string& kind, const std::vector<char>& input)
{
    const auto start = std::chrono::steady_clock::now();
    if (kind == "ours") {
        boost::any* v = new boost::any;
        Plist::readFromBuffer(input.data(), static_cast<int64_t>(input.size()), *v);
        keep(v);
    } else if (kind == "pugixml") {
        pugi::xml_document* doc = new pugi::xml_document;
        doc->load_buffer(input.data(), input.size(), pugi::parse_default, pugi::encoding_auto);
        keep(doc);
#ifdef VD_HAVE_LIBPLIST
    } else if (kind == "libplist-bin") {
        plist_t node = nullptr;
        plist_from_bin(input.data(), static_cast<uint32_t>(input.size()), &node);
        keep(node);
    } else if (kind == "libplist-xml") {
        plist_t node = nullptr;
        plist_from_xml(input.data(), static_cast<uint32_t>(input.size()), &node);
        keep(node);
#endif
    } else {
        return -1;
    }
    const auto end = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::milli>(end - start).count();
}

// Runs a program that prints one time in milliseconds and reads it into ms
// (-1 when it printed none); false when the program could not be started
// or a signal ended it.
bool runTimed(const std::vector<std::string>& args, double& ms)
{
    std::string out;
    const int status = testkit::RunCaptured(args, &out);
    if (std::sscanf(out.c_str(), "%lf", &ms) != 1)
        ms = -1;
    return status >= 0;
}

// Best time of `runs` reads, each in a fresh process (this program run
// with --one), so that every reader starts from the same clean heap, as in
// a program that reads one property list.
double best(const char* self, const std::string& kind, const std::string& path, int runs)
{
    double bestMs = -1;
    for (int i = 0; i < runs; ++i) {
        double ms = -1;
        if (!runTimed({self, "--one", kind, path}, ms))
            return -1;
        if (ms >= 0 && (bestMs < 0 || ms < bestMs))
            bestMs = ms;
    }
    return bestMs;
}

double plistlibMs(const std::string& path, int runs)
{
    const char script[] =
        "import plistlib,sys,time\n"
        "data=open(sys.argv[1],'rb').read()\n"
        "best=1e300\n"
        "for _ in range(int(sys.argv[2])):\n"
        "    t=time.perf_counter(); plistlib.loads(data); best=min(best,time.perf_counter()-t)\n"
        "print(best*1000)";
    double ms = -1;
    runTimed({"/usr/bin/python3", "-c", script, path, std::to_string(runs)}, ms);
    return ms;
}


size_t entries(const boost::any& v)
{
    return boost::any_cast<const Plist::Dictionary&>(v).size();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--one") {
        const std::vector<char> input = slurp(argv[3]);
        std::printf("%f\n", timeOne(argv[2], input));
        return 0;
    }
    const std::string dir = argc > 1 ? argv[1] : "bench-data";
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    const std::string binPath = dir + "/bench.bplist";
    const std::string xmlPath = dir + "/bench.xml";
    struct stat st;
    if (stat(binPath.c_str(), &st) != 0 || stat(xmlPath.c_str(), &st) != 0) {
        const std::string make = "/usr/bin/python3 '" VD_BENCH_GENERATOR "' '" + dir + "'";
        std::printf("generating inputs: %s\n", make.c_str());
        if (std::system(make.c_str()) != 0) {
            std::fprintf(stderr, "could not generate the inputs\n");
            return 1;
        }
    }
    const std::vector<char> bin = slurp(binPath);
    const std::vector<char> xml = slurp(xmlPath);
    std::printf("inputs: %s %.1f MB, %s %.1f MB; best of %d runs\n", binPath.c_str(), bin.size() / 1e6,
                xmlPath.c_str(), xml.size() / 1e6, runs);

    // Each of our reads runs once here first, to check that it reads the file.
    boost::any value;
    Plist::readFromBuffer(bin.data(), static_cast<int64_t>(bin.size()), value);
    const size_t binEntries = entries(value);
    Plist::readFromBuffer(xml.data(), static_cast<int64_t>(xml.size()), value);
    const size_t xmlEntries = entries(value);
    value = boost::any();

    const char* self = "/proc/self/exe";
    char selfPath[4096];
    const ssize_t n = readlink(self, selfPath, sizeof selfPath - 1);
    if (n > 0) {
        selfPath[n] = '\0';
        self = selfPath;
    }
    const double oursBin = best(self, "ours", binPath, runs);
    const double oursXml = best(self, "ours", xmlPath, runs);
    const double pugiMs = best(self, "pugixml", xmlPath, runs);
    const double libplistBin = best(self, "libplist-bin", binPath, runs);
    const double libplistXml = best(self, "libplist-xml", xmlPath, runs);
    const int pyRuns = std::max(1, std::min(runs, 3));
    const double pyBin = plistlibMs(binPath, pyRuns);
    const double pyXml = plistlibMs(xmlPath, pyRuns);

    std::printf("\n%-22s %12s %12s\n", "reader", "binary ms", "XML ms");
    std::printf("%-22s %12.1f %12.1f   (%zu / %zu entries)\n", "ours", oursBin, oursXml, binEntries, xmlEntries);
    std::printf("%-22s %12.1f %12.1f\n", "libplist", libplistBin, libplistXml);
    std::printf("%-22s %12.1f %12.1f\n", "python3 plistlib", pyBin, pyXml);
    std::printf("%-22s %12s %12.1f\n", "pugixml bare parse", "-", pugiMs);
    std::printf("\nratios (ours / other):\n");
    std::printf("  binary vs libplist  %6.2f   goal <= 1.00\n", oursBin / libplistBin);
    std::printf("  XML vs libplist     %6.2f   goal <= 0.50\n", oursXml / libplistXml);
    std::printf("  XML vs pugixml      %6.2f   goal <= 2.00\n", oursXml / pugiMs);
    std::printf("  binary vs plistlib  %6.2f\n", oursBin / pyBin);
    std::printf("  XML vs plistlib     %6.2f\n", oursXml / pyXml);
    return 0;
}
