// The all-or-nothing layer on its own: a small update of two folders put in
// place, undone, failed at every platform call it makes, and cut short at
// every call as a killed process would be, then recovered.
#include "platform.h"
#include "process.h"
#include "testsupport.h"
#include "updatetransaction.h"

#include <gtest/gtest.h>

#include <functional>
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
    // Every call, changing or not, counts here; before call swapAt, swap
    // runs (what another user does between two calls).
    int seen = 0;
    int swapAt = -1;
    std::function<void()> swap;

    void look() {
        if (++seen == swapAt && swap)
            swap();
    }
    bool pass() {
        look();
        // A dead process's calls never return; none may be taken for one
        // that failed for a reason of its own (a file that was not there).
        if (dead) {
            platform::setLastError(platform::error::InvalidHandle);
            return false;
        }
        if (++count != failAt)
            return true;
        dead = dies;
        platform::setLastError(dies ? platform::error::InvalidHandle : 31);
        return false;
    }
};
Faults faults;
// The journal that a test's replaced call looks at.
std::string faultyJournal;

using platform::FolderHandle;

TransactionCalls faultyCalls() {
    TransactionCalls calls = systemTransactionCalls();
    calls.moveAt = [](FolderHandle from, const char *fromName, FolderHandle to, const char *toName,
                      bool replace) -> platform::Status {
        return faults.pass() && platform::moveAt(from, fromName, to, toName, replace);
    };
    calls.moveOwnAt = [](FolderHandle from, const char *fromName, FolderHandle to,
                         const char *toName) -> platform::Status {
        return faults.pass() && platform::moveOwnAt(from, fromName, to, toName);
    };
    calls.createFolderAt = [](FolderHandle folder, const char *name,
                              platform::FolderAccess access) -> FolderHandle {
        return faults.pass() ? platform::createFolderAt(folder, name, access) : nullptr;
    };
    calls.openFileAt = [](FolderHandle folder, const char *name, platform::FileAccess access,
                          platform::FileShare share, platform::FileDisposition disposition,
                          uint32_t attributes) -> platform::FileHandle {
        if (disposition != platform::FileDisposition::OpenExisting && !faults.pass())
            return nullptr;
        return platform::openFileAt(folder, name, access, share, disposition, attributes);
    };
    calls.writeFile = [](platform::FileHandle file, const void *data, uint32_t size) {
        return faults.pass() && platform::writeFile(file, data, size);
    };
    calls.flushFile = [](platform::FileHandle file) {
        return faults.pass() && platform::flushFile(file);
    };
    calls.flushFolder = [](FolderHandle folder) -> platform::Status {
        return faults.pass() && platform::flushFolder(folder);
    };
    calls.flushVolume = [](FolderHandle folder) -> platform::Status {
        return faults.pass() && platform::flushVolume(folder);
    };
    calls.removeFolderAt = [](FolderHandle folder, const char *name) -> platform::Status {
        return faults.pass() && platform::removeFolderAt(folder, name);
    };
    calls.removeTreeAt = [](FolderHandle folder, const char *name) -> platform::Status {
        return faults.pass() && platform::removeTreeAt(folder, name);
    };
    calls.deleteAt = [](FolderHandle folder, const char *name) -> platform::Status {
        return faults.pass() && platform::deleteAt(folder, name);
    };
    calls.removeAtRestart = [](const char *path) {
        return faults.pass() && platform::removeAtRestartA(path);
    };
    calls.openFolderAt = [](FolderHandle folder, const char *name) {
        faults.look();
        return platform::openFolderAt(folder, name);
    };
    calls.attributesAt = [](FolderHandle folder, const char *name) {
        faults.look();
        return platform::attributesAt(folder, name);
    };
    calls.listFolderAt = [](FolderHandle folder, std::vector<platform::FolderEntry> &entries) {
        faults.look();
        return platform::listFolderAt(folder, entries);
    };
    return calls;
}
const TransactionCalls faulty = faultyCalls();

