// The command-interpreter stand-in: the batch lines the system writes, and
// cmd.exe's "%" expansion that the system has to escape.
#include "batch.h"
#include "platform.h"
#include "process.h"
#include "testsupport.h"

#include <gtest/gtest.h>

using namespace testsupport;
using batch::Command;

TEST(StandinCmd, ExpandsPercentSignsAsCmdDoes) {
    setEnv("VELMAR_TEST_WORD", "expanded");
    EXPECT_EQ(batch::expandPercents("a%%b"), "a%b");
    EXPECT_EQ(batch::expandPercents("x%VELMAR_TEST_WORD%y"), "xexpandedy");
    EXPECT_EQ(batch::expandPercents("x%VELMAR_NOT_SET_ANYWHERE%y"), "xy");
    EXPECT_EQ(batch::expandPercents("100% done"), "100 done");
    EXPECT_EQ(batch::expandPercents("%%VELMAR_TEST_WORD%%"), "%VELMAR_TEST_WORD%");
    setEnv("VELMAR_TEST_WORD", nullptr);
}

TEST(StandinCmd, ParsesTheLinesTheSystemWrites) {
    Command del = batch::parse("del \"C:\\Program Files\\a b.txt\" /q /f");
    EXPECT_EQ(del.kind, Command::Kind::Delete);
    EXPECT_EQ(del.path, "C:/Program Files/a b.txt");
    EXPECT_TRUE(del.force);
    EXPECT_FALSE(batch::parse("DEL \"x\" /Q").force);

    Command rd = batch::parse("rd \"/opt/Orvane Client/velmar\" /q /s");
    EXPECT_EQ(rd.kind, Command::Kind::RemoveFolder);
    EXPECT_EQ(rd.path, "/opt/Orvane Client/velmar");
    EXPECT_TRUE(rd.subtree);

    Command ping = batch::parse("ping -n 4 127.0.0.1>nul");
    EXPECT_EQ(ping.kind, Command::Kind::Wait);
    EXPECT_EQ(ping.seconds, 3);

    EXPECT_EQ(batch::parse("echo hello").kind, Command::Kind::Ignored);
    EXPECT_EQ(batch::parse("").kind, Command::Kind::Ignored);
    EXPECT_EQ(batch::parse("del").kind, Command::Kind::Ignored);
}

