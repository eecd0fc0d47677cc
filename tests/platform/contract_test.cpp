// The contract of the platform layer, checked the same way on Windows (under
// Wine) and on the stand-in: what the programs rely on must hold on both.
#include "platform.h"
#include "process.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <thread>

using namespace testsupport;

namespace {

const bool standin = platform::programSuffix[0] == '\0';

class Contract : public ::testing::Test {
protected:
    void SetUp() override {
        if (standin) {
            root = temp / "machine";
            setEnv("VELMAR_SYSTEM_ROOT", root.c_str());
            fs::create_directories(u8path(root + "/Users/Public/Documents"));
            fs::create_directories(
                u8path(root + "/ProgramData/Microsoft/Windows/Start Menu/Programs"));
        }
    }
    void TearDown() override {
        if (standin)
            setEnv("VELMAR_SYSTEM_ROOT", nullptr);
    }

    TempDir temp;
    std::string root;
};

// The offset from UTC in force now: the local calendar time minus the UTC
// one, as the two calendars show them.
int64_t offsetFromUtcNow() {
    const std::time_t now = std::time(nullptr);
    const std::tm local = *std::localtime(&now);
    const std::tm utc = *std::gmtime(&now);
    int64_t days = local.tm_yday - utc.tm_yday;
    if (local.tm_year != utc.tm_year)
        days = local.tm_year > utc.tm_year ? 1 : -1;
    return days * 86400 + (local.tm_hour - utc.tm_hour) * 3600 + (local.tm_min - utc.tm_min) * 60 +
           (local.tm_sec - utc.tm_sec);
}

Process startHold(const std::string &what, const std::string &target, const std::string &root) {
    Process::Options options;
    if (!root.empty())
        options.environment["VELMAR_SYSTEM_ROOT"] = root;
    auto holder = Process::start({programPath("hold"), what, target, helperSeconds}, options);
    if (!holder.waitForLine("held"))
        ADD_FAILURE() << "hold " << what << " " << target << " did not hold";
    return holder;
}

} // namespace

TEST_F(Contract, MutexHeldElsewhereExistsAndIsFreeOnceThatProcessEnds) {
    const std::string name = uniqueName("velmar-contract");
    {
        Process holder = startHold("mutex", name, root);
        platform::MutexHandle probe = platform::createMutex(name);
        ASSERT_NE(probe, nullptr);
        EXPECT_EQ(platform::lastError(), platform::error::AlreadyExists);
        EXPECT_FALSE(platform::releaseMutex(probe)) << "not ours to release";
        EXPECT_TRUE(platform::closeMutex(probe));
        holder.terminate();
        EXPECT_TRUE(holder.endsWith(0));
    }
    platform::MutexHandle mine = platform::createMutex(name);
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(platform::lastError(), 0u);
    EXPECT_TRUE(platform::releaseMutex(mine));
    EXPECT_TRUE(platform::closeMutex(mine));
}

TEST_F(Contract, MutexOwnedHereExistsForAnotherCreator) {
    const std::string name = uniqueName("velmar-contract");
    platform::MutexHandle first = platform::createMutex(name);
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(platform::lastError(), 0u);
    platform::MutexHandle second = platform::createMutex(name);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(platform::lastError(), platform::error::AlreadyExists);
    platform::closeMutex(second);
    platform::releaseMutex(first);
    platform::closeMutex(first);
}

TEST_F(Contract, SpecialFoldersResolveToExistingFolders) {
    std::string documents, programs, desktop;
    ASSERT_TRUE(platform::commonDocumentsFolder(documents));
    ASSERT_TRUE(platform::commonProgramsFolder(programs));
    ASSERT_TRUE(platform::userDesktopFolder(desktop));
    EXPECT_TRUE(fs::is_directory(u8path(documents))) << documents;
    EXPECT_TRUE(fs::is_directory(u8path(programs))) << programs;
    EXPECT_NE(documents, programs);
    EXPECT_NE(desktop, documents);
    EXPECT_TRUE(platform::isAbsolutePath(documents));
    EXPECT_FALSE(platform::isAbsolutePath("relative/folder"));
    EXPECT_FALSE(platform::isAbsolutePath(""));
}

