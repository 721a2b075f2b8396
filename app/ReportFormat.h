// Text formatters of the report: hex dumps, digit groups and the daemon's
// version block.
#ifndef VD_APP_REPORTFORMAT_H
#define VD_APP_REPORTFORMAT_H

#include <string>

// Upper-case hex of the first length bytes of data. After byte i a line feed
// follows when i + 1 is a multiple of perLine and i > 0, otherwise the
// separator unless it is the last byte. A perLine of 0 never breaks a line.
// The result lives in a static 4096-byte buffer until the next call; output
// that would not fit is left off whole bytes at a time.
const char* FormatHex(const char* data, int length, unsigned perLine, const char* separator);

// The text in groups of four characters separated by one blank, with a line
// feed in place of the blank after every 100th group; a trailing group of
// fewer than four characters is dropped. Same static-buffer rules as above.
const char* GroupDigitsBy4(const char* text);

// The daemon's version output as the report shows it: two blanks, then
// every line of the output (with its line feed, if it has one) followed by
// two blanks. Output without any line gives the two blanks alone.
std::string FormatDaemonVersion(const std::string& output);

#endif  // VD_APP_REPORTFORMAT_H
