// The extraction driver with the real reader, the real transaction and a
// recording listener: which reports come when, what they are told, how the
// retries go, and that a package that fails leaves its target as it was.
#include "platform.h"
#include "testsupport.h"
#include "testzip.h"
#include "unzippackage.h"
#include "updatetransaction.h"
#include "zipreader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

using namespace testsupport;

namespace {

struct Call {
    std::string what, name;
    int total = 0, index = 0;
    EntryFailure failure{};
};

std::vector<uint32_t> sleeps;

// Records every report; failures answer as the test says.
class Recorder : public UnzipListener {
public:
    int unzipProgress(int total, int index, const char *name, const char *name2, bool) override {
        EXPECT_STREQ(name, name2);
        calls.push_back({"progress", name, total, index, {}});
        return 0;
    }
    EntryFailureAction unzipFailed(const char *, const char *name,
                                   const EntryFailure &failure) override {
        calls.push_back({"failed", name, 0, 0, failure});
        // What a listener does next must not change the error it reports.
        platform::setLastError(platform::error::Success);
        return onFailure ? onFailure(name, failure) : EntryFailureAction::Abort;
    }
    std::vector<Call> calls;
    std::function<EntryFailureAction(const std::string &, const EntryFailure &)> onFailure;
    std::string lastError;
};

// Every file with its content and every folder under folder.
std::map<std::string, std::string> treeOf(const fs::path &folder) {
    std::map<std::string, std::string> tree;
    for (const auto &item : fs::recursive_directory_iterator(folder))
        tree[utf8(fs::relative(item.path(), folder))] =
            item.is_directory() ? "<folder>" : readFile(item.path());
    return tree;
}

// A file opened without sharing, as another program holds it.
class Held {
public:
    explicit Held(const std::string &path)
        : file(platform::openFileA(path.c_str(), platform::FileAccess::Read,
                                   platform::FileShare::None,
                                   platform::FileDisposition::OpenExisting)) {
        EXPECT_NE(file, nullptr) << path;
    }
    ~Held() { letGo(); }
    void letGo() {
        if (file)
            platform::closeFile(file);
        file = nullptr;
    }

private:
    platform::FileHandle file;
};

class Driver : public ::testing::Test {
protected:
    void SetUp() override {
        sleeps.clear();
        previousSleep = platform::setSleepFunction([](uint32_t ms) { sleeps.push_back(ms); });
        fs::create_directories(u8path(dest));
    }
    void TearDown() override { platform::setSleepFunction(previousSleep); }

    std::string package(const testzip::Archive &archive) {
        writeFile(u8path(zipPath), testzip::build(archive));
        return zipPath;
    }
    // Stages and applies one package as the updater does, through one open
    // of it; a failure is recorded with its message and rolled back.
    bool runPackage(const std::string &path, bool allEntries = true) {
        UpdateTransaction transaction(temp.path().u8string(), transactionCalls);
        StagedPackage staged;
        const platform::File file(platform::openFileA(path.c_str(), platform::FileAccess::Read,
                                                      platform::FileShare::Read,
                                                      platform::FileDisposition::OpenExisting));
        const int root = transaction.addRoot(dest, UpdateTransaction::Access::Administrators);
        EXPECT_GE(root, 0);
        const PackageJob job{path, file.get(), dest, root, allEntries};
        UnzipResult failure = stagePackage(job, listener, transaction, staged);
        if (!failure)
            failure = applyPackage(staged, listener, transaction);
        if (failure) {
            calls.push_back({"error",
                             failure->message,
                             0,
                             0,
                             {failure->stage, failure->result, failure->osError, true}});
            lastError = failure->message;
            EXPECT_TRUE(transaction.rollback());
            return false;
        }
        return transaction.commit({}) && UpdateTransaction::finish(temp.path().u8string());
    }
    bool run(const testzip::Archive &archive, bool allEntries = true) {
        return runPackage(package(archive), allEntries);
    }
    std::vector<std::string> sequence() const {
        std::vector<std::string> result;
        for (const auto &call : listener.calls)
            result.push_back(call.what + " " + call.name);
        return result;
    }

