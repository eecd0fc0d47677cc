// Other programs, run by a test: started with arguments and extra environment
// variables, read line by line from their standard output, waited for, and
// ended. Destroying a Process ends it if it still runs.
#pragma once

#include "testsupport.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// Takes the whole lines (LF or CR LF) off the front of pending, up to and
// including the first that equals line; true when it came. Process::
// waitForLine reads this way.
bool takeLinesUntil(std::string &pending, const std::string &line);

// Sets (or with nullptr removes) an environment variable of this process.
void setEnv(const char *name, const char *value);

class Process {
public:
    struct Options {
        std::map<std::string, std::string> environment; // added to ours
        std::string folder;                             // working folder
    };

    // Starts arguments[0] with the rest as its arguments. Throws
    // std::runtime_error when it cannot be started.
    static Process start(const std::vector<std::string> &arguments, const Options &options = {});

    Process(Process &&) noexcept;
    Process &operator=(Process &&) noexcept;
    ~Process();

    // Reads standard output until a line equal to line arrives; a failure
    // when the output ends or timeoutMs passes first.
    ::testing::AssertionResult waitForLine(const std::string &line, int timeoutMs = patienceMs);
    // Waits for the end; the exit code, or -1 when timeoutMs passed first.
    int wait(int timeoutMs);
    // Waits for the end, which must come with exit code code.
    ::testing::AssertionResult endsWith(int code, int timeoutMs = patienceMs);
    // Asks the program and what it started to end (SIGTERM to its process
    // group; TerminateProcess on Windows).
    void terminate();
    // Ends the program and what it started at once, as a power cut or
    // kill -9 would: nothing of it runs any more (SIGKILL to its process
    // group; TerminateProcess on Windows).
    void kill();
    bool running();

    struct State;

private:
    explicit Process(std::unique_ptr<State> state, std::string program);
    // Reads what the program has written so far into pending, waiting at
    // most timeoutMs for something to come; false once its output has ended.
    bool readMore(int timeoutMs);
    std::unique_ptr<State> state_;
    std::string program_; // for failure messages
    std::string pending_; // output read but not yet taken
};

} // namespace testsupport
