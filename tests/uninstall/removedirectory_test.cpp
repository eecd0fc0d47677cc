// Removing the installation tree: what goes, what stays and keeps its
// folders, what the bar is told, and the path clean-up before it all. These
// hold on both builds.
#include "installlog.h"
#include "paths.h"
#include "platform.h"
#include "process.h"
#include "qtsupport.h"
#include "reports.h"
#include "testsupport.h"
#include "uninstall/runupdate.h"

#include <QFile>

#include <gtest/gtest.h>

#include <memory>
#include <utility>

using namespace testsupport;
using uninstalltest::Report;
using uninstalltest::ReportRecorder;

namespace {

std::string normalized(const QString &path) {
    QString result = path;
    normalizePath(result);
    return result.toStdString();
}

std::string native(const char *path) {
    return nativePath(QString::fromUtf8(path)).toStdString();
}

class RemovingFolders : public ::testing::Test {
protected:
    void SetUp() override {
        setLogFilePath(QString::fromStdString(temp / "log.txt"));
        // A fresh worker: its file count starts anew.
        worker = std::make_unique<RunUpdate>(QString());
        recorder = std::make_unique<ReportRecorder>(worker.get());
    }
    void TearDown() override { setLogFilePath(QStringLiteral("install.log")); }

    std::vector<std::string> log() const { return localLogMessages(u8path(temp / "log.txt")); }

    // A folder of the temporary folder as removeDirectory names it.
    std::string folder(const std::string &relative) const {
        return nativePath(QString::fromStdString(temp / relative)).toStdString();
    }
    bool remove(const std::string &relative) const {
        return worker->removeDirectory(QString::fromStdString(temp / relative));
    }

    TempDir temp;
    std::unique_ptr<RunUpdate> worker;
    std::unique_ptr<ReportRecorder> recorder;
};

} // namespace

TEST(NormalizePath, LeavesOneFolderPathWithTheSystemSeparators) {
    EXPECT_EQ(normalized("D:/Apps/Client/"), native("D:/Apps/Client"));
    EXPECT_EQ(normalized("D://Apps//Client//"), native("D:/Apps/Client"));
    // One pass: of three separators in a row two stay.
    EXPECT_EQ(normalized("D:///Apps"), native("D://Apps"));
    EXPECT_EQ(normalized(separator()), "");
    EXPECT_EQ(normalized("D:/Apps/Client"), native("D:/Apps/Client"));
    EXPECT_EQ(normalized("Client"), "Client");
    EXPECT_EQ(normalized(""), "");
}

TEST_F(RemovingFolders, WhatIsNotAFolderCountsAsRemoved) {
    EXPECT_TRUE(remove("nowhere"));
    writeFile(u8path(temp / "a file"), "stays");
    EXPECT_TRUE(remove("a file"));
    EXPECT_EQ(readFile(u8path(temp / "a file")), "stays");
    EXPECT_TRUE(recorder->reports().empty());
    EXPECT_TRUE(log().empty());
}

TEST_F(RemovingFolders, RemovesTheTreeWithItsReadOnlyFilesAndReportsEachFile) {
    writeFile(u8path(temp / "velmar/b.txt"), "b");
    writeFile(u8path(temp / "velmar/A/x.dll"), "x");
    writeFile(u8path(temp / "velmar/A/deep/y.dll"), "y");
    writeFile(u8path(temp / "velmar/c.txt"), "c");
    fs::create_directories(u8path(temp / "velmar/A/empty"));
    QFile::setPermissions(QString::fromStdString(temp / "velmar/A/x.dll"),
                          QFileDevice::ReadOwner | QFileDevice::ReadUser);

    // Handed over with "/" whatever the system's separator.
    QString path = QString::fromStdString(temp / "velmar");
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    EXPECT_TRUE(worker->removeDirectory(path));
    EXPECT_FALSE(fs::exists(u8path(temp / "velmar")));
    EXPECT_TRUE(log().empty());
    // The first listing (".", "..", "A", "b.txt", "c.txt") is the scale;
    // files are counted in listing order, depth first.
    EXPECT_EQ(
        recorder->reports(),
        (std::vector<Report>{{5, 1, "y.dll"}, {5, 2, "x.dll"}, {5, 3, "b.txt"}, {5, 4, "c.txt"}}));

    // Later trees keep the first scale and go on counting.
    writeFile(u8path(temp / "other/z.txt"), "z");
    EXPECT_TRUE(remove("other"));
    EXPECT_EQ(recorder->reports().back(), (Report{5, 5, "z.txt"}));
}

