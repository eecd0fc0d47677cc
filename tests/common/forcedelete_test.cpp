// Forced deletion through a hidden batch file, run by the system's command
// interpreter (the stand-in's, or cmd.exe under Wine): only batch files it
// has just written run, and never for a folder.
#include "forcedelete.h"
#include "installlog.h"
#include "paths.h"
#include "platform.h"
#include "process.h"
#include "qtsupport.h"
#include "testsupport.h"

#include <QString>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

using namespace testsupport;

namespace {

const bool standin = platform::programSuffix[0] == '\0';

std::mutex sleepsGuard;
std::vector<uint32_t> sleepsAsked;

// Waits are recorded and shortened twentyfold: the batch files still need a
// little real time to run.
void recordedSleep(uint32_t ms) {
    {
        std::lock_guard<std::mutex> lock(sleepsGuard);
        sleepsAsked.push_back(ms);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms / 20));
}

class ForcedDeletion : public ::testing::Test {
protected:
    void SetUp() override {
        sleepsAsked.clear();
        previousSleep = platform::setSleepFunction(recordedSleep);
        setLogFilePath(QString::fromStdString(temp / "log.txt"));
    }
    void TearDown() override {
        platform::setSleepFunction(previousSleep);
        setLogFilePath(QStringLiteral("install.log"));
    }

    std::vector<std::string> logMessages() const {
        return localLogMessages(u8path(temp / "log.txt"));
    }

    TempDir temp;
    platform::SleepFunction previousSleep = nullptr;
};

} // namespace

TEST_F(ForcedDeletion, AMissingFileCountsAsDeletedAtOnce) {
    const std::string path = temp / "folder/missing.dll";
    fs::create_directories(u8path(temp / "folder"));
    EXPECT_TRUE(forceDeleteFile(QString::fromStdString(path)));
    EXPECT_EQ(logMessages(),
              (std::vector<std::string>{"强制删除文件:" + path, "删除文件" + path + "成功"}));
    EXPECT_TRUE(sleepsAsked.empty());
    // The batch file was written there, ran, and removed itself.
    EXPECT_TRUE(waitFor("the batch file to remove itself",
                        [&] { return !fs::exists(u8path(temp / "folder/auto_delete.bat")); }));
}

TEST_F(ForcedDeletion, AFileTheBatchCanDeleteIsGoneOnALaterAttempt) {
    const std::string path = temp / "old files/app.dll";
    writeFile(u8path(path), "locked once");
    EXPECT_TRUE(forceDeleteFile(QString::fromStdString(path)));
    EXPECT_FALSE(fs::exists(u8path(path)));
    EXPECT_EQ(logMessages().back(), "删除文件" + path + "成功");
    for (uint32_t ms : sleepsAsked)
        EXPECT_EQ(ms, 1500u);
}

TEST_F(ForcedDeletion, AFileInUseSurvivesSixAttempts) {
    const std::string path = temp / "in use.dll";
    writeFile(u8path(path), "busy");
    Process holder = Process::start({programPath("hold"), "file", path, helperSeconds});
    ASSERT_TRUE(holder.waitForLine("held"));

    EXPECT_FALSE(forceDeleteFile(QString::fromStdString(path)));
    EXPECT_EQ(sleepsAsked, (std::vector<uint32_t>(5, 1500)));
    EXPECT_EQ(logMessages(),
              (std::vector<std::string>{"强制删除文件:" + path, "删除文件" + path + "失败"}));
    // The last batch file runs on its own after the attempts gave up; were the
    // holder let go before it ran, it would delete the file. It removes
    // itself last.
    EXPECT_TRUE(waitFor("the batch file to remove itself",
                        [&] { return !fs::exists(u8path(temp / "auto_delete.bat")); }));
    holder.terminate();
    holder.wait(patienceMs);
    EXPECT_EQ(readFile(u8path(path)), "busy");
}

TEST_F(ForcedDeletion, AShortcutInUseIsNotTakenForGone) {
    // Its target is gone, as after the uninstaller removed the installation.
    const std::string link = temp / "Orvane.lnk";
    writeFile(u8path(link), "shortcut to a removed program");
    Process holder = Process::start({programPath("hold"), "file", link, helperSeconds});
    ASSERT_TRUE(holder.waitForLine("held"));

    EXPECT_FALSE(forceDeleteFile(QString::fromStdString(link)));
    EXPECT_EQ(logMessages().back(), "删除文件" + link + "失败");
    EXPECT_TRUE(waitFor("the batch file to remove itself",
                        [&] { return !fs::exists(u8path(temp / "auto_delete.bat")); }));
    holder.terminate();
    holder.wait(patienceMs);
    EXPECT_TRUE(fs::exists(u8path(link)));
}

TEST_F(ForcedDeletion, PercentSignsInThePathNeverNameAnotherFile) {
    // cmd.exe would read "%VELMAR_DECOY%" as a variable: the batch must
    // delete exactly the named file, never the one the variable spells.
    setEnv("VELMAR_DECOY", "decoy");
    const std::string named = temp / "x%VELMAR_DECOY%.txt";
    const std::string decoy = temp / "xdecoy.txt";
    writeFile(u8path(named), "named");
    writeFile(u8path(decoy), "decoy");

    // What the batch deleted is judged once it has run and removed itself: on
    // a loaded machine the command interpreter may start only after the
    // attempts have ended, and that is not what this case is about.
    forceDeleteFile(QString::fromStdString(named));
    EXPECT_TRUE(waitFor("the batch file to delete " + named + " and itself", [&] {
        return !fs::exists(u8path(named)) && !fs::exists(u8path(temp / "auto_delete.bat"));
    }));
    EXPECT_EQ(readFile(u8path(decoy)), "decoy");
    setEnv("VELMAR_DECOY", nullptr);
}

