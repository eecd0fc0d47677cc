// The Windows backend: every function is the Win32 call that platform.h
// names. UTF-8 strings go to the W functions as UTF-16; the 8-bit layer hands
// its bytes to the A functions untouched, so they are read in the ANSI code
// page exactly as the ZIP layer produced them.
//
// Errors are Windows' own: each function leaves the failing call's last error
// in place. Where a call reports its error as a result (the registry, the
// shell) or reports none at all, the code is put into the last error here.
#include "platform.h"

#include <atomic>
#include <climits>
#include <cstring>
#include <cwchar>
#include <vector>

#include <windows.h>

#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <winternl.h>

namespace platform {

const char programSuffix[] = ".exe";
const char textLineEnd[] = "\r\n";
const bool caseSensitiveNames = false;

namespace {

bool failWith(DWORD code) {
    ::SetLastError(code);
    return false;
}

// A kernel handle this file opened: closed when it goes, with the thread's
// last error kept, so that the failure reported after it is the one that
// happened.
class Handle {
public:
    explicit Handle(HANDLE handle = nullptr)
        : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    ~Handle() { reset(); }
    Handle(Handle &&other) noexcept : handle_(other.release()) {}
    Handle &operator=(Handle &&other) noexcept {
        reset(other.release());
        return *this;
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    HANDLE release() {
        const HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    void reset(HANDLE handle = nullptr) {
        if (handle_) {
            const DWORD kept = ::GetLastError();
            ::CloseHandle(handle_);
            ::SetLastError(kept);
        }
        handle_ = handle;
    }

private:
    HANDLE handle_;
};

// UTF-8 to UTF-16 for the W functions. Invalid UTF-8 is refused rather than
// turned into U+FFFD, which would name a different file or key.
bool toWide(const std::string &utf8, std::wstring &wide) {
    wide.clear();
    if (utf8.empty())
        return true;
    if (utf8.size() > static_cast<std::size_t>(INT_MAX))
        return failWith(ERROR_INVALID_PARAMETER);
    const int size = static_cast<int>(utf8.size());
    const int length =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
    if (length == 0)
        return false;
    wide.resize(static_cast<std::size_t>(length));
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, wide.data(), length);
    return true;
}

// The full form of a path: made full and normalised by GetFullPathNameW,
// "\\?\" put before it when it is long.
bool toFullPath(std::wstring &wide, bool unc) {
    const DWORD size = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return false;
    std::wstring full(size, L'\0');
    const DWORD length = ::GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size)
        return false;
    full.resize(length);
    if (full.size() < MAX_PATH - 12)
        wide = full;
    else // "\\server\share\..." becomes "\\?\UNC\server\share\...".
        wide = unc ? L"\\\\?\\UNC" + full.substr(1) : L"\\\\?\\" + full;
    return true;
}

bool isDrivePath(const std::wstring &wide) {
    return wide.size() >= 3 && (wide[0] | 0x20) >= L'a' && (wide[0] | 0x20) <= L'z' &&
           wide[1] == L':' && (wide[2] == L'\\' || wide[2] == L'/');
}

bool isUncPath(const std::wstring &wide) {
    return wide.size() >= 3 && (wide[0] == L'\\' || wide[0] == L'/') &&
           (wide[1] == L'\\' || wide[1] == L'/') && wide[2] != L'?' && wide[2] != L'.';
}

// A file or folder path for the W functions. Without the "\\?\" prefix they
// stop at MAX_PATH (folders already at 248 characters) unless the machine
// has long paths switched on, which the manifest's longPathAware alone does
// not do: deleting, testing and logging would fail deep inside a long
// installation folder. The prefix turns off Win32's own path rules, so the
// path gets them here first: made full and normalised ("/" to "\", "." and
// ".." resolved) by GetFullPathNameW, which is not bound to MAX_PATH. Short
// and relative paths, and ones already prefixed, go as they are.
bool toWidePath(const std::string &utf8, std::wstring &wide) {
    if (!toWide(utf8, wide))
        return false;
    const bool drive = isDrivePath(wide);
    const bool unc = isUncPath(wide);
    if (wide.size() < MAX_PATH - 12 || !(drive || unc))
        return true;
    return toFullPath(wide, unc);
}

std::string toUtf8(const wchar_t *wide, int length) {
    if (length <= 0)
        return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide, length, utf8.data(), size, nullptr, nullptr);
    return utf8;
}

std::string toUtf8(const std::wstring &wide) {
    return toUtf8(wide.data(), static_cast<int>(wide.size()));
}

std::atomic<SleepFunction> sleepReplacement{nullptr};

} // namespace

// ---- Errors ---------------------------------------------------------------

uint32_t lastError() {
    return ::GetLastError();
}

void setLastError(uint32_t code) {
    ::SetLastError(code);
}

// ---- Waiting ----------------------------------------------------------------

void sleepMs(uint32_t ms) {
    if (const SleepFunction replacement = sleepReplacement.load()) {
        replacement(ms);
        return;
    }
    ::Sleep(ms);
}

SleepFunction setSleepFunction(SleepFunction function) {
    return sleepReplacement.exchange(function);
}

// ---- Program files --------------------------------------------------------

