// The PC/SC service stops answering: frozen (SIGSTOP), the status wait's
// watchdog still ends and nothing stays behind once it runs again; ended
// while a port is open, the card-watch thread publishes the service error
// promptly, the entries report it, and the port still closes. The tests
// stop the rig's daemon, so they have a rig (a test binary) of their own,
// and the frozen case comes first.
#include <gtest/gtest.h>
#include <signal.h>

#include <future>
#include <string>

#include "pcscread/pcsc2std.h"
#include "tests/support/rig/RigFixture.h"
#include "tests/support/testkit/testkit.h"

namespace {

using namespace vdrig;

bool IsServiceGone(int rc) {
  return rc == PCSC2STD_ERR_NO_SERVICE || rc == PCSC2STD_ERR_SERVICE_STOPPED;
}

// Stops the rig's daemon and waits until it is gone.
void StopDaemon() {
  long pid = DaemonPid();
  ASSERT_GT(pid, 0) << "VD_RIG_PCSCD_PID not set";
  ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGTERM), 0);
  ASSERT_TRUE(testkit::WaitUntil([&] { return DaemonDescriptors() < 0; }, seconds(10)))
      << "pcscd did not end";
}

class ServiceStopTest : public RigTest {};

TEST_F(ServiceStopTest, WatchdogEndsOnAFrozenDaemon) {
  const long pid = DaemonPid();
  ASSERT_GT(pid, 0) << "VD_RIG_PCSCD_PID not set";
  InsertCard(kAtrT1);
  Close(Open(kReader0));  // lazily made state exists before counting
  const int threads0 = testkit::OwnThreads();

  ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGSTOP), 0);
  ASSERT_TRUE(testkit::WaitUntil([] { return vdrig::ProcessStopped(DaemonPid()); }, seconds(5))) << "pcscd did not stop";
  SCARD_READERSTATE rs{};
  rs.szReader = kReader0;
  rs.dwCurrentState = SCARD_STATE_UNAWARE;
  auto waiting = std::async(std::launch::async, [&rs] { return GetStatusChangeWithWatchdog(1000, &rs); });
  const bool ended = waiting.wait_for(seconds(4)) == std::future_status::ready;
  const bool stoppedAtEnd = vdrig::ProcessStopped(pid);
  kill(static_cast<pid_t>(pid), SIGCONT);
  ASSERT_TRUE(ended) << "the watchdog did not return while pcscd was stopped";
  EXPECT_EQ(waiting.get(), SCARD_E_TIMEOUT);
  EXPECT_TRUE(stoppedAtEnd);

  // Running again, the daemon serves a port as usual, and the threads the
  // watchdog left behind have ended.
  uint32_t port = Open(kReader0);
  unsigned char atr[PCSC2STD_ATR_CAPACITY];
  EXPECT_GT(CardReset(atr, 1, port), 0);
  Close(port);
  int threads = -1;
  EXPECT_TRUE(testkit::WaitUntil([&] { return (threads = testkit::OwnThreads()) <= threads0; }, seconds(10)))
      << threads << " threads, " << threads0 << " before";
}

TEST_F(ServiceStopTest, OpenPortReportsStopAndStillCloses) {
  VirtualCard& card = InsertCard(kAtrT1);
  card.AddResponse(vdtest::FromHex("00B0000004"), vdtest::FromHex("010203049000"));
  uint32_t port = Open(kReader0);
  unsigned char atr[PCSC2STD_ATR_CAPACITY];
  ASSERT_GT(CardReset(atr, 1, port), 0);
  ASSERT_EQ(CardStatus(port), 64);
  uint32_t idle = 255;
  ASSERT_EQ(InitPort(0, 0, kReader1, &idle, PCSC2STD_CARD_KIND_T1, 0), 0) << "a second, unconnected port";

  StopDaemon();

  // Both ports' watch threads publish the service error within a few of
  // their 500 ms passes.
  for (uint32_t p : {port, idle}) {
    int s = 0;
    EXPECT_TRUE(testkit::WaitUntil([&] { return IsServiceGone(s = CardStatus(p)); }, seconds(5)))
        << "port " << p << ": CardStatus still " << s;
  }
  const vdtest::Bytes apdu = vdtest::FromHex("00B0000004");
  unsigned char resp[64];
  uint32_t len = static_cast<uint32_t>(apdu.size());
  EXPECT_TRUE(IsServiceGone(ISO(&len, apdu.data(), resp, sizeof resp, port)));
  int reset = CardReset(atr, 1, port);
  EXPECT_TRUE(IsServiceGone(reset)) << reset;

  // Closing must come back even though the daemon is gone.
  for (uint32_t p : {port, idle}) {
    auto closing = std::async(std::launch::async, [p] { return ClosePort(p); });
    ASSERT_EQ(closing.wait_for(seconds(10)), std::future_status::ready) << "ClosePort(" << p << ") hangs";
    EXPECT_EQ(closing.get(), 0);
  }
  ports_.clear();

  // Without a service nothing opens, and the reader list fails.
  uint32_t none = 0;
  EXPECT_EQ(InitPort(0, 0, kReader0, &none, PCSC2STD_CARD_KIND_T1, 0), PCSC2STD_ERR_INIT_PORT);
  EXPECT_EQ(none, PCSC2STD_NO_PORT);
  ReaderInfo r[PCSC2STD_MAX_READERS];
  uint32_t count = 7;
  EXPECT_EQ(GetAllReaders(r, &count), PCSC2STD_ERR_PCSC);
  EXPECT_EQ(count, 0u);
}

}  // namespace
