// The Windows side of Process: CreateProcessW with standard output on a pipe,
// an environment block made from a copy of ours, TerminateProcess to end.
#include "process.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include <windows.h>

namespace testsupport {

namespace {

std::wstring wide(const std::string &utf8) {
    if (utf8.empty())
        return {};
    const int size = static_cast<int>(utf8.size());
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    std::wstring result(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, result.data(), length);
    return result;
}

[[noreturn]] void fail(const std::string &what) {
    throw std::runtime_error(what + " (error " + std::to_string(::GetLastError()) + ")");
}

// One argument as the C runtime's command-line parser (and CommandLineToArgvW)
// reads it back: quoted when it holds blanks or quotes; backslashes are
// literal except before a quote, where each one must be doubled.
std::wstring quoted(const std::wstring &argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
        return argument;
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

// Environment names are compared without regard to case, and CreateProcessW
// wants the block sorted that way.
struct CaseInsensitive {
    bool operator()(const std::wstring &a, const std::wstring &b) const {
        return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                      static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
    }
};

std::wstring environmentBlock(const std::map<std::string, std::string> &extra) {
    std::map<std::wstring, std::wstring, CaseInsensitive> variables;
    wchar_t *ours = ::GetEnvironmentStringsW();
    for (const wchar_t *entry = ours; *entry; entry += std::wcslen(entry) + 1) {
        const std::wstring variable = entry;
        // The hidden per-drive folders ("=C:=C:\work") have names that begin
        // with "=".
        variables.emplace(variable.substr(0, variable.find(L'=', 1)), variable);
    }
    ::FreeEnvironmentStringsW(ours);
    for (const auto &[name, value] : extra)
        variables[wide(name)] = wide(name) + L"=" + wide(value);

    std::wstring block;
    for (const auto &entry : variables)
        block += entry.second + L'\0';
    // The block ends with an empty entry; an empty block still needs both.
    if (block.empty())
        block += L'\0';
    block += L'\0';
    return block;
}

// Handles become inheritable only while one start runs; a second start at
// the same time would hand our pipe's write end to its program too, and the
// pipe would not end when our program does.
std::mutex inheritanceLock;

class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE handle = nullptr) : handle_(handle) {}
    OwnedHandle(const OwnedHandle &) = delete;
    OwnedHandle &operator=(const OwnedHandle &) = delete;
    ~OwnedHandle() {
        if (handle_ && handle_ != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle_);
    }
    HANDLE get() const { return handle_; }
    HANDLE *out() { return &handle_; }
    HANDLE release() {
        const HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }

private:
    HANDLE handle_;
};

} // namespace

void setEnv(const char *name, const char *value) {
    // Two copies of the environment: the C runtime's, which getenv reads,
    // and the process's own block, which the Win32 calls read and
    // CreateProcessW hands on. The runtime copies into the block in the ANSI
    // code page, so the block is set last, from UTF-16. An empty value
    // removes the variable from the runtime's copy.
    ::_putenv_s(name, value ? value : "");
    ::SetEnvironmentVariableW(wide(name).c_str(), value ? wide(value).c_str() : nullptr);
}

struct Process::State {
    HANDLE process = nullptr;
    HANDLE output = nullptr;

    State() = default;
    State(const State &) = delete;
    State &operator=(const State &) = delete;
    ~State() {
        if (output)
            ::CloseHandle(output);
        if (process)
            ::CloseHandle(process);
    }
};

Process::Process(std::unique_ptr<State> state, std::string program)
    : state_(std::move(state)), program_(std::move(program)) {}
Process::Process(Process &&) noexcept = default;
Process &Process::operator=(Process &&) noexcept = default;

Process::~Process() {
    if (state_ && running()) {
        terminate();
        wait(5000);
    }
}

