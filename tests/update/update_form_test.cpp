// The update steps on a stand-in machine with real packages: what they
// extract, report, log and show, and how they treat files in use.
#include "banners.h"
#include "installlog.h"
#include "machine.h"
#include "platform.h"
#include "startup.h"
#include "testzip.h"
#include "update_form.h"
#include "zipreader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <stdexcept>
#include <thread>

using namespace testsupport;

namespace {

const std::string uninstallKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\velmar";

std::vector<uint32_t> sleepsAsked;
// What a test does as a wait begins.
std::function<void(uint32_t)> asWaitBegins;

void recordedSleep(uint32_t ms) {
    sleepsAsked.push_back(ms);
    if (asWaitBegins)
        asWaitBegins(ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms / 20));
}

struct Report {
    int allCount, nowcount;
    std::string text;
    bool operator==(const Report &other) const {
        return allCount == other.allCount && nowcount == other.nowcount && text == other.text;
    }
};

std::ostream &operator<<(std::ostream &out, const Report &report) {
    return out << "(" << report.allCount << ", " << report.nowcount << ", " << report.text << ")";
}

testzip::Entry file(const std::string &name, const std::string &data) {
    return testzip::Entry(name, data);
}

// A folder on a file system of its own that holds next to nothing: a full
// disk without filling the machine's. Mounting needs root; without it the
// test that wants one is skipped.
class SmallDisk {
public:
    explicit SmallDisk(const std::string &folder) : folder(folder) {
        fs::create_directories(u8path(folder));
        try {
            mounted =
                Process::start({"/bin/mount", "-t", "tmpfs", "-o", "size=16k", "tmpfs", folder})
                    .wait(patienceMs) == 0;
        } catch (const std::runtime_error &) {
            mounted = false; // no mount program
        }
    }
    ~SmallDisk() {
        if (mounted)
            Process::start({"/bin/umount", folder}).wait(patienceMs);
    }
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;

    const std::string folder;
    bool mounted = false;
};

class UpdateSteps : public ::testing::Test {
protected:
    void SetUp() override {
        setEnv("VELMAR_SYSTEM_ROOT", machine.root().c_str());
        ASSERT_TRUE(resolveLogPath());
        fs::create_directories(u8path(appDir));
        writeFile(u8path(dataDir + "/Config/veconfig.ini"), "[Server]\nVersion=1.0.0\n");
        platform::registryWriteString(uninstallKey, "DisplayVersion", "1.0.0");
        sleepsAsked.clear();
        asWaitBegins = nullptr;
        previousSleep = platform::setSleepFunction(recordedSleep);
    }
    void TearDown() override {
        platform::setSleepFunction(previousSleep);
        setLogFilePath(QStringLiteral("install.log"));
        setEnv("VELMAR_SYSTEM_ROOT", nullptr);
    }

    void givePackage(const testzip::Archive &archive) {
        writeFile(u8path(dataDir + "/update.zip"), testzip::build(archive));
    }

    // The steps in the update thread's order, and the form's last lines.
    bool runSteps() {
        update_form form(QString::fromStdString(appDir));
        QObject::connect(&form, &update_form::sigPro, [this](int all, int now, QString text) {
            progress.push_back({all, now, text.toStdString()});
        });
        QObject::connect(
            &form, &update_form::setInfo,
            [this](QString title, QString info, MSG_GRADE grade, bool hidden, int focus) {
                boxes.push_back({title.toStdString(), info.toStdString(), grade, hidden, focus});
            });
        bool result = false;
        if (form.initCheck() && form.unzipUpdatePackage() && form.unzipConfigPackage() &&
            form.updateRegistry()) {
            form.clearData();
            result = true;
        }
        form.writeEndLines();
        return result;
    }

    std::vector<std::string> log() const { return machine.logMessages(); }
    bool logged(const std::string &message) const {
        const auto messages = log();
        return std::find(messages.begin(), messages.end(), message) != messages.end();
    }
    void expectOneErrorBox(const std::string &title, const std::string &text) {
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].title, title);
        EXPECT_EQ(boxes[0].text, text);
        EXPECT_EQ(boxes[0].grade, MSG_ERROR);
        EXPECT_TRUE(boxes[0].cancelHidden);
        EXPECT_EQ(boxes[0].focus, 0);
    }
    Process hold(const std::string &path) {
        Process holder = Process::start({programPath("hold"), "file", path, helperSeconds});
        EXPECT_TRUE(holder.waitForLine("held"));
        return holder;
    }

    Machine machine;
    const std::string appDir = machine.path("Orvane Client/velmar");
    const std::string dataDir = machine.documents() + "/velmar";
    std::vector<Report> progress;
    std::vector<BoxRecord> boxes;
    platform::SleepFunction previousSleep = nullptr;
};

} // namespace

