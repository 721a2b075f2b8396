// Helpers for programs that run inside the rig (tests/rig/run-in-rig.sh):
// raw PC/SC waits on a reader's state, another program's connection, the
// daemon's descriptors and state. Header-only; used by the rig tests and
// benchmarks.
#pragma once

#include <winscard.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "tests/support/testkit/testkit.h"

namespace vdrig {

inline constexpr const char kReader0[] = "Virtual PCD 00 00";
inline constexpr const char kReader1[] = "Virtual PCD 00 01";

// True inside the rig.
inline bool InRig() {
  const char* v = std::getenv("VD_RIG");
  return v != nullptr && std::string(v) == "1";
}

// Waits, with PC/SC's own status-change wait, until the reader shows a card
// with an ATR (present = true) or an empty slot (present = false). Returns
// the last event state seen, or 0 when the deadline passed first.
inline DWORD WaitReaderState(const char* reader, bool present,
                             std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  SCARDCONTEXT ctx = 0;
  if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) return 0;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  SCARD_READERSTATE st{};
  st.szReader = reader;
  st.dwCurrentState = SCARD_STATE_UNAWARE;
  DWORD result = 0;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                      std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    LONG rc = SCardGetStatusChange(ctx, static_cast<DWORD>(left.count()), &st, 1);
    if (rc == SCARD_E_TIMEOUT) break;
    if (rc != SCARD_S_SUCCESS) break;
    DWORD s = st.dwEventState;
    bool isPresent = (s & SCARD_STATE_PRESENT) && st.cbAtr > 0;
    bool isEmpty = (s & SCARD_STATE_EMPTY) != 0;
    if ((present && isPresent) || (!present && isEmpty)) {
      result = s;
      break;
    }
    st.dwCurrentState = s & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
  }
  SCardReleaseContext(ctx);
  return result;
}

// Another program's hold on a reader's card: a PC/SC context of its own
// with one connection, both let go by Release() or at the latest when the
// object goes.
class ForeignConnection {
 public:
  ForeignConnection() = default;
  ForeignConnection(const ForeignConnection&) = delete;
  ForeignConnection& operator=(const ForeignConnection&) = delete;
  ~ForeignConnection() { Release(); }

  // Returns the first failing PC/SC result, or SCARD_S_SUCCESS.
  LONG Connect(const char* reader, DWORD shareMode) {
    LONG rc = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &ctx_);
    if (rc != SCARD_S_SUCCESS) return rc;
    DWORD proto = 0;
    rc = SCardConnect(ctx_, reader, shareMode, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle_, &proto);
    if (rc != SCARD_S_SUCCESS) handle_ = 0;
    return rc;
  }
  void Release() {
    if (handle_ != 0) SCardDisconnect(handle_, SCARD_LEAVE_CARD);
    if (ctx_ != 0) SCardReleaseContext(ctx_);
    handle_ = 0;
    ctx_ = 0;
  }
  SCARDHANDLE Handle() const { return handle_; }

 private:
  SCARDCONTEXT ctx_ = 0;
  SCARDHANDLE handle_ = 0;
};

// The rig's pcscd: its pid, and its descriptors (one per client connection,
// i.e. per PC/SC context, beside a fixed set of its own).
inline long DaemonPid() {
  const char* v = std::getenv("VD_RIG_PCSCD_PID");
  return v != nullptr && *v != '\0' ? std::strtol(v, nullptr, 10) : -1;
}
inline int DaemonDescriptors() {
  long pid = DaemonPid();
  return pid > 0 ? testkit::CountDirEntries("/proc/" + std::to_string(pid) + "/fd") : -1;
}

// A process's command name and its state letter, as /proc shows them;
// false when the process is gone.
inline bool ProcessNameAndState(long pid, std::string* name, char* state) {
  const std::string stat = testkit::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  // "PID (NAME) STATE ...": the name may hold blanks and parentheses.
  const size_t from = stat.find('(');
  const size_t to = stat.rfind(')');
  if (from == std::string::npos || to == std::string::npos || to + 2 >= stat.size()) return false;
  *name = stat.substr(from + 1, to - from - 1);
  *state = stat[to + 2];
  return true;
}

// True while the process is stopped (SIGSTOP), as its state in /proc shows.
inline bool ProcessStopped(long pid) {
  std::string name;
  char state = 0;
  return ProcessNameAndState(pid, &name, &state) && state == 'T';
}

}  // namespace vdrig
