// What the report asks of the system: commands, the process list, the
// daemon's program file, token libraries and the user database.
#include "app/SystemProbes.h"
#include "app/SystemProbes_internal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <string>
#include <utility>
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

class RunProgram : public ScratchDir {
protected:
    // Runs a script that notes its process id and then outlives the time
    // limit or prints more than is kept: by the time the call returns, and
    // within its limit, it must be ended (killed, unless it ended first)
    // and reaped, and what it printed kept.
    void expectKilledKeeping(const std::string& name, const std::string& body, const std::string& expected,
                             int timeoutMs = 300)
    {
        const std::string pidFile = dir + "/pid";
        std::string output;
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(RunProgramOutput(script(name, "echo $$ > " + pidFile + "\n" + body), "--ver", timeoutMs, output));
        // Only a hang is caught here, so the margin is wide.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(timeoutMs + 5000));
        // Sizes first: a runaway output is not printed whole.
        ASSERT_EQ(output.size(), expected.size());
        EXPECT_EQ(output, expected);
        std::ifstream in(pidFile);
        pid_t pid = 0;
        in >> pid;
        ASSERT_GT(pid, 0);
        // The child has been killed and reaped: its id no longer exists.
        EXPECT_NE(kill(pid, 0), 0);
    }
};

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
    expectKilledKeeping("hang", "printf 'partial\\n'\nexec sleep 300\n", "partial\n");
}

TEST_F(RunProgram, ProgramThatClosesOutputButRunsOnIsKilled)
{
    expectKilledKeeping("closer", "echo done\nexec sleep 300 >&-\n", "done\n");
}

// A version text is never this long; whatever a program prints, the report
// keeps no more than 64 KiB and waits no longer than its time limit.
TEST_F(RunProgram, KeepsAtMost64KiBOfOutput)
{
    struct CapCase {
        const char* name;
        std::string body;
        size_t kept;
    };
    const std::string print = "yes 0123456789abcde | head -c ";
    const CapCase cases[] = {
        {"just_under", print + "65535\n", 65535},
        {"exactly", print + "65536\n", 65536},
        {"just_over", print + "65537\n", 65536},
        {"hundred_mib", print + "104857600\n", 65536},
        {"endless", "exec yes 0123456789abcde\n", 65536},
    };
    // Sixteen-byte lines show where the cut fell.
    std::string lines;
    while (lines.size() < 65536)
        lines += "0123456789abcde\n";
    for (const CapCase& c : cases) {
        SCOPED_TRACE(c.name);
        // Two seconds fill the cap many times over, even on a loaded machine.
        expectKilledKeeping(c.name, c.body, lines.substr(0, c.kept), 2000);
    }
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

} // namespace