TEST_F(Contract, RegistryWriteReadAndDelete) {
    const std::string parent = "SOFTWARE\\VelmarContract\\" + uniqueName("key");
    const std::string key = parent + "\\velmar";
    const std::string version = "3.1.4 版本";

    std::string value;
    EXPECT_FALSE(platform::registryReadString(key, "DisplayVersion", value));
    ASSERT_TRUE(platform::registryWriteString(key, "DisplayVersion", version));
    ASSERT_TRUE(platform::registryReadString(key, "DisplayVersion", value));
    EXPECT_EQ(value, version);
    ASSERT_TRUE(platform::registryWriteString(key, "DisplayVersion", "4"));
    ASSERT_TRUE(platform::registryReadString(key, "DisplayVersion", value));
    EXPECT_EQ(value, "4");
    EXPECT_FALSE(platform::registryReadString(key, "Missing", value));
    EXPECT_TRUE(platform::registryFlushKey(key));
    EXPECT_FALSE(platform::registryFlushKey(parent + "\\nowhere"));

    // A key with a sub-key stays.
    ASSERT_TRUE(platform::registryWriteString(key + "\\inner", "x", "y"));
    EXPECT_FALSE(platform::registryDeleteKey(parent, "velmar"));
    EXPECT_TRUE(platform::registryReadString(key, "DisplayVersion", value));

    EXPECT_TRUE(platform::registryDeleteKey(key, "inner"));
    EXPECT_TRUE(platform::registryDeleteKey(parent, "velmar"));
    EXPECT_FALSE(platform::registryReadString(key, "DisplayVersion", value));
    EXPECT_FALSE(platform::registryDeleteKey(parent, "velmar")) << "already gone";
    EXPECT_FALSE(platform::registryDeleteKey(parent + "\\nowhere", "velmar"));

    const auto slash = parent.rfind('\\');
    platform::registryDeleteKey(parent.substr(0, slash), parent.substr(slash + 1));
}

TEST_F(Contract, ShellOpenRunsABatchFileThatDeletesAFileAndItself) {
    const std::string folder = temp / "batch folder";
    const std::string victim = folder + "/victim 100%.txt";
    const std::string batchFile = folder + "/auto_delete.bat";
    writeFile(u8path(victim), "bye");
    // Paths in batch lines go through "%" expansion: "%%" is one "%".
    auto inBatch = [](std::string path) {
        std::string out;
        for (char c : path) {
            out += c == '/' ? '\\' : c;
            if (c == '%')
                out += '%';
        }
        return out;
    };
    writeFile(u8path(batchFile), "del \"" + inBatch(victim) + "\" /q /f\r\ndel \"" +
                                     inBatch(batchFile) + "\" /q /f\r\n");

    EXPECT_TRUE(platform::shellOpen(batchFile, folder, platform::ShowCommand::Hide));
    EXPECT_TRUE(waitFor("the batch file to delete " + victim + " and itself", [&] {
        return !fs::exists(u8path(victim)) && !fs::exists(u8path(batchFile));
    }));
}

