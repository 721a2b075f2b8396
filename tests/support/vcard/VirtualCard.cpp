#include "tests/support/vcard/VirtualCard.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <istream>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace vdtest {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr std::uint8_t kInsSelect = 0xA4;
constexpr std::uint8_t kCtrlGetAtr = 4;
// How often the serving thread looks at its stop flag while idle.
constexpr int kPollMs = 20;

}  // namespace

Bytes FromHex(std::string_view hex) {
  Bytes out;
  int high = -1;
  for (char c : hex) {
    if (c == ' ' || c == ':' || c == '\t') {
      if (high >= 0) throw std::invalid_argument("hex: separator inside a byte");
      continue;
    }
    int d = HexDigit(c);
    if (d < 0) throw std::invalid_argument(std::string("hex: bad character '") + c + "'");
    if (high < 0) {
      high = d;
    } else {
      out.push_back(static_cast<std::uint8_t>(high * 16 + d));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("hex: odd number of digits");
  return out;
}

std::string ToHex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    s.push_back(kDigits[b >> 4]);
    s.push_back(kDigits[b & 15]);
  }
  return s;
}

bool CardScript::Parse(std::istream& in, std::string* error) {
  std::string line;
  int number = 0;
  auto fail = [&](const std::string& why) {
    if (error) *error = "line " + std::to_string(number) + ": " + why;
    return false;
  };
  while (std::getline(in, line)) {
    ++number;
    auto hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string t; words >> t;) w.push_back(t);
    if (w.empty()) continue;
    try {
      if (w[0] == "atr") {
        if (w.size() != 2) return fail("want: atr ATR-HEX");
        Bytes atr = FromHex(w[1]);
        if (atr.empty()) return fail("empty ATR");
        this->atr = std::move(atr);
      } else if (w[0] == "select") {
        if (w.size() != 3) return fail("want: select DATA-HEX R-APDU-HEX");
        Bytes r = FromHex(w[2]);
        if (r.empty()) return fail("empty response");
        select[FromHex(w[1])] = std::move(r);
      } else {
        if (w.size() != 2) return fail("want: C-APDU-HEX R-APDU-HEX");
        Bytes c = FromHex(w[0]);
        Bytes r = FromHex(w[1]);
        if (c.size() < 2) return fail("command shorter than 2 bytes");
        if (r.empty()) return fail("empty response");
        exact[std::move(c)] = std::move(r);
      }
    } catch (const std::invalid_argument& e) {
      return fail(e.what());
    }
  }
  return true;
}

Bytes CardScript::Answer(const Bytes& command) const {
  auto it = exact.find(command);
  if (it != exact.end()) return it->second;
  if (command.size() >= 4 && command[1] == kInsSelect) {
    // CLA INS P1 P2 [Lc data [Le]]
    Bytes data;
    if (command.size() > 5) {
      std::size_t lc = command[4];
      if (command.size() >= 5 + lc) data.assign(command.begin() + 5, command.begin() + 5 + lc);
    }
    auto s = select.find(data);
    if (s != select.end()) return s->second;
    return {0x6A, 0x82};
  }
  return {0x6D, 0x00};
}

VirtualCard::VirtualCard(Bytes atr, std::uint16_t port, std::string host)
    : port_(port), host_(std::move(host)) {
  script_.atr = std::move(atr);
}

VirtualCard::~VirtualCard() { Remove(std::chrono::milliseconds(2000)); }

void VirtualCard::SetAtr(Bytes atr) {
  std::lock_guard<std::mutex> lock(mu_);
  script_.atr = std::move(atr);
}

void VirtualCard::AddResponse(Bytes command, Bytes response) {
  if (response.empty()) throw std::invalid_argument("VirtualCard: empty response");
  std::lock_guard<std::mutex> lock(mu_);
  script_.exact[std::move(command)] = std::move(response);
}

void VirtualCard::AddSelect(Bytes data, Bytes response) {
  if (response.empty()) throw std::invalid_argument("VirtualCard: empty response");
  std::lock_guard<std::mutex> lock(mu_);
  script_.select[std::move(data)] = std::move(response);
}

void VirtualCard::SetScript(CardScript script) {
  std::lock_guard<std::mutex> lock(mu_);
  script_ = std::move(script);
}

void VirtualCard::OnApdu(std::function<void(const Bytes&)> callback) {
  std::lock_guard<std::mutex> lock(mu_);
  onApdu_ = std::move(callback);
}

