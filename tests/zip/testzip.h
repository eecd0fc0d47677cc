// A small ZIP writer for the tests: archives made in the test itself, so that
// the same tests run where no zip tool exists (Windows, Wine), and so that
// every field can be made wrong on purpose.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testzip {

// Unix host (3), version 2.0.
constexpr uint16_t UnixHost = 0x0314;
// MS-DOS host (0), version 2.0.
constexpr uint16_t DosHost = 0x0014;
// 2021-06-15 13:45:30 as a DOS date and time.
constexpr uint32_t SomeDosTime =
    (41u << 25) | (6u << 21) | (15u << 16) | (13u << 11) | (45u << 5) | 15u;

struct Entry {
    Entry(std::string name_, std::string data_, uint16_t method_ = 8)
        : name(std::move(name_)), data(std::move(data_)), method(method_) {}

    std::string name;
    std::string data;
    uint16_t method = 8; // 0 stored, 8 deflated
    uint16_t versionMadeBy = UnixHost;
    uint32_t externalAttributes = 0100644u << 16;
    uint32_t dosTime = SomeDosTime;
    uint16_t flags = 0;
    std::string localExtra;
    // Encrypt with the traditional PKWARE cipher and an empty password;
    // checkByteDelta != 0 spoils the header's check byte.
    bool encrypt = false;
    unsigned char checkByteDelta = 0;
    // Faults: each replaces what the writer would put there.
    std::optional<std::string> payload; // the bytes stored as data
    std::optional<uint32_t> crc;
    std::optional<uint32_t> centralCompressedSize;
    std::optional<uint32_t> size;
    std::optional<uint16_t> localMethod;
    std::optional<uint32_t> localSignature;
    std::optional<uint32_t> localCrc;
    std::optional<std::string> localName;
    std::optional<std::string> centralExtra;
    // ZIP64: sizes and the local header offset only in ZIP64 blocks, as
    // zip -fz writes them (all ones in the 32-bit fields).
    bool zip64 = false;
    // The central record points at the local header of entry sharesHeaderOf.
    std::optional<std::size_t> sharesHeaderOf;
};

// A folder entry as zip makes it on Unix.
Entry folder(const std::string &name);

struct Archive {
    Archive(std::vector<Entry> entries_ = {}) : entries(std::move(entries_)) {}

    std::vector<Entry> entries;
    std::string comment;
    std::string stub; // bytes in front of the archive
    std::optional<uint16_t> entryCount;
    std::optional<uint32_t> centralOffset;
    // A ZIP64 end record and locator carry the counts, size and offset; the
    // classic end record has all ones there.
    bool zip64End = false;
};

// The archive's bytes.
std::string build(const Archive &archive);

// A UT extra block with the given flags and times, as zip writes it.
std::string unixTimeBlock(unsigned char flags, const std::vector<uint32_t> &times);
// A ZIP64 extra block with 8-byte sizes.
std::string zip64Block(uint64_t size, uint64_t compressedSize);
// Raw deflate of data.
std::string deflateRaw(const std::string &data);
// zlib's CRC-32 of data.
uint32_t crcOf(const std::string &data);

} // namespace testzip
