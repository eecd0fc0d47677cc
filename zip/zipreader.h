// Reads a ZIP archive (single disk, ZIP64 or not; stored, deflated, zstd and
// delta entries) and
// writes its entries under a base folder, with the Windows attributes and
// file times the archive carries. The updater's extraction driver is its only
// user and calls, in this order: open, setBaseFolder, entryInfo(-1) for the
// entry count, then entryInfo(i) and extractEntry(i) for each entry, close.
//
// Paths and names are 8-bit strings in the local code page, handed to the
// platform layer's A functions unchanged. No Qt, no exceptions: every
// operation returns a ZipResult.
#pragma once

#include "platform.h"
#include "zipresult.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The description of one entry.
struct ZipEntryInfo {
    // The entry's number; for entry -1, the number of entries.
    int32_t index;
    // The sanitised name (see entryInfo), zero-terminated; directory entries
    // usually end with a separator.
    char name[260];
    // Windows attribute flags: 0x01 read-only, 0x02 hidden, 0x04 system,
    // 0x10 directory, 0x20 archive.
    uint32_t attributes;
    // FILETIME values: UTC, 100 ns units since 1601-01-01.
    uint64_t accessTime;
    uint64_t createTime;
    uint64_t writeTime;
    // Sizes as the central record holds them; 0xFFFFFFFF for 4 GiB or more.
    uint32_t compressedSize;
    uint32_t size;
    // The full sizes, ZIP64 included.
    uint64_t compressedSize64;
    uint64_t size64;
};

class ZipReader;

// The handle that open hands out. The kind tag tells reader handles (the only
// kind this tool set makes) from any other.
struct ZipHandleData {
    uint32_t kind;
    ZipReader *reader;
};
using ZipHandle = ZipHandleData *;
constexpr uint32_t ZipReaderKind = 1;

namespace zip {
class Archive;
struct DeltaBase;
class EntryData;
} // namespace zip

class ZipReader {
public:
    // Opens the archive file at path (shared read). The base folder starts as
    // the current folder. nullptr when the file cannot be opened or is no
    // readable archive; result (when given) receives the reason.
    static ZipHandle open(const char *path, ZipResult *result = nullptr);
    // The same for an archive file the caller has open and keeps open until
    // after close: the reader reads through that handle, so that what was
    // checked in it (a signature) is what gets extracted.
    static ZipHandle openHeld(platform::FileHandle file, ZipResult *result = nullptr);

    // Entries land under folder (a separator is appended when it has none).
    // The folder is created by the first extraction, not here. BadArgument
    // for an empty folder, NameTooLong when it has more than 259 bytes with
    // its separator.
    static ZipResult setBaseFolder(ZipHandle handle, const char *folder);
    // Entries land in the folder the caller holds open in folder (until
    // close); path names it for the length limits only. Nothing below it is
    // reached by path: every folder and file is made relative to it.
    static ZipResult setBaseFolder(ZipHandle handle, platform::FolderHandle folder,
                                   const char *path);

    // Delta entries are decoded against the installed files under folder
    // (borrowed: it must stay open while the reader extracts). Without one,
    // such entries are refused as Unsupported, as every other reader does.
    static ZipResult setReferenceFolder(ZipHandle handle, platform::FolderHandle folder);

    // Whether entry index can be extracted as far as its base goes: Ok for
    // an entry that is no delta entry or whose base is there and matches,
    // else the base's code (BaseMissing, BaseChanged, BeyondMemoryBound,
    // DeltaCorrupt) or the description's. Writes nothing.
    static ZipResult checkBase(ZipHandle handle, int32_t index);
    // Entry index's compression method as its local header names it (0
    // stored, 8 deflated, 93 zstd, 0x4456 a delta entry); 0xFFFF when it
    // cannot be described.
    static uint16_t entryMethod(ZipHandle handle, int32_t index);

