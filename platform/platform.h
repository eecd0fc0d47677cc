// The Windows facilities the tool set needs, behind one Qt-free interface.
//
// Two backends implement it: platform_win.cpp calls the real Win32 functions;
// platform_posix.cpp is the stand-in that lets the same programs run on a
// POSIX machine (a "Windows machine in a folder", see the README).
//
// Strings are UTF-8 unless a function name ends in A: those take 8-bit paths
// in the local code page, as the ZIP layer hands them over (both "/" and "\"
// separate folders there, on both builds, as with the Windows A functions).
//
// Every function that can fail sets the calling thread's last error to a
// Windows error code (see lastError()).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// ---- Errors ---------------------------------------------------------------

// The Windows error codes the stand-in reproduces; the Windows backend passes
// whatever Windows reports.
namespace error {
constexpr uint32_t Success = 0;
constexpr uint32_t FileNotFound = 2;
constexpr uint32_t PathNotFound = 3;
constexpr uint32_t AccessDenied = 5;
constexpr uint32_t InvalidHandle = 6;
constexpr uint32_t NotEnoughMemory = 8;
constexpr uint32_t GenFailure = 31;
constexpr uint32_t SharingViolation = 32;
constexpr uint32_t NotSupported = 50; // not a file on the disk; a volume not flushed whole
constexpr uint32_t FileExists = 80;
constexpr uint32_t InvalidParameter = 87;
constexpr uint32_t DiskFull = 112;
constexpr uint32_t DirNotEmpty = 145;
constexpr uint32_t AlreadyExists = 183;
constexpr uint32_t FilenameTooLong = 206;
constexpr uint32_t Directory = 267; // a folder was asked for, something else is there
constexpr uint32_t NotOwner = 288;
constexpr uint32_t StoppedOnSymlink = 681;
constexpr uint32_t NoUnicodeTranslation = 1113;
constexpr uint32_t NoAssociation = 1155;
constexpr uint32_t NotAReparsePoint = 4390;
} // namespace error

// GetLastError / SetLastError of the calling thread.
uint32_t lastError();
void setLastError(uint32_t code);

// What a call of the held-folder family gives back: success, or the Windows
// error code of its failure, as a value that later calls cannot overwrite
// (the thread's last error holds it too, as everywhere in this layer). Made
// from the call's outcome where it ends: a failure takes the last error
// then.
class Status {
public:
    Status(bool succeeded) : error_(succeeded ? error::Success : failureCode(lastError())) {}
    template <typename Other> Status(Other) = delete; // a number is no outcome
    static Status failure(uint32_t code) {
        Status status(true);
        status.error_ = failureCode(code);
        return status;
    }

    explicit operator bool() const { return error_ == error::Success; }
    uint32_t error() const { return error_; }

private:
    // A failure that left no error behind still fails.
    static uint32_t failureCode(uint32_t code) {
        return code == error::Success ? error::GenFailure : code;
    }
    uint32_t error_;
};

// ---- Waiting ----------------------------------------------------------------

// Sleep(ms). Every fixed wait of the programs goes through here, so that tests
// can shorten them in one place.
void sleepMs(uint32_t ms);

using SleepFunction = void (*)(uint32_t ms);
// Replaces the sleep used by sleepMs (nullptr restores the real one) and
// returns the previous replacement.
SleepFunction setSleepFunction(SleepFunction function);

// ---- Program files --------------------------------------------------------

// ".exe" on Windows, "" on the stand-in. Only file names use it; the texts the
// user sees keep their ".exe".
extern const char programSuffix[];

// What ends a line of a text file: "\r\n" on Windows (what a text-mode
// write makes of "\n"), "\n" on the stand-in.
extern const char textLineEnd[];

// True where a folder tells names apart by their case (the stand-in): a
// name that its listing lacks is not there. False on Windows, where
// "A.txt" names "a.txt".
extern const bool caseSensitiveNames;

// The running program's own file (GetModuleFileNameW).
std::string programFilePath();

// Links (junctions, mount points) that ordinary users made are not followed
// by this process from now on: Windows' redirection trust policy, where the
// system has it (Windows 10 21H2 and later); elsewhere, and on the
// stand-in, nothing changes.
void refuseUserRedirections();

