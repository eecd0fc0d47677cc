#include "windowsmachine.h"

#include "platform.h"

#include <gtest/gtest.h>

#include <system_error>

#include <windows.h>

using namespace testsupport;

namespace winetest {

const char appPathsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\velmar";
const char uninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\velmar";
const char clientGuard[] = "{AB49C45E-B7A8-4359-8429-51B65B55718C}";

namespace {

std::string convert(const std::string &text, UINT from, UINT to) {
    if (text.empty())
        return {};
    const int size = static_cast<int>(text.size());
    const int wideLength = ::MultiByteToWideChar(from, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
    ::MultiByteToWideChar(from, 0, text.data(), size, wide.data(), wideLength);
    const int length =
        ::WideCharToMultiByte(to, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(to, 0, wide.data(), wideLength, result.data(), length, nullptr, nullptr);
    return result;
}

const char *const parentKeys[] = {
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths",
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
};

} // namespace

std::string gbk(const std::string &utf8) {
    return convert(utf8, CP_UTF8, 936);
}

std::string fromGbk(const std::string &bytes) {
    return convert(bytes, 936, CP_UTF8);
}

std::string unicodeLocation() {
    return "C:\\Program Files\\Orvane Ünïcödé ✓";
}

std::string percentLocation() {
    return "C:\\Program Files\\Orvane %TEMP% Co";
}

std::string deepLocation(std::size_t length) {
    std::string location = "C:\\Program Files\\Orvane Client";
    const std::string folder = "\\Orvane Client ";
    while (location.size() + 2 * folder.size() + 35 < length)
        location += folder + std::string(35, 'x');
    location += folder;
    return location + std::string(length - location.size(), 'x');
}

std::string asLogged(const std::string &utf8) {
    return fromGbk(gbk(utf8));
}

void removeTree(const std::string &path) {
    std::error_code ignored;
    const fs::path root = u8path(path);
    // Windows deletes no read-only file.
    for (auto it = fs::recursive_directory_iterator(root, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored))
        fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ignored);
    fs::remove_all(root, ignored);
}

WindowsMachine::WindowsMachine() {
    EXPECT_TRUE(platform::commonDocumentsFolder(documents_));
    clear();
    fs::create_directories(u8path(dataFolder() + "\\Config"));
    fs::create_directories(u8path(velmar()));
}

WindowsMachine::~WindowsMachine() {
    clear();
}

void WindowsMachine::clear() const {
    stopClients(exeinfo());
    removeTree(location());
    removeTree(dataFolder());
    removeTree(logPath());
    for (const char *parent : parentKeys)
        platform::registryDeleteKey(parent, "velmar");
}

void WindowsMachine::installProgram(const std::string &name, const std::string &folder) const {
    fs::create_directories(u8path(folder));
    fs::copy_file(u8path(programPath(name)), u8path(folder + "\\" + name + ".exe"),
                  fs::copy_options::overwrite_existing);
}

void WindowsMachine::registerClient(const std::string &version) const {
    ASSERT_TRUE(platform::registryWriteString(appPathsKey, "InstallLocation", location()));
    ASSERT_TRUE(platform::registryWriteString(uninstallKey, "DisplayVersion", version));
}

std::string WindowsMachine::logBytes() const {
    return readFile(u8path(logPath()));
}

std::vector<std::string> WindowsMachine::logMessages() const {
    std::vector<std::string> messages;
    for (const auto &message : logMessagesOf(logBytes()))
        messages.push_back(fromGbk(message));
    return messages;
}

bool WindowsMachine::logHas(const std::string &message) const {
    for (const auto &line : logMessages()) {
        if (line == message)
            return true;
    }
    return false;
}

std::string WindowsMachine::logText() const {
    std::string text;
    for (const auto &line : logMessages())
        text += line + "\n";
    return text;
}

std::vector<BoxRecord> WindowsMachine::boxes() const {
    return boxRecords(records_ / "boxes.txt");
}

std::vector<int> WindowsMachine::sleeps() const {
    return sleepRecords(records_ / "sleeps.txt");
}

Process::Options WindowsMachine::options(int sleepDivisor, const std::string &answers) const {
    Process::Options options;
    options.environment = {
        {"QT_QPA_PLATFORM", "offscreen"},
        {"VELMAR_TEST_MSGBOX_LOG", records_ / "boxes.txt"},
        {"VELMAR_TEST_MSGBOX_ANSWER", answers},
        {"VELMAR_TEST_SLEEP_LOG", records_ / "sleeps.txt"},
        {"VELMAR_TEST_SLEEP_DIVISOR", std::to_string(sleepDivisor)},
    };
    return options;
}

Process WindowsMachine::hold(const std::string &what, const std::string &name) const {
    Process holder = Process::start({programPath("hold"), what, name, helperSeconds});
    EXPECT_TRUE(holder.waitForLine("held")) << "cannot hold " << name;
    return holder;
}

std::vector<unsigned long> WindowsMachine::clientStarts(const std::string &folder) const {
    std::vector<unsigned long> ids;
    for (const auto &line : textLines(readFile(u8path(folder + "\\velmar.started"))))
        ids.push_back(std::stoul(line));
    return ids;
}

::testing::AssertionResult WindowsMachine::waitForClientStart(const std::string &folder,
                                                              int timeoutMs) const {
    return waitFor(
        "the client to start in " + folder, [&] { return !clientStarts(folder).empty(); },
        timeoutMs);
}

void WindowsMachine::stopClients(const std::string &folder) const {
    for (const unsigned long id : clientStarts(folder)) {
        const HANDLE client =
            ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
        if (!client)
            continue; // ended already
        ::TerminateProcess(client, 0);
        ::WaitForSingleObject(client, 10000);
        ::CloseHandle(client);
    }
    // The file of a program that ended is let go a moment later (on a busy
    // machine, seconds later): the next test writes over it.
    const fs::path program = u8path(folder + "\\velmar.exe");
    eventually(
        [&] {
            const HANDLE file = ::CreateFileW(program.c_str(), GENERIC_WRITE, 0, nullptr,
                                              OPEN_EXISTING, 0, nullptr);
            if (file == INVALID_HANDLE_VALUE)
                return ::GetLastError() == ERROR_FILE_NOT_FOUND ||
                       ::GetLastError() == ERROR_PATH_NOT_FOUND;
            ::CloseHandle(file);
            return true;
        },
        30000);
}

namespace {

Process regQuery(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"C:\\windows\\system32\\reg.exe", "query"});
    // The product keeps to the 32-bit view; a 64-bit build of the tests runs
    // the 64-bit reg.exe, which has to be told.
    if (sizeof(void *) == 8)
        arguments.push_back("/reg:32");
    return Process::start(arguments);
}

} // namespace

::testing::AssertionResult regShows(const std::string &key, const std::string &name,
                                    const std::string &value) {
    Process reg = regQuery({"HKEY_LOCAL_MACHINE\\" + key, "/v", name});
    return reg.waitForLine("    " + name + "    REG_SZ    " + value);
}

bool regKeyExists(const std::string &key) {
    Process reg = regQuery({"HKEY_LOCAL_MACHINE\\" + key});
    return reg.wait(patienceMs) == 0;
}

} // namespace winetest