    TempDir temp;
    const std::string zipPath = temp / "update.zip";
    const std::string dest = temp / "app";
    const std::string journal = temp / UpdateTransaction::journalName;
    platform::SleepFunction previousSleep = nullptr;
    Recorder listener;
    std::vector<Call> &calls = listener.calls;
    TransactionCalls transactionCalls = systemTransactionCalls();
    std::string &lastError = listener.lastError;
};

} // namespace

TEST_F(Driver, AnEmptyArchiveNeedsNoCallback) {
    EXPECT_TRUE(run(testzip::Archive()));
    EXPECT_TRUE(calls.empty());
}

TEST_F(Driver, ReportsEachFinishedEntryWithItsIndex) {
    EXPECT_TRUE(run(testzip::Archive({testzip::folder("bin/"), {"bin/app.dll", "new"}})));
    EXPECT_TRUE(fs::is_directory(u8path(dest + "/bin")));
    EXPECT_EQ(readFile(u8path(dest + "/bin/app.dll")), "new");
    EXPECT_EQ(sequence(), (std::vector<std::string>{"progress bin/", "progress bin/app.dll"}));
    EXPECT_EQ(calls[0].total, 2);
    EXPECT_EQ(calls[0].index, 0);
    EXPECT_EQ(calls[1].index, 1);
}

TEST_F(Driver, TheConfigurationSelectionCountsOverAllEntries) {
    EXPECT_TRUE(run(testzip::Archive({{"Settings/a.ini", "s"},
                                      {"Config/a.ini", "c"},
                                      {"readme.txt", "r"},
                                      {"MyConfig.txt", "m"}}),
                    false));
    EXPECT_FALSE(fs::exists(u8path(dest + "/Settings")));
    EXPECT_FALSE(fs::exists(u8path(dest + "/readme.txt")));
    EXPECT_EQ(readFile(u8path(dest + "/Config/a.ini")), "c");
    EXPECT_EQ(readFile(u8path(dest + "/MyConfig.txt")), "m");
    EXPECT_EQ(sequence(),
              (std::vector<std::string>{"progress Config/a.ini", "progress MyConfig.txt"}));
    EXPECT_EQ(calls[0].index, 1);
    EXPECT_EQ(calls[1].index, 3);
    EXPECT_EQ(calls[1].total, 4);
}

TEST_F(Driver, ARetriedEntryWaitsAndIsPutInPlaceAgain) {
    // A file held without sharing cannot be moved aside; the listener lets
    // it go.
    writeFile(u8path(dest + "/app.dll"), "old");
    Held held(dest + "/app.dll");
    listener.onFailure = [&](const std::string &, const EntryFailure &) {
        held.letGo();
        return EntryFailureAction::Retry;
    };
    EXPECT_TRUE(run(testzip::Archive({testzip::Entry("app.dll", "new")})));
    EXPECT_EQ(readFile(u8path(dest + "/app.dll")), "new");
    EXPECT_EQ(sequence(), (std::vector<std::string>{"failed app.dll", "progress app.dll"}));
    EXPECT_EQ(calls[0].failure.stage, EntryStage::Install);
    EXPECT_EQ(calls[0].failure.osError, platform::error::SharingViolation);
    EXPECT_EQ(sleeps, (std::vector<uint32_t>{3000}));
}

TEST_F(Driver, AReadOnlyOrRunningFileIsMovedAsideWithoutAFailure) {
    writeFile(u8path(dest + "/ro.dll"), "old");
    fs::permissions(u8path(dest + "/ro.dll"), fs::perms::owner_read);
    EXPECT_TRUE(run(testzip::Archive({testzip::Entry("ro.dll", "new")})));
    EXPECT_EQ(readFile(u8path(dest + "/ro.dll")), "new");
    EXPECT_EQ(sequence(), (std::vector<std::string>{"progress ro.dll"}));
}

