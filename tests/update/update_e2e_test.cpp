// The road of one update, as processes on a stand-in machine laid out by the
// sandbox script: update unpacks the package and hands over to reseat, which
// puts the new updater in place and starts the client.
#include "banners.h"
#include "machine.h"
#include "platform.h"
#include "testzip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>

#include <sys/stat.h>

using namespace testsupport;

namespace {

const std::string clientGuard = "{AB49C45E-B7A8-4359-8429-51B65B55718C}";
const std::string uninstallerGuard = "{AB49C45E-B7A8-4359-8429-51B65B55718E}";
const std::string uninstallKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\velmar";

class UpdateChain : public ::testing::Test {
protected:
    void layOut(bool withPackage) {
        std::vector<std::string> command = {std::string(std::getenv("VELMAR_SOURCE_DIR")) +
                                                "/tools/standin/mkmachine.sh",
                                            "--bin", std::getenv("VELMAR_BIN_DIR")};
        if (withPackage)
            command.push_back("--package");
        command.push_back(machine.root());
        Process script = Process::start(command);
        ASSERT_TRUE(script.endsWith(0));
        package = readFile(u8path(data + "/update.zip"));
    }
    void TearDown() override { stopClients(install + "/exeinfo"); }

    int runUpdate(Process::Options options) {
        Process update = Process::start({install + "/update"}, options);
        return update.wait(patienceMs);
    }
    bool reseatFinished() const {
        const auto log = machine.logMessages();
        return std::find(log.begin(), log.end(), banner::reseatSuccess) != log.end();
    }
    Process hold(const std::string &what, const std::string &name) {
        Process holder =
            Process::start({programPath("hold"), what, name, helperSeconds}, machine.options());
        EXPECT_TRUE(holder.waitForLine("held"));
        return holder;
    }
    Process holdClientGuard() { return hold("mutex", clientGuard); }
    void givePackage(const std::vector<testzip::Entry> &entries) {
        package = testzip::build(testzip::Archive(entries));
        writeFile(u8path(data + "/update.zip"), package);
    }
    // A run that failed at the extraction of the update package: the
    // driver's line and the box that names the installation folder.
    void expectExtractionFailure() {
        const auto log = machine.logMessages();
        const std::string driverLine =
            "解压失败:" + data + "/update.zip----->" + install + "  lasterr:";
        EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string &line) {
            return line.rfind(driverLine, 0) == 0;
        }));
        ASSERT_EQ(machine.boxes().size(), 1u);
        EXPECT_EQ(machine.boxes()[0].title, "解压失败");
        // The folder's middle gives way where the box's lines are too few.
        const std::string text = machine.boxes()[0].text;
        const std::string end = "/velmar 正在使用，无法执行更新操作， 详情请查看软件日志";
        EXPECT_TRUE(text.rfind('/', 0) == 0 && text.size() >= end.size() &&
                    text.compare(text.size() - end.size(), end.size(), end) == 0)
            << text;
        EXPECT_EQ(readFile(u8path(data + "/update.zip")), package);
        EXPECT_FALSE(eventually([&] { return reseatFinished(); }, 3000));
    }

    // Every file and folder under folder with its content ("/" for a
    // folder), but what the client stand-in writes beside itself and what
    // the update leaves for its next start (the old updater, in use).
    static std::map<std::string, std::string> tree(const std::string &folder) {
        std::map<std::string, std::string> found;
        for (const auto &item : fs::recursive_directory_iterator(u8path(folder))) {
            const std::string name = fs::relative(item.path(), u8path(folder)).generic_u8string();
            if (name != "exeinfo/velmar.started" && name.rfind("~velmar-update.", 0) != 0)
                found[name] = item.is_directory() ? "/" : readFile(item.path());
        }
        return found;
    }

    Machine machine;
    const std::string install = machine.path("Program Files (x86)/Orvane Client/velmar");
    const std::string data = machine.documents() + "/velmar";
    std::string package;
};

} // namespace

