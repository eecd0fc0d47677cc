#include "process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace testsupport {

void setEnv(const char *name, const char *value) {
    if (value)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
}

struct Process::State {
    pid_t pid = -1;
    int output = -1;
    bool exited = false;
    int exitCode = -1;
};

Process::Process(std::unique_ptr<State> state, std::string program)
    : state_(std::move(state)), program_(std::move(program)) {}
Process::Process(Process &&) noexcept = default;
Process &Process::operator=(Process &&) noexcept = default;

Process::~Process() {
    if (!state_)
        return;
    if (running()) {
        terminate();
        if (wait(5000) < 0 && running()) {
            ::kill(-state_->pid, SIGKILL);
            wait(5000);
        }
    }
    if (state_->output >= 0)
        ::close(state_->output);
}

Process Process::start(const std::vector<std::string> &arguments, const Options &options) {
    std::vector<std::string> environment;
    for (char **entry = environ; *entry; ++entry) {
        const std::string variable = *entry;
        const auto name = variable.substr(0, variable.find('='));
        if (!options.environment.count(name))
            environment.push_back(variable);
    }
    for (const auto &[name, value] : options.environment)
        environment.push_back(name + "=" + value);

    std::vector<char *> argv, envp;
    for (const auto &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    for (const auto &variable : environment)
        envp.push_back(const_cast<char *>(variable.c_str()));
    envp.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    if (!options.folder.empty())
        posix_spawn_file_actions_addchdir_np(&actions, options.folder.c_str());
    // A group of its own, so that ending it ends what it started too.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    auto state = std::make_unique<State>();
    const int rc =
        ::posix_spawn(&state->pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        throw std::runtime_error("cannot start " + arguments[0] + ": " + std::strerror(rc));
    }
    state->output = pipeFds[0];
    return Process(std::move(state), arguments[0]);
}

bool Process::readMore(int timeoutMs) {
    pollfd poller{state_->output, POLLIN, 0};
    if (::poll(&poller, 1, timeoutMs) <= 0)
        return true; // nothing yet
    char buffer[512];
    const ssize_t got = ::read(state_->output, buffer, sizeof buffer);
    if (got <= 0)
        return false;
    pending_.append(buffer, static_cast<std::size_t>(got));
    return true;
}

int Process::wait(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!state_->exited) {
        int status = 0;
        const pid_t done = ::waitpid(state_->pid, &status, WNOHANG);
        if (done == state_->pid) {
            state_->exited = true;
            state_->exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (done < 0 && errno != EINTR) {
            state_->exited = true;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return state_->exitCode;
}

void Process::terminate() {
    if (running())
        ::kill(-state_->pid, SIGTERM);
}

void Process::kill() {
    if (running())
        ::kill(-state_->pid, SIGKILL);
    wait(10000);
}

bool Process::running() {
    if (state_->exited)
        return false;
    wait(0);
    return !state_->exited;
}

} // namespace testsupport