TEST_F(Driver, AKeptOrSkippedEntryCountsAsFinished) {
    writeFile(u8path(dest + "/user.ini"), "mine");
    Held held(dest + "/user.ini");
    listener.onFailure = [](const std::string &, const EntryFailure &) {
        return EntryFailureAction::Skip;
    };
    EXPECT_TRUE(run(testzip::Archive({{"user.ini", "theirs"}, {"next.txt", "n"}})));
    held.letGo();
    EXPECT_EQ(readFile(u8path(dest + "/user.ini")), "mine");
    EXPECT_EQ(readFile(u8path(dest + "/next.txt")), "n");
    EXPECT_EQ(sequence(), (std::vector<std::string>{"failed user.ini", "progress user.ini",
                                                    "progress next.txt"}));
    EXPECT_TRUE(sleeps.empty());
}

TEST_F(Driver, AnAbortEndsThePackageAndNothingOfItStays) {
    writeFile(u8path(dest + "/b.dll"), "old b");
    writeFile(u8path(dest + "/c.dll"), "old c");
    const auto before = treeOf(u8path(dest));
    Held held(dest + "/c.dll");
    EXPECT_FALSE(run(testzip::Archive({{"a/a.dll", "new"}, {"b.dll", "b"}, {"c.dll", "c"}})));
    EXPECT_EQ(sequence(), (std::vector<std::string>{"progress a/a.dll", "progress b.dll",
                                                    "failed c.dll", "error " + lastError}));
    // The error of the failed move, whatever the listener left behind.
    EXPECT_EQ(calls[2].failure.osError, platform::error::SharingViolation);
    EXPECT_EQ(calls[3].failure.osError, platform::error::SharingViolation);
    EXPECT_EQ(lastError, "upzip file err = 32");
    held.letGo();
    EXPECT_EQ(treeOf(u8path(dest)), before);
    EXPECT_FALSE(fs::exists(u8path(journal)));
}

TEST_F(Driver, APackageIsReadThroughBeforeTheFirstFileChanges) {
    writeFile(u8path(dest + "/a.dll"), "old a");
    const auto before = treeOf(u8path(dest));
    testzip::Entry corrupted("z.dll", "good data");
    corrupted.crc = testzip::crcOf("other data");
    EXPECT_FALSE(run(testzip::Archive({{"a.dll", "new a"}, {"b/b.dll", "b"}, corrupted})));
    EXPECT_EQ(sequence(), (std::vector<std::string>{"failed z.dll", "error " + lastError}))
        << "no entry is reported finished before the package is known good";
    EXPECT_EQ(treeOf(u8path(dest)), before);

    // A name the update keeps for itself is refused as a fault of the
    // package, before anything of it is decoded.
    calls.clear();
    EXPECT_FALSE(run(testzip::Archive({{"a.dll", "new a"}, {"~velmar-update.old/x", "x"}})));
    EXPECT_EQ(sequence(), (std::vector<std::string>{"error " + lastError}));
    EXPECT_EQ(calls[0].failure.result, zipresult::UnsafeName);
    EXPECT_EQ(treeOf(u8path(dest)), before);
}

