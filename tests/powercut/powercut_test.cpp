// Power cuts under the update. The stand-in machine lives on powercutfs,
// which keeps what was not flushed apart and drops it at the cut. The sweep
// counts the writes of one update, then for each cut point k runs the
// update on a fresh machine, cuts the power after its k-th write, starts the
// updater again on what survived, and checks that the installation, the data
// folder, DisplayVersion and update.zip are all old or all new, that no
// start was refused, that no work entry is left and that the user's
// configuration is whole. See README beside this file for the knobs.
#include "machine.h"
#include "testzip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

const std::string installPart = "Program Files (x86)/Orvane Client/velmar";
const std::string dataPart = "Users/Public/Documents/velmar";
const std::string versionPart =
    "Registry/HKEY_LOCAL_MACHINE/SOFTWARE/Microsoft/Windows/CurrentVersion/Uninstall/velmar/"
    "DisplayVersion";
const std::string refusal = "上次更新未能恢复，详情请查看软件日志";

long setting(const char *name, long fallback) {
    const char *value = std::getenv(name);
    return value && *value ? std::atol(value) : fallback;
}

// A machine on its own mount of powercutfs, over a disk of its own.
class Bench {
public:
    Process mount(std::vector<std::string> options) {
        std::vector<std::string> arguments{programPath("powercutfs")};
        arguments.insert(arguments.end(), options.begin(), options.end());
        arguments.insert(arguments.end(), {backing, machine.root()});
        return Process::start(arguments);
    }
    // Unmounts; with a cut, what survived becomes the disk.
    bool unmount(Process &fuse, bool cut) {
        fuse.terminate();
        if (fuse.wait(60000) != 0 || (cut && !fs::exists(u8path(survivors))))
            return false;
        if (cut) {
            fs::remove_all(u8path(backing));
            fs::rename(u8path(survivors), u8path(backing));
        }
        return true;
    }
    void freshDisk(const std::string &layout) {
        fs::remove_all(u8path(backing));
        fs::copy(u8path(layout), u8path(backing),
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }
    Process startUpdate() {
        Process::Options options = machine.options(100);
        // Kept off the disk under test: they are the test's records.
        options.environment["VELMAR_TEST_MSGBOX_LOG"] = disk / "boxes.txt";
        options.environment["VELMAR_TEST_SLEEP_LOG"] = disk / "sleeps.txt";
        return Process::start({machine.path(installPart + "/update")}, options);
    }
    std::string path(const std::string &relative) const { return backing + "/" + relative; }

    Machine machine; // its root is the mount point
    TempDir disk;
    const std::string backing = disk / "disk";
    const std::string survivors = disk / "survivors";
};

class PowerCut : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists("/dev/fuse"))
            GTEST_SKIP() << "no /dev/fuse: nothing to cut the power under";
        fs::create_directories(u8path(bench.backing));
        Process probe = bench.mount({});
        if (!probe.waitForLine("ready", 20000))
            GTEST_SKIP() << "powercutfs cannot mount here (mounting FUSE takes root or fusermount3)";
        bench.unmount(probe, false);
    }

    Bench bench;
};

// The model itself, on a few files: what was flushed stays, what was not
// goes, and a machine without power answers nothing.
TEST_F(PowerCut, TheDiskKeepsOnlyWhatWasFlushed) {
    writeFile(u8path(bench.path("old.txt")), "old");
    writeFile(u8path(bench.path("renamed.txt")), "renamed");
    Process fuse = bench.mount({"--survivors", bench.survivors});
    ASSERT_TRUE(fuse.waitForLine("ready", 20000));
    const std::string root = bench.machine.root();
    const auto flush = [](const std::string &path) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0) << path;
        EXPECT_EQ(::fsync(fd), 0) << path;
        ::close(fd);
    };
    ASSERT_EQ(::mkdir((root + "/folder").c_str(), 0755), 0);
    flush(root);
    writeFile(u8path(root + "/folder/kept.txt"), "kept");
    flush(root + "/folder/kept.txt");
    writeFile(u8path(root + "/folder/empty.txt"), "data not flushed");
    flush(root + "/folder");
    writeFile(u8path(root + "/folder/absent.txt"), "folder not flushed");
    flush(root + "/folder/absent.txt");
    writeFile(u8path(root + "/old.txt"), "new, not flushed");
    fs::rename(u8path(root + "/renamed.txt"), u8path(root + "/renamed-again.txt"));
    ASSERT_TRUE(bench.unmount(fuse, true));

    const std::map<std::string, std::string> expected{
        {"folder", "<folder>"}, {"folder/kept.txt", "kept"}, {"folder/empty.txt", ""},
        {"old.txt", "old"},     {"renamed.txt", "renamed"},
    };
    EXPECT_EQ(treeOf(bench.backing), expected);

    Process cut = bench.mount({"--survivors", bench.survivors, "--cut-after", "1"});
    ASSERT_TRUE(cut.waitForLine("ready", 20000));
    // Made, but its answer comes after the cut (the look at what was made
    // fails): either way the folder was never flushed.
    ::mkdir((root + "/first").c_str(), 0755);
    ASSERT_TRUE(cut.waitForLine("cut", 20000));
    EXPECT_NE(::mkdir((root + "/second").c_str(), 0755), 0);
    EXPECT_EQ(errno, EIO);
    ASSERT_TRUE(bench.unmount(cut, true));
    EXPECT_FALSE(fs::exists(u8path(bench.path("first")))) << "a folder never flushed";
}

