// powercutfs: a file system that forgets what was not flushed, for tests that
// cut the power under a program and look at what the disk kept.
//
//   powercutfs [--cut-after N] [--survivors FOLDER] [--count-file FILE]
//              BACKING MOUNTPOINT
//
// Everything is passed through to the folder BACKING. Beside it the file
// system keeps what a disk with a write cache has not written back yet:
//
// - a file's data, from its first change (write, truncation) until fsync or
//   fdatasync of that file. A file made since its last flush holds nothing
//   on the disk;
// - a folder's entries, from their first change (create, mkdir, link,
//   symlink, unlink, rmdir, rename into or out of it) until fsync of that
//   folder. A rename between two folders is a change of each: a cut may
//   keep the file in both (as two links) or in neither, as a disk that wrote
//   back one folder and not the other.
//
// With --survivors, the cut comes after the N-th writing request (create,
// mkdir, link, symlink, unlink, rmdir, rename, write, truncation, chmod,
// chown, utimens, fallocate, fsync, fsyncdir: each request that reaches the
// file system counts, failed ones too), or when the file system is ended
// (unmounted, SIGTERM) before that. It drops every unflushed change:
// the disk that survives holds each folder's entries as at its last flush,
// each file's content as at its last flush (files are told apart by their
// inode), and it is written into FOLDER (which must not exist yet, on the
// volume of BACKING). From then on every request fails with EIO, as a
// machine without power answers nothing. "cut" on standard output says the
// survivors are written; "ready" says the file system is mounted.
//
// What it does not keep apart: attributes (mode, owner, times) are always
// as last set. A folder that a cut leaves in two places (moved, the old
// place not flushed) keeps the first, as a file system check would. The
// kernel never passes syncfs(2) or sync(2) on to a FUSE file system (only
// to virtiofs), so they flush nothing here.
//
// At its end it writes the number of writing requests it saw into FILE.
// Removed entries are kept, by inode number, in BACKING.graveyard until
// then: a folder's older entries may still name them.
#define FUSE_USE_VERSION 31

#include "toolmain.h"

#include <fuse.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

using Entries = std::map<std::string, ino_t>;

struct State {
    std::string backing, graveyard, survivors, countFile;
    long long cutAfter = -1;
    long long requests = 0;
    bool cut = false;
    bool mounted = false;
    // Only what changed since its last flush: what the disk holds of it.
    std::map<ino_t, std::string> data;
    std::map<ino_t, Entries> entries;
    std::mutex lock;
};

State state;

std::string real(const char *path) {
    return state.backing + path;
}

std::string parentOf(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

int fail() {
    return -errno;
}

bool inodeOf(const std::string &path, struct stat &st) {
    return ::lstat(path.c_str(), &st) == 0;
}

bool readAll(int fd, std::string &content) {
    content.clear();
    char buffer[65536];
    for (off_t at = 0;;) {
        const ssize_t got = ::pread(fd, buffer, sizeof buffer, at);
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        content.append(buffer, static_cast<std::size_t>(got));
        at += got;
    }
}

bool listFolder(const std::string &path, Entries &list) {
    DIR *folder = ::opendir(path.c_str());
    if (!folder)
        return false;
    list.clear();
    while (const dirent *entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        struct stat st;
        if (name != "." && name != ".." && inodeOf(path + "/" + name, st))
            list[name] = st.st_ino;
    }
    ::closedir(folder);
    return true;
}

// Before the first change since the last flush, what the disk holds.
void keepEntries(const std::string &folder) {
    struct stat st;
    if (!inodeOf(real(folder.c_str()), st) || state.entries.count(st.st_ino))
        return;
    Entries list;
    if (listFolder(real(folder.c_str()), list))
        state.entries[st.st_ino] = std::move(list);
}

void keepData(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || state.data.count(st.st_ino))
        return;
    std::string content;
    if (readAll(fd, content))
        state.data[st.st_ino] = std::move(content);
}

void keepDataAt(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        keepData(fd);
        ::close(fd);
    }
}