class Transaction : public ::testing::Test {
protected:
    using Access = UpdateTransaction::Access;
    using Recovery = UpdateTransaction::Recovery;

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
        {1, "top.txt", "top"}, // between two entries of Config
        {1, "Config/more/extra.ini", "extra"},
    };

    // Writes a file's new content into root's staging folder, through the
    // held folder as the reader does, and plans it.
    static int stage(UpdateTransaction &transaction, int root, const std::string &name,
                     const std::string &content, bool folder = false) {
        platform::FolderChain staged(transaction.stagingFolder(root));
        const std::size_t slash = name.find_last_of('/');
        const std::string folderPart = slash == std::string::npos ? "" : name.substr(0, slash);
        const platform::FolderHandle into =
            staged.reach(folder ? name : folderPart, platform::FolderAccess::Inherited);
        EXPECT_NE(into, nullptr) << name;
        if (!folder && into) {
            platform::File file(platform::openFileAt(
                into, name.substr(slash + 1).c_str(), platform::FileAccess::Write,
                platform::FileShare::None, platform::FileDisposition::CreateAlways));
            EXPECT_TRUE(file && platform::writeFile(file.get(), content.data(),
                                                    static_cast<uint32_t>(content.size())));
        }
        return transaction.plan(root, name, folder);
    }

    UpdateTransaction::Completion completion() const { return {"2.0.0", utf8(data), "update.zip"}; }

    // Stages the update (the first of entries from first on) into both
    // roots; false at the first failing step.
    bool prepare(UpdateTransaction &transaction, std::vector<int> &numbers, std::size_t first = 0) {
        const int roots[] = {transaction.addRoot(utf8(app), Access::Administrators),
                             transaction.addRoot(utf8(data), Access::Everyone)};
        if (roots[0] < 0 || roots[1] < 0)
            return false;
        for (std::size_t i = first; i < entries.size(); ++i) {
            const Entry &entry = entries[i];
            numbers.push_back(
                stage(transaction, roots[entry.root], entry.name, entry.content, entry.folder));
            if (numbers.back() < 0)
                return false;
        }
        return true;
    }

    // Runs the update through commit; false at the first failing step, and
    // the transaction is left as it stands then.
    bool apply(UpdateTransaction &transaction) {
        std::vector<int> numbers;
        return prepare(transaction, numbers) && finishApply(transaction, numbers);
    }

    bool finishApply(UpdateTransaction &transaction, const std::vector<int> &numbers) {
        if (!transaction.begin())
            return false;
        for (const int number : numbers) {
            if (!transaction.install(number))
                return false;
        }
        return static_cast<bool>(transaction.commit(completion()));
    }

    // The tree, without the update's own files in the installation folder.
    Tree snapshot() const {
        Tree tree = treeOf(temp.path());
        for (const char *own : {UpdateTransaction::journalName, UpdateTransaction::leftoversName})
            tree.files.erase("app/" + std::string(own));
        return tree;
    }

    // What the update gives when it goes through.
    Tree expectedNew() {
        Tree tree = before;
        tree.files["app/a.txt"] = "new a";
        tree.files["app/bin/x.dll"] = "new x";
        tree.files["app/bin/y.dll"] = "new y";
        tree.files["app/new/deep/z.txt"] = "new z";
        tree.files["app/ro.dat"] = "new read-only";
        tree.files["data/Config/veconfig.ini"] = "[Server]\nVersion=2\n";
        tree.files["data/Config/more/extra.ini"] = "extra";
        tree.files["data/top.txt"] = "top";
        for (const char *folder : {"app/new", "app/new/deep", "app/empty", "data/Config/more"})
            tree.folders.insert(folder);
        return tree;
    }

    // The recovery a start makes, and what it found left to do.
    Recovery recover(const TransactionCalls &calls = systemTransactionCalls()) {
        UpdateTransaction::Found left;
        const Recovery found = UpdateTransaction::recover(utf8(app), left, calls);
        if (found == Recovery::CommitDue) {
            EXPECT_EQ(left.completion.version, "2.0.0");
            EXPECT_EQ(left.completion.packageFolder, utf8(data));
            EXPECT_EQ(left.completion.packageName, "update.zip");
        }
        setAside = left.setAside;
        return found;
    }

    // The folder a work folder of this run went to.
    fs::path workFolder(const fs::path &root, const char *kind) const {
        for (const auto &item : fs::directory_iterator(root)) {
            if (item.path().filename().u8string().rfind(std::string("~velmar-update.") + kind, 0) ==
                0)
                return item.path();
        }
        return {};
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
    std::vector<std::string> setAside; // by the last recovery
};

