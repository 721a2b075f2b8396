// What the report asks of the system: commands, the process list, the
// daemon's program file, token libraries and the user database.
#include "app/SystemProbes.h"
#include "app/SystemProbes_internal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/testkit/testkit.h"

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
    void SetUp() override { ASSERT_FALSE(dir.empty()); }
    std::string script(const std::string& name, const std::string& body)
    {
        const std::string path = dir + "/" + name;
        std::ofstream out(path);
        out << "#!/bin/sh\n" << body;
        out.close();
        chmod(path.c_str(), 0755);
        return path;
    }
    testkit::TempDir scratch;
    const std::string dir = scratch.path();
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
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(timeoutMs + 20000));
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

// A mount namespace of the case's own in which /tmp is a new, empty file
// system that only root may write: what a case lays out there is root's in
// every way the walk from "/" checks, and neither the machine's /tmp nor
// anyone else sees it. Left, with all it holds, when the case ends.
class RootOnlyTmp : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(geteuid(), 0u) << "needs root for a mount namespace and to give files other owners";
        home_ = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
        cwd_ = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
        ASSERT_TRUE(home_ >= 0 && cwd_ >= 0);
        ASSERT_EQ(unshare(CLONE_NEWNS), 0) << strerror(errno);
        entered_ = true;
        ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << strerror(errno);
        ASSERT_EQ(mount("tmpfs", "/tmp", "tmpfs", 0, "mode=0755"), 0) << strerror(errno);
    }
    void TearDown() override
    {
        for (const pid_t pid : processes_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (entered_) {
            EXPECT_EQ(setns(home_, CLONE_NEWNS), 0) << strerror(errno);
            EXPECT_EQ(fchdir(cwd_), 0);
        }
        close(home_);
        close(cwd_);
    }
    // Directories, files and links of the given owner and mode.
    static bool Directory(const std::string& path, mode_t mode = 0755)
    {
        return mkdir(path.c_str(), mode) == 0 && chmod(path.c_str(), mode) == 0;
    }
    static bool Program(const std::string& path, uid_t owner = 0, mode_t mode = 0755)
    {
        return testkit::WriteFile(path, testkit::ReadFile("/bin/sleep")) && chown(path.c_str(), owner, owner) == 0 &&
               chmod(path.c_str(), mode) == 0;
    }
    static bool Link(const std::string& target, const std::string& path, uid_t owner = 0)
    {
        return symlink(target.c_str(), path.c_str()) == 0 && lchown(path.c_str(), owner, owner) == 0;
    }
    // The program started as "pcscd 60", killed when the case ends.
    pid_t Start(const std::string& path)
    {
        char name[] = "pcscd";
        char seconds[] = "60";
        char* argv[] = {name, seconds, nullptr};
        pid_t pid = -1;
        if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0)
            return -1;
        processes_.push_back(pid);
        return pid;
    }

private:
    int home_ = -1;
    int cwd_ = -1;
    bool entered_ = false;
    std::vector<pid_t> processes_;
};

const uid_t kStranger = 4321;

// Processes that run a copy of sleep under a given name, owner and mode, in
// directories only root may write: only a root-owned "pcscd" that no one
// else may write is opened, and only while it is the file the process runs.
using DaemonExecutable = RootOnlyTmp;