TEST_F(Contract, FileInUseCannotBeReplacedOrDeletedUntilReleased) {
    const std::string target = temp / "in use.dll";
    const std::string update = temp / "update.tmp";
    writeFile(u8path(target), "old");
    writeFile(u8path(update), "new");
    {
        Process holder = startHold("file", target, root);

        EXPECT_FALSE(platform::deleteFile(target));
        EXPECT_EQ(platform::lastError(), platform::error::SharingViolation);
        // Replacing an open file is refused as access denied, whatever its
        // sharing; the sharing violation is for deleting and opening it.
        EXPECT_FALSE(platform::replaceFileA(update.c_str(), target.c_str()));
        EXPECT_EQ(platform::lastError(), platform::error::AccessDenied);
        EXPECT_EQ(platform::openFileA(target.c_str(), platform::FileAccess::Write,
                                      platform::FileShare::None,
                                      platform::FileDisposition::CreateAlways),
                  nullptr);
        EXPECT_EQ(platform::lastError(), platform::error::SharingViolation);

        holder.terminate();
        EXPECT_TRUE(holder.endsWith(0));
    }
    EXPECT_EQ(readFile(u8path(target)), "old");
    EXPECT_TRUE(platform::replaceFileA(update.c_str(), target.c_str()));
    EXPECT_EQ(readFile(u8path(target)), "new");
    EXPECT_FALSE(fs::exists(u8path(update)));
    EXPECT_TRUE(platform::deleteFile(target));
    EXPECT_FALSE(fs::exists(u8path(target)));
}

TEST_F(Contract, DeleteFileReportsMissingAndReadOnlyFiles) {
    EXPECT_FALSE(platform::deleteFile(temp / "missing.txt"));
    EXPECT_EQ(platform::lastError(), platform::error::FileNotFound);
    EXPECT_FALSE(platform::deleteFile(temp / "no folder/missing.txt"));
    EXPECT_EQ(platform::lastError(), platform::error::PathNotFound);

    const std::string locked = temp / "readonly.ini";
    platform::FileHandle file =
        platform::openFileA(locked.c_str(), platform::FileAccess::Write, platform::FileShare::None,
                            platform::FileDisposition::CreateAlways, platform::attribute::ReadOnly);
    ASSERT_NE(file, nullptr);
    platform::closeFile(file);
    EXPECT_FALSE(platform::deleteFile(locked));
    EXPECT_EQ(platform::lastError(), platform::error::AccessDenied);
    EXPECT_TRUE(fs::exists(u8path(locked)));
}

TEST_F(Contract, APathExistsAsItselfWhateverItPointsTo) {
    // Not a shell link inside: Windows' shell (and Qt) would find no target.
    const std::string shortcut = temp / "Orvane.lnk";
    writeFile(u8path(shortcut), "shortcut");
    EXPECT_TRUE(platform::pathExists(shortcut));
    EXPECT_TRUE(platform::pathExists(temp / ""));
    EXPECT_FALSE(platform::pathExists(temp / "missing.lnk"));
    EXPECT_EQ(platform::lastError(), platform::error::FileNotFound);
    EXPECT_FALSE(platform::pathExists(temp / "no folder/missing.lnk"));
    EXPECT_EQ(platform::lastError(), platform::error::PathNotFound);
}

