// update.exe built with a publisher's key (the test build's own), on
// Windows: it applies a package that pkgsign.exe signed with that key and
// refuses a changed or unsigned one before anything is written.
#include "banners.h"
#include "testzip.h"
#include "windowsmachine.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace testsupport;
using namespace winetest;

namespace {

class SignedUpdateOnWindows : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(u8path(machine.velmar()));
        fs::copy_file(u8path(programPath("update_signed")), u8path(updater()),
                      fs::copy_options::overwrite_existing);
        machine.installProgram("reseat", machine.exeinfo());
        machine.installProgram("velmar", machine.exeinfo());
        writeFile(u8path(machine.velmar() + "\\bin\\app.dll"), "app 1.0.0");
        writeFile(u8path(machine.dataFolder() + "\\Config\\veconfig.ini"),
                  "[Server]\r\nVersion=1.0.0\r\n");
        machine.registerClient("1.0.0");
        const std::string config = testzip::build(testzip::Archive(
            std::vector<testzip::Entry>{{"Config/veconfig.ini", "[Server]\r\nVersion=2.0.0\r\n"}}));
        writeFile(u8path(package()),
                  testzip::build(
                      testzip::Archive({{"bin/app.dll", "app 2.0.0", 0}, {"Config.zip", config}})));
    }
    void TearDown() override { machine.stopClients(machine.exeinfo()); }

    std::string updater() const { return machine.velmar() + "\\update.exe"; }
    std::string package() const { return machine.dataFolder() + "\\update.zip"; }

    void sign() const {
        const char *key = std::getenv("VELMAR_TEST_SIGNING_KEY");
        ASSERT_TRUE(key);
        ASSERT_TRUE(Process::start({programPath("pkgsign"), "sign", key, package(), "2.0.0"})
                        .endsWith(0));
    }
    int runUpdate() const { return Process::start({updater()}, machine.options(10)).wait(180000); }

    void expectRefused(const std::string &packageBytes) const {
        // What earlier runs left in the client's record is not this run's.
        const auto clientsBefore = machine.clientStarts(machine.exeinfo());
        EXPECT_EQ(runUpdate(), 0);
        expectFailedRun(machine.logMessages(), machine.boxes(), banner::updateStart,
                        "更新包签名无效:" + package(), "update---lasterr：", banner::updateEnd,
                        "更新异常", "更新包签名无效，详情请查看软件日志");
        EXPECT_EQ(readFile(u8path(machine.velmar() + "\\bin\\app.dll")), "app 1.0.0");
        EXPECT_EQ(readFile(u8path(package())), packageBytes);
        EXPECT_TRUE(regShows(uninstallKey, "DisplayVersion", "1.0.0"));
        EXPECT_EQ(machine.clientStarts(machine.exeinfo()), clientsBefore) << machine.logText();
    }

    WindowsMachine machine;
};

} // namespace

TEST_F(SignedUpdateOnWindows, ASignedPackageIsApplied) {
    sign();
    EXPECT_EQ(runUpdate(), 0);
    EXPECT_TRUE(machine.waitForClientStart(machine.exeinfo())) << machine.logText();
    EXPECT_TRUE(machine.boxes().empty());
    EXPECT_EQ(readFile(u8path(machine.velmar() + "\\bin\\app.dll")), "app 2.0.0");
    EXPECT_TRUE(regShows(uninstallKey, "DisplayVersion", "2.0.0"));
    // Held open while it was checked and unpacked, let go before its deletion.
    EXPECT_FALSE(fs::exists(u8path(package())));
}

TEST_F(SignedUpdateOnWindows, AChangedPackageIsRefused) {
    sign();
    std::string bytes = readFile(u8path(package()));
    bytes[bytes.find("app 2.0.0")] = 'A'; // a stored entry's data
    writeFile(u8path(package()), bytes);
    expectRefused(bytes);
}

TEST_F(SignedUpdateOnWindows, AnUnsignedPackageIsRefused) {
    expectRefused(readFile(u8path(package())));
}
