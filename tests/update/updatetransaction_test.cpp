// The all-or-nothing layer on its own: a small update of two folders put in
// place, undone, failed at every platform call it makes, and cut short at
// every call as a killed process would be, then recovered.
#include "platform.h"
#include "process.h"
#include "testsupport.h"
#include "updatetransaction.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace testsupport;

namespace {

// Every file with its content and every folder, relative to the folder.
struct Tree {
    std::map<std::string, std::string> files;
    std::set<std::string> folders;
    bool operator==(const Tree &other) const {
        return files == other.files && folders == other.folders;
    }
};

Tree treeOf(const fs::path &folder) {
    Tree tree;
    for (const auto &item : fs::recursive_directory_iterator(folder)) {
        const std::string relative = utf8(fs::relative(item.path(), folder));
        if (item.is_directory())
            tree.folders.insert(relative);
        else
            tree.files[relative] = readFile(item.path());
    }
    return tree;
}

std::string describe(const Tree &tree) {
    std::string text;
    for (const auto &folder : tree.folders)
        text += "  " + folder + "/\n";
    for (const auto &[name, content] : tree.files)
        text += "  " + name + " = " + content + "\n";
    return text;
}

// The platform calls, countable and breakable. Calls that change the disk
// count; at the chosen one, the call fails (a fault) or the process "dies":
// that call and every later one does nothing.
struct Faults {
    int count = 0;
    int failAt = -1;
    bool dies = false;
    bool dead = false;

    bool pass() {
        if (dead)
            return false;
        if (++count != failAt)
            return true;
        dead = dies;
        platform::setLastError(dies ? platform::error::InvalidHandle : 31);
        return false;
    }
};
Faults faults;

TransactionCalls faultyCalls() {
    TransactionCalls calls = systemTransactionCalls();
    calls.moveFile = [](const char *from, const char *to) {
        return faults.pass() && platform::moveFileA(from, to);
    };
    calls.commitFile = [](const char *from, const char *to) {
        return faults.pass() && platform::commitFileA(from, to);
    };
    calls.openFile = [](const char *path, platform::FileAccess access, platform::FileShare share,
                        platform::FileDisposition disposition,
                        uint32_t attributes) -> platform::FileHandle {
        if (disposition != platform::FileDisposition::OpenExisting && !faults.pass())
            return nullptr;
        return platform::openFileA(path, access, share, disposition, attributes);
    };
    calls.writeFile = [](platform::FileHandle file, const void *data, uint32_t size) {
        return faults.pass() && platform::writeFile(file, data, size);
    };
    calls.flushFile = [](platform::FileHandle file) {
        return faults.pass() && platform::flushFile(file);
    };
    calls.createDirectory = [](const char *path) {
        return faults.pass() && platform::createDirectoryA(path);
    };
    calls.removeDirectory = [](const char *path) {
        return faults.pass() && platform::removeDirectoryA(path);
    };
    calls.removeTree = [](const char *path) {
        return faults.pass() && platform::removeTreeA(path);
    };
    calls.deleteFile = [](const char *path) {
        return faults.pass() && platform::deleteFileA(path);
    };
    calls.removeAtRestart = [](const char *path) {
        return faults.pass() && platform::removeAtRestartA(path);
    };
    return calls;
}
const TransactionCalls faulty = faultyCalls();

class Transaction : public ::testing::Test {
protected:
    void SetUp() override {
        faults = Faults{};
        // The registry of a machine of its own, outside the folders compared.
        setEnv("VELMAR_SYSTEM_ROOT", utf8(machine.path()).c_str());
        writeFile(app / "a.txt", "old a");
        writeFile(app / "bin/x.dll", "old x");
        writeFile(app / "keep.txt", "untouched");
        writeFile(app / "ro.dat", "old read-only");
        fs::permissions(app / "ro.dat", fs::perms::owner_write, fs::perm_options::remove);
        writeFile(data / "Config/veconfig.ini", "[Server]\nVersion=1\n");
        writeFile(data / "update.zip", "package");
    }

    // The update: replaced, added, nested new folders, a folder entry, and
    // the data folder's configuration.
    struct Entry {
        int root;
        std::string name, content;
        bool folder = false;
    };
    const std::vector<Entry> entries = {
        {0, "a.txt", "new a"},
        {0, "bin/x.dll", "new x"},
        {0, "bin/y.dll", "new y"},
        {0, "new/deep/z.txt", "new z"},
        {0, "empty/", "", true},
        {0, "ro.dat", "new read-only"},
        {1, "Config/veconfig.ini", "[Server]\nVersion=2\n"},
        {1, "Config/more/extra.ini", "extra"},
    };