TEST(StandinCmd, SplitsCrLfAndLfLines) {
    EXPECT_EQ(batch::splitLines("a\r\nb\nc"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(batch::splitLines("only\r\n"), (std::vector<std::string>{"only"}));
}

TEST(StandinCmd, DeleteNeedsForceForReadOnlyFilesAndSparesFilesInUse) {
    TempDir temp;
    const std::string readOnly = temp / "ro.txt";
    writeFile(u8path(readOnly), "x");
    fs::permissions(u8path(readOnly), fs::perms::owner_read);
    batch::run(batch::parse("del \"" + readOnly + "\" /q"));
    EXPECT_TRUE(fs::exists(u8path(readOnly)));
    batch::run(batch::parse("del \"" + readOnly + "\" /q /f"));
    EXPECT_FALSE(fs::exists(u8path(readOnly)));

    const std::string held = temp / "held.dll";
    writeFile(u8path(held), "x");
    platform::FileHandle holder =
        platform::openFileA(held.c_str(), platform::FileAccess::Read, platform::FileShare::None,
                            platform::FileDisposition::OpenExisting);
    ASSERT_NE(holder, nullptr);
    batch::run(batch::parse("del \"" + held + "\" /q /f"));
    EXPECT_TRUE(fs::exists(u8path(held)));
    platform::closeFile(holder);
}

TEST(StandinCmd, RemoveTreeKeepsWhatIsInUseAndTheFoldersAboveIt) {
    TempDir temp;
    const std::string top = temp / "velmar";
    writeFile(u8path(top + "/a/b/keep.dll"), "x");
    writeFile(u8path(top + "/a/gone.txt"), "x");
    writeFile(u8path(top + "/c/ro.txt"), "x");
    fs::permissions(u8path(top + "/c/ro.txt"), fs::perms::owner_read);
    platform::FileHandle holder =
        platform::openFileA((top + "/a/b/keep.dll").c_str(), platform::FileAccess::Read,
                            platform::FileShare::None, platform::FileDisposition::OpenExisting);
    ASSERT_NE(holder, nullptr);

    batch::run(batch::parse("rd \"" + top + "\" /q /s"));
    EXPECT_TRUE(fs::exists(u8path(top + "/a/b/keep.dll")));
    EXPECT_FALSE(fs::exists(u8path(top + "/a/gone.txt")));
    EXPECT_FALSE(fs::exists(u8path(top + "/c")));

    platform::closeFile(holder);
    batch::run(batch::parse("rd \"" + top + "\" /q /s"));
    EXPECT_FALSE(fs::exists(u8path(top)));
}

TEST(StandinCmd, RunsABatchFileToItsEndEvenAfterDeletingItself) {
    TempDir temp;
    const std::string batchFile = temp / "self.bat";
    const std::string other = temp / "other.txt";
    writeFile(u8path(other), "x");
    writeFile(u8path(batchFile),
              "del \"" + batchFile + "\" /q /f\r\necho ignored\r\ndel \"" + other + "\" /q /f\r\n");
    Process cmd = Process::start({programPath("standin-cmd"), batchFile});
    EXPECT_TRUE(cmd.endsWith(0));
    EXPECT_FALSE(fs::exists(u8path(batchFile)));
    EXPECT_FALSE(fs::exists(u8path(other)));
}

TEST(StandinCmd, RdOnALinkRemovesTheLinkAndNothingItPointsTo) {
    TempDir temp;
    const std::string outside = temp / "outside";
    writeFile(u8path(outside + "/marker.txt"), "keep");
    writeFile(u8path(outside + "/sub/deeper.txt"), "keep");
    for (const char *switches : {" /q /s", " /q"}) {
        const std::string link = temp / "velmar";
        ASSERT_TRUE(makeLink(link, outside, true));
        batch::run(batch::parse("rd \"" + link + "\"" + switches));
        EXPECT_FALSE(fs::exists(fs::symlink_status(u8path(link)))) << switches;
    }
    EXPECT_EQ(readFile(u8path(outside + "/marker.txt")), "keep");
    EXPECT_EQ(readFile(u8path(outside + "/sub/deeper.txt")), "keep");
}

TEST(StandinCmd, DelGivenAFolderDeletesOnlyTheFilesDirectlyInside) {
    // As cmd.exe does: what a batch file's del may do to a folder named in it
    // shows on the stand-in too.
    TempDir temp;
    const std::string folder = temp / "plugins.d";
    writeFile(u8path(folder + "/a.dll"), "x");
    writeFile(u8path(folder + "/.hidden"), "x");
    writeFile(u8path(folder + "/ro.txt"), "x");
    fs::permissions(u8path(folder + "/ro.txt"), fs::perms::owner_read);
    writeFile(u8path(folder + "/sub/b.dll"), "x");
    const std::string link = temp / "link.d";
    ASSERT_TRUE(makeLink(link, folder, true));

    batch::run(batch::parse("del \"" + folder + "\" /q"));
    EXPECT_FALSE(fs::exists(u8path(folder + "/a.dll")));
    EXPECT_TRUE(fs::exists(u8path(folder + "/ro.txt")));
    EXPECT_TRUE(fs::exists(u8path(folder + "/.hidden")));
    EXPECT_TRUE(fs::exists(u8path(folder + "/sub/b.dll")));

    batch::run(batch::parse("del \"" + link + "\" /q /f"));
    EXPECT_FALSE(fs::exists(u8path(folder + "/ro.txt")));
    EXPECT_TRUE(fs::exists(u8path(folder + "/sub/b.dll")));
    EXPECT_TRUE(fs::is_directory(u8path(folder)));
    EXPECT_TRUE(fs::is_symlink(u8path(link)));
}