// A removed entry's inode stays reachable for the folders that still name it.
bool bury(const std::string &path) {
    struct stat st;
    if (!inodeOf(path, st))
        return false;
    const std::string grave = state.graveyard + "/" + std::to_string(st.st_ino);
    if (S_ISDIR(st.st_mode))
        return ::rename(path.c_str(), grave.c_str()) == 0;
    return ::link(path.c_str(), grave.c_str()) == 0 || errno == EEXIST;
}

// Writes the disk that survives: from the root down, each folder's entries
// as flushed, each file's content as flushed.
class Survivors {
public:
    bool write() {
        struct stat root;
        if (!inodeOf(state.backing, root))
            return false;
        where_[root.st_ino] = state.backing;
        find(state.backing);
        find(state.graveyard);
        return ::mkdir(state.survivors.c_str(), root.st_mode & 07777) == 0 &&
               fill(root.st_ino, state.survivors);
    }

private:
    void find(const std::string &folder) {
        Entries list;
        if (!listFolder(folder, list))
            return;
        for (const auto &[name, inode] : list) {
            const std::string path = folder + "/" + name;
            if (where_.emplace(inode, path).second) {
                struct stat st;
                if (inodeOf(path, st) && S_ISDIR(st.st_mode))
                    find(path);
            }
        }
    }

    bool fill(ino_t folderInode, const std::string &out) {
        made_[folderInode] = out;
        Entries list;
        const auto kept = state.entries.find(folderInode);
        if (kept != state.entries.end())
            list = kept->second;
        else if (!listFolder(where_[folderInode], list))
            return false;
        for (const auto &[name, inode] : list) {
            const auto found = where_.find(inode);
            struct stat st;
            if (found == where_.end() || !inodeOf(found->second, st))
                continue; // made and removed between two flushes of nothing
            if (!place(found->second, st, out + "/" + name))
                return false;
        }
        return true;
    }

    bool place(const std::string &from, const struct stat &st, const std::string &to) {
        const auto before = made_.find(st.st_ino);
        if (S_ISDIR(st.st_mode)) {
            if (before != made_.end())
                return true;
            return ::mkdir(to.c_str(), st.st_mode & 07777) == 0 && fill(st.st_ino, to);
        }
        if (before != made_.end())
            return ::link(before->second.c_str(), to.c_str()) == 0;
        made_[st.st_ino] = to;
        if (S_ISLNK(st.st_mode)) {
            std::vector<char> target(static_cast<std::size_t>(st.st_size) + 1);
            const ssize_t length = ::readlink(from.c_str(), target.data(), target.size());
            return length >= 0 &&
                   ::symlink(std::string(target.data(), static_cast<std::size_t>(length)).c_str(),
                             to.c_str()) == 0;
        }
        const auto kept = state.data.find(st.st_ino);
        if (kept == state.data.end())
            return ::link(from.c_str(), to.c_str()) == 0; // as it stands: nobody writes it now
        const int fd =
            ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
        if (fd < 0)
            return false;
        const bool written = ::write(fd, kept->second.data(), kept->second.size()) ==
                                 static_cast<ssize_t>(kept->second.size()) &&
                             ::fchmod(fd, st.st_mode & 07777) == 0;
        return ::close(fd) == 0 && written;
    }

    std::map<ino_t, std::string> where_, made_;
};

void cutNow() {
    if (state.cut)
        return;
    state.cut = true;
    const bool written = Survivors().write();
    std::printf(written ? "cut\n" : "cut failed: %s\n", std::strerror(errno));
    std::fflush(stdout);
}

// Every request starts here: nothing is answered after the cut. A writing
// request is counted once done, and the cut may follow it.
class Request {
public:
    explicit Request(bool writing) : held_(state.lock), counted_(writing && !state.cut) {}
    ~Request() {
        if (counted_ && ++state.requests == state.cutAfter)
            cutNow();
    }
    bool refused() const { return state.cut; }

private:
    std::lock_guard<std::mutex> held_;
    bool counted_;
};

int doGetattr(const char *path, struct stat *st, fuse_file_info *fi) {
    Request request(false);
    if (request.refused())
        return -EIO;
    const int rc = fi ? ::fstat(static_cast<int>(fi->fh), st) : ::lstat(real(path).c_str(), st);
    return rc == 0 ? 0 : fail();
}