TEST_F(Contract, LinksAreSeenAndRemovedAsLinksNeverFollowed) {
    const std::string outside = temp / "outside";
    writeFile(u8path(outside + "/marker.txt"), "keep");
    const std::string folderLink = temp / "inside/velmar";
    const std::string fileLink = temp / "inside/Orvane.lnk";
    fs::create_directories(u8path(temp / "inside"));
    if (!makeLink(folderLink, outside, true) || !makeLink(fileLink, outside + "/marker.txt", false))
        GTEST_SKIP() << "this system makes no links";

    const uint32_t folderLinkAttributes = platform::pathAttributes(folderLink);
    ASSERT_NE(folderLinkAttributes, platform::attribute::Invalid);
    EXPECT_TRUE(folderLinkAttributes & platform::attribute::ReparsePoint);
    EXPECT_TRUE(folderLinkAttributes & platform::attribute::Directory);
    const uint32_t fileLinkAttributes = platform::pathAttributes(fileLink);
    ASSERT_NE(fileLinkAttributes, platform::attribute::Invalid);
    EXPECT_TRUE(fileLinkAttributes & platform::attribute::ReparsePoint);
    EXPECT_FALSE(fileLinkAttributes & platform::attribute::Directory);
    const uint32_t folderAttributes = platform::pathAttributes(outside);
    EXPECT_TRUE(folderAttributes & platform::attribute::Directory);
    EXPECT_FALSE(folderAttributes & platform::attribute::ReparsePoint);
    EXPECT_FALSE(platform::pathAttributes(outside + "/marker.txt") &
                 platform::attribute::ReparsePoint);
    EXPECT_EQ(platform::pathAttributes(temp / "missing"), platform::attribute::Invalid);
    EXPECT_EQ(platform::lastError(), platform::error::FileNotFound);
    EXPECT_EQ(platform::pathAttributes(temp / "no folder/missing"), platform::attribute::Invalid);
    EXPECT_EQ(platform::lastError(), platform::error::PathNotFound);

    // Only links are removed as links; what they point to stays whole.
    EXPECT_FALSE(platform::removeLink(outside));
    EXPECT_EQ(platform::lastError(), platform::error::NotAReparsePoint);
    EXPECT_FALSE(platform::removeLink(outside + "/marker.txt"));
    EXPECT_EQ(platform::lastError(), platform::error::NotAReparsePoint);
    EXPECT_TRUE(platform::removeLink(folderLink));
    EXPECT_TRUE(platform::removeLink(fileLink));
    EXPECT_FALSE(platform::pathExists(folderLink));
    EXPECT_FALSE(platform::pathExists(fileLink));
    EXPECT_EQ(readFile(u8path(outside + "/marker.txt")), "keep");
}

TEST_F(Contract, NothingIsAppendedThroughALink) {
    const std::string outside = temp / "outside.txt";
    writeFile(u8path(outside), "keep");
    const std::string log = temp / "velmarinstall.txt";
    const std::string dangling = temp / "dangling.txt";
    if (!makeLink(log, outside, false) || !makeLink(dangling, temp / "created.txt", false))
        GTEST_SKIP() << "this system makes no links";

    EXPECT_FALSE(platform::appendToFile(log, "line\r\n", 6));
    EXPECT_EQ(platform::lastError(), platform::error::StoppedOnSymlink);
    EXPECT_FALSE(platform::appendToFile(dangling, "line\r\n", 6));
    EXPECT_EQ(readFile(u8path(outside)), "keep");
    EXPECT_FALSE(fs::exists(u8path(temp / "created.txt")));
}