TEST_F(UpdateChain, UnpacksTheUpdateReplacesTheUpdaterAndStartsTheClient) {
    layOut(true);
    const std::string oldUpdater = readFile(u8path(install + "/update"));
    EXPECT_EQ(runUpdate(machine.options()), 0);
    ASSERT_TRUE(waitFor("reseat to finish", [&] { return reseatFinished(); }));
    ASSERT_TRUE(waitForClientStart(install + "/exeinfo"));

    EXPECT_EQ(readFile(u8path(install + "/bin/app.dll")), "app 2.0.0\n");
    EXPECT_EQ(readFile(u8path(install + "/bin/plugins/codec.dll")), "codec 2.0.0\n");
    EXPECT_EQ(readFile(u8path(install + "/docs/readme.txt")), "Orvane 2.0.0\n");
    EXPECT_EQ(readFile(u8path(install + "/user.ini")), "[user]\nname=demo\n");
    EXPECT_EQ(readFile(u8path(data + "/Config/veconfig.ini")), "[Server]\nVersion=2.0.0\n");
    EXPECT_TRUE(fs::exists(u8path(data + "/Config/servers.ini")));
    EXPECT_EQ(registryValue(machine, uninstallKey, "DisplayVersion"), "2.0.0");
    EXPECT_FALSE(fs::exists(u8path(data + "/update.zip")));
    const std::string newUpdater = readFile(u8path(install + "/exeinfo/update"));
    EXPECT_EQ(readFile(u8path(install + "/update")), newUpdater);
    EXPECT_NE(newUpdater, oldUpdater);
    EXPECT_TRUE(machine.boxes().empty());

    // The log tells the road in its order.
    const auto log = machine.logMessages();
    std::vector<std::string> expected = {banner::updateStart};
    for (const char *entry : {"bin/", "bin/app.dll", "bin/plugins/", "bin/plugins/codec.dll",
                              "docs/", "docs/readme.txt", "exeinfo/", "exeinfo/update",
                              "Config.zip", "Config/", "Config/servers.ini", "Config/veconfig.ini"})
        expected.push_back(std::string("解压成功:") + entry + "----->" + entry);
    expected.push_back("强制删除文件:" + data + "/update.zip");
    expected.push_back("删除文件" + data + "/update.zip成功");
    ASSERT_GE(log.size(), expected.size() + 6);
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + expected.size()), expected);
    EXPECT_EQ(log[expected.size()].rfind("update---lasterr：", 0), 0u);
    EXPECT_EQ(
        std::vector<std::string>(log.begin() + expected.size() + 1, log.end()),
        (std::vector<std::string>{banner::updateEnd, banner::reseatStart, "开始更新update.exe",
                                  "更新update.exe成功", banner::reseatSuccess}));
}

TEST_F(UpdateChain, ARunningClientStopsTheUpdateBeforeItBegins) {
    layOut(true);
    Process client = holdClientGuard();
    EXPECT_EQ(runUpdate(machine.options(10)), 0);

    expectFailedRun(machine.logMessages(), machine.boxes(), banner::updateStart,
                    "Orvane程序正在运行，无法执行更新操作", "update---lasterr：", banner::updateEnd,
                    "解压异常", "Orvane程序正在运行");
    EXPECT_EQ(machine.sleeps(), (std::vector<int>{1500, 500, 500, 500}));
    EXPECT_EQ(readFile(u8path(install + "/bin/app.dll")), "app 1.0.0\n");
    EXPECT_EQ(readFile(u8path(data + "/update.zip")), package);
}

TEST_F(UpdateChain, AClientThatEndsAfterTheFirstAttemptLetsTheUpdateGoOn) {
    layOut(true);
    Process client = holdClientGuard();
    Process update = Process::start({install + "/update"}, machine.options());
    // The first attempt found the guard taken once its 500 ms wait is recorded.
    ASSERT_TRUE(waitFor("the updater to find the guard taken (its first 500 ms wait)", [&] {
        const auto sleeps = machine.sleeps();
        return sleeps.size() >= 2 && sleeps[1] == 500;
    }));
    client.terminate();
    EXPECT_TRUE(update.endsWith(0));
    ASSERT_TRUE(waitFor("reseat to finish", [&] { return reseatFinished(); }));
    EXPECT_EQ(readFile(u8path(install + "/bin/app.dll")), "app 2.0.0\n");
    EXPECT_EQ(registryValue(machine, uninstallKey, "DisplayVersion"), "2.0.0");
}

