#include "tests/token/StandIns.h"

#include <sstream>

namespace tokentest {

const char kReader0[] = "Virtual PCD 00 00";
const char kReader1[] = "Virtual PCD 00 01";

const StandInPaths& Paths() {
    static const StandInPaths paths;
    return paths;
}

void StandInTest::SetUp() {
    ASSERT_TRUE(regular_.Open(Paths().regular)) << dlerror();
    ASSERT_TRUE(secure_.Open(Paths().secure)) << dlerror();
    ResetStandIns();
    SetProfileLibraryPathsForTesting(PROFILE_KIND_REGULAR, Paths().regular.c_str(),
                                     Paths().missing.c_str());
    SetProfileLibraryPathsForTesting(PROFILE_KIND_SECURE, Paths().secure.c_str(),
                                     Paths().missing.c_str());
    report_ = LibraryLoadReport{};
}

void StandInTest::ResetStandIns() {
    ResetProfileLibrariesForTesting();
    regular_.reset();
    secure_.reset();
    regular_.set_initialized(0);
    secure_.set_initialized(0);
}

void StandInTest::TearDown() { ResetStandIns(); }

void StandInTest::Load() { ASSERT_EQ(LoadProfileLibraries(&report_), 0); }

void StandInTest::AddReaderSlot(P11StandControl& lib, CK_SLOT_ID id, const char* reader,
                                const char* label, const char* serial, CK_FLAGS flags) {
    ASSERT_EQ(lib.add_slot(id, reader), 0);
    P11StandToken token;
    lib.token_defaults(&token);
    token.label = label;
    token.serialNumber = serial;
    token.flags = flags;
    ASSERT_EQ(lib.set_token(id, &token), 0);
}

CK_OBJECT_HANDLE StandInTest::AddRsaKey(P11StandControl& lib, CK_SLOT_ID slot, const RsaKey& key,
                                        const std::string& id, const std::string& label) {
    return lib.add_rsa_public_key(slot, key.modulus.data(), key.modulus.size(),
                                  key.exponent.data(), key.exponent.size(),
                                  reinterpret_cast<const unsigned char*>(id.data()), id.size(),
                                  label.data(), label.size());
}

CK_OBJECT_HANDLE StandInTest::AddCertificate(P11StandControl& lib, CK_SLOT_ID slot,
                                             const Bytes& der, const std::string& id,
                                             const std::string& label) {
    return lib.add_certificate(slot, der.data(), der.size(),
                               reinterpret_cast<const unsigned char*>(id.data()), id.size(),
                               label.data(), label.size());
}

std::vector<std::string> StandInTest::LogLines(P11StandControl& lib, const std::string& function) {
    std::vector<std::string> out;
    std::istringstream in(lib.Log());
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, function.size() + 1, function + " ") == 0) out.push_back(line);
    }
    return out;
}

void StandInTest::ExpectNoOpenSession(P11StandControl& lib) {
    EXPECT_EQ(lib.open_session_count(), 0u) << lib.flavour();
    // Each session that was opened is closed exactly once.
    size_t opened = 0;
    for (const std::string& line : LogLines(lib, "C_OpenSession")) {
        const std::string ok = "-> 0x0";
        if (line.size() >= ok.size() && line.compare(line.size() - ok.size(), ok.size(), ok) == 0) {
            ++opened;
        }
    }
    EXPECT_EQ(LogLines(lib, "C_CloseSession").size(), opened) << lib.flavour();
}

}  // namespace tokentest