TEST_F(Transaction, PutsEverythingInPlaceAndLeavesOnlyTheJournalForTheEnd) {
    before = snapshot();
    UpdateTransaction transaction(utf8(app));
    ASSERT_TRUE(apply(transaction));

    EXPECT_TRUE(fs::exists(u8path(journal)));
    EXPECT_EQ(snapshot(), expectedNew()) << describe(snapshot());
    EXPECT_EQ(recover(), Recovery::CommitDue);
    EXPECT_EQ(recover(), Recovery::CommitDue) << "until the version and the package are done";
    EXPECT_TRUE(UpdateTransaction::reseatDue(utf8(app)));
    EXPECT_EQ(recover(), Recovery::ReseatDue) << "until reseat has been started";
    EXPECT_TRUE(UpdateTransaction::finish(utf8(app)));
    EXPECT_EQ(recover(), Recovery::Nothing);
    EXPECT_FALSE(fs::exists(u8path(journal)));
    EXPECT_EQ(snapshot(), expectedNew());
}

TEST_F(Transaction, RollbackAfterTheLastEntryGivesBackTheOldTreeExactly) {
    before = snapshot();
    UpdateTransaction transaction(utf8(app));
    const int app0 = transaction.addRoot(utf8(app), Access::Administrators);
    const int data0 = transaction.addRoot(utf8(data), Access::Everyone);
    ASSERT_GE(app0, 0);
    ASSERT_GE(data0, 0);
    const int a = stage(transaction, app0, "a.txt", "new a");
    const int b = stage(transaction, app0, "n/b.txt", "new b");
    const int ini = stage(transaction, data0, "Config/veconfig.ini", "new");
    ASSERT_TRUE(transaction.begin());
    ASSERT_TRUE(transaction.install(a));
    ASSERT_TRUE(transaction.install(b));
    ASSERT_TRUE(transaction.install(ini));
    EXPECT_EQ(readFile(app / "n/b.txt"), "new b");

    ASSERT_TRUE(transaction.rollback());
    EXPECT_EQ(snapshot(), before) << describe(snapshot());
    EXPECT_FALSE(fs::exists(u8path(journal)));
    EXPECT_EQ(fs::status(app / "ro.dat").permissions() & fs::perms::owner_write, fs::perms::none)
        << "the old file keeps its read-only mark";
}

TEST_F(Transaction, RefusesWhatWouldHideOrBreakTheInstallationBeforeChangingIt) {
    before = snapshot();
    {
        UpdateTransaction transaction(utf8(app));
        const int root = transaction.addRoot(utf8(app), Access::Administrators);
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
        UpdateTransaction transaction(utf8(app));
        const int root = transaction.addRoot(utf8(app), Access::Administrators);
        ASSERT_GE(stage(transaction, root, "a.txt/inner", "", true), 0);
        EXPECT_FALSE(transaction.begin());
        EXPECT_TRUE(transaction.rollback());
    }
    EXPECT_EQ(snapshot(), before) << describe(snapshot());
}

// A file held without sharing cannot be moved aside: install fails, and
// works once the holder has let go.
TEST_F(Transaction, AFileHeldWithoutSharingStopsItsEntryUntilLetGo) {
    before = snapshot();
    UpdateTransaction transaction(utf8(app));
    const int root = transaction.addRoot(utf8(app), Access::Administrators);
    const int x = stage(transaction, root, "bin/x.dll", "new x");
    ASSERT_TRUE(transaction.begin());
    platform::FileHandle held =
        platform::openFileA(utf8(app / "bin/x.dll").c_str(), platform::FileAccess::Read,
                            platform::FileShare::None, platform::FileDisposition::OpenExisting);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(transaction.install(x).error(), platform::error::SharingViolation);
    EXPECT_EQ(readFile(app / "bin/x.dll"), "old x");
    platform::closeFile(held);
    EXPECT_TRUE(transaction.install(x));
    EXPECT_EQ(readFile(app / "bin/x.dll"), "new x");
    EXPECT_TRUE(transaction.rollback());
    EXPECT_EQ(snapshot(), before);
}

// An entry named in another case than the installed file: where names
// match in any case (Windows) it takes the old file's place, though the
// folders' listings name the file as the disk has it; elsewhere it stands
// beside it. Either way an undo gives the old file back.
TEST_F(Transaction, AnEntryInAnotherCaseTakesTheOldFilesPlaceWhereNamesMatchInAnyCase) {
    before = snapshot();
    UpdateTransaction transaction(utf8(app));
    const int root = transaction.addRoot(utf8(app), Access::Administrators);
    const int x = stage(transaction, root, "BIN/X.DLL", "new x");
    ASSERT_TRUE(transaction.begin());
    ASSERT_TRUE(transaction.install(x));
    EXPECT_EQ(readFile(app / "bin/x.dll"), platform::caseSensitiveNames ? "old x" : "new x");
    EXPECT_TRUE(transaction.rollback());
    EXPECT_EQ(readFile(app / "bin/x.dll"), "old x");
    if (platform::caseSensitiveNames) {
        EXPECT_EQ(snapshot(), before) << describe(snapshot());
    }
}

