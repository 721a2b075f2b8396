// A card that is present but does not power up. The reader driver cannot
// hold an ATR longer than 33 bytes, so pcscd fails to power such a card and
// reports it as the daemon reports any mute card: present and mute, with no
// ATR, and a 400 ms pause inside every status call of the library.
#include <gtest/gtest.h>

#include <future>

#include "pcscread/pcsc2std.h"
#include "tests/support/rig/RigFixture.h"
#include "tests/support/testkit/testkit.h"

namespace {

using namespace vdrig;

constexpr char kAtrTooLong[] = "3BBB1800C01031FE4580670412B00303000081053C0000000000000000000000000000";  // 35 bytes
// True once PC/SC shows the reader holding a mute card.
bool ReaderShowsMuteCard(const char* reader) {
  SCARDCONTEXT ctx = 0;
  if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) return false;
  SCARD_READERSTATE st{};
  st.szReader = reader;
  st.dwCurrentState = SCARD_STATE_UNAWARE;
  const bool mute = SCardGetStatusChange(ctx, 0, &st, 1) == SCARD_S_SUCCESS &&
                    (st.dwEventState & SCARD_STATE_PRESENT) && (st.dwEventState & SCARD_STATE_MUTE) && st.cbAtr == 0;
  SCardReleaseContext(ctx);
  return mute;
}

class MuteCardTest : public RigTest {};

// The ten ATR retries take about 5 s on such a card; the port opens before
// they end, shows the card as a present mute card, and closes while they
// still run.
TEST_F(MuteCardTest, PortOpensAndClosesPromptly) {
  VirtualCard card(FromHex(kAtrTooLong));
  ASSERT_TRUE(card.Insert(seconds(10)));
  ASSERT_TRUE(testkit::WaitUntil([] { return ReaderShowsMuteCard(kReader0); }, seconds(10)))
      << "the card never showed as mute";

  uint32_t port = PCSC2STD_NO_PORT;
  ASSERT_EQ(InitPort(0, 0, kReader0, &port, PCSC2STD_CARD_KIND_T1, 0), 0);
  ports_.push_back(port);
  // Present at open, so no change; the daemon refuses to connect to it.
  EXPECT_EQ(CardStatus(port), PCSC2STD_CARD_PRESENT);
  unsigned char atr[PCSC2STD_ATR_CAPACITY];
  EXPECT_EQ(CardReset(atr, 1, port), PCSC2STD_ERR_CONNECT);

  auto closing = std::async(std::launch::async, [port] { return ClosePort(port); });
  ASSERT_EQ(closing.wait_for(seconds(3)), std::future_status::ready) << "ClosePort waits for the ATR retries";
  EXPECT_EQ(closing.get(), 0);
  ports_.clear();
  card.Remove(seconds(5));
}

}  // namespace
