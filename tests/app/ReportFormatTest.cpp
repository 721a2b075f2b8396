// Text formatters and system probes of the report worker.
#include "app/ReportFormat.h"
#include "app/RuntimeParams.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

// Found by the test framework beside the record they compare and print.
bool operator==(const DaemonProcess& a, const DaemonProcess& b)
{
    return a.pid == b.pid && a.program == b.program;
}

void PrintTo(const DaemonProcess& daemon, std::ostream* out)
{
    *out << daemon.pid << " " << daemon.program;
}

namespace {

std::string Bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

// A 32-byte ATR and a 20-byte key identifier, with no two neighbours alike.
const std::string kAtr32("\x3B\xDF\x96\x00\x80\xB1\xFE\x45\x1F\x83\x00\x31\xC0\x64\x1A\x18"
                         "\x01\x00\x0F\x90\x00\x52\x77\xAC\x5E\x6D\x21\x39\x4A\x8B\xC2\xF7",
                         32);
const std::string kId20("\x01\x23\x45\x67\x89\xAB\xCD\xEF\xFE\xDC\xBA\x98\x76\x54\x32\x10\x0F\x1E\x2D\x3C",
                        20);

struct HexCase {
    const char* name;
    std::string data;
    int length;
    unsigned perLine;
    const char* separator;
    std::string expected;
};

class FormatHexCases : public ::testing::TestWithParam<HexCase> {};

TEST_P(FormatHexCases, MatchesTheLayoutRules)
{
    const HexCase& c = GetParam();
    EXPECT_EQ(std::string(FormatHex(c.data.data(), c.length, c.perLine, c.separator)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, FormatHexCases,
    ::testing::Values(
        HexCase{"three_atr_bytes", Bytes({0x3B, 0x8F, 0x80}), 3, 32, ":", "3B:8F:80"},
        HexCase{"atr_of_32_ends_with_line_feed", kAtr32, 32, 32, ":",
                "3B:DF:96:00:80:B1:FE:45:1F:83:00:31:C0:64:1A:18:"
                "01:00:0F:90:00:52:77:AC:5E:6D:21:39:4A:8B:C2:F7\n"},
        HexCase{"atr_of_31_has_no_line_feed", kAtr32.substr(0, 31), 31, 32, ":",
                "3B:DF:96:00:80:B1:FE:45:1F:83:00:31:C0:64:1A:18:"
                "01:00:0F:90:00:52:77:AC:5E:6D:21:39:4A:8B:C2"},
        HexCase{"one_byte_one_per_line", Bytes({0x0A}), 1, 1, ":", "0A"},
        HexCase{"one_per_line_first_gets_separator", Bytes({0x01, 0x02, 0x03}), 3, 1, ":", "01:02\n03\n"},
        HexCase{"identifier_of_20", kId20, 20, 20, "", "0123456789ABCDEFFEDCBA98765432100F1E2D3C\n"},
        HexCase{"upper_case_nibbles", Bytes({0xAB, 0xCD, 0xEF, 0x00}), 4, 32, "", "ABCDEF00"},
        HexCase{"zero_length_is_empty", Bytes({0x11}), 0, 32, ":", ""},
        HexCase{"negative_length_is_empty", Bytes({0x11}), -5, 32, ":", ""},
        HexCase{"zero_per_line_never_breaks", Bytes({0x01, 0x02, 0x03}), 3, 0, "-", "01-02-03"},
        HexCase{"multi_char_separator", Bytes({0x01, 0x02}), 2, 32, ", ", "01, 02"}),
    [](const ::testing::TestParamInfo<HexCase>& info) { return std::string(info.param.name); });

TEST(FormatHexBounds, LongInputStaysInsideTheBufferInWholeBytes)
{
    const std::string data(5000, '\x5A');
    const char* out = FormatHex(data.data(), static_cast<int>(data.size()), 0, ":");
    const size_t length = strlen(out);
    EXPECT_LT(length, 4096u);
    EXPECT_GT(length, 4000u);
    // Whole "5A:" units only: a cut never leaves half a byte.
    EXPECT_EQ(length % 3, 2u);
    EXPECT_EQ(std::string(out, 2), "5A");
    // A following short call starts from a cleared buffer.
    EXPECT_STREQ(FormatHex("\x01", 1, 32, ":"), "01");
}

struct GroupCase {
    const char* name;
    std::string text;
    std::string expected;
};

class GroupDigitsCases : public ::testing::TestWithParam<GroupCase> {};

TEST_P(GroupDigitsCases, GroupsOfFour)
{
    EXPECT_EQ(std::string(GroupDigitsBy4(GetParam().text.c_str())), GetParam().expected);
}

// The numbers 1 to count, each in four digits: "000100020003...".
std::string Numbered(int count)
{
    std::string out;
    char group[16];
    for (int i = 1; i <= count; ++i) {
        snprintf(group, sizeof group, "%04d", i);
        out += group;
    }
    return out;
}

// The grouping of Numbered(100): a line feed after the 100th group.
const char kHundredGroups[] =
    "0001 0002 0003 0004 0005 0006 0007 0008 0009 0010 0011 0012 0013 0014 0015 0016 0017 0018 0019 0020 "
    "0021 0022 0023 0024 0025 0026 0027 0028 0029 0030 0031 0032 0033 0034 0035 0036 0037 0038 0039 0040 "
    "0041 0042 0043 0044 0045 0046 0047 0048 0049 0050 0051 0052 0053 0054 0055 0056 0057 0058 0059 0060 "
    "0061 0062 0063 0064 0065 0066 0067 0068 0069 0070 0071 0072 0073 0074 0075 0076 0077 0078 0079 0080 "
    "0081 0082 0083 0084 0085 0086 0087 0088 0089 0090 0091 0092 0093 0094 0095 0096 0097 0098 0099 0100\n";

INSTANTIATE_TEST_SUITE_P(
    Texts, GroupDigitsCases,
    ::testing::Values(GroupCase{"sixteen", "ABCDEFGHIJKLMNOP", "ABCD EFGH IJKL MNOP"},
                      GroupCase{"six_drops_tail", "ABCDEF", "ABCD"},
                      GroupCase{"three_is_empty", "ABC", ""},
                      GroupCase{"empty", "", ""},
                      GroupCase{"card_number", "1234567890123456", "1234 5678 9012 3456"},
                      GroupCase{"four_hundred", Numbered(100), kHundredGroups},
                      GroupCase{"hundred_and_one", Numbered(101), std::string(kHundredGroups) + "0101"},
                      GroupCase{"hundred_and_two", Numbered(102), std::string(kHundredGroups) + "0101 0102"}),
    [](const ::testing::TestParamInfo<GroupCase>& info) { return std::string(info.param.name); });

TEST(GroupDigitsBounds, LongInputStaysInsideTheBuffer)
{
    const std::string text(20000, '7');
    const char* out = GroupDigitsBy4(text.c_str());
    const size_t length = strlen(out);
    EXPECT_LT(length, 4096u);
    EXPECT_EQ(length % 5, 4u);  // whole groups with their separators
    EXPECT_STREQ(GroupDigitsBy4(nullptr), "");
}

TEST(DaemonProcesses, OnlyAProgramNamedPcscdIsTheDaemon)
{
    const std::vector<std::string> list = {
        "    PID TTY      STAT   TIME COMMAND\n",
        "      1 ?        Ss     0:02 /sbin/init\n",
        "      7 pts/0    S+     0:00 tail -f /var/log/pcscd.log\n",
        "      8 pts/1    S+     0:00 journalctl -u pcscd\n",
        "      9 ?        S      0:00 grep --color /opt/x/pcscd -r\n",
        "     10 ?        S      0:00 /usr/bin/mypcscd-helper\n",
        "     11 ?        S      0:00 /usr/sbin/pcscd.real -f\n",
        "     12 ?        S      0:00 [pcscd]\n",
        "    812 ?        Ssl  1234:56 /usr/sbin/pcscd --foreground --auto-exit\n",
        "    813 ?        S      0:00 /home/someone/pcscd\n",
        "    814 ?        S      0:00 pcscd -f -c /tmp/x",
        "  x815 ?        S      0:00 /usr/sbin/pcscd\n",
        "    816 ?        S      0:00\n",
    };
    EXPECT_EQ(FindDaemonProcesses(list), (std::vector<DaemonProcess>{{812, "/usr/sbin/pcscd"},
                                                                      {813, "/home/someone/pcscd"},
                                                                      {814, "pcscd"}}));
    EXPECT_TRUE(FindDaemonProcesses({"      1 ?        Ss     0:02 /sbin/init --no-pcscd\n"}).empty());
}

TEST(DaemonProcesses, LongProcessListLinesAreKeptWhole)
{
    std::vector<std::string> lines;
    ASSERT_TRUE(ReadCommandLines("printf 'short\\n  5 ? S 0:00 /s/pcscd '; head -c 30000 /dev/zero | tr '\\0' x; echo",
                                 lines));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "short\n");
    EXPECT_EQ(lines[1].size(), 30000u + 23u);
    EXPECT_EQ(FindDaemonProcesses(lines), (std::vector<DaemonProcess>{{5, "/s/pcscd"}}));
}

struct VersionBlockCase {
    const char* name;
    std::string output;
    std::string expected;
};

class DaemonVersionBlock : public ::testing::TestWithParam<VersionBlockCase> {};

TEST_P(DaemonVersionBlock, TwoBlanksBeforeAndAfterEveryLine)
{
    EXPECT_EQ(FormatDaemonVersion(GetParam().output), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, DaemonVersionBlock,
    ::testing::Values(VersionBlockCase{"prints_nothing", "", "  "},
                      VersionBlockCase{"one_line", "pcsc-lite version 1.9.9.\n", "  pcsc-lite version 1.9.9.\n  "},
                      VersionBlockCase{"two_lines", "a\nb\n", "  a\n  b\n  "},
                      VersionBlockCase{"last_line_unterminated", "a\nb", "  a\n  b  "},
                      VersionBlockCase{"empty_lines_kept", "\n\n", "  \n  \n  "},
                      VersionBlockCase{"long_line_whole", std::string(20000, 'v') + "\n",
                                       "  " + std::string(20000, 'v') + "\n  "}),
    [](const ::testing::TestParamInfo<VersionBlockCase>& info) { return std::string(info.param.name); });

class ScratchDir : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vd-app-format-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override
    {
        const std::string command = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }
    std::string script(const std::string& name, const std::string& body)
    {
        const std::string path = dir + "/" + name;
        std::ofstream out(path);
        out << "#!/bin/sh\n" << body;
        out.close();
        chmod(path.c_str(), 0755);
        return path;
    }
    std::string dir;
};

using RunProgram = ScratchDir;

TEST_F(RunProgram, CollectsOutputOfTheSingleArgument)
{
    const std::string path = script("pcscd", "printf 'args:%s|%s\\n' \"$#\" \"$1\"\nprintf 'second line\\n'\n");
    std::string output;
    ASSERT_TRUE(RunProgramOutput(path, "--ver", 5000, output));
    EXPECT_EQ(output, "args:1|--ver\nsecond line\n");
}

TEST_F(RunProgram, ShellCharactersInThePathAreNotInterpreted)
{
    // A shell would run "touch" on this path; run directly it is just a name.
    const std::string marker = dir + "/marker";
    const std::string path = dir + "/x;touch " + marker + ";pcscd";
    std::string output;
    EXPECT_FALSE(RunProgramOutput(path, "--ver", 5000, output));
    EXPECT_NE(access(marker.c_str(), F_OK), 0);
}

TEST_F(RunProgram, MissingProgramDoesNotStart)
{
    std::string output;
    EXPECT_FALSE(RunProgramOutput(dir + "/missing/pcscd", "--ver", 5000, output));
    EXPECT_TRUE(output.empty());
}

TEST_F(RunProgram, SilentProgramGivesEmptyOutput)
{
    std::string output = "";
    ASSERT_TRUE(RunProgramOutput(script("quiet", "exit 3\n"), "--ver", 5000, output));
    EXPECT_EQ(output, "");
}

TEST_F(RunProgram, HangingProgramIsKilledAndPartialOutputKept)
{
    const std::string pidFile = dir + "/pid";
    const std::string path = script("hang", "echo $$ > " + pidFile + "\nprintf 'partial\\n'\nexec sleep 300\n");
    std::string output;
    ASSERT_TRUE(RunProgramOutput(path, "--ver", 300, output));
    EXPECT_EQ(output, "partial\n");
    std::ifstream in(pidFile);
    pid_t pid = 0;
    in >> pid;
    ASSERT_GT(pid, 0);
    // The child has been killed and reaped: its id no longer exists.
    EXPECT_NE(kill(pid, 0), 0);
}

TEST_F(RunProgram, ProgramThatClosesOutputButRunsOnIsKilled)
{
    const std::string pidFile = dir + "/pid";
    const std::string path = script("closer", "echo $$ > " + pidFile + "\necho done\nexec sleep 300 >&-\n");
    std::string output;
    ASSERT_TRUE(RunProgramOutput(path, "--ver", 300, output));
    EXPECT_EQ(output, "done\n");
    std::ifstream in(pidFile);
    pid_t pid = 0;
    in >> pid;
    ASSERT_GT(pid, 0);
    EXPECT_NE(kill(pid, 0), 0);
}

TEST_F(RunProgram, LongPathRuns)
{
    std::string sub = dir;
    for (int i = 0; i < 6; ++i) {
        sub += "/" + std::string(60, static_cast<char>('a' + i));
        mkdir(sub.c_str(), 0755);
    }
    const std::string path = sub + "/pcscd";
    {
        std::ofstream out(path);
        out << "#!/bin/sh\necho long\n";
    }
    chmod(path.c_str(), 0755);
    ASSERT_GT(path.size(), 300u);
    std::string output;
    ASSERT_TRUE(RunProgramOutput(path, "--ver", 5000, output));
    EXPECT_EQ(output, "long\n");
}

// Processes that run a copy of sleep under a given name, owner and mode;
// only a root-owned "pcscd" that no one else may write is opened.
using DaemonExecutable = ScratchDir;

TEST_F(DaemonExecutable, OnlyARootOwnedPcscdFileIsOpened)
{
    ASSERT_EQ(geteuid(), 0u) << "needs root to give the program files other owners";
    struct ExecutableCase {
        const char* name;
        uid_t owner;
        mode_t mode;
        bool trusted;
    };
    const ExecutableCase cases[] = {
        {"pcscd", 0, 0755, true},      {"pcscd", 65534, 0755, false}, {"pcscd", 0, 0775, false},
        {"pcscd", 0, 0757, false},     {"sleep", 0, 0755, false},     {"pcscd-x", 0, 0755, false},
    };
    int index = 0;
    for (const ExecutableCase& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " owner " + std::to_string(c.owner) + " mode " + std::to_string(c.mode));
        const std::string sub = dir + "/" + std::to_string(index++);
        ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
        const std::string path = sub + "/" + c.name;
        ASSERT_EQ(system(("cp /bin/sleep '" + path + "'").c_str()), 0);
        ASSERT_EQ(chown(path.c_str(), c.owner, c.owner), 0);
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        char name[] = "pcscd";
        char seconds[] = "60";
        char* argv[] = {name, seconds, nullptr};
        pid_t pid = -1;
        ASSERT_EQ(posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ), 0);
        const int fd = OpenTrustedDaemonExecutable({pid, "pcscd"});
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        EXPECT_EQ(fd >= 0, c.trusted);
        if (fd >= 0) {
            struct stat opened, file;
            ASSERT_EQ(fstat(fd, &opened), 0);
            ASSERT_EQ(stat(path.c_str(), &file), 0);
            EXPECT_EQ(opened.st_ino, file.st_ino);
            close(fd);
        }
        // The process is gone: nothing is opened for its id, not even the
        // program it named.
        EXPECT_EQ(OpenTrustedDaemonExecutable({pid, "/usr/sbin/pcscd"}), -1);
    }
    EXPECT_EQ(OpenTrustedDaemonExecutable({0, "/usr/sbin/pcscd"}), -1);
}