TEST_F(UpdateChain, AMissingPackageIsReportedAndReseatIsNotStarted) {
    layOut(false);
    EXPECT_EQ(runUpdate(machine.options(10)), 0);

    ASSERT_EQ(machine.boxes().size(), 1u);
    EXPECT_EQ(machine.boxes()[0].title, "解压异常");
    EXPECT_EQ(machine.boxes()[0].text, "更新包缺失，详情请查看软件日志");
    const auto log = machine.logMessages();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0], banner::updateStart);
    EXPECT_EQ(log[1], "更新包缺失:" + data + "/update.zip");
    EXPECT_EQ(log[3], banner::updateEnd);
    // reseat would have logged its banner by now.
    EXPECT_FALSE(eventually([&] { return machine.logMessages().size() > 4; }, 3000));
    EXPECT_TRUE(clientStarts(install + "/exeinfo").empty());
}

TEST_F(UpdateChain, AnUninstallThatRunsStopsTheUpdateBeforeItBegins) {
    layOut(true);
    Process uninstaller = hold("mutex", uninstallerGuard);
    EXPECT_EQ(runUpdate(machine.options(10)), 0);

    expectFailedRun(machine.logMessages(), machine.boxes(), banner::updateStart,
                    "Orvane卸载程序正在运行，无法执行更新操作", "update---lasterr：",
                    banner::updateEnd, "解压异常", "相关卸载/安装程序已运行");
    EXPECT_EQ(readFile(u8path(install + "/bin/app.dll")), "app 1.0.0\n");
    EXPECT_EQ(readFile(u8path(data + "/update.zip")), package);
    EXPECT_EQ(registryValue(machine, uninstallKey, "DisplayVersion"), "1.0.0");
    EXPECT_TRUE(clientStarts(install + "/exeinfo").empty());
}

TEST_F(UpdateChain, ALockedFileWithoutADotInItsNameFailsTheUpdate) {
    layOut(false);
    writeFile(u8path(install + "/LICENSE"), "old licence");
    givePackage({testzip::Entry("LICENSE", "new licence"), testzip::Entry("bin/app.dll", "new")});
    Process holder = hold("file", install + "/LICENSE");
    EXPECT_EQ(runUpdate(machine.options(10)), 0);
    holder.terminate();
    holder.wait(patienceMs);

    expectExtractionFailure();
    EXPECT_EQ(readFile(u8path(install + "/LICENSE")), "old licence");
    const auto log = machine.logMessages();
    const std::string licence = install + "/LICENSE";
    const std::string calloutLine = "解压失败:" + licence + "无法更新  lasterr:";
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string &line) {
        return line.rfind(calloutLine, 0) == 0;
    }));
    EXPECT_EQ(std::find(log.begin(), log.end(), "解压成功:LICENSE----->LICENSE"), log.end());
}

TEST_F(UpdateChain, AFileEntryOverAFolderFailsTheUpdateAndTheFolderKeepsItsFiles) {
    layOut(false);
    writeFile(u8path(install + "/bin/plugins.d/codec.dll"), "codec 1.0.0");
    givePackage({testzip::Entry("bin/plugins.d", "a file now")});
    EXPECT_EQ(runUpdate(machine.options(10)), 0);

    expectExtractionFailure();
    EXPECT_EQ(readFile(u8path(install + "/bin/plugins.d/codec.dll")), "codec 1.0.0");
}