TEST_F(ForcedDeletion, AFolderFailsAtOnceAndKeepsItsFiles) {
    // cmd.exe's del given a folder deletes the files inside it.
    const std::string folder = temp / "bin/plugins.d";
    writeFile(u8path(folder + "/codec.dll"), "keep");
    EXPECT_FALSE(forceDeleteFile(QString::fromStdString(folder)));
    EXPECT_EQ(logMessages(),
              (std::vector<std::string>{"强制删除文件:" + folder, "删除文件" + folder + "失败"}));
    EXPECT_TRUE(sleepsAsked.empty());
    EXPECT_FALSE(fs::exists(u8path(temp / "bin/auto_delete.bat")));
    // Give a wrong deletion the time to happen before looking.
    EXPECT_FALSE(eventually([&] { return !fs::exists(u8path(folder + "/codec.dll")); }, 1500));
}

TEST_F(ForcedDeletion, ABatchFileItDidNotWriteIsNeverRun) {
    const std::string marker = temp / "outside/marker.txt";
    const std::string victim = temp / "outside/victim.txt";
    writeFile(u8path(marker), "keep");
    writeFile(u8path(victim), "keep");
    const std::string planted =
        "del \"" + nativePath(QString::fromStdString(marker)).toStdString() + "\" /q /f\r\n";

    // A read-only one cannot be replaced: none runs, and the result is the
    // existence test's alone.
    const std::string readOnly = temp / "read-only/auto_delete.bat";
    writeFile(u8path(readOnly), planted);
    fs::permissions(u8path(readOnly), fs::perms::owner_read);
    EXPECT_TRUE(forceDeleteFile(QString::fromStdString(temp / "read-only/missing.dll")));
    const std::string present = temp / "read-only/present.dll";
    writeFile(u8path(present), "x");
    EXPECT_FALSE(deleteByBatch(QString::fromStdString(present)));
    EXPECT_EQ(readFile(u8path(readOnly)), planted);

    // A link in its place is removed as a link and never written through.
    const std::string linked = temp / "linked/auto_delete.bat";
    fs::create_directories(u8path(temp / "linked"));
    const bool linkMade = makeLink(linked, victim, false);
    if (linkMade) {
        EXPECT_TRUE(forceDeleteFile(QString::fromStdString(temp / "linked/missing.dll")));
    }

    // Give a planted batch the time to run before looking.
    EXPECT_FALSE(eventually([&] { return !fs::exists(u8path(marker)); }, 1500));
    EXPECT_EQ(readFile(u8path(victim)), "keep");
    EXPECT_TRUE(fs::exists(u8path(present)));
}

TEST_F(ForcedDeletion, WhereOthersMayWriteTheBatchIsWrittenIntoOurOwnTemporaryFolder) {
    // The data folder lies in the all-users documents folder.
    std::string documents;
    const std::string root = temp / "machine";
    if (standin) {
        setEnv("VELMAR_SYSTEM_ROOT", root.c_str());
        fs::create_directories(u8path(root + "/Users/Public/Documents"));
    }
    ASSERT_TRUE(platform::commonDocumentsFolder(documents));
    const std::string data = documents + "/" + uniqueName("velmar-forced");
    const std::string marker = temp / "marker.txt";
    writeFile(u8path(marker), "keep");
    const std::string planted =
        "del \"" + nativePath(QString::fromStdString(marker)).toStdString() + "\" /q /f\r\n";
    writeFile(u8path(data + "/auto_delete.bat"), planted);
    writeFile(u8path(data + "/update.zip"), "package");

    EXPECT_TRUE(forceDeleteFile(QString::fromStdString(data + "/update.zip")));
    EXPECT_FALSE(fs::exists(u8path(data + "/update.zip")));
    EXPECT_EQ(readFile(u8path(data + "/auto_delete.bat")), planted);
    EXPECT_EQ(readFile(u8path(marker)), "keep");
    // The batch files in the temporary folder removed themselves.
    std::string temporary;
    ASSERT_TRUE(platform::temporaryFolder(temporary));
    EXPECT_TRUE(waitFor("the batch files in the temporary folder to remove themselves", [&] {
        for (const auto &entry : fs::directory_iterator(u8path(temporary)))
            if (utf8(entry.path().filename()).rfind("auto_delete-", 0) == 0)
                return false;
        return true;
    }));
    std::error_code ignored;
    fs::remove_all(u8path(data), ignored);
    if (standin)
        setEnv("VELMAR_SYSTEM_ROOT", nullptr);
}

TEST_F(ForcedDeletion, OnlyNotFoundCountsAsGone) {
    // A path the system cannot look at (here one with a name longer than any
    // file system holds) may still name a file that is there: a file waiting
    // for its deletion answers with access denied.
    if (std::getenv("VELMAR_UNDER_WINE"))
        GTEST_SKIP() << "Wine answers a name longer than a file system holds with \"not found\""
                        " once the path carries the long-path prefix; Windows says the name"
                        " is invalid";
    const std::string path = temp / std::string(300, 'a');
    EXPECT_FALSE(forceDeleteFile(QString::fromStdString(path)));
    EXPECT_EQ(logMessages().back(), "删除文件" + path + "失败");
    EXPECT_EQ(sleepsAsked.size(), 5u);
}

TEST_F(ForcedDeletion, ABareFileNameHasNoFolderToWriteTheBatchInto) {
    const QString name = QStringLiteral("velmar-surely-not-here.tmp");
    EXPECT_TRUE(deleteByBatch(name));
    EXPECT_FALSE(fs::exists(u8path(name.toStdString() + "/auto_delete.bat")));
}
