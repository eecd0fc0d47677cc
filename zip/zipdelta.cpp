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

// The base is hashed through views of this size, each gone before the next.
constexpr uint32_t HashView = 16u << 20;
constexpr std::size_t SegmentHeaderSize = 20;
// A segment's frame is what zstd makes of SegmentSize bytes at worst.
constexpr std::size_t MaxAlignmentSize = Alignment::MaxBlocks * 12;

int errorOf(std::size_t status) {
    const ZSTD_ErrorCode code = ZSTD_getErrorCode(status);
    return code == ZSTD_error_frameParameter_windowTooLarge || code == ZSTD_error_memory_allocation
               ? lowcode::MemoryBound
               : lowcode::BadStructure;
}

} // namespace

bool readDeltaField(const std::vector<unsigned char> &extra, DeltaBase &base) {
    std::size_t begin = 0, end = 0;
    if (!findExtraBlock(extra, DeltaFieldId, begin, end))
        return false;
    const std::size_t size = end - begin;
    if (size != DeltaFieldSize && size != SegmentedFieldSize)
        return false;
    base.size = get64(&extra[begin]);
    std::copy(extra.begin() + static_cast<std::ptrdiff_t>(begin) + 8,
              extra.begin() + static_cast<std::ptrdiff_t>(begin) + DeltaFieldSize,
              base.sha256.begin());
    base.segmented = size == SegmentedFieldSize;
    base.transform = Transform::None;
    if (!base.segmented)
        return true;
    const unsigned char transform = extra[begin + DeltaFieldSize];
    if (transform > static_cast<unsigned char>(Transform::X86_64))
        return false;
    base.transform = static_cast<Transform>(transform);
    return true;
}

std::string deltaField(const DeltaBase &base) {
    std::string field;
    const auto put = [&field](uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            field += static_cast<char>(value >> (8 * i));
    };
    put(DeltaFieldId, 2);
    put(base.segmented ? SegmentedFieldSize : DeltaFieldSize, 2);
    put(base.size, 8);
    field.append(reinterpret_cast<const char *>(base.sha256.data()), base.sha256.size());
    if (base.segmented)
        put(static_cast<unsigned char>(base.transform), 1);
    return field;
}

ZipResult openDeltaBase(platform::FolderHandle reference, const std::string &name,
                        const DeltaBase &base, platform::File &file) {
    if (!base.segmented && base.size > MaxDeltaBase)
        return BeyondMemoryBound;
    const std::size_t split = afterLastSeparator(name);
    platform::FolderChain chain(reference);
    const platform::FolderHandle folder = chain.reach(name.substr(0, split));
    if (!folder)
        return BaseMissing;
    file.reset(platform::openFileAt(folder, name.substr(split).c_str(), platform::FileAccess::Read,
                                    platform::FileShare::Read,
                                    platform::FileDisposition::OpenExisting));
    int64_t size = 0;
    if (!file || !platform::seekFile(file.get(), 0, platform::SeekOrigin::End, size))
        return BaseMissing;
    if (static_cast<uint64_t>(size) != base.size) {
        platform::setLastError(platform::error::Success);
        return BaseChanged;
    }
    return Ok;
}

ZipResult checkBaseHash(platform::FileHandle file, const DeltaBase &base) {
    Sha256 hash;
    for (uint64_t done = 0; done < base.size;) {
        const auto size = static_cast<std::size_t>(std::min<uint64_t>(HashView, base.size - done));
        const unsigned char *view = platform::mapFile(file, done, size);
        if (!view)
            return BaseMissing;
        hash.update(view, size);
        platform::unmapFile(view, size);
        done += size;
    }
    if (hash.finish() == base.sha256)
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
    return ZSTD_isError(status) ? errorOf(status) : 0;
}

DeltaDecoder::DeltaDecoder() = default;

DeltaDecoder::~DeltaDecoder() {
    releaseSlice();
    ZSTD_freeDCtx(context_);
}

bool DeltaDecoder::begin(platform::FileHandle file, const DeltaBase &base, uint64_t size) {
    releaseSlice();
    if (!context_)
        context_ = ZSTD_createDCtx();
    // As large as the largest segment of the result can be.
    const auto needed = static_cast<uint32_t>(std::min<uint64_t>(SegmentSize, size));
    if (capacity_ < needed) {
        segment_.reset(new (std::nothrow) unsigned char[needed]);
        capacity_ = segment_ ? needed : 0;
    }
    if (!context_ || capacity_ < needed)
        return false;
    file_ = file;
    base_ = base;
    stage_ = base.transform == Transform::None ? Stage::SegmentHeader : Stage::ListSize;
    gathered_.clear();
    alignment_ = Alignment();
    position_ = 0;
    left_ = size;
    return true;
}