// While it lives, the calling thread and the process's first thread (the
// one that runs the window) stay on the processor the calling thread is on;
// on Windows the whole process does. Threads that hand work to each other
// one step at a time (the update thread and its window, for every entry)
// then switch in place instead of waking another processor for each step,
// which on a virtual machine costs more than the step. Its end, on the
// same thread, gives back the processors there were (a program started
// meanwhile would take the narrower mask over). Where the system refuses,
// nothing changes.
class OneProcessor {
public:
    OneProcessor();
    ~OneProcessor();
    OneProcessor(const OneProcessor &) = delete;
    OneProcessor &operator=(const OneProcessor &) = delete;

private:
    // The masks there were, as the system keeps them (room for the
    // stand-in's, which are the larger): the calling thread's and the first
    // thread's (the process's on Windows).
    alignas(8) unsigned char before_[2][128];
    int pinned_ = 0; // how many of them were changed
};

// ---- Special folders --------------------------------------------------------

// SHGetSpecialFolderPathW(CSIDL_COMMON_DOCUMENTS), no creation. False (and the
// folder untouched) when Windows cannot resolve it.
bool commonDocumentsFolder(std::string &folder);
// SHGetSpecialFolderPathW(CSIDL_COMMON_PROGRAMS), no creation.
bool commonProgramsFolder(std::string &folder);
// The current user's desktop (CSIDL_DESKTOPDIRECTORY), no creation.
bool userDesktopFolder(std::string &folder);

// True for a path that names a place independent of the current folder:
// "X:\..." or "\\server\share..." on Windows, "/..." on the stand-in.
bool isAbsolutePath(const std::string &path);

// ---- Named mutexes ----------------------------------------------------------

struct MutexObject;
using MutexHandle = MutexObject *;

// CreateMutexW(nullptr, TRUE, name): asks for initial ownership. Returns
// nullptr when no handle could be made. When a mutex of that name existed
// already, a handle is returned without ownership and lastError() is
// error::AlreadyExists; otherwise lastError() is 0 and the caller owns it.
MutexHandle createMutex(const std::string &name);
// ReleaseMutex: gives up ownership (false when the caller does not own it).
bool releaseMutex(MutexHandle mutex);
// CloseHandle.
bool closeMutex(MutexHandle mutex);

// A named mutex asked for with ownership (createMutex), given back (when
// owned) and closed when it goes.
class Mutex {
public:
    Mutex() = default;
    explicit Mutex(const std::string &name) : handle_(createMutex(name)) {
        owned_ = handle_ && lastError() == error::Success;
    }
    ~Mutex() { reset(); }
    Mutex(Mutex &&other) noexcept : handle_(other.handle_), owned_(other.owned_) {
        other.handle_ = nullptr;
    }
    Mutex &operator=(Mutex &&other) noexcept {
        if (this != &other) {
            reset();
            handle_ = other.handle_;
            owned_ = other.owned_;
            other.handle_ = nullptr;
        }
        return *this;
    }
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;

    // This process owns it: nobody else held it.
    bool owned() const { return handle_ && owned_; }
    // Given back and closed now.
    void reset() {
        if (!handle_)
            return;
        if (owned_)
            releaseMutex(handle_);
        closeMutex(handle_);
        handle_ = nullptr;
    }

private:
    MutexHandle handle_ = nullptr;
    bool owned_ = false;
};

// ---- Shell ------------------------------------------------------------------

enum class ShowCommand : int { Hide = 0, Show = 5 };

// ShellExecuteW(nullptr, "open", file, "", directory, show): starts a program,
// runs a batch file, or opens a document with its associated program. A
// relative file is taken relative to directory. Nothing waits for the started
// program. True when the shell accepted the request.
bool shellOpen(const std::string &file, const std::string &directory, ShowCommand show);

// ---- Registry: HKEY_LOCAL_MACHINE, 32-bit view ------------------------------

