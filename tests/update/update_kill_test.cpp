// The updater killed (as by kill -9 or a power cut) at random moments of a
// large update, then started again: the installation is all old or all new,
// never a mixture, and nothing of the update's own folders or temporary files
// is left. VELMAR_KILL_ROUNDS sets the number of kills (a few by default, so
// that every run of the suite has some; 30 for the long run).
#include "machine.h"
#include "testzip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <thread>

using namespace testsupport;

namespace {

constexpr int entries = 4000;
const std::string clientGuard = "{AB49C45E-B7A8-4359-8429-51B65B55718C}";
const std::string uninstallKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\velmar";

class KilledUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        Process script =
            Process::start({std::string(std::getenv("VELMAR_SOURCE_DIR")) + "/tools/standin/mkmachine.sh",
                            "--bin", std::getenv("VELMAR_BIN_DIR"), machine.root()});
        ASSERT_TRUE(script.endsWith(0));
        // Half of the package's files are there in an old version.
        for (int i = 0; i < entries; i += 2)
            writeFile(u8path(install + "/bin/f" + std::to_string(i) + ".dll"), "old " + name(i));
        std::vector<testzip::Entry> files;
        for (int i = 0; i < entries; ++i)
            files.emplace_back("bin/f" + std::to_string(i) + ".dll", "new " + name(i));
        std::string updater = readFile(u8path(install + "/update"));
        files.emplace_back("exeinfo/update", updater + "velmar-update-2.0.0", 0);
        files.emplace_back("Config.zip",
                           testzip::build(testzip::Archive({
                               {"Config/veconfig.ini", "[Server]\nVersion=2.0.0\n"},
                               {"Config/servers.ini", "servers 2"},
                           })),
                           0);
        package = testzip::build(testzip::Archive(files));
        writeFile(u8path(data + "/update.zip"), package);
        oldInstall = treeOf(install);
        oldData = treeOf(data);
    }
    void TearDown() override { stopClients(install + "/exeinfo"); }

    static std::string name(int i) { return "file " + std::to_string(i); }

    // Shortened waits, except where reseat is to follow: it gives the
    // updater the real time to end.
    Process start(int sleepDivisor = 10) {
        return Process::start({install + "/update"}, machine.options(sleepDivisor));
    }
    // A fresh machine for the next kill, once the last run's client is gone.
    void layOutAgain() {
        ASSERT_TRUE(waitForClientStart(install + "/exeinfo"));
        stopClients(install + "/exeinfo");
        fs::remove_all(u8path(install));
        fs::remove_all(u8path(data));
        SetUp();
    }

    bool allNew() const {
        for (int i = 0; i < entries; ++i) {
            if (readFile(u8path(install + "/bin/f" + std::to_string(i) + ".dll")) !=
                "new " + name(i))
                return false;
        }
        return readFile(u8path(data + "/Config/servers.ini")) == "servers 2" &&
               readFile(u8path(data + "/Config/veconfig.ini")) == "[Server]\nVersion=2.0.0\n";
    }
    bool allOld() const { return treeOf(install) == oldInstall && treeOf(data) == oldData; }
    bool logHas(const std::string &prefix) const {
        const auto log = machine.logMessages();
        return std::any_of(log.begin(), log.end(),
                           [&](const std::string &line) { return line.rfind(prefix, 0) == 0; });
    }

    Machine machine;
    const std::string install = machine.path("Program Files (x86)/Orvane Client/velmar");
    const std::string data = machine.documents() + "/velmar";
    std::string package;
    std::map<std::string, std::string> oldInstall, oldData;
};

} // namespace