TEST_F(UpdateSteps, AMissingDataFolderFailsBeforeAnyProgress) {
    fs::remove_all(u8path(dataDir));
    EXPECT_FALSE(runSteps());
    EXPECT_TRUE(progress.empty());
    const auto messages = log();
    ASSERT_EQ(messages.size(), 3u) << "the failure, then the form's last two lines";
    EXPECT_EQ(messages[0], "通用路径缺失:" + dataDir);
    EXPECT_EQ(messages[1].rfind("update---lasterr：", 0), 0u);
    EXPECT_EQ(messages[2], banner::updateEnd);
    expectOneErrorBox("解压异常", "运行路径缺失，详情请查看软件日志");
}

TEST_F(UpdateSteps, AMissingConfigFolderFailsAfterTheFirstProgress) {
    fs::remove_all(u8path(dataDir + "/Config"));
    EXPECT_FALSE(runSteps());
    EXPECT_EQ(progress, (std::vector<Report>{{100, 1, "初始化检查"}}));
    EXPECT_TRUE(logged("通用路径缺失:" + dataDir + "/Config"));
    expectOneErrorBox("解压异常", "运行路径缺失，详情请查看软件日志");
}

TEST_F(UpdateSteps, ConfigPathTxtCompletesTheDataFolderAsAnEditorWroteIt) {
    const std::string beta = machine.documents() + "/velmar beta";
    writeFile(u8path(beta + "/Config/veconfig.ini"), "[Server]\nVersion=9\n");
    writeFile(u8path(beta + "/update.zip"), testzip::build(testzip::Archive({file("a.txt", "a")})));
    for (const std::string content : {" beta", " beta\n", " beta\r\n", "\xEF\xBB\xBF beta\r\n"}) {
        writeFile(u8path(appDir + "/exeinfo/ConfigPath.txt"), content);
        update_form form(QString::fromStdString(appDir));
        EXPECT_TRUE(form.initCheck()) << "content: " << content;
    }
    // Only one line break is an editor's; more belong to the name.
    writeFile(u8path(appDir + "/exeinfo/ConfigPath.txt"), " beta\n\n");
    update_form form(QString::fromStdString(appDir));
    EXPECT_FALSE(form.initCheck());
}

TEST_F(UpdateSteps, ConfigPathTxtCannotTakeTheDataFolderElsewhere) {
    // A complete data folder beside the real one, and one a level up.
    for (const std::string &folder : {machine.documents() + "/elsewhere", machine.path("Users")}) {
        writeFile(u8path(folder + "/Config/veconfig.ini"), "[Server]\nVersion=9\n");
        writeFile(u8path(folder + "/update.zip"),
                  testzip::build(testzip::Archive({file("a.txt", "a")})));
    }
    for (const std::string content : {"/../elsewhere", "/../../..", "\\..\\elsewhere", ":x"}) {
        writeFile(u8path(appDir + "/exeinfo/ConfigPath.txt"), content);
        boxes.clear();
        progress.clear();
        EXPECT_FALSE(runSteps()) << "content: " << content;
        EXPECT_TRUE(progress.empty()) << "content: " << content;
        EXPECT_TRUE(logged("通用路径缺失:" + dataDir + content)) << "content: " << content;
        expectOneErrorBox("解压异常", "运行路径缺失，详情请查看软件日志");
    }
}

TEST_F(UpdateSteps, ReportsAMissingUnreadableOrEmptyPackage) {
    EXPECT_FALSE(runSteps());
    EXPECT_TRUE(logged("更新包缺失:" + dataDir + "/update.zip"));
    expectOneErrorBox("解压异常", "更新包缺失，详情请查看软件日志");
    EXPECT_EQ(progress.size(), 2u);

    boxes.clear();
    fs::create_directories(u8path(dataDir + "/update.zip"));
    EXPECT_FALSE(runSteps());
    EXPECT_TRUE(logged("更新包错误:" + dataDir + "/update.zip"));
    expectOneErrorBox("更新异常", "更新包错误，详情请查看软件日志");
    fs::remove(u8path(dataDir + "/update.zip"));

    boxes.clear();
    writeFile(u8path(dataDir + "/update.zip"), "");
    EXPECT_FALSE(runSteps());
    EXPECT_TRUE(logged("更新包为空:" + dataDir + "/update.zip"));
    expectOneErrorBox("更新异常", "更新包无有效数据，详情请查看软件日志");
}