TEST_F(UpdateChain, ABatchFilePlantedInTheDataFolderIsNeitherWrittenThroughNorRun) {
    layOut(true);
    const std::string victim = machine.path("Windows/system.ini");
    writeFile(u8path(victim), "[drivers]\n");
    ASSERT_TRUE(makeLink(data + "/auto_delete.bat", victim, false));
    EXPECT_EQ(runUpdate(machine.options()), 0);
    ASSERT_TRUE(waitFor("reseat to finish", [&] { return reseatFinished(); }));

    EXPECT_FALSE(fs::exists(u8path(data + "/update.zip")));
    EXPECT_EQ(readFile(u8path(victim)), "[drivers]\n");
    EXPECT_TRUE(fs::is_symlink(u8path(data + "/auto_delete.bat")));
    EXPECT_TRUE(machine.boxes().empty());
}

TEST_F(UpdateChain, AnInstallLogThatIsALinkWritesNothingWhereItPoints) {
    layOut(true);
    const std::string victim = machine.path("Windows/win.ini");
    writeFile(u8path(victim), "[fonts]\n");
    ASSERT_TRUE(makeLink(machine.logPath(), victim, false));
    Process client = holdClientGuard();
    EXPECT_EQ(runUpdate(machine.options(10)), 0);

    EXPECT_EQ(readFile(u8path(victim)), "[fonts]\n");
    ASSERT_EQ(machine.boxes().size(), 1u);
    EXPECT_EQ(machine.boxes()[0].text, "Orvane程序正在运行");
}

// A FIFO that a user put where the updater opens a file (the package, the
// configuration, the log) would hold it, and the client's guard, for as
// long as nobody opens the other end: each is refused as a file that is not
// there or cannot be read, and the run ends.
TEST_F(UpdateChain, AFifoInTheUsersPlacesIsRefusedAndTheRunEnds) {
    const struct {
        const char *place;
        bool packageWithoutConfig, clientRuns;
        std::string box;
    } cases[] = {
        {"update.zip", false, false, "更新包错误，详情请查看软件日志"},
        {"Config/veconfig.ini", true, false, "配置文件缺失，详情请查看软件日志"},
        {"../velmarinstall.txt", false, true, "Orvane程序正在运行"},
    };
    for (const auto &fifo : cases) {
        fs::remove_all(u8path(machine.root()));
        layOut(true);
        if (fifo.packageWithoutConfig)
            givePackage({testzip::Entry("bin/app.dll", "new")});
        const std::string path = data + "/" + fifo.place;
        fs::remove(u8path(path));
        ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0) << path;
        std::optional<Process> client;
        if (fifo.clientRuns)
            client.emplace(holdClientGuard());
        EXPECT_EQ(runUpdate(machine.options(10)), 0) << fifo.place;
        ASSERT_EQ(machine.boxes().size(), 1u) << fifo.place;
        EXPECT_EQ(machine.boxes()[0].text, fifo.box);
        EXPECT_EQ(readFile(u8path(install + "/bin/app.dll")), "app 1.0.0\n");
    }
}

