// What the report asks of the system: command output, the process list and
// the daemon's program file, the version of a token library, the effective
// user's name.
#ifndef VD_APP_SYSTEMPROBES_H
#define VD_APP_SYSTEMPROBES_H

#include <string>
#include <vector>

// Lines of a fixed shell command's standard output, each with its line feed
// as read. False when the command cannot be started.
bool ReadCommandLines(const char* command, std::vector<std::string>& lines);

// One process-list line that names the daemon: its process id and its
// program, the first word of its command as the line shows it.
struct DaemonProcess {
    long pid;
    std::string program;
};

// The process-list lines ("ps -ax": PID, TTY, STAT, TIME, then the command)
// whose program, the first word of the command, has the base name "pcscd",
// in list order. A process that only names "pcscd" in its arguments is not
// among them.
std::vector<DaemonProcess> FindDaemonProcesses(const std::vector<std::string>& processList);

// The file that the daemon process runs, opened (O_PATH, close-on-exec),
// when it can be found in this process's own view of the system: the path
// that "/proc/PID/exe" names, walked as OpenTrustedDaemonFile does (a root-
// owned "pcscd", writable by no one else, not on a nosuid mount, reached
// through directories and links only root may change), must lead to the
// very file the process runs. -1 otherwise: for a process whose program was
// deleted or replaced since it started, or that runs it from a mount of its
// own where the path leads elsewhere here. Only when this process may not
// open the daemon's "/proc/PID/exe" (another user's process, for anyone but
// root) is its program taken instead, by its absolute path, on the same
// terms. Run as "/proc/self/fd/N", it is exactly the file checked.
int OpenTrustedDaemonExecutable(const DaemonProcess& daemon);

// Runs program directly (no shell; a name without a slash is searched in
// PATH) with the single argument argument, in a process group of its own,
// and collects its standard output. At most the first 64 KiB (65536 bytes)
// of it are kept. Once the program has ended, once that much has come, or
// after timeoutMs, its whole group is killed, and what was read so far is
// kept. False when the program cannot be started.
bool RunProgramOutput(const std::string& program, const char* argument, int timeoutMs, std::string& output);

// The version text that a token library's "GetVersion" export returns, copied
// before the library is closed; "nieznana" when the library cannot be
// opened, has no such export or returns a null text.
std::string TokenLibraryVersion(const char* path);

// The effective user's login name, or the numeric user id when the password
// database has no entry for it.
std::string EffectiveUserName();

#endif  // VD_APP_SYSTEMPROBES_H
