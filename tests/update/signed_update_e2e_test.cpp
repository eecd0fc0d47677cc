// An updater built with a publisher's key (update_signed, with the test
// build's own key) on a stand-in machine: it applies a package that the key
// signed, and refuses every other one before anything is written.
#include "banners.h"
#include "machine.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

using namespace testsupport;

namespace {

const std::string installFolder = "Program Files (x86)/Orvane Client/velmar";
const std::string uninstallKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\velmar";

// Every file of the machine with its bytes, except what a run always leaves:
// the log, the test build's records and the mutex files.
std::map<std::string, std::string> machineFiles(const Machine &machine) {
    std::map<std::string, std::string> files;
    const fs::path root = u8path(machine.root());
    for (const auto &item : fs::recursive_directory_iterator(root)) {
        const std::string name = fs::relative(item.path(), root).generic_u8string();
        if (name == "boxes.txt" || name == "sleeps.txt" || name.rfind("Mutexes", 0) == 0 ||
            name == "Users/Public/Documents/velmarinstall.txt")
            continue;
        files[name] = item.is_directory() ? "/" : readFile(item.path());
    }
    return files;
}

// Where the end-of-central-directory record begins.
std::size_t endRecord(const std::string &zip) {
    const std::size_t end = zip.rfind(std::string("PK\x05\x06", 4));
    EXPECT_NE(end, std::string::npos);
    return end;
}

// The end record's central directory offset.
std::size_t centralOffset(const std::string &zip) {
    const std::size_t end = endRecord(zip);
    std::size_t offset = 0;
    for (int i = 3; i >= 0; --i)
        offset = offset << 8 | static_cast<unsigned char>(zip[end + 16 + i]);
    return offset;
}

int pkgsign(const std::vector<std::string> &arguments) {
    std::vector<std::string> command = {programPath("pkgsign")};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return Process::start(command).wait(patienceMs);
}

// The secret half of the key built into update_signed.
std::string testKey() {
    return std::getenv("VELMAR_TEST_SIGNING_KEY");
}

class SignedUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        Process script =
            Process::start({std::string(std::getenv("VELMAR_SOURCE_DIR")) + "/tools/standin/mkmachine.sh",
                            "--bin", std::getenv("VELMAR_BIN_DIR"), "--package", machine.root()});
        ASSERT_TRUE(script.endsWith(0));
        machine.installProgram("update_signed", installFolder, "update");
    }
    void TearDown() override { stopClients(install + "/exeinfo"); }

    int runUpdate() {
        Process update = Process::start({install + "/update"}, machine.options(10));
        return update.wait(patienceMs);
    }

    Machine machine;
    const std::string install = machine.path(installFolder);
    const std::string data = machine.documents() + "/velmar";
    const std::string package = data + "/update.zip";
};

} // namespace

TEST_F(SignedUpdate, APackageSignedByThePublisherIsApplied) {
    ASSERT_EQ(pkgsign({"sign", testKey(), package, "2.0.0"}), 0);
    EXPECT_EQ(runUpdate(), 0);
    EXPECT_TRUE(machine.boxes().empty());
    EXPECT_EQ(readFile(u8path(install + "/bin/app.dll")), "app 2.0.0\n");
    EXPECT_EQ(registryValue(machine, uninstallKey, "DisplayVersion"), "2.0.0");
    // The package was let go of before it was deleted.
    EXPECT_FALSE(fs::exists(u8path(package)));
    EXPECT_TRUE(waitForClientStart(install + "/exeinfo"));
}

TEST_F(SignedUpdate, AnUpdaterWithoutAKeyTakesASignedPackageAsAnyOther) {
    machine.installProgram("update", installFolder);
    ASSERT_EQ(pkgsign({"sign", testKey(), package, "2.0.0"}), 0);
    EXPECT_EQ(runUpdate(), 0);
    EXPECT_TRUE(machine.boxes().empty());
    EXPECT_EQ(readFile(u8path(install + "/bin/app.dll")), "app 2.0.0\n");
    EXPECT_FALSE(fs::exists(u8path(package)));
}