// Collects the next size bytes of the data in gathered_; false while they
// are not all there.
bool DeltaDecoder::gather(const unsigned char *&next, uint32_t &available, std::size_t size) {
    const auto take =
        static_cast<uint32_t>(std::min<std::size_t>(available, size - gathered_.size()));
    gathered_.insert(gathered_.end(), next, next + take);
    next += take;
    available -= take;
    return gathered_.size() == size;
}

int DeltaDecoder::decode(const unsigned char *&next, uint32_t &available, unsigned char *out,
                         uint32_t room, uint32_t &made, bool &finished) {
    made = 0;
    finished = false;
    for (;;) {
        switch (stage_) {
        case Stage::ListSize:
            if (!gather(next, available, 4))
                return 0;
            frameLeft_ = get32(gathered_.data());
            if (frameLeft_ > ZSTD_compressBound(MaxAlignmentSize))
                return lowcode::BadStructure;
            gathered_.clear();
            stage_ = Stage::List;
            break;
        case Stage::List:
            if (!gather(next, available, frameLeft_))
                return 0;
            if (const int status = takeList())
                return status;
            break;
        case Stage::SegmentHeader:
            if (left_ == 0) {
                finished = true;
                return 0;
            }
            if (!gather(next, available, SegmentHeaderSize))
                return 0;
            if (const int status = startSegment())
                return status;
            break;
        case Stage::Frame:
            if (available == 0)
                return 0;
            if (const int status = readFrame(next, available))
                return status;
            break;
        case Stage::Output:
            if (handOut(out, room, made)) {
                finished = left_ == 0;
                return 0;
            }
            break;
        }
    }
}

// The alignment's list, gathered whole: unpacked and read.
int DeltaDecoder::takeList() {
    const unsigned long long size = ZSTD_getFrameContentSize(gathered_.data(), gathered_.size());
    if (size > MaxAlignmentSize)
        return lowcode::BadStructure;
    std::vector<unsigned char> list(static_cast<std::size_t>(size));
    ZSTD_DCtx_reset(context_, ZSTD_reset_session_and_parameters);
    const std::size_t got =
        ZSTD_decompressDCtx(context_, list.data(), list.size(), gathered_.data(), gathered_.size());
    if (ZSTD_isError(got) || got != list.size() ||
        !alignment_.parse(list.data(), list.size(), base_.size, position_ + left_))
        return lowcode::BadStructure;
    gathered_.clear();
    stage_ = Stage::SegmentHeader;
    return 0;
}

// Decodes what is there of the segment's frame into the segment; a frame
// ended finishes the segment.
int DeltaDecoder::readFrame(const unsigned char *&next, uint32_t &available) {
    ZSTD_inBuffer in{next, std::min(available, frameLeft_), 0};
    ZSTD_outBuffer output{segment_.get(), segmentSize_, decoded_};
    const std::size_t status = ZSTD_decompressStream(context_, &output, &in);
    if (!ZSTD_isError(status) && status != 0 && in.pos == 0 && output.pos == decoded_)
        return lowcode::BadStructure;
    next += in.pos;
    available -= static_cast<uint32_t>(in.pos);
    frameLeft_ -= static_cast<uint32_t>(in.pos);
    decoded_ = output.pos;
    if (ZSTD_isError(status))
        return errorOf(status);
    if (status != 0) // the frame goes on, unless its bytes are all there
        return frameLeft_ == 0 ? lowcode::BadStructure : 0;
    return finishSegment();
}

// Hands out what out has room for of the decoded segment; true when out is
// full.
bool DeltaDecoder::handOut(unsigned char *out, uint32_t room, uint32_t &made) {
    const uint32_t take = std::min(room - made, segmentSize_ - handedOut_);
    std::memcpy(out + made, segment_.get() + handedOut_, take);
    made += take;
    handedOut_ += take;
    if (handedOut_ == segmentSize_) {
        position_ += segmentSize_;
        left_ -= segmentSize_;
        stage_ = Stage::SegmentHeader;
    }
    return made == room;
}

