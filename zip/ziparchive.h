// The archive file underneath the reader: finding the end record, walking the
// central directory, checking local headers, and reading the bytes of all
// three through small block caches so that a walk over many entries costs a
// read per 16 KB block rather than a read per record.
#pragma once

#include "platform.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zip {

// Data moves in blocks of this size in both directions.
constexpr uint32_t BlockSize = 16384;
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

// The codes of this layer; the reader turns them into ZipResults.
namespace lowcode {
constexpr int ReadError = -1;
constexpr int BadStructure = -103;
constexpr int CrcMismatch = -105;
constexpr int WrongCheckByte = -106;
} // namespace lowcode

struct CentralRecord {
    uint16_t versionMadeBy;
    uint16_t versionNeeded;
    uint16_t flags;
    uint16_t method;
    uint32_t dosTime; // time in the low 16 bits, date in the high 16
    uint32_t crc;
    uint32_t compressedSize;
    uint32_t size;
    uint16_t nameLength;
    uint16_t extraLength;
    uint16_t commentLength;
    uint32_t externalAttributes;
    uint32_t localHeaderOffset;
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
    uint32_t compressedSize;
    uint32_t size;
};

class Archive {
public:
    // Opens the file and finds a consistent end record; nullptr when either
    // fails.
    static std::unique_ptr<Archive> open(const char *path);
    ~Archive();
    Archive(const Archive &) = delete;
    Archive &operator=(const Archive &) = delete;

    uint16_t entryCount() const { return entryCount_; }

    // Makes entry index the current central record. Walking up costs one
    // record per step; walking down starts over at the first. False when a
    // record on the way cannot be read (the walk never repeats itself).
    bool walkTo(int32_t index);
    const CentralRecord &record() const { return record_; }
    // The current record's stored name; empty when it is longer than
    // MaxName (the caller refuses it by its length).
    const std::string &recordName() const { return recordName_; }

    // Checks the current entry's local header against its central record
    // and learns where its extra field and data lie: 0, ReadError or
    // BadStructure.
    int checkLocalHeader();
    // The entry of the last successful checkLocalHeader.
    const EntryLocation &location() const { return location_; }

    // Reads exactly size bytes at an archive position (bytes in front of the
    // archive already accounted for). False on a failed or short read.
    bool readLocal(uint64_t position, void *buffer, uint32_t size);

private:
    explicit Archive(platform::FileHandle file);
    struct Cache {
        std::unique_ptr<unsigned char[]> bytes;
        uint64_t start = 0;
        uint32_t length = 0;
    };
    bool locateEnd();
    bool consistentEnd(uint64_t position, uint64_t fileSize, bool &reachesEnd);
    bool readCentralRecord();
    bool readCached(Cache &cache, uint64_t filePosition, void *buffer, uint32_t size);
    bool readFileAt(uint64_t filePosition, void *buffer, uint32_t size, uint32_t &got);

    platform::FileHandle file_;
    int64_t filePointer_ = -1; // where the next read starts; -1 unknown
    uint16_t entryCount_ = 0;
    uint64_t bytesBefore_ = 0;
    uint32_t centralOffset_ = 0;
    int32_t currentNumber_ = 0;
    uint64_t currentRecordPos_ = 0;
    bool currentRecordValid_ = false;
    CentralRecord record_{};
    std::string recordName_;
    EntryLocation location_{};
    // The central directory and the local headers lie far apart: one cache
    // each, so that reading one does not evict the other.
    Cache centralCache_;
    Cache localCache_;
};

} // namespace zip
