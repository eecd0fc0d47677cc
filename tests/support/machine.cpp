#include "machine.h"

#include <csignal>

#include <signal.h>
#include <sys/types.h>

namespace testsupport {

Machine::Machine() : root_(temp_ / "machine") {
    fs::create_directories(u8path(documents()));
    fs::create_directories(u8path(temp_ / "run"));
    fs::permissions(u8path(temp_ / "run"), fs::perms::owner_all);
}

std::vector<std::string> Machine::logMessages() const {
    return logMessagesOf(readFile(u8path(logPath())));
}

std::vector<BoxRecord> Machine::boxes() const {
    return boxRecords(path("boxes.txt"));
}

std::vector<int> Machine::sleeps() const {
    return sleepRecords(path("sleeps.txt"));
}

Process::Options Machine::options(int sleepDivisor, const std::string &answers) const {
    Process::Options options;
    options.environment = {
        {"VELMAR_SYSTEM_ROOT", root_},
        {"QT_QPA_PLATFORM", "offscreen"},
        {"LC_ALL", "C.UTF-8"},
        {"XDG_RUNTIME_DIR", temp_ / "run"},
        {"VELMAR_TEST_MSGBOX_LOG", path("boxes.txt")},
        {"VELMAR_TEST_MSGBOX_ANSWER", answers},
        {"VELMAR_TEST_SLEEP_LOG", path("sleeps.txt")},
        {"VELMAR_TEST_SLEEP_DIVISOR", std::to_string(sleepDivisor)},
    };
    options.folder = root_;
    return options;
}

void Machine::installProgram(const std::string &name, const std::string &folder,
                             const std::string &asName) const {
    const fs::path target = u8path(path(folder)) / (asName.empty() ? name : asName);
    fs::create_directories(target.parent_path());
    fs::copy_file(u8path(programPath(name)), target, fs::copy_options::overwrite_existing);
}

std::string registryValue(const Machine &machine, const std::string &key, const std::string &name) {
    std::string folder = key;
    for (auto &c : folder)
        if (c == '\\')
            c = '/';
    return readFile(u8path(machine.path("Registry/HKEY_LOCAL_MACHINE/" + folder + "/" + name)));
}

std::vector<int> clientStarts(const std::string &folder) {
    std::vector<int> pids;
    for (const auto &line : textLines(readFile(u8path(folder + "/velmar.started"))))
        pids.push_back(std::stoi(line));
    return pids;
}

::testing::AssertionResult waitForClientStart(const std::string &folder, int timeoutMs) {
    return waitFor(
        "the client to start in " + folder, [&] { return !clientStarts(folder).empty(); },
        timeoutMs);
}

void stopClients(const std::string &folder) {
    for (int pid : clientStarts(folder))
        ::kill(pid, SIGTERM);
}

std::map<std::string, std::string> treeOf(const std::string &folder) {
    std::map<std::string, std::string> tree;
    for (const auto &item : fs::recursive_directory_iterator(u8path(folder))) {
        const std::string name = utf8(fs::relative(item.path(), u8path(folder)));
        if (name == "update.zip" || name == "auto_delete.bat")
            continue;
        tree[name] = item.is_directory() ? "<folder>" : readFile(item.path());
    }
    return tree;
}

std::vector<std::string> workEntries(const std::string &folder) {
    std::vector<std::string> found;
    for (const auto &item : fs::recursive_directory_iterator(u8path(folder))) {
        const std::string name = utf8(item.path().filename());
        if (name.rfind("~velmar-update", 0) == 0 || name.rfind("~zx", 0) == 0)
            found.push_back(utf8(item.path()));
    }
    return found;
}

} // namespace testsupport