// Keys are written Windows-style: "SOFTWARE\Microsoft\...".
// Reads a string value; false when the key or the value is missing.
bool registryReadString(const std::string &key, const std::string &name, std::string &value);
// Creates the key if needed and sets a string value.
bool registryWriteString(const std::string &key, const std::string &name, const std::string &value);
// RegFlushKey: the values written to the key are on the disk. Windows
// writes them back on its own within seconds, but until then (closing the
// key included) a power cut may take them: a value that other records on
// the disk rely on is flushed. The stand-in writes each value whole (old or
// new after a cut) and flushes the key's folder.
bool registryFlushKey(const std::string &key);
// RegOpenKeyExW(key, KEY_ALL_ACCESS) then RegDeleteKeyW(subKey). Fails when
// the key cannot be opened, or when subKey is missing or has sub-keys.
bool registryDeleteKey(const std::string &key, const std::string &subKey);

// ---- Files (UTF-8) ----------------------------------------------------------

// DeleteFileW: fails for a missing file (2), a read-only file (5) and a file
// in use (32).
bool deleteFile(const std::string &path);

// GetFileAttributesW: true when a file or folder is at path. A shortcut
// (.lnk) or a link is there itself, whatever it points to; Qt's existence
// test follows shortcuts on Windows and would call one gone whose target is.
// False with error 2 or 3 when nothing is there; any other error means it
// cannot be told (a file waiting for its deletion gives access denied).
bool pathExists(const std::string &path);

struct FileObject;
using FileHandle = FileObject *;

// Opens a file for appending, creating it (not its folder) when missing:
// CreateFileW(FILE_APPEND_DATA, shared reading and writing). Each
// appendToFile through it goes to the end of the file as it is at that
// moment, in one piece: appends of several processes never overwrite or tear each other,
// however long each keeps its file open. Fails when the file is in use
// without sharing, with error::StoppedOnSymlink when path is a link (whoever
// made it would have us write where it points), and with
// error::NotSupported for anything but a file on the disk (a FIFO, a
// device): the open never waits, and so no write through it does.
FileHandle openForAppending(const std::string &path);
// Appends bytes through a handle of openForAppending in one write: they
// land whole or the call fails (a short write counts as a full disk), and
// never as two pieces that another writer's bytes could come between.
bool appendToFile(FileHandle file, const char *data, std::size_t size);
// openForAppending, one appendToFile, closed.
bool appendToFile(const std::string &path, const char *data, std::size_t size);

// GetFileAttributesW of path itself, never of what a link there points to: a
// symbolic link or a junction reports attribute::ReparsePoint, together with
// attribute::Directory when it is a link to a folder. attribute::Invalid
// when nothing is there (2, 3) or when it cannot be told (any other error).
uint32_t pathAttributes(const std::string &path);

// Removes the link at path, never what it points to: a junction or a link to
// a folder with RemoveDirectoryW, any other link with DeleteFileW. Fails with
// error::NotAReparsePoint when path is not a link.
bool removeLink(const std::string &path);

// MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING): replaceFileA for UTF-8
// paths, with the same failures.
bool replaceFile(const std::string &from, const std::string &to);

// GetTempPathW without its final separator: the folder for this process's
// own temporary files, where other users cannot put anything. The stand-in
// keeps it in <root>/Users/<login name>/AppData/Local/Temp and makes it when
// missing, as Windows always has it.
bool temporaryFolder(std::string &folder);

// ---- Files (8-bit, for the ZIP layer) ---------------------------------------

// Windows file attribute flags.
namespace attribute {
constexpr uint32_t ReadOnly = 0x01;
constexpr uint32_t Hidden = 0x02;
constexpr uint32_t System = 0x04;
constexpr uint32_t Directory = 0x10;
constexpr uint32_t Archive = 0x20;
constexpr uint32_t Normal = 0x80;
// A link: symbolic link, junction or other reparse point (the stand-in's
// symbolic links), reported for the link itself, with Directory when it
// leads to a folder.
constexpr uint32_t ReparsePoint = 0x400;
constexpr uint32_t Invalid = 0xFFFFFFFF;
} // namespace attribute

