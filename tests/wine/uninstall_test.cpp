// The uninstaller on Windows, run from inside the installation as it is
// shipped: the worker removes the tree, both registry keys and the
// shortcuts; the batch files it leaves behind, run by cmd.exe after the
// program ended, take the folders that were still in use. And its guards
// against the client and a second uninstaller.
#include "banners.h"
#include "platform.h"
#include "windowsmachine.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace testsupport;
using namespace winetest;

namespace {

class UninstallOnWindows : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char *file : {"velmar.dll", "Qt5Core.dll", "update.exe",
                                 "exeinfo\\ConfigPath.txt", "plugins\\imageformats\\qgif.dll"})
            writeFile(u8path(velmar() + "\\" + file), file);
        // Installers leave read-only files behind; they must go all the same.
        fs::permissions(u8path(velmar() + "\\Qt5Core.dll"), fs::perms::owner_read);
        writeFile(u8path(orvane() + "\\Config\\veconfig.ini"), "[Server]\r\n");
        writeFile(u8path(location + "\\keep.txt"), "not the client's");
        machine.installProgram("uninstall", velmar());
        machine.registerClient("1.0.0");
        ASSERT_TRUE(platform::registryWriteString(appPathsKey, "InstallLocation", location));

        ASSERT_TRUE(platform::userDesktopFolder(desktop));
        ASSERT_TRUE(platform::commonProgramsFolder(startMenu));
        writeFile(u8path(desktopLink()), "shortcut");
        writeFile(u8path(desktop + "\\Other.lnk"), "shortcut");
        for (const char *menu : {"Orvane", "Velmar"})
            for (const char *link : {"卸载.lnk", "Orvane.lnk"})
                writeFile(u8path(startMenu + "\\" + menu + "\\" + link), "shortcut");
        writeFile(u8path(startMenu + "\\Other App\\Other.lnk"), "shortcut");
    }
    void TearDown() override {
        removeTree(location);
        removeTree(desktopLink());
        removeTree(desktop + "\\Other.lnk");
        for (const char *menu : {"Orvane", "Velmar", "Other App"})
            removeTree(startMenu + "\\" + menu);
    }

    std::string desktopLink() const { return desktop + "\\Orvane.lnk"; }
    // As the log names it: the desktop as Qt gives it ("/"), then "\Orvane.lnk".
    std::string loggedLink() const {
        std::string qtDesktop = desktop;
        std::replace(qtDesktop.begin(), qtDesktop.end(), '\\', '/');
        return qtDesktop + "\\Orvane.lnk";
    }
    std::string velmar() const { return location + "\\velmar"; }
    std::string orvane() const { return location + "\\Orvane"; }
    std::string program() const { return velmar() + "\\uninstall.exe"; }
    // The batch files lie in the installation location, or, where cmd.exe
    // could not open them there, in the temporary folder.
    std::string batch(const char *name) const {
        std::string folder = location;
        if (location != machine.location()) {
            EXPECT_TRUE(platform::temporaryFolder(folder));
        }
        return folder + "\\" + name;
    }

    // Everything of the client that the worker removes is gone.
    bool workerDone() const {
        return !regKeyExists(appPathsKey) && !regKeyExists(uninstallKey) &&
               !fs::exists(u8path(desktopLink())) && !fs::exists(u8path(startMenu + "\\Orvane")) &&
               !fs::exists(u8path(startMenu + "\\Velmar"));
    }
    bool clientUntouched() const {
        return regKeyExists(appPathsKey) && regKeyExists(uninstallKey) &&
               fs::exists(u8path(machine.velmar() + "\\velmar.dll")) &&
               fs::exists(u8path(desktopLink())) && fs::exists(u8path(startMenu + "\\Orvane"));
    }

    // The three log lines and the box of a refusal, and nothing removed.
    void expectRefusal(const std::string &logLine, const std::string &boxText) const {
        expectFailedRun(machine.logMessages(), machine.boxes(), banner::uninstallStart, logLine,
                        "uninstall---lasterr：", banner::uninstallEnd, "卸载异常", boxText);
        EXPECT_TRUE(clientUntouched());
        EXPECT_FALSE(fs::exists(u8path(batch("velmar_delete.bat"))));
    }

    WindowsMachine machine;
    std::string location = machine.location();
    std::string desktop, startMenu;
};

// Installed in the usual place, or where cmd.exe cannot take the folders'
// names as they are (characters outside the OEM code page, a path past
// MAX_PATH: the batch files name those by their short names), or where it
// would expand a variable in them (the batch files lie elsewhere).
class UninstallAnywhere : public UninstallOnWindows,
                          public ::testing::WithParamInterface<std::string> {
protected:
    UninstallAnywhere() { location = GetParam(); }
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Locations, UninstallAnywhere,
                         ::testing::Values(WindowsMachine::location(), unicodeLocation(),
                                           percentLocation(), deepLocation(280)));

