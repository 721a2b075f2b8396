// vcard: the virtual card as a program, for tests that run the application
// as a whole. Inserts itself into a vpcd reader, serves a scripted ATR and
// APDU answers, and stays until SIGTERM/SIGINT (exit 0) or until vpcd
// drops it (exit 3).
//
//   vcard [--port N] [--host ADDR] --atr HEX [--script FILE] [--log FILE]
//         [--wait SECONDS]
//
// --log appends every command APDU received as one hex line, flushed at
// once. "inserted" is printed on stdout once vpcd has taken the card.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>

#include "tests/support/vcard/VirtualCard.h"

namespace {

int Usage(const char* why) {
  std::cerr << "vcard: " << why << "\n"
            << "usage: vcard [--port N] [--host ADDR] --atr HEX [--script FILE] [--log FILE]"
               " [--wait SECONDS]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  long port = vdtest::VirtualCard::kReader0Port;
  std::string host = "127.0.0.1", atrHex, scriptPath, logPath;
  long waitSeconds = 10;
  bool haveAtr = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        std::cerr << "vcard: " << name << " needs a value\n";
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--port") {
      char* end = nullptr;
      port = std::strtol(value("--port"), &end, 10);
      if (*end != '\0' || port <= 0 || port > 65535) return Usage("bad --port");
    } else if (a == "--host") {
      host = value("--host");
    } else if (a == "--atr") {
      atrHex = value("--atr");
      haveAtr = true;
    } else if (a == "--script") {
      scriptPath = value("--script");
    } else if (a == "--log") {
      logPath = value("--log");
    } else if (a == "--wait") {
      char* end = nullptr;
      waitSeconds = std::strtol(value("--wait"), &end, 10);
      if (*end != '\0' || waitSeconds <= 0) return Usage("bad --wait");
    } else {
      return Usage(("unknown argument " + a).c_str());
    }
  }

  vdtest::CardScript script;
  if (!scriptPath.empty()) {
    std::ifstream in(scriptPath);
    if (!in) return Usage(("cannot read " + scriptPath).c_str());
    std::string error;
    if (!script.Parse(in, &error)) return Usage((scriptPath + ": " + error).c_str());
  }
  if (haveAtr) {
    try {
      script.atr = vdtest::FromHex(atrHex);
    } catch (const std::exception& e) {
      return Usage((std::string("--atr: ") + e.what()).c_str());
    }
  }
  if (script.atr.empty()) return Usage("no ATR (--atr or an 'atr' line in the script)");

  // Block the stop signals before any thread starts, then wait for them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  std::ofstream log;
  if (!logPath.empty()) {
    log.open(logPath, std::ios::app);
    if (!log) return Usage(("cannot write " + logPath).c_str());
  }
  std::mutex logMu;

  vdtest::VirtualCard card(script.atr, static_cast<std::uint16_t>(port), host);
  card.SetScript(script);
  if (log.is_open()) {
    card.OnApdu([&](const vdtest::Bytes& apdu) {
      std::lock_guard<std::mutex> lock(logMu);
      log << vdtest::ToHex(apdu) << std::endl;
    });
  }
  if (!card.Insert(std::chrono::seconds(waitSeconds))) {
    std::cerr << "vcard: vpcd on " << host << ":" << port << " did not take the card within "
              << waitSeconds << " s\n";
    return 1;
  }
  std::cout << "inserted" << std::endl;

  // Wake up now and then to notice that vpcd dropped us.
  for (;;) {
    timespec tick{0, 100 * 1000 * 1000};
    int sig = sigtimedwait(&stopSignals, nullptr, &tick);
    if (sig > 0) break;
    if (card.LostConnection()) {
      std::cerr << "vcard: vpcd closed the connection\n";
      return 3;
    }
  }
  card.Remove(std::chrono::seconds(2));
  return 0;
}
