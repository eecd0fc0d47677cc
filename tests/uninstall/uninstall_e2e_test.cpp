// The uninstaller run as a process on a stand-in machine laid out like a
// real installation, with the program inside the installation folder as it
// is shipped. Its refusals need nobody at the window; a whole uninstall
// ends with a click on the exit button, made on a virtual screen (Xvfb) the
// way a person would.
#include "banners.h"
#include "installation.h"
#include "platform.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

using namespace testsupport;
using namespace uninstalltest;

namespace {

const std::string clientGuard = "{AB49C45E-B7A8-4359-8429-51B65B55718C}";
const std::string installerGuard = "{AB49C45E-B7A8-4359-8429-51B65B55718D}";
const std::string uninstallerGuard = "{AB49C45E-B7A8-4359-8429-51B65B55718E}";

// A virtual screen for one test, and xdotool to act on it.
class Screen {
public:
    static bool available() {
        return std::system("command -v Xvfb >/dev/null && command -v xdotool >/dev/null") == 0;
    }

    Screen() {
        // Xvfb picks a free display itself and writes its number down.
        const std::string numberFile = temp_ / "display";
        server_.emplace(Process::start(
            {"/bin/sh", "-c", "exec Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>\"$0\"",
             numberFile}));
        EXPECT_TRUE(waitFor("Xvfb to tell its display", [&] {
            const std::string number = readFile(u8path(numberFile));
            if (number.empty() || number.back() != '\n')
                return false;
            display_ = ":" + number.substr(0, number.size() - 1);
            return true;
        }));
    }

    // Runs xdotool on this screen; its output, without the line end.
    std::string xdotool(const std::string &arguments) const {
        const std::string command = "DISPLAY=" + display_ + " timeout " +
                                    std::to_string(patienceMs / 1000) + " xdotool " + arguments;
        std::string output;
        if (FILE *pipe = ::popen(command.c_str(), "r")) {
            char buffer[256];
            while (std::fgets(buffer, sizeof buffer, pipe))
                output += buffer;
            ::pclose(pipe);
        }
        while (!output.empty() && output.back() == '\n')
            output.pop_back();
        return output;
    }

    // The uninstall window, once it is shown.
    std::string window() const {
        const std::string found = xdotool("search --sync --onlyvisible --name '^安装$'");
        return found.substr(0, found.find('\n'));
    }

    Process::Options on(Process::Options options) const {
        options.environment["QT_QPA_PLATFORM"] = "xcb";
        options.environment["DISPLAY"] = display_;
        return options;
    }

private:
    TempDir temp_;
    std::optional<Process> server_;
    std::string display_;
};

class Uninstall : public ::testing::Test {
protected:
    void SetUp() override {
        machine.installProgram("uninstall", installation.folder() + "/velmar");
    }

    std::string program() const { return installation.velmar() + "/uninstall"; }
    Process start(const Process::Options &options) const {
        return Process::start({program()}, options);
    }
    int run() const { return start(machine.options()).wait(patienceMs); }

    Process hold(const std::string &what, const std::string &name) const {
        Process holder =
            Process::start({programPath("hold"), what, name, helperSeconds}, machine.options());
        EXPECT_TRUE(holder.waitForLine("held"));
        return holder;
    }

    // Everything of the client that the worker removes is gone.
    bool workerDone() const {
        return !installation.keyExists(appPathsKey) && !installation.keyExists(uninstallKey) &&
               !fs::exists(u8path(installation.desktopLink())) &&
               !fs::exists(u8path(installation.startMenu() + "/Orvane")) &&
               !fs::exists(u8path(installation.startMenu() + "/Velmar"));
    }

    // The three log lines and the box of a refusal, and nothing else done.
    void expectRefusal(const std::string &logLine, const std::string &boxText) const {
        expectFailedRun(machine.logMessages(), machine.boxes(), banner::uninstallStart, logLine,
                        "uninstall---lasterr：", banner::uninstallEnd, "卸载异常", boxText);
        EXPECT_TRUE(installation.clientUntouched());
        EXPECT_FALSE(installation.batchFilesExist());
    }

    Machine machine;
    Installation installation{machine};
};

} // namespace

