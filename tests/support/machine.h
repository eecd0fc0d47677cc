// A stand-in machine for end-to-end tests: its own root folder with the
// all-users documents folder (where the install log lives), and the records
// the test builds leave (message boxes shown, waits made).
#pragma once

#include "process.h"
#include "testsupport.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

class Machine {
public:
    Machine();

    const std::string &root() const { return root_; }
    std::string documents() const { return root_ + "/Users/Public/Documents"; }
    std::string logPath() const { return documents() + "/velmarinstall.txt"; }
    std::string path(const std::string &relative) const { return root_ + "/" + relative; }

    // The messages of the install log, time stamps checked and cut off.
    std::vector<std::string> logMessages() const;
    // The message boxes shown so far.
    std::vector<BoxRecord> boxes() const;
    // The waits the programs made, in milliseconds, in order.
    std::vector<int> sleeps() const;

    // Environment for a program run on this machine: the root, offscreen Qt,
    // recorded and answered boxes, shortened waits (divisor 1: real ones).
    Process::Options options(int sleepDivisor = 1, const std::string &answers = "confirm") const;

    // Copies a program of the build into the machine.
    void installProgram(const std::string &name, const std::string &folder,
                        const std::string &asName = "") const;

private:
    TempDir temp_;
    std::string root_;
};

// Registry value of the stand-in, or "" when missing.
std::string registryValue(const Machine &machine, const std::string &key, const std::string &name);

// Process ids recorded by the client stand-in in folder/velmar.started.
std::vector<int> clientStarts(const std::string &folder);
// Waits until the client stand-in has started.
::testing::AssertionResult waitForClientStart(const std::string &folder,
                                              int timeoutMs = patienceMs);
// Ends the client stand-ins recorded in folder.
void stopClients(const std::string &folder);

// Every file with its content ("<folder>" for a folder) under folder, by
// relative name; what the update may add beside its work (the package
// itself, a forced deletion's batch file) is left out.
std::map<std::string, std::string> treeOf(const std::string &folder);
// The entries under folder named as the update names its own work (its
// folders, journal and lists, the ZIP reader's temporary files), which must
// never outlive a run.
std::vector<std::string> workEntries(const std::string &folder);

} // namespace testsupport