// Through a held folder every change stays inside it: an entry that is a
// link (put there before the call, or after the folder was opened) is
// refused or changed itself, never followed.
TEST_F(Contract, AHeldFolderChangesWhatIsInItNeverWhatALinkPointsTo) {
    const std::string held = temp / "held", outside = temp / "outside";
    writeFile(u8path(outside + "/marker.txt"), "keep");
    writeFile(u8path(held + "/sub/inner.txt"), "inner");
    writeFile(u8path(held + "/tree/a/b.txt"), "b");
    writeFile(u8path(held + "/file.txt"), "file");
    platform::Folder folder(platform::openFolderA(held.c_str()));
    ASSERT_TRUE(folder) << platform::lastError();
    platform::Folder sub(platform::openFolderAt(folder.get(), "sub"));
    ASSERT_TRUE(sub);
    EXPECT_FALSE(platform::openFolderAt(folder.get(), "file.txt"));
    EXPECT_EQ(platform::lastError(), platform::error::Directory);
    EXPECT_FALSE(platform::openFolderAt(folder.get(), "..")) << "one part, never a way out";
    EXPECT_EQ(platform::lastError(), platform::error::InvalidParameter);
    EXPECT_FALSE(platform::createFolderAt(folder.get(), "sub", platform::FolderAccess::Private));
    EXPECT_EQ(platform::lastError(), platform::error::AlreadyExists);
    platform::Folder made(
        platform::createFolderAt(folder.get(), "made", platform::FolderAccess::Private));
    ASSERT_TRUE(made) << platform::lastError();
    platform::File file(platform::openFileAt(made.get(), "new.txt", platform::FileAccess::Write,
                                             platform::FileShare::None,
                                             platform::FileDisposition::CreateNew));
    ASSERT_TRUE(file);
    ASSERT_TRUE(platform::writeFile(file.get(), "new", 3));
    file.reset();
    EXPECT_TRUE(platform::moveAt(made.get(), "new.txt", folder.get(), "file.txt", true));
    EXPECT_EQ(readFile(u8path(held + "/file.txt")), "new");
    EXPECT_TRUE(platform::removeTreeAt(folder.get(), "tree"));
    EXPECT_FALSE(fs::exists(u8path(held + "/tree")));

    if (!makeLink(held + "/dirlink", outside, true) ||
        !makeLink(held + "/filelink", outside + "/marker.txt", false))
        GTEST_SKIP() << "this system makes no links";
    // sub is swapped for a link after it was opened: what goes through the
    // handle lands where sub went.
    fs::rename(u8path(held + "/sub"), u8path(held + "/sub.away"));
    ASSERT_TRUE(makeLink(held + "/sub", outside, true));
    platform::Folder late(
        platform::createFolderAt(sub.get(), "late", platform::FolderAccess::Inherited));
    EXPECT_TRUE(late);
    EXPECT_TRUE(fs::is_directory(u8path(held + "/sub.away/late")));
    EXPECT_TRUE(platform::removeTreeAt(sub.get(), "inner.txt"));

    using platform::error::StoppedOnSymlink;
    const auto fails = [](bool failed, uint32_t code) {
        return failed && platform::lastError() == code;
    };
    const auto opens = [&](const char *name, platform::FileDisposition disposition) {
        return platform::File(platform::openFileAt(folder.get(), name, platform::FileAccess::Write,
                                                   platform::FileShare::None, disposition)) !=
               nullptr;
    };
    const struct {
        const char *what;
        std::function<bool()> refused;
    } cases[] = {
        {"open folder",
         [&] { return fails(!platform::openFolderAt(folder.get(), "sub"), StoppedOnSymlink); }},
        {"make folder",
         [&] {
             return fails(!platform::createFolderAt(folder.get(), "dirlink",
                                                    platform::FolderAccess::Private),
                          platform::error::AlreadyExists);
         }},
        {"open file",
         [&] {
             return fails(!opens("filelink", platform::FileDisposition::OpenExisting),
                          StoppedOnSymlink);
         }},
        {"overwrite file",
         [&] {
             return fails(!opens("filelink", platform::FileDisposition::CreateAlways),
                          StoppedOnSymlink);
         }},
        {"create file",
         [&] {
             return fails(!opens("filelink", platform::FileDisposition::CreateNew),
                          platform::error::FileExists);
         }},
        {"mark read-only",
         [&] {
             return fails(!platform::setAttributesAt(folder.get(), "filelink",
                                                     platform::attribute::ReadOnly),
                          StoppedOnSymlink);
         }},
        // These change the link itself, which is theirs to change.
        {"replace link",
         [&] {
             return static_cast<bool>(
                 platform::moveAt(folder.get(), "file.txt", folder.get(), "filelink", true));
         }},
        {"move link",
         [&] {
             return static_cast<bool>(
                 platform::moveAt(folder.get(), "dirlink", folder.get(), "moved", false));
         }},
        {"delete link",
         [&] { return static_cast<bool>(platform::deleteAt(folder.get(), "moved")); }},
        {"remove tree",
         [&] { return static_cast<bool>(platform::removeTreeAt(folder.get(), "sub")); }},
    };
    for (const auto &step : cases) {
        EXPECT_TRUE(step.refused()) << step.what << ": " << platform::lastError();
        EXPECT_EQ(readFile(u8path(outside + "/marker.txt")), "keep") << step.what;
        EXPECT_EQ(fs::directory_iterator(u8path(outside))->path().filename(), "marker.txt")
            << step.what;
    }
    EXPECT_EQ(readFile(u8path(held + "/filelink")), "new") << "the link was replaced";
    EXPECT_TRUE(fs::exists(u8path(held + "/sub.away/late")));
}

