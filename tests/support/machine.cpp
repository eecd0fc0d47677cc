#include "machine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <signal.h>
#include <sys/types.h>

namespace testsupport {

namespace {

std::vector<std::string> lines(const std::string &content) {
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

std::vector<std::string> fields(const std::string &line, char separator) {
    std::vector<std::string> result;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, separator))
        result.push_back(field);
    return result;
}

} // namespace

Machine::Machine() : root_(temp_ / "machine") {
    fs::create_directories(u8path(documents()));
    fs::create_directories(u8path(temp_ / "run"));
    fs::permissions(u8path(temp_ / "run"), fs::perms::owner_all);
}

std::vector<std::string> Machine::logMessages() const {
    static const std::regex stamped(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d [^:]+:::(.*)$)");
    std::vector<std::string> messages;
    for (const auto &line : lines(readFile(u8path(logPath())))) {
        std::smatch match;
        if (std::regex_match(line, match, stamped))
            messages.push_back(match[1]);
        else
            ADD_FAILURE() << "log line without its time stamp: " << line;
    }
    return messages;
}

std::vector<BoxRecord> Machine::boxes() const {
    std::vector<BoxRecord> result;
    for (const auto &line : lines(readFile(u8path(path("boxes.txt"))))) {
        const auto parts = fields(line, '\t');
        if (parts.size() != 5) {
            ADD_FAILURE() << "malformed box record: " << line;
            continue;
        }
        result.push_back(
            {parts[0], parts[1], std::stoi(parts[2]), parts[3] == "1", std::stoi(parts[4])});
    }
    return result;
}

std::vector<int> Machine::sleeps() const {
    std::vector<int> result;
    for (const auto &line : lines(readFile(u8path(path("sleeps.txt")))))
        result.push_back(std::stoi(line));
    return result;
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
    for (const auto &line : lines(readFile(u8path(folder + "/velmar.started"))))
        pids.push_back(std::stoi(line));
    return pids;
}

bool waitForClientStart(const std::string &folder, int timeoutMs) {
    return eventually([&] { return !clientStarts(folder).empty(); }, timeoutMs);
}

void stopClients(const std::string &folder) {
    for (int pid : clientStarts(folder))
        ::kill(pid, SIGTERM);
}

} // namespace testsupport