int doReadlink(const char *path, char *buffer, size_t size) {
    Request request(false);
    if (request.refused())
        return -EIO;
    const ssize_t length = ::readlink(real(path).c_str(), buffer, size - 1);
    if (length < 0)
        return fail();
    buffer[length] = '\0';
    return 0;
}

int doMkdir(const char *path, mode_t mode) {
    Request request(true);
    if (request.refused())
        return -EIO;
    keepEntries(parentOf(path));
    if (::mkdir(real(path).c_str(), mode) != 0)
        return fail();
    struct stat st;
    if (inodeOf(real(path), st))
        state.entries[st.st_ino] = {}; // a new folder holds nothing on the disk
    return 0;
}

int doUnlink(const char *path) {
    Request request(true);
    if (request.refused())
        return -EIO;
    keepEntries(parentOf(path));
    bury(real(path));
    return ::unlink(real(path).c_str()) == 0 ? 0 : fail();
}

int doRmdir(const char *path) {
    Request request(true);
    if (request.refused())
        return -EIO;
    struct stat st;
    Entries inside;
    if (!inodeOf(real(path), st))
        return fail();
    if (!S_ISDIR(st.st_mode))
        return -ENOTDIR;
    if (!listFolder(real(path), inside))
        return fail();
    if (!inside.empty())
        return -ENOTEMPTY;
    keepEntries(parentOf(path));
    return bury(real(path)) ? 0 : fail(); // the folder itself, empty as it is
}

int doSymlink(const char *target, const char *path) {
    Request request(true);
    if (request.refused())
        return -EIO;
    keepEntries(parentOf(path));
    return ::symlink(target, real(path).c_str()) == 0 ? 0 : fail();
}

int doRename(const char *from, const char *to, unsigned int flags) {
    Request request(true);
    if (request.refused())
        return -EIO;
    if (flags & ~RENAME_NOREPLACE)
        return -EINVAL;
    keepEntries(parentOf(from));
    keepEntries(parentOf(to));
    struct stat source, target;
    if (!inodeOf(real(from), source))
        return fail();
    if (inodeOf(real(to), target)) {
        if (flags & RENAME_NOREPLACE)
            return -EEXIST;
        if (target.st_ino != source.st_ino) {
            Entries inside;
            if (S_ISDIR(target.st_mode) != S_ISDIR(source.st_mode))
                return S_ISDIR(target.st_mode) ? -EISDIR : -ENOTDIR;
            if (S_ISDIR(target.st_mode) && (!listFolder(real(to), inside) || !inside.empty()))
                return -ENOTEMPTY;
            bury(real(to)); // moves the empty folder away, links a file
        }
    }
    return ::rename(real(from).c_str(), real(to).c_str()) == 0 ? 0 : fail();
}

int doLink(const char *from, const char *to) {
    Request request(true);
    if (request.refused())
        return -EIO;
    keepEntries(parentOf(to));
    return ::link(real(from).c_str(), real(to).c_str()) == 0 ? 0 : fail();
}

int doChmod(const char *path, mode_t mode, fuse_file_info *fi) {
    Request request(true);
    if (request.refused())
        return -EIO;
    const int rc =
        fi ? ::fchmod(static_cast<int>(fi->fh), mode) : ::chmod(real(path).c_str(), mode);
    return rc == 0 ? 0 : fail();
}

int doChown(const char *path, uid_t uid, gid_t gid, fuse_file_info *fi) {
    Request request(true);
    if (request.refused())
        return -EIO;
    const int rc =
        fi ? ::fchown(static_cast<int>(fi->fh), uid, gid) : ::lchown(real(path).c_str(), uid, gid);
    return rc == 0 ? 0 : fail();
}

int doTruncate(const char *path, off_t size, fuse_file_info *fi) {
    Request request(true);
    if (request.refused())
        return -EIO;
    if (fi) {
        keepData(static_cast<int>(fi->fh));
        return ::ftruncate(static_cast<int>(fi->fh), size) == 0 ? 0 : fail();
    }
    keepDataAt(real(path));
    return ::truncate(real(path).c_str(), size) == 0 ? 0 : fail();
}

int doUtimens(const char *path, const struct timespec times[2], fuse_file_info *fi) {
    Request request(true);
    if (request.refused())
        return -EIO;
    const int rc = fi ? ::futimens(static_cast<int>(fi->fh), times)
                      : ::utimensat(AT_FDCWD, real(path).c_str(), times, AT_SYMLINK_NOFOLLOW);
    return rc == 0 ? 0 : fail();
}

