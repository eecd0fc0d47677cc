// The stand-in: a Windows machine in a folder, for POSIX builds.
//
// The machine root is $VELMAR_SYSTEM_ROOT, else $XDG_DATA_HOME/velmar-system,
// else ~/.local/share/velmar-system. Below it live the special folders, the
// registry (a folder per key, a file per string value) and the named mutexes
// (a file per mutex, held by an exclusive flock).
//
// Windows keeps a file "in use" while someone has it open without sharing, or
// while it is a running program's file. The stand-in expresses that with
// flock(2): whoever holds a lock on a file makes it in use, and deleting,
// replacing or overwriting it fails with the sharing violation, as on
// Windows. Every process that links this file holds a shared lock on its own
// program file while it runs. All descriptors are close-on-exec, so a started
// program never inherits its starter's locks.
#include "platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef VELMAR_STANDIN_CMD
#define VELMAR_STANDIN_CMD ""
#endif

namespace platform {

const char programSuffix[] = "";
const char textLineEnd[] = "\n";
const bool caseSensitiveNames = true;

namespace {

thread_local uint32_t threadLastError = 0;

// The one place where POSIX errors become Windows error codes.
uint32_t windowsErrorFrom(int posixError) {
    switch (posixError) {
    case 0:
        return error::Success;
    case ENOENT:
        return error::FileNotFound;
    case ENOTDIR:
        return error::PathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
        return error::AccessDenied;
    case EBADF:
        return error::InvalidHandle;
    case EWOULDBLOCK:
        return error::SharingViolation;
    case EEXIST:
        return error::FileExists;
    case EINVAL:
        return error::InvalidParameter;
    case ENOTEMPTY:
        return error::DirNotEmpty;
    case ENAMETOOLONG:
        return error::FilenameTooLong;
    case ENOSPC:
        return error::DiskFull;
    case ELOOP:
        return error::StoppedOnSymlink;
    default:
        return error::GenFailure;
    }
}

bool failWith(uint32_t code) {
    threadLastError = code;
    return false;
}

bool failWithErrno() {
    return failWith(windowsErrorFrom(errno));
}

bool succeed() {
    threadLastError = error::Success;
    return true;
}

std::string withSlashes(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

std::string parentOf(const std::string &path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool isDirectory(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Windows tells a missing file (2) from a missing folder on the way (3).
bool failMissing(const std::string &path) {
    return failWith(isDirectory(parentOf(path)) ? error::FileNotFound : error::PathNotFound);
}

bool failOpen(const std::string &path) {
    return errno == ENOENT ? failMissing(path) : failWithErrno();
}

// As failOpen for name in the folder held by dir (AT_FDCWD: name is a
// path): a missing entry of a held folder is a missing file, its folder
// being there.
bool failOpenAt(int dir, const std::string &name) {
    if (dir == AT_FDCWD)
        return failOpen(name);
    return failWithErrno();
}

// A descriptor this file opened: closed when it goes, with errno kept, so
// that the failure reported after it is the one that happened.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    Fd &operator=(Fd &&other) noexcept {
        reset(other.release());
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            const int kept = errno;
            ::close(fd_);
            errno = kept;
        }
        fd_ = fd;
    }

private:
    int fd_;
};

Fd openAtCloexec(int dir, const std::string &name, int flags, mode_t mode = 0) {
    int fd;
    do
        fd = ::openat(dir, name.c_str(), flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return Fd(fd);
}

Fd openCloexec(const std::string &path, int flags, mode_t mode = 0) {
    return openAtCloexec(AT_FDCWD, path, flags, mode);
}

bool lockNow(int fd, int operation) {
    int rc;
    do
        rc = ::flock(fd, operation | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool isReadOnly(const struct stat &st) {
    return (st.st_mode & S_IWUSR) == 0;
}

std::string machineRoot() {
    if (const char *root = std::getenv("VELMAR_SYSTEM_ROOT"); root && *root)
        return root;
    if (const char *data = std::getenv("XDG_DATA_HOME"); data && *data)
        return std::string(data) + "/velmar-system";
    const char *home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.local/share/velmar-system";
}

bool makeFolders(const std::string &path) {
    std::string partial;
    std::size_t start = 0;
    while (start <= path.size()) {
        const auto slash = path.find('/', start);
        const auto end = slash == std::string::npos ? path.size() : slash;
        partial = path.substr(0, end);
        if (!partial.empty() && ::mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST)
            return failWithErrno();
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return isDirectory(path) ? succeed() : failWith(error::PathNotFound);
}

bool existingFolder(const std::string &path, std::string &folder) {
    if (!isDirectory(path))
        return failWith(error::PathNotFound);
    folder = path;
    return succeed();
}

// Removes or replaces path only if nobody holds it: the exclusive lock taken
// here is held across the change, so no one can start using the file between
// the check and the change.
// A missing path is a failure unless missingIsFine (a replacement then
// simply takes the name).
// forced: whatever its read-only mark, which is then not looked at (what
// lies in the update's own folders is its own, and a removal by name
// takes no mind of the file's own permissions).
template <typename Change>
bool changeUnlessInUse(int dir, const std::string &path, uint32_t inUseError, bool missingIsFine,
                       Change change, bool forced = false) {
    // Opened first and looked at through the descriptor: one call fewer
    // than a look by name, and what is looked at is what gets locked. A link
    // does not open (O_NOFOLLOW) and is changed itself, never its target.
    Fd fd = openAtCloexec(dir, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (!fd && errno == ENOENT && !missingIsFine)
        return failOpenAt(dir, path);
    if (fd) {
        struct stat st;
        if (!forced && (::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode) || isReadOnly(st)))
            return failWith(error::AccessDenied);
        if (!lockNow(fd.get(), LOCK_EX))
            return failWith(inUseError);
    }
    const bool done = change();
    fd.reset();
    if (done)
        return succeed();
    return errno == ENOENT ? failOpenAt(dir, path) : failWithErrno();
}

// Holds this program's own file in use for the life of the process, as
// Windows does for a running program's file.
struct OwnProgramFileLock {
    OwnProgramFileLock() {
        // The descriptor stays open until the process ends.
        const int fd = openCloexec("/proc/self/exe", O_RDONLY).release();
        if (fd >= 0)
            lockNow(fd, LOCK_SH);
    }
};
const OwnProgramFileLock ownProgramFileLock;

std::atomic<SleepFunction> sleepReplacement{nullptr};

} // namespace

// ---- Errors ---------------------------------------------------------------

uint32_t lastError() {
    return threadLastError;
}
void setLastError(uint32_t code) {
    threadLastError = code;
}

// ---- Waiting ----------------------------------------------------------------

void sleepMs(uint32_t ms) {
    if (const SleepFunction replacement = sleepReplacement.load()) {
        replacement(ms);
        return;
    }
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

SleepFunction setSleepFunction(SleepFunction function) {
    return sleepReplacement.exchange(function);
}

// ---- Program files --------------------------------------------------------

std::string programFilePath() {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0) {
        failWithErrno();
        return {};
    }
    succeed();
    return std::string(buffer, static_cast<std::size_t>(length));
}

void refuseUserRedirections() {
    // The stand-in's links are the test's own; no policy to switch on.
}

namespace {

// The threads a OneProcessor keeps together: the calling one (0) and the
// process's first, unless they are the same.
std::vector<pid_t> keptTogether() {
    std::vector<pid_t> threads{0};
    if (::gettid() != ::getpid())
        threads.push_back(::getpid());
    return threads;
}

} // namespace

OneProcessor::OneProcessor() {
    static_assert(sizeof(cpu_set_t) <= sizeof before_[0], "room for the mask");
    const int processor = ::sched_getcpu();
    if (processor < 0)
        return;
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(processor, &only);
    for (const pid_t thread : keptTogether()) {
        auto *before = reinterpret_cast<cpu_set_t *>(before_[pinned_]);
        if (::sched_getaffinity(thread, sizeof *before, before) != 0 ||
            ::sched_setaffinity(thread, sizeof only, &only) != 0)
            return;
        ++pinned_;
    }
}

OneProcessor::~OneProcessor() {
    const std::vector<pid_t> threads = keptTogether();
    for (int n = 0; n < pinned_; ++n)
        ::sched_setaffinity(threads[static_cast<std::size_t>(n)], sizeof(cpu_set_t),
                            reinterpret_cast<cpu_set_t *>(before_[n]));
}

// ---- Special folders --------------------------------------------------------

bool commonDocumentsFolder(std::string &folder) {
    return existingFolder(machineRoot() + "/Users/Public/Documents", folder);
}

bool commonProgramsFolder(std::string &folder) {
    return existingFolder(machineRoot() + "/ProgramData/Microsoft/Windows/Start Menu/Programs",
                          folder);
}

bool userDesktopFolder(std::string &folder) {
    std::string login;
    if (const passwd *user = ::getpwuid(::geteuid()))
        login = user->pw_name;
    else if (const char *name = std::getenv("USER"))
        login = name;
    if (login.empty())
        return failWith(error::PathNotFound);
    folder = machineRoot() + "/Users/" + login + "/Desktop";
    return succeed();
}

bool isAbsolutePath(const std::string &path) {
    return !path.empty() && path[0] == '/';
}

// ---- Named mutexes ----------------------------------------------------------

struct MutexObject {
    Fd fd;
    bool owned;
};

MutexHandle createMutex(const std::string &name) {
    if (name.empty() || name.find('/') != std::string::npos) {
        failWith(error::InvalidParameter);
        return nullptr;
    }
    const std::string folder = machineRoot() + "/Mutexes";
    if (!makeFolders(folder))
        return nullptr;
    Fd fd = openCloexec(folder + "/" + name, O_RDWR | O_CREAT, 0666);
    if (!fd) {
        failWithErrno();
        return nullptr;
    }
    const bool owned = lockNow(fd.get(), LOCK_EX);
    threadLastError = owned ? error::Success : error::AlreadyExists;
    return new MutexObject{std::move(fd), owned};
}

bool releaseMutex(MutexHandle mutex) {
    if (!mutex)
        return failWith(error::InvalidHandle);
    if (!mutex->owned)
        return failWith(error::NotOwner);
    ::flock(mutex->fd.get(), LOCK_UN);
    mutex->owned = false;
    return succeed();
}

bool closeMutex(MutexHandle mutex) {
    if (!mutex)
        return failWith(error::InvalidHandle);
    delete mutex;
    return succeed();
}

// ---- Shell ------------------------------------------------------------------

namespace {

bool isExecutableFile(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

std::string findInPath(const std::string &program) {
    const char *path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        auto end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        const std::string candidate = folders.substr(start, end - start) + "/" + program;
        if (end > start && isExecutableFile(candidate))
            return candidate;
        start = end + 1;
    }
    return {};
}

// The command-interpreter stand-in that runs batch files: next to the
// running program, else where the build put it, else on the PATH.
std::string batchInterpreter() {
    const std::string name = "standin-cmd";
    const std::string beside = parentOf(programFilePath()) + "/" + name;
    if (isExecutableFile(beside))
        return beside;
    if (isExecutableFile(VELMAR_STANDIN_CMD))
        return VELMAR_STANDIN_CMD;
    return findInPath(name);
}

bool endsWithBatch(const std::string &file) {
    if (file.size() < 4)
        return false;
    std::string tail = file.substr(file.size() - 4);
    std::transform(tail.begin(), tail.end(), tail.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return tail == ".bat";
}

// Starts argv detached from this process (own session, not a child of ours),
// in folder. Reports whether the program could be started.
bool startDetached(const std::vector<std::string> &arguments, const std::string &folder) {
    std::vector<char *> argv;
    for (const auto &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);

    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return failWithErrno();
    Fd reportRead(ends[0]), reportWrite(ends[1]);
    const pid_t child = ::fork();
    if (child < 0)
        return failWithErrno();
    if (child == 0) {
        // Only async-signal-safe calls from here on.
        ::setsid();
        if (::fork() != 0)
            ::_exit(0);
        int failure = 0;
        if (::chdir(folder.c_str()) != 0)
            failure = errno;
        if (failure == 0) {
            // Close-on-exec, all but the copy that becomes the input.
            const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (devNull == 0)
                ::fcntl(0, F_SETFD, 0);
            else if (devNull > 0)
                ::dup2(devNull, 0);
            ::execv(argv[0], argv.data());
            failure = errno;
        }
        ssize_t written;
        do
            written = ::write(reportWrite.get(), &failure, sizeof failure);
        while (written < 0 && errno == EINTR);
        ::_exit(127);
    }
    reportWrite.reset();
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int failure = 0;
    ssize_t got;
    do
        got = ::read(reportRead.get(), &failure, sizeof failure);
    while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof failure)) {
        errno = failure;
        return failWithErrno();
    }
    return succeed();
}

} // namespace

bool shellOpen(const std::string &file, const std::string &directory, ShowCommand) {
    const std::string folder = directory.empty() ? "." : withSlashes(directory);
    std::string target = withSlashes(file);
    if (!isAbsolutePath(target))
        target = folder + "/" + target;
    struct stat st;
    if (::stat(target.c_str(), &st) != 0)
        return failOpen(target);
    if (endsWithBatch(target)) {
        const std::string interpreter = batchInterpreter();
        if (interpreter.empty())
            return failWith(error::FileNotFound);
        return startDetached({interpreter, target}, folder);
    }
    if (isExecutableFile(target))
        return startDetached({target}, folder);
    const std::string opener = findInPath("xdg-open");
    if (opener.empty())
        return failWith(error::NoAssociation);
    return startDetached({opener, target}, folder);
}

// ---- Registry -----------------------------------------------------------------

namespace {

std::string registryFolder(const std::string &key) {
    std::string folder = machineRoot() + "/Registry/HKEY_LOCAL_MACHINE";
    if (!key.empty())
        folder += "/" + withSlashes(key);
    return folder;
}

bool validValueName(const std::string &name) {
    return !name.empty() && name.find_first_of("/\\") == std::string::npos;
}

} // namespace

bool registryReadString(const std::string &key, const std::string &name, std::string &value) {
    if (!validValueName(name))
        return failWith(error::InvalidParameter);
    const Fd fd = openCloexec(registryFolder(key) + "/" + name, O_RDONLY);
    if (!fd)
        return failWith(error::FileNotFound);
    std::string content;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fd.get(), buffer, sizeof buffer)) != 0) {
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return failWithErrno();
        }
        content.append(buffer, static_cast<std::size_t>(got));
    }
    value = content;
    return succeed();
}

