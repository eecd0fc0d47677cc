// The extraction driver with the real reader and recording callbacks: which
// callbacks run when, what they are told, and how the retries go.
#include "platform.h"
#include "testsupport.h"
#include "testzip.h"
#include "unzippackage.h"
#include "zipreader.h"

#include <gtest/gtest.h>

#include <functional>

using namespace testsupport;

namespace {

struct Call {
    std::string what, name;
    int total = 0, index = 0;
    EntryFailure failure{};
};

std::vector<uint32_t> sleeps;

// Records every report; failures and checks answer as the test says.
class Recorder : public UnzipListener {
public:
    int unzipProgress(int total, int index, const char *name, const char *name2, bool) override {
        EXPECT_STREQ(name, name2);
        calls.push_back({"progress", name, total, index, {}});
        return 0;
    }
    int unzipError(const char *, const char *, const char *message) override {
        calls.push_back({"error", message, 0, 0, {}});
        lastError = message;
        return 0;
    }
    EntryFailureAction unzipFailed(const char *, const char *name,
                                   const EntryFailure &failure) override {
        calls.push_back({"failed", name, 0, 0, failure});
        // What a listener does next must not change the error it reports.
        platform::setLastError(platform::error::Success);
        return onFailure ? onFailure(name, failure) : entryfailure::Abort;
    }
    bool unzipCheck(const char *destDir, const char *name) override {
        calls.push_back({"check", name, 0, 0, {}});
        if (onCheck)
            return onCheck(name);
        return platform::pathExists(std::string(destDir) + "/" + name);
    }

    std::vector<Call> calls;
    std::function<EntryFailureAction(const std::string &, const EntryFailure &)> onFailure;
    std::function<bool(const std::string &)> onCheck;
    std::string lastError;
};

class Driver : public ::testing::Test {
protected:
    void SetUp() override {
        sleeps.clear();
        previousSleep = platform::setSleepFunction([](uint32_t ms) { sleeps.push_back(ms); });
    }
    void TearDown() override { platform::setSleepFunction(previousSleep); }

