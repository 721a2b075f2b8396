// Real key material and DER certificates made with OpenSSL at test time.
#pragma once

#include <cstdint>
#include <vector>

namespace tokentest {

using Bytes = std::vector<uint8_t>;

struct RsaKey {
    Bytes modulus;   // big-endian, no leading zero byte
    Bytes exponent;  // big-endian
    Bytes certificate;  // self-signed X.509 certificate of the key, DER
};

// A fresh RSA key of the given size with its certificate; cached per size,
// so each size is generated once per process.
const RsaKey& Rsa(int bits);
// A self-signed certificate of an EC P-256 key, DER.
const Bytes& EcP256Certificate();
// A certificate of a 2048-bit key that is longer than 4096 bytes (a
// long comment extension).
const Bytes& LargeCertificate();

}  // namespace tokentest
