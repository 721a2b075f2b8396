// Pure functions of the card layer: card identification, version parsing,
// blank trimming and key sizes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/token/TestKeys.h"
#include "token/cardlib.h"
#include "token/cardlib_internal.h"

using cardlib_detail::CertificateKeyBits;
using cardlib_detail::IdentifyCardType;
using cardlib_detail::RsaKeyBits;
using cardlib_detail::VersionFromFci;
using cardlib_detail::VersionsFromEf2F01;
using tokentest::Bytes;
using tokentest::Hex;
using tokentest::Text;

namespace {

// ---------------------------------------------------------------------------
// ATR table
// ---------------------------------------------------------------------------

struct AtrRow {
    const char* atr;
    int cardType;
    int maskedTail;  // number of trailing bytes the mask ignores
};

const AtrRow kAtrRows[] = {
    {"3B BB 18 00 C0 10 31 FE 45 80 67 04 12 B0 03 03 00 00 81 05 3C", 1, 2},
    {"3B 9F 96 81 B1 FE 45 1F 07 00 64 05 1E B2 00 31 B0 73 96 21 DB 05 90 00 5C", 2, 4},
    {"3B DD 96 FF 81 31 FE 45 80 59 5F 53 74 64 5F 49 6E 69 74 81 00 00", 3, 2},
};

class AtrRowTest : public ::testing::TestWithParam<AtrRow> {};

TEST_P(AtrRowTest, ExactAtrGivesItsCardType) {
    const Bytes atr = Hex(GetParam().atr);
    EXPECT_EQ(IdentifyCardType(atr.data(), static_cast<int>(atr.size())), GetParam().cardType);
}

TEST_P(AtrRowTest, EachMaskedByteMayDiffer) {
    const Bytes base = Hex(GetParam().atr);
    for (int k = 1; k <= GetParam().maskedTail; ++k) {
        Bytes atr = base;
        atr[atr.size() - k] ^= 0xFF;
        EXPECT_EQ(IdentifyCardType(atr.data(), static_cast<int>(atr.size())), GetParam().cardType)
            << "masked byte " << atr.size() - k;
    }
}

TEST_P(AtrRowTest, EachComparedByteMustMatch) {
    const Bytes base = Hex(GetParam().atr);
    const size_t compared = base.size() - GetParam().maskedTail;
    for (size_t i = 0; i < compared; ++i) {
        Bytes atr = base;
        atr[i] ^= 0x01;
        EXPECT_EQ(IdentifyCardType(atr.data(), static_cast<int>(atr.size())), 0) << "byte " << i;
    }
}

TEST_P(AtrRowTest, OtherLengthNeverMatches) {
    Bytes longer = Hex(GetParam().atr);
    longer.push_back(0x00);
    EXPECT_EQ(IdentifyCardType(longer.data(), static_cast<int>(longer.size())), 0);
    Bytes shorter = Hex(GetParam().atr);
    shorter.pop_back();
    EXPECT_EQ(IdentifyCardType(shorter.data(), static_cast<int>(shorter.size())), 0);
}

INSTANTIATE_TEST_SUITE_P(KnownAtrs, AtrRowTest, ::testing::ValuesIn(kAtrRows));

TEST(AtrTable, UnknownAtrsGiveNoType) {
    const char* unknown[] = {
        "3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A",
        "3B",
        "",
    };
    for (const char* text : unknown) {
        const Bytes atr = Hex(text);
        EXPECT_EQ(IdentifyCardType(atr.data(), static_cast<int>(atr.size())), 0) << text;
    }
}

// ---------------------------------------------------------------------------
// Version from an FCI
// ---------------------------------------------------------------------------

struct FciCase {
    const char* name;
    Bytes data;
    size_t returned;  // bytes the card returned; the rest lies beyond
    int rc;
    const char* version;
};

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<FciCase> FciCases() {
    const Bytes kelvor = Text("Kelvor");
    const Bytes prefix = Hex("6F 14 84 02 3F 10");
    std::vector<FciCase> cases = {
        {"NoTemplate", Hex("6F 06 84 02 3F 10 85 00"), 8, 0, "3.5.x"},
        {"Empty", {}, 0, 0, "3.5.x"},
        {"TemplateAtStart", Concat({Hex("A5 07"), kelvor, Hex("07")}), 9, 0, "3.5.7"},
        {"TemplateAfterPrefix", Concat({prefix, Hex("A5 07"), kelvor, Hex("2A")}), 15, 0,
         "3.5.42"},
        {"VersionByte255", Concat({Hex("A5 07"), kelvor, Hex("FF 90")}), 10, 0, "3.5.255"},
        {"LengthByte40", Concat({Hex("A5 40"), kelvor, Hex("07")}), 9, CARDLIB_ERR_BAD_DATA, ""},
        {"NotKelvor", Concat({Hex("A5 07"), Text("Kelvar"), Hex("07")}), 9, CARDLIB_ERR_BAD_DATA,
         ""},
        {"KelvorLowerCase", Concat({Hex("A5 07"), Text("kelvor"), Hex("07")}), 9,
         CARDLIB_ERR_BAD_DATA, ""},
        // The version byte would be the ninth byte from the tag: missing.
        {"TemplateCutBeforeVersion", Concat({Hex("A5 07"), kelvor}), 8, CARDLIB_ERR_BAD_DATA, ""},
        {"TemplateCutInName", Concat({prefix, Hex("A5 07"), Text("Kel")}), 11,
         CARDLIB_ERR_BAD_DATA, ""},
        {"TagIsLastByte", Hex("6F 02 A5"), 3, CARDLIB_ERR_BAD_DATA, ""},
        // A complete template beyond the returned bytes is not looked at.
        {"TemplateBeyondReturned", Concat({Hex("6F 00"), Hex("A5 07"), kelvor, Hex("07")}), 2, 0,
         "3.5.x"},
        // The template continues beyond the returned bytes: not complete.
        {"TemplateRunsPastReturned", Concat({Hex("A5 07"), kelvor, Hex("07")}), 8,
         CARDLIB_ERR_BAD_DATA, ""},
        // The first A5 counts, even when a later one would be valid.
        {"FirstTagCounts", Concat({Hex("A5 40"), kelvor, Hex("01 A5 07"), kelvor, Hex("02")}), 18,
         CARDLIB_ERR_BAD_DATA, ""},
    };
    return cases;
}

class FciTest : public ::testing::TestWithParam<FciCase> {};

TEST_P(FciTest, Version) {
    const FciCase& c = GetParam();
    char version[16];
    std::memset(version, 0, sizeof version);
    // The buffer is larger than the returned part, as the response buffer is.
    Bytes buffer = c.data;
    buffer.resize(64, 0x00);
    EXPECT_EQ(VersionFromFci(buffer.data(), c.returned, version, sizeof version), c.rc);
    if (c.rc == 0) {
        EXPECT_STREQ(version, c.version);
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, FciTest, ::testing::ValuesIn(FciCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Versions from EF 2F01
// ---------------------------------------------------------------------------

struct EfCase {
    const char* data;
    int rc;
    const char* regular;
    const char* secure;
};

const EfCase kEfCases[] = {
    {"00 01 02 03 04 05 06 05 0A 07 01 0B 0C", 0, "3.5.10", "3.7.1"},
    {"00 00 00 00 00 00 00 FF 00 00 FF 00 00", 0, "3.255.0", "3.0.255"},
    {"00 00 00 00 00 00 00 04 03 02 01", 0, "3.4.3", "3.2.1"},  // 11 bytes suffice
    {"00 00 00 00 00 00 00 04 03 02", CARDLIB_ERR_BAD_DATA, "", ""},
    {"", CARDLIB_ERR_BAD_DATA, "", ""},
};

class EfTest : public ::testing::TestWithParam<EfCase> {};

TEST_P(EfTest, Versions) {
    const EfCase& c = GetParam();
    Bytes data = Hex(c.data);
    const size_t returned = data.size();
    data.resize(64, 0x09);
    char regular[16] = {};
    char secure[16] = {};
    EXPECT_EQ(VersionsFromEf2F01(data.data(), returned, regular, secure, 16), c.rc);
    EXPECT_STREQ(regular, c.regular);
    EXPECT_STREQ(secure, c.secure);
}

INSTANTIATE_TEST_SUITE_P(Answers, EfTest, ::testing::ValuesIn(kEfCases));

// ---------------------------------------------------------------------------
// TrimTrailingBlanks
// ---------------------------------------------------------------------------

struct TrimCase {
    std::string field;
    std::string expected;
};

class TrimTest : public ::testing::TestWithParam<TrimCase> {};

TEST_P(TrimTest, Trims) {
    const TrimCase& c = GetParam();
    const char* out =
        TrimTrailingBlanks(reinterpret_cast<const uint8_t*>(c.field.data()), c.field.size());
    EXPECT_EQ(std::string(out), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, TrimTest,
    ::testing::Values(TrimCase{"Token 1                         ", "Token 1"},
                      TrimCase{"                                ", ""},
                      TrimCase{"a b  c ", "a b  c"},
                      TrimCase{"  lead", "  lead"},
                      TrimCase{"tab\t ", "tab\t"},
                      TrimCase{std::string("ab\0  cd", 7), "ab"},
                      TrimCase{std::string("ab \0   ", 7), "ab"},
                      TrimCase{"", ""},
                      TrimCase{std::string(128, 'x'), std::string(128, 'x')},
                      // Only 128 bytes are taken from a longer field.
                      TrimCase{std::string(127, 'y') + " zzz", std::string(127, 'y')},
                      TrimCase{std::string(200, 'q'), std::string(128, 'q')}));

// ---------------------------------------------------------------------------
// Key sizes
// ---------------------------------------------------------------------------

class RsaBitsTest : public ::testing::TestWithParam<int> {};

TEST_P(RsaBitsTest, PublicKeyAndCertificate) {
    const tokentest::RsaKey& key = tokentest::Rsa(GetParam());
    EXPECT_EQ(key.modulus.size() * 8, static_cast<size_t>(GetParam()));
    EXPECT_EQ(RsaKeyBits(key.modulus.data(), key.modulus.size(), key.exponent.data(),
                         key.exponent.size()),
              GetParam());
    // A leading zero byte does not change the key.
    Bytes padded = key.modulus;
    padded.insert(padded.begin(), 0x00);
    EXPECT_EQ(RsaKeyBits(padded.data(), padded.size(), key.exponent.data(), key.exponent.size()),
              GetParam());
    EXPECT_EQ(CertificateKeyBits(key.certificate.data(), key.certificate.size()), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Sizes, RsaBitsTest, ::testing::Values(1024, 2048, 3072));

TEST(CertificateBits, EcAndUndecodable) {
    const Bytes& ec = tokentest::EcP256Certificate();
    EXPECT_EQ(CertificateKeyBits(ec.data(), ec.size()), 256);
    const Bytes& rsa = tokentest::Rsa(1024).certificate;
    const Bytes garbage = Text("not a certificate at all");
    struct {
        const char* name;
        Bytes der;
    } undecodable[] = {
        {"garbage", garbage},
        {"truncated", Bytes(rsa.begin(), rsa.begin() + rsa.size() / 2)},
        {"empty", {}},
    };
    for (const auto& c : undecodable) {
        EXPECT_EQ(CertificateKeyBits(c.der.data(), c.der.size()), 0) << c.name;
    }
}

TEST(RsaBits, OddSizesFollowTheModulus) {
    // A 1023-bit modulus: its top byte is 0x7F...
    Bytes modulus(128, 0xFF);
    modulus[0] = 0x7F;
    const Bytes exponent = Hex("01 00 01");
    EXPECT_EQ(RsaKeyBits(modulus.data(), modulus.size(), exponent.data(), exponent.size()), 1023);
}

}  // namespace
