// A fake of the pcsc2std port API, linked in place of vd_pcscread, for the
// transaction and transport failures a real reader cannot be made to show.
// It answers from a script: an ATR, responses per command APDU, results per
// entry (once or always), and logs every call in order.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "pcscread/pcsc2std.h"

namespace fakepcsc {

using Bytes = std::vector<uint8_t>;

struct Script {
    Bytes atr;                              // empty: CardReset answers resetResult
    int resetResult = PCSC2STD_ERR_NO_SMARTCARD;
    std::map<Bytes, Bytes> responses;       // command -> data + SW1 SW2
    int cardStatus = PCSC2STD_CARD_PRESENT; // what CardStatus and ISO's check see
    // Results forced for an entry ("InitPort", "StartTransaction", "ISO", ...):
    // the n-th call (1-based) answers the value; n 0 = every call.
    std::map<std::pair<std::string, int>, int> forced;
    // Reader list for GetAllReaders: names written (at most 16 records) and
    // the count reported, which may claim more than was written.
    std::vector<std::string> readers;
    int reportedReaderCount = -1;           // -1: the number of names
    int getAllReadersResult = 0;
};

// Replaces the script, clears the log and call counts, closes every port.
void Reset(const Script& script);
Script& Current();

// Every entry call in order, e.g. "InitPort Virtual PCD 00 00", "CardReset",
// "ISO 00A4000C", "StartTransaction", "EndTransaction", "CardDisconnect",
// "ClosePort 3".
const std::vector<std::string>& Log();
// Only the APDUs sent, as upper-case hex.
std::vector<std::string> SentApdus();
// Arguments of the last InitPort and the response capacity of the last ISO.
struct InitPortArgs {
    uint32_t portNumber = 0xFFFFFFFF;
    uint32_t subPort = 0xFFFFFFFF;
    int cardKind = -1;
    int exclusive = -1;
};
InitPortArgs LastInitPort();
uint32_t LastIsoCapacity();
// Ports open now.
int OpenPorts();
int Calls(const std::string& entry);

}  // namespace fakepcsc