TEST_P(UninstallAnywhere, RemovesTheWholeInstallation) {
    Process::Options options = machine.options();
    // The exit button of the success panel, clicked once it shows.
    options.environment["VELMAR_TEST_EXIT"] = "1";
    Process uninstall = Process::start({program()}, options);
    EXPECT_TRUE(uninstall.endsWith(0));
    EXPECT_TRUE(workerDone());

    // Its own program file, in use while it ran, kept the installation
    // folder; the batch files, run by cmd.exe once the program has ended,
    // take both folders and then themselves.
    EXPECT_TRUE(waitFor("the batch files to remove both folders and themselves", [&] {
        return !fs::exists(u8path(velmar())) && !fs::exists(u8path(orvane())) &&
               !fs::exists(u8path(batch("velmar_delete.bat"))) &&
               !fs::exists(u8path(batch("velmar_delete1.bat")));
    }));
    EXPECT_EQ(readFile(u8path(location + "\\keep.txt")), "not the client's");
    EXPECT_TRUE(fs::exists(u8path(desktop + "\\Other.lnk")));
    EXPECT_TRUE(fs::exists(u8path(startMenu + "\\Other App\\Other.lnk")));
    EXPECT_TRUE(machine.boxes().empty());
    std::vector<std::string> expected = {
        banner::uninstallStart, asLogged("删除最外层目标失败-" + velmar()), banner::windowExit};
    std::vector<std::string> log = machine.logMessages();
    if (location != machine.location() && location != percentLocation()) {
        // The batch files name the folders by their short names, which
        // follow each of these lines.
        for (const std::string &target : {orvane(), velmar()})
            expected.push_back(asLogged("删除目录使用短路径:" + target + "----->"));
        for (std::size_t i = 3; i < log.size() && i < expected.size(); ++i)
            log[i].resize(std::min(log[i].size(), expected[i].size()));
    }
    EXPECT_EQ(log, expected);
}

// A client installed 300 characters deep, past the 260 at which Windows'
// W functions stop unless helped: the worker still removes every file,
// read-only ones too, and the folders, and logs no failure. (The
// uninstaller runs from the usual place: a program that deep could not be
// started without long paths switched on for the whole machine.)
TEST_F(UninstallOnWindows, RemovesAnInstallationThreeHundredCharactersDeep) {
    std::string location = machine.location();
    while (location.size() < 300)
        location += "\\Orvane Client " + std::string(30, 'x');
    const std::string velmar = location + "\\velmar";
    for (const char *file : {"velmar.dll", "Qt5Core.dll", "plugins\\imageformats\\qgif.dll"})
        writeFile(u8path(velmar + "\\" + file), file);
    fs::permissions(u8path(velmar + "\\Qt5Core.dll"), fs::perms::owner_read);
    ASSERT_TRUE(platform::registryWriteString(appPathsKey, "InstallLocation", location));

    Process::Options options = machine.options();
    options.environment["VELMAR_TEST_EXIT"] = "1";
    Process uninstall = Process::start({program()}, options);
    EXPECT_TRUE(uninstall.endsWith(0));
    EXPECT_TRUE(workerDone());
    EXPECT_FALSE(fs::exists(u8path(velmar)));
    EXPECT_TRUE(machine.boxes().empty());
    EXPECT_EQ(machine.logMessages(),
              (std::vector<std::string>{banner::uninstallStart, banner::windowExit}));
}

TEST_F(UninstallOnWindows, ADesktopShortcutHeldOpenFailsTheUninstall) {
    // The shortcut's target went with the installation folder: only the
    // shortcut file itself tells that it is still there.
    Process holder = machine.hold("file", desktopLink());
    Process uninstall = Process::start({program()}, machine.options(10));
    // No success panel: the window closes by itself after the warning.
    EXPECT_TRUE(uninstall.endsWith(0));
    holder.terminate();
    holder.wait(patienceMs);

    const auto boxes = machine.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "卸载提示");
    EXPECT_EQ(boxes[0].text, "清理快捷方式失败");
    EXPECT_EQ(boxes[0].grade, 1);
    EXPECT_TRUE(fs::exists(u8path(desktopLink())));
    EXPECT_FALSE(regKeyExists(appPathsKey));
    EXPECT_FALSE(fs::exists(u8path(startMenu + "\\Velmar")));
    EXPECT_EQ(
        machine.logMessages(),
        (std::vector<std::string>{banner::uninstallStart, "删除最外层目标失败-" + machine.velmar(),
                                  "强制删除文件:" + loggedLink(),
                                  "删除文件" + loggedLink() + "失败", banner::windowExit}));
    // The batch files run after a failed run as after a successful one.
    EXPECT_TRUE(waitFor("the batch files to remove the installation folder",
                        [&] { return !fs::exists(u8path(machine.velmar())); }));
}

TEST_F(UninstallOnWindows, RefusesWhileTheClientRuns) {
    machine.installProgram("velmar", machine.velmar());
    Process client = Process::start({machine.velmar() + "\\velmar.exe", helperSeconds});
    ASSERT_TRUE(machine.waitForClientStart(machine.velmar()));

    EXPECT_TRUE(Process::start({program()}, machine.options()).endsWith(0));
    expectRefusal("Orvane程序正在运行，无法执行安装操作", "Orvane程序正在运行");
    machine.stopClients(machine.velmar());
}

TEST_F(UninstallOnWindows, ASecondUninstallerIsRefusedAndTheFirstGoesOn) {
    Process first = Process::start({program()}, machine.options());
    // Its worker runs: the guards are behind it.
    std::string location;
    ASSERT_TRUE(waitFor("the first uninstaller's worker to remove its registry key", [&] {
        return !platform::registryReadString(appPathsKey, "InstallLocation", location);
    }));

    EXPECT_TRUE(Process::start({program()}, machine.options()).endsWith(0));
    const auto log = machine.logMessages();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0], banner::uninstallStart);
    EXPECT_EQ(log[1], "删除最外层目标失败-" + machine.velmar());
    EXPECT_EQ(log[2], banner::uninstallStart);
    EXPECT_EQ(log[3], "相关卸载/安装程序已运行");
    EXPECT_EQ(log[4].rfind("uninstall---lasterr：", 0), 0u) << log[4];
    EXPECT_EQ(log[5], banner::uninstallEnd);
    const auto boxes = machine.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "卸载异常");
    EXPECT_EQ(boxes[0].text, "相关卸载/安装程序已运行");

    EXPECT_TRUE(waitFor("the first uninstaller's worker to finish", [&] { return workerDone(); }));
    EXPECT_TRUE(first.running()) << "the first waits on its success panel";
}
