// The two stand-in profile libraries, pointed at by the registry through the
// test hook, with their control functions.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/p11stand/p11stand_control.h"
#include "tests/token/TestKeys.h"
#include "token/cardlib.h"
#include "token/cardlib_internal.h"

namespace tokentest {

inline std::string StandInPath(const char* file) { return std::string(P11STAND_DIR) + "/" + file; }

// Paths of the stand-in files; static so that the registry may keep them.
struct StandInPaths {
    std::string regular = StandInPath("libVelmartoken.so");
    std::string secure = StandInPath("libZenthary3PKCS.so");
    std::string noVersion = StandInPath("libp11stand_noversion.so");
    std::string noFunctionList = StandInPath("libp11stand_nofunclist.so");
    std::string missing = StandInPath("libnot-there.so");
};
const StandInPaths& Paths();

// Slot IDs chosen apart from list positions, so that a position is never
// taken for an ID.
constexpr CK_SLOT_ID kSlotReader0 = 7;
constexpr CK_SLOT_ID kSlotReader1 = 3;
extern const char kReader0[];  // "Virtual PCD 00 00"
extern const char kReader1[];  // "Virtual PCD 00 01"

// Fixture: both registry entries at the stand-ins, models emptied, registry
// unloaded. Tests build their models, then call Load().
class StandInTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Both stand-ins emptied and not initialised, the registry unloaded.
    void ResetStandIns();
    // Loads the registry (LoadProfileLibraries) into report_.
    void Load();
    // Slot with the reader's description and a default token (label, serial).
    void AddReaderSlot(P11StandControl& lib, CK_SLOT_ID id, const char* reader,
                       const char* label = "Token", const char* serial = "SN0001",
                       CK_FLAGS flags = CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED);
    CK_OBJECT_HANDLE AddRsaKey(P11StandControl& lib, CK_SLOT_ID slot, const RsaKey& key,
                               const std::string& id, const std::string& label);
    CK_OBJECT_HANDLE AddCertificate(P11StandControl& lib, CK_SLOT_ID slot, const Bytes& der,
                                    const std::string& id, const std::string& label);
    // Log lines of one library that start with the function name.
    static std::vector<std::string> LogLines(P11StandControl& lib, const std::string& function);
    // Every session opened was closed again.
    static void ExpectNoOpenSession(P11StandControl& lib);

    P11StandControl regular_;
    P11StandControl secure_;
    LibraryLoadReport report_{};
};

}  // namespace tokentest