TEST_F(DaemonExecutable, OnlyTheRootOwnedPcscdTheProcessRunsIsOpened)
{
    enum class Then { Runs, Deleted, Replaced };
    struct ExecutableCase {
        const char* name;
        uid_t owner;
        mode_t mode;
        Then then;
        bool trusted;
    };
    const ExecutableCase cases[] = {
        {"pcscd", 0, 0755, Then::Runs, true},
        {"pcscd", kStranger, 0755, Then::Runs, false},
        {"pcscd", 0, 0775, Then::Runs, false},
        {"pcscd", 0, 0757, Then::Runs, false},
        {"sleep", 0, 0755, Then::Runs, false},
        {"pcscd-x", 0, 0755, Then::Runs, false},
        // Its path now names nothing, or another root-owned pcscd.
        {"pcscd", 0, 0755, Then::Deleted, false},
        {"pcscd", 0, 0755, Then::Replaced, false},
    };
    int index = 0;
    for (const ExecutableCase& c : cases) {
        SCOPED_TRACE(std::to_string(index) + ": " + c.name + " owner " + std::to_string(c.owner) + " mode " +
                     std::to_string(c.mode) + " then " + std::to_string(static_cast<int>(c.then)));
        const std::string sub = "/tmp/" + std::to_string(index++);
        const std::string path = sub + "/" + c.name;
        ASSERT_TRUE(Directory(sub) && Program(path, c.owner, c.mode));
        const pid_t pid = Start(path);
        ASSERT_GT(pid, 0);
        const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
        ASSERT_TRUE(testkit::WaitUntil([&] {
            char target[4096];
            const ssize_t n = readlink(exe.c_str(), target, sizeof target);
            return n > 0 && std::string(target, static_cast<size_t>(n)) == path;
        }));
        if (c.then != Then::Runs) {
            ASSERT_EQ(unlink(path.c_str()), 0);
        }
        if (c.then == Then::Replaced) {
            ASSERT_TRUE(Program(path));
        }
        const int fd = OpenTrustedDaemonExecutable({pid, "pcscd"});
        EXPECT_EQ(fd >= 0, c.trusted);
        if (fd >= 0) {
            struct stat opened, running;
            ASSERT_EQ(fstat(fd, &opened), 0);
            ASSERT_EQ(stat(exe.c_str(), &running), 0);
            EXPECT_TRUE(opened.st_dev == running.st_dev && opened.st_ino == running.st_ino);
            close(fd);
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        // The process is gone: nothing is opened for its id, not even the
        // program it named.
        EXPECT_EQ(OpenTrustedDaemonExecutable({pid, "/usr/sbin/pcscd"}), -1);
    }
    EXPECT_EQ(OpenTrustedDaemonExecutable({0, "/usr/sbin/pcscd"}), -1);
}

// The program a process list names, for a user who may not look at root's
// processes, and the path root finds the running file by: only a root-owned
// "pcscd" reached through directories that only root may write and links
// that only root owns, as many as the kernel follows.
using DaemonFile = RootOnlyTmp;

TEST_F(DaemonFile, OnlyARootOwnedPcscdIsOpenedByItsPath)
{
    struct stat installed;
    ASSERT_EQ(stat("/usr/sbin/pcscd", &installed), 0) << "pcscd is not installed";
    const std::string program = "/tmp/usr/sbin/pcscd";
    ASSERT_TRUE(Directory("/tmp/usr") && Directory("/tmp/usr/sbin") && Directory("/tmp/usr/bin") &&
                Program(program) && Program("/tmp/usr/sbin/other"));
    ASSERT_TRUE(Link("usr/sbin", "/tmp/sbin") && Link("/tmp/usr/sbin", "/tmp/absolute") &&
                Link("../sbin", "/tmp/usr/bin/up") && Link("../../../../tmp/usr/sbin", "/tmp/usr/beyond") &&
                Link("usr/sbin", "/tmp/theirs", kStranger) && Link("loop", "/tmp/loop"));
    ASSERT_TRUE(Directory("/tmp/alias") && Link("../usr/sbin/pcscd", "/tmp/alias/pcscd") &&
                Directory("/tmp/renamed") && Link("../usr/sbin/other", "/tmp/renamed/pcscd"));
    ASSERT_TRUE(Directory("/tmp/open", 0777) && Link("/tmp/usr/sbin", "/tmp/open/sbin") &&
                Program("/tmp/open/pcscd"));
    // Each link of the chain names the one before; the first leads to the program's directory.
    ASSERT_TRUE(Directory("/tmp/chain") && Link("../usr/sbin", "/tmp/chain/1"));
    for (int i = 2; i <= 41; ++i)
        ASSERT_TRUE(Link(std::to_string(i - 1), "/tmp/chain/" + std::to_string(i)));
    struct stat file;
    ASSERT_EQ(stat(program.c_str(), &file), 0);

    const std::pair<std::string, bool> cases[] = {
        {program, true},
        {"//tmp///usr/sbin/pcscd", true},
        {"/tmp/usr/./sbin/pcscd", true},
        {"/tmp/usr/sbin/../sbin/pcscd", true},
        {"/../tmp/usr/sbin/pcscd", true},     // ".." at "/" stays there
        {"/tmp/sbin/pcscd", true},            // root's link, as a merged system's /sbin
        {"/tmp/absolute/pcscd", true},
        {"/tmp/usr/bin/up/pcscd", true},      // a link back up with ".."
        {"/tmp/usr/beyond/pcscd", true},      // and up past "/"
        {"/tmp/alias/pcscd", true},           // root's link to the program itself
        {"/tmp/chain/40/pcscd", true},        // as many links as the kernel follows
        {"/tmp/chain/41/pcscd", false},       // one more
        {"/tmp/loop/pcscd", false},
        {"/tmp/theirs/pcscd", false},         // another user's link
        {"/tmp/open/sbin/pcscd", false},      // root's link in a directory anyone writes
        {"/tmp/open/pcscd", false},
        {"/tmp/renamed/pcscd", false},        // a link "pcscd" to a program of another name
        {"pcscd", false},                     // not absolute
        {"tmp/usr/sbin/pcscd", false},
        {"/tmp/usr/sbin/pcscd-missing", false},
        {"/tmp/usr/sbin", false},
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
            EXPECT_EQ(opened.st_ino, file.st_ino);
            close(fd);
        }
    }
    // The machine's own daemon, as installed.
    const int fd = OpenTrustedDaemonFile("/usr/sbin/pcscd");
    ASSERT_GE(fd, 0);
    struct stat opened;
    ASSERT_EQ(fstat(fd, &opened), 0);
    EXPECT_EQ(opened.st_ino, installed.st_ino);
    close(fd);
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