std::string programFilePath() {
    // GetModuleFileNameW cuts the name to fit and returns the buffer's size
    // (XP sets no error then), so grow until the name fits with room to spare.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), size);
        if (length == 0)
            return {};
        if (length < size)
            return toUtf8(buffer.data(), static_cast<int>(length));
        if (size >= 32768) {
            failWith(ERROR_INSUFFICIENT_BUFFER);
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
}

// ---- Special folders --------------------------------------------------------

namespace {

bool specialFolder(int csidl, std::string &folder) {
    wchar_t path[MAX_PATH];
    ::SetLastError(ERROR_SUCCESS);
    // fCreate FALSE: a folder the machine does not have is a failure, never
    // made here. The shell then verifies the folder is present.
    if (!::SHGetSpecialFolderPathW(nullptr, path, csidl, FALSE)) {
        // The shell does not always say why it failed.
        if (::GetLastError() == ERROR_SUCCESS)
            ::SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    folder = toUtf8(path, static_cast<int>(::wcslen(path)));
    return true;
}

bool isSeparator(char c) {
    return c == '\\' || c == '/';
}

bool isDriveLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

} // namespace

bool commonDocumentsFolder(std::string &folder) {
    return specialFolder(CSIDL_COMMON_DOCUMENTS, folder);
}

bool commonProgramsFolder(std::string &folder) {
    return specialFolder(CSIDL_COMMON_PROGRAMS, folder);
}

bool userDesktopFolder(std::string &folder) {
    return specialFolder(CSIDL_DESKTOPDIRECTORY, folder);
}

bool isAbsolutePath(const std::string &path) {
    // "C:" alone or "C:name" is relative to that drive's current folder, and
    // "\name" to the current drive: neither names one place.
    if (path.size() >= 3 && isDriveLetter(path[0]) && path[1] == ':' && isSeparator(path[2]))
        return true;
    return path.size() >= 3 && isSeparator(path[0]) && isSeparator(path[1]) &&
           !isSeparator(path[2]);
}

// ---- Named mutexes ----------------------------------------------------------

// owner closes the handle; handle is its value.
struct MutexObject {
    explicit MutexObject(Handle held) : owner(std::move(held)), handle(owner.get()) {}
    Handle owner;
    const HANDLE handle;
};

MutexHandle createMutex(const std::string &name) {
    // An empty name would make an unnamed mutex that no other process can
    // find: a guard that never reports anyone.
    if (name.empty()) {
        failWith(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::wstring wideName;
    if (!toWide(name, wideName))
        return nullptr;
    // Asking for ownership in the same call makes creating and claiming one
    // step, so no other process can slip in between. When the name exists,
    // Windows ignores the request, hands out a handle without ownership and
    // says ERROR_ALREADY_EXISTS. Ownership belongs to the calling thread.
    const HANDLE handle = ::CreateMutexW(nullptr, TRUE, wideName.c_str());
    if (!handle)
        return nullptr;
    const DWORD outcome =
        ::GetLastError() == ERROR_ALREADY_EXISTS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
    auto *mutex = new MutexObject(Handle(handle));
    ::SetLastError(outcome);
    return mutex;
}

bool releaseMutex(MutexHandle mutex) {
    if (!mutex)
        return failWith(ERROR_INVALID_HANDLE);
    // Fails with ERROR_NOT_OWNER for a handle that came without ownership.
    return ::ReleaseMutex(mutex->handle) != FALSE;
}

bool closeMutex(MutexHandle mutex) {
    if (!mutex)
        return failWith(ERROR_INVALID_HANDLE);
    delete mutex; // its owner closes the handle
    ::SetLastError(ERROR_SUCCESS);
    return true;
}

// ---- Shell ------------------------------------------------------------------

namespace {

std::string withBackslashes(std::string path) {
    for (auto &c : path) {
        if (c == '/')
            c = '\\';
    }
    return path;
}

// What ShellExecuteW's result (0 to 32) means as a Win32 error, for the cases
// where the shell leaves the last error unset.
DWORD shellResultError(INT_PTR result) {
    switch (result) {
    case 0:
    case SE_ERR_OOM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case SE_ERR_SHARE:
        return ERROR_SHARING_VIOLATION;
    case SE_ERR_NOASSOC:
    case SE_ERR_ASSOCINCOMPLETE:
        return ERROR_NO_ASSOCIATION;
    case SE_ERR_DLLNOTFOUND:
        return ERROR_DLL_NOT_FOUND;
    default:
        // ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_BAD_FORMAT and
        // SE_ERR_ACCESSDENIED have the numbers of their Win32 errors.
        return static_cast<DWORD>(result);
    }
}

// "%NAME%": what the shell would take for a variable (a lone "%" it keeps).
bool holdsVariable(const std::wstring &path) {
    const std::size_t first = path.find(L'%');
    return first != std::wstring::npos && path.find(L'%', first + 2) != std::wstring::npos;
}

bool endsWithProgramSuffix(const std::wstring &file) {
    return file.size() > 4 && ::_wcsicmp(file.c_str() + file.size() - 4, L".exe") == 0;
}

// CreateProcessW of a program with no arguments, in directory, shown as
// show asks; nothing waits for it.
bool startProgram(const std::wstring &file, const std::wstring &directory, ShowCommand show) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = static_cast<WORD>(show);
    std::wstring commandLine = L"\"" + file + L"\"";
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(file.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          directory.empty() ? nullptr : directory.c_str(), &startup, &process))
        return false;
    // Nothing waits for it.
    Handle(process.hThread).reset();
    Handle(process.hProcess).reset();
    return true;
}

} // namespace

bool shellOpen(const std::string &file, const std::string &directory, ShowCommand show) {
    // The Win32 file functions take "/" as well as "\", but the command line
    // the shell builds for cmd.exe to run a batch file does not: cmd reads
    // "/" as the start of a switch. A relative file is looked up in
    // directory by the shell itself.
    std::wstring wideFile, wideDirectory;
    if (!toWide(withBackslashes(file), wideFile) ||
        !toWide(withBackslashes(directory), wideDirectory))
        return false;
    // The shell expands environment variables in both ("%TEMP%" in a folder's
    // name would name another folder): a program on such a path is started
    // as it is, by CreateProcessW, which expands nothing. (The callers put
    // batch files where no "%" is.)
    if (holdsVariable(wideFile) || holdsVariable(wideDirectory)) {
        if (!endsWithProgramSuffix(wideFile))
            return failWith(ERROR_BAD_PATHNAME);
        return startProgram(wideFile, wideDirectory, show);
    }
    // No COM set-up: starting a program, a batch file or a document through
    // its registered command needs none, and the callers include plain
    // worker threads.
    ::SetLastError(ERROR_SUCCESS);
    const auto result = reinterpret_cast<INT_PTR>(::ShellExecuteW(
        nullptr, L"open", wideFile.c_str(), L"",
        wideDirectory.empty() ? nullptr : wideDirectory.c_str(), static_cast<int>(show)));
    // Success is any value above 32; the smaller ones are error codes.
    if (result > 32)
        return true;
    if (::GetLastError() == ERROR_SUCCESS)
        ::SetLastError(shellResultError(result));
    return false;
}

// ---- Registry: HKEY_LOCAL_MACHINE, 32-bit view ------------------------------

// Every call names the 32-bit view: the product is a 32-bit program and
// lives there, and a 64-bit build of these tools must see the same keys
// instead of being sent to the 64-bit view. The registry returns its errors
// instead of setting the last error, so each result becomes the last error.

namespace {

bool registrySucceeded(LSTATUS status) {
    ::SetLastError(static_cast<DWORD>(status));
    return status == ERROR_SUCCESS;
}

class RegistryKey {
public:
    RegistryKey() = default;
    RegistryKey(const RegistryKey &) = delete;
    RegistryKey &operator=(const RegistryKey &) = delete;
    ~RegistryKey() {
        if (key_)
            ::RegCloseKey(key_);
    }
    HKEY *out() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

} // namespace

bool registryReadString(const std::string &key, const std::string &name, std::string &value) {
    std::wstring wideKey, wideName;
    if (!toWide(key, wideKey) || !toWide(name, wideName))
        return false;
    RegistryKey opened;
    if (!registrySucceeded(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, wideKey.c_str(), 0,
                                           KEY_QUERY_VALUE | KEY_WOW64_32KEY, opened.out())))
        return false;
    // The value may change between asking for its size and reading it;
    // ERROR_MORE_DATA says so, and the read is tried again with the new size.
    std::vector<BYTE> data;
    DWORD type = 0;
    DWORD size = 0;
    LSTATUS status;
    do {
        data.resize(size + sizeof(wchar_t));
        size = static_cast<DWORD>(data.size());
        status =
            ::RegQueryValueExW(opened.get(), wideName.c_str(), nullptr, &type, data.data(), &size);
    } while (status == ERROR_MORE_DATA);
    if (!registrySucceeded(status))
        return false;
    // REG_EXPAND_SZ reads as its text, unexpanded, as Qt's native settings
    // read it.
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return failWith(ERROR_UNSUPPORTED_TYPE);
    // A stored string need not end in a null character, or may end in more
    // than one.
    std::wstring text(reinterpret_cast<const wchar_t *>(data.data()), size / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0')
        text.pop_back();
    value = toUtf8(text);
    return true;
}

bool registryWriteString(const std::string &key, const std::string &name,
                         const std::string &value) {
    std::wstring wideKey, wideName, wideValue;
    if (!toWide(key, wideKey) || !toWide(name, wideName) || !toWide(value, wideValue))
        return false;
    RegistryKey created;
    if (!registrySucceeded(::RegCreateKeyExW(
            HKEY_LOCAL_MACHINE, wideKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
            KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, created.out(), nullptr)))
        return false;
    // REG_SZ data is stored with its terminating null character.
    const auto bytes = static_cast<DWORD>((wideValue.size() + 1) * sizeof(wchar_t));
    return registrySucceeded(::RegSetValueExW(created.get(), wideName.c_str(), 0, REG_SZ,
                                              reinterpret_cast<const BYTE *>(wideValue.c_str()),
                                              bytes));
}

bool registryFlushKey(const std::string &key) {
    std::wstring wideKey;
    if (!toWide(key, wideKey))
        return false;
    RegistryKey opened;
    return registrySucceeded(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, wideKey.c_str(), 0,
                                             KEY_QUERY_VALUE | KEY_WOW64_32KEY, opened.out())) &&
           registrySucceeded(::RegFlushKey(opened.get()));
}

bool registryDeleteKey(const std::string &key, const std::string &subKey) {
    std::wstring wideKey, wideSubKey;
    if (!toWide(key, wideKey) || !toWide(subKey, wideSubKey))
        return false;
    // An empty sub-key would make RegDeleteKeyExW delete the opened key
    // itself, which is not what the caller named.
    if (wideSubKey.empty())
        return failWith(ERROR_INVALID_PARAMETER);
    RegistryKey parent;
    if (!registrySucceeded(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, wideKey.c_str(), 0,
                                           KEY_ALL_ACCESS | KEY_WOW64_32KEY, parent.out())))
        return false;
    // RegDeleteKeyExW, not RegDeleteKeyW: only the Ex form takes the view.
    // Like RegDeleteKeyW it refuses a key that has sub-keys (access denied).
    return registrySucceeded(
        ::RegDeleteKeyExW(parent.get(), wideSubKey.c_str(), KEY_WOW64_32KEY, 0));
}

// ---- Files (UTF-8) ----------------------------------------------------------

bool deleteFile(const std::string &path) {
    std::wstring widePath;
    if (!toWidePath(path, widePath))
        return false;
    return ::DeleteFileW(widePath.c_str()) != FALSE;
}

bool pathExists(const std::string &path) {
    std::wstring widePath;
    if (!toWidePath(path, widePath))
        return false;
    return ::GetFileAttributesW(widePath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

uint32_t pathAttributes(const std::string &path) {
    std::wstring widePath;
    if (!toWide(path, widePath))
        return attribute::Invalid;
    // GetFileAttributesW does not follow a link at the end of the path: a
    // junction or a link shows FILE_ATTRIBUTE_REPARSE_POINT.
    return ::GetFileAttributesW(widePath.c_str());
}

bool removeLink(const std::string &path) {
    std::wstring widePath;
    if (!toWide(path, widePath))
        return false;
    const DWORD attributes = ::GetFileAttributesW(widePath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return failWith(error::NotAReparsePoint);
    // Both calls remove the reparse point itself: RemoveDirectoryW a junction
    // or a link to a folder (DeleteFileW refuses those), DeleteFileW a link
    // to a file.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return ::RemoveDirectoryW(widePath.c_str()) != FALSE;
    return ::DeleteFileW(widePath.c_str()) != FALSE;
}

bool replaceFile(const std::string &from, const std::string &to) {
    std::wstring wideFrom, wideTo;
    if (!toWide(from, wideFrom) || !toWide(to, wideTo))
        return false;
    // As replaceFileA: a rename in one step, never a copy.
    return ::MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

bool temporaryFolder(std::string &folder) {
    wchar_t path[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, path);
    if (length == 0 || length > MAX_PATH)
        return length == 0 ? false : failWith(ERROR_BUFFER_OVERFLOW);
    std::string result = toUtf8(path, static_cast<int>(length));
    if (!result.empty() && (result.back() == '\\' || result.back() == '/'))
        result.pop_back();
    folder = result;
    return true;
}

// ---- Files (8-bit) ----------------------------------------------------------

struct FileObject {
    explicit FileObject(Handle held) : owner(std::move(held)), handle(owner.get()) {}
    Handle owner;
    const HANDLE handle;
};

namespace {

DWORD desiredFileAccess(FileAccess access) {
    switch (access) {
    case FileAccess::Read:
        return GENERIC_READ;
    case FileAccess::Write:
        return GENERIC_WRITE;
    case FileAccess::ReadWrite:
        break;
    }
    return GENERIC_READ | GENERIC_WRITE;
}

} // namespace

FileHandle openFileA(const char *path, FileAccess access, FileShare share,
                     FileDisposition disposition, uint32_t attributes) {
    if (!path) {
        failWith(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const DWORD desiredAccess = desiredFileAccess(access);
    // No FILE_SHARE_DELETE in either mode: while the file is open nobody may
    // delete or rename it, which is what makes it "in use".
    const DWORD shareMode = share == FileShare::Read ? FILE_SHARE_READ : 0;
    DWORD creation = OPEN_EXISTING;
    if (disposition == FileDisposition::CreateAlways)
        creation = CREATE_ALWAYS;
    else if (disposition == FileDisposition::CreateNew)
        creation = CREATE_NEW;
    // Only these attributes can be given to a new file; FILE_ATTRIBUTE_NORMAL
    // is valid only alone, so it stands for "none of them".
    DWORD fileAttributes = attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                         FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    if (fileAttributes == 0)
        fileAttributes = FILE_ATTRIBUTE_NORMAL;
    const HANDLE handle =
        ::CreateFileA(path, desiredAccess, shareMode, nullptr, creation, fileAttributes, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    // CREATE_ALWAYS over an existing file leaves ERROR_ALREADY_EXISTS behind
    // on success; that stays, as Windows reports it.
    const DWORD outcome = ::GetLastError();
    auto *file = new FileObject(Handle(handle));
    ::SetLastError(outcome);
    return file;
}

bool readFile(FileHandle file, void *buffer, uint32_t size, uint32_t &bytesRead) {
    bytesRead = 0;
    if (!file)
        return failWith(ERROR_INVALID_HANDLE);
    auto *bytes = static_cast<char *>(buffer);
    while (bytesRead < size) {
        DWORD got = 0;
        if (!::ReadFile(file->handle, bytes + bytesRead, size - bytesRead, &got, nullptr))
            return false;
        if (got == 0)
            break;
        bytesRead += got;
    }
    return true;
}

// A view starts on the allocation granularity (64 KiB); the mapping object
// can go at once, the view keeps what it needs of it.
const unsigned char *mapFile(FileHandle file, uint64_t offset, std::size_t size) {
    if (!file || size == 0) {
        failWith(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SYSTEM_INFO system;
    ::GetSystemInfo(&system);
    const uint64_t lead = offset % system.dwAllocationGranularity;
    const uint64_t from = offset - lead;
    const Handle mapping(::CreateFileMappingW(file->handle, nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping)
        return nullptr;
    void *view = ::MapViewOfFile(mapping.get(), FILE_MAP_READ, static_cast<DWORD>(from >> 32),
                                 static_cast<DWORD>(from), size + static_cast<std::size_t>(lead));
    if (!view)
        return nullptr;
    return static_cast<const unsigned char *>(view) + lead;
}

void unmapFile(const unsigned char *view, std::size_t) {
    SYSTEM_INFO system;
    ::GetSystemInfo(&system);
    const uintptr_t lead = reinterpret_cast<uintptr_t>(view) % system.dwAllocationGranularity;
    ::UnmapViewOfFile(view - lead);
}

bool readFileAt(FileHandle file, uint64_t offset, void *buffer, uint32_t size,
                uint32_t &bytesRead) {
    bytesRead = 0;
    if (!file)
        return failWith(ERROR_INVALID_HANDLE);
    auto *bytes = static_cast<char *>(buffer);
    while (bytesRead < size) {
        // On a handle opened for synchronous use the offset is where this
        // read starts, whatever another thread's read moves meanwhile.
        OVERLAPPED at{};
        const uint64_t from = offset + bytesRead;
        at.Offset = static_cast<DWORD>(from);
        at.OffsetHigh = static_cast<DWORD>(from >> 32);
        DWORD got = 0;
        if (!::ReadFile(file->handle, bytes + bytesRead, size - bytesRead, &got, &at)) {
            if (::GetLastError() == ERROR_HANDLE_EOF)
                break;
            return false;
        }
        if (got == 0)
            break;
        bytesRead += got;
    }
    return true;
}

bool writeFile(FileHandle file, const void *buffer, uint32_t size) {
    if (!file)
        return failWith(ERROR_INVALID_HANDLE);
    const auto *bytes = static_cast<const char *>(buffer);
    uint32_t done = 0;
    while (done < size) {
        DWORD put = 0;
        if (!::WriteFile(file->handle, bytes + done, size - done, &put, nullptr))
            return false;
        done += put;
    }
    return true;
}

bool seekFile(FileHandle file, int64_t offset, SeekOrigin origin, int64_t &position) {
    if (!file)
        return failWith(ERROR_INVALID_HANDLE);
    // SetFilePointerEx rather than SetFilePointer: one 64-bit result, no
    // INVALID_SET_FILE_POINTER that is also a valid low half of a position.
    const DWORD method = origin == SeekOrigin::Begin     ? FILE_BEGIN
                         : origin == SeekOrigin::Current ? FILE_CURRENT
                                                         : FILE_END;
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER result;
    if (!::SetFilePointerEx(file->handle, distance, &result, method))
        return false;
    position = result.QuadPart;
    return true;
}

namespace {

FILETIME fileTimeFrom(uint64_t value) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

uint64_t valueOf(const FILETIME &time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

} // namespace

bool setFileTimes(FileHandle file, uint64_t creation, uint64_t lastAccess, uint64_t lastWrite) {
    if (!file)
        return failWith(ERROR_INVALID_HANDLE);
    // A null pointer leaves that time as it is; 0 means the same to the
    // caller. Once set through this handle, the file system stops moving
    // the times on later writes and on close.
    const FILETIME created = fileTimeFrom(creation);
    const FILETIME accessed = fileTimeFrom(lastAccess);
    const FILETIME written = fileTimeFrom(lastWrite);
    return ::SetFileTime(file->handle, creation ? &created : nullptr,
                         lastAccess ? &accessed : nullptr, lastWrite ? &written : nullptr) != FALSE;
}

bool fileTimes(FileHandle file, uint64_t &creation, uint64_t &lastAccess, uint64_t &lastWrite) {
    if (!file)
        return failWith(ERROR_INVALID_HANDLE);
    FILETIME created, accessed, written;
    if (!::GetFileTime(file->handle, &created, &accessed, &written))
        return false;
    creation = valueOf(created);
    lastAccess = valueOf(accessed);
    lastWrite = valueOf(written);
    return true;
}

void closeFile(FileHandle file) {
    if (!file)
        return;
    delete file;
}

bool createDirectoryA(const char *path) {
    if (!path)
        return failWith(ERROR_INVALID_PARAMETER);
    return ::CreateDirectoryA(path, nullptr) != FALSE;
}

std::string currentDirectoryA() {
    // The folder may change between asking for its length and reading it;
    // a result not smaller than the buffer is the length now needed.
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            ::GetCurrentDirectoryA(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length == 0)
            return {};
        if (length < buffer.size())
            return std::string(buffer.data(), length);
        buffer.resize(length + 1);
    }
}

bool replaceFileA(const char *from, const char *to) {
    if (!from || !to)
        return failWith(ERROR_INVALID_PARAMETER);
    // A rename within the volume: the target is swapped in one step. No
    // MOVEFILE_COPY_ALLOWED, whose copy-then-delete could leave a half
    // written target behind. A target that is open anywhere cannot be
    // replaced (access denied, whatever its sharing); a source open without
    // delete sharing cannot be moved (sharing violation).
    return ::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != FALSE;
}

bool deleteFileA(const char *path) {
    if (!path)
        return failWith(ERROR_INVALID_PARAMETER);
    return ::DeleteFileA(path) != FALSE;
}

// ---- Moving files as one update (8-bit) -------------------------------------

bool flushFile(FileHandle file) {
    if (!file)
        return failWith(ERROR_INVALID_HANDLE);
    return ::FlushFileBuffers(file->handle) != FALSE;
}

bool freeDiskSpaceA(const char *folder, uint64_t &bytes) {
    ULARGE_INTEGER available;
    if (!folder || !::GetDiskFreeSpaceExA(folder, &available, nullptr, nullptr))
        return folder ? false : failWith(ERROR_INVALID_PARAMETER);
    bytes = available.QuadPart;
    return true;
}

namespace {

// Bytes in the ANSI code page, as the 8-bit layer holds them, in UTF-16.
bool ansiToWide(const char *text, std::wstring &wide) {
    wide.clear();
    const int size = static_cast<int>(std::strlen(text));
    if (size == 0)
        return true;
    const int length = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, size, nullptr, 0);
    if (length == 0)
        return false;
    wide.resize(static_cast<std::size_t>(length));
    ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, size, wide.data(), length);
    return true;
}

// An 8-bit path as a full wide path, in the long form where needed.
bool ansiToFullPath(const char *path, std::wstring &wide) {
    if (!path || !*path)
        return failWith(ERROR_INVALID_PARAMETER);
    return ansiToWide(path, wide) && toFullPath(wide, isUncPath(wide));
}

} // namespace

bool removeAtRestartA(const char *path) {
    // The request outlives this process and its current folder: it names
    // the full path.
    std::wstring wide;
    if (!ansiToFullPath(path, wide))
        return false;
    return ::MoveFileExW(wide.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}

// ---- Folders held open (8-bit names) ------------------------------------------
//
// Entries are opened relative to a held folder with the native calls, which
// take a handle as the root of a name (NtCreateFile's RootDirectory, the
// rename's RootDirectory); the Win32 calls take only paths. Every open asks
// for FILE_OPEN_REPARSE_POINT, so that a link is opened as itself and then
// refused or removed, never followed. Folders are held sharing everything,
// the update's own removals included; what they are held for is the name
// lookup, not keeping others out.

struct FolderObject {
    explicit FolderObject(Handle held) : owner(std::move(held)), handle(owner.get()) {}
    Handle owner;
    const HANDLE handle;
};

namespace {

// ntdll's own values; the SDK headers differ in which of them they carry.
constexpr ULONG ntOpen = 1, ntCreate = 2, ntOpenIf = 3, ntOverwriteIf = 5;
constexpr ULONG ntDirectoryFile = 0x1, ntSynchronousIo = 0x20, ntNonDirectoryFile = 0x40,
                ntCompleteIfOplocked = 0x100, ntForBackup = 0x4000, ntOpenReparsePoint = 0x200000;
constexpr ULONG ntCaseInsensitive = 0x40;
constexpr ULONG ntBothDirectoryInformation = 3, ntRenameInformation = 10,
                ntDispositionInformation = 13;
constexpr NTSTATUS ntNoMoreFiles = static_cast<NTSTATUS>(0x80000006L);
constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct RenameInformation {
    BOOLEAN replaceIfExists;
    HANDLE rootDirectory;
    ULONG fileNameLength;
    WCHAR fileName[1];
};

struct BothDirectoryInformation {
    ULONG nextEntryOffset;
    ULONG fileIndex;
    LARGE_INTEGER creationTime, lastAccessTime, lastWriteTime, changeTime, endOfFile,
        allocationSize;
    ULONG fileAttributes;
    ULONG fileNameLength;
    ULONG eaSize; // the reparse tag, for a reparse point
    CCHAR shortNameLength;
    WCHAR shortName[12];
    WCHAR fileName[1];
};

// The native calls, looked up once: ntdll is in every process.
struct NtCalls {
    NTSTATUS(NTAPI *createFile)
    (PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG,
     ULONG, ULONG, PVOID, ULONG);
    NTSTATUS(NTAPI *setInformation)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
    NTSTATUS(NTAPI *queryDirectory)
    (HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG, BOOLEAN, PUNICODE_STRING,
     BOOLEAN);
    ULONG(NTAPI *toWin32Error)(NTSTATUS);
};

template <typename Function> void lookUp(HMODULE module, const char *name, Function &function) {
    function =
        reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

const NtCalls &nt() {
    static const NtCalls calls = [] {
        NtCalls found{};
        const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        lookUp(ntdll, "NtCreateFile", found.createFile);
        lookUp(ntdll, "NtSetInformationFile", found.setInformation);
        lookUp(ntdll, "NtQueryDirectoryFile", found.queryDirectory);
        lookUp(ntdll, "RtlNtStatusToDosError", found.toWin32Error);
        return found;
    }();
    return calls;
}

bool succeeded(NTSTATUS status) {
    if (status >= 0)
        return true;
    return failWith(nt().toWin32Error(status));
}

// One part of a path in UTF-16: no separator (a trail byte of the code page
// may look like "\" in the 8-bit form, so the wide form is looked at), no
// stream (":"), never "." or "..".
bool toWideName(const char *name, std::wstring &wide) {
    if (!name || !*name || !ansiToWide(name, wide))
        return name && *name ? false : failWith(ERROR_INVALID_PARAMETER);
    if (wide == L"." || wide == L".." || wide.find_first_of(L"\\/:") != std::wstring::npos ||
        wide.size() > 32767)
        return failWith(ERROR_INVALID_PARAMETER);
    return true;
}

bool validFolder(FolderHandle folder) {
    return folder || failWith(ERROR_INVALID_HANDLE);
}

// NtCreateFile of name relative to root. A link at name is opened as
// itself unless following is asked for.
enum class Reparse { AsItself, Follow };
bool openRelative(HANDLE root, const std::wstring &name, ACCESS_MASK access, ULONG share,
                  ULONG disposition, ULONG options, Handle &opened, ULONG attributes = 0,
                  PSECURITY_DESCRIPTOR security = nullptr, Reparse reparse = Reparse::AsItself) {
    UNICODE_STRING text;
    text.Buffer = const_cast<PWSTR>(name.c_str());
    text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES object{};
    object.Length = sizeof object;
    object.RootDirectory = root;
    object.ObjectName = &text;
    object.Attributes = ntCaseInsensitive;
    object.SecurityDescriptor = security;
    IO_STATUS_BLOCK io{};
    if (reparse == Reparse::AsItself)
        options |= ntOpenReparsePoint;
    HANDLE handle = nullptr;
    const bool done =
        succeeded(nt().createFile(&handle, access | SYNCHRONIZE, &object, &io, nullptr, attributes,
                                  share, disposition, options | ntSynchronousIo, nullptr, 0));
    opened.reset(done ? handle : nullptr);
    return done;
}

// What an opened entry is. Only name surrogates (symbolic links,
// junctions) count as links: other reparse points (compressed or cloud
// files) are files and folders like any other.
struct Kind {
    DWORD attributes;
    bool link;
};

bool kindOf(HANDLE handle, Kind &kind) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
        kind.attributes = tag.FileAttributes;
        kind.link = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                    IsReparseTagNameSurrogate(tag.ReparseTag);
        return true;
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (!::GetFileInformationByHandle(handle, &information))
        return false;
    kind.attributes = information.dwFileAttributes;
    kind.link = (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return true;
}

bool isFolderKind(const Kind &kind) {
    return (kind.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool setInformation(HANDLE handle, void *information, ULONG size, ULONG kind) {
    IO_STATUS_BLOCK io{};
    return succeeded(nt().setInformation(handle, &io, information, size, kind));
}

bool markForDeletion(HANDLE handle) {
    BOOLEAN deleteFile = TRUE;
    return setInformation(handle, &deleteFile, sizeof deleteFile, ntDispositionInformation);
}

bool setBasicAttributes(HANDLE handle, DWORD attributes) {
    FILE_BASIC_INFO basic{}; // zero times stay as they are
    basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    return ::SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != FALSE;
}

FolderHandle heldFolder(Handle handle) {
    Kind kind{};
    if (!kindOf(handle.get(), kind))
        return nullptr;
    if (kind.link || !isFolderKind(kind)) {
        failWith(kind.link ? error::StoppedOnSymlink : ERROR_DIRECTORY);
        return nullptr;
    }
    return new FolderObject(std::move(handle));
}

const ACCESS_MASK folderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;

// Calls each with every entry of the folder held by handle but "." and "..".
template <typename Each> bool forEachEntry(HANDLE handle, Each each) {
    std::vector<unsigned char> buffer(65536);
    for (BOOLEAN restart = TRUE;; restart = FALSE) {
        IO_STATUS_BLOCK io{};
        const NTSTATUS status = nt().queryDirectory(
            handle, nullptr, nullptr, nullptr, &io, buffer.data(),
            static_cast<ULONG>(buffer.size()), ntBothDirectoryInformation, FALSE, nullptr, restart);
        if (status == ntNoMoreFiles)
            return true;
        if (!succeeded(status))
            return false;
        for (std::size_t at = 0;;) {
            const auto *entry = reinterpret_cast<const BothDirectoryInformation *>(&buffer[at]);
            const std::wstring_view name(entry->fileName, entry->fileNameLength / sizeof(WCHAR));
            if (name != L"." && name != L"..")
                each(*entry);
            if (entry->nextEntryOffset == 0)
                break;
            at += entry->nextEntryOffset;
        }
    }
}

// removeTreeAt below a held folder: every folder is held while it is
// emptied, and named relative to the one around it.
bool removeTreeIn(HANDLE root, const std::wstring &name) {
    Handle handle;
    if (!openRelative(root, name,
                      DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                      shareAll, ntOpen, ntForBackup, handle)) {
        const DWORD code = ::GetLastError();
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? true : failWith(code);
    }
    Kind kind{};
    if (!kindOf(handle.get(), kind))
        return false;
    DWORD firstError = ERROR_SUCCESS;
    if (isFolderKind(kind) && !kind.link) {
        std::vector<std::wstring> names;
        if (!forEachEntry(handle.get(), [&](const BothDirectoryInformation &entry) {
                names.emplace_back(entry.fileName, entry.fileNameLength / sizeof(WCHAR));
            }))
            return false;
        for (const auto &child : names) {
            if (!removeTreeIn(handle.get(), child) && firstError == ERROR_SUCCESS)
                firstError = ::GetLastError();
        }
    } else if (kind.attributes & FILE_ATTRIBUTE_READONLY) {
        // Read-only files go too: what lies in the update's folders is its own.
        setBasicAttributes(handle.get(), kind.attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if (firstError != ERROR_SUCCESS)
        return failWith(firstError);
    return markForDeletion(handle.get());
}

// Opens name in folder to be changed as itself (a link included).
bool openEntry(FolderHandle folder, const char *name, ACCESS_MASK access, Handle &handle,
               Kind &kind) {
    std::wstring wide;
    if (!validFolder(folder) || !toWideName(name, wide) ||
        !openRelative(folder->handle, wide, access | FILE_READ_ATTRIBUTES, shareAll, ntOpen,
                      ntForBackup, handle))
        return false;
    if (kindOf(handle.get(), kind))
        return true;
    handle.reset();
    return false;
}

} // namespace

namespace {

FolderHandle openFolderWide(const std::wstring &wide, bool followLink) {
    Handle handle(::CreateFileW(
        wide.c_str(), folderAccess, shareAll, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr));
    return handle ? heldFolder(std::move(handle)) : nullptr;
}

} // namespace

FolderHandle openFolderA(const char *path, bool followLink) {
    std::wstring wide;
    return ansiToFullPath(path, wide) ? openFolderWide(wide, followLink) : nullptr;
}

FolderHandle openFolder(const std::string &path, bool followLink) {
    std::wstring wide;
    return toWidePath(path, wide) ? openFolderWide(wide, followLink) : nullptr;
}

FolderHandle openFolderAt(FolderHandle folder, const char *name) {
    std::wstring wide;
    Handle handle;
    if (!validFolder(folder) || !toWideName(name, wide) ||
        !openRelative(folder->handle, wide, folderAccess, shareAll, ntOpen,
                      ntDirectoryFile | ntForBackup, handle))
        return nullptr;
    return heldFolder(std::move(handle));
}

FolderHandle createFolderAt(FolderHandle folder, const char *name, FolderAccess access) {
    std::wstring wide;
    if (!validFolder(folder) || !toWideName(name, wide))
        return nullptr;
    // Private: administrators and the system, and nothing taken over from the
    // parent, whose entries let every user in where the data folder lies.
    PSECURITY_DESCRIPTOR security = nullptr;
    if (access == FolderAccess::Private &&
        !::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", SDDL_REVISION_1, &security, nullptr))
        return nullptr;
    Handle handle;
    // Made and opened in one call: the handle is the folder just made.
    const bool made =
        openRelative(folder->handle, wide, folderAccess, shareAll, ntCreate,
                     ntDirectoryFile | ntForBackup, handle, FILE_ATTRIBUTE_NORMAL, security);
    if (security) {
        const DWORD code = ::GetLastError();
        ::LocalFree(security);
        ::SetLastError(code);
    }
    return made ? new FolderObject(std::move(handle)) : nullptr;
}

void closeFolder(FolderHandle folder) {
    if (!folder)
        return;
    delete folder;
}

namespace {

// Overwriting a link would change the link: whether name in folder is one.
bool isLinkAt(HANDLE folder, const std::wstring &name) {
    Handle handle;
    Kind kind{};
    return openRelative(folder, name, FILE_READ_ATTRIBUTES, shareAll, ntOpen, 0, handle) &&
           kindOf(handle.get(), kind) && kind.link;
}

// A compressed or cloud file opened as its reparse point reads as its bare
// stub: it is opened once more through its file system filter, and must
// still be the same file.
bool throughItsFilter(HANDLE folder, const std::wstring &name, ACCESS_MASK desired, ULONG shareMode,
                      Handle &handle) {
    BY_HANDLE_FILE_INFORMATION first, second;
    Handle itself;
    if (!::GetFileInformationByHandle(handle.get(), &first) ||
        !openRelative(folder, name, desired, shareMode, ntOpen, ntNonDirectoryFile, itself, 0,
                      nullptr, Reparse::Follow) ||
        !::GetFileInformationByHandle(itself.get(), &second))
        return false;
    if (first.dwVolumeSerialNumber != second.dwVolumeSerialNumber ||
        first.nFileIndexHigh != second.nFileIndexHigh ||
        first.nFileIndexLow != second.nFileIndexLow)
        return failWith(error::StoppedOnSymlink);
    handle = std::move(itself);
    return true;
}

// What an open in a folder users can write took: its kind, and whether it
// is a file on the disk, not a link (StoppedOnSymlink) nor a pipe or a
// device (NotSupported), whose reads and writes could wait for whoever
// made it.
bool fileOnTheDisk(HANDLE handle, Kind &kind) {
    if (!kindOf(handle, kind))
        return false;
    if (kind.link || ::GetFileType(handle) != FILE_TYPE_DISK)
        return failWith(kind.link ? error::StoppedOnSymlink : error::NotSupported);
    return true;
}

} // namespace

FileHandle openFileAt(FolderHandle folder, const char *name, FileAccess access, FileShare share,
                      FileDisposition disposition, uint32_t attributes) {
    std::wstring wide;
    if (!validFolder(folder) || !toWideName(name, wide))
        return nullptr;
    if (disposition == FileDisposition::CreateAlways && isLinkAt(folder->handle, wide)) {
        failWith(error::StoppedOnSymlink);
        return nullptr;
    }
    const ACCESS_MASK desired = desiredFileAccess(access) | FILE_READ_ATTRIBUTES;
    const ULONG shareMode = share == FileShare::Read ? FILE_SHARE_READ : 0;
    const ULONG how = disposition == FileDisposition::OpenExisting   ? ntOpen
                      : disposition == FileDisposition::CreateAlways ? ntOverwriteIf
                                                                     : ntCreate;
    ULONG fileAttributes = attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                         FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    if (fileAttributes == 0)
        fileAttributes = FILE_ATTRIBUTE_NORMAL;
    // Another's opportunistic lock on the file is broken without waiting for
    // its holder (who may be anyone able to open it, and may never answer).
    Handle handle;
    if (!openRelative(folder->handle, wide, desired, shareMode, how,
                      ntNonDirectoryFile | ntCompleteIfOplocked, handle, fileAttributes)) {
        // As CreateFileA reports it: the name is taken.
        if (how == ntCreate && ::GetLastError() == ERROR_ALREADY_EXISTS)
            failWith(ERROR_FILE_EXISTS);
        return nullptr;
    }
    Kind kind{};
    if (!fileOnTheDisk(handle.get(), kind))
        return nullptr;
    if ((kind.attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        !throughItsFilter(folder->handle, wide, desired, shareMode, handle))
        return nullptr;
    ::SetLastError(ERROR_SUCCESS);
    return new FileObject(std::move(handle));
}

// The log lies where every user may make entries and open files. It is
// opened as an entry of its folder, so that another's opportunistic lock on
// it is broken without waiting for its holder, and a link or anything but a
// file on the disk is refused.
FileHandle openForAppending(const std::string &path) {
    std::wstring widePath;
    if (!toWidePath(path, widePath))
        return nullptr;
    const std::size_t slash = widePath.find_last_of(L"\\/");
    const std::wstring folderPath =
        slash == std::wstring::npos ? L"." : widePath.substr(0, slash == 2 ? 3 : slash);
    const std::wstring name = slash == std::wstring::npos ? widePath : widePath.substr(slash + 1);
    const Handle folder(::CreateFileW(folderPath.c_str(), folderAccess, shareAll, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    // FILE_APPEND_DATA without FILE_WRITE_DATA: every write of this handle
    // goes to the end of the file as it is at that moment, so writers in
    // several processes add their pieces one after the other. Sharing reading
    // and writing lets them all (and any reader) have it open at once.
    Handle handle;
    if (!folder ||
        !openRelative(folder.get(), name, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, ntOpenIf,
                      ntNonDirectoryFile | ntCompleteIfOplocked, handle, FILE_ATTRIBUTE_NORMAL))
        return nullptr;
    Kind kind{};
    if (!fileOnTheDisk(handle.get(), kind))
        return nullptr;
    ::SetLastError(ERROR_SUCCESS);
    return new FileObject(std::move(handle));
}

bool appendToFile(FileHandle file, const char *data, std::size_t size) {
    if (!file)
        return failWith(ERROR_INVALID_HANDLE);
    if (size > MAXDWORD)
        return failWith(ERROR_INVALID_PARAMETER);
    DWORD put = 0;
    if (!::WriteFile(file->handle, data, static_cast<DWORD>(size), &put, nullptr))
        return false;
    if (put != static_cast<DWORD>(size))
        return failWith(ERROR_DISK_FULL);
    // As a line that opened its file left it: whoever reads the last error
    // after logging finds the same value, held handle or not.
    ::SetLastError(ERROR_SUCCESS);
    return true;
}

bool appendToFile(const std::string &path, const char *data, std::size_t size) {
    const File file(openForAppending(path));
    return file && appendToFile(file.get(), data, size);
}

uint32_t attributesAt(FolderHandle folder, const char *name) {
    Handle handle;
    Kind kind{};
    if (!openEntry(folder, name, 0, handle, kind))
        return attribute::Invalid;
    // Only a link is reported as one (see Kind).
    DWORD attributes = kind.attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT);
    if (kind.link)
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    ::SetLastError(ERROR_SUCCESS);
    return attributes;
}

Status setAttributesAt(FolderHandle folder, const char *name, uint32_t attributes) {
    Handle handle;
    Kind kind{};
    if (!openEntry(folder, name, FILE_WRITE_ATTRIBUTES, handle, kind))
        return false;
    if (kind.link)
        return failWith(error::StoppedOnSymlink);
    return setBasicAttributes(handle.get(), attributes);
}

Status moveAt(FolderHandle from, const char *fromName, FolderHandle to, const char *toName,
              bool replace) {
    // One open, and the rename through it: the open is the probe (a holder
    // that does not share deletion refuses it), and what was opened is
    // what moves. What it is needs no look: a link is moved itself.
    std::wstring source, target;
    Handle handle;
    if (!validFolder(from) || !validFolder(to) || !toWideName(fromName, source) ||
        !toWideName(toName, target) ||
        !openRelative(from->handle, source, DELETE, shareAll, ntOpen, ntForBackup, handle))
        return false;
    // Named relative to the target folder's handle, as the open was.
    std::vector<unsigned char> buffer(sizeof(RenameInformation) + target.size() * sizeof(WCHAR));
    auto *rename = reinterpret_cast<RenameInformation *>(buffer.data());
    rename->replaceIfExists = replace ? TRUE : FALSE;
    rename->rootDirectory = to->handle;
    rename->fileNameLength = static_cast<ULONG>(target.size() * sizeof(WCHAR));
    std::memcpy(rename->fileName, target.data(), rename->fileNameLength);
    return setInformation(handle.get(), rename, static_cast<ULONG>(buffer.size()),
                          ntRenameInformation);
}

Status moveOwnAt(FolderHandle from, const char *fromName, FolderHandle to, const char *toName) {
    // Windows looks at nothing first either way: the rename is one call.
    return moveAt(from, fromName, to, toName, false);
}

namespace {

// Deletes name in folder when it is a folder (or not, as folderWanted
// says), or a link, which is removed itself; else fails with refusal.
bool deleteEntry(FolderHandle folder, const char *name, bool folderWanted, DWORD refusal) {
    Handle handle;
    Kind kind{};
    if (!openEntry(folder, name, DELETE, handle, kind))
        return false;
    if (isFolderKind(kind) != folderWanted && !kind.link)
        return failWith(refusal);
    return markForDeletion(handle.get());
}

} // namespace

Status deleteAt(FolderHandle folder, const char *name) {
    // As DeleteFileW: a folder is no file to delete; a link to one is.
    return deleteEntry(folder, name, false, ERROR_ACCESS_DENIED);
}

Status removeFolderAt(FolderHandle folder, const char *name) {
    return deleteEntry(folder, name, true, ERROR_DIRECTORY);
}

Status removeTreeAt(FolderHandle folder, const char *name) {
    std::wstring wide;
    return validFolder(folder) && toWideName(name, wide) && removeTreeIn(folder->handle, wide);
}

Status listFolderAt(FolderHandle folder, std::vector<FolderEntry> &entries) {
    entries.clear();
    if (!validFolder(folder))
        return false;
    // Names are given in the code page, as the held-folder calls take them;
    // one that it cannot hold, by its short name where the volume keeps one
    // (else it cannot be named, and is left out).
    const bool listed = forEachEntry(folder->handle, [&](const BothDirectoryInformation &entry) {
        std::string name;
        if (!utf8ToLocal8Bit(
                toUtf8(entry.fileName, static_cast<int>(entry.fileNameLength / sizeof(WCHAR))),
                name) &&
            (entry.shortNameLength == 0 ||
             !utf8ToLocal8Bit(
                 toUtf8(entry.shortName, static_cast<int>(entry.shortNameLength / sizeof(WCHAR))),
                 name)))
            return;
        DWORD attributes = entry.fileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT);
        // Only name surrogates are links (see Kind); a listing that gives
        // no tag counts every reparse point as one.
        if ((entry.fileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            (entry.eaSize == 0 || IsReparseTagNameSurrogate(entry.eaSize)))
            attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        entries.push_back({name, attributes});
    });
    if (listed)
        ::SetLastError(ERROR_SUCCESS);
    return listed;
}

Status flushFolder(FolderHandle folder) {
    // NTFS writes renames to its log, in order, and flushing any file of the
    // volume (as the caller's journal is) takes the log to the disk up to
    // then; a folder has no flush of its own.
    return validFolder(folder);
}

Status flushVolume(FolderHandle folder) {
    if (!validFolder(folder))
        return false;
    // The volume that holds the folder, as "\\?\Volume{...}": flushing it
    // takes an administrator, which the programs are.
    std::vector<wchar_t> path(32768), mount(32768), volume(MAX_PATH);
    const DWORD length =
        ::GetFinalPathNameByHandleW(folder->handle, path.data(), static_cast<DWORD>(path.size()),
                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= path.size() ||
        !::GetVolumePathNameW(path.data(), mount.data(), static_cast<DWORD>(mount.size())) ||
        !::GetVolumeNameForVolumeMountPointW(mount.data(), volume.data(),
                                             static_cast<DWORD>(volume.size())))
        return false;
    std::wstring device = volume.data();
    if (!device.empty() && device.back() == L'\\')
        device.pop_back(); // the volume itself, not its root folder
    const Handle handle(::CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
    return handle && ::FlushFileBuffers(handle.get()) != FALSE;
}

OneProcessor::OneProcessor() {
    DWORD_PTR process = 0, system = 0;
    if (!::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system))
        return;
    const DWORD_PTR only = static_cast<DWORD_PTR>(1) << ::GetCurrentProcessorNumber();
    // A processor of another group, or one the process may not use: left as
    // it is.
    if ((process & only) == 0)
        return;
    std::memcpy(before_[0], &process, sizeof process);
    pinned_ = ::SetProcessAffinityMask(::GetCurrentProcess(), only) != FALSE ? 1 : 0;
}

OneProcessor::~OneProcessor() {
    DWORD_PTR before = 0;
    std::memcpy(&before, before_[0], sizeof before);
    if (pinned_ != 0)
        ::SetProcessAffinityMask(::GetCurrentProcess(), before);
}

void refuseUserRedirections() {
    // Looked up at run time: older systems lack the call or the policy, and
    // the programs run there as before.
    BOOL(WINAPI * setPolicy)(int, PVOID, SIZE_T) = nullptr;
    lookUp(::GetModuleHandleW(L"kernel32.dll"), "SetProcessMitigationPolicy", setPolicy);
    if (!setPolicy)
        return;
    // PROCESS_MITIGATION_POLICY's ProcessRedirectionTrustPolicy, and its
    // EnforceRedirectionTrust flag; older SDK headers have neither.
    const int redirectionTrustPolicy = 16;
    DWORD enforce = 1;
    setPolicy(redirectionTrustPolicy, &enforce, sizeof enforce);
}

// ---- Code page and time -----------------------------------------------------

namespace {

bool utf8ToCodePage(UINT codePage, const std::string &utf8, std::string &local) {
    std::wstring wide;
    if (!toWide(utf8, wide))
        return false;
    if (wide.empty()) {
        local.clear();
        return true;
    }
    const int wideLength = static_cast<int>(wide.size());
    // WC_NO_BEST_FIT_CHARS with a used-default flag: a character the code
    // page lacks would otherwise become "?" or a look-alike and name another
    // file. With the UTF-8 ANSI code page (Windows 10's beta option) both
    // must be left out, and nothing is lost anyway.
    const bool utf8CodePage = (codePage == CP_ACP ? ::GetACP() : ::GetOEMCP()) == CP_UTF8;
    const DWORD flags = utf8CodePage ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL *usedDefaultFlag = utf8CodePage ? nullptr : &usedDefault;
    const int size = ::WideCharToMultiByte(codePage, flags, wide.data(), wideLength, nullptr, 0,
                                           nullptr, usedDefaultFlag);
    if (size == 0)
        return false;
    if (usedDefault)
        return failWith(ERROR_NO_UNICODE_TRANSLATION);
    std::string converted(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(codePage, flags, wide.data(), wideLength, converted.data(), size, nullptr,
                          nullptr);
    local = converted;
    return true;
}

} // namespace

bool utf8ToLocal8Bit(const std::string &utf8, std::string &local) {
    return utf8ToCodePage(CP_ACP, utf8, local);
}

bool utf8ToOem8Bit(const std::string &utf8, std::string &oem) {
    return utf8ToCodePage(CP_OEMCP, utf8, oem);
}

bool isLeadByte(unsigned char byte) {
    return ::IsDBCSLeadByte(byte) != FALSE;
}

std::size_t findText8(const std::string &text, const std::string &needle, std::size_t from) {
    // The walk _mbsstr makes, done here: _mbsstr reads the C runtime's
    // multibyte code page, which is the ANSI one only until someone calls
    // _setmbcp, and stops at a zero byte. IsDBCSLeadByte reads the ANSI code
    // page, the one in which the A file functions read these names. The walk
    // starts at the beginning, since only there is a character boundary
    // known.
    std::size_t position = 0;
    while (position <= text.size()) {
        if (position >= from && text.compare(position, needle.size(), needle) == 0)
            return position;
        if (position == text.size())
            break;
        const bool pair =
            isLeadByte(static_cast<unsigned char>(text[position])) && position + 1 < text.size();
        position += pair ? 2 : 1;
    }
    return std::string::npos;
}

bool localTimeToFileTime(const CalendarTime &local, uint64_t &fileTime) {
    // SYSTEMTIME holds WORDs: a field outside them must not wrap round into
    // a valid date. SystemTimeToFileTime checks the rest (month length, leap
    // years, 1601 onwards).
    const int fields[] = {local.year,   local.month,  local.day,         local.hour,
                          local.minute, local.second, local.milliseconds};
    for (const int field : fields) {
        if (field < 0 || field > 0xFFFF)
            return failWith(ERROR_INVALID_PARAMETER);
    }
    // Windows refuses a day its month does not have. Wine takes 29 February
    // in every year, so the check is made here as well, to get Windows'
    // answer on both.
    static const int daysIn[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (local.year % 4 == 0 && local.year % 100 != 0) || local.year % 400 == 0;
    if (local.month >= 1 && local.month <= 12 &&
        local.day > daysIn[local.month - 1] + (local.month == 2 && leap ? 1 : 0))
        return failWith(ERROR_INVALID_PARAMETER);
    SYSTEMTIME calendar{};
    calendar.wYear = static_cast<WORD>(local.year);
    calendar.wMonth = static_cast<WORD>(local.month);
    calendar.wDay = static_cast<WORD>(local.day);
    calendar.wHour = static_cast<WORD>(local.hour);
    calendar.wMinute = static_cast<WORD>(local.minute);
    calendar.wSecond = static_cast<WORD>(local.second);
    calendar.wMilliseconds = static_cast<WORD>(local.milliseconds);
    FILETIME localTime, utc;
    if (!::SystemTimeToFileTime(&calendar, &localTime))
        return false;
    // LocalFileTimeToFileTime applies the offset from UTC in force now, not
    // the one of that date: a summer time read in winter lands an hour off.
    if (!::LocalFileTimeToFileTime(&localTime, &utc))
        return false;
    fileTime = valueOf(utc);
    return true;
}

CalendarTime localTime() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return {now.wYear,   now.wMonth,  now.wDay,         now.wHour,
            now.wMinute, now.wSecond, now.wMilliseconds};
}

// ---- Short names --------------------------------------------------------------

bool shortPath(const std::string &path, std::string &shortForm) {
    std::wstring wide;
    if (!toWidePath(path, wide))
        return false;
    // The size asked for first includes the terminating zero; the second
    // call's result does not. A folder renamed in between asks for more.
    std::wstring result(::GetShortPathNameW(wide.c_str(), nullptr, 0), L'\0');
    if (result.empty())
        return false;
    const DWORD length =
        ::GetShortPathNameW(wide.c_str(), result.data(), static_cast<DWORD>(result.size()));
    if (length == 0)
        return false;
    if (length >= result.size())
        return failWith(ERROR_FILENAME_EXCED_RANGE);
    result.resize(length);
    // A long path went in with the "\\?\" prefix; the short one is for cmd.exe,
    // which takes the plain form.
    const std::wstring prefix = L"\\\\?\\";
    if (result.compare(0, prefix.size(), prefix) == 0)
        result = result.compare(prefix.size(), 4, L"UNC\\") == 0
                     ? L"\\" + result.substr(prefix.size() + 3)
                     : result.substr(prefix.size());
    shortForm = toUtf8(result);
    return true;
}

} // namespace platform
