// Times the reader layer against a real pcscd with the vpcd driver and our
// virtual card (run inside tests/rig/run-in-rig.sh):
//   - 2,000 READ BINARY exchanges through ISO, and the same through raw
//     SCardTransmit on a connection of our own, and their ratio;
//   - the time from InitPort to the first valid CardStatus;
//   - full InitPort / CardReset / ClosePort cycles with a card present.
// Goals: ISO within 1.2x of raw SCardTransmit; a full cycle under 100 ms.
// Prints the figures; exits non-zero only when an operation fails.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "pcscread/pcsc2std.h"
#include "tests/support/rig/RigUtil.h"
#include "tests/support/vcard/VirtualCard.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Stats {
  double min, median, max;
};
Stats Summarise(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v.front(), v[v.size() / 2], v.back()};
}

constexpr int kExchanges = 2000;
constexpr int kCycles = 50;
const char kAtr[] = "3BBB1800C01031FE4580670412B00303000081053C";  // offers T=1

}  // namespace

int main() {
  if (!vdrig::InRig()) {
    std::fprintf(stderr, "bench_pcscread: run me through tests/rig/run-in-rig.sh\n");
    return 2;
  }
  vdtest::VirtualCard card(vdtest::FromHex(kAtr));
  const vdtest::Bytes apdu = vdtest::FromHex("00B0000010");
  vdtest::Bytes answer(16, 0x5A);
  answer.push_back(0x90);
  answer.push_back(0x00);
  card.AddResponse(apdu, answer);
  if (!card.Insert(std::chrono::seconds(10)) || vdrig::WaitReaderState(vdrig::kReader0, true) == 0) {
    std::fprintf(stderr, "bench_pcscread: the virtual card did not come up\n");
    return 1;
  }

  InitLibrary();
  unsigned char atr[PCSC2STD_ATR_CAPACITY];
  unsigned char resp[64];

  // InitPort to the first valid CardStatus.
  std::vector<double> firstStatus;
  for (int i = 0; i < kCycles; ++i) {
    uint32_t port = 255;
    auto t0 = Clock::now();
    if (InitPort(0, 0, vdrig::kReader0, &port, PCSC2STD_CARD_KIND_T1, 0) != 0) {
      std::fprintf(stderr, "InitPort failed\n");
      return 1;
    }
    int s = -1;
    while ((s = CardStatus(port)) < 0 && Ms(Clock::now() - t0) < 5000) {
    }
    firstStatus.push_back(Ms(Clock::now() - t0));
    ClosePort(port);
    if (s < 0) {
      std::fprintf(stderr, "no valid CardStatus within 5 s (last %d)\n", s);
      return 1;
    }
  }

  // Full open / reset / close cycles.
  std::vector<double> cycles;
  for (int i = 0; i < kCycles; ++i) {
    uint32_t port = 255;
    auto t0 = Clock::now();
    int rc = InitPort(0, 0, vdrig::kReader0, &port, PCSC2STD_CARD_KIND_T1, 0);
    int len = rc == 0 ? CardReset(atr, 1, port) : rc;
    int closed = rc == 0 ? ClosePort(port) : rc;
    cycles.push_back(Ms(Clock::now() - t0));
    if (rc != 0 || len <= 0 || closed != 0) {
      std::fprintf(stderr, "cycle %d failed: InitPort %d, CardReset %d, ClosePort %d\n", i, rc, len, closed);
      return 1;
    }
  }

  // 2,000 exchanges through ISO.
  uint32_t port = 255;
  if (InitPort(0, 0, vdrig::kReader0, &port, PCSC2STD_CARD_KIND_T1, 0) != 0 || CardReset(atr, 1, port) <= 0) {
    std::fprintf(stderr, "cannot open and reset the port\n");
    return 1;
  }
  card.ClearLog();
  auto t0 = Clock::now();
  for (int i = 0; i < kExchanges; ++i) {
    uint32_t len = static_cast<uint32_t>(apdu.size());
    int sw = ISO(&len, apdu.data(), resp, sizeof resp, port);
    if (sw != 0x9000 || len != 16) {
      std::fprintf(stderr, "ISO exchange %d: %d, length %u\n", i, sw, len);
      return 1;
    }
  }
  double isoMs = Ms(Clock::now() - t0);
  ClosePort(port);
  size_t isoSeen = card.Apdus().size();

  // The same through raw SCardTransmit.
  SCARDCONTEXT ctx = 0;
  SCARDHANDLE h = 0;
  DWORD proto = 0;
  if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS ||
      SCardConnect(ctx, vdrig::kReader0, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &h, &proto) != SCARD_S_SUCCESS) {
    std::fprintf(stderr, "raw connect failed\n");
    return 1;
  }
  card.ClearLog();
  t0 = Clock::now();
  for (int i = 0; i < kExchanges; ++i) {
    DWORD n = sizeof resp;
    LONG rc = SCardTransmit(h, SCARD_PCI_T1, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr, resp, &n);
    if (rc != SCARD_S_SUCCESS || n != 18) {
      std::fprintf(stderr, "raw exchange %d: 0x%lX, length %lu\n", i, static_cast<unsigned long>(rc),
                   static_cast<unsigned long>(n));
      return 1;
    }
  }
  double rawMs = Ms(Clock::now() - t0);
  size_t rawSeen = card.Apdus().size();
  // Both loops must have reached the card every time, or the times mean nothing.
  if (isoSeen != kExchanges || rawSeen != kExchanges) {
    std::fprintf(stderr, "the card saw %zu (ISO) and %zu (raw) APDUs, not %d each\n", isoSeen, rawSeen, kExchanges);
    return 1;
  }
  SCardDisconnect(h, SCARD_LEAVE_CARD);
  SCardReleaseContext(ctx);

  Stats fs = Summarise(firstStatus), cy = Summarise(cycles);
  double ratio = isoMs / rawMs;
  std::printf("READ BINARY x%d through ISO:           %9.1f ms (%.3f ms each)\n", kExchanges, isoMs,
              isoMs / kExchanges);
  std::printf("READ BINARY x%d through SCardTransmit: %9.1f ms (%.3f ms each)\n", kExchanges, rawMs,
              rawMs / kExchanges);
  std::printf("ratio ISO / raw: %.3f (goal <= 1.2: %s)\n", ratio, ratio <= 1.2 ? "met" : "MISSED");
  std::printf("InitPort to first valid CardStatus, %d runs: min %.2f, median %.2f, max %.2f ms\n", kCycles,
              fs.min, fs.median, fs.max);
  std::printf("InitPort/CardReset/ClosePort cycle, %d runs: min %.2f, median %.2f, max %.2f ms (goal < 100: %s)\n",
              kCycles, cy.min, cy.median, cy.max, cy.max < 100 ? "met" : "MISSED");
  return 0;
}