    // Writes a file's new content into root's staging folder and plans it.
    static int stage(UpdateTransaction &transaction, int root, const std::string &name,
                     const std::string &content) {
        writeFile(u8path(transaction.stagingFolder(root)) / u8path(name), content);
        return transaction.plan(root, name, false);
    }

    // Runs the update through commit; false at the first failing step, and
    // the transaction is left as it stands then.
    bool apply(UpdateTransaction &transaction) {
        const int roots[] = {transaction.addRoot(utf8(app)), transaction.addRoot(utf8(data))};
        if (roots[0] < 0 || roots[1] < 0)
            return false;
        std::vector<int> numbers;
        for (const auto &entry : entries) {
            const fs::path staged =
                u8path(transaction.stagingFolder(roots[entry.root])) / u8path(entry.name);
            if (entry.folder)
                fs::create_directories(staged);
            else
                writeFile(staged, entry.content);
            numbers.push_back(transaction.plan(roots[entry.root], entry.name, entry.folder));
            if (numbers.back() < 0)
                return false;
        }
        if (!transaction.begin())
            return false;
        for (const int number : numbers) {
            if (!transaction.install(number))
                return false;
        }
        return transaction.commit();
    }

    Tree snapshot() const { return treeOf(temp.path()); }

    // What the update gives when it goes through, journal and all.
    Tree expectedNew() {
        Tree tree = before;
        tree.files["app/a.txt"] = "new a";
        tree.files["app/bin/x.dll"] = "new x";
        tree.files["app/bin/y.dll"] = "new y";
        tree.files["app/new/deep/z.txt"] = "new z";
        tree.files["app/ro.dat"] = "new read-only";
        tree.files["data/Config/veconfig.ini"] = "[Server]\nVersion=2\n";
        tree.files["data/Config/more/extra.ini"] = "extra";
        for (const char *folder : {"app/new", "app/new/deep", "app/empty", "data/Config/more"})
            tree.folders.insert(folder);
        return tree;
    }

    void TearDown() override { setEnv("VELMAR_SYSTEM_ROOT", nullptr); }

