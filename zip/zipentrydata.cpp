#include "zipentrydata.h"

#include <algorithm>
#include <cstring>

namespace zip {

namespace {

// Traditional PKWARE encryption: a 12-byte header in front of the data whose
// last byte, once decrypted, must equal the check byte.
constexpr uint32_t EncryptionHeaderSize = 12;

} // namespace

EntryData::EntryData(Archive &archive) : archive_(archive) {}

EntryData::~EntryData() {
    if (streamReady_)
        inflateEnd(&stream_);
    if (decompressor_)
        libdeflate_free_decompressor(decompressor_);
}

void EntryData::begin(const EntryLocation &location) {
    if (!input_)
        input_.reset(new unsigned char[StreamBlockSize]);
    method_ = location.method;
    dataPos_ = location.dataPos;
    compressedLeft_ = location.compressedSize;
    uncompressedLeft_ = location.size;
    next_ = input_.get();
    available_ = 0;
    expectedCrc_ = location.crc;
    crc_ = 0;
    ended_ = false;
    failure_ = 0;
    encrypted_ = (location.flags & 0x01) != 0;
    headerLeft_ = encrypted_ ? EncryptionHeaderSize : 0;
    // With a data descriptor the CRC was not known when the header was made,
    // so the encrypter checked against the time instead.
    checkByte_ = static_cast<unsigned char>((location.flags & 0x08) ? location.dosTime >> 8
                                                                    : location.crc >> 24);
    // No password is ever given: the keys keep their initial values.
    keys_[0] = 305419896;
    keys_[1] = 591751049;
    keys_[2] = 878082192;
    if (method_ == ZstdMethod || method_ == DeltaMethod) {
        const DeltaBase *base = method_ == DeltaMethod ? base_ : nullptr;
        segmented_ = base && base->segmented;
        const bool ready = segmented_
                               ? delta_.begin(baseFile_, *base, location.size)
                               : zstd_.begin(base ? baseView_ : nullptr,
                                             base ? static_cast<std::size_t>(base->size) : 0);
        if (!ready)
            failure_ = lowcode::MemoryBound;
        return;
    }
    if (method_ != 8)
        return;
    // One inflate state per reader, reset for each entry: many small entries
    // cost no allocation each.
    if (streamReady_) {
        failure_ = inflateReset(&stream_);
    } else {
        stream_ = z_stream{};
        failure_ = inflateInit2(&stream_, -MAX_WBITS);
        streamReady_ = failure_ == Z_OK;
    }
}

// The steps of read. Each makes what it can into out up to room, moving
// produced on, and says whether read may go on; a failure goes in status.

bool EntryData::skipHeader(int &status) {
    if (available_ == 0)
        return false;
    const uint32_t take = std::min(headerLeft_, available_);
    next_ += take;
    available_ -= take;
    headerLeft_ -= take;
    if (headerLeft_ == 0 && next_[-1] != checkByte_)
        status = lowcode::WrongCheckByte;
    return true;
}

bool EntryData::copyStored(unsigned char *out, uint32_t room, uint32_t &produced) {
    if (available_ == 0)
        return false;
    const uint32_t take = std::min(room - produced, available_);
    std::memcpy(out + produced, next_, take);
    next_ += take;
    available_ -= take;
    produced += take;
    return true;
}

bool EntryData::decodeFrame(unsigned char *out, uint32_t room, uint32_t &produced, int &status) {
    uint32_t made = 0;
    bool finished = false;
    const uint32_t before = available_;
    status = segmented_
                 ? delta_.decode(next_, available_, out + produced, room - produced, made, finished)
                 : zstd_.decode(next_, available_, out + produced, room - produced, made, finished);
    if (status)
        return false;
    produced += made;
    if (finished) {
        if (produced < room)
            status = lowcode::BadStructure; // the frame ends before the entry
        return false;
    }
    if (made == 0 && available_ == before) {
        if (available_ > 0)
            status = lowcode::BadStructure;
        return false; // the compressed bytes are used up
    }
    return true;
}

bool EntryData::inflateSome(unsigned char *out, uint32_t room, uint32_t &produced, int &status) {
    stream_.next_in = const_cast<unsigned char *>(next_);
    stream_.avail_in = available_;
    stream_.next_out = out + produced;
    stream_.avail_out = room - produced;
    const int inflated = inflate(&stream_, Z_NO_FLUSH);
    const uint32_t consumed = available_ - stream_.avail_in;
    const uint32_t made = room - produced - stream_.avail_out;
    next_ += consumed;
    available_ -= consumed;
    produced += made;
    if (inflated == Z_STREAM_END) {
        // A stream that ends before the entry's size is reached is as
        // corrupted as one that breaks off.
        if (produced < room)
            status = Z_DATA_ERROR;
        return false;
    }
    if (inflated == Z_NEED_DICT)
        status = Z_DATA_ERROR;
    else if (inflated != Z_OK && inflated != Z_BUF_ERROR)
        status = inflated;
    else if (made == 0 && consumed == 0 && available_ > 0)
        status = Z_DATA_ERROR;
    else
        return made > 0 || consumed > 0; // else the compressed bytes are used up
    return false;
}

int EntryData::read(unsigned char *buffer, uint32_t length, bool &end) {
    end = false;
    if (failure_ != 0)
        return failure_;
    if (length == 0)
        return 0;
    if (uncompressedLeft_ == 0) {
        end = ended_ = true;
        return 0;
    }
    const auto room = static_cast<uint32_t>(std::min<uint64_t>(length, uncompressedLeft_));
    uint32_t produced = 0;
    int status = 0;
    for (bool more = true; more && produced < room;) {
        if (available_ == 0 && compressedLeft_ > 0 && !fill())
            return lowcode::ReadError;
        more = headerLeft_ > 0 ? skipHeader(status)
               : method_ == 0  ? copyStored(buffer, room, produced)
               : method_ == 8  ? inflateSome(buffer, room, produced, status)
                               : decodeFrame(buffer, room, produced, status);
        if (status != 0)
            return status;
    }
    // libdeflate's CRC-32 uses the carry-less multiply of the processor:
    // several times zlib's speed, which counts on entries of gigabytes.
    crc_ = libdeflate_crc32(crc_, buffer, produced);
    uncompressedLeft_ -= produced;
    if (uncompressedLeft_ == 0)
        end = ended_ = true;
    return static_cast<int>(produced);
}

int EntryData::readWhole(unsigned char *out) {
    const auto compressed = static_cast<std::size_t>(compressedLeft_);
    const auto size = static_cast<std::size_t>(uncompressedLeft_);
    if (whole_.size() < compressed)
        whole_.resize(compressed);
    if (!archive_.readLocal(dataPos_, whole_.data(), static_cast<uint32_t>(compressed)))
        return lowcode::ReadError;
    std::size_t skip = 0;
    if (encrypted_) {
        for (std::size_t i = 0; i < compressed; ++i)
            whole_[i] = decrypt(whole_[i]);
        if (compressed < EncryptionHeaderSize)
            return lowcode::ReadError; // the data ends inside the header
        if (whole_[EncryptionHeaderSize - 1] != checkByte_)
            return lowcode::WrongCheckByte;
        skip = EncryptionHeaderSize;
    }
    if (!decompressor_)
        decompressor_ = libdeflate_alloc_decompressor();
    if (!decompressor_ ||
        libdeflate_deflate_decompress(decompressor_, whole_.data() + skip, compressed - skip, out,
                                      size, nullptr) != LIBDEFLATE_SUCCESS)
        return 0;
    crc_ = libdeflate_crc32(0, out, size);
    uncompressedLeft_ = 0;
    ended_ = true;
    return static_cast<int>(size);
}

int EntryData::finish() const {
    return ended_ && crc_ != expectedCrc_ ? lowcode::CrcMismatch : 0;
}

bool EntryData::fill() {
    const auto size = static_cast<uint32_t>(std::min<uint64_t>(StreamBlockSize, compressedLeft_));
    if (!archive_.readLocal(dataPos_, input_.get(), size))
        return false;
    dataPos_ += size;
    compressedLeft_ -= size;
    next_ = input_.get();
    available_ = size;
    if (encrypted_)
        for (uint32_t i = 0; i < size; ++i)
            input_[i] = decrypt(input_[i]);
    return true;
}

unsigned char EntryData::decrypt(unsigned char byte) {
    const uint32_t temp = (keys_[2] | 2) & 0xFFFF;
    const auto plain = static_cast<unsigned char>(byte ^ ((temp * (temp ^ 1)) >> 8));
    updateKeys(plain);
    return plain;
}

void EntryData::updateKeys(unsigned char plain) {
    const z_crc_t *table = get_crc_table();
    auto crcByte = [table](uint32_t crc, unsigned char byte) {
        return static_cast<uint32_t>(table[(crc ^ byte) & 0xFF]) ^ (crc >> 8);
    };
    keys_[0] = crcByte(keys_[0], plain);
    keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813 + 1;
    keys_[2] = crcByte(keys_[2], static_cast<unsigned char>(keys_[1] >> 24));
}

} // namespace zip