TEST_F(Uninstall, RemovesTheWholeInstallation) {
    if (!Screen::available())
        GTEST_SKIP() << "needs Xvfb and xdotool to click the exit button";
    Screen screen;
    Process uninstall = start(screen.on(machine.options()));
    const std::string window = screen.window();
    ASSERT_FALSE(window.empty()) << "no uninstall window";
    ASSERT_TRUE(waitFor("the worker to finish", [&] { return workerDone(); }));

    // The exit button exists only on the success panel; a person clicks it
    // once it shows.
    int exitCode = -1;
    EXPECT_TRUE(waitFor("a click on the exit button to end the uninstaller", [&] {
        screen.xdotool("mousemove --window " + window + " 433 285 click 1");
        exitCode = uninstall.wait(200);
        return exitCode >= 0;
    }));
    EXPECT_EQ(exitCode, 0);

    // Its own file kept the installation folder in place (see the log); the
    // batch files take both folders, a few seconds after the program ended.
    EXPECT_TRUE(waitFor("the batch files to remove both folders and themselves", [&] {
        return !fs::exists(u8path(installation.velmar())) &&
               !fs::exists(u8path(installation.orvane())) && !installation.batchFilesExist();
    }));
    EXPECT_TRUE(workerDone());
    EXPECT_TRUE(installation.othersUntouched());
    EXPECT_TRUE(machine.boxes().empty());
    EXPECT_EQ(machine.logMessages(),
              (std::vector<std::string>{banner::uninstallStart,
                                        "删除最外层目标失败-" + installation.velmar(),
                                        banner::windowExit}));
}

TEST_F(Uninstall, LinksInItsPlacesGoAsLinksAndPlantedBatchFilesNeverRun) {
    // "velmar", "Orvane" and a Start-menu folder are links to folders of
    // someone else; the desktop shortcut is gone already and a batch file
    // waits in its place, a link to a file elsewhere.
    const std::string elsewhere = machine.path("Data/projects");
    fs::create_directories(u8path(machine.path("Data")));
    fs::rename(u8path(installation.velmar()), u8path(elsewhere));
    writeFile(u8path(elsewhere + "/sub/thesis.doc"), "mine");
    ASSERT_TRUE(makeLink(installation.velmar(), elsewhere, true));
    const std::string settings = machine.path("Data/settings");
    fs::rename(u8path(installation.orvane()), u8path(settings));
    ASSERT_TRUE(makeLink(installation.orvane(), settings, true));
    const std::string menu = installation.startMenu() + "/Velmar";
    fs::remove_all(u8path(menu));
    writeFile(u8path(machine.path("Data/menu/Orvane.lnk")), "mine");
    ASSERT_TRUE(makeLink(menu, machine.path("Data/menu"), true));
    fs::remove(u8path(installation.desktopLink()));
    const std::string victim = machine.path("Data/victim.txt");
    writeFile(u8path(victim), "mine");
    ASSERT_TRUE(makeLink(installation.desktop() + "/auto_delete.bat", victim, false));

    Process::Options options = machine.options();
    options.environment["VELMAR_TEST_EXIT"] = "1";
    Process uninstall = Process::start({elsewhere + "/uninstall"}, options);
    EXPECT_TRUE(uninstall.endsWith(0));
    EXPECT_TRUE(waitFor("the batch files to remove both folders and themselves", [&] {
        return !fs::exists(fs::symlink_status(u8path(installation.velmar()))) &&
               !fs::exists(u8path(installation.orvane())) && !installation.batchFilesExist();
    }));

    EXPECT_TRUE(workerDone());
    EXPECT_FALSE(fs::exists(fs::symlink_status(u8path(menu))));
    EXPECT_EQ(readFile(u8path(elsewhere + "/sub/thesis.doc")), "mine");
    EXPECT_EQ(readFile(u8path(elsewhere + "/velmar.dll")), "velmar.dll");
    EXPECT_FALSE(fs::exists(fs::symlink_status(u8path(installation.orvane()))));
    EXPECT_EQ(readFile(u8path(settings + "/cache/avatar.png")), "png");
    EXPECT_EQ(readFile(u8path(machine.path("Data/menu/Orvane.lnk"))), "mine");
    EXPECT_EQ(readFile(u8path(victim)), "mine");
    EXPECT_TRUE(installation.othersUntouched());
    EXPECT_TRUE(machine.boxes().empty());
}