TEST_F(Contract, ReplaceFileTakesUtf8PathsAndRefusesAFileInUse) {
    const std::string from = temp / "新的 update.new";
    const std::string to = temp / "更新 update.exe";
    writeFile(u8path(from), "new");
    writeFile(u8path(to), "old");
    Process holder = startHold("file", to, root);
    EXPECT_FALSE(platform::replaceFile(from, to));
    EXPECT_EQ(platform::lastError(), platform::error::AccessDenied);
    holder.terminate();
    holder.wait(patienceMs);
    // Windows lets nobody read a file held without sharing: it is read once
    // let go.
    EXPECT_EQ(readFile(u8path(to)), "old");
    EXPECT_TRUE(platform::replaceFile(from, to));
    EXPECT_EQ(readFile(u8path(to)), "new");
    EXPECT_FALSE(fs::exists(u8path(from)));
}

// A move never replaces: what is at the target stays, and so does the
// source. A file held without sharing stays where it is until let go.
TEST_F(Contract, MoveAtRenamesWithoutReplacingAndNotAFileHeldWithoutSharing) {
    const std::string from = temp / "old.dll";
    const std::string to = temp / "aside/old.dll";
    writeFile(u8path(from), "old");
    writeFile(u8path(temp / "other.dll"), "other");
    fs::create_directories(u8path(temp / "aside"));
    const platform::Folder folder(platform::openFolderA(temp.path().u8string().c_str()));
    const platform::Folder aside(platform::openFolderAt(folder.get(), "aside"));
    ASSERT_TRUE(folder && aside);

    EXPECT_FALSE(platform::moveAt(folder.get(), "old.dll", folder.get(), "other.dll", false));
    EXPECT_EQ(platform::lastError(), platform::error::AlreadyExists);
    EXPECT_EQ(readFile(u8path(temp / "other.dll")), "other");
    EXPECT_EQ(readFile(u8path(from)), "old");
    EXPECT_FALSE(platform::moveAt(folder.get(), "missing.dll", aside.get(), "old.dll", false));
    EXPECT_EQ(platform::lastError(), platform::error::FileNotFound);
    {
        Process holder = startHold("file", from, root);
        EXPECT_FALSE(platform::moveAt(folder.get(), "old.dll", aside.get(), "old.dll", false));
        EXPECT_EQ(platform::lastError(), platform::error::SharingViolation);
        holder.terminate();
        EXPECT_TRUE(holder.endsWith(0));
    }
    EXPECT_FALSE(fs::exists(u8path(to)));
    EXPECT_TRUE(platform::moveAt(folder.get(), "old.dll", aside.get(), "old.dll", false))
        << platform::lastError();
    EXPECT_EQ(readFile(u8path(to)), "old");
    EXPECT_FALSE(fs::exists(u8path(from)));
}

TEST_F(Contract, TheTemporaryFolderIsThere) {
    std::string folder;
    ASSERT_TRUE(platform::temporaryFolder(folder));
    EXPECT_TRUE(platform::pathAttributes(folder) & platform::attribute::Directory);
    EXPECT_TRUE(platform::isAbsolutePath(folder));
    EXPECT_NE(folder.back(), '\\');
    if (standin) {
        EXPECT_EQ(folder.rfind(root + "/Users/", 0), 0u) << folder;
    }
}