// The machine before and after the update, and the package between.
struct Update {
    std::string layout, package;
    std::map<std::string, std::string> oldInstall, oldData, newInstall, newData;
};

// What one cut point left after the next start: "" when all old or all new.
std::string checkCut(Bench &bench, const Update &update, long k, bool &isNew) {
    bench.freshDisk(update.layout);
    {
        Process fuse =
            bench.mount({"--survivors", bench.survivors, "--cut-after", std::to_string(k)});
        if (!fuse.waitForLine("ready", 20000))
            return "not mounted";
        Process updater = bench.startUpdate();
        if (!eventually([&] { return fuse.waitForLine("cut", 10) || !updater.running(); }, 300000))
            return "neither the cut nor the updater's end came";
        updater.kill();
        updater.wait(60000);
        if (!bench.unmount(fuse, true))
            return "no survivors";
    }
    // A package that survived is whole; emptied, it stops the next start
    // after its recovery, which is all that start is to do.
    const std::string package = bench.path(dataPart + "/update.zip");
    if (fs::exists(u8path(package))) {
        if (readFile(u8path(package)) != update.package)
            return "package torn";
        fs::resize_file(u8path(package), 0);
    }
    fs::remove(u8path(bench.disk / "boxes.txt"));
    {
        Process fuse = bench.mount({});
        if (!fuse.waitForLine("ready", 20000))
            return "not mounted again";
        Process updater = bench.startUpdate();
        if (updater.wait(120000) != 0 || !bench.unmount(fuse, false))
            return "the next start did not end";
    }
    std::string faults;
    for (const auto &box : boxRecords(bench.disk / "boxes.txt")) {
        if (box.text == refusal)
            faults += "; the next start refused";
    }
    const auto install = treeOf(bench.path(installPart));
    const auto data = treeOf(bench.path(dataPart));
    const std::string version = readFile(u8path(bench.path(versionPart)));
    const bool packageGone = !fs::exists(u8path(package));
    isNew =
        install == update.newInstall && data == update.newData && version == "2.0.0" && packageGone;
    const bool isOld = install == update.oldInstall && data == update.oldData &&
                       version == "1.0.0" && !packageGone;
    if (!isOld && !isNew)
        faults += std::string("; installation ") +
                  (install == update.oldInstall   ? "old"
                   : install == update.newInstall ? "new"
                                                  : "mixed") +
                  ", data folder " +
                  (data == update.oldData   ? "old"
                   : data == update.newData ? "new"
                                            : "mixed") +
                  ", version " + version + ", package " + (packageGone ? "gone" : "there");
    for (const auto &part : {installPart, dataPart}) {
        for (const auto &entry : workEntries(bench.path(part)))
            faults += "; left: " + entry;
    }
    if (!data.count("Config/user.ini") || data.at("Config/user.ini") != "[user]\nname=demo\n")
        faults += "; the user's configuration is not whole";
    return faults;
}

