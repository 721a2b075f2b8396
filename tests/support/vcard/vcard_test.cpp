// The virtual card against a loopback server that stands in for vpcd: the
// framing, the answer rules and the insert/remove handshakes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "tests/support/vcard/VirtualCard.h"

namespace vdtest {
namespace {

using std::chrono::milliseconds;

// --- hex ---------------------------------------------------------------

struct HexCase {
  const char* text;
  bool valid;
  Bytes bytes;
};

class HexTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexTest, ParsesOrRejects) {
  const HexCase& c = GetParam();
  if (!c.valid) {
    EXPECT_THROW(FromHex(c.text), std::invalid_argument);
    return;
  }
  EXPECT_EQ(FromHex(c.text), c.bytes);
  EXPECT_EQ(FromHex(ToHex(c.bytes)), c.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HexTest,
    ::testing::Values(HexCase{"", true, {}}, HexCase{"00", true, {0x00}},
                      HexCase{"3bFf", true, {0x3B, 0xFF}},
                      HexCase{"3b:8f:80", true, {0x3B, 0x8F, 0x80}},
                      HexCase{"90 00", true, {0x90, 0x00}}, HexCase{"9", false, {}},
                      HexCase{"9 000", false, {}}, HexCase{"0g", false, {}},
                      HexCase{"123", false, {}}));

TEST(HexTest, ToHexIsUpperCaseWithoutSeparators) {
  EXPECT_EQ(ToHex({0x0A, 0xBC, 0x00, 0xFF}), "0ABC00FF");
}

// --- script and answer rules -------------------------------------------

struct ScriptCase {
  const char* name;
  const char* text;
  bool ok;
  const char* errorPrefix;  // for failures
};

class ScriptParseTest : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(ScriptParseTest, ParsesOrPointsAtLine) {
  const ScriptCase& c = GetParam();
  CardScript s;
  std::istringstream in(c.text);
  std::string error;
  EXPECT_EQ(s.Parse(in, &error), c.ok) << error;
  if (!c.ok) {
    EXPECT_EQ(error.rfind(c.errorPrefix, 0), 0u) << error;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScriptParseTest,
    ::testing::Values(
        ScriptCase{"Good", "# comment\n\natr 3B00\n00B0000004 010203049000  # read\n"
                           "select A000000001 9000\n",
                   true, ""},
        ScriptCase{"OddHex", "atr 3B00\n00B0 9\n", false, "line 2:"},
        ScriptCase{"EmptyResponseRejected", "select A0 \"\"\n", false, "line 1:"},
        ScriptCase{"MissingResponse", "\n\n00A4040000\n", false, "line 3:"},
        ScriptCase{"ShortCommand", "00 9000\n", false, "line 1:"},
        ScriptCase{"AtrWithoutValue", "atr\n", false, "line 1:"}),
    [](const auto& info) { return std::string(info.param.name); });

struct AnswerCase {
  const char* name;
  const char* command;
  const char* response;
};

class AnswerTest : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerTest, AnswersByRule) {
  CardScript s;
  std::istringstream in(
      "00B0000004 CAFE9000\n"
      "00A4040005A000000001 6283\n"  // an exact rule wins over the SELECT table
      "select A000000001 9000\n"
      "select 3F00 611C\n");
  ASSERT_TRUE(s.Parse(in, nullptr));
  EXPECT_EQ(ToHex(s.Answer(FromHex(GetParam().command))), GetParam().response);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AnswerTest,
    ::testing::Values(AnswerCase{"Exact", "00B0000004", "CAFE9000"},
                      AnswerCase{"ExactBeatsSelect", "00A4040005A000000001", "6283"},
                      AnswerCase{"SelectByData", "00A4040C05A000000001", "9000"},
                      AnswerCase{"SelectWithLe", "00A40000023F0000", "611C"},
                      AnswerCase{"UnknownSelect", "00A4040005A000000002", "6A82"},
                      AnswerCase{"SelectWithoutData", "00A40000", "6A82"},
                      AnswerCase{"Unknown", "80CA9F7F00", "6D00"},
                      AnswerCase{"NearMissOfExact", "00B0000005", "6D00"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VirtualCardTest, RefusesEmptyResponses) {
  VirtualCard card(FromHex("3B00"), 1);
  EXPECT_THROW(card.AddResponse(FromHex("00B00000"), {}), std::invalid_argument);
  EXPECT_THROW(card.AddSelect(FromHex("3F00"), {}), std::invalid_argument);
}

// --- framing against a stand-in for vpcd --------------------------------

class FakeVpcd {
 public:
  FakeVpcd() {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listen_, 4) != 0)
      throw std::runtime_error("FakeVpcd: cannot listen");
    socklen_t len = sizeof a;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~FakeVpcd() {
    if (conn_ >= 0) close(conn_);
    close(listen_);
  }
  std::uint16_t port() const { return port_; }

  void Accept() {
    conn_ = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(conn_, 0);
    timeval tv{5, 0};  // a broken card must fail the test, not hang it
    setsockopt(conn_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  // Sends one frame; byteWise writes it one byte at a time, the way a
  // slow peer may deliver it.
  void SendFrame(const Bytes& payload, bool byteWise = false) {
    Bytes f{static_cast<std::uint8_t>(payload.size() >> 8),
            static_cast<std::uint8_t>(payload.size() & 0xFF)};
    f.insert(f.end(), payload.begin(), payload.end());
    if (!byteWise) {
      ASSERT_EQ(send(conn_, f.data(), f.size(), MSG_NOSIGNAL), static_cast<ssize_t>(f.size()));
      return;
    }
    for (std::uint8_t b : f) ASSERT_EQ(send(conn_, &b, 1, MSG_NOSIGNAL), 1);
  }
  // Reads one frame; false on end of stream or time-out.
  bool ReadFrame(Bytes* payload) {
    std::uint8_t h[2];
    if (!ReadExact(h, 2)) return false;
    payload->assign(static_cast<std::size_t>(h[0]) << 8 | h[1], 0);
    return payload->empty() || ReadExact(payload->data(), payload->size());
  }
  // True when the card has closed its sending side.
  bool SeesEndOfStream() {
    std::uint8_t b;
    return recv(conn_, &b, 1, 0) == 0;
  }
  void CloseConnection() {
    close(conn_);
    conn_ = -1;
  }

 private:
  bool ReadExact(std::uint8_t* p, std::size_t n) {
    while (n > 0) {
      ssize_t k = recv(conn_, p, n, 0);
      if (k <= 0) return false;
      p += k;
      n -= static_cast<std::size_t>(k);
    }
    return true;
  }
  int listen_ = -1;
  int conn_ = -1;
  std::uint16_t port_ = 0;
};

// Inserts the card: Insert() returns only after the stand-in has spoken,
// so the stand-in accepts and sends the first "get ATR" from a thread.
void InsertInto(FakeVpcd& vpcd, VirtualCard& card, Bytes* firstAtr) {
  std::thread server([&] {
    vpcd.Accept();
    vpcd.SendFrame({4});
  });
  bool inserted = card.Insert(milliseconds(5000));
  server.join();
  ASSERT_TRUE(inserted);
  ASSERT_TRUE(vpcd.ReadFrame(firstAtr));
}

const Bytes kAtr33 = FromHex("3BFF9600008131FE4380318065B0846566FB12017882900085FFFFFFFFFFFFFF7F");

struct ExchangeCase {
  const char* name;
  Bytes sent;
  bool byteWise;
  bool answered;
  Bytes reply;
};

class FramingTest : public ::testing::TestWithParam<ExchangeCase> {};

TEST_P(FramingTest, AnswersEachMessage) {
  const ExchangeCase& c = GetParam();
  ASSERT_EQ(kAtr33.size(), 33u);
  FakeVpcd vpcd;
  VirtualCard card(kAtr33, vpcd.port());
  card.AddResponse(FromHex("00B0000004"), FromHex("0102030490 00"));
  card.AddSelect(FromHex("A000000001"), FromHex("9000"));
  Bytes atr;
  InsertInto(vpcd, card, &atr);
  EXPECT_EQ(atr, kAtr33);
  EXPECT_TRUE(card.Inserted());

  vpcd.SendFrame(c.sent, c.byteWise);
  if (!c.answered) {
    // No answer is due; the next "get ATR" must be answered with the ATR,
    // not with a stray answer to the control code.
    vpcd.SendFrame({4});
  }
  Bytes got;
  ASSERT_TRUE(vpcd.ReadFrame(&got));
  EXPECT_EQ(ToHex(got), ToHex(c.answered ? c.reply : kAtr33));

  if (c.sent.size() == 1) {
    EXPECT_TRUE(card.Apdus().empty());
    auto controls = card.Controls();
    ASSERT_GE(controls.size(), 2u);
    EXPECT_EQ(controls[1], c.sent[0]);
  } else {
    auto apdus = card.Apdus();
    ASSERT_EQ(apdus.size(), 1u);
    EXPECT_EQ(apdus[0], c.sent);
  }
  vpcd.CloseConnection();  // lets the card's destructor finish at once
}

Bytes LongApdu() {
  Bytes a = FromHex("80E2000000");
  a.resize(300, 0x5A);  // length 0x012C: the high byte of the frame length counts
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FramingTest,
    ::testing::Values(
        ExchangeCase{"GetAtr", {4}, false, true, kAtr33},
        ExchangeCase{"PowerOnUnanswered", {1}, false, false, {}},
        ExchangeCase{"PowerOffUnanswered", {0}, false, false, {}},
        ExchangeCase{"ResetUnanswered", {2}, false, false, {}},
        ExchangeCase{"ScriptedApdu", FromHex("00B0000004"), false, true, FromHex("0102030490 00")},
        ExchangeCase{"ScriptedApduByteWise", FromHex("00B0000004"), true, true,
                     FromHex("0102030490 00")},
        ExchangeCase{"SelectTable", FromHex("00A4040005A000000001"), false, true, FromHex("9000")},
        ExchangeCase{"UnknownSelect", FromHex("00A4040005A0000000FF"), false, true, FromHex("6A82")},
        ExchangeCase{"UnknownCommand", FromHex("0084000008"), false, true, FromHex("6D00")},
        ExchangeCase{"LongApdu", LongApdu(), true, true, FromHex("6D00")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VirtualCardTest, RemoveHalfClosesAndWaitsForThePeer) {
  FakeVpcd vpcd;
  VirtualCard card(FromHex("3B00"), vpcd.port());
  Bytes atr;
  InsertInto(vpcd, card, &atr);
  std::thread peer([&] {
    EXPECT_TRUE(vpcd.SeesEndOfStream());
    vpcd.CloseConnection();
  });
  EXPECT_TRUE(card.Remove(milliseconds(5000)));
  peer.join();
  EXPECT_FALSE(card.Inserted());
  EXPECT_FALSE(card.LostConnection());
}

TEST(VirtualCardTest, PeerCloseIsSeenAsLostAndCardCanReinsert) {
  FakeVpcd vpcd;
  VirtualCard card(FromHex("3B00"), vpcd.port());
  card.AddResponse(FromHex("00B0000001"), FromHex("AA9000"));
  Bytes atr;
  InsertInto(vpcd, card, &atr);
  vpcd.CloseConnection();
  // Poll for the card's view of the closed connection.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!card.LostConnection() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  EXPECT_TRUE(card.LostConnection());
  EXPECT_FALSE(card.Inserted());

  InsertInto(vpcd, card, &atr);
  EXPECT_TRUE(card.Inserted());
  vpcd.SendFrame(FromHex("00B0000001"));
  Bytes got;
  ASSERT_TRUE(vpcd.ReadFrame(&got));
  EXPECT_EQ(ToHex(got), "AA9000");
  vpcd.CloseConnection();
}

TEST(VirtualCardTest, InsertFailsWhenNobodyListens) {
  std::uint16_t port = 0;
  {
    FakeVpcd gone;
    port = gone.port();
  }  // the port is now (very likely) closed: connects are refused
  VirtualCard card(FromHex("3B00"), port);
  EXPECT_FALSE(card.Insert(milliseconds(200)));
  EXPECT_FALSE(card.Inserted());
}

TEST(VirtualCardTest, InsertFailsWhenThePeerNeverSpeaks) {
  FakeVpcd vpcd;  // listens (the kernel accepts) but never sends anything
  VirtualCard card(FromHex("3B00"), vpcd.port());
  EXPECT_FALSE(card.Insert(milliseconds(200)));
  EXPECT_FALSE(card.Inserted());
}

TEST(VirtualCardTest, LogsAreOrderedAndClearable) {
  FakeVpcd vpcd;
  VirtualCard card(FromHex("3B00"), vpcd.port());
  Bytes atr;
  InsertInto(vpcd, card, &atr);
  std::vector<Bytes> sent{FromHex("00B0000001"), FromHex("00B0000102"), FromHex("00B0000203")};
  for (const Bytes& a : sent) {
    vpcd.SendFrame(a);
    Bytes r;
    ASSERT_TRUE(vpcd.ReadFrame(&r));
    EXPECT_EQ(ToHex(r), "6D00");
  }
  EXPECT_TRUE(card.WaitForApdus(3, milliseconds(1000)));
  EXPECT_EQ(card.Apdus(), sent);
  card.ClearLog();
  EXPECT_TRUE(card.Apdus().empty());
  EXPECT_TRUE(card.Controls().empty());
  vpcd.CloseConnection();
}

}  // namespace
}  // namespace vdtest