    std::string package(const testzip::Archive &archive) {
        writeFile(u8path(zipPath), testzip::build(archive));
        return zipPath;
    }
    bool run(const testzip::Archive &archive, bool allEntries = true) {
        return unzipPackage(package(archive), dest, listener, allEntries);
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
    platform::SleepFunction previousSleep = nullptr;
    Recorder listener;
    std::vector<Call> &calls = listener.calls;
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
    EXPECT_EQ(sequence(), (std::vector<std::string>{"check bin/", "progress bin/",
                                                    "check bin/app.dll", "progress bin/app.dll"}));
    EXPECT_EQ(calls[1].total, 2);
    EXPECT_EQ(calls[1].index, 0);
    EXPECT_EQ(calls[3].index, 1);
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
              (std::vector<std::string>{"check Config/a.ini", "progress Config/a.ini",
                                        "check MyConfig.txt", "progress MyConfig.txt"}));
    EXPECT_EQ(calls[1].index, 1);
    EXPECT_EQ(calls[3].index, 3);
    EXPECT_EQ(calls[3].total, 4);
}

TEST_F(Driver, ARetriedEntryWaitsAndIsExtractedAgain) {
    // A read-only target cannot be replaced; the failure callback clears it.
    writeFile(u8path(dest + "/app.dll"), "old");
    fs::permissions(u8path(dest + "/app.dll"), fs::perms::owner_read);
    listener.onFailure = [&](const std::string &, const EntryFailure &) {
        fs::permissions(u8path(dest + "/app.dll"), fs::perms::owner_all);
        return entryfailure::Retry;
    };
    EXPECT_TRUE(run(testzip::Archive({testzip::Entry("app.dll", "new")})));
    EXPECT_EQ(readFile(u8path(dest + "/app.dll")), "new");
    EXPECT_EQ(sequence(),
              (std::vector<std::string>{"failed app.dll", "check app.dll", "progress app.dll"}));
    EXPECT_EQ(calls[0].failure.result, zipresult::CannotCreate);
    EXPECT_EQ(sleeps, (std::vector<uint32_t>{3000}));
}

TEST_F(Driver, AKeptOrSkippedEntryCountsAsFinished) {
    writeFile(u8path(dest + "/user.ini"), "mine");
    fs::permissions(u8path(dest + "/user.ini"), fs::perms::owner_read);
    listener.onFailure = [](const std::string &, const EntryFailure &) {
        return entryfailure::KeepExisting;
    };
    EXPECT_TRUE(run(testzip::Archive({{"user.ini", "theirs"}, {"next.txt", "n"}})));
    EXPECT_EQ(readFile(u8path(dest + "/user.ini")), "mine");
    EXPECT_EQ(readFile(u8path(dest + "/next.txt")), "n");
    EXPECT_EQ(sequence(), (std::vector<std::string>{"failed user.ini", "progress user.ini",
                                                    "check next.txt", "progress next.txt"}));
    EXPECT_TRUE(sleeps.empty());
}

TEST_F(Driver, AnAbortEndsThePackageAtOnce) {
    writeFile(u8path(dest + "/a.dll"), "old");
    fs::permissions(u8path(dest + "/a.dll"), fs::perms::owner_read);
    EXPECT_FALSE(run(testzip::Archive({{"a.dll", "new"}, {"b.dll", "b"}})));
    EXPECT_EQ(sequence(), (std::vector<std::string>{"failed a.dll", "error " + lastError}));
    // The error of the failed replacement, whatever the listener left behind.
    EXPECT_EQ(calls[0].failure.osError, platform::error::AccessDenied);
    EXPECT_EQ(lastError, "upzip file err = 5");
    EXPECT_FALSE(fs::exists(u8path(dest + "/b.dll")));
}

TEST_F(Driver, TheFailureCallbackIsToldWhyTheExtractionFailed) {
    testzip::Entry corrupted("app.dll", "good data");
    corrupted.crc = testzip::crcOf("other data");
    EXPECT_FALSE(run(testzip::Archive({corrupted})));
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].what, "failed");
    EXPECT_EQ(calls[0].failure.result, zipresult::CrcMismatch);
}

TEST_F(Driver, AnEntryThatNeverChecksOutFailsAfterFiveAttempts) {
    listener.onCheck = [](const std::string &) { return false; };
    EXPECT_FALSE(run(testzip::Archive({testzip::Entry("a.txt", "a")})));
    EXPECT_EQ(sleeps, (std::vector<uint32_t>(5, 3000)));
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const Call &call) { return call.what == "check"; }),
              5);
    EXPECT_EQ(lastError.rfind("upzip 5 times ---- file err = ", 0), 0u) << lastError;
}

TEST_F(Driver, AnEntryThatChecksOutOnItsFifthAttemptIsFinished) {
    int checks = 0;
    listener.onCheck = [&](const std::string &) { return ++checks >= 5; };
    EXPECT_TRUE(run(testzip::Archive({{"a.txt", "a"}, {"b.txt", "b"}})));
    EXPECT_EQ(sleeps, (std::vector<uint32_t>(4, 3000)));
    EXPECT_EQ(calls.back().what, "progress");
    EXPECT_EQ(calls.back().name, "b.txt");
}

TEST_F(Driver, ReportsWhatCouldNotBeReadWithTheOsError) {
    EXPECT_FALSE(unzipPackage(temp / "missing.zip", dest, listener, true));
    EXPECT_EQ(lastError.rfind("open zip err = ", 0), 0u) << lastError;

    writeFile(u8path(zipPath), "not a zip archive at all");
    EXPECT_FALSE(unzipPackage(zipPath, dest, listener, true));
    EXPECT_EQ(lastError.rfind("open zip err = ", 0), 0u) << lastError;

    EXPECT_FALSE(run(testzip::Archive({{"fine.txt", "f"}, {"CON", "device"}})));
    EXPECT_EQ(lastError.rfind("read zipfile-1 err = ", 0), 0u) << lastError;
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const Call &call) { return call.what == "error"; }),
              3)
        << "once per failed package";
}