TEST_F(RemovingFolders, AHiddenFileKeepsEveryFolderAboveIt) {
    writeFile(u8path(temp / "velmar/top.txt"), "top");
    writeFile(u8path(temp / "velmar/A/a.txt"), "a");
    fs::create_directories(u8path(temp / "velmar/A/B"));
    // Hidden on both builds: by attribute on Windows, by name on the stand-in.
    platform::FileHandle hidden =
        platform::openFileA((temp / "velmar/A/B/.hidden").c_str(), platform::FileAccess::Write,
                            platform::FileShare::None, platform::FileDisposition::CreateNew,
                            platform::attribute::Hidden);
    ASSERT_NE(hidden, nullptr);
    platform::closeFile(hidden);

    EXPECT_FALSE(remove("velmar"));
    EXPECT_TRUE(fs::exists(u8path(temp / "velmar/A/B/.hidden")));
    EXPECT_FALSE(fs::exists(u8path(temp / "velmar/A/a.txt")));
    EXPECT_FALSE(fs::exists(u8path(temp / "velmar/top.txt")));
    const std::string sep = separator().toStdString();
    const std::string top = folder("velmar"), a = top + sep + "A", b = a + sep + "B";
    EXPECT_EQ(log(), (std::vector<std::string>{"删除最外层目标失败-" + b, "删除目录失败-" + b,
                                               "删除最外层目标失败-" + a, "删除目录失败-" + a,
                                               "删除最外层目标失败-" + top}));
    EXPECT_EQ(recorder->texts(), (std::vector<std::string>{"a.txt", "top.txt"}));
}

TEST_F(RemovingFolders, AFileInUseStaysAndIsCountedAllTheSame) {
    writeFile(u8path(temp / "velmar/busy.dll"), "busy");
    writeFile(u8path(temp / "velmar/free.dll"), "free");
    Process holder =
        Process::start({programPath("hold"), "file", temp / "velmar/busy.dll", helperSeconds});
    ASSERT_TRUE(holder.waitForLine("held"));

    EXPECT_FALSE(remove("velmar"));
    EXPECT_FALSE(fs::exists(u8path(temp / "velmar/free.dll")));
    EXPECT_EQ(log(), (std::vector<std::string>{"删除最外层目标失败-" + folder("velmar")}));
    EXPECT_EQ(recorder->reports(), (std::vector<Report>{{4, 1, "busy.dll"}, {4, 2, "free.dll"}}));
    // Only once let go can Windows read it: it was held without sharing.
    holder.terminate();
    holder.wait(patienceMs);
    EXPECT_EQ(readFile(u8path(temp / "velmar/busy.dll")), "busy");
}

TEST_F(RemovingFolders, ALinkIsRemovedButNeverFollowed) {
    writeFile(u8path(temp / "outside/keep.txt"), "keep");
    fs::create_directories(u8path(temp / "velmar"));
    std::error_code error;
    fs::create_directory_symlink(u8path(temp / "outside"), u8path(temp / "velmar/folder link"),
                                 error);
    if (!error)
        fs::create_symlink(u8path(temp / "outside/keep.txt"), u8path(temp / "velmar/file link"),
                           error);
    if (error)
        GTEST_SKIP() << "this system makes no symbolic links here: " << error.message();
    const auto permissions = fs::status(u8path(temp / "outside/keep.txt")).permissions();

    EXPECT_TRUE(remove("velmar"));
    EXPECT_FALSE(fs::exists(u8path(temp / "velmar")));
    EXPECT_EQ(readFile(u8path(temp / "outside/keep.txt")), "keep");
    EXPECT_EQ(fs::status(u8path(temp / "outside/keep.txt")).permissions(), permissions);
    EXPECT_EQ(recorder->texts(), (std::vector<std::string>{"file link", "folder link"}));
}

// A user who can write where the uninstaller removes (a Start-menu folder
// opened to users) swaps a folder for a link while the walk goes on: the
// walk holds the folders it saw, so nothing where the link leads goes, read
// only or not.
TEST_F(RemovingFolders, AFolderSwappedForALinkDuringTheWalkIsNeverDeletedThrough) {
    if (!makeLink(temp / "probe", utf8(temp.path()), true))
        GTEST_SKIP() << "this system makes no links";
    // The swap comes once the walk is inside sub (its first file reported).
    for (const char *name : {"velmar/sub/a.txt", "velmar/sub/x.txt", "outside/x.txt"})
        writeFile(u8path(temp / name), "keep");
    fs::permissions(u8path(temp / "outside/x.txt"), fs::perms::owner_write,
                    fs::perm_options::remove);
    bool swapped = false;
    QObject context;
    QObject::connect(
        worker.get(), &RunUpdate::sigPro, &context,
        [&] {
            if (std::exchange(swapped, true))
                return;
            fs::rename(u8path(temp / "velmar/sub"), u8path(temp / "moved"));
            swapped = makeLink(temp / "velmar/sub", temp / "outside", true);
        },
        Qt::DirectConnection);
    remove("velmar");
    ASSERT_TRUE(swapped);
    EXPECT_EQ(readFile(u8path(temp / "outside/x.txt")), "keep");
    EXPECT_FALSE(fs::exists(u8path(temp / "moved/x.txt"))) << "removed where the folder went";
}

TEST_F(RemovingFolders, AFolderGivenAsALinkIsRemovedAsALink) {
    // "velmar" itself, or a Start-menu folder, made a link to another folder.
    writeFile(u8path(temp / "outside/keep.txt"), "keep");
    writeFile(u8path(temp / "outside/sub/deeper.txt"), "keep");
    if (!makeLink(temp / "velmar", temp / "outside", true))
        GTEST_SKIP() << "this system makes no links";

    EXPECT_TRUE(remove("velmar"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(u8path(temp / "velmar"))));
    EXPECT_EQ(readFile(u8path(temp / "outside/keep.txt")), "keep");
    EXPECT_EQ(readFile(u8path(temp / "outside/sub/deeper.txt")), "keep");
    EXPECT_TRUE(recorder->texts().empty());
    EXPECT_TRUE(log().empty());
}