// Deep in a long installation folder, past the 260 characters at which the
// W functions stop unless helped: the log is written, files are found and
// deleted, also when the path comes with "/" and ".." in it.
TEST_F(Contract, LongPathsCanBeLoggedTestedAndDeleted) {
    const std::string part = "Orvane Client " + std::string(40, 'x');
    std::string deep = temp / part;
    while (deep.size() < 300)
        deep += "/" + part;
    fs::create_directories(u8path(deep));
    const std::string log = deep + "/velmarinstall.txt";
    ASSERT_GT(log.size(), 300u);

    const std::string line = "long\r\n";
    ASSERT_TRUE(platform::appendToFile(log, line.data(), line.size())) << platform::lastError();
    ASSERT_TRUE(platform::appendToFile(log, line.data(), line.size())) << platform::lastError();
    EXPECT_EQ(readFile(u8path(log)), line + line);
    EXPECT_TRUE(platform::pathExists(log));
    EXPECT_TRUE(platform::pathExists(deep + "/../" + part + "/velmarinstall.txt"));
    EXPECT_TRUE(platform::deleteFile(log)) << platform::lastError();
    EXPECT_FALSE(fs::exists(u8path(log)));
    EXPECT_FALSE(platform::pathExists(log));
    EXPECT_EQ(platform::lastError(), platform::error::FileNotFound);
}

TEST_F(Contract, EightBitFilesRoundTripContentAttributesAndTimes) {
    // Both separators work in 8-bit paths.
    const std::string folder = temp / "eight";
    ASSERT_TRUE(platform::createDirectoryA(folder.c_str()));
    EXPECT_FALSE(platform::createDirectoryA(folder.c_str()));
    EXPECT_EQ(platform::lastError(), platform::error::AlreadyExists);
    EXPECT_FALSE(platform::createDirectoryA((folder + "\\a\\b").c_str()));
    EXPECT_EQ(platform::lastError(), platform::error::PathNotFound);
    EXPECT_EQ(platform::pathAttributes(folder) & platform::attribute::Directory,
              platform::attribute::Directory);

    const std::string path = folder + "\\data.bin";
    platform::FileHandle out =
        platform::openFileA(path.c_str(), platform::FileAccess::Write, platform::FileShare::None,
                            platform::FileDisposition::CreateNew, platform::attribute::ReadOnly);
    ASSERT_NE(out, nullptr);
    std::string payload(70000, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>('a' + i % 23);
    ASSERT_TRUE(platform::writeFile(out, payload.data(), static_cast<uint32_t>(payload.size())));
    // 2001-09-09 01:46:40 UTC and two more moments.
    const uint64_t created = 126444960000000000ULL + 10000000ULL;
    const uint64_t accessed = 126444960000000000ULL + 20000000ULL;
    const uint64_t written = 126444960000000000ULL + 30000000ULL;
    ASSERT_TRUE(platform::setFileTimes(out, created, accessed, written));
    platform::closeFile(out);

    EXPECT_EQ(platform::openFileA(path.c_str(), platform::FileAccess::Write,
                                  platform::FileShare::None, platform::FileDisposition::CreateNew),
              nullptr);
    EXPECT_EQ(platform::lastError(), platform::error::FileExists);

    const uint32_t attributes = platform::pathAttributes(path);
    EXPECT_EQ(attributes & (platform::attribute::ReadOnly | platform::attribute::Directory),
              platform::attribute::ReadOnly);
    EXPECT_EQ(platform::pathAttributes(folder + "/nothing"), platform::attribute::Invalid);

    platform::FileHandle in =
        platform::openFileA((folder + "/data.bin").c_str(), platform::FileAccess::Read,
                            platform::FileShare::Read, platform::FileDisposition::OpenExisting);
    ASSERT_NE(in, nullptr);
    // Before reading: reading may move the access time.
    uint64_t creation = 0, access = 0, write = 0;
    ASSERT_TRUE(platform::fileTimes(in, creation, access, write));
    EXPECT_EQ(write, written);
    EXPECT_EQ(access, accessed);
    // Wine keeps no creation time on a Linux file system (nothing there can
    // set one) and reports another time in its place; cmake/wine-run.sh says
    // when Wine runs the test.
    if (!standin && !std::getenv("VELMAR_UNDER_WINE")) {
        EXPECT_EQ(creation, created);
    }
    int64_t position = 0;
    ASSERT_TRUE(platform::seekFile(in, -4, platform::SeekOrigin::End, position));
    EXPECT_EQ(position, 69996);
    char tail[8];
    uint32_t got = 0;
    ASSERT_TRUE(platform::readFile(in, tail, sizeof tail, got));
    EXPECT_EQ(got, 4u);
    ASSERT_TRUE(platform::seekFile(in, 0, platform::SeekOrigin::Begin, position));
    std::string back(payload.size(), '\0');
    ASSERT_TRUE(platform::readFile(in, back.data(), static_cast<uint32_t>(back.size()), got));
    EXPECT_EQ(back, payload);

    // A view from an offset on no page or allocation boundary, read after
    // the file is closed.
    const unsigned char *view = platform::mapFile(in, 65541, 4000);
    ASSERT_NE(view, nullptr);
    platform::closeFile(in);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(view), 4000), payload.substr(65541, 4000));
    platform::unmapFile(view, 4000);

    EXPECT_EQ(platform::openFileA((folder + "/none").c_str(), platform::FileAccess::Read,
                                  platform::FileShare::Read,
                                  platform::FileDisposition::OpenExisting),
              nullptr);
    EXPECT_EQ(platform::lastError(), platform::error::FileNotFound);
}

