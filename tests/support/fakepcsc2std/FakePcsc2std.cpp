#include "tests/support/fakepcsc2std/FakePcsc2std.h"

#include <cstdio>
#include <cstring>
#include <set>

namespace fakepcsc {
namespace {

Script script;
std::vector<std::string> callLog;
std::map<std::string, int> callCounts;
std::set<uint32_t> openPorts;
uint32_t nextPort = 5;
InitPortArgs lastInitPort;
uint32_t lastIsoCapacity = 0;

std::string Hex(const uint8_t* p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X", p[i]);
        s += b;
    }
    return s;
}

// Counts the call, logs it and tells whether a forced result applies.
bool Enter(const std::string& entry, const std::string& detail, int* forced) {
    const int n = ++callCounts[entry];
    callLog.push_back(detail.empty() ? entry : entry + " " + detail);
    for (int key : {n, 0}) {
        auto it = script.forced.find({entry, key});
        if (it != script.forced.end()) {
            *forced = it->second;
            return true;
        }
    }
    return false;
}

bool IsOpen(uint32_t port) { return openPorts.count(port) != 0; }

}  // namespace

void Reset(const Script& s) {
    script = s;
    callLog.clear();
    callCounts.clear();
    openPorts.clear();
    nextPort = 5;
    lastInitPort = InitPortArgs{};
    lastIsoCapacity = 0;
}

InitPortArgs LastInitPort() { return lastInitPort; }
uint32_t LastIsoCapacity() { return lastIsoCapacity; }

Script& Current() { return script; }
const std::vector<std::string>& Log() { return callLog; }

std::vector<std::string> SentApdus() {
    std::vector<std::string> out;
    for (const std::string& line : callLog) {
        if (line.rfind("ISO ", 0) == 0) out.push_back(line.substr(4));
    }
    return out;
}

int OpenPorts() { return static_cast<int>(openPorts.size()); }
int Calls(const std::string& entry) {
    auto it = callCounts.find(entry);
    return it == callCounts.end() ? 0 : it->second;
}

}  // namespace fakepcsc

using namespace fakepcsc;

void InitLibrary() {
    int forced = 0;
    Enter("InitLibrary", "", &forced);
}

int InitPort(uint32_t portNumber, uint32_t subPort, const char* readerName, uint32_t* port,
             int cardKind, int exclusive) {
    int forced = 0;
    lastInitPort = InitPortArgs{portNumber, subPort, cardKind, exclusive};
    if (Enter("InitPort", readerName ? readerName : "", &forced)) {
        *port = PCSC2STD_NO_PORT;
        return forced;
    }
    *port = nextPort++;
    openPorts.insert(*port);
    return 0;
}

int GetAllReaders(ReaderInfo* readers, uint32_t* count) {
    int forced = 0;
    *count = 0;
    if (Enter("GetAllReaders", "", &forced)) return forced;
    if (script.getAllReadersResult != 0) return script.getAllReadersResult;
    uint32_t written = 0;
    for (const std::string& name : script.readers) {
        if (written == PCSC2STD_MAX_READERS) break;
        ReaderInfo& r = readers[written++];
        std::memset(&r, 0, sizeof r);
        std::snprintf(r.name, sizeof r.name, "%s", name.c_str());
        r.attribA = 63;
        r.attribB = 63;
        r.status = READER_STATUS_AVAILABLE;
    }
    *count = script.reportedReaderCount >= 0 ? static_cast<uint32_t>(script.reportedReaderCount)
                                             : written;
    return 0;
}

int ClosePort(uint32_t port) {
    int forced = 0;
    if (Enter("ClosePort", std::to_string(port), &forced)) return forced;
    if (!IsOpen(port)) return PCSC2STD_ERR_PORT_NOT_OPEN;
    openPorts.erase(port);
    return 0;
}

int CardStatus(uint32_t port) {
    int forced = 0;
    if (Enter("CardStatus", "", &forced)) return forced;
    if (!IsOpen(port)) return PCSC2STD_ERR_PORT_NOT_OPEN;
    return script.cardStatus;
}

int CardReset(unsigned char* atr, int16_t coldReset, uint32_t port) {
    int forced = 0;
    if (Enter("CardReset", coldReset == 1 ? "cold" : "warm", &forced)) return forced;
    if (!IsOpen(port)) return PCSC2STD_ERR_PORT_NOT_OPEN;
    if (script.atr.empty()) return script.resetResult;
    const size_t n = script.atr.size() < PCSC2STD_ATR_CAPACITY ? script.atr.size()
                                                               : PCSC2STD_ATR_CAPACITY;
    std::memcpy(atr, script.atr.data(), n);
    return static_cast<int>(n);
}

int StartTransaction(uint32_t port) {
    int forced = 0;
    if (Enter("StartTransaction", "", &forced)) return forced;
    return IsOpen(port) ? 0 : PCSC2STD_ERR_PORT_NOT_OPEN;
}

int EndTransaction(uint32_t port) {
    int forced = 0;
    if (Enter("EndTransaction", "", &forced)) return forced;
    return IsOpen(port) ? 0 : PCSC2STD_ERR_PORT_NOT_OPEN;
}

int CardDisconnect(uint32_t port) {
    int forced = 0;
    if (Enter("CardDisconnect", "", &forced)) return forced;
    return IsOpen(port) ? 0 : PCSC2STD_ERR_PORT_NOT_OPEN;
}

int ISO(uint32_t* length, const unsigned char* apdu, unsigned char* response, uint32_t capacity,
        uint32_t port) {
    int forced = 0;
    const Bytes command(apdu, apdu + *length);
    lastIsoCapacity = capacity;
    if (Enter("ISO", Hex(apdu, *length), &forced)) return forced;
    if (!IsOpen(port)) return PCSC2STD_ERR_PORT_NOT_OPEN;
    if (script.cardStatus != PCSC2STD_CARD_PRESENT &&
        script.cardStatus != (PCSC2STD_CARD_PRESENT | PCSC2STD_CARD_CHANGED)) {
        return script.cardStatus;
    }
    auto it = script.responses.find(command);
    Bytes answer = it != script.responses.end() ? it->second : Bytes{0x6D, 0x00};
    if (answer.size() < 2) return PCSC2STD_ERR_TRANSMIT;
    const size_t data = answer.size() - 2;
    if (data > capacity) return PCSC2STD_ERR_TRANSMIT;
    std::memcpy(response, answer.data(), data);
    // Bytes beyond the answer keep a marker, so that a reader looking past
    // the returned length is caught.
    if (data < capacity) std::memset(response + data, 0xA5, capacity - data);
    *length = static_cast<uint32_t>(data);
    return answer[data] * 256 + answer[data + 1];
}
