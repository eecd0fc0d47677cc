// The road of one update on Windows: update.exe unpacks update.zip from the
// client's data folder into the installation folder, hands over to
// exeinfo\reseat.exe, which puts the new updater in place and starts
// exeinfo\velmar.exe. Real share modes, cmd.exe running the batch files, the
// registry, and code page 936 for the log and the 8-bit names.
#include "banners.h"
#include "testdelta.h"
#include "testzip.h"
#include "windowsmachine.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace testsupport;
using namespace winetest;

namespace {

const std::string installedUser = "[user]\r\nname=demo\r\n";

bool startsWith(const std::string &text, const std::string &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

class UpdateOnWindows : public ::testing::Test {
protected:
    void SetUp() override {
        machine.installProgram("update", machine.velmar());
        machine.installProgram("reseat", machine.exeinfo());
        machine.installProgram("velmar", machine.exeinfo());
        writeFile(u8path(machine.velmar() + "\\bin\\app.dll"), "app 1.0.0");
        writeFile(u8path(userIni()), installedUser);
        writeFile(u8path(machine.dataFolder() + "\\Config\\veconfig.ini"),
                  "[Server]\r\nVersion=1.0.0\r\n");
        machine.registerClient("1.0.0");
        installedUpdater = readFile(u8path(updater()));
    }

    std::string updater() const { return machine.velmar() + "\\update.exe"; }
    std::string userIni() const { return machine.velmar() + "\\user.ini"; }
    std::string package() const { return machine.dataFolder() + "\\update.zip"; }
    std::string installed(const std::string &relative) const {
        return readFile(u8path(machine.velmar() + "\\" + relative));
    }

    void writePackage(const testzip::Archive &archive) const {
        writeFile(u8path(package()), testzip::build(archive));
    }
    // The smallest package that updates: one file and the version.
    static testzip::Archive appPackage() {
        return testzip::Archive({{"bin/app.dll", "app 2.0.0"}, configPackage("2.0.0")});
    }
    static testzip::Entry configPackage(const std::string &version) {
        return {"Config.zip",
                testzip::build(testzip::Archive(
                    {testzip::folder("Config/"),
                     {"Config/veconfig.ini", "[Server]\r\nVersion=" + version + "\r\n"},
                     {"Config/servers.ini", "[servers]\r\nmain=1\r\n"},
                     {"notes.txt", "not configuration"}}))};
    }

    Process startUpdate(const Process::Options &options) const {
        return Process::start({updater()}, options);
    }
    int runUpdate(const Process::Options &options) const {
        return startUpdate(options).wait(180000);
    }
    // reseat, started by the updater, has done its work and started the client.
    ::testing::AssertionResult chainFinished() const {
        const auto reseated = waitFor("reseat's success in the log",
                                      [&] { return machine.logHas(banner::reseatSuccess); });
        return reseated ? machine.waitForClientStart(machine.exeinfo()) : reseated;
    }

    WindowsMachine machine;
    std::string installedUpdater;
};

} // namespace

TEST_F(UpdateOnWindows, TheRoadOfOneUpdate) {
    // The new updater comes in exeinfo\; a marker at its end sets it apart
    // from the installed one and leaves it a working program.
    const std::string newUpdater = installedUpdater + "velmar 2.0.0";
    // Enough resources for the staging to share them between two threads.
    std::vector<std::string> resources;
    for (int n = 10; n < 50; ++n)
        resources.push_back("res/r" + std::to_string(n) + ".txt");
    std::vector<testzip::Entry> entries = {testzip::folder("bin/"),
                                           {"bin/app.dll", "app 2.0.0"},
                                           testzip::folder("bin/plugins/"),
                                           {"bin/plugins/codec.dll", "codec 2.0.0"}};
    for (const std::string &resource : resources)
        entries.emplace_back(resource, "content of " + resource);
    entries.insert(entries.end(), {testzip::folder("exeinfo/"),
                                   {"exeinfo/update.exe", newUpdater, 0},
                                   configPackage("2.0.0")});
    writePackage(testzip::Archive(entries));

    EXPECT_EQ(runUpdate(machine.options()), 0);
    ASSERT_TRUE(chainFinished()) << machine.logText();

    EXPECT_EQ(installed("bin\\app.dll"), "app 2.0.0");
    EXPECT_EQ(installed("bin\\plugins\\codec.dll"), "codec 2.0.0");
    for (const std::string &resource : resources)
        EXPECT_EQ(installed(resource), "content of " + resource);
    EXPECT_EQ(installed("user.ini"), installedUser);
    EXPECT_EQ(readFile(u8path(machine.dataFolder() + "\\Config\\veconfig.ini")),
              "[Server]\r\nVersion=2.0.0\r\n")
        << machine.logText();
    EXPECT_TRUE(fs::exists(u8path(machine.dataFolder() + "\\Config\\servers.ini")));
    EXPECT_FALSE(fs::exists(u8path(machine.dataFolder() + "\\notes.txt")))
        << "only the configuration entries go to the data folder";
    EXPECT_TRUE(regShows(uninstallKey, "DisplayVersion", "2.0.0"));
    EXPECT_FALSE(fs::exists(u8path(package())));
    EXPECT_EQ(readFile(u8path(updater())), newUpdater) << "reseat put the new updater in place";
    EXPECT_TRUE(machine.boxes().empty());

    // The log in code page 936 with CR LF line ends, line by line the bytes
    // of the texts.
    const std::string log = machine.logBytes();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
    for (std::size_t at = log.find('\n'); at != std::string::npos; at = log.find('\n', at + 1))
        ASSERT_TRUE(at > 0 && log[at - 1] == '\r') << "a line end without CR at byte " << at;

    std::vector<std::string> entryNames = {"bin/", "bin/app.dll", "bin/plugins/",
                                           "bin/plugins/codec.dll"};
    entryNames.insert(entryNames.end(), resources.begin(), resources.end());
    entryNames.insert(entryNames.end(), {"exeinfo/", "exeinfo/update.exe", "Config.zip", "Config/",
                                         "Config/veconfig.ini", "Config/servers.ini"});
    std::vector<std::string> expected = {banner::updateStart};
    for (const std::string &entry : entryNames)
        expected.push_back("解压成功:" + entry + "----->" + entry);
    expected.push_back("强制删除文件:" + package());
    expected.push_back("删除文件" + package() + "成功");
    const std::vector<std::string> last = {banner::updateEnd, banner::reseatStart,
                                           "开始更新update.exe", "更新update.exe成功",
                                           banner::reseatSuccess};

    const auto messages = logMessagesOf(log);
    ASSERT_EQ(messages.size(), expected.size() + 1 + last.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(messages[i], gbk(expected[i])) << "line " << i << ": " << expected[i];
    const std::string lastError = messages[expected.size()];
    EXPECT_TRUE(startsWith(lastError, gbk("update---lasterr：")) &&
                lastError.size() > gbk("update---lasterr：").size())
        << fromGbk(lastError);
    for (std::size_t i = 0; i < last.size(); ++i)
        EXPECT_EQ(messages[expected.size() + 1 + i], gbk(last[i])) << last[i];
}

// A delta package: the installed engine.dll (a real program's bytes) turned
// into the next release's by a delta entry, beside a whole entry.
TEST_F(UpdateOnWindows, ADeltaEntryTurnsTheInstalledFileIntoTheNewOne) {
    const std::string engine = machine.velmar() + "\\bin\\engine.dll";
    const std::string next = installedUpdater.substr(1000) + "velmar 2.0.0";
    writeFile(u8path(engine), installedUpdater);
    testzip::Archive archive = appPackage();
    archive.entries.push_back(testzip::deltaEntry("bin/engine.dll", installedUpdater, next));
    writePackage(archive);

    EXPECT_EQ(runUpdate(machine.options()), 0);
    ASSERT_TRUE(chainFinished()) << machine.logText();
    EXPECT_TRUE(readFile(u8path(engine)) == next);
    EXPECT_EQ(installed("bin\\app.dll"), "app 2.0.0");
    EXPECT_TRUE(machine.boxes().empty());
}

TEST_F(UpdateOnWindows, ChineseNamesArriveWhetherStoredInGbkOrUtf8) {
    testzip::Archive archive = appPackage();
    // As Windows tools write them: the code page's bytes, no flag.
    testzip::Entry local(gbk("文档/说明.txt"), "gbk name");
    local.versionMadeBy = testzip::DosHost;
    archive.entries.push_back(local);
    // 淺 ends in 0x5C, the byte of "\": it must not split the name.
    testzip::Entry trailByte(gbk("淺.txt"), "trail byte");
    trailByte.versionMadeBy = testzip::DosHost;
    archive.entries.push_back(trailByte);
    // UTF-8 with the language encoding flag (bit 11).
    testzip::Entry unicode("资料/中文名.txt", "utf-8 name");
    unicode.flags = 0x0800;
    archive.entries.push_back(unicode);
    writePackage(archive);

    EXPECT_EQ(runUpdate(machine.options(10)), 0);
    ASSERT_TRUE(chainFinished()) << machine.logText();

    EXPECT_EQ(installed("文档\\说明.txt"), "gbk name");
    EXPECT_EQ(installed("淺.txt"), "trail byte");
    EXPECT_EQ(installed("资料\\中文名.txt"), "utf-8 name");
    for (const char *name : {"文档/说明.txt", "淺.txt", "资料/中文名.txt"})
        EXPECT_TRUE(machine.logHas(std::string("解压成功:") + name + "----->" + name)) << name;
    EXPECT_TRUE(machine.boxes().empty());
}

TEST_F(UpdateOnWindows, AFileHeldOpenIsWaitedForAndTheEntryRetried) {
    writePackage(appPackage());
    const std::string app = machine.velmar() + "\\bin\\app.dll";
    Process holder = machine.hold("file", app);
    Process update = startUpdate(machine.options(10));
    // Held without sharing, it can be neither moved aside nor deleted; it is
    // not forced out, which would lose the copy an undo needs, but waited for.
    ASSERT_TRUE(waitFor("the updater to wait for the held file (a 3000 ms wait)", [&] {
        const auto sleeps = machine.sleeps();
        return std::find(sleeps.begin(), sleeps.end(), 3000) != sleeps.end();
    })) << machine.logText();
    holder.terminate();
    holder.wait(patienceMs);
    EXPECT_TRUE(update.endsWith(0, 180000));
    ASSERT_TRUE(chainFinished()) << machine.logText();

    EXPECT_EQ(installed("bin\\app.dll"), "app 2.0.0");
    EXPECT_FALSE(machine.logHas("强制删除文件:" + app));
    EXPECT_FALSE(machine.logHas("解压失败:" + app + "无法更新  lasterr:32"))
        << "the waits write no line";
    EXPECT_TRUE(regShows(uninstallKey, "DisplayVersion", "2.0.0"));
    EXPECT_TRUE(machine.boxes().empty());
}

TEST_F(UpdateOnWindows, AFileHeldOpenToTheEndRollsTheWholeUpdateBack) {
    writeFile(u8path(machine.velmar() + "\\bin\\core.dll"), "core 1.0.0");
    writePackage(testzip::Archive({{"bin/app.dll", "app 2.0.0"},
                                   {"bin/new/codec.dll", "codec 2.0.0"},
                                   configPackage("2.0.0"),
                                   {"bin/core.dll", "core 2.0.0"}}));
    const std::string core = machine.velmar() + "\\bin\\core.dll";
    Process holder = machine.hold("file", core);

    EXPECT_EQ(runUpdate(machine.options(10)), 0);
    holder.terminate();
    holder.wait(patienceMs);

    EXPECT_EQ(installed("bin\\app.dll"), "app 1.0.0");
    EXPECT_EQ(installed("bin\\core.dll"), "core 1.0.0");
    EXPECT_FALSE(fs::exists(u8path(machine.velmar() + "\\bin\\new")));
    EXPECT_FALSE(fs::exists(u8path(machine.velmar() + "\\Config.zip")));
    EXPECT_TRUE(namesStartingWith(machine.velmar(), "~velmar-update").empty());
    EXPECT_TRUE(namesStartingWith(machine.dataFolder(), "~velmar-update").empty());
    EXPECT_EQ(readFile(u8path(machine.dataFolder() + "\\Config\\veconfig.ini")),
              "[Server]\r\nVersion=1.0.0\r\n");
    EXPECT_TRUE(fs::exists(u8path(package())));
    EXPECT_TRUE(regShows(uninstallKey, "DisplayVersion", "1.0.0"));
    EXPECT_TRUE(machine.logHas("更新已回滚:" + machine.velmar()));
    EXPECT_TRUE(machine.logHas("解压失败:" + package() + "----->" + machine.velmar() +
                               "  lasterr:upzip file err = 32"))
        << machine.logText();
    const auto boxes = machine.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "解压失败");
}

TEST_F(UpdateOnWindows, AHeldUserIniKeepsItsOldContentAndTheUpdateGoesOn) {
    testzip::Archive archive = appPackage();
    archive.entries.push_back({"user.ini", "[user]\r\nname=packaged\r\n"});
    writePackage(archive);
    Process holder = machine.hold("file", userIni());

    EXPECT_EQ(runUpdate(machine.options(10)), 0);
    ASSERT_TRUE(chainFinished()) << machine.logText();
    holder.terminate();
    holder.wait(patienceMs);

    EXPECT_EQ(installed("user.ini"), installedUser);
    EXPECT_TRUE(machine.logHas("删除文件" + userIni() + "失败警告"));
    EXPECT_TRUE(machine.logHas("解压成功:user.ini----->user.ini")) << "counted as done";
    EXPECT_EQ(installed("bin\\app.dll"), "app 2.0.0");
    EXPECT_TRUE(regShows(uninstallKey, "DisplayVersion", "2.0.0"));
    EXPECT_FALSE(fs::exists(u8path(package())));
    EXPECT_TRUE(machine.boxes().empty());
}

TEST_F(UpdateOnWindows, ARunningProgramsFileIsMovedAsideAndReplaced) {
    // The running updater's own file cannot be deleted or overwritten, but
    // Windows lets it be renamed, as a loaded library's.
    writePackage(testzip::Archive(
        {{"bin/app.dll", "app 2.0.0"}, {"update.exe", "new updater"}, configPackage("2.0.0")}));

    EXPECT_EQ(runUpdate(machine.options(10)), 0);
    ASSERT_TRUE(chainFinished()) << machine.logText();

    EXPECT_EQ(readFile(u8path(updater())), "new updater");
    EXPECT_EQ(installed("bin\\app.dll"), "app 2.0.0");
    EXPECT_TRUE(machine.logHas("解压成功:update.exe----->update.exe"));
    EXPECT_FALSE(fs::exists(u8path(package())));
    EXPECT_TRUE(regShows(uninstallKey, "DisplayVersion", "2.0.0"));
    EXPECT_TRUE(namesStartingWith(machine.velmar(), "~velmar-update.new").empty());
    EXPECT_TRUE(machine.boxes().empty());
}

TEST_F(UpdateOnWindows, ARunningClientStopsTheUpdateBeforeItBegins) {
    writePackage(appPackage());
    Process client = Process::start({machine.exeinfo() + "\\velmar.exe", helperSeconds});
    ASSERT_TRUE(machine.waitForClientStart(machine.exeinfo()));

    EXPECT_EQ(runUpdate(machine.options(10)), 0);

    expectFailedRun(machine.logMessages(), machine.boxes(), banner::updateStart,
                    "Orvane程序正在运行，无法执行更新操作", "update---lasterr：", banner::updateEnd,
                    "解压异常", "Orvane程序正在运行");
    EXPECT_EQ(machine.sleeps(), (std::vector<int>{1500, 500, 500, 500}));
    EXPECT_EQ(installed("bin\\app.dll"), "app 1.0.0");
    EXPECT_TRUE(fs::exists(u8path(package())));
}

TEST_F(UpdateOnWindows, ReseatRetriesTheCopyWhileTheOldUpdaterIsHeldOpen) {
    const std::string newUpdater = installedUpdater + "velmar 2.0.0";
    writeFile(u8path(machine.exeinfo() + "\\update.exe"), newUpdater);
    Process holder = machine.hold("file", updater());

    Process reseat = Process::start({machine.exeinfo() + "\\reseat.exe"}, machine.options(20));
    EXPECT_TRUE(reseat.endsWith(0));
    ASSERT_TRUE(machine.waitForClientStart(machine.exeinfo()))
        << "the client starts after a failed replacement too";
    holder.terminate();
    holder.wait(patienceMs);

    EXPECT_EQ(readFile(u8path(updater())), installedUpdater);
    EXPECT_FALSE(fs::exists(u8path(updater() + ".new")));
    EXPECT_EQ(machine.logMessages(),
              (std::vector<std::string>{banner::reseatStart, "开始更新update.exe",
                                        "更新update.exe失败", banner::reseatSuccess}));
    const auto boxes = machine.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "更新异常");
    EXPECT_EQ(boxes[0].text, "update.exe更新失败");
    EXPECT_EQ(boxes[0].grade, 1);
    // Six more tries to put it in place: 2000 ms after the first, then
    // 3000 ms apart.
    const auto sleeps = machine.sleeps();
    EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 2000), 1);
    EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 3000), 5);
}

