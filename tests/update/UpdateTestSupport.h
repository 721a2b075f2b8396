// What the update-check tests run against: the loopback update server (a
// Python process of ours, plain HTTP and HTTPS with certificates made at
// test time), a listener that never answers, and a stand-in browser that
// records how it was started.
#ifndef VD_TESTS_UPDATE_UPDATETESTSUPPORT_H
#define VD_TESTS_UPDATE_UPDATETESTSUPPORT_H

#include "plist/Plist.h"
#include "tests/support/testkit/testkit.h"

#include <string>
#include <vector>

#include <sys/types.h>

using testkit::ReadFile;
using testkit::XmlPlist;
// Aborts the test binary when the file cannot be written.
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);

using testkit::TempDir;

// The update server. Files written with put() are served as /files/NAME.
class UpdateServer {
public:
    UpdateServer();  // starts it; aborts the test binary if it cannot
    ~UpdateServer();

    void put(const std::string& name, const std::string& content);
    // Base addresses, e.g. "http://127.0.0.1:PORT".
    std::string http() const;
    std::string https() const;           // certificate names 127.0.0.1
    std::string httpsWrongName() const;  // certificate names another host
    // The directory on this machine's disk that holds the files put() wrote.
    std::string root() const;
    // Paths requested so far, one per line as the server logged them.
    std::vector<std::string> requests() const;
    void clearRequests();

private:
    TempDir dir_;
    pid_t pid_;
    int watchFd_;
    int httpPort_;
    int httpsPort_;
    int httpsWrongPort_;
};

// A loopback listener that accepts connections into its queue and never
// answers them.
class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    std::string url() const;
    // Takes one queued connection without blocking; false when none came.
    bool acceptOne();
    // Closing the listener resets the queued connections.
    void close();

private:
    int fd_;
    int port_;
};

// A loopback port on which nothing listens.
int ClosedPort();

// A name server that takes every query and never answers: a UDP socket on
// port 53 of the loopback, which the rig's /etc/resolv.conf names as its
// only name server (binding the port needs root, as the rig has).
class SilentNameServer {
public:
    SilentNameServer();  // aborts the test binary if it cannot bind
    ~SilentNameServer();
    // Queries that have arrived so far.
    int queries();

private:
    int fd_;
    int queries_;
};

// The check's own bound on its transfer, and the latest a check that keeps
// it is allowed to end: a margin of 25 s, which no load on the machine uses
// up, yet short of what the check would wait without its bound (the silent
// name server's resolver gives up after 2 x 30 s, the silent listener never
// answers and the test's own guard ends it at 60 s).
constexpr double kTransferTimeOutSeconds = 5.0;
constexpr double kTimeOutLatestSeconds = kTransferTimeOutSeconds + 25.0;
// The earliest that a check ended by its time-out is seen to end: one that
// took less never waited for it.
constexpr double kTimeOutEarliestSeconds = kTransferTimeOutSeconds - 0.5;

// Puts a program "firefox" first on the search path that, after a short
// delay (so that a caller who does not wait would miss it), writes each of
// its arguments followed by a NUL to the log file.
class FakeBrowser {
public:
    FakeBrowser();
    ~FakeBrowser();
    void reset();
    bool ran() const;
    std::vector<std::string> arguments() const;
    const std::string& dir() const { return dir_.path(); }

private:
    TempDir dir_;
    std::string oldPath_;
    std::string log_;
};

// A version file as the update server publishes it.
std::string VersionFile(const boost::any& root, bool binary);
Plist::Dictionary VersionRoot(const std::string& version, const std::string& pl);

#endif