// ReadWrite: a file the caller writes and then reads back through the
// same handle (a copy it checks).
enum class FileAccess { Read, Write, ReadWrite };
// What other openers may do while the file is open: Read lets others read
// (FILE_SHARE_READ); None refuses every other open, and the file counts as in
// use until it is closed.
enum class FileShare { None, Read };
enum class FileDisposition {
    OpenExisting, // fails when missing
    CreateAlways, // creates, or truncates an existing file
    CreateNew,    // fails with error::FileExists when something is there
};
enum class SeekOrigin { Begin, Current, End };

// CreateFileA. attributes apply to a created file (ReadOnly, Hidden, ...).
// Returns nullptr on failure. CreateNew never follows a link at path (the
// link is "something there").
FileHandle openFileA(const char *path, FileAccess access, FileShare share,
                     FileDisposition disposition, uint32_t attributes = 0);
// ReadFile: false on error; bytesRead 0 at the end of the file.
bool readFile(FileHandle file, void *buffer, uint32_t size, uint32_t &bytesRead);
// ReadFile at offset (an OVERLAPPED offset; pread on the stand-in): the
// same, but the read leaves nothing behind that another read relies on, so
// that threads may read one open file at once.
bool readFileAt(FileHandle file, uint64_t offset, void *buffer, uint32_t size, uint32_t &bytesRead);
// WriteFile of the whole buffer.
bool writeFile(FileHandle file, const void *buffer, uint32_t size);
// SetFilePointer. position receives the new position from the start.
bool seekFile(FileHandle file, int64_t offset, SeekOrigin origin, int64_t &position);
// SetFileTime with FILETIME values (100 ns units since 1601-01-01, UTC). The
// stand-in keeps access and write time; POSIX files have no creation time.
bool setFileTimes(FileHandle file, uint64_t creation, uint64_t lastAccess, uint64_t lastWrite);
// GetFileTime. The stand-in reports 0 as the creation time.
bool fileTimes(FileHandle file, uint64_t &creation, uint64_t &lastAccess, uint64_t &lastWrite);
void closeFile(FileHandle file);

// A read-only view of size bytes of file from offset (CreateFileMapping and
// MapViewOfFile; mmap on the stand-in), for reading a large file without a
// private copy: its pages belong to the file's cache. Any offset will do.
// nullptr on failure (8 when the address space has no room for it); size 0
// fails. The view outlives the file's handle; unmapFile with the same size
// ends it.
const unsigned char *mapFile(FileHandle file, uint64_t offset, std::size_t size);
void unmapFile(const unsigned char *view, std::size_t size);

// CreateDirectoryA, one level: fails when the parent is missing (3) or when
// something is there already (183).
bool createDirectoryA(const char *path);
// GetCurrentDirectoryA.
std::string currentDirectoryA();
// MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING): puts a file in place of
// another in one step. Fails with 5 when the target is in use (Windows
// refuses to replace an open file, whatever its sharing; 32 is for deleting
// one), read-only or a folder.
bool replaceFileA(const char *from, const char *to);
// DeleteFileA.
bool deleteFileA(const char *path);

// ---- Moving files as one update (8-bit) -------------------------------------
//
// The updater applies a package as renames within each target's volume (see
// the folders held open below), with a journal that must be on the disk
// before the first rename.

// FlushFileBuffers: what was written to the file is on the disk.
bool flushFile(FileHandle file);
// GetDiskFreeSpaceExA: the bytes the caller may still write on the volume of
// folder.
bool freeDiskSpaceA(const char *folder, uint64_t &bytes);

// MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT): the file, or the
// folder once it is empty, at path is removed at the machine's next start,
// for what cannot go now (an old library still loaded). Windows keeps the
// request in HKLM, so only an administrator may ask; requests are carried
// out in the order they were made.
bool removeAtRestartA(const char *path);

// ---- Folders held open (8-bit names) ------------------------------------------
//
// Below a folder that other users can write (the all-users documents folder
// holds the client's data folder), a path looked at once may name something
// else a moment later: any folder on the way can be swapped for a link
// between two calls. There every change goes through a folder held open:
// an entry is named by one part relative to it ("a.txt", never "b\a.txt"),
// and a link is never followed, whatever it points to. Windows opens the
// entries relative to the handle (NtCreateFile with RootDirectory and
// FILE_OPEN_REPARSE_POINT); the stand-in uses openat and its kin with
// O_NOFOLLOW. A name with a separator, "." or ".." is refused (87).

