// reseat run as a process on a stand-in machine: an installation folder with
// the old updater, and "exeinfo" with reseat, the new updater and the client.
#include "banners.h"
#include "machine.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace testsupport;

namespace {

const std::string clientGuard = "{AB49C45E-B7A8-4359-8429-51B65B55718C}";

class Reseat : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(u8path(target()), "old updater");
        writeFile(u8path(exeinfo() + "/update"), "new updater");
        machine.installProgram("reseat", "Orvane Client/velmar/exeinfo");
        machine.installProgram("velmar", "Orvane Client/velmar/exeinfo");
    }
    void TearDown() override { stopClients(exeinfo()); }

    std::string installation() const { return machine.path("Orvane Client/velmar"); }
    std::string exeinfo() const { return installation() + "/exeinfo"; }
    std::string target() const { return installation() + "/update"; }

    int runReseat(int sleepDivisor = 10) {
        Process reseat = Process::start({exeinfo() + "/reseat"}, machine.options(sleepDivisor));
        return reseat.wait(patienceMs);
    }

    Process hold(const std::string &what, const std::string &name) {
        Process holder =
            Process::start({programPath("hold"), what, name, helperSeconds}, machine.options());
        EXPECT_TRUE(holder.waitForLine("held"));
        return holder;
    }

    Machine machine;
};

} // namespace

TEST_F(Reseat, ReplacesTheUpdaterAndStartsTheClient) {
    EXPECT_EQ(runReseat(), 0);
    EXPECT_EQ(readFile(u8path(target())), "new updater");
    EXPECT_TRUE(waitForClientStart(exeinfo()));
    EXPECT_EQ(machine.logMessages(),
              (std::vector<std::string>{banner::reseatStart, "开始更新update.exe",
                                        "更新update.exe成功", banner::reseatSuccess}));
    EXPECT_TRUE(machine.boxes().empty());
}

TEST_F(Reseat, WaitsForTheUpdaterThatStillEnds) {
    Process updater = hold("mutex", clientGuard);
    // Real waits: the guard goes once the first probe has found it taken,
    // which its 500 ms wait tells.
    Process reseat = Process::start({exeinfo() + "/reseat"}, machine.options(1));
    ASSERT_TRUE(waitFor("reseat to find the guard taken (its first 500 ms wait)", [&] {
        const auto sleeps = machine.sleeps();
        return sleeps.size() >= 2 && sleeps[1] == 500;
    }));
    updater.terminate();
    EXPECT_TRUE(reseat.endsWith(0));

    EXPECT_EQ(readFile(u8path(target())), "new updater");
    EXPECT_TRUE(waitForClientStart(exeinfo()));
    EXPECT_EQ(machine.sleeps()[0], 1500);
    EXPECT_EQ(machine.logMessages().back(), banner::reseatSuccess);
}

TEST_F(Reseat, GivesUpWhileTheGuardStaysTaken) {
    Process client = hold("mutex", clientGuard);
    EXPECT_EQ(runReseat(), 0);

    expectFailedRun(machine.logMessages(), machine.boxes(), banner::reseatStart,
                    "update.exe正在运行，无法执行更新操作", "reseat---lasterr：", banner::reseatEnd,
                    "更新异常", "相关程序正在运行");
    EXPECT_EQ(machine.sleeps(), (std::vector<int>{1500, 500, 500, 500}));

    EXPECT_EQ(readFile(u8path(target())), "old updater");
    EXPECT_TRUE(clientStarts(exeinfo()).empty());
}

TEST_F(Reseat, AnUpdaterInUseBeyondAllRetriesIsReportedAndTheClientStillStarts) {
    Process running = hold("file", target());
    EXPECT_EQ(runReseat(20), 0);

    EXPECT_EQ(readFile(u8path(target())), "old updater");
    EXPECT_FALSE(fs::exists(u8path(target() + ".new")));
    EXPECT_EQ(machine.logMessages(),
              (std::vector<std::string>{banner::reseatStart, "开始更新update.exe",
                                        "更新update.exe失败", banner::reseatSuccess}));
    ASSERT_EQ(machine.boxes().size(), 1u);
    EXPECT_EQ(machine.boxes()[0].title, "更新异常");
    EXPECT_EQ(machine.boxes()[0].text, "update.exe更新失败");
    EXPECT_EQ(machine.boxes()[0].grade, 1);
    EXPECT_TRUE(waitForClientStart(exeinfo()));
    // Six more tries to put it in place: 2000 ms after the first, then
    // 3000 ms apart.
    const auto sleeps = machine.sleeps();
    EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 3000), 5);
    EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 2000), 1);
}