    // Describes entry index (0 ... count - 1), or for index -1 gives the
    // number of entries in info.index. The name is sanitised so that it can
    // never leave the base folder: a leading drive ("C:"), leading
    // separators, everything up to a "\..\" (or "/../" etc.), leading "../"
    // and every "." part are dropped; a folder entry of which nothing is left
    // ("./") is the base folder itself and is named "./". A name that is
    // still unsafe, reserved, too long or not representable is refused with
    // its code. Describing the same entry twice in a row reads the archive
    // once.
    static ZipResult entryInfo(ZipHandle handle, int32_t index, ZipEntryInfo &info);

    // Extracts entry index to target, a name relative to the base folder
    // (absolute targets are refused: nothing is written outside the base
    // folder; "./" is the base folder itself). Missing folders are created;
    // a folder below the base folder that is a link fails the entry
    // (LinkInPath) before anything is made in or through it: each level is
    // opened from the one above it, never by path. A file is written into a
    // temporary file beside the target, checked against its CRC-32, given
    // its times and attributes, and only then put in place of the target: a
    // failed extraction leaves the old target as it was and no temporary
    // file behind.
    static ZipResult extractEntry(ZipHandle handle, int32_t index, const char *target);

    // For a base folder only the caller may enter (a staging folder): each
    // new file is written under its own name at once, as there is no old
    // file to keep whole meanwhile and what a failure leaves is the caller's
    // to remove (a rename saved a file); with flushEachFile, each is flushed
    // to the disk before it is closed (for a caller that cannot flush the
    // volume as a whole before it relies on the files).
    static ZipResult setStagingWrites(ZipHandle handle, bool flushEachFile);

    // Closes the archive and frees the reader; the handle is gone afterwards.
    static ZipResult close(ZipHandle handle);

    ~ZipReader();
    ZipReader(const ZipReader &) = delete;
    ZipReader &operator=(const ZipReader &) = delete;

private:
    ZipReader();
    static ZipHandle start(std::unique_ptr<zip::Archive> archive, bool zip64Unreadable,
                           ZipResult *result);
    ZipResult describe(int32_t index, ZipEntryInfo &info);
    ZipResult extract(int32_t index, const std::string &target);
    ZipResult extractFile(platform::FolderHandle folder, const std::string &folderPart,
                          const std::string &name, const ZipEntryInfo &info);
    ZipResult pump(platform::FileHandle file, const ZipEntryInfo &info);
    ZipResult pumpZstd(platform::FileHandle file, const ZipEntryInfo &info);
    ZipResult findBase(const ZipEntryInfo &info, platform::File &file, zip::DeltaBase &base);
    ZipResult stream(platform::FileHandle file, uint64_t size);
    ZipResult streamOverlapped(platform::FileHandle file);
    bool reserveOnePiece(uint64_t needed);
    ZipResult openBase();
    ZipResult ensureFolder(const std::string &relative, platform::FolderHandle &folder);
    ZipResult createFile(platform::FolderHandle folder, const std::string &name,
                         uint32_t attributes, platform::FileHandle &file, std::string &written);
    ZipResult createTemporary(platform::FolderHandle folder, std::size_t room, uint32_t attributes,
                              platform::FileHandle &file, std::string &temporary);

    std::unique_ptr<zip::Archive> archive_;
    ZipEntryInfo cachedInfo_;
    int32_t cachedIndex_ = -1;
    // Grows to the largest entry decoded in one piece.
    std::vector<unsigned char> extractBuffer_;
    // The base folder's path, with a separator at its end; held open in
    // base_ (the caller's, or ownedBase_) from the first extraction on.
    std::string baseFolder_;
    platform::FolderHandle base_ = nullptr;
    platform::Folder ownedBase_;
    // The folders below the base the last extraction went through.
    platform::FolderChain levels_;
    std::unique_ptr<zip::EntryData> entryData_;
    uint32_t temporaryNumber_ = 0;
    bool flushFiles_ = false;
    bool writeInPlace_ = false;
    platform::FolderHandle reference_ = nullptr;
    // This reader's part of the process's budget for one-piece entries.
    uint64_t onePieceHeld_ = 0;
};

// Closes the reader when it goes.
struct ZipCloser {
    void operator()(ZipHandle handle) const { ZipReader::close(handle); }
};
using ZipArchive = std::unique_ptr<ZipHandleData, ZipCloser>;
