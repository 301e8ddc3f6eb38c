// The state file: tokens survive a restart with their label and PINs,
// PINs never appear in clear, tokens of devices not presented stay, and a
// damaged file is refused instead of being overwritten.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/state/state_file.h"
#include "support/firmware_fixture.h"
#include "support/temp_dir.h"

namespace vexa::sim::test {
namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

class StateFileTest : public ::testing::Test {
protected:
    std::string file() const { return dir.file("state.json"); }
    ::vexa::test::TempDir dir{"vexa-sim-state"};
};

TEST_F(StateFileTest, TokenSurvivesARestart) {
    std::string error;
    {
        StateStore store;
        ASSERT_TRUE(store.load(file(), error)) << error;
        FirmwareFixture device;
        device.firmware.onPersistentChange(
            [&] { ASSERT_TRUE(store.save(device.firmware.token(), error)) << error; });
        ASSERT_EQ(device.initToken("12345678", "Kept label"), CKR_OK);
        const uint32_t s = device.openRw();
        ASSERT_EQ(device.login(s, CKU_SO, "12345678"), CKR_OK);
        ASSERT_EQ(device.initPin(s, "24682468"), CKR_OK);
        ASSERT_EQ(device.login(s, CKU_USER, "0000"), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
        ASSERT_EQ(device.callSession(F::Logout, s).rv, CKR_OK);
        ASSERT_EQ(device.login(s, CKU_USER, "0000"), CKR_PIN_INCORRECT);
    }
    struct stat info {};
    ASSERT_EQ(::stat(file().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const std::string text = readFile(file());
    EXPECT_EQ(text.find("24682468"), std::string::npos);
    EXPECT_EQ(text.find("12345678"), std::string::npos);

    StateStore store;
    ASSERT_TRUE(store.load(file(), error)) << error;
    FirmwareFixture restarted;
    ASSERT_TRUE(store.restore(restarted.firmware.token(), error)) << error;
    const ::TokenInfo info2 = restarted.tokenInfo();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(info2.label.bytes), 10), "Kept label");
    EXPECT_TRUE(info2.flags & CKF_USER_PIN_COUNT_LOW);  // the failed try is remembered
    const uint32_t s = restarted.openRo();
    EXPECT_EQ(restarted.login(s, CKU_USER, "123456"), CKR_PIN_INCORRECT);
    EXPECT_EQ(restarted.login(s, CKU_USER, "24682468"), CKR_OK);
}

TEST_F(StateFileTest, OtherTokensStayUntouched) {
    std::string error;
    StateStore store;
    ASSERT_TRUE(store.load(file(), error));
    FirmwareFixture a;
    ASSERT_TRUE(store.save(a.firmware.token(), error));
    TokenSetup other = FirmwareFixture::setup();
    other.serial = "0123456789AB";
    Firmware b(other);
    ASSERT_TRUE(store.save(b.token(), error));

    StateStore reloaded;
    ASSERT_TRUE(reloaded.load(file(), error));
    FirmwareFixture c;
    c.firmware.token().label = Token::labelFrom("Changed");
    ASSERT_TRUE(reloaded.save(c.firmware.token(), error));
    const std::string text = readFile(file());
    EXPECT_NE(text.find("0123456789AB"), std::string::npos);
    EXPECT_NE(text.find("A1B2C3D4E5F6"), std::string::npos);
}

TEST_F(StateFileTest, NoTemporaryFileIsLeftBehind) {
    std::string error;
    StateStore store;
    ASSERT_TRUE(store.load(file(), error));
    FirmwareFixture a;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(store.save(a.firmware.token(), error));
    }
    std::vector<std::string> names;
    DIR* listing = ::opendir(dir.path().c_str());
    ASSERT_NE(listing, nullptr);
    while (const dirent* entry = ::readdir(listing)) {
        if (entry->d_name[0] != '.') {
            names.push_back(entry->d_name);
        }
    }
    ::closedir(listing);
    EXPECT_EQ(names, std::vector<std::string>{"state.json"});
}

// The temporary file is new and unguessable: a link placed beside the state
// file under the old predictable name is never written through.
TEST_F(StateFileTest, ALinkPlacedBesideTheFileIsNotWrittenThrough) {
    const std::string target = dir.path() + "/victim";
    writeFile(target, "untouched");
    ASSERT_EQ(0,
              ::symlink(target.c_str(), (file() + ".tmp." + std::to_string(::getpid())).c_str()));
    std::string error;
    StateStore store;
    ASSERT_TRUE(store.load(file(), error));
    FirmwareFixture a;
    ASSERT_TRUE(store.save(a.firmware.token(), error)) << error;
    EXPECT_EQ(readFile(target), "untouched");
    struct stat info {};
    ASSERT_EQ(0, ::stat(file().c_str(), &info));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(StateFileTest, DamagedFilesAreRefusedAndKept) {
    const char* const damaged[] = {
        "not json",
        "[]",
        R"({"format": "something else", "version": 1, "tokens": {}})",
        R"({"format": "vexa-sim state", "version": 2, "tokens": {}})",
        R"({"format": "vexa-sim state", "version": 1})",
    };
    for (const char* text : damaged) {
        SCOPED_TRACE(text);
        writeFile(file(), text);
        StateStore store;
        std::string error;
        EXPECT_FALSE(store.load(file(), error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(readFile(file()), text);
    }
}

TEST_F(StateFileTest, DamagedTokenEntriesAreRefused) {
    const std::string good = R"("label": ")" + std::string(64, '4') + R"(", "initialised": true)";
    const std::string pin = R"({"salt": "00112233", "hash": ")" + std::string(64, 'a') +
                            R"(", "iterations": 10, "failures": 0})";
    const std::string entries[] = {
        R"({"initialised": true, "so_pin": null, "user_pin": null})",
        R"({"label": "zz", "initialised": true, "so_pin": null, "user_pin": null})",
        "{" + good + R"(, "so_pin": {"salt": "00"}, "user_pin": null})",
        "{" + good + R"(, "so_pin": )" + pin +
            R"(, "user_pin": {"salt": "0", "hash": "", "iterations": 1, "failures": 0}})",
        "{" + good + R"(, "so_pin": )" + pin + R"(, "user_pin": "123456"})",
        // Numbers that would make the first login hang the device.
        "{" + good + R"(, "so_pin": )" + pin + R"(, "user_pin": {"salt": "00", "hash": ")" +
            std::string(64, 'a') + R"(", "iterations": 4294967295, "failures": 0}})",
        "{" + good + R"(, "so_pin": )" + pin + R"(, "user_pin": {"salt": "00", "hash": ")" +
            std::string(64, 'a') + R"(", "iterations": 1000001, "failures": 0}})",
        "{" + good + R"(, "so_pin": )" + pin + R"(, "user_pin": {"salt": ")" +
            std::string(130, '0') + R"(", "hash": ")" + std::string(64, 'a') +
            R"(", "iterations": 10, "failures": 0}})",
        "{" + good + R"(, "so_pin": )" + pin + "}",
    };
    for (const std::string& entry : entries) {
        SCOPED_TRACE(entry);
        writeFile(file(),
                  R"({"format": "vexa-sim state", "version": 1, "tokens": {"A1B2C3D4E5F6": )" +
                      entry + "}}");
        StateStore store;
        std::string error;
        ASSERT_TRUE(store.load(file(), error)) << error;
        FirmwareFixture device;
        EXPECT_FALSE(store.restore(device.firmware.token(), error));
    }
    // The same frame with a sound entry restores.
    writeFile(file(), R"({"format": "vexa-sim state", "version": 1, "tokens": {"A1B2C3D4E5F6": {)" +
                          good + R"(, "so_pin": )" + pin + R"(, "user_pin": null}}})");
    StateStore store;
    std::string error;
    ASSERT_TRUE(store.load(file(), error));
    FirmwareFixture device;
    EXPECT_TRUE(store.restore(device.firmware.token(), error)) << error;
    EXPECT_FALSE(device.firmware.token().userPin.set);
}

TEST_F(StateFileTest, UnwritableLocationIsReported) {
    StateStore store;
    std::string error;
    ASSERT_TRUE(store.load(dir.path() + "/missing-dir/state.json", error));
    FirmwareFixture device;
    EXPECT_FALSE(store.save(device.firmware.token(), error));
    EXPECT_NE(error.find("missing-dir"), std::string::npos);
}

}  // namespace
}  // namespace vexa::sim::test