TEST_F(Reseat, AnUpdaterFreedWhileRetryingIsReplacedSilently) {
    Process running = hold("file", target());
    Process reseat = Process::start({exeinfo() + "/reseat"}, machine.options(1));
    // The first try failed once the 2000 ms wait is recorded.
    ASSERT_TRUE(waitFor("reseat to find the updater in use (its 2000 ms wait)", [&] {
        const auto sleeps = machine.sleeps();
        return std::find(sleeps.begin(), sleeps.end(), 2000) != sleeps.end();
    }));
    running.terminate();
    running.wait(patienceMs);
    EXPECT_TRUE(reseat.endsWith(0));

    EXPECT_EQ(readFile(u8path(target())), "new updater");
    EXPECT_FALSE(fs::exists(u8path(target() + ".new")));
    EXPECT_EQ(machine.logMessages(),
              (std::vector<std::string>{banner::reseatStart, "开始更新update.exe",
                                        banner::reseatSuccess}));
    EXPECT_TRUE(machine.boxes().empty());
    EXPECT_TRUE(waitForClientStart(exeinfo()));
}

TEST_F(Reseat, ANewUpdaterThatCannotBeCopiedLeavesTheOldOneInPlace) {
    // Unreadable as a file: every copy of it fails, as with a full disk.
    fs::remove(u8path(exeinfo() + "/update"));
    fs::create_directories(u8path(exeinfo() + "/update"));
    EXPECT_EQ(runReseat(), 0);

    EXPECT_EQ(readFile(u8path(target())), "old updater");
    EXPECT_FALSE(fs::exists(u8path(target() + ".new")));
    EXPECT_EQ(machine.logMessages(),
              (std::vector<std::string>{banner::reseatStart, "开始更新update.exe",
                                        "更新update.exe失败", banner::reseatSuccess}));
    ASSERT_EQ(machine.boxes().size(), 1u);
    EXPECT_EQ(machine.boxes()[0].text, "update.exe更新失败");
    EXPECT_EQ(machine.boxes()[0].grade, 1);
    EXPECT_EQ(machine.sleeps(), (std::vector<int>{1500, 2000}));
    EXPECT_TRUE(waitForClientStart(exeinfo()));
}

TEST_F(Reseat, AReadOnlyOldUpdaterIsReplaced) {
    fs::permissions(u8path(target()), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(runReseat(), 0);
    EXPECT_EQ(readFile(u8path(target())), "new updater");
    EXPECT_EQ(machine.logMessages(),
              (std::vector<std::string>{banner::reseatStart, "开始更新update.exe",
                                        "更新update.exe成功", banner::reseatSuccess}));
}

TEST_F(Reseat, WithoutANewUpdaterOnlyStartsTheClient) {
    fs::remove(u8path(exeinfo() + "/update"));
    EXPECT_EQ(runReseat(), 0);
    EXPECT_EQ(readFile(u8path(target())), "old updater");
    EXPECT_EQ(machine.logMessages(),
              (std::vector<std::string>{banner::reseatStart, banner::reseatSuccess}));
    EXPECT_TRUE(waitForClientStart(exeinfo()));
}

TEST_F(Reseat, AMissingOldUpdaterIsSimplyCopied) {
    fs::remove(u8path(target()));
    EXPECT_EQ(runReseat(), 0);
    EXPECT_EQ(readFile(u8path(target())), "new updater");
    EXPECT_EQ(machine.logMessages(),
              (std::vector<std::string>{banner::reseatStart, "开始更新update.exe",
                                        "更新update.exe成功", banner::reseatSuccess}));
    // Started, it is ended with the test.
    EXPECT_TRUE(waitForClientStart(exeinfo()));
}

TEST_F(Reseat, AMissingClientIsReported) {
    fs::remove(u8path(exeinfo() + "/velmar"));
    EXPECT_EQ(runReseat(), 0);

    const auto log = machine.logMessages();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[3], "velmar.exe缺失");
    EXPECT_EQ(log[4].rfind("update---lasterr：", 0), 0u) << log[4];
    EXPECT_EQ(log[5], banner::reseatEnd);
    ASSERT_EQ(machine.boxes().size(), 1u);
    EXPECT_EQ(machine.boxes()[0].title, "更新异常");
    EXPECT_EQ(machine.boxes()[0].grade, 2);
    EXPECT_NE(machine.boxes()[0].text.find("velmar.exe"), std::string::npos);
}

TEST_F(Reseat, WithoutTheDocumentsFolderOnlyTheFallbackBoxIsShown) {
    fs::remove_all(u8path(machine.path("Users")));
    EXPECT_EQ(runReseat(), 0);
    ASSERT_EQ(machine.boxes().size(), 1u);
    EXPECT_EQ(machine.boxes()[0].title, "更新异常");
    EXPECT_EQ(machine.boxes()[0].text, "软件环境异常,找不到通用路径");
    EXPECT_FALSE(fs::exists(u8path(machine.logPath())));
    EXPECT_FALSE(fs::exists(u8path(machine.path("install.log"))));
    EXPECT_EQ(readFile(u8path(target())), "old updater");
    EXPECT_TRUE(clientStarts(exeinfo()).empty());
}
