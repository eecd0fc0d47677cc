#include "ziparchive.h"

#include <algorithm>
#include <cstring>

namespace zip {

namespace {

constexpr uint32_t EndSignature = 0x06054b50;
constexpr uint32_t CentralSignature = 0x02014b50;
constexpr uint32_t LocalSignature = 0x04034b50;
constexpr uint32_t EndRecordSize = 22;
constexpr uint32_t CentralRecordSize = 46;
constexpr uint32_t LocalHeaderSize = 30;
// The longest comment plus the record itself: an end record behind a comment
// of the maximum length is still found.
constexpr uint64_t EndSearchSpan = 0xFFFF + EndRecordSize;
constexpr uint32_t SearchWindow = 1028;

} // namespace

Archive::Archive(platform::FileHandle file) : file_(file) {}

Archive::~Archive() {
    platform::closeFile(file_);
}

std::unique_ptr<Archive> Archive::open(const char *path) {
    platform::FileHandle file =
        platform::openFileA(path, platform::FileAccess::Read, platform::FileShare::Read,
                            platform::FileDisposition::OpenExisting);
    if (!file)
        return nullptr;
    std::unique_ptr<Archive> archive(new Archive(file));
    if (!archive->locateEnd())
        return nullptr;
    archive->walkTo(0);
    return archive;
}

// Searches the tail backwards in overlapping windows. The highest signature
// is usually the record; but a comment may hold the bytes of another archive,
// so a candidate must be consistent, and one whose comment reaches exactly to
// the end of the file beats one that does not (trailing bytes after an
// archive are tolerated, a false record inside a comment is not preferred).
bool Archive::locateEnd() {
    int64_t end = 0;
    if (!platform::seekFile(file_, 0, platform::SeekOrigin::End, end))
        return false;
    filePointer_ = end;
    const auto fileSize = static_cast<uint64_t>(end);
    const uint64_t maxBack = std::min(EndSearchSpan, fileSize);
    unsigned char window[SearchWindow];
    uint64_t back = 4;
    uint64_t below = fileSize; // candidates at or above this were judged
    bool found = false;
    uint64_t fallback = 0;
    while (back < maxBack) {
        back = std::min(back + SearchWindow - 4, maxBack);
        const uint64_t readPos = fileSize - back;
        const auto readSize = static_cast<uint32_t>(std::min<uint64_t>(SearchWindow, back));
        uint32_t got = 0;
        if (!readFileAt(readPos, window, readSize, got) || got != readSize)
            break;
        for (uint32_t i = readSize - 4 + 1; i-- > 0;) {
            const uint64_t position = readPos + i;
            if (position >= below || get32(window + i) != EndSignature)
                continue;
            below = position;
            bool reachesEnd = false;
            if (!consistentEnd(position, fileSize, reachesEnd))
                continue;
            if (reachesEnd)
                return true;
            if (!found) {
                found = true;
                fallback = position;
            }
        }
    }
    bool reachesEnd = false;
    return found && consistentEnd(fallback, fileSize, reachesEnd);
}

// Reads the end record at position and, when it is consistent, takes its
// values (a later call for a better candidate overwrites them).
bool Archive::consistentEnd(uint64_t position, uint64_t fileSize, bool &reachesEnd) {
    unsigned char record[EndRecordSize];
    uint32_t got = 0;
    if (!readFileAt(position, record, EndRecordSize, got) || got != EndRecordSize)
        return false;
    const uint16_t disk = get16(record + 4);
    const uint16_t centralDisk = get16(record + 6);
    const uint16_t entriesHere = get16(record + 8);
    const uint16_t entriesTotal = get16(record + 10);
    const uint32_t centralSize = get32(record + 12);
    const uint32_t centralOffset = get32(record + 16);
    const uint16_t commentLength = get16(record + 20);
    const uint64_t centralEnd = static_cast<uint64_t>(centralOffset) + centralSize;
    if (disk != 0 || centralDisk != 0 || entriesHere != entriesTotal || position < centralEnd)
        return false;
    const uint64_t bytesBefore = position - centralEnd;
    if (entriesTotal > 0) {
        unsigned char signature[4];
        if (!readFileAt(centralOffset + bytesBefore, signature, 4, got) || got != 4 ||
            get32(signature) != CentralSignature)
            return false;
    }
    reachesEnd = position + EndRecordSize + commentLength == fileSize;
    entryCount_ = entriesHere;
    centralOffset_ = centralOffset;
    bytesBefore_ = bytesBefore;
    return true;
}

bool Archive::readCentralRecord() {
    unsigned char bytes[CentralRecordSize];
    if (!readCached(centralCache_, currentRecordPos_ + bytesBefore_, bytes, CentralRecordSize) ||
        get32(bytes) != CentralSignature)
        return false;
    record_.versionMadeBy = get16(bytes + 4);
    record_.versionNeeded = get16(bytes + 6);
    record_.flags = get16(bytes + 8);
    record_.method = get16(bytes + 10);
    record_.dosTime = get32(bytes + 12);
    record_.crc = get32(bytes + 16);
    record_.compressedSize = get32(bytes + 20);
    record_.size = get32(bytes + 24);
    record_.nameLength = get16(bytes + 28);
    record_.extraLength = get16(bytes + 30);
    record_.commentLength = get16(bytes + 32);
    record_.externalAttributes = get32(bytes + 38);
    record_.localHeaderOffset = get32(bytes + 42);
    recordName_.clear();
    if (record_.nameLength > MaxName)
        return true;
    char name[MaxName];
    if (!readCached(centralCache_, currentRecordPos_ + bytesBefore_ + CentralRecordSize, name,
                    record_.nameLength))
        return false;
    recordName_.assign(name, record_.nameLength);
    return true;
}

bool Archive::walkTo(int32_t index) {
    if (index < currentNumber_ || !currentRecordValid_) {
        currentNumber_ = 0;
        currentRecordPos_ = centralOffset_;
        currentRecordValid_ = readCentralRecord();
    }
    while (currentRecordValid_ && currentNumber_ < index) {
        ++currentNumber_;
        currentRecordPos_ +=
            CentralRecordSize + record_.nameLength + record_.extraLength + record_.commentLength;
        currentRecordValid_ = readCentralRecord();
    }
    return currentRecordValid_;
}

int Archive::checkLocalHeader() {
    unsigned char bytes[LocalHeaderSize];
    const uint64_t header = record_.localHeaderOffset;
    if (!readLocal(header, bytes, LocalHeaderSize))
        return lowcode::ReadError;
    const uint16_t flags = get16(bytes + 6);
    const uint16_t method = get16(bytes + 8);
    const uint16_t nameLength = get16(bytes + 26);
    // Sizes and CRC may follow the data in a descriptor (flag bit 3); the
    // central record always has them.
    const bool sizesHere = (flags & 0x08) == 0;
    if (get32(bytes) != LocalSignature || method != record_.method ||
        (method != 0 && method != 8) || nameLength != record_.nameLength ||
        (sizesHere &&
         (get32(bytes + 14) != record_.crc || get32(bytes + 18) != record_.compressedSize ||
          get32(bytes + 22) != record_.size)))
        return lowcode::BadStructure;
    location_.extraPos = header + LocalHeaderSize + nameLength;
    location_.extraLength = get16(bytes + 28);
    location_.dataPos = location_.extraPos + location_.extraLength;
    location_.flags = flags;
    location_.method = method;
    location_.dosTime = record_.dosTime;
    location_.crc = record_.crc;
    location_.compressedSize = record_.compressedSize;
    location_.size = record_.size;
    return 0;
}

bool Archive::readLocal(uint64_t position, void *buffer, uint32_t size) {
    return readCached(localCache_, position + bytesBefore_, buffer, size);
}

// Small reads come from the cache's block (refilled at the position when they
// miss it); reads of a block or more go straight into the caller's buffer.
bool Archive::readCached(Cache &cache, uint64_t filePosition, void *buffer, uint32_t size) {
    if (size == 0)
        return true; // an empty extra field has no buffer to copy into
    if (filePosition >= cache.start && filePosition - cache.start + size <= cache.length) {
        std::memcpy(buffer, cache.bytes.get() + (filePosition - cache.start), size);
        return true;
    }
    uint32_t got = 0;
    if (size >= BlockSize)
        return readFileAt(filePosition, buffer, size, got) && got == size;
    if (!cache.bytes)
        cache.bytes.reset(new unsigned char[BlockSize]);
    cache.length = 0;
    if (!readFileAt(filePosition, cache.bytes.get(), BlockSize, got) || got < size)
        return false;
    cache.start = filePosition;
    cache.length = got;
    std::memcpy(buffer, cache.bytes.get(), size);
    return true;
}

bool Archive::readFileAt(uint64_t filePosition, void *buffer, uint32_t size, uint32_t &got) {
    got = 0;
    const auto target = static_cast<int64_t>(filePosition);
    if (filePointer_ != target) {
        int64_t reached = 0;
        if (!platform::seekFile(file_, target, platform::SeekOrigin::Begin, reached)) {
            filePointer_ = -1;
            return false;
        }
        filePointer_ = reached;
    }
    if (!platform::readFile(file_, buffer, size, got)) {
        filePointer_ = -1;
        return false;
    }
    filePointer_ += got;
    return true;
}

} // namespace zip
