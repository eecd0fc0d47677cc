#include "zipdelta.h"

#include "ziparchive.h"
#include "zipentrydata.h"
#include "zipnames.h"
#include "zipreader.h"

#include <zstd_errors.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <new>

using namespace zipresult;

namespace zip {

namespace {

// ERROR_NOT_ENOUGH_MEMORY, for a base that fits the bound but not the
// address space.
constexpr uint32_t NotEnoughMemory = 8;
// Files are read in pieces a 32-bit length holds with room to spare.
constexpr uint32_t ReadPiece = 16u << 20;

bool readAll(platform::FileHandle file, unsigned char *bytes, uint64_t size) {
    for (uint64_t done = 0; done < size;) {
        uint32_t got = 0;
        const auto piece = static_cast<uint32_t>(std::min<uint64_t>(ReadPiece, size - done));
        if (!platform::readFile(file, bytes + done, piece, got))
            return false;
        if (got == 0)
            return false;
        done += got;
    }
    return true;
}

} // namespace

bool readDeltaField(const std::vector<unsigned char> &extra, DeltaBase &base) {
    std::size_t begin = 0, end = 0;
    if (!findExtraBlock(extra, DeltaFieldId, begin, end) || end - begin != DeltaFieldSize)
        return false;
    base.size = get64(&extra[begin]);
    std::copy(extra.begin() + static_cast<std::ptrdiff_t>(begin) + 8,
              extra.begin() + static_cast<std::ptrdiff_t>(end), base.sha256.begin());
    return true;
}

std::string deltaField(const DeltaBase &base) {
    std::string field;
    const auto put = [&field](uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            field += static_cast<char>(value >> (8 * i));
    };
    put(DeltaFieldId, 2);
    put(DeltaFieldSize, 2);
    put(base.size, 8);
    field.append(reinterpret_cast<const char *>(base.sha256.data()), base.sha256.size());
    return field;
}

ZipResult loadDeltaBase(platform::FolderHandle reference, const std::string &name,
                        const DeltaBase &base, std::unique_ptr<unsigned char[]> &bytes) {
    if (base.size > MaxDeltaBase)
        return BeyondMemoryBound;
    const std::size_t split = afterLastSeparator(name);
    platform::FolderChain chain(reference);
    const platform::FolderHandle folder = chain.reach(name.substr(0, split));
    if (!folder)
        return BaseMissing;
    const platform::File file(
        platform::openFileAt(folder, name.substr(split).c_str(), platform::FileAccess::Read,
                             platform::FileShare::Read, platform::FileDisposition::OpenExisting));
    int64_t size = 0, start = 0;
    if (!file || !platform::seekFile(file.get(), 0, platform::SeekOrigin::End, size) ||
        !platform::seekFile(file.get(), 0, platform::SeekOrigin::Begin, start))
        return BaseMissing;
    if (static_cast<uint64_t>(size) != base.size) {
        platform::setLastError(platform::error::Success);
        return BaseChanged;
    }
    bytes.reset(new (std::nothrow) unsigned char[static_cast<std::size_t>(base.size)]);
    if (!bytes) {
        platform::setLastError(NotEnoughMemory);
        return BeyondMemoryBound;
    }
    return readAll(file.get(), bytes.get(), base.size) ? Ok : BaseMissing;
}

ZipResult checkBaseHash(const unsigned char *bytes, const DeltaBase &base) {
    if (sha256(bytes, static_cast<std::size_t>(base.size)) == base.sha256)
        return Ok;
    platform::setLastError(platform::error::Success);
    return BaseChanged;
}

ZstdFrame::~ZstdFrame() {
    ZSTD_freeDCtx(context_);
}

bool ZstdFrame::begin(const unsigned char *prefix, std::size_t prefixSize) {
    if (!context_)
        context_ = ZSTD_createDCtx();
    if (!context_)
        return false;
    ZSTD_DCtx_reset(context_, ZSTD_reset_session_and_parameters);
    ZSTD_DCtx_setParameter(context_, ZSTD_d_windowLogMax, MaxWindowLog);
    return !prefix || !ZSTD_isError(ZSTD_DCtx_refPrefix(context_, prefix, prefixSize));
}

int ZstdFrame::decode(const unsigned char *&next, uint32_t &available, unsigned char *out,
                      uint32_t room, uint32_t &made, bool &finished) {
    ZSTD_inBuffer in{next, available, 0};
    ZSTD_outBuffer output{out, room, 0};
    const std::size_t status = ZSTD_decompressStream(context_, &output, &in);
    next += in.pos;
    available -= static_cast<uint32_t>(in.pos);
    made = static_cast<uint32_t>(output.pos);
    finished = status == 0;
    if (!ZSTD_isError(status))
        return 0;
    const ZSTD_ErrorCode code = ZSTD_getErrorCode(status);
    return code == ZSTD_error_frameParameter_windowTooLarge || code == ZSTD_error_memory_allocation
               ? lowcode::MemoryBound
               : lowcode::BadStructure;
}

} // namespace zip

// The delta side of the reader: the base of the current entry, and zstd
// entries through the same streaming as every other.

ZipResult ZipReader::loadBase(const ZipEntryInfo &info, std::unique_ptr<unsigned char[]> &bytes,
                              zip::DeltaBase &base) {
    const zip::EntryLocation &location = archive_->location();
    std::vector<unsigned char> extra(location.extraLength);
    if (!archive_->readLocal(location.extraPos, extra.data(), location.extraLength))
        return ExtraUnreadable;
    if (!zip::readDeltaField(extra, base))
        return DeltaCorrupt;
    return zip::loadDeltaBase(reference_, info.name, base, bytes);
}

ZipResult ZipReader::pumpZstd(platform::FileHandle file, const ZipEntryInfo &info) {
    const bool delta = archive_->location().method == zip::DeltaMethod;
    std::unique_ptr<unsigned char[]> bytes;
    zip::DeltaBase base;
    if (delta)
        if (const ZipResult result = loadBase(info, bytes, base))
            return result;
    // The base's hash is taken beside the decoding, which would otherwise
    // wait for it: what a changed base decodes to stays in the temporary
    // file, and the entry fails all the same.
    std::future<ZipResult> hashed;
    if (delta)
        hashed = std::async(std::launch::async,
                            [&bytes, &base] { return zip::checkBaseHash(bytes.get(), base); });
    entryData_->usePrefix(bytes.get(), static_cast<std::size_t>(base.size));
    ZipResult result = stream(file, info.size64);
    entryData_->usePrefix(nullptr, 0);
    if (!delta)
        return result;
    if (const ZipResult changed = hashed.get())
        return changed;
    return result == DataError ? DeltaCorrupt : result;
}