struct FolderObject;
using FolderHandle = FolderObject *;

// Who may act in a folder the updater makes.
enum class FolderAccess {
    Inherited, // as its parent lets them
    Private,   // administrators and the system only (the stand-in: its owner, 0700)
};

// Opens the folder at path (the folders on the way are the caller's to
// trust). The last part must be a folder itself: a link there fails with
// error::StoppedOnSymlink (unless followLink: a folder the caller chose may
// be reached through one), a file with error::Directory.
FolderHandle openFolderA(const char *path, bool followLink = false);
// openFolderA of a UTF-8 path: for a folder whose path the code page cannot
// hold (its entries are then named in the code page, or by short names).
FolderHandle openFolder(const std::string &path, bool followLink = false);
// Opens the folder name inside folder; fails like openFolderA.
FolderHandle openFolderAt(FolderHandle folder, const char *name);
// Makes the folder name inside folder and opens it, in one step: fails with
// error::AlreadyExists when anything is there, a link included, so that a
// folder made this way is never one somebody else put there.
FolderHandle createFolderAt(FolderHandle folder, const char *name, FolderAccess access);
void closeFolder(FolderHandle folder);

// openFileA for an entry of folder. A link at name is never opened: it fails
// with error::StoppedOnSymlink, or error::FileExists for CreateNew.
FileHandle openFileAt(FolderHandle folder, const char *name, FileAccess access, FileShare share,
                      FileDisposition disposition, uint32_t attributes = 0);
// GetFileAttributes of an entry of folder (attribute::Invalid when nothing
// is there), never of what a link there points to: a link reports
// attribute::ReparsePoint (with Directory when it leads to a folder).
uint32_t attributesAt(FolderHandle folder, const char *name);
// SetFileAttributes of an entry of folder: ReadOnly, Hidden, System,
// Archive (0: none of them); the stand-in keeps only ReadOnly, as the
// owner's write permission. A link is refused (681).
Status setAttributesAt(FolderHandle folder, const char *name, uint32_t attributes);
// Renames the entry fromName of from (a file, a folder or a link, moved
// itself) to toName in to, on the same volume. Without replace, anything at
// the target makes it fail with error::AlreadyExists; with replace, a file
// there is replaced in one step (not a folder, not a file in use: 5). A
// source held without delete sharing stays (32): a file in use can be moved
// while its holder shares deletion (a running program's file, a loaded
// library), one held without sharing cannot.
Status moveAt(FolderHandle from, const char *fromName, FolderHandle to, const char *toName,
              bool replace);
// moveAt without replacing, for a file nobody else can have open (the
// caller's own, in a folder only it may enter): whether it is in use is not
// looked at first, which on the stand-in saves an open, a lock and a close
// a file.
Status moveOwnAt(FolderHandle from, const char *fromName, FolderHandle to, const char *toName);
// Deletes the file, or the link, name in folder: as deleteFileA.
Status deleteAt(FolderHandle folder, const char *name);
// Removes the empty folder, or the link, name in folder.
Status removeFolderAt(FolderHandle folder, const char *name);
// Removes name in folder with everything in it, read-only files too. It
// walks held folders down and never through a link: a link is removed
// itself, and a folder swapped for a link while its files go keeps the
// removal where it was. Goes on past what cannot go (a file in use) and
// then fails with that error; true when nothing is left (or nothing was
// there).
Status removeTreeAt(FolderHandle folder, const char *name);
// One entry of a held folder's listing: its name and its attributes as
// the listing gives them (a link: attribute::ReparsePoint, never what it
// leads to).
struct FolderEntry {
    std::string name;
    uint32_t attributes;
};
// The entries of folder, without "." and "..", in no particular order. The
// stand-in calls hidden what Qt and the shells do: a name that begins with
// a dot; and a system entry what is neither file, folder nor link.
Status listFolderAt(FolderHandle folder, std::vector<FolderEntry> &entries);
// What was renamed into or out of folder is on the disk (fsync of the
// folder; on Windows the file system's own log, which a flushed file on
// the volume takes to the disk, holds it already).
Status flushFolder(FolderHandle folder);
// Everything written to the volume that holds folder is on the disk (the
// stand-in's syncfs; Windows flushes the volume, which takes an
// administrator). False when the volume cannot be flushed as a whole: the
// caller then flushes its files one by one.
Status flushVolume(FolderHandle folder);

