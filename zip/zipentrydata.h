// The bytes of one entry as they come out of the archive: read block by block
// (or, for a deflated entry that fits in memory, in one piece), decrypted
// when the entry is encrypted, inflated or zstd-decoded, and checked
// against the CRC-32 of the central record.
#pragma once

#include "ziparchive.h"
#include "zipdelta.h"

#include <libdeflate.h>
#include <zlib.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace zip {

class EntryData {
public:
    explicit EntryData(Archive &archive);
    ~EntryData();
    EntryData(const EntryData &) = delete;
    EntryData &operator=(const EntryData &) = delete;

    // The base of the delta entries begun from now on (all borrowed), or
    // none: what the entry's block says of it, the file open, and for the
    // first layout the whole file in view.
    void useBase(const DeltaBase *base, platform::FileHandle file, const unsigned char *view) {
        base_ = base;
        baseFile_ = file;
        baseView_ = view;
    }
    // Starts reading the entry at location; a failure shows at the first read.
    void begin(const EntryLocation &location);
    // Fills buffer with up to length bytes of the entry and returns how many,
    // or a negative code: ReadError, WrongCheckByte, MemoryBound,
    // BadStructure (a broken zstd frame) or zlib's own. end is
    // set once the entry's last byte has been produced; 0 without end means
    // the data ran out before the entry did.
    int read(unsigned char *buffer, uint32_t length, bool &end);
    // A deflated entry in one piece, right after begin: inflates all of its
    // data into out (room for the entry's size) and returns the size, or
    // ReadError, WrongCheckByte, or 0 when only the stream can tell
    // (corrupted data, or a stream that goes on beyond the size, which
    // streaming accepts): then begin again and read.
    int readWhole(unsigned char *out);
    // After the last byte: CrcMismatch when the data does not match its
    // CRC-32, else 0.
    int finish() const;

private:
    bool fill();
    bool skipHeader(int &status);
    bool copyStored(unsigned char *out, uint32_t room, uint32_t &produced);
    bool decodeFrame(unsigned char *out, uint32_t room, uint32_t &produced, int &status);
    bool inflateSome(unsigned char *out, uint32_t room, uint32_t &produced, int &status);
    unsigned char decrypt(unsigned char byte);
    void updateKeys(unsigned char plain);

    Archive &archive_;
    std::unique_ptr<unsigned char[]> input_;
    // The compressed bytes of a one-piece entry; grows to the largest.
    std::vector<unsigned char> whole_;
    libdeflate_decompressor *decompressor_ = nullptr;
    z_stream stream_{};
    ZstdFrame zstd_;
    DeltaDecoder delta_;
    const DeltaBase *base_ = nullptr;
    platform::FileHandle baseFile_ = nullptr;
    const unsigned char *baseView_ = nullptr;
    bool segmented_ = false;
    bool streamReady_ = false;
    int failure_ = 0;
    uint16_t method_ = 0;
    uint64_t dataPos_ = 0;
    uint64_t compressedLeft_ = 0;
    uint64_t uncompressedLeft_ = 0;
    const unsigned char *next_ = nullptr;
    uint32_t available_ = 0;
    uint32_t expectedCrc_ = 0;
    uint32_t crc_ = 0;
    bool ended_ = false;
    bool encrypted_ = false;
    uint32_t headerLeft_ = 0;
    unsigned char checkByte_ = 0;
    uint32_t keys_[3] = {};
};

} // namespace zip
