// The fixture of the reader-layer tests that run inside the rig: virtual
// cards in the two vpcd readers and ports that are closed after each test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "pcscread/pcsc2std.h"
#include "tests/support/rig/RigUtil.h"
#include "tests/support/vcard/VirtualCard.h"

namespace vdrig {

// The names every rig test uses; a test brings them in with
// `using namespace vdrig`.
using vdtest::Bytes;
using vdtest::FromHex;
using vdtest::ToHex;
using vdtest::VirtualCard;
using seconds = std::chrono::seconds;

// ATRs of the cases below.
inline constexpr char kAtrShort[] = "3B00";
inline constexpr char kAtrT0[] = "3B6E000080318066B0840C016E0183009000";  // 18 bytes, T=0 only
inline constexpr char kAtrT1[] = "3BBB1800C01031FE4580670412B00303000081053C";  // offers T=0 and T=1
inline constexpr char kAtr33[] = "3BFF9600008131FE4380318065B0846566FB12017882900085FFFFFFFFFFFFFF7F";

class RigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(vdrig::InRig()) << "run this test through tests/rig/run-in-rig.sh";
    InitLibrary();
  }
  void TearDown() override {
    for (uint32_t p : ports_) ClosePort(p);
    for (size_t i = 0; i < cards_.size(); ++i) RemoveCard(*cards_[i], cardPorts_[i]);
  }

  // Inserts a card into a reader and waits until PC/SC shows it present.
  VirtualCard& InsertCard(const char* atrHex, uint16_t tcpPort = VirtualCard::kReader0Port) {
    cards_.push_back(std::make_unique<VirtualCard>(vdtest::FromHex(atrHex), tcpPort));
    cardPorts_.push_back(tcpPort);
    VirtualCard& card = *cards_.back();
    EXPECT_TRUE(card.Insert(seconds(10))) << "vpcd did not take the card on " << tcpPort;
    EXPECT_NE(vdrig::WaitReaderState(ReaderOf(tcpPort), true), 0u) << "card never became present";
    return card;
  }
  // Removes a card and waits until PC/SC shows the reader empty.
  static void RemoveCard(VirtualCard& card, uint16_t tcpPort) {
    if (!card.Inserted()) return;
    card.Remove(seconds(5));
    EXPECT_NE(vdrig::WaitReaderState(ReaderOf(tcpPort), false), 0u);
  }
  static const char* ReaderOf(uint16_t tcpPort) {
    return tcpPort == VirtualCard::kReader1Port ? kReader1 : kReader0;
  }

  // Opens a T=1 shared port on a reader; closed in TearDown.
  uint32_t Open(const char* reader, uint32_t portNumber = 0) {
    uint32_t port = 12345;
    int rc = InitPort(portNumber, 0, reader, &port, PCSC2STD_CARD_KIND_T1, 0);
    EXPECT_EQ(rc, 0) << "InitPort(" << reader << ")";
    if (rc == 0) ports_.push_back(port);
    return port;
  }
  void Close(uint32_t port) {
    EXPECT_EQ(ClosePort(port), 0);
    ports_.erase(std::remove(ports_.begin(), ports_.end(), port), ports_.end());
  }

  // CardStatus, polled while it still returns the stale value (the card
  // state before an insertion or removal that pcscd has yet to notice).
  static int StatusAfterChange(uint32_t port, int stale) {
    int s = stale;
    testkit::WaitUntil([&] { return (s = CardStatus(port)) != stale; }, seconds(10));
    return s;
  }

  std::vector<uint32_t> ports_;
  std::vector<std::unique_ptr<VirtualCard>> cards_;
  std::vector<uint16_t> cardPorts_;
};

}  // namespace vdrig