TEST_F(KilledUpdate, AtAnyMomentLeavesAllOldOrAllNewAfterTheNextStart) {
    // How long a whole run takes here, to spread the kills over it.
    const auto begin = std::chrono::steady_clock::now();
    {
        Process update = start(1);
        ASSERT_TRUE(update.endsWith(0, 300000));
    }
    const auto runMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - begin)
                           .count();
    ASSERT_TRUE(allNew());
    ASSERT_TRUE(workEntries(install).empty());

    const char *asked = std::getenv("VELMAR_KILL_ROUNDS");
    const int rounds = asked ? std::atoi(asked) : 4;
    std::mt19937 random(std::random_device{}());
    int old = 0, fresh = 0;
    bool clientDue = true;
    for (int round = 0; round < rounds; ++round) {
        if (clientDue)
            layOutAgain();
        else {
            fs::remove_all(u8path(install));
            fs::remove_all(u8path(data));
            SetUp();
        }
        ASSERT_TRUE(allOld());
        const int killAt = std::uniform_int_distribution<int>(0, static_cast<int>(runMs))(random);
        {
            Process update = start(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(killAt));
            update.kill();
        }
        // The next start only recovers: with an empty package it stops at
        // once (or finishes the update, when its files stood).
        const std::string leftPackage = data + "/update.zip";
        if (fs::exists(u8path(leftPackage)))
            fs::resize_file(u8path(leftPackage), 0);
        {
            Process update = start(1);
            ASSERT_TRUE(update.endsWith(0)) << "kill after " << killAt << " ms";
        }
        const bool isNew = allNew();
        const bool isOld = allOld();
        clientDue = isNew;
        EXPECT_TRUE(isNew || isOld) << "kill after " << killAt << " ms: a mixture";
        EXPECT_EQ(workEntries(install), std::vector<std::string>()) << "kill after " << killAt;
        EXPECT_EQ(workEntries(data), std::vector<std::string>()) << "kill after " << killAt;
        if (isNew) {
            ++fresh;
            EXPECT_EQ(registryValue(machine, uninstallKey, "DisplayVersion"), "2.0.0")
                << "kill after " << killAt << " ms";
            EXPECT_FALSE(fs::exists(u8path(leftPackage))) << "kill after " << killAt << " ms";
            // Reseat was due and has been started by the second run.
            EXPECT_TRUE(waitFor("reseat to put the new updater in place",
                                [&] {
                                    return readFile(u8path(install + "/update")) ==
                                           readFile(u8path(install + "/exeinfo/update"));
                                }))
                << "kill after " << killAt << " ms";
        } else {
            ++old;
        }
    }
    std::printf("kills: %d left all old, %d all new\n", old, fresh);
}

// Once the files stand, the journal holds the rest: a run ended before the
// version reached the registry and the package was removed is finished by
// the next start, reseat included.
TEST_F(KilledUpdate, AfterTheFilesStandTheNextStartFinishesTheVersionAndThePackage) {
    {
        // Read by another program meanwhile, the package cannot go yet.
        Process reader =
            Process::start({programPath("hold"), "read", data + "/update.zip", helperSeconds});
        ASSERT_TRUE(reader.waitForLine("held"));
        Process update = start(1);
        ASSERT_TRUE(waitFor(
            "the forced deletion of the package in the log",
            [&] { return logHas("强制删除文件:" + data + "/update.zip"); }, 300000));
        update.kill();
        reader.terminate();
        reader.wait(patienceMs);
    }
    ASSERT_TRUE(allNew());
    // As if the run had ended before the version was written.
    writeFile(u8path(machine.path("Registry/HKEY_LOCAL_MACHINE/SOFTWARE/Microsoft/Windows/"
                                  "CurrentVersion/Uninstall/velmar/DisplayVersion")),
              "1.0.0");
    {
        Process update = start(1);
        EXPECT_TRUE(update.endsWith(0));
    }
    EXPECT_EQ(registryValue(machine, uninstallKey, "DisplayVersion"), "2.0.0");
    EXPECT_FALSE(fs::exists(u8path(data + "/update.zip")));
    EXPECT_TRUE(logHas("上次更新已完成，启动reseat:" + install));
    ASSERT_TRUE(waitForClientStart(install + "/exeinfo"));
    EXPECT_TRUE(workEntries(install).empty());
    EXPECT_TRUE(workEntries(data).empty());
}

TEST_F(KilledUpdate, InItsLastSecondsLeavesReseatToTheNextStart) {
    {
        Process update = start(1);
        // The steps are over once the end banner is logged; reseat starts
        // when the window closes, 1.5 s later.
        ASSERT_TRUE(waitFor(
            "the end banner in the log",
            [&] { return logHas("***************************自动升级程序---解压---结束"); },
            300000));
        update.kill();
    }
    ASSERT_TRUE(allNew());
    EXPECT_FALSE(fs::exists(u8path(data + "/update.zip")));
    EXPECT_NE(readFile(u8path(install + "/update")), readFile(u8path(install + "/exeinfo/update")))
        << "reseat has not run";
    EXPECT_TRUE(clientStarts(install + "/exeinfo").empty());

    {
        Process update = start(1);
        EXPECT_TRUE(update.endsWith(0));
    }
    EXPECT_TRUE(logHas("上次更新已完成，启动reseat:" + install));
    ASSERT_TRUE(waitForClientStart(install + "/exeinfo"));
    EXPECT_EQ(readFile(u8path(install + "/update")), readFile(u8path(install + "/exeinfo/update")));
    EXPECT_TRUE(workEntries(install).empty());
    EXPECT_TRUE(machine.boxes().empty());
    // Once handed over, a further start has nothing left to finish.
    EXPECT_FALSE(fs::exists(u8path(install + "/~velmar-update.journal")));
}