TEST_F(UpdateSteps, ASuccessfulRunReportsEveryStepAndRecordsTheVersion) {
    const std::string config = testzip::build(testzip::Archive({
        testzip::folder("Config/"),
        file("Config/veconfig.ini", "[Server]\nVersion=2.0.0 beta\n"),
        file("Settings/a.ini", "not mine"),
        file("MyConfig.txt", "mine"),
    }));
    givePackage(testzip::Archive({testzip::folder("bin/"), file("bin/app.dll", "app 2"),
                                  file("docs/readme.txt", "read me"),
                                  testzip::Entry("Config.zip", config, 0)}));
    writeFile(u8path(appDir + "/bin/app.dll"), "app 1");

    EXPECT_TRUE(runSteps());
    EXPECT_EQ(progress, (std::vector<Report>{
                            {100, 1, "初始化检查"},
                            {100, 3, "初始化检查"},
                            {100, 5, "初始化检查"},
                            {100, 5, "bin/"},
                            {100, 25, "bin/app.dll"},
                            {100, 45, "docs/readme.txt"},
                            {100, 65, "Config.zip"},
                            {100, 85, "&Config/"},
                            {100, 86, "&Config/veconfig.ini"},
                            {100, 88, "&MyConfig.txt"},
                            {100, 86, "更新注册表"},
                            {100, 90, "更新注册表"},
                            {100, 95, "清理数据"},
                            {100, 100, "清理数据"},
                        }));
    EXPECT_EQ(readFile(u8path(appDir + "/bin/app.dll")), "app 2");
    EXPECT_EQ(readFile(u8path(appDir + "/docs/readme.txt")), "read me");
    EXPECT_EQ(readFile(u8path(dataDir + "/Config/veconfig.ini")), "[Server]\nVersion=2.0.0 beta\n");
    EXPECT_EQ(readFile(u8path(dataDir + "/MyConfig.txt")), "mine");
    EXPECT_FALSE(fs::exists(u8path(dataDir + "/Settings")));
    EXPECT_EQ(registryValue(machine, uninstallKey, "DisplayVersion"), "2.0.0 beta");
    EXPECT_FALSE(fs::exists(u8path(dataDir + "/update.zip")));
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(logged("解压成功:bin/app.dll----->bin/app.dll"));
    EXPECT_TRUE(logged("解压成功:Config/veconfig.ini----->Config/veconfig.ini"));
    EXPECT_EQ(log().back(), banner::updateEnd);
}

TEST_F(UpdateSteps, WithoutAConfigurationPackageTheBarGoesStraightOn) {
    givePackage(testzip::Archive({file("a.txt", "a")}));
    EXPECT_TRUE(runSteps());
    ASSERT_GE(progress.size(), 5u);
    EXPECT_EQ(progress[3], (Report{100, 5, "a.txt"}));
    EXPECT_EQ(progress[4], (Report{100, 86, "更新注册表"}));
    EXPECT_EQ(registryValue(machine, uninstallKey, "DisplayVersion"), "1.0.0");
}

TEST_F(UpdateSteps, AVersionThatIsMissingLeavesTheRegistryAlone) {
    givePackage(testzip::Archive({file("a.txt", "a")}));
    fs::remove(u8path(dataDir + "/Config/veconfig.ini"));
    EXPECT_FALSE(runSteps());
    EXPECT_TRUE(logged("配置文件缺失:" + dataDir + "/Config/veconfig.ini"));
    expectOneErrorBox("解压异常", "配置文件缺失，详情请查看软件日志");

    boxes.clear();
    writeFile(u8path(dataDir + "/Config/veconfig.ini"), "[Server]\nName=x\n");
    givePackage(testzip::Archive({file("a.txt", "a")}));
    EXPECT_FALSE(runSteps());
    EXPECT_TRUE(logged("版本号缺失:" + dataDir + "/Config/veconfig.ini"));
    expectOneErrorBox("解压异常", "版本号缺失，详情请查看软件日志");
    EXPECT_EQ(registryValue(machine, uninstallKey, "DisplayVersion"), "1.0.0");
    EXPECT_TRUE(fs::exists(u8path(dataDir + "/update.zip"))) << "kept after a failure";

    // Blanks are a version all the same.
    boxes.clear();
    writeFile(u8path(dataDir + "/Config/veconfig.ini"), "[Server]\nVersion=\"  \"\n");
    EXPECT_TRUE(runSteps());
    EXPECT_EQ(registryValue(machine, uninstallKey, "DisplayVersion"), "  ");
}