TEST_F(Driver, ALargePackageStagedOnTwoThreadsIsReportedInItsOrder) {
    // Three runs of neighbours, staged early on two threads.
    const auto name = [](int n) { return "d" + std::to_string(n % 3) + "/f" + std::to_string(n); };
    const auto package = [&](const std::vector<int> &corrupted) {
        std::vector<testzip::Entry> entries;
        for (int n = 0; n < 40; ++n) {
            entries.emplace_back(name(n), "content " + std::to_string(n));
            if (std::count(corrupted.begin(), corrupted.end(), n) != 0)
                entries.back().crc = testzip::crcOf("other");
        }
        return testzip::Archive(entries);
    };
    const auto before = treeOf(u8path(dest));
    // The first failure in the package's order is the one reported, whichever
    // thread staged it, and nothing changes.
    for (const auto &corrupted : std::vector<std::vector<int>>{{20, 30}, {5, 20}, {20, 35}}) {
        calls.clear();
        EXPECT_FALSE(run(package(corrupted)));
        EXPECT_EQ(sequence(),
                  (std::vector<std::string>{"failed " + name(corrupted[0]), "error " + lastError}));
        EXPECT_EQ(treeOf(u8path(dest)), before);
    }
    calls.clear();
    EXPECT_TRUE(run(package({})));
    std::vector<std::string> expected;
    for (int n = 0; n < 40; ++n) {
        expected.insert(expected.end(), {"progress " + name(n)});
        EXPECT_EQ(readFile(u8path(dest + "/" + name(n))), "content " + std::to_string(n));
    }
    EXPECT_EQ(sequence(), expected);
}

TEST_F(Driver, TheFailureCallbackIsToldWhyTheExtractionFailed) {
    testzip::Entry corrupted("app.dll", "good data");
    corrupted.crc = testzip::crcOf("other data");
    EXPECT_FALSE(run(testzip::Archive({corrupted})));
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].what, "failed");
    EXPECT_EQ(calls[0].failure.result, zipresult::CrcMismatch);
}

// What the driver asks of the transaction after putting an entry in place:
// the entry is there. Its first looks at a.txt find nothing, up to the
// number given (the plan lists the folder instead).
int missingLooks = 0;
const TransactionCalls &missingAtFirst() {
    static TransactionCalls calls = [] {
        TransactionCalls made = systemTransactionCalls();
        made.attributesAt = [](platform::FolderHandle folder, const char *name) {
            if (std::string(name) == "a.txt" && missingLooks > 0) {
                --missingLooks;
                platform::setLastError(platform::error::FileNotFound);
                return platform::attribute::Invalid;
            }
            return platform::attributesAt(folder, name);
        };
        return made;
    }();
    return calls;
}

TEST_F(Driver, AnEntryThatIsNotThereAfterItsMoveIsTriedFiveTimes) {
    transactionCalls = missingAtFirst();
    for (const bool lastFound : {false, true}) {
        sleeps.clear();
        calls.clear();
        missingLooks = lastFound ? 4 : 1000;
        EXPECT_EQ(run(testzip::Archive({{"a.txt", "a"}, {"b.txt", "b"}})), lastFound);
        EXPECT_EQ(sleeps, (std::vector<uint32_t>(lastFound ? 4 : 5, 3000)));
        if (lastFound) {
            EXPECT_EQ(calls.back().what, "progress");
            EXPECT_EQ(calls.back().name, "b.txt");
        } else {
            EXPECT_EQ(lastError.rfind("upzip 5 times ---- file err = ", 0), 0u) << lastError;
        }
        fs::remove_all(u8path(dest));
        fs::create_directories(u8path(dest));
    }
}

TEST_F(Driver, ReportsWhatCouldNotBeReadWithTheOsError) {
    EXPECT_FALSE(runPackage(temp / "missing.zip"));
    EXPECT_EQ(lastError.rfind("open zip err = ", 0), 0u) << lastError;

    writeFile(u8path(zipPath), "not a zip archive at all");
    EXPECT_FALSE(runPackage(zipPath));
    EXPECT_EQ(lastError.rfind("open zip err = ", 0), 0u) << lastError;

    EXPECT_FALSE(run(testzip::Archive({{"fine.txt", "f"}, {"CON", "device"}})));
    EXPECT_EQ(lastError.rfind("read zipfile-1 err = ", 0), 0u) << lastError;
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const Call &call) { return call.what == "error"; }),
              3)
        << "once per failed package";
}