// The program a process list names, for a user who may not look at root's
// processes: only a root-owned "pcscd" reached through root-owned
// directories that no one else may write. The system's own daemon is the
// one such file this machine has; the rig's decoy rows try the others.
TEST_F(DaemonExecutable, ARootInstalledPcscdIsOpenedByItsPath)
{
    ASSERT_EQ(geteuid(), 0u) << "needs root to give the program file root as its owner";
    const std::string daemon = "/usr/sbin/pcscd";
    struct stat installed;
    ASSERT_EQ(stat(daemon.c_str(), &installed), 0) << "pcscd is not installed";
    const std::string copy = dir + "/pcscd";
    ASSERT_EQ(system(("cp /usr/sbin/pcscd '" + copy + "'").c_str()), 0);
    ASSERT_EQ(chmod(copy.c_str(), 0755), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    const std::pair<std::string, bool> cases[] = {
        {daemon, true},
        {"//usr///sbin/pcscd", true},
        {"pcscd", false},                     // not absolute
        {"usr/sbin/pcscd", false},            // not absolute
        {"/usr/sbin/../sbin/pcscd", false},   // a way back up
        {"/usr/./sbin/pcscd", false},
        {"/sbin/pcscd", false},               // a link on the way
        {copy, false},                        // /tmp may be written by anyone
        {"/usr/sbin/pcscd-missing", false},
        {"/usr/sbin", false},
        {"/", false},
        {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        const int fd = OpenTrustedDaemonFile(c.first);
        EXPECT_EQ(fd >= 0, c.second);
        if (fd >= 0) {
            struct stat opened;
            ASSERT_EQ(fstat(fd, &opened), 0);
            EXPECT_EQ(opened.st_ino, installed.st_ino);
            close(fd);
        }
    }
}

struct LibraryCase {
    const char* name;
    const char* file;  // beside the test program; nullptr: a path that does not exist
    std::string expected;
};

class TokenLibrary : public ::testing::TestWithParam<LibraryCase> {};

TEST_P(TokenLibrary, VersionOrUnknown)
{
    std::string path = "/nonexistent/libnothing.so";
    if (GetParam().file != nullptr)
        path = std::string(VD_FIXTURE_LIBRARY_DIR) + "/" + GetParam().file;
    // The text of the library that is closed again must have been copied.
    EXPECT_EQ(TokenLibraryVersion(path.c_str()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Libraries, TokenLibrary,
                         ::testing::Values(LibraryCase{"with_version", "libvd_fixture_version.so", "3.1.4-ł"},
                                           LibraryCase{"null_version", "libvd_fixture_null_version.so", "nieznana"},
                                           LibraryCase{"no_export", "libvd_fixture_no_version.so", "nieznana"},
                                           LibraryCase{"missing_file", nullptr, "nieznana"}),
                         [](const ::testing::TestParamInfo<LibraryCase>& info) { return std::string(info.param.name); });

TEST(UserName, EffectiveUserOrNumericId)
{
    // In a child, so that switching the effective user cannot leak.
    const uid_t ids[] = {0, 54321};
    for (uid_t id : ids) {
        if (id != 0 && geteuid() != 0)
            continue;  // only root can take an id without an entry
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (id != geteuid() && seteuid(id) != 0)
                _exit(2);
            const std::string name = EffectiveUserName();
            const std::string expected = id == 0 ? "root" : std::to_string(id);
            _exit(name == expected ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "uid " << id;
    }
}

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
    RuntimeParams params;
    memset(&params, 0, sizeof params);
    params.checkLatestVersion = true;  // the file must switch it off
    ApplyConfiguration(configuration, params);
    EXPECT_FALSE(params.checkLatestVersion);
    EXPECT_STREQ(params.versionFileUrl, "");
}

} // namespace