TEST_F(UpdateSteps, ACorruptedEntryLeavesTheInstalledFileAndFailsAtOnce) {
    writeFile(u8path(appDir + "/bin/app.dll"), "installed");
    testzip::Entry corrupted("bin/app.dll", "new version");
    corrupted.crc = testzip::crcOf("something else");
    givePackage(testzip::Archive({corrupted, file("bin/other.dll", "other")}));

    EXPECT_FALSE(runSteps());
    EXPECT_EQ(readFile(u8path(appDir + "/bin/app.dll")), "installed");
    EXPECT_FALSE(fs::exists(u8path(appDir + "/bin/other.dll")));
    EXPECT_TRUE(sleepsAsked.empty()) << "no forced deletion, no retries";
    const auto messages = log();
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [](const std::string &m) { return m.rfind("强制删除文件:", 0) == 0; }),
              0);
    // A package fault, not a file in use.
    EXPECT_TRUE(logged("更新包错误:" + dataDir + "/update.zip"));
    expectOneErrorBox("更新异常", "更新包错误，详情请查看软件日志");
    EXPECT_TRUE(fs::exists(u8path(dataDir + "/update.zip")));
}

TEST_F(UpdateSteps, AFileInUseIsWaitedForAndTheEntryRetried) {
    writeFile(u8path(appDir + "/bin/app.dll"), "installed");
    givePackage(testzip::Archive({file("bin/app.dll", "new")}));
    Process holder = hold(appDir + "/bin/app.dll");
    // The holder lets go during the first wait for the file.
    asWaitBegins = [&holder](uint32_t ms) {
        if (ms == 3000 && holder.running()) {
            holder.terminate();
            EXPECT_NE(holder.wait(patienceMs), -1) << "the holder did not end";
        }
    };

    EXPECT_TRUE(runSteps());
    EXPECT_EQ(readFile(u8path(appDir + "/bin/app.dll")), "new");
    // Not forced out: deleting it would lose the copy an undo puts back.
    // The waits write no line: only giving up on it would.
    EXPECT_FALSE(logged("解压失败:" + appDir + "/bin/app.dll无法更新  lasterr:32"));
    EXPECT_FALSE(logged("强制删除文件:" + appDir + "/bin/app.dll"));
    EXPECT_GE(std::count(sleepsAsked.begin(), sleepsAsked.end(), 3000u), 1);
    EXPECT_TRUE(boxes.empty());
}

// The package is read once, into the update's own copy: what was checked
// is what is unpacked, even when its owner rewrites it in place, or the
// data folder is taken away and another put in its place, between the
// check and the extraction (its configuration is read where it went).
TEST_F(UpdateSteps, ThePackageRewrittenOrSwappedAfterTheCheckIsNotTheOneUnpacked) {
    givePackage(testzip::Archive({file("bin/app.dll", "checked")}));
    update_form form(QString::fromStdString(appDir));
    ASSERT_TRUE(form.initCheck());
    givePackage(testzip::Archive({file("bin/app.dll", "rewritten")}));
    fs::rename(u8path(dataDir), u8path(dataDir + ".away"));
    writeFile(u8path(dataDir + "/update.zip"),
              testzip::build(testzip::Archive(
                  {file("bin/app.dll", "swapped"), file("bin/evil.dll", "not checked")})));
    writeFile(u8path(dataDir + "/Config/veconfig.ini"), "[Server]\nVersion=9.9.9\n");

    EXPECT_TRUE(form.unzipUpdatePackage() && form.unzipConfigPackage() && form.updateRegistry() &&
                form.clearData());
    EXPECT_EQ(readFile(u8path(appDir + "/bin/app.dll")), "checked");
    EXPECT_FALSE(fs::exists(u8path(appDir + "/bin/evil.dll")));
    EXPECT_EQ(registryValue(machine, uninstallKey, "DisplayVersion"), "1.0.0");
    EXPECT_FALSE(fs::exists(u8path(dataDir + ".away/update.zip"))) << "the package checked went";
    EXPECT_TRUE(fs::exists(u8path(dataDir + "/update.zip")));
}

