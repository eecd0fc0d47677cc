#include "testsupport.h"

#include "process.h"

#include "platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

namespace testsupport {

namespace {

std::string randomSuffix() {
    static std::atomic<unsigned> counter{0};
    std::random_device device;
    std::ostringstream out;
    out << std::hex << device() << '-' << counter++;
    return out.str();
}

} // namespace

TempDir::TempDir() {
    path_ = fs::temp_directory_path() / ("velmar-test-" + randomSuffix());
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    if (const char *keep = std::getenv("VELMAR_KEEP_TEST_DIRS"); keep && *keep)
        return;
    std::error_code ignored;
    // Read-only files would stop remove_all on some systems.
    for (auto it = fs::recursive_directory_iterator(path_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored))
        fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

std::string TempDir::operator/(const std::string &relative) const {
    return utf8(path_ / u8path(relative));
}

bool makeLink(const std::string &link, const std::string &target, bool folder) {
    std::error_code error;
    if (folder)
        fs::create_directory_symlink(u8path(target), u8path(link), error);
    else
        fs::create_symlink(u8path(target), u8path(link), error);
    return !error;
}

std::string readFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path &path, const std::string &content) {
    if (path.has_parent_path())
        fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

fs::path u8path(const std::string &utf8) {
    return fs::u8path(utf8);
}

std::string utf8(const fs::path &path) {
    return path.u8string();
}

std::string programPath(const std::string &name) {
    const char *folder = std::getenv("VELMAR_BIN_DIR");
    return std::string(folder ? folder : ".") + "/" + name + platform::programSuffix;
}

std::vector<std::string> namesStartingWith(const std::string &folder, const std::string &prefix) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto &item : fs::directory_iterator(u8path(folder), error)) {
        const std::string name = utf8(item.path().filename());
        if (name.rfind(prefix, 0) == 0)
            names.push_back(name);
    }
    return names;
}

bool eventually(const std::function<bool()> &condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

::testing::AssertionResult waitFor(const std::string &what, const std::function<bool()> &condition,
                                   int timeoutMs) {
    if (eventually(condition, timeoutMs))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "waited " << timeoutMs / 1000 << " s in vain for " << what;
}

std::string uniqueName(const std::string &stem) {
    return stem + "-" + randomSuffix();
}

std::vector<std::string> textLines(const std::string &content) {
    std::vector<std::string> result;
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        result.push_back(line);
    }
    return result;
}

std::vector<BoxRecord> boxRecords(const std::string &file) {
    std::vector<BoxRecord> result;
    for (const auto &line : textLines(readFile(u8path(file)))) {
        std::vector<std::string> parts;
        std::istringstream in(line);
        std::string field;
        while (std::getline(in, field, '\t'))
            parts.push_back(field);
        if (parts.size() != 5) {
            ADD_FAILURE() << "malformed box record: " << line;
            continue;
        }
        result.push_back(
            {parts[0], parts[1], std::stoi(parts[2]), parts[3] == "1", std::stoi(parts[4])});
    }
    return result;
}

std::vector<int> sleepRecords(const std::string &file) {
    std::vector<int> result;
    for (const auto &line : textLines(readFile(u8path(file))))
        result.push_back(std::stoi(line));
    return result;
}

std::vector<std::string> logMessagesOf(const std::string &content) {
    // The weekday is in the system's language and code page; no byte of a
    // GBK character is a colon.
    static const std::regex stamped(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d [^:]+:::(.*)$)");
    std::vector<std::string> messages;
    for (const auto &line : textLines(content)) {
        std::smatch match;
        if (std::regex_match(line, match, stamped))
            messages.push_back(match[1]);
        else
            ADD_FAILURE() << "log line without its time stamp: " << line;
    }
    return messages;
}

bool takeLinesUntil(std::string &pending, const std::string &line) {
    for (auto newline = pending.find('\n'); newline != std::string::npos;
         newline = pending.find('\n')) {
        std::string got = pending.substr(0, newline);
        pending.erase(0, newline + 1);
        if (!got.empty() && got.back() == '\r')
            got.pop_back();
        if (got == line)
            return true;
    }
    return false;
}

::testing::AssertionResult Process::waitForLine(const std::string &line, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!takeLinesUntil(pending_, line)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            return ::testing::AssertionFailure()
                   << "waited " << timeoutMs / 1000 << " s in vain for the line \"" << line
                   << "\" from " << program_;
        if (!readMore(static_cast<int>(left)))
            return ::testing::AssertionFailure()
                   << program_ << " closed its output without the line \"" << line << "\"";
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult Process::endsWith(int code, int timeoutMs) {
    const int got = wait(timeoutMs);
    if (got == code)
        return ::testing::AssertionSuccess();
    if (running())
        return ::testing::AssertionFailure()
               << "waited " << timeoutMs / 1000 << " s in vain for " << program_ << " to end";
    return ::testing::AssertionFailure() << program_ << " ended with " << got << ", not " << code;
}

void expectFailedRun(const std::vector<std::string> &log, const std::vector<BoxRecord> &boxes,
                     const std::string &startBanner, const std::string &reason,
                     const std::string &lastErrorTag, const std::string &endBanner,
                     const std::string &title, const std::string &text) {
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0], startBanner);
    EXPECT_EQ(log[1], reason);
    EXPECT_EQ(log[2].rfind(lastErrorTag, 0), 0u) << log[2];
    EXPECT_GT(log[2].size(), lastErrorTag.size()) << "the error's number";
    EXPECT_EQ(log[3], endBanner);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, title);
    EXPECT_EQ(boxes[0].text, text);
    EXPECT_EQ(boxes[0].grade, 2);
    EXPECT_TRUE(boxes[0].cancelHidden);
    EXPECT_EQ(boxes[0].focus, 0);
}

} // namespace testsupport
