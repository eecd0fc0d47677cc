// Entries compressed with zstd: whole files (method 93, as the APPNOTE
// assigns it) and delta entries, whose frame was made with the installed
// file as its reference, so that a release ships what changed rather than
// every program again. The README's "Delta packages" tells the format.
#pragma once

#include "deltaalignment.h"
#include "platform.h"
#include "sha256.h"
#include "zipresult.h"

#ifndef ZSTD_STATIC_LINKING_ONLY
#define ZSTD_STATIC_LINKING_ONLY // ZSTD_d_stableOutBuffer, ZSTD_generateSequences
#endif
#include <zstd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zip {

constexpr uint16_t ZstdMethod = 93;
// "VD" in the file; no tool uses it, so every other reader refuses the entry
// as an unknown method instead of misreading it.
constexpr uint16_t DeltaMethod = 0x4456;
// The extra block that tells the base: its size (8 bytes, little-endian)
// and its SHA-256, 40 bytes in the first layout (one zstd frame with the
// whole base as its prefix); one more byte in the segmented layout, which
// names the transform. Readers that know only the first layout take any
// other size for a broken block and refuse the entry. An id outside the
// 0-31 that PKWARE keeps and outside the ids the APPNOTE lists as taken.
constexpr uint16_t DeltaFieldId = 0x4456;
constexpr uint16_t DeltaFieldSize = 40;
constexpr uint16_t SegmentedFieldSize = 41;
// What the 32-bit updater may hold for an entry of the first layout: the
// base in view beside a window of at most the same size.
constexpr uint64_t MaxDeltaBase = 256u << 20;
constexpr int MaxWindowLog = 28;
// The segmented layout: the result in segments of at most SegmentSize
// bytes, each one zstd frame whose prefix is a slice of at most SliceSize
// bytes of the base, so that applying it holds one segment in memory and
// one slice in view, whatever the base's size.
constexpr uint32_t SegmentSize = 16u << 20;
constexpr uint32_t SliceSize = 32u << 20;

// What the segmented layout does to the new file before zstd (see
// deltaalignment.h). A reader refuses a transform it does not know.
enum class Transform : unsigned char { None = 0, X86 = 1, X86_64 = 2 };

struct DeltaBase {
    uint64_t size = 0;
    Sha256Digest sha256{};
    bool segmented = false;
    Transform transform = Transform::None;
};

// The delta block of an extra field; false when it is missing, of another
// size or names a transform this reader does not know.
bool readDeltaField(const std::vector<unsigned char> &extra, DeltaBase &base);
// The whole block, header included, for a writer.
std::string deltaField(const DeltaBase &base);

// Opens the installed file at name (relative to reference, "/" or "\"
// between its parts) into file when it has base's size. Every part is
// opened relative to the one before and never through a link. Ok,
// BaseMissing (the OS error tells why), BeyondMemoryBound (a base of the
// first layout beyond its bound) or BaseChanged.
ZipResult openDeltaBase(platform::FolderHandle reference, const std::string &name,
                        const DeltaBase &base, platform::File &file);
// Ok when the file has base's SHA-256 (read through views of it), else
// BaseChanged; BaseMissing when it cannot be read.
ZipResult checkBaseHash(platform::FileHandle file, const DeltaBase &base);

// The data of a delta entry that makes next from base (zipdeltamake.cpp,
// for publishers and tests: the updater links no compressor), and the
// block that goes with it into base. makeDeltaFrame: the first layout;
// makeDelta: the segmented one. False when zstd refuses.
bool makeDeltaFrame(const std::string &base, const std::string &next, int level,
                    std::string &frame);
// How widely the alignment of a transform searches for the matches it is
// made from: which aligns a program better depends on the program.
enum class AlignmentSearch : unsigned char { Narrow, Wide };
// Segments are of segmentSize bytes (at most SegmentSize), the last one
// shorter. With a transform, each segment of next is transformed where it
// is for its frame and then restored (a copy of it held as much again as
// the new file): next is as it came when makeDelta returns.
bool makeDelta(const std::string &base, std::string &next, int level, Transform transform,
               std::string &data, DeltaBase &described, uint32_t segmentSize = SegmentSize,
               AlignmentSearch search = AlignmentSearch::Narrow);
// The transform that suits a file, by its header: x86 or x86-64 programs
// and libraries (PE or ELF), else none.
Transform transformFor(const std::string &file);

// One zstd frame decoded block by block, for the entry reader.
class ZstdFrame {
public:
    ZstdFrame() = default;
    ~ZstdFrame();
    ZstdFrame(const ZstdFrame &) = delete;
    ZstdFrame &operator=(const ZstdFrame &) = delete;

    // Starts a frame; prefix (borrowed until the frame ends) is the base of
    // a delta entry, or null. False when zstd has no memory for it.
    bool begin(const unsigned char *prefix, std::size_t prefixSize);
    // Decodes from next/available into out, advancing both; made receives
    // the bytes produced. 0, lowcode::MemoryBound (the frame's window is
    // beyond the bound, or memory for it is not to be had) or
    // lowcode::BadStructure. finished is set at the frame's end.
    int decode(const unsigned char *&next, uint32_t &available, unsigned char *out, uint32_t room,
               uint32_t &made, bool &finished);

private:
    ZSTD_DCtx *context_ = nullptr;
};

// The data of a segmented delta entry decoded into the result, a segment at
// a time, for the entry reader: the alignment when there is a transform,
// then each segment's header (its slice's offset and size in the base, 8
// and 4 bytes, its result's size and its frame's size, 4 bytes each,
// little-endian) and frame.
class DeltaDecoder {
public:
    DeltaDecoder();
    ~DeltaDecoder();
    DeltaDecoder(const DeltaDecoder &) = delete;
    DeltaDecoder &operator=(const DeltaDecoder &) = delete;

    // Starts an entry of size bytes made against the open file (borrowed
    // until the entry ends) that base describes. False when memory for it
    // is not to be had.
    bool begin(platform::FileHandle file, const DeltaBase &base, uint64_t size);
    // As ZstdFrame::decode; finished is set once the whole result is out.
    int decode(const unsigned char *&next, uint32_t &available, unsigned char *out, uint32_t room,
               uint32_t &made, bool &finished);

private:
    enum class Stage { ListSize, List, SegmentHeader, Frame, Output };
    bool gather(const unsigned char *&next, uint32_t &available, std::size_t size);
    int takeList();
    int startSegment();
    int readFrame(const unsigned char *&next, uint32_t &available);
    int finishSegment();
    bool handOut(unsigned char *out, uint32_t room, uint32_t &made);
    void releaseSlice();

    ZSTD_DCtx *context_ = nullptr;
    platform::FileHandle file_ = nullptr;
    DeltaBase base_;
    Stage stage_ = Stage::ListSize;
    // Header bytes, and the alignment's while it comes in.
    std::vector<unsigned char> gathered_;
    Alignment alignment_;
    std::unique_ptr<unsigned char[]> segment_;
    uint32_t capacity_ = 0;
    uint64_t position_ = 0;
    uint64_t left_ = 0;
    const unsigned char *slice_ = nullptr;
    uint64_t sliceFrom_ = 0;
    uint32_t sliceSize_ = 0;
    uint32_t segmentSize_ = 0;
    uint32_t frameLeft_ = 0;
    std::size_t decoded_ = 0;
    uint32_t handedOut_ = 0;
};

} // namespace zip