TEST_F(UpdateSteps, ALockedUserIniKeepsItsContentAndTheUpdateGoesOn) {
    writeFile(u8path(appDir + "/user.ini"), "[user]\nname=mine\n");
    givePackage(testzip::Archive({file("user.ini", "[user]\nname=default\n"), file("b.txt", "b")}));
    Process holder = hold(appDir + "/user.ini");

    EXPECT_TRUE(runSteps());
    holder.terminate();
    holder.wait(patienceMs);
    EXPECT_EQ(readFile(u8path(appDir + "/user.ini")), "[user]\nname=mine\n");
    EXPECT_EQ(readFile(u8path(appDir + "/b.txt")), "b");
    EXPECT_TRUE(logged("删除文件" + appDir + "/user.ini失败警告"));
    EXPECT_TRUE(boxes.empty());
}

// Each way a package can fail, at each point of the update: the
// installation and the data folder stay exactly as they were, the failure
// is logged and shown as ever, and nothing of the update's own is left.
class FailingPackage : public UpdateSteps {
protected:
    void SetUp() override {
        UpdateSteps::SetUp();
        writeFile(u8path(appDir + "/bin/app.dll"), "app 1");
        writeFile(u8path(appDir + "/docs/readme.txt"), "old read me");
        writeFile(u8path(appDir + "/bin/core.dll"), "core 1");
        writeFile(u8path(dataDir + "/Config/servers.ini"), "old servers");
        before = trees();
    }

    // Every file with its content and every folder of both folders; the
    // package is the only thing the update may leave in the data folder.
    std::map<std::string, std::string> trees() const {
        std::map<std::string, std::string> tree;
        for (const auto &[label, root] : {std::pair{"app", appDir}, std::pair{"data", dataDir}}) {
            for (const auto &item : fs::recursive_directory_iterator(u8path(root))) {
                const std::string name =
                    label + std::string("/") + utf8(fs::relative(item.path(), u8path(root)));
                if (name != "data/update.zip")
                    tree[name] = item.is_directory() ? "<folder>" : readFile(item.path());
            }
        }
        return tree;
    }

    // A package that would change both folders, with entry last at its end.
    void givePackageEndingWith(const testzip::Entry &last, const std::string &config = "") {
        const std::string configPackage =
            config.empty() ? testzip::build(testzip::Archive({
                                 file("Config/veconfig.ini", "[Server]\nVersion=2.0.0\n"),
                                 file("Config/servers.ini", "new servers"),
                             }))
                           : config;
        givePackage(testzip::Archive({testzip::folder("bin/"), file("bin/app.dll", "app 2"),
                                      file("bin/new/codec.dll", "codec"),
                                      file("docs/readme.txt", "new read me"),
                                      testzip::Entry("Config.zip", configPackage, 0), last}));
    }

    void expectNothingChanged() {
        EXPECT_EQ(trees(), before);
        EXPECT_TRUE(fs::exists(u8path(dataDir + "/update.zip")));
        EXPECT_EQ(registryValue(machine, uninstallKey, "DisplayVersion"), "1.0.0");
    }
    void expectExtractionFailure(const std::string &reason) {
        EXPECT_TRUE(
            logged("解压失败:" + dataDir + "/update.zip----->" + appDir + "  lasterr:" + reason))
            << readFile(u8path(machine.logPath()));
        expectOneErrorBox("解压失败", appDir + " 正在使用，无法执行更新操作， 详情请查看软件日志");
    }
    // A package that is corrupted or that the update cannot take is told as
    // such, never as a folder in use.
    void expectPackageFailure() {
        EXPECT_TRUE(logged("更新包错误:" + dataDir + "/update.zip"))
            << readFile(u8path(machine.logPath()));
        expectOneErrorBox("更新异常", "更新包错误，详情请查看软件日志");
    }
    int finishedEntries() const {
        return static_cast<int>(
            std::count_if(progress.begin(), progress.end(), [](const Report &r) {
                return r.nowcount >= 5 && r.text != "初始化检查";
            }));
    }