TEST_F(PowerCut, AtEveryWriteOfAnUpdateLeavesItAllOldOrAllNewAfterTheNextStart) {
    // The machine: installed files of which the package replaces half,
    // the user's own configuration beside the one the package brings.
    const int entries = static_cast<int>(setting("VELMAR_POWERCUT_ENTRIES", 30));
    Update update;
    update.layout = bench.disk / "layout";
    Process script =
        Process::start({std::string(std::getenv("VELMAR_SOURCE_DIR")) + "/tools/standin/mkmachine.sh",
                        "--bin", std::getenv("VELMAR_BIN_DIR"), update.layout});
    ASSERT_EQ(script.wait(60000), 0);
    const std::string install = update.layout + "/" + installPart;
    const std::string data = update.layout + "/" + dataPart;
    // Nothing follows the updater here: reseat and the client are not
    // what is tested, and would write beside the next start.
    fs::remove(u8path(install + "/exeinfo/reseat"));
    std::vector<testzip::Entry> files;
    for (int i = 0; i < entries; ++i) {
        const std::string name = "bin/f" + std::to_string(i) + ".dll";
        if (i % 2 == 0)
            writeFile(u8path(install + "/" + name), "old " + name);
        files.emplace_back(name, "new " + name);
    }
    files.emplace_back("docs/readme.txt", "Orvane 2.0.0\n");
    files.push_back(testzip::folder("plugins/"));
    files.emplace_back("plugins/codec/codec.dll", "codec 2.0.0");
    files.emplace_back("Config.zip",
                       testzip::build(testzip::Archive({
                           {"Config/veconfig.ini", "[Server]\nVersion=2.0.0\n"},
                           {"Config/servers.ini", "[servers]\nmain=orvane.example\n"},
                       })),
                       0);
    update.package = testzip::build(testzip::Archive(files));
    writeFile(u8path(data + "/update.zip"), update.package);
    writeFile(u8path(data + "/Config/user.ini"), "[user]\nname=demo\n");
    update.oldInstall = treeOf(install);
    update.oldData = treeOf(data);

    // The whole update once, to count its writes and see it all new.
    bench.freshDisk(update.layout);
    const std::string countFile = bench.disk / "count";
    {
        Process fuse = bench.mount({"--count-file", countFile});
        ASSERT_TRUE(fuse.waitForLine("ready", 20000));
        Process updater = bench.startUpdate();
        ASSERT_EQ(updater.wait(300000), 0);
        ASSERT_TRUE(bench.unmount(fuse, false));
    }
    const long writes = std::atol(readFile(u8path(countFile)).c_str());
    ASSERT_GT(writes, entries);
    update.newInstall = treeOf(bench.path(installPart));
    update.newData = treeOf(bench.path(dataPart));
    ASSERT_EQ(readFile(u8path(bench.path(versionPart))), "2.0.0");
    ASSERT_NE(update.newInstall, update.oldInstall);
    ASSERT_NE(update.newData, update.oldData);
    ASSERT_EQ(update.newData.at("Config/user.ini"), "[user]\nname=demo\n");

    // The cut points: every write, or a sample spread over all of them
    // (from a random start, printed), the last write and a cut after the
    // updater has ended (0) always among them.
    std::vector<long> points;
    std::istringstream chosen(std::getenv("VELMAR_POWERCUT_AT") ? std::getenv("VELMAR_POWERCUT_AT")
                                                                : "");
    for (std::string point; std::getline(chosen, point, ',');)
        points.push_back(std::atol(point.c_str()));
    if (points.empty()) {
        const long sample = setting("VELMAR_POWERCUT_POINTS", 100);
        const long stride = sample <= 0 || sample >= writes ? 1 : writes / sample;
        std::mt19937 random(std::random_device{}());
        const long first = std::uniform_int_distribution<long>(1, stride)(random);
        for (long k = first; k < writes; k += stride)
            points.push_back(k);
        points.push_back(writes);
        points.push_back(0);
    }
    // Most of a run is the window's fixed waits: machines side by side.
    const long benches = std::max(1L, setting("VELMAR_POWERCUT_MACHINES", 6));
    std::printf("%ld writes; cutting after %zu of them, from %ld on, on %ld machines\n", writes,
                points.size(), points.front(), benches);
    std::fflush(stdout);

    std::mutex lock;
    std::size_t next = 0;
    int old = 0, fresh = 0, inconsistent = 0;
    const auto work = [&](Bench &mine) {
        for (;;) {
            long k;
            {
                std::lock_guard<std::mutex> held(lock);
                if (next == points.size())
                    return;
                k = points[next++];
            }
            bool isNew = false;
            const std::string faults = checkCut(mine, update, k, isNew);
            std::lock_guard<std::mutex> held(lock);
            EXPECT_EQ(faults, "") << "cut after write " << k;
            (!faults.empty() ? inconsistent : isNew ? fresh : old) += 1;
        }
    };
    std::vector<std::unique_ptr<Bench>> others;
    std::vector<std::thread> threads;
    for (long i = 1; i < benches; ++i) {
        others.push_back(std::make_unique<Bench>());
        threads.emplace_back(work, std::ref(*others.back()));
    }
    work(bench);
    for (auto &thread : threads)
        thread.join();
    std::printf("power cuts: %zu points of %ld writes: %d all old, %d all new, %d inconsistent\n",
                points.size(), writes, old, fresh, inconsistent);
}

} // namespace