// A signed package of an older release, put back once a newer one is
// installed, does not take the installation back.
TEST_F(SignedUpdate, AnOlderSignedPackageIsRefusedWithNothingWritten) {
    ASSERT_EQ(pkgsign({"sign", testKey(), package, "2.0.0"}), 0);
    writeFile(u8path(machine.path("Registry/HKEY_LOCAL_MACHINE/SOFTWARE/Microsoft/Windows/"
                                  "CurrentVersion/Uninstall/velmar/DisplayVersion")),
              "2.0.1");
    const auto before = machineFiles(machine);

    EXPECT_EQ(runUpdate(), 0);
    expectFailedRun(machine.logMessages(), machine.boxes(), banner::updateStart,
                    "更新包版本低于已安装版本:" + package, "update---lasterr：", banner::updateEnd,
                    "更新异常", "更新包版本低于已安装版本，详情请查看软件日志");
    EXPECT_EQ(machineFiles(machine), before);
    EXPECT_TRUE(clientStarts(install + "/exeinfo").empty());
}

int shell(const std::string &command) {
    return Process::start({"/bin/sh", "-c", command}).wait(patienceMs);
}

std::string quoted(const std::string &text) {
    return "'" + text + "'";
}

// Only the version the publisher signed decides what is recorded and what
// is too old; a Config.zip is unpacked only when this package brings it, and
// must agree with the signature.
TEST_F(SignedUpdate, TheSignedVersionAloneDecides) {
    const struct {
        const char *name;
        std::string signedVersion; // "": signed without a version
        bool withConfig;           // the package keeps its Config.zip (2.0.0)
        bool staleConfig;          // an earlier update's Config.zip (0.9.0) lies installed
        std::string installed, usersVersion;
        std::string box; // "": the update goes through
        std::string displayVersion, dataVersion;
    } cases[] = {
        {"with its Config.zip", "2.0.0", true, false, "1.0.0", "1.0.0", "", "2.0.0", "2.0.0"},
        {"the user's veconfig.ini says 9.9.9", "2.1.0", false, false, "1.0.0", "9.9.9", "", "2.1.0",
         "9.9.9"},
        {"a stale Config.zip installed", "2.0.0", false, true, "1.0.0", "1.0.0", "", "2.0.0",
         "1.0.0"},
        {"older than installed", "1.5.0", false, true, "2.0.0", "1.0.0",
         "更新包版本低于已安装版本，详情请查看软件日志", "2.0.0", "1.0.0"},
        {"Config.zip disagrees", "2.5.0", true, false, "1.0.0", "1.0.0",
         "更新包版本不一致，详情请查看软件日志", "1.0.0", "1.0.0"},
        {"no signed version", "", true, false, "1.0.0", "1.0.0",
         "更新包签名缺少版本号，详情请查看软件日志", "1.0.0", "1.0.0"},
    };
    const std::string registry = machine.path(
        "Registry/HKEY_LOCAL_MACHINE/SOFTWARE/Microsoft/Windows/CurrentVersion/Uninstall/velmar/"
        "DisplayVersion");
    for (const auto &version : cases) {
        SCOPED_TRACE(version.name);
        fs::remove_all(u8path(machine.root()));
        SetUp();
        if (!version.withConfig) {
            ASSERT_EQ(shell("zip -q -d " + quoted(package) + " Config.zip"), 0);
        }
        if (version.staleConfig) {
            writeFile(u8path(machine.path("stale/Config/veconfig.ini")),
                      "[Server]\nVersion=0.9.0\n");
            ASSERT_EQ(shell("cd " + quoted(machine.path("stale")) + " && zip -q -r " +
                            quoted(install + "/Config.zip") + " Config"),
                      0);
        }
        writeFile(u8path(registry), version.installed);
        writeFile(u8path(data + "/Config/veconfig.ini"),
                  "[Server]\nVersion=" + version.usersVersion + "\n");
        ASSERT_EQ(pkgsign(version.signedVersion.empty()
                              ? std::vector<std::string>{"sign-unversioned", testKey(), package}
                              : std::vector<std::string>{"sign", testKey(), package,
                                                         version.signedVersion}),
                  0);
        const auto before = machineFiles(machine);

        EXPECT_EQ(runUpdate(), 0);
        const auto boxes = machine.boxes();
        if (version.box.empty()) {
            EXPECT_TRUE(boxes.empty());
            EXPECT_EQ(readFile(u8path(install + "/bin/app.dll")), "app 2.0.0\n");
            EXPECT_TRUE(waitForClientStart(install + "/exeinfo"));
            stopClients(install + "/exeinfo");
        } else {
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(boxes[0].text, version.box);
            EXPECT_EQ(machineFiles(machine), before);
        }
        EXPECT_EQ(readFile(u8path(registry)), version.displayVersion);
        EXPECT_EQ(readFile(u8path(data + "/Config/veconfig.ini")),
                  "[Server]\nVersion=" + version.dataVersion + "\n");
    }
}