bool VirtualCard::Insert(std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  {
    std::unique_lock<std::mutex> lock(mu_);
    if (running_ && !peerClosed_) return true;
    bool stale = running_;
    lock.unlock();
    if (stale) Stop();  // vpcd dropped the last connection: start afresh
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port_);
  if (inet_pton(AF_INET, host_.c_str(), &addr.sin_addr) != 1) return false;

  int fd = -1;
  for (;;) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) break;
    int err = errno;
    close(fd);
    fd = -1;
    // The port may not listen yet (driver still starting): try again.
    if ((err != ECONNREFUSED && err != EINTR) || Clock::now() >= deadline) return false;
    poll(nullptr, 0, 5);
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  std::unique_lock<std::mutex> lock(mu_);
  fd_ = fd;
  running_ = true;
  stop_ = spoken_ = peerClosed_ = removing_ = lost_ = false;
  thread_ = std::thread(&VirtualCard::Serve, this, fd);
  bool ok = cv_.wait_until(lock, deadline, [&] { return spoken_ || peerClosed_; }) && spoken_;
  lock.unlock();
  if (!ok) {
    // vpcd did not take us (another card holds the port, or no daemon).
    Stop();
    return false;
  }
  return true;
}

bool VirtualCard::Remove(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!running_) return true;
  removing_ = true;
  // Half-close: vpcd sees the end of the stream at its next read and
  // closes its side, which is how we learn that it noticed the removal.
  shutdown(fd_, SHUT_WR);
  bool seen = cv_.wait_for(lock, timeout, [&] { return peerClosed_; });
  lock.unlock();
  Stop();
  return seen;
}

void VirtualCard::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mu_);
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  running_ = false;
  cv_.notify_all();
}

bool VirtualCard::Inserted() const {
  std::lock_guard<std::mutex> lock(mu_);
  return running_ && spoken_ && !peerClosed_;
}

bool VirtualCard::LostConnection() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lost_;
}

std::vector<Bytes> VirtualCard::Apdus() const {
  std::lock_guard<std::mutex> lock(mu_);
  return apdus_;
}

std::vector<std::uint8_t> VirtualCard::Controls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return controls_;
}

void VirtualCard::ClearLog() {
  std::lock_guard<std::mutex> lock(mu_);
  apdus_.clear();
  controls_.clear();
}

bool VirtualCard::WaitForApdus(std::size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] { return apdus_.size() >= n; });
}

bool VirtualCard::WaitForControls(std::size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] { return controls_.size() >= n; });
}

bool VirtualCard::ReadExact(int fd, std::uint8_t* buf, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stop_) return false;
    }
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, kPollMs);
    if (r < 0 && errno != EINTR) return false;
    if (r <= 0) continue;
    // The flag does not stick (tcp(7)); without it vpcd's two-part
    // messages cost a delayed-ACK round of about 40 ms each.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    ssize_t k = recv(fd, buf + got, n - got, 0);
    if (k == 0) return false;
    if (k < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    got += static_cast<std::size_t>(k);
  }
  return true;
}

bool VirtualCard::Send(int fd, const Bytes& payload) {
  Bytes frame;
  frame.reserve(payload.size() + 2);
  frame.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
  frame.push_back(static_cast<std::uint8_t>(payload.size() & 0xFF));
  frame.insert(frame.end(), payload.begin(), payload.end());
  std::size_t sent = 0;
  while (sent < frame.size()) {
    ssize_t k = send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (k < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    sent += static_cast<std::size_t>(k);
  }
  return true;
}

void VirtualCard::Serve(int fd) {
  for (;;) {
    std::uint8_t head[2];
    if (!ReadExact(fd, head, 2)) break;
    std::size_t len = static_cast<std::size_t>(head[0]) << 8 | head[1];
    Bytes msg(len);
    if (len > 0 && !ReadExact(fd, msg.data(), len)) break;
    if (len == 0) continue;

    Bytes answer;
    bool reply = false;
    std::function<void(const Bytes&)> callback;
    {
      std::lock_guard<std::mutex> lock(mu_);
      spoken_ = true;
      if (len == 1) {
        controls_.push_back(msg[0]);
        if (msg[0] == kCtrlGetAtr) {
          answer = script_.atr;
          reply = true;
        }
      } else {
        apdus_.push_back(msg);
        answer = script_.Answer(msg);
        reply = true;
        callback = onApdu_;
      }
      cv_.notify_all();
    }
    if (callback) callback(msg);
    // An ATR left empty by a test still goes out: vpcd asks for it with a
    // control code, where an empty answer means "no ATR", not a hang.
    if (reply && !Send(fd, answer)) {
      std::lock_guard<std::mutex> lock(mu_);
      if (!removing_) break;
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (!stop_) {
    peerClosed_ = true;
    if (!removing_) lost_ = true;
  }
  cv_.notify_all();
}

}  // namespace vdtest