// Files are opened for reading too, so that their content can be kept
// before a change.
int readWrite(int flags) {
    return (flags & O_ACCMODE) == O_RDONLY ? flags : (flags & ~O_ACCMODE) | O_RDWR;
}

int openFile(const char *path, fuse_file_info *fi) {
    const int fd = ::open(real(path).c_str(), readWrite(fi->flags) | O_CLOEXEC);
    if (fd < 0)
        return fail();
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

int doOpen(const char *path, fuse_file_info *fi) {
    // Opened to be emptied, it is a write.
    const bool truncating = (fi->flags & O_TRUNC) != 0;
    Request request(truncating);
    if (request.refused())
        return -EIO;
    if (truncating)
        keepDataAt(real(path));
    return openFile(path, fi);
}

int doCreate(const char *path, mode_t mode, fuse_file_info *fi) {
    Request request(true);
    if (request.refused())
        return -EIO;
    struct stat st;
    const bool existed = inodeOf(real(path), st);
    if (existed && (fi->flags & O_TRUNC))
        keepDataAt(real(path));
    if (!existed)
        keepEntries(parentOf(path));
    const int fd = ::open(real(path).c_str(), readWrite(fi->flags) | O_CREAT | O_CLOEXEC, mode);
    if (fd < 0)
        return fail();
    fi->fh = static_cast<uint64_t>(fd);
    if (!existed && ::fstat(fd, &st) == 0)
        state.data[st.st_ino].clear(); // a new file holds nothing on the disk
    return 0;
}

int doRead(const char *, char *buffer, size_t size, off_t offset, fuse_file_info *fi) {
    Request request(false);
    if (request.refused())
        return -EIO;
    const ssize_t got = ::pread(static_cast<int>(fi->fh), buffer, size, offset);
    return got < 0 ? fail() : static_cast<int>(got);
}

int doWrite(const char *, const char *buffer, size_t size, off_t offset, fuse_file_info *fi) {
    Request request(true);
    if (request.refused())
        return -EIO;
    keepData(static_cast<int>(fi->fh));
    const ssize_t put = ::pwrite(static_cast<int>(fi->fh), buffer, size, offset);
    return put < 0 ? fail() : static_cast<int>(put);
}

int doFallocate(const char *, int mode, off_t offset, off_t length, fuse_file_info *fi) {
    Request request(true);
    if (request.refused())
        return -EIO;
    keepData(static_cast<int>(fi->fh));
    return ::fallocate(static_cast<int>(fi->fh), mode, offset, length) == 0 ? 0 : fail();
}

int doStatfs(const char *, struct statvfs *st) {
    Request request(false);
    if (request.refused())
        return -EIO;
    return ::statvfs(state.backing.c_str(), st) == 0 ? 0 : fail();
}

int doRelease(const char *, fuse_file_info *fi) {
    ::close(static_cast<int>(fi->fh));
    return 0;
}

// A flush: what the disk holds of the file or folder is what it holds now.
template <typename Kept> int flushed(fuse_file_info *fi, Kept &kept) {
    Request request(true);
    if (request.refused())
        return -EIO;
    struct stat st;
    if (::fstat(static_cast<int>(fi->fh), &st) != 0)
        return fail();
    kept.erase(st.st_ino);
    return 0;
}

int doFsync(const char *, int, fuse_file_info *fi) {
    return flushed(fi, state.data);
}

int doOpendir(const char *path, fuse_file_info *fi) {
    Request request(false);
    if (request.refused())
        return -EIO;
    const int fd = ::open(real(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return fail();
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

int doReaddir(const char *, void *buffer, fuse_fill_dir_t fill, off_t, fuse_file_info *fi,
              fuse_readdir_flags) {
    Request request(false);
    if (request.refused())
        return -EIO;
    DIR *folder = ::fdopendir(::dup(static_cast<int>(fi->fh)));
    if (!folder)
        return fail();
    ::rewinddir(folder);
    while (const dirent *entry = ::readdir(folder)) {
        if (fill(buffer, entry->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0)))
            break;
    }
    ::closedir(folder);
    return 0;
}

int doFsyncdir(const char *, int, fuse_file_info *fi) {
    return flushed(fi, state.entries);
}

void *doInit(fuse_conn_info *, fuse_config *config) {
    // Every look goes to the backing folder: nothing the kernel keeps may
    // outlive a change.
    config->entry_timeout = config->attr_timeout = config->negative_timeout = 0;
    config->hard_remove = 1;
    config->nullpath_ok = 1;
    config->use_ino = 1;
    state.mounted = true;
    std::printf("ready\n");
    std::fflush(stdout);
    return nullptr;
}

const char usageText[] =
    "usage: powercutfs [--cut-after N] [--survivors FOLDER] [--count-file FILE] BACKING "
    "MOUNTPOINT\n"
    "Mounts BACKING at MOUNTPOINT as a disk that forgets what was not flushed: after\n"
    "request N (or when ended first) the power goes, what survives is written to\n"
    "FOLDER, and every later request fails; FILE receives the count of requests.\n";

// The options into state; the backing folder and the mount point into
// places. False for anything else.
bool readArguments(int argc, char *argv[], std::vector<std::string> &places) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option.rfind("--", 0) != 0) {
            places.push_back(option);
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const std::string value = argv[++i];
        if (option == "--cut-after")
            state.cutAfter = std::atoll(value.c_str());
        else if (option == "--survivors")
            state.survivors = value;
        else if (option == "--count-file")
            state.countFile = value;
        else
            return false;
    }
    return places.size() == 2;
}

fuse_operations operationsOfTheDisk() {
    fuse_operations operations{};
    operations.getattr = doGetattr;
    operations.readlink = doReadlink;
    operations.mkdir = doMkdir;
    operations.unlink = doUnlink;
    operations.rmdir = doRmdir;
    operations.symlink = doSymlink;
    operations.rename = doRename;
    operations.link = doLink;
    operations.chmod = doChmod;
    operations.chown = doChown;
    operations.truncate = doTruncate;
    operations.open = doOpen;
    operations.read = doRead;
    operations.write = doWrite;
    operations.statfs = doStatfs;
    operations.release = doRelease;
    operations.fsync = doFsync;
    operations.opendir = doOpendir;
    operations.readdir = doReaddir;
    operations.releasedir = doRelease;
    operations.fsyncdir = doFsyncdir;
    operations.init = doInit;
    operations.create = doCreate;
    operations.utimens = doUtimens;
    operations.fallocate = doFallocate;
    return operations;
}

// After the unmount: a disk ended before its cut loses its power now, and
// the count of requests goes where it was asked for.
void afterTheEnd() {
    std::lock_guard<std::mutex> held(state.lock);
    if (!state.survivors.empty())
        cutNow();
    if (!state.countFile.empty()) {
        if (FILE *count = std::fopen(state.countFile.c_str(), "w")) {
            std::fprintf(count, "%lld\n", state.requests);
            std::fclose(count);
        }
    }
}

int run(int argc, char *argv[]) {
    std::vector<std::string> places;
    if (!readArguments(argc, argv, places))
        return toolmain::usageError(usageText);
    state.backing = std::filesystem::absolute(places[0]).lexically_normal().string();
    while (state.backing.size() > 1 && state.backing.back() == '/')
        state.backing.pop_back();
    state.graveyard = state.backing + ".graveyard";
    std::filesystem::remove_all(state.graveyard);
    std::filesystem::create_directory(state.graveyard);
    ::umask(0);

    // One thread answers, in the order the requests came.
    const fuse_operations operations = operationsOfTheDisk();
    std::vector<char *> fuseArguments{argv[0],
                                      const_cast<char *>(places[1].c_str()),
                                      const_cast<char *>("-f"),
                                      const_cast<char *>("-s"),
                                      const_cast<char *>("-o"),
                                      const_cast<char *>("fsname=powercutfs")};
    fuse_main(static_cast<int>(fuseArguments.size()), fuseArguments.data(), &operations, nullptr);
    afterTheEnd();
    std::filesystem::remove_all(state.graveyard);
    // Ended by a signal, as it is meant to end, fuse_main says 8: what
    // counts is whether it had mounted.
    return state.mounted ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[]) {
    return toolmain::single(argc, argv, usageText, run);
}
