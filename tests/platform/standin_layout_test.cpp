// Where the stand-in keeps the machine: tests, the demo and outside tools
// rely on these places (see the README).
#include "platform.h"
#include "process.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <pwd.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

class StandinLayout : public ::testing::Test {
protected:
    void SetUp() override { setEnv("VELMAR_SYSTEM_ROOT", root.c_str()); }
    void TearDown() override { setEnv("VELMAR_SYSTEM_ROOT", nullptr); }

    TempDir temp;
    const std::string root = temp / "root";
};

} // namespace

TEST_F(StandinLayout, SpecialFoldersLieUnderTheRootAndMustExist) {
    std::string folder;
    EXPECT_FALSE(platform::commonDocumentsFolder(folder));
    EXPECT_FALSE(platform::commonProgramsFolder(folder));
    EXPECT_TRUE(folder.empty());

    fs::create_directories(u8path(root + "/Users/Public/Documents"));
    ASSERT_TRUE(platform::commonDocumentsFolder(folder));
    EXPECT_EQ(folder, root + "/Users/Public/Documents");

    fs::create_directories(u8path(root + "/ProgramData/Microsoft/Windows/Start Menu/Programs"));
    ASSERT_TRUE(platform::commonProgramsFolder(folder));
    EXPECT_EQ(folder, root + "/ProgramData/Microsoft/Windows/Start Menu/Programs");

    ASSERT_TRUE(platform::userDesktopFolder(folder));
    EXPECT_EQ(folder, root + "/Users/" + ::getpwuid(::geteuid())->pw_name + "/Desktop");
}

TEST_F(StandinLayout, RootFallsBackToTheUsersDataFolder) {
    setEnv("VELMAR_SYSTEM_ROOT", nullptr);
    const char *oldXdg = std::getenv("XDG_DATA_HOME");
    const std::string savedXdg = oldXdg ? oldXdg : "";
    setEnv("XDG_DATA_HOME", (temp / "data").c_str());
    fs::create_directories(u8path(temp / "data/velmar-system/Users/Public/Documents"));
    std::string folder;
    EXPECT_TRUE(platform::commonDocumentsFolder(folder));
    EXPECT_EQ(folder, temp / "data/velmar-system/Users/Public/Documents");
    setEnv("XDG_DATA_HOME", oldXdg ? savedXdg.c_str() : nullptr);
}

TEST_F(StandinLayout, RegistryKeysAreFoldersAndValuesAreFiles) {
    const std::string key = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\velmar";
    ASSERT_TRUE(platform::registryWriteString(key, "DisplayVersion", "2.0.1"));
    const fs::path value = u8path(root + "/Registry/HKEY_LOCAL_MACHINE/SOFTWARE/Microsoft/"
                                         "Windows/CurrentVersion/Uninstall/velmar/DisplayVersion");
    EXPECT_EQ(readFile(value), "2.0.1") << "UTF-8 bytes, no line end";

    // A value written from outside reads back unchanged.
    writeFile(u8path(root + "/Registry/HKEY_LOCAL_MACHINE/SOFTWARE/Microsoft/Windows/"
                            "CurrentVersion/App Paths/velmar/InstallLocation"),
              "/opt/Orvane 客户端");
    std::string location;
    ASSERT_TRUE(platform::registryReadString(
        "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\velmar", "InstallLocation",
        location));
    EXPECT_EQ(location, "/opt/Orvane 客户端");
}

// Removals at the next start are kept where Windows keeps them, as the
// multi-string Windows writes: "\??\" and the full path, an empty new name,
// one more NUL at the end; each request after the ones before.
TEST_F(StandinLayout, RemovalsAtRestartAreKeptAsSessionManagerKeepsThem) {
    const fs::path value = u8path(root + "/Registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/"
                                         "Control/Session Manager/PendingFileRenameOperations");
    const std::string old = temp / "old/x.dll";
    writeFile(u8path(old), "old");
    ASSERT_TRUE(platform::removeAtRestartA(old.c_str()));
    EXPECT_EQ(readFile(value), "\\??\\" + old + std::string(3, '\0'));

    // A relative path is taken from the current folder, "\" as "/".
    const fs::path current = fs::current_path();
    fs::current_path(u8path(temp / "old"));
    const bool asked = platform::removeAtRestartA("sub\\y.dll");
    fs::current_path(current);
    ASSERT_TRUE(asked);
    const std::string folder = utf8(fs::canonical(u8path(temp / "old")));
    EXPECT_EQ(readFile(value), "\\??\\" + old + std::string(2, '\0') + "\\??\\" + folder +
                                   "/sub/y.dll" + std::string(3, '\0'));
    EXPECT_EQ(readFile(u8path(old)), "old") << "nothing goes before the restart";
    EXPECT_FALSE(platform::removeAtRestartA(""));
    EXPECT_EQ(platform::lastError(), platform::error::InvalidParameter);
}

