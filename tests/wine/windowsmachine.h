// The Windows machine the end-to-end tests run the programs on: the Wine
// prefix of the test run itself, with the client installed where a user has
// it. The programs find everything through Windows alone (the all-users
// documents folder, HKEY_LOCAL_MACHINE, the desktop and the Start menu), so
// every test of the run shares these places; each test lays them out anew
// and the tests run one after another.
#pragma once

#include "process.h"
#include "testsupport.h"

#include <string>
#include <vector>

namespace winetest {

using testsupport::BoxRecord;
using testsupport::Process;

extern const char appPathsKey[];  // ...\App Paths\velmar
extern const char uninstallKey[]; // ...\Uninstall\velmar
extern const char clientGuard[];

// UTF-8 text in code page 936 and back, as the users' Chinese Windows
// stores it; converted here by Windows itself, independently of the code
// page the programs run with.
std::string gbk(const std::string &utf8);
std::string fromGbk(const std::string &bytes);

class WindowsMachine {
public:
    // Ends the clients and removes what an earlier test left, then lays out
    // the data folder ("velmar" in the all-users documents, with its
    // "Config" folder) and an empty installation folder.
    WindowsMachine();
    ~WindowsMachine();
    WindowsMachine(const WindowsMachine &) = delete;
    WindowsMachine &operator=(const WindowsMachine &) = delete;

    const std::string &documents() const { return documents_; }
    std::string logPath() const { return documents_ + "\\velmarinstall.txt"; }
    std::string dataFolder() const { return documents_ + "\\velmar"; }
    // The folder "InstallLocation" names, the installation folder in it,
    // and the folder beside that one. Chinese in the code page's bytes for
    // the ZIP layer and the batch files, a blank and a "%" for cmd.exe.
    static std::string location() { return "C:\\Program Files\\Orvane 客户端 100%"; }
    std::string velmar() const { return location() + "\\velmar"; }
    std::string orvane() const { return location() + "\\Orvane"; }
    std::string exeinfo() const { return velmar() + "\\exeinfo"; }

    // Copies a program of the build (name without ".exe") into folder.
    void installProgram(const std::string &name, const std::string &folder) const;
    // The two registry keys of an installed client.
    void registerClient(const std::string &version) const;

    // The install log as it is on disk, and its messages in UTF-8 (time
    // stamps checked and cut off).
    std::string logBytes() const;
    std::vector<std::string> logMessages() const;
    bool logHas(const std::string &message) const;
    // The messages one per line, for failure reports.
    std::string logText() const;

    std::vector<BoxRecord> boxes() const;
    std::vector<int> sleeps() const;

    // Environment for a program run: recorded and answered boxes, waits
    // recorded and shortened (divisor 1: the real ones), no screen.
    Process::Options options(int sleepDivisor = 1, const std::string &answers = "confirm") const;

    // Holds a file without sharing or a named mutex (the hold helper).
    Process hold(const std::string &what, const std::string &name) const;

    // The client stand-in's records of its starts in folder, and its end.
    std::vector<unsigned long> clientStarts(const std::string &folder) const;
    ::testing::AssertionResult waitForClientStart(const std::string &folder,
                                                  int timeoutMs = testsupport::patienceMs) const;
    void stopClients(const std::string &folder) const;

private:
    void clear() const;

    testsupport::TempDir records_;
    std::string documents_;
};

// Windows' own reg.exe, asked about HKEY_LOCAL_MACHINE\key ("reg query"):
// whether it shows the string value name with that text, and whether it
// finds the key at all.
::testing::AssertionResult regShows(const std::string &key, const std::string &name,
                                    const std::string &value);
bool regKeyExists(const std::string &key);

// Every file and folder a path names, read-only ones included, removed.
void removeTree(const std::string &path);

// Installation locations out of the ordinary: one with characters that
// neither code page holds, one whose name holds a variable between percent
// signs (which the shell and cmd.exe would expand), and one as many
// characters deep as asked.
std::string unicodeLocation();
std::string percentLocation();
std::string deepLocation(std::size_t length);
// A line as the install log keeps it: in code page 936, where a character
// it lacks is lost.
std::string asLogged(const std::string &utf8);

} // namespace winetest