// Scoped owners: each closes its handle when it goes.
struct FileCloser {
    void operator()(FileHandle file) const { closeFile(file); }
};
using File = std::unique_ptr<FileObject, FileCloser>;
struct FolderCloser {
    void operator()(FolderHandle folder) const { closeFolder(folder); }
};
using Folder = std::unique_ptr<FolderObject, FolderCloser>;

// The folders along one path below a held root, each opened from the one
// above it (so never through a link) and kept open: consecutive names in one
// folder cost no look. The calls are replaceable, for tests that fail them.
class FolderChain {
public:
    using OpenAt = FolderHandle (*)(FolderHandle folder, const char *name);
    using CreateAt = FolderHandle (*)(FolderHandle folder, const char *name, FolderAccess access);

    explicit FolderChain(FolderHandle root = nullptr, OpenAt openAt = openFolderAt,
                         CreateAt createAt = createFolderAt)
        : root_(root), openAt_(openAt), createAt_(createAt) {}

    FolderHandle root() const { return root_; }
    // A new root; what was held below the old one is let go.
    void reset(FolderHandle root);
    // The folder at relative (parts separated by "/" or "\"; "" is the
    // root). With make, missing folders are made with that access. nullptr,
    // with the failing level's error, when a level is missing, is no folder
    // or is a link (error::StoppedOnSymlink).
    FolderHandle reach(const std::string &relative, std::optional<FolderAccess> make = {});

private:
    struct Level {
        std::string name;
        Folder folder;
    };
    FolderHandle root_;
    OpenAt openAt_;
    CreateAt createAt_;
    std::vector<Level> levels_;
};

// ---- Code page and time -----------------------------------------------------

// Converts UTF-8 into the local 8-bit code page (the identity on the
// stand-in, whose code page is UTF-8). False when the text is not valid UTF-8
// or a character has no exact form in the code page.
bool utf8ToLocal8Bit(const std::string &utf8, std::string &local);
// Converts UTF-8 into the OEM code page, the one in which cmd.exe reads a
// batch file (the same as the ANSI one on Chinese Windows, not on Western
// ones). Fails like utf8ToLocal8Bit.
bool utf8ToOem8Bit(const std::string &utf8, std::string &oem);
// IsDBCSLeadByte: true for the first byte of a double-byte character of the
// local code page (never on the stand-in).
bool isLeadByte(unsigned char byte);

// _mbsstr: the first occurrence of needle in text at or after from that
// starts on a character boundary of the local code page (a trail byte of a
// double-byte character never starts a match); std::string::npos if none.
std::size_t findText8(const std::string &text, const std::string &needle, std::size_t from = 0);

// A calendar time as SYSTEMTIME holds it.
struct CalendarTime {
    int year, month, day, hour, minute, second, milliseconds;
};
// SystemTimeToFileTime, then LocalFileTimeToFileTime: the calendar time taken
// as local time, as a UTC FILETIME. The offset from UTC is the one in force
// now, not the one of that date (Windows' rule: a summer time converted in
// winter comes out an hour off).
bool localTimeToFileTime(const CalendarTime &local, uint64_t &fileTime);
// GetLocalTime: the local time now. The stand-in reads the zone once and
// again only when TZ changes, not for every call.
CalendarTime localTime();

// ---- Short names --------------------------------------------------------------

// GetShortPathNameW: path, which must exist, with each of its parts in the
// short (8.3, ASCII) form the volume keeps for it, for a command line that
// cannot hold the long one (cmd.exe reads its batch files in the OEM code
// page and stops at MAX_PATH). A part without a short form, or any part on a
// volume that keeps none, stays as it is. The stand-in keeps none: the path
// comes back unchanged. False when nothing is at path.
bool shortPath(const std::string &path, std::string &shortForm);

} // namespace platform