TEST_F(Uninstall, RefusesWhileTheClientRuns) {
    // The client stand-in holds the client guard while it runs.
    machine.installProgram("velmar", installation.folder() + "/velmar");
    Process client =
        Process::start({installation.velmar() + "/velmar", helperSeconds}, machine.options());
    ASSERT_TRUE(waitForClientStart(installation.velmar()));
    EXPECT_EQ(run(), 0);
    expectRefusal("Orvane程序正在运行，无法执行安装操作", "Orvane程序正在运行");
}

TEST_F(Uninstall, RefusesWhileAnInstallerRunsAndHoldsNoGuardWhileItSaysSo) {
    Process installer = hold("mutex", installerGuard);
    Process::Options options = machine.options();
    const std::string release = machine.path("release");
    options.environment["VELMAR_TEST_RELEASE"] = release;
    Process uninstall = start(options);
    // Its box is up, until released: meanwhile another program may take
    // the uninstaller's guard.
    ASSERT_TRUE(waitFor("the refusal's box", [&] { return !machine.boxes().empty(); }));
    Process other = hold("mutex", uninstallerGuard);
    other.terminate();
    writeFile(u8path(release), "");
    EXPECT_TRUE(uninstall.endsWith(0));
    expectRefusal("安装包正在运行，无法执行安装操作", "安装包正在运行");
}

TEST_F(Uninstall, NamesOnlyTheClientWhenTheClientAndAnInstallerRun) {
    Process client = hold("mutex", clientGuard);
    Process installer = hold("mutex", installerGuard);
    EXPECT_EQ(run(), 0);
    expectRefusal("Orvane程序正在运行，无法执行安装操作", "Orvane程序正在运行");
}

TEST_F(Uninstall, ASecondUninstallerIsRefusedAndTheFirstGoesOn) {
    Process first = start(machine.options());
    // Its worker runs: the guards are behind it.
    ASSERT_TRUE(waitFor("the first uninstaller's worker to remove its registry key",
                        [&] { return !installation.keyExists(appPathsKey); }));

    EXPECT_EQ(run(), 0);
    // The first could not remove its own file, before the second started.
    const auto log = machine.logMessages();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0], banner::uninstallStart);
    EXPECT_EQ(log[1], "删除最外层目标失败-" + installation.velmar());
    EXPECT_EQ(log[2], banner::uninstallStart);
    EXPECT_EQ(log[3], "相关卸载/安装程序已运行");
    EXPECT_EQ(log[4].rfind("uninstall---lasterr：", 0), 0u) << log[4];
    EXPECT_EQ(log[5], banner::uninstallEnd);
    ASSERT_EQ(machine.boxes().size(), 1u);
    EXPECT_EQ(machine.boxes()[0].title, "卸载异常");
    EXPECT_EQ(machine.boxes()[0].text, "相关卸载/安装程序已运行");

    EXPECT_TRUE(waitFor("the first uninstaller's worker to finish", [&] { return workerDone(); }));
    EXPECT_TRUE(first.running()) << "the first waits on its success panel";
}

TEST_F(Uninstall, WithoutAnInstallLocationNothingIsTouched) {
    installation.removeInstallLocation();
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(machine.logMessages(),
              (std::vector<std::string>{banner::uninstallStart, "未找到客户端程序,注册表数据异常",
                                        banner::windowExit}));
    ASSERT_EQ(machine.boxes().size(), 1u);
    EXPECT_EQ(machine.boxes()[0].title, "卸载异常");
    EXPECT_EQ(machine.boxes()[0].text, "未找到客户端程序");
    EXPECT_EQ(machine.boxes()[0].grade, 2);
    EXPECT_TRUE(machine.boxes()[0].cancelHidden);
    EXPECT_TRUE(installation.clientUntouched());
    EXPECT_FALSE(installation.batchFilesExist());
}

TEST_F(Uninstall, WithoutTheDocumentsFolderOnlyTheFallbackBoxIsShown) {
    fs::remove_all(u8path(machine.documents()));
    EXPECT_EQ(run(), 0);
    ASSERT_EQ(machine.boxes().size(), 1u);
    EXPECT_EQ(machine.boxes()[0].title, "卸载异常");
    EXPECT_EQ(machine.boxes()[0].text, "软件环境异常,找不到通用路径");
    EXPECT_EQ(machine.boxes()[0].grade, 2);
    EXPECT_FALSE(fs::exists(u8path(machine.logPath())));
    EXPECT_FALSE(fs::exists(u8path(machine.path("install.log"))));
    EXPECT_TRUE(installation.clientUntouched());
}