    // The removals asked for at the machine's next start.
    static std::vector<std::string> removalsAtRestart() {
        std::string value;
        if (!platform::registryReadString("SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                                          "PendingFileRenameOperations", value))
            return {};
        // Pairs of a NUL-ended "\??\path" and an empty new name; one more NUL
        // ends the list.
        std::vector<std::string> removals;
        std::size_t start = 0;
        while (start < value.size() && value[start] != '\0') {
            const std::size_t end = value.find('\0', start);
            EXPECT_NE(end, std::string::npos);
            EXPECT_LT(end + 1, value.size());
            if (end == std::string::npos || end + 1 >= value.size())
                return removals;
            EXPECT_EQ(value[end + 1], '\0') << "an empty new name";
            removals.push_back(value.substr(start, end - start));
            start = end + 2;
        }
        EXPECT_EQ(start + 1, value.size()) << "the list ends with one more NUL";
        return removals;
    }

    TempDir machine;
    TempDir temp;
    const fs::path app = temp.path() / "app";
    const fs::path data = temp.path() / "data";
    const std::string journal = utf8(app / UpdateTransaction::journalName);
    Tree before;
};

TEST_F(Transaction, PutsEverythingInPlaceAndLeavesOnlyTheJournalForReseat) {
    before = snapshot();
    UpdateTransaction transaction(journal);
    ASSERT_TRUE(apply(transaction));

    Tree after = snapshot();
    EXPECT_EQ(after.files.count("app/" + std::string(UpdateTransaction::journalName)), 1u);
    after.files.erase("app/" + std::string(UpdateTransaction::journalName));
    EXPECT_EQ(after, expectedNew()) << describe(after);
    EXPECT_EQ(UpdateTransaction::recover(journal), UpdateTransaction::Recovery::ReseatDue);
    EXPECT_EQ(UpdateTransaction::recover(journal), UpdateTransaction::Recovery::ReseatDue)
        << "until reseat has been started";
    EXPECT_TRUE(UpdateTransaction::finish(journal));
    EXPECT_EQ(UpdateTransaction::recover(journal), UpdateTransaction::Recovery::Nothing);
    EXPECT_EQ(snapshot(), expectedNew());
}

TEST_F(Transaction, RollbackAfterTheLastEntryGivesBackTheOldTreeExactly) {
    before = snapshot();
    UpdateTransaction transaction(journal);
    const int app0 = transaction.addRoot(utf8(app));
    const int data0 = transaction.addRoot(utf8(data));
    ASSERT_GE(app0, 0);
    ASSERT_GE(data0, 0);
    writeFile(u8path(transaction.stagingFolder(app0)) / "a.txt", "new a");
    writeFile(u8path(transaction.stagingFolder(app0)) / "n/b.txt", "new b");
    writeFile(u8path(transaction.stagingFolder(data0)) / "Config/veconfig.ini", "new");
    const int a = transaction.plan(app0, "a.txt", false);
    const int b = transaction.plan(app0, "n\\b.txt", false); // either separator
    const int ini = transaction.plan(data0, "Config/veconfig.ini", false);
    ASSERT_TRUE(transaction.begin());
    ASSERT_TRUE(transaction.install(a));
    ASSERT_TRUE(transaction.install(b));
    ASSERT_TRUE(transaction.install(ini));
    EXPECT_EQ(readFile(app / "n/b.txt"), "new b");

    ASSERT_TRUE(transaction.rollback());
    EXPECT_EQ(snapshot(), before) << describe(snapshot());
    EXPECT_EQ(fs::status(app / "ro.dat").permissions() & fs::perms::owner_write, fs::perms::none)
        << "the old file keeps its read-only mark";
}

TEST_F(Transaction, RefusesWhatWouldHideOrBreakTheInstallationBeforeChangingIt) {
    before = snapshot();
    {
        UpdateTransaction transaction(journal);
        const int root = transaction.addRoot(utf8(app));
        ASSERT_GE(root, 0);
        EXPECT_EQ(transaction.plan(root, "~velmar-update.old/a.txt", false), -1);
        EXPECT_EQ(transaction.plan(root, "~VELMAR-update.journal", false), -1);
        EXPECT_EQ(transaction.plan(root, "/", false), -1);
        // A file where a folder is, and a folder where a file is.
        ASSERT_GE(stage(transaction, root, "bin", "file"), 0);
        EXPECT_FALSE(transaction.begin());
        EXPECT_TRUE(transaction.rollback());
    }
    EXPECT_EQ(snapshot(), before) << describe(snapshot());
    {
        UpdateTransaction transaction(journal);
        const int root = transaction.addRoot(utf8(app));
        fs::create_directories(u8path(transaction.stagingFolder(root)) / "a.txt/inner");
        ASSERT_GE(transaction.plan(root, "a.txt/inner/", true), 0);
        EXPECT_FALSE(transaction.begin());
        EXPECT_TRUE(transaction.rollback());
    }
    EXPECT_EQ(snapshot(), before) << describe(snapshot());
}

// A file held without sharing cannot be moved aside: install fails, and
// works once the holder has let go.
TEST_F(Transaction, AFileHeldWithoutSharingStopsItsEntryUntilLetGo) {
    before = snapshot();
    UpdateTransaction transaction(journal);
    const int root = transaction.addRoot(utf8(app));
    const int x = stage(transaction, root, "bin/x.dll", "new x");
    ASSERT_TRUE(transaction.begin());
    platform::FileHandle held =
        platform::openFileA(utf8(app / "bin/x.dll").c_str(), platform::FileAccess::Read,
                            platform::FileShare::None, platform::FileDisposition::OpenExisting);
    ASSERT_NE(held, nullptr);
    EXPECT_FALSE(transaction.install(x));
    EXPECT_EQ(platform::lastError(), platform::error::SharingViolation);
    EXPECT_EQ(readFile(app / "bin/x.dll"), "old x");
    platform::closeFile(held);
    EXPECT_TRUE(transaction.install(x));
    EXPECT_EQ(readFile(app / "bin/x.dll"), "new x");
    EXPECT_TRUE(transaction.rollback());
    EXPECT_EQ(snapshot(), before);
}

// A package may name a file twice (zip tools append rather than replace):
// the second entry finds its work done, and an undo still gives back the
// old file, not the first entry's.
TEST_F(Transaction, AFileNamedTwiceIsPutInPlaceOnceAndUndoneExactly) {
    before = snapshot();
    UpdateTransaction transaction(journal);
    const int root = transaction.addRoot(utf8(app));
    const int x1 = stage(transaction, root, "bin/x.dll", "new x");
    const int n1 = stage(transaction, root, "new/n.txt", "new n");
    const int x2 = transaction.plan(root, "bin\\x.dll", false);
    const int n2 = transaction.plan(root, "new/n.txt", false);
    ASSERT_TRUE(transaction.begin());
    for (const int entry : {x1, n1, x2, n2})
        ASSERT_TRUE(transaction.install(entry)) << entry << ": " << platform::lastError();
    EXPECT_EQ(readFile(app / "bin/x.dll"), "new x");
    EXPECT_EQ(readFile(app / "new/n.txt"), "new n");
    EXPECT_EQ(readFile(app / UpdateTransaction::backupName / "bin/x.dll"), "old x");

    ASSERT_TRUE(transaction.rollback());
    EXPECT_EQ(snapshot(), before) << describe(snapshot());
}

// Each call that changes the disk fails in turn; the update reports the
// failure and its rollback (with working calls) restores the old tree.
TEST_F(Transaction, AFailureAtAnyCallIsRolledBackExactly) {
    before = snapshot();
    int n = 1;
    for (; n < 1000; ++n) {
        faults = Faults{};
        faults.failAt = n;
        UpdateTransaction transaction(journal, faulty);
        const bool done = apply(transaction);
        if (done && faults.count < n)
            break; // ran to the end without reaching call n
        if (done) {
            // Only leftovers can fail after the point of no return.
            ASSERT_EQ(UpdateTransaction::recover(journal), UpdateTransaction::Recovery::ReseatDue);
            ASSERT_TRUE(UpdateTransaction::finish(journal));
            ASSERT_EQ(snapshot(), expectedNew()) << "call " << n << "\n" << describe(snapshot());
        } else {
            faults.failAt = -1;
            ASSERT_TRUE(transaction.rollback()) << "call " << n;
            ASSERT_EQ(snapshot(), before) << "call " << n << "\n" << describe(snapshot());
        }
        // The next round starts from the old tree again.
        fs::remove_all(temp.path());
        fs::create_directories(temp.path());
        SetUp();
    }
    EXPECT_GT(n, 20) << "every rename, folder and journal write was reached";
}

// The process dies at each call in turn; the next start finds all old (or,
// past the point of no return, all new with reseat due) and nothing of the
// update's own folders left.
TEST_F(Transaction, AKillAtAnyCallIsFinishedOrUndoneByTheNextStart) {
    before = snapshot();
    int n = 1;
    int undone = 0, finished = 0;
    for (; n < 1000; ++n) {
        faults = Faults{};
        faults.failAt = n;
        faults.dies = true;
        {
            UpdateTransaction transaction(journal, faulty);
            apply(transaction);
            if (!faults.dead)
                break;
        }
        const auto recovery = UpdateTransaction::recover(journal);
        ASSERT_NE(recovery, UpdateTransaction::Recovery::Failed) << "call " << n;
        if (recovery == UpdateTransaction::Recovery::ReseatDue) {
            ++finished;
            ASSERT_TRUE(UpdateTransaction::finish(journal));
            ASSERT_EQ(snapshot(), expectedNew()) << "call " << n << "\n" << describe(snapshot());
        } else {
            ++undone;
            ASSERT_EQ(snapshot(), before) << "call " << n << "\n" << describe(snapshot());
        }
        fs::remove_all(temp.path());
        fs::create_directories(temp.path());
        SetUp();
    }
    EXPECT_GT(undone, 20);
    EXPECT_GE(finished, 1) << "a kill while the leftovers go";
}

// Recovery itself can be cut short and run again.
TEST_F(Transaction, AnUndoCutShortIsCompletedByTheStartAfter) {
    before = snapshot();
    {
        UpdateTransaction transaction(journal);
        const int root = transaction.addRoot(utf8(app));
        const int a = stage(transaction, root, "a.txt", "new a");
        const int x = stage(transaction, root, "bin/x.dll", "new x");
        ASSERT_TRUE(transaction.begin());
        ASSERT_TRUE(transaction.install(a));
        ASSERT_TRUE(transaction.install(x));
    }
    for (int n = 1; n < 1000; ++n) {
        faults = Faults{};
        faults.failAt = n;
        faults.dies = true;
        const auto recovery = UpdateTransaction::recover(journal, faulty);
        if (!faults.dead) {
            EXPECT_EQ(recovery, UpdateTransaction::Recovery::RolledBack);
            break;
        }
        EXPECT_EQ(recovery, UpdateTransaction::Recovery::Failed);
    }
    EXPECT_EQ(snapshot(), before) << describe(snapshot());
}

// A running program's file (held with a shared lock) is moved aside, but
// cannot be deleted while it runs: the next start removes it.
TEST_F(Transaction, AnOldFileStillInUseGoesWithTheNextStart) {
    before = snapshot();
    platform::FileHandle running =
        platform::openFileA(utf8(app / "bin/x.dll").c_str(), platform::FileAccess::Read,
                            platform::FileShare::Read, platform::FileDisposition::OpenExisting);
    ASSERT_NE(running, nullptr);
    UpdateTransaction transaction(journal);
    ASSERT_TRUE(apply(transaction));
    EXPECT_EQ(readFile(app / "bin/x.dll"), "new x");
    EXPECT_EQ(readFile(app / UpdateTransaction::backupName / "bin/x.dll"), "old x");
    EXPECT_EQ(UpdateTransaction::recover(journal), UpdateTransaction::Recovery::ReseatDue);
    EXPECT_TRUE(UpdateTransaction::finish(journal));
    platform::closeFile(running);

    EXPECT_EQ(UpdateTransaction::recover(journal), UpdateTransaction::Recovery::Nothing);
    EXPECT_FALSE(fs::exists(app / UpdateTransaction::backupName));
    EXPECT_EQ(snapshot(), expectedNew());
}

// An old file held without sharing once it was moved aside cannot be
// deleted at commit: the commit stands, the file and the folders around it
// are to go at the machine's next start, and the next update's start
// removes them once they are free.
TEST_F(Transaction, ABackupStillHeldAtCommitGoesAtRestartOrWithTheNextStart) {
    before = snapshot();
    UpdateTransaction transaction(journal);
    const int root = transaction.addRoot(utf8(app));
    const int x = stage(transaction, root, "bin/x.dll", "new x");
    const int a = stage(transaction, root, "a.txt", "new a");
    ASSERT_TRUE(transaction.begin());
    ASSERT_TRUE(transaction.install(x));
    ASSERT_TRUE(transaction.install(a));
    const std::string aside = utf8(app / UpdateTransaction::backupName / "bin/x.dll");
    platform::FileHandle held =
        platform::openFileA(aside.c_str(), platform::FileAccess::Read, platform::FileShare::None,
                            platform::FileDisposition::OpenExisting);
    ASSERT_NE(held, nullptr);

    EXPECT_TRUE(transaction.commit());
    const std::string backups = utf8(app / UpdateTransaction::backupName);
    EXPECT_EQ(removalsAtRestart(),
              (std::vector<std::string>{"\\??\\" + aside, "\\??\\" + backups + "/bin",
                                        "\\??\\" + backups}));
    EXPECT_FALSE(fs::exists(app / UpdateTransaction::backupName / "a.txt"))
        << "what is free goes at once";
    EXPECT_EQ(readFile(app / "bin/x.dll"), "new x");
    EXPECT_EQ(UpdateTransaction::recover(journal), UpdateTransaction::Recovery::ReseatDue);
    EXPECT_TRUE(fs::exists(u8path(aside))) << "still held";
    EXPECT_TRUE(UpdateTransaction::finish(journal));

    platform::closeFile(held);
    EXPECT_EQ(UpdateTransaction::recover(journal), UpdateTransaction::Recovery::Nothing);
    EXPECT_FALSE(fs::exists(app / UpdateTransaction::backupName));
    Tree after = snapshot();
    Tree expected = before;
    expected.files["app/a.txt"] = "new a";
    expected.files["app/bin/x.dll"] = "new x";
    EXPECT_EQ(after, expected) << describe(after);
}

TEST_F(Transaction, AJournalThatMakesNoSenseIsLeftAlone) {
    before = snapshot();
    for (const std::string &bad : std::vector<std::string>{
             "", "velmar update journal 1\napply\nroot " + utf8(app) + "\nf 0 1 a.txt\n",
             "velmar update journal 1\napply\nf 7 1 a.txt\nend\n",
             "velmar update journal 1\nsomething\nend\n"}) {
        writeFile(u8path(journal), bad);
        EXPECT_EQ(UpdateTransaction::recover(journal), UpdateTransaction::Recovery::Failed) << bad;
        EXPECT_EQ(readFile(u8path(journal)), bad);
    }
}

} // namespace
