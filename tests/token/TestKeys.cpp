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

}  // namespace

const RsaKey& Rsa(int bits) {
    static std::map<int, RsaKey> cache;
    auto it = cache.find(bits);
    if (it != cache.end()) return it->second;
    EVP_PKEY* key = EVP_RSA_gen(static_cast<unsigned>(bits));
    if (key == nullptr) throw std::runtime_error("EVP_RSA_gen");
    RsaKey r;
    r.modulus = BigNumBytes(key, OSSL_PKEY_PARAM_RSA_N);
    r.exponent = BigNumBytes(key, OSSL_PKEY_PARAM_RSA_E);
    r.certificate = SelfSigned(key);
    EVP_PKEY_free(key);
    return cache.emplace(bits, std::move(r)).first->second;
}

const Bytes& EcP256Certificate() {
    static const Bytes der = [] {
        EVP_PKEY* key = EVP_EC_gen("P-256");
        if (key == nullptr) throw std::runtime_error("EVP_EC_gen");
        Bytes d = SelfSigned(key);
        EVP_PKEY_free(key);
        return d;
    }();
    return der;
}

const Bytes& LargeCertificate() {
    static const Bytes der = [] {
        EVP_PKEY* key = EVP_RSA_gen(2048);
        if (key == nullptr) throw std::runtime_error("EVP_RSA_gen");
        Bytes d = SelfSigned(key, 5000);
        EVP_PKEY_free(key);
        return d;
    }();
    return der;
}

}  // namespace tokentest
