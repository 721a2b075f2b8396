#include "tests/token/TestKeys.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <string>

#include <map>
#include <memory>
#include <stdexcept>

namespace tokentest {
namespace {

Bytes BigNumBytes(EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) throw std::runtime_error("key parameter");
    Bytes out(BN_num_bytes(bn));
    BN_bn2bin(bn, out.data());
    BN_free(bn);
    return out;
}

Bytes SelfSigned(EVP_PKEY* key, size_t commentLength = 0) {
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Test"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_set_pubkey(cert, key);
    if (commentLength > 0) {
        const std::string comment(commentLength, 'c');
        X509_EXTENSION* ext =
            X509V3_EXT_conf_nid(nullptr, nullptr, NID_netscape_comment, comment.c_str());
        if (ext == nullptr || X509_add_ext(cert, ext, -1) != 1) throw std::runtime_error("ext");
        X509_EXTENSION_free(ext);
    }
    if (X509_sign(cert, key, EVP_sha256()) <= 0) throw std::runtime_error("X509_sign");
    const int len = i2d_X509(cert, nullptr);
    Bytes der(len);
    unsigned char* p = der.data();
    i2d_X509(cert, &p);
    X509_free(cert);
    return der;
}

Bytes Pkcs8(EVP_PKEY* key) {
    PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(key);
    if (info == nullptr) throw std::runtime_error("EVP_PKEY2PKCS8");
    unsigned char* der = nullptr;
    const int len = i2d_PKCS8_PRIV_KEY_INFO(info, &der);
    PKCS8_PRIV_KEY_INFO_free(info);
    if (len <= 0) throw std::runtime_error("i2d_PKCS8_PRIV_KEY_INFO");
    Bytes out(der, der + len);
    OPENSSL_free(der);
    return out;
}

Bytes SubjectOf(const Bytes& certificate) {
    const unsigned char* p = certificate.data();
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(certificate.size()));
    if (cert == nullptr) throw std::runtime_error("d2i_X509");
    unsigned char* der = nullptr;
    const int len = i2d_X509_NAME(X509_get_subject_name(cert), &der);
    X509_free(cert);
    if (len <= 0) throw std::runtime_error("i2d_X509_NAME");
    Bytes out(der, der + len);
    OPENSSL_free(der);
    return out;
}

// Everything a test needs of the key, with its self-signed certificate (a
// comment extension of commentLength bytes when not 0).
RsaKey Describe(EVP_PKEY* key, size_t commentLength = 0) {
    RsaKey r;
    r.modulus = BigNumBytes(key, OSSL_PKEY_PARAM_RSA_N);
    r.exponent = BigNumBytes(key, OSSL_PKEY_PARAM_RSA_E);
    r.certificate = SelfSigned(key, commentLength);
    r.pkcs8 = Pkcs8(key);
    r.privateExponent = BigNumBytes(key, OSSL_PKEY_PARAM_RSA_D);
    r.prime1 = BigNumBytes(key, OSSL_PKEY_PARAM_RSA_FACTOR1);
    r.prime2 = BigNumBytes(key, OSSL_PKEY_PARAM_RSA_FACTOR2);
    r.exponent1 = BigNumBytes(key, OSSL_PKEY_PARAM_RSA_EXPONENT1);
    r.exponent2 = BigNumBytes(key, OSSL_PKEY_PARAM_RSA_EXPONENT2);
    r.coefficient = BigNumBytes(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    r.subject = SubjectOf(r.certificate);
    return r;
}

}  // namespace

Bytes Hex(const std::string& text) {
    Bytes out;
    std::string digits;
    for (char c : text) {
        if (c != ' ') digits += c;
    }
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

const RsaKey& Rsa(int bits) {
    static std::map<int, RsaKey> cache;
    auto it = cache.find(bits);
    if (it != cache.end()) return it->second;
    EVP_PKEY* key = EVP_RSA_gen(static_cast<unsigned>(bits));
    if (key == nullptr) throw std::runtime_error("EVP_RSA_gen");
    RsaKey r = Describe(key);
    EVP_PKEY_free(key);
    return cache.emplace(bits, std::move(r)).first->second;
}

namespace {

// One EC P-256 key, as a certificate and as PKCS#8.
struct EcMaterial {
    Bytes certificate;
    Bytes pkcs8;
};

const EcMaterial& Ec() {
    static const EcMaterial material = [] {
        EVP_PKEY* key = EVP_EC_gen("P-256");
        if (key == nullptr) throw std::runtime_error("EVP_EC_gen");
        EcMaterial m{SelfSigned(key), Pkcs8(key)};
        EVP_PKEY_free(key);
        return m;
    }();
    return material;
}

}  // namespace

const Bytes& EcP256Certificate() { return Ec().certificate; }

const Bytes& EcP256Pkcs8() { return Ec().pkcs8; }

const RsaKey& RsaWithLargeCertificate() {
    static const RsaKey key = [] {
        EVP_PKEY* k = EVP_RSA_gen(2048);
        if (k == nullptr) throw std::runtime_error("EVP_RSA_gen");
        RsaKey r = Describe(k, 5000);
        EVP_PKEY_free(k);
        return r;
    }();
    return key;
}

const Bytes& LargeCertificate() { return RsaWithLargeCertificate().certificate; }

}  // namespace tokentest
