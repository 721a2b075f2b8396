// The reader layer's card-watch thread on the rig: the card-state sequence
// it publishes, and open/close cycles that must leave no thread, descriptor
// or daemon context behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "pcscread/pcsc2std.h"
#include "tests/support/rig/RigFixture.h"
#include "tests/support/testkit/testkit.h"

namespace {

using namespace vdrig;

// --- the card-state sequence ------------------------------------------------

enum class Action { kNone, kInsert, kRemove };
struct Step {
  Action action;
  std::vector<int> statuses;  // CardStatus results expected after the action
};
struct SequenceCase {
  const char* name;
  bool cardAtOpen;
  std::vector<Step> steps;
};

class CardStateSequenceTest : public RigTest, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(CardStateSequenceTest, ReportsEachChangeOnce) {
  const SequenceCase& c = GetParam();
  auto card = std::make_unique<VirtualCard>(FromHex(kAtrT0));
  if (c.cardAtOpen) {
    ASSERT_TRUE(card->Insert(seconds(10)));
    ASSERT_NE(vdrig::WaitReaderState(kReader0, true), 0u);
  }
  uint32_t port = Open(kReader0);
  int last = -1000;
  for (size_t i = 0; i < c.steps.size(); ++i) {
    const Step& s = c.steps[i];
    std::vector<int> got;
    switch (s.action) {
      case Action::kNone:
        // Right after InitPort the first state is already published.
        got.push_back(CardStatus(port));
        break;
      case Action::kInsert:
        ASSERT_TRUE(card->Insert(seconds(10)));
        got.push_back(StatusAfterChange(port, last));
        break;
      case Action::kRemove:
        ASSERT_TRUE(card->Remove(seconds(5)));
        got.push_back(StatusAfterChange(port, last));
        break;
    }
    while (got.size() < s.statuses.size()) got.push_back(CardStatus(port));
    EXPECT_EQ(got, s.statuses) << "step " << i;
    last = got.back();
  }
  card->Remove(seconds(5));
  vdrig::WaitReaderState(kReader0, false);
}

INSTANTIATE_TEST_SUITE_P(
    Rig, CardStateSequenceTest,
    ::testing::Values(
        SequenceCase{"EmptyAtOpen", false, {{Action::kNone, {128, 0, 0}}}},
        SequenceCase{"PresentAtOpenIsNoChange", true, {{Action::kNone, {64, 64}}}},
        SequenceCase{"Insertion", false, {{Action::kNone, {128, 0}}, {Action::kInsert, {192, 64, 64}}}},
        SequenceCase{"Removal", true, {{Action::kNone, {64}}, {Action::kRemove, {128, 0, 0}}}},
        SequenceCase{"InsertRemoveInsert",
                     false,
                     {{Action::kNone, {128, 0}},
                      {Action::kInsert, {192, 64}},
                      {Action::kRemove, {128, 0}},
                      {Action::kInsert, {192, 64}}}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- open/close cycles --------------------------------------------------------

struct CycleCase {
  const char* name;
  bool card;
  bool reset;
};

class OpenCloseCycleTest : public RigTest, public ::testing::WithParamInterface<CycleCase> {};

TEST_P(OpenCloseCycleTest, HundredCyclesLeakNothing) {
  const CycleCase& c = GetParam();
  if (c.card) InsertCard(kAtrT1);
  ASSERT_GT(vdrig::DaemonPid(), 0) << "VD_RIG_PCSCD_PID not set";

  // One warm-up cycle so that lazily made things (libpcsclite's own
  // state) exist before counting.
  uint32_t port = Open(kReader0);
  Close(port);
  const int threads0 = testkit::OwnThreads();
  const int fds0 = testkit::OwnDescriptors();
  int daemonFds0 = -1;
  // pcscd closes a client's socket shortly after the client released it.
  testkit::WaitUntil([&] {
    int a = vdrig::DaemonDescriptors();
    daemonFds0 = a;
    return a > 0 && a == vdrig::DaemonDescriptors();
  }, seconds(2));

  unsigned char atr[PCSC2STD_ATR_CAPACITY];
  for (int i = 0; i < 100; ++i) {
    uint32_t p = 255;
    ASSERT_EQ(InitPort(0, 0, kReader0, &p, PCSC2STD_CARD_KIND_T1, 0), 0) << "cycle " << i;
    ASSERT_LT(p, PCSC2STD_MAX_PORTS);
    int s = CardStatus(p);
    EXPECT_EQ(s, c.card ? 64 : 128) << "cycle " << i;
    if (c.reset) {
      EXPECT_GT(CardReset(atr, 1, p), 0) << "cycle " << i;
    }
    ASSERT_EQ(ClosePort(p), 0) << "cycle " << i;
    EXPECT_EQ(ClosePort(p), PCSC2STD_ERR_PORT_NOT_OPEN);
    if (::testing::Test::HasFailure()) break;
  }

  // Threads are joined by ClosePort, descriptors closed with them. A
  // joined thread can stay listed under /proc for a moment after the join.
  int threads = -1;
  EXPECT_TRUE(testkit::WaitUntil([&] { return (threads = testkit::OwnThreads()) <= threads0; }, seconds(5)))
      << threads << " threads, " << threads0 << " before";
  EXPECT_EQ(testkit::OwnDescriptors(), fds0);
  // Every context we opened has been released: the daemon drops back to
  // the same number of client connections.
  int daemonFds = -1;
  EXPECT_TRUE(testkit::WaitUntil([&] { return (daemonFds = vdrig::DaemonDescriptors()) <= daemonFds0; },
                                 seconds(5)))
      << "pcscd holds " << daemonFds << " descriptors, " << daemonFds0 << " before";
}

INSTANTIATE_TEST_SUITE_P(Rig, OpenCloseCycleTest,
                         ::testing::Values(CycleCase{"EmptyReader", false, false},
                                           CycleCase{"CardPresent", true, false},
                                           CycleCase{"CardPresentWithReset", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