TEST_F(StandinLayout, MutexHeldByFlockFromAShellIsTaken) {
    const std::string name = "{AB49C45E-B7A8-4359-8429-51B65B55718C}";
    fs::create_directories(u8path(root + "/Mutexes"));
    const std::string file = root + "/Mutexes/" + name;
    {
        Process shell = Process::start(
            {"/bin/sh", "-c", "exec flock -n -o \"$0\" sh -c 'echo held; sleep 30'", file});
        ASSERT_TRUE(shell.waitForLine("held"));
        platform::MutexHandle probe = platform::createMutex(name);
        ASSERT_NE(probe, nullptr);
        EXPECT_EQ(platform::lastError(), platform::error::AlreadyExists);
        platform::closeMutex(probe);
    }
    platform::MutexHandle mine = platform::createMutex(name);
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(platform::lastError(), 0u);
    // Now a shell finds it taken.
    Process shell = Process::start({"/bin/sh", "-c", "flock -n \"$0\" true; echo $?", file});
    EXPECT_TRUE(shell.waitForLine("1"));
    platform::releaseMutex(mine);
    platform::closeMutex(mine);
}

TEST_F(StandinLayout, ARunningProgramsOwnFileIsInUse) {
    // The stand-in's hold tool, like every program, holds its own file.
    const std::string copy = temp / "hold-copy";
    fs::copy_file(programPath("hold"), u8path(copy));
    fs::permissions(u8path(copy), fs::perms::owner_all);
    const std::string name = uniqueName("m");
    {
        Process running =
            Process::start({copy, "mutex", name, "60"}, {{{"VELMAR_SYSTEM_ROOT", root}}, {}});
        ASSERT_TRUE(running.waitForLine("held"));
        EXPECT_FALSE(platform::deleteFile(copy));
        EXPECT_EQ(platform::lastError(), platform::error::SharingViolation);
    }
    EXPECT_TRUE(platform::deleteFile(copy));
}

TEST_F(StandinLayout, FilesHeldByFlockFromAShellAreInUse) {
    const std::string file = temp / "user.ini";
    writeFile(u8path(file), "[a]");
    Process shell =
        Process::start({"/bin/sh", "-c", "exec flock -n \"$0\" sh -c 'echo held; sleep 30'", file});
    ASSERT_TRUE(shell.waitForLine("held"));
    EXPECT_FALSE(platform::deleteFile(file));
    EXPECT_EQ(platform::lastError(), platform::error::SharingViolation);
}

// A FIFO where a file is opened would make the open (or the write) wait
// for whoever holds its other end: every open of a file refuses it at once,
// whether or not someone reads it.
TEST_F(StandinLayout, AFifoIsNeverOpenedAsAFile) {
    const std::string fifo = temp / "velmarinstall.txt";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
    const platform::Folder folder(platform::openFolderA(temp.path().c_str()));
    ASSERT_TRUE(folder);
    for (const bool read : {false, true}) {
        // With a reader at the other end, the write end opens at once.
        const int reader = read ? ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        EXPECT_FALSE(platform::appendToFile(fifo, "line\n", 5));
        EXPECT_EQ(platform::lastError(), platform::error::NotSupported);
        for (const auto access : {platform::FileAccess::Read, platform::FileAccess::Write}) {
            EXPECT_FALSE(platform::File(platform::openFileAt(
                folder.get(), "velmarinstall.txt", access, platform::FileShare::Read,
                platform::FileDisposition::OpenExisting)));
            EXPECT_EQ(platform::lastError(), platform::error::NotSupported);
        }
        if (reader >= 0)
            ::close(reader);
    }
}

TEST_F(StandinLayout, ShellOpenStartsProgramsDetachedInTheirFolder) {
    // A program started through the shell gets the given working folder.
    const std::string folder = temp / "work";
    fs::create_directories(u8path(folder));
    const std::string script = folder + "/where";
    writeFile(u8path(script), "#!/bin/sh\npwd > \"$PWD/where.txt\"\n");
    fs::permissions(u8path(script), fs::perms::owner_all);
    ASSERT_TRUE(platform::shellOpen("where", folder, platform::ShowCommand::Show));
    for (int i = 0; i < 100 && readFile(u8path(folder + "/where.txt")).empty(); ++i)
        platform::sleepMs(50);
    EXPECT_EQ(readFile(u8path(folder + "/where.txt")), folder + "\n");

    EXPECT_FALSE(platform::shellOpen("missing", folder, platform::ShowCommand::Show));
    EXPECT_EQ(platform::lastError(), platform::error::FileNotFound);
}

TEST_F(StandinLayout, SleepCanBeShortenedInOnePlace) {
    static uint32_t asked = 0;
    const auto previous = platform::setSleepFunction([](uint32_t ms) { asked += ms; });
    platform::sleepMs(1500);
    platform::sleepMs(500);
    EXPECT_EQ(asked, 2000u);
    EXPECT_EQ(platform::setSleepFunction(previous) != nullptr, true);
}

TEST(StandinProcessors, OneProcessorHoldsTheFirstThreadTooAndGivesEveryProcessorBack) {
    const auto processors = [](pid_t thread) {
        cpu_set_t mask;
        return ::sched_getaffinity(thread, sizeof mask, &mask) == 0 ? CPU_COUNT(&mask) : -1;
    };
    const int before = processors(0);
    int caller = 0, first = 0;
    std::thread([&] {
        const platform::OneProcessor one;
        caller = processors(0);
        first = processors(::getpid());
    }).join();
    EXPECT_EQ(caller, 1);
    EXPECT_EQ(first, 1);              // the window's thread, which the caller hands work to
    EXPECT_EQ(processors(0), before); // what a program started now takes over
}