// Checks the segment's header, takes its slice of the base in view and
// starts its frame with the slice as the prefix.
int DeltaDecoder::startSegment() {
    const unsigned char *header = gathered_.data();
    sliceFrom_ = get64(header);
    sliceSize_ = get32(header + 8);
    segmentSize_ = get32(header + 12);
    frameLeft_ = get32(header + 16);
    gathered_.clear();
    if (segmentSize_ == 0 || segmentSize_ > SegmentSize || segmentSize_ > left_ ||
        sliceSize_ > SliceSize || sliceFrom_ > base_.size || sliceSize_ > base_.size - sliceFrom_ ||
        frameLeft_ == 0)
        return lowcode::BadStructure;
    if (sliceSize_ > 0) {
        slice_ = platform::mapFile(file_, sliceFrom_, sliceSize_);
        if (!slice_)
            return platform::lastError() == platform::error::NotEnoughMemory ? lowcode::MemoryBound
                                                                             : lowcode::ReadError;
    }
    // The whole segment fits the buffer, so zstd decodes straight into it
    // and keeps no window of its own.
    ZSTD_DCtx_reset(context_, ZSTD_reset_session_and_parameters);
    ZSTD_DCtx_setParameter(context_, ZSTD_d_windowLogMax, MaxWindowLog);
    ZSTD_DCtx_setParameter(context_, ZSTD_d_stableOutBuffer, 1);
    if (slice_ && ZSTD_isError(ZSTD_DCtx_refPrefix(context_, slice_, sliceSize_)))
        return lowcode::MemoryBound;
    decoded_ = 0;
    stage_ = Stage::Frame;
    return 0;
}

int DeltaDecoder::finishSegment() {
    bool undone = decoded_ == segmentSize_ && frameLeft_ == 0;
    if (undone && base_.transform != Transform::None)
        undone =
            decodeSegment(segment_.get(), segmentSize_, position_, alignment_,
                          base_.transform == Transform::X86 ? X86Code::Bits32 : X86Code::Bits64,
                          {slice_, sliceFrom_, sliceSize_});
    releaseSlice();
    if (!undone)
        return lowcode::BadStructure;
    handedOut_ = 0;
    stage_ = Stage::Output;
    return 0;
}

void DeltaDecoder::releaseSlice() {
    if (slice_)
        platform::unmapFile(slice_, sliceSize_);
    slice_ = nullptr;
}

} // namespace zip

// The delta side of the reader: the base of the current entry, and zstd
// entries through the same streaming as every other.

ZipResult ZipReader::findBase(const ZipEntryInfo &info, platform::File &file,
                              zip::DeltaBase &base) {
    const zip::EntryLocation &location = archive_->location();
    std::vector<unsigned char> extra(location.extraLength);
    if (!archive_->readLocal(location.extraPos, extra.data(), location.extraLength))
        return ExtraUnreadable;
    if (!zip::readDeltaField(extra, base))
        return DeltaCorrupt;
    return zip::openDeltaBase(reference_, info.name, base, file);
}

ZipResult ZipReader::pumpZstd(platform::FileHandle file, const ZipEntryInfo &info) {
    const bool delta = archive_->location().method == zip::DeltaMethod;
    platform::File baseFile;
    zip::DeltaBase base;
    if (delta)
        if (const ZipResult result = findBase(info, baseFile, base))
            return result;
    // The first layout decodes against the whole base in one view.
    const unsigned char *whole = nullptr;
    if (delta && !base.segmented && base.size > 0) {
        whole = platform::mapFile(baseFile.get(), 0, static_cast<std::size_t>(base.size));
        if (!whole)
            return platform::lastError() == platform::error::NotEnoughMemory ? BeyondMemoryBound
                                                                             : BaseMissing;
    }
    // The base's hash is taken beside the decoding, which would otherwise
    // wait for it: what a changed base decodes to stays in the temporary
    // file, and the entry fails all the same.
    std::future<ZipResult> hashed;
    if (delta)
        hashed = std::async(std::launch::async, [&baseFile, &base] {
            return zip::checkBaseHash(baseFile.get(), base);
        });
    entryData_->useBase(delta ? &base : nullptr, baseFile.get(), whole);
    ZipResult result = stream(file, info.size64);
    entryData_->useBase(nullptr, nullptr, nullptr);
    if (whole)
        platform::unmapFile(whole, static_cast<std::size_t>(base.size));
    if (!delta)
        return result;
    if (const ZipResult changed = hashed.get())
        return changed;
    return result == DataError ? DeltaCorrupt : result;
}