    std::map<std::string, std::string> before;
};

TEST_F(FailingPackage, ACorruptedLastEntryChangesNothing) {
    testzip::Entry corrupted("bin/last.dll", "new version");
    corrupted.crc = testzip::crcOf("something else");
    givePackageEndingWith(corrupted);

    EXPECT_FALSE(runSteps());
    expectNothingChanged();
    EXPECT_TRUE(
        logged("解压失败:" + appDir + "/bin/last.dll无法更新  lasterr:0  zip err:0x6000000"))
        << readFile(u8path(machine.logPath()));
    expectPackageFailure();
    EXPECT_EQ(finishedEntries(), 0) << "nothing is reported done before all is known good";
    EXPECT_TRUE(sleepsAsked.empty()) << "no forced deletion, no retries";
}

TEST_F(FailingPackage, ACorruptedConfigurationPackageChangesNothing) {
    testzip::Entry corrupted("Config/servers.ini", "new servers");
    corrupted.crc = testzip::crcOf("something else");
    givePackageEndingWith(file("z.txt", "z"), testzip::build(testzip::Archive({corrupted})));

    EXPECT_FALSE(runSteps());
    expectNothingChanged();
    expectPackageFailure();
}

TEST_F(FailingPackage, ARefusedNameChangesNothing) {
    givePackageEndingWith(file("bin/CON.txt", "device"));
    EXPECT_FALSE(runSteps());
    expectNothingChanged();
    expectPackageFailure();
}

TEST_F(FailingPackage, ALockedFileThatStaysLockedChangesNothing) {
    givePackageEndingWith(file("bin/core.dll", "core 2"));
    Process holder = hold(appDir + "/bin/core.dll");

    EXPECT_FALSE(runSteps());
    holder.terminate();
    holder.wait(patienceMs);
    expectNothingChanged();
    // Five attempts, four waits, one line when the update gives up on it.
    const auto messages = log();
    EXPECT_EQ(std::count(messages.begin(), messages.end(),
                         "解压失败:" + appDir + "/bin/core.dll无法更新  lasterr:32"),
              1);
    expectExtractionFailure("upzip file err = 32");
    EXPECT_EQ(std::count(sleepsAsked.begin(), sleepsAsked.end(), 3000u), 4);
    EXPECT_TRUE(logged("更新已回滚:" + appDir));
    EXPECT_EQ(finishedEntries(), 5) << "the entries before it were put in place, then taken back";
}

TEST_F(FailingPackage, AVersionMissingFromTheNewConfigurationChangesNothing) {
    givePackageEndingWith(file("z.txt", "z"),
                          testzip::build(testzip::Archive({file("Config/veconfig.ini", "[x]\n")})));
    EXPECT_FALSE(runSteps());
    expectNothingChanged();
    EXPECT_TRUE(logged("版本号缺失:" + dataDir + "/Config/veconfig.ini"));
    EXPECT_TRUE(logged("更新已回滚:" + appDir));
    expectOneErrorBox("解压异常", "版本号缺失，详情请查看软件日志");
}

TEST_F(UpdateSteps, APackageThatDoesNotFitChangesNothing) {
    SmallDisk disk(appDir);
    if (!disk.mounted)
        GTEST_SKIP() << "no right to mount a small file system here";
    writeFile(u8path(appDir + "/bin/app.dll"), "app 1");
    givePackage(testzip::Archive(
        {file("bin/app.dll", "app 2"), file("big.dat", std::string(256 * 1024, 'x'))}));

    EXPECT_FALSE(runSteps());
    // ERROR_DISK_FULL, found before the first byte is written.
    EXPECT_TRUE(logged("解压失败:" + dataDir + "/update.zip----->" + appDir +
                       "  lasterr:disk space err = 112"))
        << readFile(u8path(machine.logPath()));
    EXPECT_EQ(readFile(u8path(appDir + "/bin/app.dll")), "app 1");
    EXPECT_FALSE(fs::exists(u8path(appDir + "/big.dat")));
    EXPECT_TRUE(namesStartingWith(appDir, "~velmar-update").empty());
    expectOneErrorBox("解压失败", appDir + " 正在使用，无法执行更新操作， 详情请查看软件日志");
}