TEST_F(UpdateOnWindows, ABatchFilePlantedInTheDataFolderNeverRuns) {
    // Every user may write into the data folder; the updater runs elevated.
    const std::string outside = "C:\\Other Program";
    writeFile(u8path(outside + "\\data.txt"), "keep");
    const std::string planted = machine.dataFolder() + "\\auto_delete.bat";
    const std::string plantedLines = "rd \"" + outside + "\" /q /s\r\n";
    writeFile(u8path(planted), plantedLines);
    fs::permissions(u8path(planted), fs::perms::owner_read);
    writePackage(appPackage());

    EXPECT_EQ(runUpdate(machine.options()), 0);
    ASSERT_TRUE(chainFinished()) << machine.logText();
    EXPECT_FALSE(fs::exists(u8path(package())));
    EXPECT_TRUE(machine.logHas("删除文件" + package() + "成功"));
    EXPECT_EQ(readFile(u8path(planted)), plantedLines);
    EXPECT_EQ(readFile(u8path(outside + "\\data.txt")), "keep");

    fs::permissions(u8path(planted), fs::perms::owner_write, fs::perm_options::add);
    removeTree(outside);
}

// Installed where the updater cannot name its files in the ANSI code page,
// or so deep that its work folders would pass MAX_PATH: it says so before it
// changes anything, and, with nothing changed, logs no rollback.
TEST_F(UpdateOnWindows, AnInstallationFolderItCannotNameIsRefusedBeforeAnythingChanges) {
    writePackage(appPackage());
    // Deep enough for the updater's work folders to pass MAX_PATH, and no
    // deeper: past it, CreateProcessW finds no program to start.
    const std::string locations[] = {unicodeLocation(), deepLocation(233)};
    const std::pair<const char *, const char *> refusals[] = {
        {"安装路径含有系统代码页以外的字符:", "安装路径含有无法识别的字符，详情请查看软件日志"},
        {"安装路径过长:", "安装路径过长，详情请查看软件日志"},
    };
    for (std::size_t row = 0; row < 2; ++row) {
        const std::string velmar = locations[row] + "\\velmar";
        SCOPED_TRACE(velmar);
        machine.installProgram("update", velmar);
        writeFile(u8path(velmar + "\\bin\\app.dll"), "app 1.0.0");
        removeTree(machine.logPath());

        EXPECT_TRUE(
            Process::start({velmar + "\\update.exe"}, machine.options(10)).endsWith(0, 180000));
        const auto boxes = machine.boxes();
        ASSERT_EQ(boxes.size(), row + 1) << machine.logText();
        expectFailedRun(machine.logMessages(), {boxes.back()}, banner::updateStart,
                        asLogged(refusals[row].first + velmar), "update---lasterr：",
                        banner::updateEnd, "更新异常", refusals[row].second);
        EXPECT_EQ(readFile(u8path(velmar + "\\bin\\app.dll")), "app 1.0.0");
        EXPECT_FALSE(fs::exists(u8path(velmar + "\\~velmar-update.journal")));
        removeTree(locations[row]);
    }
    EXPECT_TRUE(fs::exists(u8path(package())));
    EXPECT_TRUE(regShows(uninstallKey, "DisplayVersion", "1.0.0"));
}

// Installed in a folder whose name holds a variable between percent signs:
// nothing expands it, so reseat and the client start where they lie.
TEST_F(UpdateOnWindows, AFolderNameWithAVariableBetweenPercentSignsStartsReseatAndTheClient) {
    const std::string velmar = percentLocation() + "\\velmar";
    machine.installProgram("update", velmar);
    machine.installProgram("reseat", velmar + "\\exeinfo");
    machine.installProgram("velmar", velmar + "\\exeinfo");
    writeFile(u8path(velmar + "\\bin\\app.dll"), "app 1.0.0");
    writePackage(appPackage());

    EXPECT_TRUE(Process::start({velmar + "\\update.exe"}, machine.options(10)).endsWith(0, 180000));
    EXPECT_TRUE(waitFor("reseat's success", [&] { return machine.logHas(banner::reseatSuccess); }))
        << machine.logText();
    EXPECT_TRUE(machine.waitForClientStart(velmar + "\\exeinfo"));
    EXPECT_EQ(readFile(u8path(velmar + "\\bin\\app.dll")), "app 2.0.0");
    EXPECT_TRUE(machine.boxes().empty());
    machine.stopClients(velmar + "\\exeinfo");
    removeTree(percentLocation());
}