bool registryWriteString(const std::string &key, const std::string &name,
                         const std::string &value) {
    if (!validValueName(name))
        return failWith(error::InvalidParameter);
    const std::string folder = registryFolder(key);
    if (!makeFolders(folder))
        return false;
    const std::string path = folder + "/" + name;
    const std::string temporary = path + ".new";
    Fd fd = openCloexec(temporary, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (!fd)
        return failWithErrno();
    std::size_t done = 0;
    while (done < value.size()) {
        const ssize_t put = ::write(fd.get(), value.data() + done, value.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0) {
            fd.reset();
            const int writeErrno = errno;
            ::unlink(temporary.c_str());
            errno = writeErrno;
            return failWithErrno();
        }
        done += static_cast<std::size_t>(put);
    }
    // Whole once its name is on the disk, as Windows' registry keeps a value.
    if (::fsync(fd.get()) != 0)
        return failWithErrno();
    fd.reset();
    if (::rename(temporary.c_str(), path.c_str()) != 0)
        return failWithErrno();
    return succeed();
}

bool registryFlushKey(const std::string &key) {
    const Fd fd = openCloexec(registryFolder(key), O_RDONLY | O_DIRECTORY);
    if (!fd)
        return failWith(error::FileNotFound);
    return ::fsync(fd.get()) == 0 ? succeed() : failWithErrno();
}

bool registryDeleteKey(const std::string &key, const std::string &subKey) {
    const std::string parent = registryFolder(key);
    if (!isDirectory(parent))
        return failWith(error::FileNotFound);
    if (subKey.empty() || subKey.find_first_of("/\\") != std::string::npos)
        return failWith(error::InvalidParameter);
    const std::string folder = parent + "/" + subKey;
    DIR *listing = ::opendir(folder.c_str());
    if (!listing)
        return failWith(error::FileNotFound);
    std::vector<std::string> values;
    bool hasSubKeys = false;
    while (const dirent *entry = ::readdir(listing)) {
        const std::string entryName = entry->d_name;
        if (entryName == "." || entryName == "..")
            continue;
        if (isDirectory(folder + "/" + entryName))
            hasSubKeys = true;
        else
            values.push_back(entryName);
    }
    ::closedir(listing);
    if (hasSubKeys)
        return failWith(error::AccessDenied);
    for (const auto &value : values)
        ::unlink((folder + "/" + value).c_str());
    return ::rmdir(folder.c_str()) == 0 ? succeed() : failWithErrno();
}

// ---- Files (UTF-8) ----------------------------------------------------------

bool deleteFile(const std::string &path) {
    const std::string file = withSlashes(path);
    return changeUnlessInUse(AT_FDCWD, file, error::SharingViolation, false,
                             [&] { return ::unlink(file.c_str()) == 0; });
}

bool pathExists(const std::string &path) {
    const std::string file = withSlashes(path);
    struct stat st;
    // lstat: a link is there itself, as on Windows.
    return ::lstat(file.c_str(), &st) == 0 ? succeed() : failOpen(file);
}

uint32_t pathAttributes(const std::string &path) {
    const std::string file = withSlashes(path);
    struct stat st;
    if (::lstat(file.c_str(), &st) != 0) {
        failOpen(file);
        return attribute::Invalid;
    }
    succeed();
    if (S_ISLNK(st.st_mode))
        return attribute::ReparsePoint | (isDirectory(file) ? attribute::Directory : 0);
    if (S_ISDIR(st.st_mode))
        return attribute::Directory;
    return attribute::Archive | (isReadOnly(st) ? attribute::ReadOnly : 0);
}

bool removeLink(const std::string &path) {
    const std::string file = withSlashes(path);
    struct stat st;
    if (::lstat(file.c_str(), &st) != 0)
        return failOpen(file);
    if (!S_ISLNK(st.st_mode))
        return failWith(error::NotAReparsePoint);
    return ::unlink(file.c_str()) == 0 ? succeed() : failWithErrno();
}

namespace {

bool replaceAt(int sourceDir, const std::string &source, int targetDir, const std::string &target) {
    // Most targets are new (every file of a fresh extraction): a rename that
    // refuses to replace anything needs no look at the target first, as
    // nobody can hold what is not there. Anything else, a failure included,
    // takes the way below, which decides and reports as before.
    if (::renameat2(sourceDir, source.c_str(), targetDir, target.c_str(), RENAME_NOREPLACE) == 0)
        return succeed();
    // A missing target is no failure here: the file simply takes its name.
    // Windows refuses to replace a file that is open anywhere, whatever its
    // sharing, with access denied rather than the sharing violation.
    return changeUnlessInUse(targetDir, target, error::AccessDenied, true, [&] {
        return ::renameat(sourceDir, source.c_str(), targetDir, target.c_str()) == 0;
    });
}

} // namespace

bool replaceFile(const std::string &from, const std::string &to) {
    return replaceAt(AT_FDCWD, withSlashes(from), AT_FDCWD, withSlashes(to));
}

bool temporaryFolder(std::string &folder) {
    std::string desktop;
    if (!userDesktopFolder(desktop))
        return false;
    const std::string temporary = parentOf(desktop) + "/AppData/Local/Temp";
    if (!makeFolders(temporary))
        return false;
    folder = temporary;
    return succeed();
}

// ---- Files (8-bit) ----------------------------------------------------------

// owner closes the descriptor; fd is its number.
struct FileObject {
    explicit FileObject(Fd descriptor) : owner(std::move(descriptor)), fd(owner.get()) {}
    Fd owner;
    const int fd;
};

namespace {

// Whether a file open may take what st describes: not a link, a folder,
// anything but a regular file, or a read-only file to be written (false,
// with the error Windows gives).
bool mayOpen(const struct stat &st, bool writing) {
    if (S_ISLNK(st.st_mode))
        return failWith(error::StoppedOnSymlink);
    if (S_ISDIR(st.st_mode))
        return failWith(error::AccessDenied);
    if (!S_ISREG(st.st_mode))
        return failWith(error::NotSupported);
    if (writing && isReadOnly(st))
        return failWith(error::AccessDenied);
    return succeed();
}

// The open(2) flags of an openFileA.
int openFlags(FileAccess access, FileDisposition disposition) {
    const int writeFlags = access == FileAccess::ReadWrite ? O_RDWR : O_WRONLY;
    switch (disposition) {
    case FileDisposition::CreateAlways:
        return writeFlags | O_CREAT;
    case FileDisposition::CreateNew:
        return writeFlags | O_CREAT | O_EXCL;
    case FileDisposition::OpenExisting:
        break;
    }
    return access == FileAccess::Read ? O_RDONLY : writeFlags;
}

// A failed open of file in dir, as Windows tells it.
void failOpenOf(int dir, const std::string &file) {
    if (errno == EEXIST)
        failWith(error::FileExists);
    else if (errno == ELOOP)
        failWith(error::StoppedOnSymlink);
    else if (errno == ENXIO) // a FIFO that nobody reads
        failWith(error::NotSupported);
    else
        failOpenAt(dir, file);
}

// openFileA of file in the folder held by dir (AT_FDCWD: file is a path).
// followLink false refuses a link at file, as the folder-held calls do.
// Only a file on the disk is ever opened: whoever may make entries where
// the file lies could have put a FIFO or a device there, which would make
// an open or a read wait for them. Every open is non-blocking, and what is
// not a regular file is refused (error::NotSupported).
FileHandle openFileIn(int dir, const std::string &file, FileAccess access, FileShare share,
                      FileDisposition disposition, uint32_t attributes, bool followLink) {
    const bool writing = access != FileAccess::Read;
    const bool openingExisting = disposition == FileDisposition::OpenExisting;
    struct stat st;
    // An existing file is looked at through the descriptor, after the open
    // (one call, and what is looked at is what was opened); a new file needs
    // no look (O_EXCL refuses whatever is there, a link included); only a
    // file to be overwritten is looked at first, before anything changes it.
    const bool exists =
        disposition == FileDisposition::CreateAlways &&
        ::fstatat(dir, file.c_str(), &st, followLink ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && !mayOpen(st, true))
        return nullptr;
    // Windows has no execute permission: any file may be a program. Created
    // files are executable, so that programs delivered in a package run.
    const mode_t mode = (attributes & attribute::ReadOnly) ? 0555 : 0777;
    // O_NOFOLLOW closes the gap between the look above and the open.
    Fd fd = openAtCloexec(
        dir, file, openFlags(access, disposition) | O_NONBLOCK | (followLink ? 0 : O_NOFOLLOW),
        mode);
    if (!fd) {
        failOpenOf(dir, file);
        return nullptr;
    }
    if (openingExisting && !(::fstat(fd.get(), &st) == 0 ? mayOpen(st, writing) : failWithErrno()))
        return nullptr;
    // Readers that share reading take a shared lock, everybody else an
    // exclusive one: a file held without sharing refuses them all, a file
    // being read refuses writers and deletion. A file just made new needs
    // none: nobody else can hold it yet.
    const bool shared = share == FileShare::Read && !writing && openingExisting;
    if (disposition != FileDisposition::CreateNew &&
        !lockNow(fd.get(), shared ? LOCK_SH : LOCK_EX)) {
        failWith(error::SharingViolation);
        return nullptr;
    }
    if (exists && ::ftruncate(fd.get(), 0) != 0) {
        failWithErrno();
        return nullptr;
    }
    succeed();
    return new FileObject{std::move(fd)};
}

} // namespace

FileHandle openForAppending(const std::string &path) {
    const std::string file = withSlashes(path);
    // Non-blocking, and only a file on the disk: a FIFO or a device in its
    // place would hold every writer of the log (the log lies where every
    // user may make entries). O_APPEND puts each write at the end as one
    // piece; the shared lock is how the stand-in keeps it in use, shared.
    Fd fd = openCloexec(file, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (!fd) {
        errno == ENXIO ? failWith(error::NotSupported) : failOpen(file);
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        failWith(error::NotSupported);
        return nullptr;
    }
    if (!lockNow(fd.get(), LOCK_SH)) {
        failWith(error::SharingViolation);
        return nullptr;
    }
    succeed();
    return new FileObject{std::move(fd)};
}

bool appendToFile(FileHandle file, const char *data, std::size_t size) {
    if (!file)
        return failWith(error::InvalidHandle);
    ssize_t put;
    do
        put = ::write(file->fd, data, size);
    while (put < 0 && errno == EINTR);
    if (put != static_cast<ssize_t>(size)) {
        if (put >= 0)
            errno = ENOSPC;
        return failWithErrno();
    }
    return succeed();
}

bool appendToFile(const std::string &path, const char *data, std::size_t size) {
    const File file(openForAppending(path));
    return file && appendToFile(file.get(), data, size);
}

FileHandle openFileA(const char *path, FileAccess access, FileShare share,
                     FileDisposition disposition, uint32_t attributes) {
    const std::string file = withSlashes(path ? path : "");
    if (file.empty()) {
        failWith(error::PathNotFound);
        return nullptr;
    }
    return openFileIn(AT_FDCWD, file, access, share, disposition, attributes, true);
}

namespace {

// Reads until size bytes are in or the file ends: piece(at, want, done)
// reads once, done bytes in.
template <typename Piece>
bool readUntilFullOrEnd(FileHandle file, void *buffer, uint32_t size, uint32_t &bytesRead,
                        Piece piece) {
    bytesRead = 0;
    if (!file)
        return failWith(error::InvalidHandle);
    auto *bytes = static_cast<char *>(buffer);
    while (bytesRead < size) {
        const ssize_t got = piece(bytes + bytesRead, size - bytesRead, bytesRead);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return failWithErrno();
        if (got == 0)
            break;
        bytesRead += static_cast<uint32_t>(got);
    }
    return succeed();
}

} // namespace

bool readFile(FileHandle file, void *buffer, uint32_t size, uint32_t &bytesRead) {
    return readUntilFullOrEnd(
        file, buffer, size, bytesRead,
        [&](char *at, uint32_t want, uint32_t) { return ::read(file->fd, at, want); });
}

bool readFileAt(FileHandle file, uint64_t offset, void *buffer, uint32_t size,
                uint32_t &bytesRead) {
    return readUntilFullOrEnd(
        file, buffer, size, bytesRead, [&](char *at, uint32_t want, uint32_t done) {
            return ::pread(file->fd, at, want, static_cast<off_t>(offset + done));
        });
}

// mmap takes offsets on page boundaries: the view starts at the page its
// offset lies in.
const unsigned char *mapFile(FileHandle file, uint64_t offset, std::size_t size) {
    if (!file || size == 0) {
        failWith(error::InvalidParameter);
        return nullptr;
    }
    const auto page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    const uint64_t lead = offset % page;
    void *view = ::mmap(nullptr, size + lead, PROT_READ, MAP_SHARED, file->fd,
                        static_cast<off_t>(offset - lead));
    if (view == MAP_FAILED) {
        errno == ENOMEM ? failWith(error::NotEnoughMemory) : failWithErrno();
        return nullptr;
    }
    return static_cast<const unsigned char *>(view) + lead;
}

void unmapFile(const unsigned char *view, std::size_t size) {
    const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const uintptr_t lead = reinterpret_cast<uintptr_t>(view) % page;
    ::munmap(const_cast<unsigned char *>(view - lead), size + lead);
}

bool writeFile(FileHandle file, const void *buffer, uint32_t size) {
    if (!file)
        return failWith(error::InvalidHandle);
    const auto *bytes = static_cast<const char *>(buffer);
    uint32_t done = 0;
    while (done < size) {
        const ssize_t put = ::write(file->fd, bytes + done, size - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            return failWithErrno();
        done += static_cast<uint32_t>(put);
    }
    return succeed();
}

bool seekFile(FileHandle file, int64_t offset, SeekOrigin origin, int64_t &position) {
    if (!file)
        return failWith(error::InvalidHandle);
    const int whence = origin == SeekOrigin::Begin     ? SEEK_SET
                       : origin == SeekOrigin::Current ? SEEK_CUR
                                                       : SEEK_END;
    const off_t result = ::lseek(file->fd, static_cast<off_t>(offset), whence);
    if (result < 0)
        return failWithErrno();
    position = result;
    return succeed();
}

namespace {

// FILETIME counts 100 ns from 1601-01-01; Unix time seconds from 1970-01-01.
constexpr int64_t fileTimeUnixEpoch = 116444736000000000LL;

timespec timespecFrom(uint64_t fileTime) {
    if (fileTime == 0)
        return timespec{0, UTIME_OMIT};
    const int64_t since1970 = static_cast<int64_t>(fileTime) - fileTimeUnixEpoch;
    int64_t seconds = since1970 / 10000000;
    int64_t rest = since1970 % 10000000;
    if (rest < 0) {
        rest += 10000000;
        --seconds;
    }
    return timespec{static_cast<time_t>(seconds), static_cast<long>(rest * 100)};
}

} // namespace

bool setFileTimes(FileHandle file, uint64_t, uint64_t lastAccess, uint64_t lastWrite) {
    if (!file)
        return failWith(error::InvalidHandle);
    const timespec times[2] = {timespecFrom(lastAccess), timespecFrom(lastWrite)};
    return ::futimens(file->fd, times) == 0 ? succeed() : failWithErrno();
}

bool fileTimes(FileHandle file, uint64_t &creation, uint64_t &lastAccess, uint64_t &lastWrite) {
    struct stat st;
    if (!file)
        return failWith(error::InvalidHandle);
    if (::fstat(file->fd, &st) != 0)
        return failWithErrno();
    auto fileTimeOf = [](const timespec &time) {
        return static_cast<uint64_t>(static_cast<int64_t>(time.tv_sec) * 10000000 +
                                     time.tv_nsec / 100 + fileTimeUnixEpoch);
    };
    creation = 0;
    lastAccess = fileTimeOf(st.st_atim);
    lastWrite = fileTimeOf(st.st_mtim);
    return succeed();
}

void closeFile(FileHandle file) {
    if (!file)
        return;
    delete file;
}

namespace {

// fileAttributesA of file in the folder held by dir (AT_FDCWD: a path).
uint32_t attributesIn(int dir, const std::string &file) {
    struct stat st;
    if (file.empty() || ::fstatat(dir, file.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        failOpenAt(dir, file);
        return attribute::Invalid;
    }
    succeed();
    std::string name = file;
    while (name.size() > 1 && name.back() == '/')
        name.pop_back();
    name = name.substr(name.find_last_of('/') + 1);
    uint32_t attributes = 0;
    if (name.size() > 1 && name[0] == '.' && name != "..")
        attributes |= attribute::Hidden;
    if (S_ISLNK(st.st_mode)) {
        // As Windows reports a symbolic link or junction: the link itself,
        // a folder when it leads to one.
        struct stat target;
        const bool folder =
            ::fstatat(dir, file.c_str(), &target, 0) == 0 && S_ISDIR(target.st_mode);
        return attributes | attribute::ReparsePoint |
               (folder ? attribute::Directory : attribute::Archive);
    }
    if (S_ISDIR(st.st_mode))
        return attributes | attribute::Directory;
    attributes |= attribute::Archive;
    if (isReadOnly(st))
        attributes |= attribute::ReadOnly;
    return attributes;
}

// The stand-in keeps only ReadOnly, as the owner's write permission. The
// mode is changed through the opened file, so that what was looked at is
// what changes.
bool setAttributesIn(int dir, const std::string &file, uint32_t attributes) {
    const Fd fd = openAtCloexec(dir, file, O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
    if (!fd)
        return failOpenAt(dir, file);
    struct stat st;
    bool done = ::fstat(fd.get(), &st) == 0;
    if (done) {
        const mode_t permissions = st.st_mode & 07777;
        const mode_t wanted = (attributes & attribute::ReadOnly) ? permissions & ~mode_t(0222)
                                                                 : permissions | S_IWUSR;
        done = wanted == permissions || ::fchmod(fd.get(), wanted) == 0;
    }
    if (!done)
        return failWithErrno();
    return succeed();
}

} // namespace

bool createDirectoryA(const char *path) {
    const std::string folder = withSlashes(path ? path : "");
    if (::mkdir(folder.c_str(), 0777) == 0)
        return succeed();
    if (errno == EEXIST)
        return failWith(error::AlreadyExists);
    if (errno == ENOENT)
        return failWith(error::PathNotFound);
    return failWithErrno();
}

std::string currentDirectoryA() {
    std::vector<char> buffer(PATH_MAX);
    if (!::getcwd(buffer.data(), buffer.size())) {
        failWithErrno();
        return {};
    }
    succeed();
    return buffer.data();
}

bool replaceFileA(const char *from, const char *to) {
    return replaceAt(AT_FDCWD, withSlashes(from ? from : ""), AT_FDCWD, withSlashes(to ? to : ""));
}

bool deleteFileA(const char *path) {
    return deleteFile(path ? path : "");
}

// ---- Folders held open: the stand-in's part ---------------------------------

struct FolderObject {
    explicit FolderObject(Fd descriptor) : owner(std::move(descriptor)), fd(owner.get()) {}
    Fd owner;
    const int fd;
};

namespace {

// A file or a link that is to go, whatever its read-only mark: what lies in
// the update's own folders is its own. Missing counts as gone.
bool removeEntryIn(int dir, const std::string &name) {
    if (changeUnlessInUse(
            dir, name, error::SharingViolation, false,
            [&] { return ::unlinkat(dir, name.c_str(), 0) == 0; }, true))
        return true;
    return lastError() == error::FileNotFound && succeed();
}

// The entries of the folder held by fd, without "." and "..", as the
// listing tells them (a look at an entry only where the listing cannot
// tell its kind). Names that begin with a dot are hidden, as Qt and the
// shells take them; what is neither file, folder nor link (a FIFO, a
// device) is a system entry.
bool listIn(int fd, std::vector<FolderEntry> &entries) {
    entries.clear();
    // Read straight from the held descriptor, from its start: a listing of
    // its own (opendir) would cost a duplicate and its checks for every
    // folder of a tree.
    if (::lseek(fd, 0, SEEK_SET) != 0)
        return failWithErrno();
    alignas(dirent64) char buffer[32768];
    for (;;) {
        const ssize_t got = ::getdents64(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return failWithErrno();
        if (got == 0)
            return succeed();
        for (ssize_t at = 0; at < got;) {
            const auto *item = reinterpret_cast<const dirent64 *>(buffer + at);
            at += item->d_reclen;
            const std::string child = item->d_name;
            if (child == "." || child == "..")
                continue;
            unsigned char type = item->d_type;
            struct stat st;
            if (type == DT_UNKNOWN && ::fstatat(fd, item->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                type = S_ISDIR(st.st_mode)   ? DT_DIR
                       : S_ISLNK(st.st_mode) ? DT_LNK
                       : S_ISREG(st.st_mode) ? DT_REG
                                             : DT_FIFO;
            uint32_t attributes = child[0] == '.' ? attribute::Hidden : 0;
            if (type == DT_DIR)
                attributes |= attribute::Directory;
            else if (type == DT_LNK)
                attributes |= attribute::ReparsePoint;
            else if (type != DT_REG)
                attributes |= attribute::System;
            entries.push_back({child, attributes ? attributes : attribute::Normal});
        }
    }
}

// Removes name in the folder held by dir (AT_FDCWD: a path) with all it
// holds. Each folder is held open while it is emptied and its entries are
// named relative to it, so that a folder renamed away meanwhile is emptied
// where it went, and one put in its place (a link) is never entered.
bool removeTreeIn(int dir, const std::string &name) {
    Fd fd = openAtCloexec(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (!fd) {
        if (errno == ENOENT)
            return succeed();
        // A file, or a link: removed itself.
        return errno == ENOTDIR || errno == ELOOP ? removeEntryIn(dir, name) : failWithErrno();
    }
    // The listing tells files and links from folders: only folders are
    // opened as folders (a name swapped meanwhile is found out all the same:
    // a folder open never follows a link, a file's removal never enters one).
    std::vector<FolderEntry> names;
    if (!listIn(fd.get(), names))
        return false;
    uint32_t firstError = error::Success;
    for (const FolderEntry &entry : names) {
        const bool folder = (entry.attributes & attribute::Directory) &&
                            !(entry.attributes & attribute::ReparsePoint);
        if (!(folder ? removeTreeIn(fd.get(), entry.name) : removeEntryIn(fd.get(), entry.name)) &&
            firstError == error::Success)
            firstError = lastError();
    }
    fd.reset();
    if (firstError != error::Success)
        return failWith(firstError);
    if (::unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT)
        return succeed();
    return failWithErrno();
}

} // namespace

// ---- Moving files as one update (8-bit) -------------------------------------

namespace {

// Moves source in the folder held by sourceDir to target in targetDir,
// never replacing what is there. probe false: the source is one nobody else
// can hold, not looked at first.
bool moveIn(int sourceDir, const std::string &source, int targetDir, const std::string &target,
            bool probe = true) {
    // An exclusive lock is how the stand-in holds a file without sharing; a
    // shared one (a running program's file) still lets the file be moved, as
    // Windows lets a running program's file be renamed. The one open both
    // probes and holds: the shared lock taken through it is held across the
    // rename, so nobody takes the file between the probe and the move. A
    // link does not open and is moved itself.
    Fd fd = probe ? openAtCloexec(sourceDir, source, O_RDONLY | O_NOFOLLOW | O_NONBLOCK) : Fd();
    if (!fd && probe && errno == ENOENT)
        return failOpenAt(sourceDir, source);
    if (fd && !lockNow(fd.get(), LOCK_SH))
        return failWith(error::SharingViolation);
    // Whatever is at the target stays: the check and the rename are one step.
    int rc = ::renameat2(sourceDir, source.c_str(), targetDir, target.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && errno == EINVAL) {
        // A file system that cannot rename without replacing.
        struct stat st;
        rc = ::fstatat(targetDir, target.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0
                 ? (errno = EEXIST, -1)
                 : ::renameat(sourceDir, source.c_str(), targetDir, target.c_str());
    }
    const int renameErrno = errno;
    fd.reset();
    if (rc == 0)
        return succeed();
    if (renameErrno == EEXIST)
        return failWith(error::AlreadyExists);
    errno = renameErrno;
    return renameErrno == ENOENT ? failOpenAt(targetDir, target) : failWithErrno();
}

} // namespace

bool flushFile(FileHandle file) {
    if (!file)
        return failWith(error::InvalidHandle);
    return ::fsync(file->fd) == 0 ? succeed() : failWithErrno();
}

bool freeDiskSpaceA(const char *folder, uint64_t &bytes) {
    struct statvfs volume;
    if (::statvfs(withSlashes(folder ? folder : "").c_str(), &volume) != 0)
        return failWithErrno();
    bytes = static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize;
    return succeed();
}

bool removeAtRestartA(const char *path) {
    std::string file = withSlashes(path ? path : "");
    if (file.empty())
        return failWith(error::InvalidParameter);
    // Kept where and as Windows keeps it: the full path with the prefix the
    // kernel reads at start (\??\), then an empty string for "no new name".
    if (file[0] != '/') {
        const std::string current = currentDirectoryA();
        if (current.empty())
            return false;
        file = current + "/" + file;
    }
    const char key[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
    const char value[] = "PendingFileRenameOperations";
    std::string requests;
    if (!registryReadString(key, value, requests) && lastError() != error::FileNotFound)
        return false;
    // A multi-string value: every string ends with a NUL, the list with one
    // more, which moves behind the new pair.
    if (!requests.empty() && requests.back() == '\0')
        requests.pop_back();
    requests += "\\??\\" + file;
    requests.append(3, '\0');
    return registryWriteString(key, value, requests);
}

// ---- Folders held open (8-bit names) ------------------------------------------

namespace {

// One part of a path, never a way out of its folder.
bool validName(const char *name) {
    if (!name || !*name || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
        std::strpbrk(name, "/\\"))
        return failWith(error::InvalidParameter);
    return true;
}

bool validFolder(FolderHandle folder) {
    return folder || failWith(error::InvalidHandle);
}

// The folder name in the folder held by dir (AT_FDCWD: a path), never a
// link at name.
FolderHandle openFolderIn(int dir, const std::string &name, bool followLink = false) {
    Fd fd = openAtCloexec(dir, name, O_RDONLY | O_DIRECTORY | (followLink ? 0 : O_NOFOLLOW));
    if (fd) {
        succeed();
        return new FolderObject(std::move(fd));
    }
    const int openErrno = errno;
    struct stat st;
    if ((openErrno == ELOOP || openErrno == ENOTDIR) &&
        ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        failWith(S_ISLNK(st.st_mode) ? error::StoppedOnSymlink : error::Directory);
    else {
        errno = openErrno;
        failOpenAt(dir, name);
    }
    return nullptr;
}

} // namespace

FolderHandle openFolderA(const char *path, bool followLink) {
    return openFolder(path ? path : "", followLink);
}

FolderHandle openFolder(const std::string &path, bool followLink) {
    std::string folder = withSlashes(path);
    // "velmar/" would be followed through a link called velmar.
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    if (folder.empty()) {
        failWith(error::PathNotFound);
        return nullptr;
    }
    return openFolderIn(AT_FDCWD, folder, followLink);
}

FolderHandle openFolderAt(FolderHandle folder, const char *name) {
    if (!validFolder(folder) || !validName(name))
        return nullptr;
    return openFolderIn(folder->fd, name);
}

FolderHandle createFolderAt(FolderHandle folder, const char *name, FolderAccess access) {
    if (!validFolder(folder) || !validName(name))
        return nullptr;
    const bool isPrivate = access == FolderAccess::Private;
    if (::mkdirat(folder->fd, name, isPrivate ? 0700 : 0777) != 0) {
        failWith(errno == EEXIST ? error::AlreadyExists : windowsErrorFrom(errno));
        return nullptr;
    }
    FolderHandle made = openFolderIn(folder->fd, name);
    if (!made)
        return nullptr;
    // Making and opening are two calls here: whoever may write in folder
    // could have put a folder of their own in place of ours between them.
    // Ours belongs to this process's user and, private, lets nobody else in.
    // The user is asked once: a process of ours never changes it.
    static const uid_t user = ::geteuid();
    struct stat st;
    if (::fstat(made->fd, &st) != 0 || st.st_uid != user ||
        (isPrivate && (st.st_mode & 0077) != 0)) {
        closeFolder(made);
        failWith(error::AccessDenied);
        return nullptr;
    }
    return made;
}

void closeFolder(FolderHandle folder) {
    if (!folder)
        return;
    delete folder;
}

FileHandle openFileAt(FolderHandle folder, const char *name, FileAccess access, FileShare share,
                      FileDisposition disposition, uint32_t attributes) {
    if (!validFolder(folder) || !validName(name))
        return nullptr;
    return openFileIn(folder->fd, name, access, share, disposition, attributes, false);
}

uint32_t attributesAt(FolderHandle folder, const char *name) {
    if (!validFolder(folder) || !validName(name))
        return attribute::Invalid;
    return attributesIn(folder->fd, name);
}

Status setAttributesAt(FolderHandle folder, const char *name, uint32_t attributes) {
    return validFolder(folder) && validName(name) && setAttributesIn(folder->fd, name, attributes);
}

Status moveAt(FolderHandle from, const char *fromName, FolderHandle to, const char *toName,
              bool replace) {
    if (!validFolder(from) || !validFolder(to) || !validName(fromName) || !validName(toName))
        return false;
    return replace ? replaceAt(from->fd, fromName, to->fd, toName)
                   : moveIn(from->fd, fromName, to->fd, toName);
}

Status moveOwnAt(FolderHandle from, const char *fromName, FolderHandle to, const char *toName) {
    if (!validFolder(from) || !validFolder(to) || !validName(fromName) || !validName(toName))
        return false;
    return moveIn(from->fd, fromName, to->fd, toName, false);
}

Status deleteAt(FolderHandle folder, const char *name) {
    if (!validFolder(folder) || !validName(name))
        return false;
    return changeUnlessInUse(folder->fd, name, error::SharingViolation, false,
                             [&] { return ::unlinkat(folder->fd, name, 0) == 0; });
}

Status removeFolderAt(FolderHandle folder, const char *name) {
    if (!validFolder(folder) || !validName(name))
        return false;
    struct stat st;
    if (::fstatat(folder->fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return failOpenAt(folder->fd, name);
    const int flags = S_ISLNK(st.st_mode) ? 0 : AT_REMOVEDIR;
    return ::unlinkat(folder->fd, name, flags) == 0 ? succeed() : failWithErrno();
}

Status removeTreeAt(FolderHandle folder, const char *name) {
    return validFolder(folder) && validName(name) && removeTreeIn(folder->fd, name);
}

Status listFolderAt(FolderHandle folder, std::vector<FolderEntry> &entries) {
    return validFolder(folder) && listIn(folder->fd, entries);
}

Status flushFolder(FolderHandle folder) {
    if (!validFolder(folder))
        return false;
    return ::fsync(folder->fd) == 0 ? succeed() : failWithErrno();
}

Status flushVolume(FolderHandle folder) {
    if (!validFolder(folder))
        return false;
    // The kernel passes syncfs on to no FUSE file system but virtiofs: a
    // FUSE volume keeps what it holds, and only files and folders flushed
    // one by one are on its disk.
    constexpr decltype(statfs::f_type) fuseMagic = 0x65735546;
    struct statfs volume;
    if (::fstatfs(folder->fd, &volume) == 0 && volume.f_type == fuseMagic)
        return failWith(error::NotSupported);
    return ::syncfs(folder->fd) == 0 ? succeed() : failWithErrno();
}

// ---- Code page and time -----------------------------------------------------

bool utf8ToLocal8Bit(const std::string &utf8, std::string &local) {
    // The stand-in's code page is UTF-8: only check that the text is valid.
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        std::size_t length;
        uint32_t codePoint;
        if (lead < 0x80) {
            length = 1;
            codePoint = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            codePoint = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            codePoint = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            codePoint = lead & 0x07;
        } else {
            return failWith(error::NoUnicodeTranslation);
        }
        if (i + length > utf8.size())
            return failWith(error::NoUnicodeTranslation);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            if ((next & 0xC0) != 0x80)
                return failWith(error::NoUnicodeTranslation);
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        static const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < smallest[length] || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return failWith(error::NoUnicodeTranslation);
        i += length;
    }
    local = utf8;
    return succeed();
}

bool utf8ToOem8Bit(const std::string &utf8, std::string &oem) {
    // One code page for everything on the stand-in.
    return utf8ToLocal8Bit(utf8, oem);
}

bool isLeadByte(unsigned char) {
    return false;
}

std::size_t findText8(const std::string &text, const std::string &needle, std::size_t from) {
    // UTF-8 needs no care: no part of one character looks like another.
    return text.find(needle, from);
}

namespace {

// Days from 1970-01-01 to a date of the Gregorian calendar, counting years
// from March so that the leap day comes last.
int64_t daysSince1970(int64_t year, int month, int day) {
    if (month <= 2)
        --year;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

} // namespace

namespace {

// The broken-down local time of when. The zone is read again when TZ
// changed, so that a changed TZ counts as Windows' current settings always
// do; reading it for every call would cost a look at /etc/localtime per
// extracted entry and per log line.
bool toLocal(time_t when, std::tm &here) {
    thread_local bool zoneRead = false;
    thread_local std::string zoneSeen;
    const char *zone = std::getenv("TZ");
    if (!zoneRead || zoneSeen != (zone ? zone : "\x01")) {
        ::tzset();
        zoneRead = true;
        zoneSeen = zone ? zone : "\x01"; // unset differs from every value
    }
    return ::localtime_r(&when, &here) != nullptr;
}

} // namespace

bool localTimeToFileTime(const CalendarTime &local, uint64_t &fileTime) {
    static const int daysIn[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (local.year < 1601 || local.year > 30827 || local.month < 1 || local.month > 12 ||
        local.day < 1 || local.day > daysIn[local.month - 1] || local.hour < 0 || local.hour > 23 ||
        local.minute < 0 || local.minute > 59 || local.second < 0 || local.second > 59 ||
        local.milliseconds < 0 || local.milliseconds > 999)
        return failWith(error::InvalidParameter);
    const bool leap = (local.year % 4 == 0 && local.year % 100 != 0) || local.year % 400 == 0;
    if (local.month == 2 && local.day == 29 && !leap)
        return failWith(error::InvalidParameter);
    // Windows applies the offset from UTC in force now, not the one of that
    // date.
    std::tm here{};
    if (!toLocal(std::time(nullptr), here))
        return failWithErrno();
    const int64_t seconds = daysSince1970(local.year, local.month, local.day) * 86400 +
                            local.hour * 3600 + local.minute * 60 + local.second - here.tm_gmtoff;
    const int64_t value =
        seconds * 10000000 + fileTimeUnixEpoch + static_cast<int64_t>(local.milliseconds) * 10000;
    if (value < 0)
        return failWith(error::InvalidParameter);
    fileTime = static_cast<uint64_t>(value);
    return succeed();
}

CalendarTime localTime() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::tm here{};
    if (!toLocal(now.tv_sec, here))
        ::gmtime_r(&now.tv_sec, &here); // the zone could not be applied: UTC
    return {here.tm_year + 1900,
            here.tm_mon + 1,
            here.tm_mday,
            here.tm_hour,
            here.tm_min,
            here.tm_sec,
            static_cast<int>(now.tv_nsec / 1000000)};
}

// ---- Short names --------------------------------------------------------------

bool shortPath(const std::string &path, std::string &shortForm) {
    if (!pathExists(path))
        return false;
    shortForm = path;
    return true;
}

} // namespace platform
