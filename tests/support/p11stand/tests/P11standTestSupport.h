// Shared helpers of the stand-in's own tests: loading a copy by file name and
// making real DER certificates with OpenSSL.
#pragma once

#include <string>
#include <vector>

#include "tests/support/p11stand/p11stand_control.h"

namespace p11stand_test {

using Bytes = std::vector<unsigned char>;

std::string LibraryPath(const std::string& file);

// One loaded copy: its controls and its function list.
struct Loaded {
    P11StandControl ctl;
    CK_FUNCTION_LIST* fl = nullptr;
};

// Opens the file (once per process), binds the controls and fetches the list.
// Fails the current test when something is missing.
Loaded& Load(const std::string& file);

// A fresh RSA key of the given size: modulus and exponent as big-endian bytes
// and a self-signed certificate in DER.
struct RsaMaterial {
    Bytes modulus;
    Bytes exponent;
    Bytes certificate;
};
const RsaMaterial& Rsa(int bits);

// The call log lines that start with the given function name.
std::vector<std::string> LogLines(const P11StandControl& ctl, const std::string& function);

}  // namespace p11stand_test