// How a package is spoilt, given the signed package's bytes and the path to
// spoil (the package is signed with the test key first).
struct Spoiling {
    const char *name;
    void (*spoil)(const std::string &signedPackage, const std::string &path,
                  const std::string &folder);
};

void flipAt(const std::string &signedPackage, const std::string &path, std::size_t at) {
    std::string bytes = signedPackage;
    bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
    writeFile(u8path(path), bytes);
}

class RefusedPackage : public SignedUpdate, public ::testing::WithParamInterface<Spoiling> {};

TEST_P(RefusedPackage, IsRefusedWithNothingWritten) {
    ASSERT_EQ(pkgsign({"sign", testKey(), package, "2.0.0"}), 0);
    GetParam().spoil(readFile(u8path(package)), package, machine.path("keys"));
    const auto before = machineFiles(machine);

    EXPECT_EQ(runUpdate(), 0);
    expectFailedRun(machine.logMessages(), machine.boxes(), banner::updateStart,
                    "更新包签名无效:" + package, "update---lasterr：", banner::updateEnd,
                    "更新异常", "更新包签名无效，详情请查看软件日志");
    EXPECT_EQ(machineFiles(machine), before);
    EXPECT_EQ(readFile(u8path(install + "/bin/app.dll")), "app 1.0.0\n");
    // reseat would have logged by now.
    EXPECT_FALSE(eventually([&] { return machine.logMessages().size() > 4; }, 1000));
    EXPECT_TRUE(clientStarts(install + "/exeinfo").empty());
}

INSTANTIATE_TEST_SUITE_P(
    SignedUpdate, RefusedPackage,
    ::testing::Values(
        Spoiling{
            "Unsigned",
            [](const std::string &signedPackage, const std::string &path, const std::string &) {
                // The archive as zip made it: the comment length 0 and
                // no comment.
                std::string bytes = signedPackage.substr(0, endRecord(signedPackage) + 22);
                bytes[bytes.size() - 2] = bytes[bytes.size() - 1] = 0;
                writeFile(u8path(path), bytes);
            }},
        Spoiling{"SignedByAnotherKey",
                 [](const std::string &, const std::string &path, const std::string &folder) {
                     fs::create_directories(u8path(folder));
                     ASSERT_EQ(pkgsign({"keygen", folder + "/other.key"}), 0);
                     ASSERT_EQ(pkgsign({"sign", folder + "/other.key", path, "2.0.0"}), 0);
                 }},
        Spoiling{"FirstByteChanged", [](const std::string &bytes, const std::string &path,
                                        const std::string &) { flipAt(bytes, path, 0); }},
        Spoiling{"MiddleByteChanged",
                 [](const std::string &bytes, const std::string &path, const std::string &) {
                     flipAt(bytes, path, bytes.size() / 2);
                 }},
        Spoiling{"LastDataByteChanged",
                 [](const std::string &bytes, const std::string &path, const std::string &) {
                     flipAt(bytes, path, centralOffset(bytes) - 1);
                 }},
        Spoiling{"CentralDirectoryNameChanged",
                 [](const std::string &bytes, const std::string &path, const std::string &) {
                     flipAt(bytes, path, centralOffset(bytes) + 46);
                 }},
        Spoiling{"SignatureChanged",
                 [](const std::string &bytes, const std::string &path, const std::string &) {
                     flipAt(bytes, path, bytes.size() - 1);
                 }}),
    [](const ::testing::TestParamInfo<Spoiling> &info) { return std::string(info.param.name); });
