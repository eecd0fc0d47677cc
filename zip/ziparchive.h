// The archive file underneath the reader: finding the end record (and the
// ZIP64 one behind it), walking the central directory, checking local
// headers, and reading the bytes of all three through small block caches so
// that a walk over many entries costs a read per 16 KB block rather than a
// read per record.
#pragma once

#include "platform.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zip {

// Headers and the central directory are read in blocks of this size.
constexpr uint32_t BlockSize = 16384;
// Entry data streams in blocks of this size in both directions: at least
// zlib's window, so that inflate writes straight into the caller's buffer
// instead of copying through its window, and few calls per megabyte.
constexpr uint32_t StreamBlockSize = 256u << 10;
// Longest name (and path) a Windows 8-bit file function takes, without its
// terminating zero.
constexpr std::size_t MaxName = 259;

inline uint16_t get16(const unsigned char *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline uint32_t get32(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline uint64_t get64(const unsigned char *p) {
    return static_cast<uint64_t>(get32(p)) | static_cast<uint64_t>(get32(p + 4)) << 32;
}

// The codes of this layer; the reader turns them into ZipResults.
namespace lowcode {
constexpr int ReadError = -1;
constexpr int BadStructure = -103;
// The entry's local header or data lies where another entry's does, or in
// the central directory.
constexpr int Overlap = -110;
constexpr int CrcMismatch = -105;
constexpr int WrongCheckByte = -106;
// A zstd frame whose window is beyond the reader's memory bound, or memory
// for it was not to be had.
constexpr int MemoryBound = -111;
} // namespace lowcode

// Finds the block id in an extra field: its data runs from begin to end
// (cut at the field's end when the block claims more).
bool findExtraBlock(const std::vector<unsigned char> &extra, uint16_t id, std::size_t &begin,
                    std::size_t &end);

struct CentralRecord {
    uint16_t versionMadeBy;
    uint16_t versionNeeded;
    uint16_t flags;
    uint16_t method;
    uint32_t dosTime; // time in the low 16 bits, date in the high 16
    uint32_t crc;
    // Sizes and offset with their ZIP64 values already taken in.
    uint64_t compressedSize;
    uint64_t size;
    uint16_t nameLength;
    uint16_t extraLength;
    uint16_t commentLength;
    uint32_t externalAttributes;
    uint64_t localHeaderOffset;
    // A field says "see the ZIP64 block" and that block is missing or short.
    bool zip64Missing;
};

// Where an entry's data lies and how to read it, from its checked local
// header and central record.
struct EntryLocation {
    uint64_t extraPos;
    uint16_t extraLength;
    uint64_t dataPos;
    uint16_t flags;
    uint16_t method;
    uint32_t dosTime;
    uint32_t crc;
    uint64_t compressedSize;
    uint64_t size;
};

// Reads a file at positions (each read says where it starts).
class PositionedFile {
public:
    explicit PositionedFile(platform::FileHandle file) : file_(file) {}
    // Reads up to size bytes at position; got tells how many (fewer at the
    // end of the file). False on a failed read. Readers on other threads
    // may share the file.
    bool readAt(uint64_t position, void *buffer, uint32_t size, uint32_t &got);
    // The file's size, from its end.
    bool size(uint64_t &bytes);

private:
    platform::FileHandle file_;
};

// The end of an archive: its end record and what that names.
struct EndRecord {
    uint64_t position = 0; // of the end record in the file
    uint16_t commentLength = 0;
    uint64_t fileSize = 0;
    // The record and its comment end the file: nothing follows them.
    bool reachesEnd = false;
    int32_t entryCount = 0;
    // Relative to the archive: where the central directory lies, and where
    // the end records (the ZIP64 one when there is one) begin.
    uint64_t centralOffset = 0;
    uint64_t centralEnd = 0;
    uint64_t endRecords = 0;
    // Bytes in front of the archive (a self-extractor's program).
    uint64_t bytesBefore = 0;
};

enum class EndSearch {
    Found,
    Missing,         // no consistent end record in the last 64 KiB
    Zip64Unreadable, // values marked for ZIP64 without a ZIP64 record to hold them
    ReadError,
};

// Finds the end record of the archive in file, the one way every part of
// this tool set reads an archive's end (the reader, the package signature):
// the highest consistent record in the tail, preferring one whose comment
// reaches exactly to the end of the file over one that does not (a false
// record inside a comment, or bytes trailing an archive).
EndSearch findEndRecord(PositionedFile &file, EndRecord &end);

class Archive {
public:
    // Opens the file (shared read) and finds a consistent end record;
    // nullptr when either fails. zip64Unreadable (when given) tells an end
    // record that marks its values for ZIP64 without a ZIP64 record to take
    // them from.
    static std::unique_ptr<Archive> open(const char *path, bool *zip64Unreadable = nullptr);
    // The same for a file opened by the caller, which keeps it: the archive
    // reads through it and leaves it open.
    static std::unique_ptr<Archive> open(platform::FileHandle file,
                                         bool *zip64Unreadable = nullptr);
    ~Archive();
    Archive(const Archive &) = delete;
    Archive &operator=(const Archive &) = delete;

    int32_t entryCount() const { return entryCount_; }

    // Makes entry index the current central record. Walking up costs one
    // record per step; walking down starts over at the first. False when a
    // record on the way cannot be read (the walk never repeats itself).
    bool walkTo(int32_t index);
    const CentralRecord &record() const { return record_; }
    // The current record's stored name; empty when it is longer than
    // MaxName (the caller refuses it by its length).
    const std::string &recordName() const { return recordName_; }

    // Checks the current entry's local header against its central record
    // and learns where its extra field and data lie: 0, ReadError,
    // BadStructure or Overlap (the header is shared with another entry, or
    // the data reaches into the next entry or the central directory).
    int checkLocalHeader();
    // The entry of the last successful checkLocalHeader.
    const EntryLocation &location() const { return location_; }

    // Reads exactly size bytes at an archive position (bytes in front of the
    // archive already accounted for). False on a failed or short read.
    bool readLocal(uint64_t position, void *buffer, uint32_t size);

private:
    Archive(platform::File owned, platform::FileHandle file);
    static std::unique_ptr<Archive> start(platform::File owned, platform::FileHandle file,
                                          bool *zip64Unreadable);
    struct Cache {
        std::unique_ptr<unsigned char[]> bytes;
        uint64_t start = 0;
        uint32_t length = 0;
    };
    bool readCentralRecord();
    bool takeZip64Values(const unsigned char *bytes);
    void collectLocalOffsets();
    uint64_t limitOf(uint64_t localHeaderOffset, bool &shared) const;
    bool readCached(Cache &cache, uint64_t filePosition, void *buffer, uint32_t size);
    bool readFileAt(uint64_t filePosition, void *buffer, uint32_t size, uint32_t &got) {
        return file_.readAt(filePosition, buffer, size, got);
    }

    platform::File owned_; // empty when the caller keeps the file
    PositionedFile file_;
    int32_t entryCount_ = 0;
    uint64_t bytesBefore_ = 0;
    uint64_t centralOffset_ = 0;
    uint64_t centralEnd_ = 0;
    // Where the end records begin (the ZIP64 one when there is one),
    // relative to the archive: nothing of an entry lies at or beyond it.
    uint64_t endRecords_ = 0;
    // Every entry's local header offset, sorted: an entry ends at most where
    // the next header (or the central directory) begins.
    std::vector<uint64_t> localOffsets_;
    int32_t currentNumber_ = 0;
    uint64_t currentRecordPos_ = 0;
    bool currentRecordValid_ = false;
    CentralRecord record_{};
    std::string recordName_;
    std::vector<unsigned char> recordExtra_;
    EntryLocation location_{};
    // The central directory and the local headers lie far apart: one cache
    // each, so that reading one does not evict the other.
    Cache centralCache_;
    Cache localCache_;
};

} // namespace zip
