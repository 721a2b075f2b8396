// A virtual smart card for the vpcd reader driver, for tests.
//
// The card is a TCP client of a vpcd reader port (35963 for "Virtual PCD
// 00 00", 35964 for "Virtual PCD 00 01"): connecting inserts it, closing the
// socket removes it. Every message in both directions is a 2-byte
// big-endian length and a payload; a 1-byte payload from vpcd is a control
// code (0 power off, 1 power on, 2 reset, 4 get ATR; only 4 is answered),
// anything longer a command APDU answered with a response APDU.
//
// The card never answers an APDU with an empty payload, which would leave
// the PC/SC caller blocked: unknown commands get 6D00, unknown SELECTs 6A82.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vdtest {

using Bytes = std::vector<std::uint8_t>;

// Hex text to bytes; blanks and ':' between byte pairs are ignored.
// Throws std::invalid_argument on odd length or a non-hex character.
Bytes FromHex(std::string_view hex);
// Upper-case hex without separators.
std::string ToHex(const Bytes& bytes);

// What a card answers. A script file holds one rule per line:
//   C-APDU-HEX R-APDU-HEX          exact command -> response
//   select DATA-HEX R-APDU-HEX     SELECT (INS A4) whose data field is DATA
//   atr ATR-HEX                    the ATR
// '#' starts a comment; blank lines are skipped.
struct CardScript {
  Bytes atr;
  std::map<Bytes, Bytes> exact;
  std::map<Bytes, Bytes> select;

  // Adds the rules of a script; false with *error set ("line N: ...") on
  // the first bad line (rules before it are kept).
  bool Parse(std::istream& in, std::string* error);
  // The response to a command: an exact rule, else a SELECT rule, else
  // 6A82 for a SELECT and 6D00 for anything else.
  Bytes Answer(const Bytes& command) const;
};

class VirtualCard {
 public:
  static constexpr std::uint16_t kReader0Port = 35963;  // "Virtual PCD 00 00"
  static constexpr std::uint16_t kReader1Port = 35964;  // "Virtual PCD 00 01"

  explicit VirtualCard(Bytes atr, std::uint16_t port = kReader0Port,
                       std::string host = "127.0.0.1");
  ~VirtualCard();  // removes the card
  VirtualCard(const VirtualCard&) = delete;
  VirtualCard& operator=(const VirtualCard&) = delete;

  // Script changes apply to the next message, also while inserted.
  void SetAtr(Bytes atr);
  // Throws std::invalid_argument for an empty response.
  void AddResponse(Bytes command, Bytes response);
  void AddSelect(Bytes data, Bytes response);
  void SetScript(CardScript script);

  // Connects (retrying while the port refuses, until the time-out) and
  // waits until vpcd has spoken to the card, i.e. has taken the
  // connection. False on time-out; the card is then not inserted.
  bool Insert(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Ends the connection and waits until vpcd has closed its side, i.e.
  // has seen the removal. False when vpcd did not within the time-out
  // (the socket is closed anyway).
  bool Remove(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  bool Inserted() const;
  // True once vpcd (or the daemon's end) closed a connection the card had
  // not asked to end.
  bool LostConnection() const;

  // Every command APDU received, in order; control codes separately.
  std::vector<Bytes> Apdus() const;
  std::vector<std::uint8_t> Controls() const;
  void ClearLog();
  // Waits until at least n APDUs (or control codes) were received.
  bool WaitForApdus(std::size_t n, std::chrono::milliseconds timeout) const;
  bool WaitForControls(std::size_t n, std::chrono::milliseconds timeout) const;

  // Called on the card's thread for every APDU received, before answering.
  void OnApdu(std::function<void(const Bytes&)> callback);

 private:
  void Serve(int fd);
  bool ReadExact(int fd, std::uint8_t* buf, std::size_t n);
  bool Send(int fd, const Bytes& payload);
  void Stop();

  const std::uint16_t port_;
  const std::string host_;

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  CardScript script_;
  std::vector<Bytes> apdus_;
  std::vector<std::uint8_t> controls_;
  std::function<void(const Bytes&)> onApdu_;
  int fd_ = -1;
  bool running_ = false;    // the serving thread runs
  bool stop_ = false;       // asks the serving thread to end now
  bool spoken_ = false;     // vpcd sent something on this connection
  bool peerClosed_ = false; // vpcd closed its side
  bool removing_ = false;
  bool lost_ = false;
  std::thread thread_;
};

}  // namespace vdtest
