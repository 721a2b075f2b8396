// Real key material and DER certificates made with OpenSSL at test time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tokentest {

using Bytes = std::vector<uint8_t>;

// Bytes from hexadecimal text; blanks between the digits are ignored.
Bytes Hex(const std::string& text);
// The bytes of a text, and the text of bytes.
inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline std::string Str(const uint8_t* p, size_t n) {
    return std::string(reinterpret_cast<const char*>(p), n);
}

struct RsaKey {
    Bytes modulus;   // big-endian, no leading zero byte
    Bytes exponent;  // big-endian
    Bytes certificate;  // self-signed X.509 certificate of the key, DER
    Bytes pkcs8;        // the private key as unencrypted PKCS#8, DER
    // The private components as OpenSSL keeps them, big-endian.
    Bytes privateExponent, prime1, prime2, exponent1, exponent2, coefficient;
    Bytes subject;  // the certificate's subject name, DER
};

// A fresh RSA key of the given size with its certificate; cached per size,
// so each size is generated once per process.
const RsaKey& Rsa(int bits);
// A self-signed certificate of an EC P-256 key, DER.
const Bytes& EcP256Certificate();
// An EC P-256 private key as unencrypted PKCS#8, DER.
const Bytes& EcP256Pkcs8();
// A 2048-bit key whose certificate is longer than 4096 bytes (a long
// comment extension).
const RsaKey& RsaWithLargeCertificate();
const Bytes& LargeCertificate();

}  // namespace tokentest
