#include "tests/support/p11stand/tests/P11standTestSupport.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <map>
#include <memory>
#include <sstream>

namespace p11stand_test {

std::string LibraryPath(const std::string& file) { return std::string(P11STAND_DIR) + "/" + file; }

Loaded& Load(const std::string& file) {
    static std::map<std::string, Loaded> loaded;
    Loaded& l = loaded[file];
    if (l.ctl.handle == nullptr) {
        EXPECT_TRUE(l.ctl.Open(LibraryPath(file))) << file << ": " << dlerror();
        auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(l.ctl.handle, "C_GetFunctionList"));
        if (get != nullptr) {
            l.ctl.reset();
            EXPECT_EQ(get(&l.fl), CKR_OK);
        }
    }
    return l;
}

namespace {

Bytes BigEndian(const BIGNUM* bn) {
    Bytes out(static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, out.data());
    return out;
}

RsaMaterial Make(int bits) {
    RsaMaterial m;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(static_cast<unsigned>(bits)),
                                                            EVP_PKEY_free);
    if (!key) return m;
    BIGNUM* n = nullptr;
    BIGNUM* e = nullptr;
    EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, &n);
    EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_E, &e);
    m.modulus = BigEndian(n);
    m.exponent = BigEndian(e);
    BN_free(n);
    BN_free(e);

    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("p11stand test"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_sign(cert.get(), key.get(), EVP_sha256());
    unsigned char* der = nullptr;
    const int len = i2d_X509(cert.get(), &der);
    if (len > 0) m.certificate.assign(der, der + len);
    OPENSSL_free(der);
    return m;
}

}  // namespace

const RsaMaterial& Rsa(int bits) {
    static std::map<int, RsaMaterial> cache;
    auto it = cache.find(bits);
    if (it == cache.end()) it = cache.emplace(bits, Make(bits)).first;
    return it->second;
}

std::vector<std::string> LogLines(const P11StandControl& ctl, const std::string& function) {
    std::vector<std::string> out;
    std::istringstream all(ctl.Log());
    std::string line;
    while (std::getline(all, line))
        if (line.compare(0, function.size() + 1, function + " ") == 0) out.push_back(line);
    return out;
}

}  // namespace p11stand_test
