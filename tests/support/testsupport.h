// Helpers shared by the tests: a private temporary folder per test, the files
// in it, and a private stand-in machine.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

namespace fs = std::filesystem;

// A fresh folder, removed again with everything in it (keep it for a look
// with VELMAR_KEEP_TEST_DIRS=1).
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const fs::path &path() const { return path_; }
    // path() / relative, as a UTF-8 string.
    std::string operator/(const std::string &relative) const;

private:
    fs::path path_;
};

// The whole content of a file, as bytes ("" when it cannot be read).
std::string readFile(const fs::path &path);
// Writes bytes, creating the folders on the way.
void writeFile(const fs::path &path, const std::string &content);
// A UTF-8 string as a path, and back.
fs::path u8path(const std::string &utf8);
std::string utf8(const fs::path &path);

// Makes a symbolic link at link to target (a folder when folder is true).
// False where the system cannot make one (Windows without the right, Wine
// without link support): a test then has nothing to try.
bool makeLink(const std::string &link, const std::string &target, bool folder);

// A program the build made (VELMAR_BIN_DIR), with the platform's suffix.
std::string programPath(const std::string &name);

// The names in folder that begin with prefix (the update's work folders,
// journal and lists begin with "~velmar-update").
std::vector<std::string> namesStartingWith(const std::string &folder, const std::string &prefix);

// How long a test waits for a state that a sound program reaches in moments
// (a window, a line, a file, an end): long enough that a machine busy with
// other work never runs out of it, so that only a fault does.
constexpr int patienceMs = 120000;
// How long a helper program (hold, the client stand-in) keeps what it holds
// unless the test ends it first, as each test does once it is done: past
// any test's own time limit, so that a slow test never sees it let go.
inline const std::string helperSeconds = "1800";

// Polls condition every 20 ms until it holds (true) or timeoutMs passes.
bool eventually(const std::function<bool()> &condition, int timeoutMs);
// The same, for a state a test needs: a failure names what it waited for.
::testing::AssertionResult waitFor(const std::string &what, const std::function<bool()> &condition,
                                   int timeoutMs = patienceMs);

// A name nobody else uses, for mutexes and the like.
std::string uniqueName(const std::string &stem);

// The lines of a text, without their line ends (LF or CR LF).
std::vector<std::string> textLines(const std::string &content);

// One message box as a test build records it.
struct BoxRecord {
    std::string title, text;
    int grade = -1;
    bool cancelHidden = false;
    int focus = -1;
};

// What the test builds record (common/testhooks.h): the message boxes
// shown, and the waits made in milliseconds, in order; nothing when the file
// is missing.
std::vector<BoxRecord> boxRecords(const std::string &file);
std::vector<int> sleepRecords(const std::string &file);

// The messages of an install log, each line's time stamp checked and cut
// off; the bytes stay as the log holds them.
std::vector<std::string> logMessagesOf(const std::string &content);

// Checks a run that ended in a failure, as the programs end one: the log
// holds the start banner, the reason, the last error after lastErrorTag and
// the end banner; one error box with only its confirm button, focused, says
// text under title.
void expectFailedRun(const std::vector<std::string> &log, const std::vector<BoxRecord> &boxes,
                     const std::string &startBanner, const std::string &reason,
                     const std::string &lastErrorTag, const std::string &endBanner,
                     const std::string &title, const std::string &text);

} // namespace testsupport