// A package may name a file twice (zip tools append rather than replace):
// the second entry finds its work done, and an undo still gives back the
// old file, not the first entry's.
TEST_F(Transaction, AFileNamedTwiceIsPutInPlaceOnceAndUndoneExactly) {
    before = snapshot();
    UpdateTransaction transaction(utf8(app));
    const int root = transaction.addRoot(utf8(app), Access::Administrators);
    const int x1 = stage(transaction, root, "bin/x.dll", "new x");
    const int n1 = stage(transaction, root, "new/n.txt", "new n");
    const int x2 = transaction.plan(root, "bin\\x.dll", false);
    const int n2 = transaction.plan(root, "new/n.txt", false);
    ASSERT_TRUE(transaction.begin());
    for (const int entry : {x1, n1, x2, n2})
        ASSERT_TRUE(transaction.install(entry)) << entry << ": " << platform::lastError();
    EXPECT_EQ(readFile(app / "bin/x.dll"), "new x");
    EXPECT_EQ(readFile(app / "new/n.txt"), "new n");
    EXPECT_EQ(readFile(workFolder(app, "old") / "bin/x.dll"), "old x");

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
        UpdateTransaction transaction(utf8(app), faulty);
        const bool done = apply(transaction);
        if (done && faults.count < n)
            break; // ran to the end without reaching call n
        if (done) {
            // Only leftovers can fail after the point of no return.
            ASSERT_EQ(recover(), Recovery::CommitDue);
            ASSERT_TRUE(UpdateTransaction::finish(utf8(app)));
            ASSERT_EQ(recover(), Recovery::Nothing) << "leftovers go with the next start";
            ASSERT_EQ(snapshot(), expectedNew()) << "call " << n << "\n" << describe(snapshot());
        } else {
            faults.failAt = -1;
            ASSERT_TRUE(transaction.rollback()) << "call " << n;
            ASSERT_EQ(recover(), Recovery::Nothing);
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
// past the point of no return, all new with the end still to do) and
// nothing of the update's own folders left.
TEST_F(Transaction, AKillAtAnyCallIsFinishedOrUndoneByTheNextStart) {
    before = snapshot();
    int n = 1;
    int undone = 0, finished = 0;
    for (; n < 1000; ++n) {
        faults = Faults{};
        faults.failAt = n;
        faults.dies = true;
        {
            UpdateTransaction transaction(utf8(app), faulty);
            apply(transaction);
            if (!faults.dead)
                break;
        }
        const auto recovery = recover();
        ASSERT_NE(recovery, Recovery::Failed) << "call " << n;
        if (recovery == Recovery::CommitDue) {
            ++finished;
            ASSERT_TRUE(UpdateTransaction::finish(utf8(app)));
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
        UpdateTransaction transaction(utf8(app));
        const int root = transaction.addRoot(utf8(app), Access::Administrators);
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
        const auto recovery = recover(faulty);
        if (!faults.dead) {
            EXPECT_EQ(recovery, Recovery::RolledBack);
            break;
        }
        EXPECT_EQ(recovery, Recovery::Failed);
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
    UpdateTransaction transaction(utf8(app));
    ASSERT_TRUE(apply(transaction));
    EXPECT_EQ(readFile(app / "bin/x.dll"), "new x");
    const fs::path aside = workFolder(app, "old");
    EXPECT_EQ(readFile(aside / "bin/x.dll"), "old x");
    EXPECT_EQ(recover(), Recovery::CommitDue);
    EXPECT_TRUE(UpdateTransaction::finish(utf8(app)));
    platform::closeFile(running);

    EXPECT_EQ(recover(), Recovery::Nothing);
    EXPECT_FALSE(fs::exists(aside));
    EXPECT_FALSE(fs::exists(app / UpdateTransaction::leftoversName));
    EXPECT_EQ(snapshot(), expectedNew());
}

// An old file held without sharing once it was moved aside cannot be
// deleted at commit: the commit stands, the file and the folders around it
// are to go at the machine's next start, and the next update's start
// removes them once they are free. Where everyone can write (the data
// folder), nothing is asked of the next start of the machine.
TEST_F(Transaction, ABackupStillHeldAtCommitGoesAtRestartOrWithTheNextStart) {
    before = snapshot();
    UpdateTransaction transaction(utf8(app));
    const int root = transaction.addRoot(utf8(app), Access::Administrators);
    const int shared = transaction.addRoot(utf8(data), Access::Everyone);
    const int x = stage(transaction, root, "bin/x.dll", "new x");
    const int a = stage(transaction, root, "a.txt", "new a");
    const int ini = stage(transaction, shared, "Config/veconfig.ini", "new");
    ASSERT_TRUE(transaction.begin());
    for (const int entry : {x, a, ini})
        ASSERT_TRUE(transaction.install(entry));
    const fs::path backups = workFolder(app, "old");
    const std::string aside = utf8(backups / "bin/x.dll");
    platform::File held(platform::openFileA(aside.c_str(), platform::FileAccess::Read,
                                            platform::FileShare::None,
                                            platform::FileDisposition::OpenExisting));
    const fs::path sharedAside = workFolder(data, "old") / "Config/veconfig.ini";
    platform::File heldShared(
        platform::openFileA(utf8(sharedAside).c_str(), platform::FileAccess::Read,
                            platform::FileShare::None, platform::FileDisposition::OpenExisting));
    ASSERT_TRUE(held && heldShared);

    EXPECT_TRUE(transaction.commit(completion()));
    EXPECT_EQ(removalsAtRestart(),
              (std::vector<std::string>{"\\??\\" + aside, "\\??\\" + utf8(backups) + "/bin",
                                        "\\??\\" + utf8(backups)}));
    EXPECT_FALSE(fs::exists(backups / "a.txt")) << "what is free goes at once";
    EXPECT_EQ(readFile(app / "bin/x.dll"), "new x");
    EXPECT_EQ(recover(), Recovery::CommitDue);
    EXPECT_TRUE(fs::exists(u8path(aside))) << "still held";
    EXPECT_TRUE(UpdateTransaction::finish(utf8(app)));
    EXPECT_EQ(recover(), Recovery::Nothing) << "a file in use stops no start";

    held.reset();
    heldShared.reset();
    EXPECT_EQ(recover(), Recovery::Nothing);
    EXPECT_FALSE(fs::exists(backups));
    EXPECT_FALSE(fs::exists(workFolder(data, "old")));
    EXPECT_FALSE(fs::exists(app / UpdateTransaction::leftoversName));
    Tree expected = before;
    expected.files["app/a.txt"] = "new a";
    expected.files["app/bin/x.dll"] = "new x";
    expected.files["data/Config/veconfig.ini"] = "new";
    EXPECT_EQ(snapshot(), expected) << describe(snapshot());
}

// Whoever may write in the data folder acts between any two calls of the
// update: a link to another folder takes the place of Config, of the data
// folder's staging folder, or of the data folder itself. Nothing outside
// changes, and the update is all old or all new where the folders went.
TEST_F(Transaction, ALinkPutInTheDataFolderBetweenAnyTwoCallsLeadsNowhere) {
    TempDir elsewhere;
    writeFile(elsewhere.path() / "marker.txt", "keep");
    const auto outside = [&] { return treeOf(elsewhere.path()); };
    const Tree untouched = outside();
    before = snapshot();
    Tree expectedSmall = before;
    expectedSmall.files["app/ro.dat"] = "new read-only";
    expectedSmall.files["data/Config/veconfig.ini"] = "[Server]\nVersion=2\n";
    expectedSmall.files["data/Config/more/extra.ini"] = "extra";
    expectedSmall.files["data/top.txt"] = "top";
    expectedSmall.folders.insert("data/Config/more");
    const std::function<fs::path()> places[] = {
        [&] { return data / "Config"; },
        [&] { return workFolder(data, "new"); },
        [&] { return data; },
    };
    int rounds = 0;
    for (const auto &place : places) {
        for (int n = 1; n < 1000; ++n, ++rounds) {
            faults = Faults{};
            fs::path swapped;
            faults.swapAt = n;
            faults.swap = [&] {
                swapped = place();
                if (swapped.empty())
                    return;
                fs::rename(swapped, u8path(utf8(swapped) + ".away"));
                fs::create_directory_symlink(elsewhere.path(), swapped);
            };
            bool done = false;
            {
                UpdateTransaction transaction(utf8(app), faulty);
                std::vector<int> numbers;
                // Staging is the reader's part (its own tests): the swaps
                // come from the plan on.
                faults.swapAt = -1;
                ASSERT_TRUE(prepare(transaction, numbers, entries.size() - 4));
                faults.seen = 0;
                faults.swapAt = n;
                done = finishApply(transaction, numbers);
                faults.swap = nullptr;
                if (!done) {
                    ASSERT_TRUE(transaction.rollback()) << "call " << n;
                }
            }
            const bool reached = faults.seen >= n;
            ASSERT_EQ(outside(), untouched) << "call " << n;
            // Where the folder went, the update is whole.
            if (!swapped.empty()) {
                fs::remove(swapped);
                fs::rename(u8path(utf8(swapped) + ".away"), swapped);
            }
            Tree after = snapshot();
            for (auto it = after.folders.begin(); it != after.folders.end();)
                it = it->find("~velmar-update") != std::string::npos ? after.folders.erase(it)
                                                                     : std::next(it);
            for (auto it = after.files.begin(); it != after.files.end();)
                it = it->first.find("~velmar-update") != std::string::npos ? after.files.erase(it)
                                                                           : std::next(it);
            ASSERT_TRUE(after == (done ? expectedSmall : before))
                << "call " << n << (done ? " done\n" : " undone\n") << describe(after);
            if (!reached)
                break;
            fs::remove_all(temp.path());
            fs::create_directories(temp.path());
            SetUp();
        }
        fs::remove_all(temp.path());
        fs::create_directories(temp.path());
        SetUp();
    }
    EXPECT_GT(rounds, 60) << "every call of the plan, the moves and the commit";
}

// The journal took its committed state but its folder could not be
// flushed: the update stands (the disk holds either journal, and undoing
// now could leave "committed" over a tree half undone at the next start).
TEST_F(Transaction, ACommitWhoseJournalFolderCannotBeFlushedStands) {
    before = snapshot();
    TransactionCalls calls = systemTransactionCalls();
    calls.flushFolder = [](FolderHandle folder) -> platform::Status {
        const std::string journal = readFile(u8path(faultyJournal));
        return journal.find("\ncommit\n") == std::string::npos && platform::flushFolder(folder);
    };
    faultyJournal = journal;
    {
        UpdateTransaction transaction(utf8(app), calls);
        ASSERT_TRUE(apply(transaction));
    } // and the process ends there
    EXPECT_EQ(recover(), Recovery::CommitDue);
    EXPECT_EQ(snapshot(), expectedNew()) << describe(snapshot());
}

// The data folder is its user's: between any two calls of the update the
// user makes the configuration file anew where it is missing, or turns
// Config into a link or a file, and the update may be killed right then.
// Whatever the moment, the update is all old or all new, the next start is
// never refused, nothing is left in a work folder, and both the user's
// entry and the old configuration stay in the data folder.
TEST_F(Transaction, TheUsersMovesInTheDataFolderHoldNoStartHostage) {
    TempDir elsewhere;
    const fs::path config = data / "Config";
    const struct {
        const char *name;
        std::function<bool()> move; // true when the user acted
        std::string mark;           // what the user leaves, found afterwards
    } moves[] = {
        {"makes the file anew",
         [&] {
             if (fs::exists(fs::symlink_status(config / "veconfig.ini")) ||
                 !fs::is_directory(config))
                 return false;
             writeFile(config / "veconfig.ini", "the user's");
             return true;
         },
         "the user's"},
        {"turns Config into a link",
         [&] {
             fs::rename(config, data / "Config.user");
             fs::create_directory_symlink(elsewhere.path(), config);
             return true;
         },
         ""},
        {"turns Config into a file",
         [&] {
             fs::rename(config, data / "Config.user");
             writeFile(config, "the user's file");
             return true;
         },
         "the user's file"},
    };
    // Every file of the data folder, wherever it went there.
    const auto dataFiles = [&] {
        std::multiset<std::string> contents;
        for (auto it = fs::recursive_directory_iterator(data); it != fs::end(it); ++it) {
            if (it->is_symlink())
                it.disable_recursion_pending();
            else if (it->is_regular_file())
                contents.insert(readFile(it->path()));
        }
        return contents;
    };
    int rounds = 0;
    for (const auto &move : moves) {
        for (const bool killed : {false, true}) {
            for (int n = 1; n < 1000; ++n, ++rounds) {
                fs::remove_all(temp.path());
                fs::create_directories(temp.path());
                SetUp();
                Tree appWas = treeOf(app);
                faults = Faults{};
                bool moved = false;
                {
                    UpdateTransaction transaction(utf8(app), faulty);
                    std::vector<int> numbers;
                    ASSERT_TRUE(prepare(transaction, numbers, entries.size() - 4));
                    faults.seen = 0;
                    faults.swapAt = n;
                    faults.swap = [&] {
                        moved = move.move();
                        faults.dead = killed;
                    };
                    if (!finishApply(transaction, numbers) && !killed) {
                        ASSERT_TRUE(transaction.rollback()) << move.name << ", call " << n;
                    }
                }
                const bool reached = faults.seen >= n;
                ASSERT_NE(recover(), Recovery::Failed) << move.name << ", call " << n;
                ASSERT_TRUE(UpdateTransaction::finish(utf8(app)));
                ASSERT_EQ(recover(), Recovery::Nothing);
                const bool isNew = readFile(app / "ro.dat") == "new read-only";
                if (isNew)
                    appWas.files["ro.dat"] = "new read-only";
                ASSERT_TRUE(treeOf(app) == appWas) << move.name << ", call " << n;
                const auto contents = dataFiles();
                EXPECT_EQ(contents.count(isNew ? "[Server]\nVersion=2\n" : "[Server]\nVersion=1\n"),
                          1u)
                    << move.name << ", call " << n;
                if (moved && !move.mark.empty()) {
                    EXPECT_EQ(contents.count(move.mark), 1u) << move.name << ", call " << n;
                }
                EXPECT_TRUE(namesStartingWith(utf8(data), "~velmar-update").empty());
                EXPECT_TRUE(namesStartingWith(utf8(app), "~velmar-update").empty());
                if (!reached)
                    break;
            }
        }
    }
    EXPECT_GT(rounds, 100);
}

// What the update asks after putting an entry in place: something is at
// its name. A shortcut whose target is gone is still there itself:
// following it would fail the entry five times over and then the package.
TEST_F(Transaction, AnEntryIsInPlaceWhenItsNameHoldsSomethingEvenALinkToNothing) {
    fs::create_symlink(machine.path() / "nowhere", app / "client.lnk");
    UpdateTransaction transaction(utf8(app));
    const int root = transaction.addRoot(utf8(app), Access::Administrators);
    EXPECT_TRUE(transaction.exists(root, "client.lnk"));
    EXPECT_FALSE(transaction.exists(root, "missing.lnk"));
    EXPECT_TRUE(transaction.exists(root, "bin\\x.dll")) << "either separator";
    EXPECT_TRUE(transaction.rollback());
}

TEST_F(Transaction, AJournalThatMakesNoSenseIsLeftAlone) {
    before = snapshot();
    for (const std::string &bad : std::vector<std::string>{
             "",
             "velmar update journal 2\napply\nroot A ~velmar-update.n ~velmar-update.o " +
                 utf8(app) + "\nf 0 1 a.txt\n",
             "velmar update journal 2\napply\nf 7 1 a.txt\nend\n",
             "velmar update journal 2\napply\nroot A staging backup " + utf8(app) + "\nend\n",
             "velmar update journal 1\nsomething\nend\n"}) {
        writeFile(u8path(journal), bad);
        EXPECT_EQ(recover(), Recovery::Failed) << bad;
        EXPECT_EQ(readFile(u8path(journal)), bad);
    }
}

// A journal of the updater before this one (fixed work folder names) is
// still undone by its first start.
TEST_F(Transaction, AnEarlierUpdatersJournalIsStillUndone) {
    before = snapshot();
    fs::create_directories(app / "~velmar-update.old");
    fs::rename(app / "a.txt", app / "~velmar-update.old/a.txt");
    writeFile(app / "a.txt", "new a");
    fs::create_directories(app / "~velmar-update.new");
    writeFile(u8path(journal),
              "velmar update journal 1\napply\nroot " + utf8(app) + "\nf 0 1 a.txt\nend\n");
    EXPECT_EQ(recover(), Recovery::RolledBack);
    EXPECT_EQ(snapshot(), before) << describe(snapshot());
}

} // namespace