// With bin a link to a folder elsewhere (anyone who could write into the
// installation could make one), the package must not reach that folder:
// the update fails at the first entry below the link, as for any entry that
// cannot be written, and the folder keeps what it had.
TEST_F(UpdateChain, ALinkedFolderInTheInstallationFailsTheUpdateAndIsNotWrittenThrough) {
    layOut(true);
    const fs::path outside = u8path(machine.path("outside"));
    writeFile(outside / "app.dll", "not ours\n");
    fs::remove_all(u8path(install + "/bin"));
    fs::create_directory_symlink(outside, u8path(install + "/bin"));
    EXPECT_EQ(runUpdate(machine.options(10)), 0);

    EXPECT_EQ(readFile(outside / "app.dll"), "not ours\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1);
    EXPECT_TRUE(fs::is_symlink(u8path(install + "/bin")));
    EXPECT_EQ(readFile(u8path(data + "/update.zip")), package);

    // Nothing is moved into or out of the linked folder: the package fails
    // before the first file changes.
    expectExtractionFailure();
    ASSERT_EQ(machine.boxes().size(), 1u);
    EXPECT_EQ(machine.boxes()[0].title, "解压失败");
    EXPECT_FALSE(eventually([&] { return reseatFinished(); }, 3000));
}

TEST_F(UpdateChain, AnEarlierRunThatCannotBeUndoneStopsTheUpdateBeforeItBegins) {
    layOut(true);
    // A journal nobody can make sense of: the installation may be a mixture,
    // and a new update over it would make the undo impossible.
    const std::string journal = install + "/~velmar-update.journal";
    writeFile(u8path(journal), "velmar update journal 1\napply\n");
    EXPECT_EQ(runUpdate(machine.options(10)), 0);

    expectFailedRun(machine.logMessages(), machine.boxes(), banner::updateStart,
                    "上次更新无法回滚:" + journal, "update---lasterr：", banner::updateEnd,
                    "解压异常", "上次更新未能恢复，详情请查看软件日志");
    EXPECT_EQ(readFile(u8path(journal)), "velmar update journal 1\napply\n");
    EXPECT_EQ(readFile(u8path(install + "/bin/app.dll")), "app 1.0.0\n");
    EXPECT_EQ(readFile(u8path(data + "/update.zip")), package);
}

// pkgdelta's package from the installed release to the next: delta entries
// for the changed programs (the running updater among them), whole entries
// for a small file and a new one. Against an installation one file off it
// fails before anything changes; against the release it was made from it
// makes exactly the new release.
TEST_F(UpdateChain, ADeltaPackageTurnsTheReleaseItWasMadeFromIntoTheNextOne) {
    layOut(false);
    const std::string oldRelease = machine.path("release-1"),
                      newRelease = machine.path("release-2");
    fs::copy(u8path(install), u8path(oldRelease), fs::copy_options::recursive);
    fs::copy(u8path(install), u8path(newRelease), fs::copy_options::recursive);
    const std::string newUpdater = readFile(u8path(install + "/update")) + "velmar 2.0.0";
    const std::string reseat = readFile(u8path(install + "/exeinfo/reseat"));
    writeFile(u8path(newRelease + "/update"), newUpdater);
    writeFile(u8path(newRelease + "/exeinfo/update"), newUpdater);
    writeFile(u8path(newRelease + "/exeinfo/reseat"), reseat + "velmar 2.0.0");
    writeFile(u8path(newRelease + "/bin/app.dll"), "app 2.0.0\n");
    writeFile(u8path(newRelease + "/docs/new/notes.txt"), "notes\n");
    const auto pkgdelta = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), programPath("pkgdelta"));
        return Process::start(arguments).wait(patienceMs);
    };
    ASSERT_EQ(pkgdelta({"make", oldRelease, newRelease, data + "/update.zip"}), 0);
    package = readFile(u8path(data + "/update.zip"));

    writeFile(u8path(install + "/exeinfo/reseat"), reseat + "x");
    const auto offByOne = tree(install);
    EXPECT_EQ(pkgdelta({"check", data + "/update.zip", install}), 1);
    EXPECT_EQ(runUpdate(machine.options(10)), 0);
    // The package does not fit this installation: told as a package fault.
    ASSERT_EQ(machine.boxes().size(), 1u);
    EXPECT_EQ(machine.boxes()[0].text, "更新包错误，详情请查看软件日志");
    EXPECT_EQ(readFile(u8path(data + "/update.zip")), package);
    EXPECT_TRUE(tree(install) == offByOne);
    const auto log = machine.logMessages();
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "差分更新失败:" + install + "/exeinfo/reseat 原文件已改变"),
              log.end());

    writeFile(u8path(install + "/exeinfo/reseat"), reseat);
    EXPECT_EQ(pkgdelta({"check", data + "/update.zip", install}), 0);
    EXPECT_EQ(runUpdate(machine.options()), 0);
    ASSERT_TRUE(waitFor("reseat to finish", [&] { return reseatFinished(); }));
    EXPECT_TRUE(tree(install) == tree(newRelease));
}