namespace {

// CreateProcessW finds no program past MAX_PATH: one that deep is started by
// its short name, in the long form (Wine finds it only so). The program
// still knows itself by its long name.
std::wstring startable(const std::wstring &program) {
    if (program.size() < MAX_PATH)
        return program;
    const std::wstring longForm = L"\\\\?\\" + program;
    std::wstring shortForm(::GetShortPathNameW(longForm.c_str(), nullptr, 0), L'\0');
    const DWORD length = ::GetShortPathNameW(longForm.c_str(), shortForm.data(),
                                             static_cast<DWORD>(shortForm.size()));
    if (length == 0 || length >= shortForm.size())
        return program;
    shortForm.resize(length);
    return shortForm;
}

} // namespace

Process Process::start(const std::vector<std::string> &arguments, const Options &options) {
    if (arguments.empty())
        throw std::runtime_error("nothing to start");
    const std::wstring program = startable(wide(arguments[0]));
    std::wstring commandLine;
    for (const auto &argument : arguments) {
        if (!commandLine.empty())
            commandLine += L' ';
        commandLine += quoted(wide(argument));
    }
    std::wstring environment = environmentBlock(options.environment);
    const std::wstring folder = wide(options.folder);

    auto state = std::make_unique<State>();
    PROCESS_INFORMATION started{};
    {
        std::lock_guard<std::mutex> inheriting(inheritanceLock);
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        OwnedHandle readEnd, writeEnd;
        if (!::CreatePipe(readEnd.out(), writeEnd.out(), &inheritable, 0))
            fail("cannot make a pipe");
        // Our end stays here, or the program would keep its own pipe open.
        ::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
        OwnedHandle nul(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                      OPEN_EXISTING, 0, nullptr));
        // Its errors go where ours go, so that they show in the test's log.
        OwnedHandle errors;
        if (!::DuplicateHandle(::GetCurrentProcess(), ::GetStdHandle(STD_ERROR_HANDLE),
                               ::GetCurrentProcess(), errors.out(), 0, TRUE, DUPLICATE_SAME_ACCESS))
            *errors.out() = nullptr;

        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nul.get();
        startup.hStdOutput = writeEnd.get();
        startup.hStdError = errors.get() ? errors.get() : nul.get();
        // CREATE_NO_WINDOW: a console program gets no console window of its
        // own; its standard handles are all it needs.
        if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                              CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, environment.data(),
                              folder.empty() ? nullptr : folder.c_str(), &startup, &started))
            fail("cannot start " + arguments[0]);
        state->output = readEnd.release();
    }
    ::CloseHandle(started.hThread);
    state->process = started.hProcess;
    return Process(std::move(state), arguments[0]);
}

bool Process::readMore(int timeoutMs) {
    // An anonymous pipe cannot be waited on with a time limit; asking how
    // much is there never blocks, and fails once the program's end of the
    // pipe is closed.
    DWORD available = 0;
    if (!::PeekNamedPipe(state_->output, nullptr, 0, nullptr, &available, nullptr))
        return false;
    if (available == 0) {
        ::Sleep(timeoutMs < 10 ? static_cast<DWORD>(timeoutMs) : 10);
        return true;
    }
    char buffer[512];
    DWORD got = 0;
    if (!::ReadFile(state_->output, buffer,
                    available < sizeof buffer ? available : DWORD{sizeof buffer}, &got, nullptr) ||
        got == 0)
        return false;
    pending_.append(buffer, got);
    return true;
}

int Process::wait(int timeoutMs) {
    if (::WaitForSingleObject(state_->process, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0)
        return -1;
    DWORD code = 0;
    ::GetExitCodeProcess(state_->process, &code);
    return static_cast<int>(code);
}

void Process::terminate() {
    // Windows has no request to end that a console program without a
    // console window could receive; the programs a test ends here answer
    // SIGTERM on POSIX by ending normally, and the exit code of their forced
    // end says the same: 0.
    if (running())
        ::TerminateProcess(state_->process, 0);
}

void Process::kill() {
    if (running())
        ::TerminateProcess(state_->process, 9);
    wait(10000);
}

bool Process::running() {
    return ::WaitForSingleObject(state_->process, 0) == WAIT_TIMEOUT;
}

} // namespace testsupport
