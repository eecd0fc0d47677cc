// Entries compressed with zstd: whole files (method 93, as the APPNOTE
// assigns it) and delta entries, whose frame was made with the installed
// file as its reference, so that a release ships what changed rather than
// every program again. The README's "Delta packages" tells the format.
#pragma once

#include "platform.h"
#include "sha256.h"
#include "zipresult.h"

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
// and its SHA-256. An id outside the 0-31 that PKWARE keeps and outside the
// ids the APPNOTE lists as taken.
constexpr uint16_t DeltaFieldId = 0x4456;
constexpr uint16_t DeltaFieldSize = 40;
// What the 32-bit updater may hold for one delta entry: the base in memory
// beside a window of at most the same size.
constexpr uint64_t MaxDeltaBase = 256u << 20;
constexpr int MaxWindowLog = 28;

struct DeltaBase {
    uint64_t size = 0;
    Sha256Digest sha256{};
};

// The delta block of an extra field; false when it is missing or not 40
// bytes.
bool readDeltaField(const std::vector<unsigned char> &extra, DeltaBase &base);
// The whole block, header included, for a writer.
std::string deltaField(const DeltaBase &base);

// Reads the installed file at name (relative to reference, "/" or "\"
// between its parts) into bytes when it has base's size. Every part is
// opened relative to the one before and never through a link. Ok,
// BaseMissing (the OS error tells why), BeyondMemoryBound or BaseChanged.
ZipResult loadDeltaBase(platform::FolderHandle reference, const std::string &name,
                        const DeltaBase &base, std::unique_ptr<unsigned char[]> &bytes);
// Ok when the bytes loaded have base's SHA-256, else BaseChanged.
ZipResult checkBaseHash(const unsigned char *bytes, const DeltaBase &base);

// The frame that makes next from base (zipdeltamake.cpp, for publishers
// and tests: the updater links no compressor). False when zstd refuses.
bool makeDeltaFrame(const std::string &base, const std::string &next, int level,
                    std::string &frame);

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

} // namespace zip
