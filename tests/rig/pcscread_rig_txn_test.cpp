// Transactions on the rig. Runs with PCSCLITE_NO_BLOCKING=1 (set by the
// build rules; libpcsclite reads it once), so that a second handle's call
// during our transaction fails at once instead of waiting for its end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "pcscread/pcsc2std.h"
#include "tests/support/rig/RigFixture.h"

namespace {

using namespace vdrig;

TEST_F(RigTest, TransactionsBracketExchanges) {
  ASSERT_STREQ(getenv("PCSCLITE_NO_BLOCKING"), "1");
  VirtualCard& card = InsertCard(kAtrT1);
  card.AddResponse(FromHex("00B0000004"), FromHex("010203049000"));
  uint32_t port = Open(kReader0);
  EXPECT_EQ(StartTransaction(port), PCSC2STD_ERR_PCSC) << "not connected yet";
  unsigned char atr[PCSC2STD_ATR_CAPACITY];
  ASSERT_GT(CardReset(atr, 1, port), 0);

  ForeignConnection other;
  ASSERT_EQ(other.Connect(kReader0, SCARD_SHARE_SHARED), SCARD_S_SUCCESS);
  const SCARDHANDLE h = other.Handle();
  auto otherStatus = [&] {
    // On a thread: should the flag not work, the call waits for our
    // transaction, and we must be able to end it.
    return std::async(std::launch::async, [&] {
      char name[256];
      DWORD nameLen = sizeof name, state = 0, p = 0, atrLen = MAX_ATR_SIZE;
      BYTE a[MAX_ATR_SIZE];
      return SCardStatus(h, name, &nameLen, &state, &p, a, &atrLen);
    });
  };

  ASSERT_EQ(StartTransaction(port), 0);
  auto during = otherStatus();
  bool answered = during.wait_for(seconds(5)) == std::future_status::ready;
  const Bytes apdu = FromHex("00B0000004");
  unsigned char resp[64];
  uint32_t len = static_cast<uint32_t>(apdu.size());
  EXPECT_EQ(ISO(&len, apdu.data(), resp, sizeof resp, port), 0x9000);
  EXPECT_EQ(EndTransaction(port), 0);
  EXPECT_TRUE(answered);
  EXPECT_EQ(during.get(), SCARD_E_SHARING_VIOLATION) << "our transaction did not hold the card";

  auto after = otherStatus();
  ASSERT_EQ(after.wait_for(seconds(5)), std::future_status::ready);
  EXPECT_EQ(after.get(), SCARD_S_SUCCESS) << "the transaction was not ended";
  other.Release();

  EXPECT_EQ(CardDisconnect(port), 0);
  EXPECT_EQ(CardDisconnect(port), 0) << "a second disconnect is harmless";
  EXPECT_EQ(EndTransaction(port), PCSC2STD_ERR_PCSC);
}

}  // namespace
