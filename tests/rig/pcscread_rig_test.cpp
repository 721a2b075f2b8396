// The reader layer against a real pcscd with the vpcd driver and our
// virtual card, inside the rig: reader listing, ATRs, APDU exchange,
// recovery after a foreign reset, and a cross-check with opensc-tool.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <memory>
#include <string>
#include <vector>

#include "pcscread/pcsc2std.h"
#include "tests/support/rig/RigFixture.h"
#include "tests/support/testkit/testkit.h"

namespace {

using namespace vdrig;

// --- reader listing ---------------------------------------------------------

struct ListingCase {
  const char* name;
  bool card0, card1;
  bool holdReader0Exclusively;  // another context holds the card in reader 0
  uint16_t status0, status1;
};

class ReaderListingTest : public RigTest, public ::testing::WithParamInterface<ListingCase> {};

TEST_P(ReaderListingTest, ListsBothReadersWithStatus) {
  const ListingCase& c = GetParam();
  if (c.card0) InsertCard(kAtrT0, VirtualCard::kReader0Port);
  if (c.card1) InsertCard(kAtrT1, VirtualCard::kReader1Port);

  ForeignConnection other;
  if (c.holdReader0Exclusively) {
    ASSERT_EQ(other.Connect(kReader0, SCARD_SHARE_EXCLUSIVE), SCARD_S_SUCCESS);
  }

  // One record more than the layer may fill, to catch a write beyond 16.
  ReaderInfo r[PCSC2STD_MAX_READERS + 1];
  std::memset(r, 0xA5, sizeof r);
  uint32_t count = 99;
  EXPECT_EQ(GetAllReaders(r, &count), 0);
  ASSERT_EQ(count, 2u);
  EXPECT_STREQ(r[0].name, kReader0);
  EXPECT_STREQ(r[1].name, kReader1);
  for (uint32_t i = 0; i < count; ++i) {
    EXPECT_EQ(r[i].attribA, 63) << i;
    EXPECT_EQ(r[i].attribB, 63) << i;
  }
  EXPECT_EQ(r[0].status, c.status0);
  EXPECT_EQ(r[1].status, c.status1);
  const auto* untouched = reinterpret_cast<const unsigned char*>(&r[2]);
  EXPECT_TRUE(std::all_of(untouched, untouched + sizeof(ReaderInfo) * (PCSC2STD_MAX_READERS - 1),
                          [](unsigned char b) { return b == 0xA5; }))
      << "records beyond the listed readers were written";
}

INSTANTIATE_TEST_SUITE_P(
    Rig, ReaderListingTest,
    ::testing::Values(
        ListingCase{"NoCards", false, false, false, READER_STATUS_AVAILABLE, READER_STATUS_AVAILABLE},
        ListingCase{"CardInReader0", true, false, false, READER_STATUS_AVAILABLE,
                    READER_STATUS_AVAILABLE},
        ListingCase{"CardsInBoth", true, true, false, READER_STATUS_AVAILABLE,
                    READER_STATUS_AVAILABLE},
        ListingCase{"Reader0HeldExclusively", true, false, true, READER_STATUS_OCCUPIED,
                    READER_STATUS_AVAILABLE}),
    [](const auto& info) { return std::string(info.param.name); });

// --- ATRs ------------------------------------------------------------------

struct AtrCase {
  const char* name;
  const char* atr;
  int16_t coldReset;
  int32_t protocol;  // CardProtocolState's protocol output after the reset
};

class AtrTest : public RigTest, public ::testing::WithParamInterface<AtrCase> {};

TEST_P(AtrTest, ResetAndStatusReturnTheExactAtr) {
  const AtrCase& c = GetParam();
  const Bytes want = FromHex(c.atr);
  VirtualCard& card = InsertCard(c.atr);
  uint32_t port = Open(kReader0);
  ASSERT_EQ(CardStatus(port) & PCSC2STD_CARD_PRESENT, PCSC2STD_CARD_PRESENT);

  // A guard zone behind the 33 bytes the layer may use.
  unsigned char atr[PCSC2STD_ATR_CAPACITY + 8];
  std::memset(atr, 0xEE, sizeof atr);
  card.ClearLog();
  int len = CardReset(atr, c.coldReset, port);
  ASSERT_EQ(len, static_cast<int>(want.size()));
  EXPECT_EQ(ToHex(Bytes(atr, atr + len)), ToHex(want));
  EXPECT_TRUE(std::all_of(atr + PCSC2STD_ATR_CAPACITY, atr + sizeof atr,
                          [](unsigned char b) { return b == 0xEE; }));
  if (c.coldReset == 1) {
    // A cold reset powers the card off and on again.
    auto ctl = card.Controls();
    EXPECT_NE(std::find(ctl.begin(), ctl.end(), 0), ctl.end()) << "no power-off reached the card";
  }

  int32_t protocol = -1, presence = -1;
  EXPECT_EQ(CardProtocolState(&protocol, &presence, port), 0);
  EXPECT_EQ(protocol, c.protocol);
  EXPECT_EQ(presence, PCSC2STD_CARD_PRESENT);
  EXPECT_EQ(CardInside(port), PCSC2STD_CARD_PRESENT);

  std::memset(atr, 0xEE, sizeof atr);
  int32_t atrLen = -1;
  EXPECT_EQ(CardStatusATR(atr, &atrLen, port), PCSC2STD_CARD_PRESENT);
  ASSERT_EQ(atrLen, static_cast<int32_t>(want.size()));
  EXPECT_EQ(ToHex(Bytes(atr, atr + atrLen)), ToHex(want));

  // A second reset gives the same bytes again.
  std::memset(atr, 0, sizeof atr);
  ASSERT_EQ(CardReset(atr, c.coldReset, port), static_cast<int>(want.size()));
  EXPECT_EQ(ToHex(Bytes(atr, atr + want.size())), ToHex(want));
}

INSTANTIATE_TEST_SUITE_P(
    Rig, AtrTest,
    ::testing::Values(AtrCase{"Short", kAtrShort, 1, 0}, AtrCase{"T0", kAtrT0, 1, 0},
                      AtrCase{"T1", kAtrT1, 1, 1}, AtrCase{"Max33Bytes", kAtr33, 1, 1},
                      AtrCase{"Max33BytesWarm", kAtr33, 0, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RigTest, ResetOnEmptyReaderIsNoSmartcard) {
  uint32_t port = Open(kReader1);
  unsigned char atr[PCSC2STD_ATR_CAPACITY];
  EXPECT_EQ(CardReset(atr, 1, port), PCSC2STD_ERR_NO_SMARTCARD);
  int32_t atrLen = -1;
  EXPECT_EQ(CardStatusATR(atr, &atrLen, port), 0);
  EXPECT_EQ(atrLen, -1) << "no ATR for an empty reader";
}

// --- APDU exchange ------------------------------------------------------------

struct IsoCase {
  const char* name;
  const char* apdu;
  uint32_t capacity;
  int result;           // status word, or a negative code
  const char* data;     // response without the status word
};

class IsoTest : public RigTest, public ::testing::WithParamInterface<IsoCase> {};

Bytes LongResponse() {
  Bytes r(256);
  for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<uint8_t>(i);
  r.push_back(0x90);
  r.push_back(0x00);
  return r;
}

TEST_P(IsoTest, SplitsTheStatusWord) {
  const IsoCase& c = GetParam();
  VirtualCard& card = InsertCard(kAtrT1);
  card.AddResponse(FromHex("00B0000004"), FromHex("010203049000"));
  card.AddResponse(FromHex("00B0000000"), LongResponse());
  card.AddResponse(FromHex("00B0000600"), FromHex("6282"));
  card.AddResponse(FromHex("0020008100"), FromHex("63C2"));
  card.AddResponse(FromHex("00B0000101"), FromHex("90"));  // a 1-byte answer
  card.AddSelect(FromHex("A000000001"), FromHex("9000"));
  uint32_t port = Open(kReader0);
  unsigned char atr[PCSC2STD_ATR_CAPACITY];
  ASSERT_GT(CardReset(atr, 1, port), 0);
  card.ClearLog();

  const Bytes apdu = FromHex(c.apdu);
  std::vector<unsigned char> resp(c.capacity + 16, 0xEE);
  uint32_t len = static_cast<uint32_t>(apdu.size());
  int rc = ISO(&len, apdu.data(), resp.data(), c.capacity, port);
  EXPECT_EQ(rc, c.result);
  if (c.result >= 0) {
    const Bytes data = FromHex(c.data);
    ASSERT_EQ(len, data.size());
    EXPECT_EQ(ToHex(Bytes(resp.begin(), resp.begin() + len)), ToHex(data));
  }
  EXPECT_TRUE(std::all_of(resp.begin() + c.capacity, resp.end(), [](unsigned char b) { return b == 0xEE; }))
      << "wrote beyond the capacity";
  // The APDU reached the card exactly once.
  auto log = card.Apdus();
  EXPECT_EQ(std::count(log.begin(), log.end(), apdu), 1) << "APDUs seen: " << log.size();
}

INSTANTIATE_TEST_SUITE_P(
    Rig, IsoTest,
    ::testing::Values(IsoCase{"ReadBinary", "00B0000004", 64, 0x9000, "01020304"},
                      IsoCase{"StatusWordOnly", "00A4040005A000000001", 64, 0x9000, ""},
                      IsoCase{"Warning", "00B0000600", 64, 0x6282, ""},
                      IsoCase{"PinTriesLeft", "0020008100", 64, 0x63C2, ""},
                      IsoCase{"UnknownSelect", "00A4040005A0000000FF", 64, 0x6A82, ""},
                      IsoCase{"UnknownInstruction", "80CA9F7F00", 64, 0x6D00, ""},
                      IsoCase{"FullLongResponse", "00B0000000", 258, 0x9000,
                              "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"
                              "202122232425262728292A2B2C2D2E2F303132333435363738393A3B3C3D3E3F"
                              "404142434445464748494A4B4C4D4E4F505152535455565758595A5B5C5D5E5F"
                              "606162636465666768696A6B6C6D6E6F707172737475767778797A7B7C7D7E7F"
                              "808182838485868788898A8B8C8D8E8F909192939495969798999A9B9C9D9E9F"
                              "A0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3B4B5B6B7B8B9BABBBCBDBEBF"
                              "C0C1C2C3C4C5C6C7C8C9CACBCCCDCECFD0D1D2D3D4D5D6D7D8D9DADBDCDDDEDF"
                              "E0E1E2E3E4E5E6E7E8E9EAEBECEDEEEFF0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF"},
                      IsoCase{"ResponseBeyondCapacity", "00B0000000", 64, PCSC2STD_ERR_TRANSMIT, ""},
                      IsoCase{"OneByteAnswerHasNoStatusWord", "00B0000101", 64, PCSC2STD_ERR_TRANSMIT,
                              ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RigTest, IsoOnEmptyReaderSendsNothing) {
  VirtualCard& card = InsertCard(kAtrT0, VirtualCard::kReader0Port);  // a card elsewhere
  uint32_t port = Open(kReader1);
  card.ClearLog();
  const Bytes apdu = FromHex("00B0000004");
  unsigned char resp[64];
  uint32_t len = static_cast<uint32_t>(apdu.size());
  EXPECT_EQ(ISO(&len, apdu.data(), resp, sizeof resp, port), 128);
  len = static_cast<uint32_t>(apdu.size());
  EXPECT_EQ(ISO(&len, apdu.data(), resp, sizeof resp, port), 0);
  EXPECT_TRUE(card.Apdus().empty());
}

// --- recovery after another context resets the card --------------------------

struct RecoveryCase {
  const char* name;
  DWORD disposition;  // how the other context leaves the card
};

class RecoveryTest : public RigTest, public ::testing::WithParamInterface<RecoveryCase> {};

TEST_P(RecoveryTest, ExchangeRecoversAfterForeignReset) {
  VirtualCard& card = InsertCard(kAtrT1);
  card.AddResponse(FromHex("00B0000004"), FromHex("0A0B0C0D9000"));
  uint32_t port = Open(kReader0);
  unsigned char atr[PCSC2STD_ATR_CAPACITY];
  ASSERT_GT(CardReset(atr, 1, port), 0);
  const Bytes apdu = FromHex("00B0000004");
  unsigned char resp[64];
  uint32_t len = static_cast<uint32_t>(apdu.size());
  ASSERT_EQ(ISO(&len, apdu.data(), resp, sizeof resp, port), 0x9000);

  // Another context resets the card behind our connection's back.
  ForeignConnection other;
  ASSERT_EQ(other.Connect(kReader0, SCARD_SHARE_SHARED), SCARD_S_SUCCESS);
  card.ClearLog();
  DWORD proto = 0;
  ASSERT_EQ(SCardReconnect(other.Handle(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                           GetParam().disposition, &proto),
            SCARD_S_SUCCESS);
  EXPECT_FALSE(card.Controls().empty()) << "the foreign reset never reached the card";
  other.Release();

  // Our handle now meets SCARD_W_RESET_CARD; the layer reconnects and
  // sends the APDU once more.
  card.ClearLog();
  std::memset(resp, 0, sizeof resp);
  len = static_cast<uint32_t>(apdu.size());
  EXPECT_EQ(ISO(&len, apdu.data(), resp, sizeof resp, port), 0x9000);
  ASSERT_EQ(len, 4u);
  EXPECT_EQ(ToHex(Bytes(resp, resp + 4)), "0A0B0C0D");
  auto log = card.Apdus();
  EXPECT_EQ(std::count(log.begin(), log.end(), apdu), 1);
  // And the port keeps working.
  len = static_cast<uint32_t>(apdu.size());
  EXPECT_EQ(ISO(&len, apdu.data(), resp, sizeof resp, port), 0x9000);
}

INSTANTIATE_TEST_SUITE_P(Rig, RecoveryTest,
                         ::testing::Values(RecoveryCase{"WarmReset", SCARD_RESET_CARD},
                                           RecoveryCase{"ColdReset", SCARD_UNPOWER_CARD}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- cross-check with an independent peer ------------------------------------

// opensc-tool -l lists "Nr.  Card  Features  Name" rows.
std::vector<std::string> OpenscReaders() {
  std::string out;
  EXPECT_EQ(testkit::RunCaptured({"opensc-tool", "-l"}, &out), 0);
  std::vector<std::string> names;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    auto pos = line.find("Virtual PCD");
    if (pos != std::string::npos && std::isdigit(static_cast<unsigned char>(line[0])))
      names.push_back(line.substr(pos));
  }
  return names;
}

// The ATR of reader 0 as opensc-tool prints it, as upper-case hex. Its
// "-a" line is colon-separated lower-case hex; for a 33-byte ATR it prints
// an empty line (the tool's own buffer is too short), so that case reads
// the hexdump of "-v -a" instead.
std::string OpenscAtr(bool verbose) {
  std::string out;
  EXPECT_EQ(verbose ? testkit::RunCaptured({"opensc-tool", "-v", "-r", "0", "-a"}, &out, true)
                    : testkit::RunCaptured({"opensc-tool", "-r", "0", "-a"}, &out),
            0);
  std::string hex;
  std::istringstream lines(out);
  bool inDump = false;
  for (std::string line; std::getline(lines, line);) {
    if (!verbose) {
      for (char ch : line)
        if (std::isxdigit(static_cast<unsigned char>(ch))) hex.push_back(static_cast<char>(std::toupper(ch)));
      if (!hex.empty()) break;
      continue;
    }
    if (line.rfind("Card ATR:", 0) == 0) {
      inDump = true;
      continue;
    }
    // Hexdump rows: 16 "XX " columns (48 characters), then the bytes as text.
    if (inDump) {
      std::string cols = line.substr(0, 48);
      if (cols.size() < 2 || !std::isxdigit(static_cast<unsigned char>(cols[0]))) break;
      for (char ch : cols)
        if (std::isxdigit(static_cast<unsigned char>(ch))) hex.push_back(static_cast<char>(std::toupper(ch)));
    }
  }
  return hex;
}

struct CrossCase {
  const char* name;
  const char* atr;
  bool verbose;
};

class OpenscCrossCheckTest : public RigTest, public ::testing::WithParamInterface<CrossCase> {};

TEST_P(OpenscCrossCheckTest, SameReadersAndAtr) {
  const CrossCase& c = GetParam();
  InsertCard(c.atr);

  ReaderInfo r[PCSC2STD_MAX_READERS];
  uint32_t count = 0;
  ASSERT_EQ(GetAllReaders(r, &count), 0);
  std::vector<std::string> ours;
  for (uint32_t i = 0; i < count; ++i) ours.push_back(r[i].name);
  EXPECT_EQ(ours, OpenscReaders());

  uint32_t port = Open(kReader0);
  unsigned char atr[PCSC2STD_ATR_CAPACITY];
  int len = CardReset(atr, 1, port);
  ASSERT_GT(len, 0);
  std::string peer = OpenscAtr(c.verbose);
  EXPECT_EQ(ToHex(Bytes(atr, atr + len)), peer);
  EXPECT_EQ(peer, c.atr);
}

INSTANTIATE_TEST_SUITE_P(Rig, OpenscCrossCheckTest,
                         ::testing::Values(CrossCase{"T0", kAtrT0, false}, CrossCase{"T1", kAtrT1, false},
                                           CrossCase{"Max33Bytes", kAtr33, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
