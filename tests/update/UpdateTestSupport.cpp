#include "UpdateTestSupport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

[[noreturn]] void Fail(const std::string& what)
{
    fprintf(stderr, "update test support: %s\n", what.c_str());
    abort();
}

int WaitFor(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int LoopbackSocket(int& port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        Fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        Fail("bind");
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

} // namespace

void WriteFile(const std::string& path, const std::string& content)
{
    if (!testkit::WriteFile(path, content))
        Fail("cannot write " + path);
}

bool FileExists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

UpdateServer::UpdateServer() : pid_(-1), watchFd_(-1), httpPort_(0), httpsPort_(0), httpsWrongPort_(0)
{
    const std::string d = dir_.path();
    if (d.empty())
        Fail("no scratch directory");
    mkdir(root().c_str(), 0700);
    // A self-signed certificate for the loopback address, and one for a host
    // that the address does not name.
    const struct {
        const char* stem;
        const char* names;
    } certificates[] = {{"good", "subjectAltName=IP:127.0.0.1,DNS:localhost"},
                        {"wrong", "subjectAltName=DNS:elsewhere.invalid"}};
    for (const auto& c : certificates) {
        std::string output;
        if (testkit::RunCaptured({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                                  d + "/" + c.stem + "-key.pem", "-out", d + "/" + c.stem + "-cert.pem", "-days",
                                  "2", "-subj", "/CN=vd-update-test", "-addext", c.names},
                                 &output, true) != 0)
            Fail("openssl req failed: " + output);
    }

    // The server watches the read end of a pipe whose only write end is
    // ours: it ends when the test does, however the test ends.
    int watch[2];
    if (pipe2(watch, O_CLOEXEC) != 0 || fcntl(watch[0], F_SETFD, 0) != 0)
        Fail("pipe");
    const std::string out = d + "/server-output";
    pid_ = testkit::Spawn({"python3", VD_UPDATE_SERVER, "--root", root(), "--log", d + "/requests.log", "--tls",
                           d + "/good-cert.pem", d + "/good-key.pem", "--tls", d + "/wrong-cert.pem",
                           d + "/wrong-key.pem", "--watch", std::to_string(watch[0])},
                          out);
    ::close(watch[0]);
    if (pid_ < 0)
        Fail("cannot start the update server");
    watchFd_ = watch[1];

    // Three "<scheme> <port>" lines, within a deadline.
    std::string output;
    bool ended = false;
    testkit::WaitUntil(
        [&] {
            output = ReadFile(out);
            ended = waitpid(pid_, nullptr, WNOHANG) == pid_;
            return ended || std::count(output.begin(), output.end(), '\n') >= 3;
        },
        std::chrono::seconds(30));
    if (ended)
        Fail("the update server ended: " + output);
    std::istringstream lines(output);
    std::vector<int> ports;
    for (std::string line; ports.size() < 3 && std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string scheme;
        int port = 0;
        if (fields >> scheme >> port)
            ports.push_back(port);
    }
    if (ports.size() != 3)
        Fail("the update server did not report its ports: " + output);
    httpPort_ = ports[0];
    httpsPort_ = ports[1];
    httpsWrongPort_ = ports[2];
}

UpdateServer::~UpdateServer()
{
    // Closing the pipe's write end ends the server.
    ::close(watchFd_);
    WaitFor(pid_);
}

void UpdateServer::put(const std::string& name, const std::string& content)
{
    WriteFile(root() + "/" + name, content);
}

std::string UpdateServer::root() const
{
    return dir_.path() + "/root";
}

std::string UpdateServer::http() const
{
    return "http://127.0.0.1:" + std::to_string(httpPort_);
}

std::string UpdateServer::https() const
{
    return "https://127.0.0.1:" + std::to_string(httpsPort_);
}

std::string UpdateServer::httpsWrongName() const
{
    return "https://127.0.0.1:" + std::to_string(httpsWrongPort_);
}

std::vector<std::string> UpdateServer::requests() const
{
    std::vector<std::string> out;
    std::istringstream in(ReadFile(dir_.path() + "/requests.log"));
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

void UpdateServer::clearRequests()
{
    unlink((dir_.path() + "/requests.log").c_str());
}

SilentListener::SilentListener() : fd_(-1), port_(0)
{
    fd_ = LoopbackSocket(port_);
    // Taking a connection must never wait: none may have come.
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    if (listen(fd_, 16) != 0)
        Fail("listen");
}

SilentListener::~SilentListener()
{
    close();
}

std::string SilentListener::url() const
{
    return "http://127.0.0.1:" + std::to_string(port_) + "/version.plist";
}

bool SilentListener::acceptOne()
{
    if (fd_ < 0)
        return false;
    const int connection = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (connection < 0)
        return false;
    ::close(connection);
    return true;
}

void SilentListener::close()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

int ClosedPort()
{
    int port = 0;
    const int fd = LoopbackSocket(port);
    ::close(fd);
    return port;
}

SilentNameServer::SilentNameServer() : fd_(-1), queries_(0)
{
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0)
        Fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(53);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        Fail(std::string("cannot bind the name server's port: ") + strerror(errno));
}

SilentNameServer::~SilentNameServer()
{
    ::close(fd_);
}

int SilentNameServer::queries()
{
    char datagram[512];
    while (recv(fd_, datagram, sizeof datagram, 0) >= 0)
        ++queries_;
    return queries_;
}

FakeBrowser::FakeBrowser()
{
    if (dir_.path().empty())
        Fail("no scratch directory");
    const char* path = getenv("PATH");
    oldPath_ = path != nullptr ? path : "/usr/bin:/bin";
    log_ = dir_.path() + "/browser.log";
    const std::string script = dir_.path() + "/firefox";
    WriteFile(script,
              "#!/bin/sh\n"
              "# Stand-in browser: records its arguments, NUL after each.\n"
              "sleep 0.3\n"
              "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > '" + log_ + ".tmp'\n"
              "mv '" + log_ + ".tmp' '" + log_ + "'\n");
    chmod(script.c_str(), 0755);
    setenv("PATH", (dir_.path() + ":" + oldPath_).c_str(), 1);
}

FakeBrowser::~FakeBrowser()
{
    setenv("PATH", oldPath_.c_str(), 1);
}

void FakeBrowser::reset()
{
    unlink(log_.c_str());
}

bool FakeBrowser::ran() const
{
    return FileExists(log_);
}

std::vector<std::string> FakeBrowser::arguments() const
{
    std::vector<std::string> out;
    const std::string content = ReadFile(log_);
    size_t start = 0;
    for (size_t i = 0; i < content.size(); ++i) {
        if (content[i] == '\0') {
            out.push_back(content.substr(start, i - start));
            start = i + 1;
        }
    }
    return out;
}

std::string VersionFile(const boost::any& root, bool binary)
{
    std::vector<char> bytes;
    if (binary)
        Plist::writeBinaryToBuffer(bytes, root);
    else
        Plist::writeXmlToBuffer(bytes, root);
    return std::string(bytes.begin(), bytes.end());
}

Plist::Dictionary VersionRoot(const std::string& version, const std::string& pl)
{
    Plist::Dictionary location;
    location["pl"] = pl;
    location["en"] = std::string("https://example.invalid/en");
    Plist::Dictionary root;
    root["version"] = version;
    root["location"] = location;
    root["notes"] = std::string("ignored");
    return root;
}
