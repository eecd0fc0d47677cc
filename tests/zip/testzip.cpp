#include "testzip.h"

#include <zlib.h>

#include <stdexcept>

namespace testzip {

namespace {

void put16(std::string &out, uint32_t value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>((value >> 8) & 0xFF);
}

void put32(std::string &out, uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

void put64(std::string &out, uint64_t value) {
    put32(out, static_cast<uint32_t>(value));
    put32(out, static_cast<uint32_t>(value >> 32));
}

// The traditional PKWARE cipher as the APPNOTE describes it, password "".
class Cipher {
public:
    unsigned char encrypt(unsigned char plain) {
        const uint32_t temp = (keys[2] | 2) & 0xFFFF;
        const auto cipher = static_cast<unsigned char>(plain ^ ((temp * (temp ^ 1)) >> 8));
        keys[0] = crcByte(keys[0], plain);
        keys[1] = (keys[1] + (keys[0] & 0xFF)) * 134775813 + 1;
        keys[2] = crcByte(keys[2], static_cast<unsigned char>(keys[1] >> 24));
        return cipher;
    }

private:
    static uint32_t crcByte(uint32_t crc, unsigned char byte) {
        return static_cast<uint32_t>(get_crc_table()[(crc ^ byte) & 0xFF]) ^ (crc >> 8);
    }
    uint32_t keys[3] = {305419896, 591751049, 878082192};
};

std::string encrypted(const std::string &payload, unsigned char checkByte) {
    Cipher cipher;
    std::string out;
    for (int i = 0; i < 11; ++i)
        out += static_cast<char>(cipher.encrypt(static_cast<unsigned char>(i * 37)));
    out += static_cast<char>(cipher.encrypt(checkByte));
    for (char c : payload)
        out += static_cast<char>(cipher.encrypt(static_cast<unsigned char>(c)));
    return out;
}

} // namespace

Entry folder(const std::string &name) {
    Entry entry(name, "", 0);
    entry.externalAttributes = 040755u << 16;
    return entry;
}

std::string deflateRaw(const std::string &data) {
    z_stream stream{};
    if (deflateInit2(&stream, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::string out(deflateBound(&stream, data.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

uint32_t crcOf(const std::string &data) {
    return static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef *>(data.data()), static_cast<uInt>(data.size())));
}

std::string unixTimeBlock(unsigned char flags, const std::vector<uint32_t> &times) {
    std::string block;
    put16(block, 0x5455);
    put16(block, static_cast<uint32_t>(1 + 4 * times.size()));
    block += static_cast<char>(flags);
    for (uint32_t time : times)
        put32(block, time);
    return block;
}

std::string zip64Block(uint64_t size, uint64_t compressedSize) {
    std::string block;
    put16(block, 0x0001);
    put16(block, 16);
    put32(block, static_cast<uint32_t>(size));
    put32(block, static_cast<uint32_t>(size >> 32));
    put32(block, static_cast<uint32_t>(compressedSize));
    put32(block, static_cast<uint32_t>(compressedSize >> 32));
    return block;
}

std::string build(const Archive &archive) {
    std::string local;
    std::string central;
    std::vector<uint32_t> offsets;
    for (const Entry &entry : archive.entries) {
        const uint32_t crc = entry.crc.value_or(crcOf(entry.data));
        std::string payload =
            entry.payload.value_or(entry.method == 8 ? deflateRaw(entry.data) : entry.data);
        uint16_t flags = entry.flags;
        if (entry.encrypt) {
            flags |= 0x01;
            const auto check = static_cast<unsigned char>(
                ((flags & 0x08) ? entry.dosTime >> 8 : crc >> 24) + entry.checkByteDelta);
            payload = encrypted(payload, check);
        }
        const uint32_t size = entry.size.value_or(static_cast<uint32_t>(entry.data.size()));
        const auto compressedSize = static_cast<uint32_t>(payload.size());
        offsets.push_back(static_cast<uint32_t>(local.size()));
        const uint32_t offset =
            entry.sharesHeaderOf ? offsets.at(*entry.sharesHeaderOf) : offsets.back();
        const std::string localName = entry.localName.value_or(entry.name);
        const bool descriptor = (flags & 0x08) != 0;
        std::string localExtra = entry.localExtra;
        if (entry.zip64) {
            put16(localExtra, 0x0001);
            put16(localExtra, 16);
            put64(localExtra, size);
            put64(localExtra, compressedSize);
        }

        put32(local, entry.localSignature.value_or(0x04034b50));
        put16(local, entry.zip64 ? 45 : 20);
        put16(local, flags);
        put16(local, entry.localMethod.value_or(entry.method));
        put32(local, entry.dosTime);
        put32(local, descriptor ? 0 : entry.localCrc.value_or(crc));
        put32(local, descriptor ? 0 : entry.zip64 ? 0xFFFFFFFF : compressedSize);
        put32(local, descriptor ? 0 : entry.zip64 ? 0xFFFFFFFF : size);
        put16(local, static_cast<uint32_t>(localName.size()));
        put16(local, static_cast<uint32_t>(localExtra.size()));
        local += localName + localExtra + payload;
        if (descriptor) {
            put32(local, 0x08074b50);
            put32(local, crc);
            put32(local, compressedSize);
            put32(local, size);
        }

        std::string centralExtra = entry.centralExtra.value_or("");
        if (entry.zip64) {
            put16(centralExtra, 0x0001);
            put16(centralExtra, 24);
            put64(centralExtra, size);
            put64(centralExtra, entry.centralCompressedSize.value_or(compressedSize));
            put64(centralExtra, offset);
        }
        put32(central, 0x02014b50);
        put16(central, entry.versionMadeBy);
        put16(central, entry.zip64 ? 45 : 20);
        put16(central, flags);
        put16(central, entry.method);
        put32(central, entry.dosTime);
        put32(central, crc);
        put32(central,
              entry.zip64 ? 0xFFFFFFFF : entry.centralCompressedSize.value_or(compressedSize));
        put32(central, entry.zip64 ? 0xFFFFFFFF : size);
        put16(central, static_cast<uint32_t>(entry.name.size()));
        put16(central, static_cast<uint32_t>(centralExtra.size()));
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put32(central, entry.externalAttributes);
        put32(central, entry.zip64 ? 0xFFFFFFFF : offset);
        central += entry.name + centralExtra;
    }
    const auto count = archive.entryCount.value_or(static_cast<uint16_t>(archive.entries.size()));
    const uint32_t centralOffset =
        archive.centralOffset.value_or(static_cast<uint32_t>(local.size()));
    std::string end;
    if (archive.zip64End) {
        const uint64_t zip64Offset = local.size() + central.size();
        put32(end, 0x06064b50);
        put64(end, 44);
        put16(end, 45);
        put16(end, 45);
        put32(end, 0);
        put32(end, 0);
        put64(end, count);
        put64(end, count);
        put64(end, central.size());
        put64(end, centralOffset);
        put32(end, 0x07064b50);
        put32(end, 0);
        put64(end, zip64Offset);
        put32(end, 1);
    }
    put32(end, 0x06054b50);
    put16(end, 0);
    put16(end, 0);
    put16(end, archive.zip64End ? 0xFFFF : count);
    put16(end, archive.zip64End ? 0xFFFF : count);
    put32(end, archive.zip64End ? 0xFFFFFFFF : static_cast<uint32_t>(central.size()));
    put32(end, archive.zip64End ? 0xFFFFFFFF : centralOffset);
    put16(end, static_cast<uint32_t>(archive.comment.size()));
    return archive.stub + local + central + end + archive.comment;
}

} // namespace testzip