TEST_F(Contract, LocalCalendarTimeBecomesUtcFileTime) {
    // The stand-in gets a zone with summer time (Windows has the machine's):
    // January and July then have offsets from UTC of their own, yet both are
    // converted with the one in force now, as Windows does.
    const char *zone = std::getenv("TZ");
    const std::string savedZone = zone ? zone : "";
    if (standin)
        setEnv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    const int64_t offset = offsetFromUtcNow();
    uint64_t january = 0, july = 0;
    const bool convertedJanuary =
        platform::localTimeToFileTime({2020, 1, 15, 12, 34, 56, 250}, january);
    const bool convertedJuly = platform::localTimeToFileTime({2020, 7, 15, 12, 34, 56, 0}, july);
    if (standin)
        setEnv("TZ", zone ? savedZone.c_str() : nullptr);
    ASSERT_TRUE(convertedJanuary);
    ASSERT_TRUE(convertedJuly);
    // 2020-01-15 12:34:56 UTC; 182 days later is 2020-07-15.
    const uint64_t januaryUtc = 132235652960000000ULL;
    EXPECT_EQ(static_cast<int64_t>(january - januaryUtc), 2500000 - offset * 10000000);
    EXPECT_EQ(july - january, 182ULL * 86400 * 10000000 - 2500000);

    uint64_t fileTime = 0;
    EXPECT_FALSE(platform::localTimeToFileTime({2020, 13, 1, 0, 0, 0, 0}, fileTime));
    EXPECT_FALSE(platform::localTimeToFileTime({2021, 2, 29, 0, 0, 0, 0}, fileTime));
    EXPECT_TRUE(platform::localTimeToFileTime({2020, 2, 29, 0, 0, 0, 0}, fileTime)) << "leap year";
    EXPECT_FALSE(platform::localTimeToFileTime({1980, 0, 0, 0, 0, 0, 0}, fileTime));
}

TEST_F(Contract, Utf8BecomesTheLocalCodePageOrIsRefused) {
    std::string local;
    ASSERT_TRUE(platform::utf8ToLocal8Bit("plain/name.txt", local));
    EXPECT_EQ(local, "plain/name.txt");
    EXPECT_FALSE(platform::utf8ToLocal8Bit("\xC3\x28", local)) << "not UTF-8";
    EXPECT_FALSE(platform::utf8ToLocal8Bit("\xED\xA0\x80", local)) << "a surrogate";
}
