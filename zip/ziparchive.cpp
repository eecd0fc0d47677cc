#include "ziparchive.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace zip {

namespace {

constexpr uint32_t EndSignature = 0x06054b50;
constexpr uint32_t CentralSignature = 0x02014b50;
constexpr uint32_t LocalSignature = 0x04034b50;
constexpr uint32_t EndRecordSize = 22;
constexpr uint32_t CentralRecordSize = 46;
constexpr uint32_t LocalHeaderSize = 30;
constexpr uint32_t Zip64EndSignature = 0x06064b50;
constexpr uint32_t Zip64LocatorSignature = 0x07064b50;
constexpr uint32_t Zip64EndSize = 56;
constexpr uint32_t Zip64LocatorSize = 20;
constexpr uint16_t Zip64ExtraId = 0x0001;
constexpr uint64_t Zip64Marker = 0xFFFFFFFF;
// The longest comment plus the record itself: an end record behind a comment
// of the maximum length is still found.
constexpr uint64_t EndSearchSpan = 0xFFFF + EndRecordSize;
constexpr uint32_t SearchWindow = 1028;

} // namespace

bool findExtraBlock(const std::vector<unsigned char> &extra, uint16_t id, std::size_t &begin,
                    std::size_t &end) {
    std::size_t p = 0;
    while (p + 4 <= extra.size()) {
        const std::size_t size = get16(&extra[p + 2]);
        if (get16(&extra[p]) == id) {
            begin = p + 4;
            end = std::min(extra.size(), begin + size);
            return true;
        }
        p += 4 + size;
    }
    return false;
}

bool PositionedFile::readAt(uint64_t position, void *buffer, uint32_t size, uint32_t &got) {
    return platform::readFileAt(file_, position, buffer, size, got);
}

bool PositionedFile::size(uint64_t &bytes) {
    int64_t end = 0;
    if (!platform::seekFile(file_, 0, platform::SeekOrigin::End, end))
        return false;
    bytes = static_cast<uint64_t>(end);
    return true;
}

namespace {

// The locator names the ZIP64 end record's offset, which (like every offset)
// does not count bytes in front of the archive. The record normally lies
// right before the locator; where it does not, it must lie at its offset.
// False, and the values untouched, when there is no valid ZIP64 record.
bool readZip64End(PositionedFile &file, uint64_t endPosition, uint64_t &entries,
                  uint64_t &centralSize, uint64_t &centralOffset, uint64_t &zip64Position) {
    if (endPosition < Zip64LocatorSize + Zip64EndSize)
        return false;
    const uint64_t locatorPosition = endPosition - Zip64LocatorSize;
    unsigned char locator[Zip64LocatorSize];
    uint32_t got = 0;
    if (!file.readAt(locatorPosition, locator, Zip64LocatorSize, got) || got != Zip64LocatorSize ||
        get32(locator) != Zip64LocatorSignature || get32(locator + 4) != 0 ||
        get32(locator + 16) > 1)
        return false;
    const uint64_t named = get64(locator + 8);
    for (const uint64_t candidate : {locatorPosition - Zip64EndSize, named}) {
        unsigned char record[Zip64EndSize];
        if (candidate >= locatorPosition || !file.readAt(candidate, record, Zip64EndSize, got) ||
            got != Zip64EndSize || get32(record) != Zip64EndSignature ||
            candidate + 12 + get64(record + 4) != locatorPosition || get32(record + 16) != 0 ||
            get32(record + 20) != 0 || get64(record + 24) != get64(record + 32))
            continue;
        entries = get64(record + 32);
        centralSize = get64(record + 40);
        centralOffset = get64(record + 48);
        zip64Position = candidate;
        return true;
    }
    return false;
}

// Reads the end record at position into end when it is consistent. An
// archive too big for the record's fields has a ZIP64 end record in front of
// it, found through the locator just before; its values replace the
// record's.
bool consistentEnd(PositionedFile &file, uint64_t position, uint64_t fileSize, EndRecord &end,
                   bool &zip64Unreadable) {
    unsigned char record[EndRecordSize];
    uint32_t got = 0;
    if (!file.readAt(position, record, EndRecordSize, got) || got != EndRecordSize)
        return false;
    const uint16_t disk = get16(record + 4);
    const uint16_t centralDisk = get16(record + 6);
    uint64_t entriesHere = get16(record + 8);
    const uint64_t entriesTotal = get16(record + 10);
    uint64_t centralSize = get32(record + 12);
    uint64_t centralOffset = get32(record + 16);
    const uint16_t commentLength = get16(record + 20);
    if (disk != 0 || centralDisk != 0 || entriesHere != entriesTotal)
        return false;
    uint64_t endRecords = position;
    if (!readZip64End(file, position, entriesHere, centralSize, centralOffset, endRecords) &&
        (centralOffset == Zip64Marker || centralSize == Zip64Marker)) {
        // Info-ZIP's zip -fz writing to a pipe marks the offset for ZIP64
        // and then writes no ZIP64 record. The central directory ends where
        // the end record begins, so its start follows from its size, as
        // unzip finds it; without the size nothing can be found.
        if (centralSize == Zip64Marker || centralSize > position) {
            zip64Unreadable = true;
            return false;
        }
        centralOffset = position - centralSize;
    }
    const uint64_t centralEnd = centralOffset + centralSize;
    if (centralEnd < centralOffset || endRecords < centralEnd ||
        entriesHere > static_cast<uint64_t>(INT32_MAX))
        return false;
    const uint64_t bytesBefore = endRecords - centralEnd;
    if (entriesHere > 0) {
        unsigned char signature[4];
        if (!file.readAt(centralOffset + bytesBefore, signature, 4, got) || got != 4 ||
            get32(signature) != CentralSignature)
            return false;
    }
    end.position = position;
    end.commentLength = commentLength;
    end.fileSize = fileSize;
    end.reachesEnd = position + EndRecordSize + commentLength == fileSize;
    end.entryCount = static_cast<int32_t>(entriesHere);
    end.centralOffset = centralOffset;
    end.centralEnd = centralEnd;
    end.endRecords = centralEnd;
    end.bytesBefore = bytesBefore;
    return true;
}

} // namespace

// Searches the tail backwards in overlapping windows. The highest signature
// is usually the record; but a comment may hold the bytes of another archive,
// so a candidate must be consistent, and one whose comment reaches exactly to
// the end of the file beats one that does not.
EndSearch findEndRecord(PositionedFile &file, EndRecord &end) {
    uint64_t fileSize = 0;
    if (!file.size(fileSize))
        return EndSearch::ReadError;
    const uint64_t maxBack = std::min(EndSearchSpan, fileSize);
    unsigned char window[SearchWindow];
    uint64_t back = 4;
    uint64_t below = fileSize; // candidates at or above this were judged
    bool found = false;
    bool zip64Unreadable = false;
    bool readFailed = false;
    EndRecord candidate;
    while (back < maxBack) {
        back = std::min(back + SearchWindow - 4, maxBack);
        const uint64_t readPos = fileSize - back;
        const auto readSize = static_cast<uint32_t>(std::min<uint64_t>(SearchWindow, back));
        uint32_t got = 0;
        if (!file.readAt(readPos, window, readSize, got) || got != readSize) {
            readFailed = true;
            break;
        }
        for (uint32_t i = readSize - 4 + 1; i-- > 0;) {
            const uint64_t position = readPos + i;
            if (position >= below || get32(window + i) != EndSignature)
                continue;
            below = position;
            if (!consistentEnd(file, position, fileSize, candidate, zip64Unreadable))
                continue;
            if (candidate.reachesEnd || !found) {
                end = candidate;
                found = true;
            }
            if (candidate.reachesEnd)
                return EndSearch::Found;
        }
    }
    if (found)
        return EndSearch::Found;
    if (readFailed)
        return EndSearch::ReadError;
    return zip64Unreadable ? EndSearch::Zip64Unreadable : EndSearch::Missing;
}

Archive::Archive(platform::File owned, platform::FileHandle file)
    : owned_(std::move(owned)), file_(file) {}

Archive::~Archive() = default;

std::unique_ptr<Archive> Archive::open(const char *path, bool *zip64Unreadable) {
    platform::File file(platform::openFileA(path, platform::FileAccess::Read,
                                            platform::FileShare::Read,
                                            platform::FileDisposition::OpenExisting));
    if (!file)
        return nullptr;
    const platform::FileHandle handle = file.get();
    return start(std::move(file), handle, zip64Unreadable);
}

std::unique_ptr<Archive> Archive::open(platform::FileHandle file, bool *zip64Unreadable) {
    if (!file) {
        platform::setLastError(platform::error::InvalidHandle);
        return nullptr;
    }
    return start(nullptr, file, zip64Unreadable);
}

std::unique_ptr<Archive> Archive::start(platform::File owned, platform::FileHandle file,
                                        bool *zip64Unreadable) {
    std::unique_ptr<Archive> archive(new Archive(std::move(owned), file));
    EndRecord end;
    const EndSearch search = findEndRecord(archive->file_, end);
    if (zip64Unreadable)
        *zip64Unreadable = search == EndSearch::Zip64Unreadable;
    if (search != EndSearch::Found)
        return nullptr;
    archive->entryCount_ = end.entryCount;
    archive->centralOffset_ = end.centralOffset;
    archive->centralEnd_ = end.centralEnd;
    archive->endRecords_ = end.endRecords;
    archive->bytesBefore_ = end.bytesBefore;
    archive->collectLocalOffsets();
    return archive;
}

bool Archive::readCentralRecord() {
    unsigned char bytes[CentralRecordSize];
    const uint64_t at = currentRecordPos_ + bytesBefore_;
    if (!readCached(centralCache_, at, bytes, CentralRecordSize) ||
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
    record_.zip64Missing = false;
    if (!takeZip64Values(bytes))
        return false;
    recordName_.clear();
    if (record_.nameLength > MaxName)
        return true;
    char name[MaxName];
    if (!readCached(centralCache_, at + CentralRecordSize, name, record_.nameLength))
        return false;
    recordName_.assign(name, record_.nameLength);
    return true;
}

// A size or offset of all ones stands for the 8-byte value in the extra
// field's ZIP64 block, which holds only the values so marked, in this order.
// False when the extra field cannot be read; a missing value is noted in
// zip64Missing (the entry cannot be read, the walk goes on).
bool Archive::takeZip64Values(const unsigned char *bytes) {
    uint64_t *const fields[] = {&record_.size, &record_.compressedSize, &record_.localHeaderOffset};
    bool marked = get16(bytes + 34) == 0xFFFF;
    for (uint64_t *field : fields)
        marked = marked || *field == Zip64Marker;
    if (!marked)
        return true;
    recordExtra_.resize(record_.extraLength);
    if (!readCached(centralCache_,
                    currentRecordPos_ + bytesBefore_ + CentralRecordSize + record_.nameLength,
                    recordExtra_.data(), record_.extraLength))
        return false;
    std::size_t at = 0, end = 0;
    if (!findExtraBlock(recordExtra_, Zip64ExtraId, at, end)) {
        record_.zip64Missing = true;
        return true;
    }
    for (uint64_t *field : fields) {
        if (*field != Zip64Marker)
            continue;
        if (at + 8 > end) {
            record_.zip64Missing = true;
            return true;
        }
        *field = get64(&recordExtra_[at]);
        at += 8;
    }
    return true;
}

bool Archive::walkTo(int32_t index) {
    if (index < currentNumber_ || !currentRecordValid_) {
        currentNumber_ = 0;
        currentRecordPos_ = centralOffset_;
        currentRecordValid_ = entryCount_ > 0 && readCentralRecord();
    }
    while (currentRecordValid_ && currentNumber_ < index) {
        ++currentNumber_;
        currentRecordPos_ +=
            CentralRecordSize + record_.nameLength + record_.extraLength + record_.commentLength;
        currentRecordValid_ = readCentralRecord();
    }
    return currentRecordValid_;
}

// One walk over the central directory at open, so that each entry can be
// bounded by the next local header: several records pointing at one header,
// or data running into another entry, make a few bytes of archive inflate
// into many entries' worth (a known amplification).
void Archive::collectLocalOffsets() {
    localOffsets_.reserve(static_cast<std::size_t>(
        std::min<uint64_t>(entryCount_, (centralEnd_ - centralOffset_) / CentralRecordSize)));
    for (int32_t i = 0; i < entryCount_ && walkTo(i); ++i)
        localOffsets_.push_back(record_.localHeaderOffset);
    std::sort(localOffsets_.begin(), localOffsets_.end());
    walkTo(0);
}

// Where an entry whose local header is at offset must end at the latest;
// shared when another entry names the same header.
uint64_t Archive::limitOf(uint64_t offset, bool &shared) const {
    const auto first = std::lower_bound(localOffsets_.begin(), localOffsets_.end(), offset);
    const auto next = std::upper_bound(first, localOffsets_.end(), offset);
    shared = next - first > 1;
    if (offset >= centralOffset_ && offset < centralEnd_)
        return 0; // a header inside the central directory
    uint64_t limit = offset < centralOffset_ ? centralOffset_ : endRecords_;
    if (next != localOffsets_.end())
        limit = std::min(limit, *next);
    return limit;
}

int Archive::checkLocalHeader() {
    unsigned char bytes[LocalHeaderSize];
    const uint64_t header = record_.localHeaderOffset;
    if (!readLocal(header, bytes, LocalHeaderSize))
        return lowcode::ReadError;
    const uint16_t flags = get16(bytes + 6);
    const uint16_t method = get16(bytes + 8);
    const uint16_t nameLength = get16(bytes + 26);
    const uint16_t extraLength = get16(bytes + 28);
    // Which methods the reader decodes is the description's to say; here
    // the two headers only have to agree.
    if (get32(bytes) != LocalSignature || method != record_.method ||
        nameLength != record_.nameLength)
        return lowcode::BadStructure;
    const uint64_t extraPos = header + LocalHeaderSize + nameLength;
    // Sizes and CRC may follow the data in a descriptor (flag bit 3); the
    // central record always has them.
    if ((flags & 0x08) == 0) {
        uint64_t compressedSize = get32(bytes + 18);
        uint64_t size = get32(bytes + 22);
        if (compressedSize == Zip64Marker || size == Zip64Marker) {
            // Here the ZIP64 block carries both sizes, whichever is marked.
            std::vector<unsigned char> extra(extraLength);
            std::size_t at = 0, end = 0;
            if (!readLocal(extraPos, extra.data(), extraLength))
                return lowcode::ReadError;
            if (!findExtraBlock(extra, Zip64ExtraId, at, end) || end - at < 16)
                return lowcode::BadStructure;
            size = get64(&extra[at]);
            compressedSize = get64(&extra[at + 8]);
        }
        if (get32(bytes + 14) != record_.crc || compressedSize != record_.compressedSize ||
            size != record_.size)
            return lowcode::BadStructure;
    }
    location_.extraPos = extraPos;
    location_.extraLength = extraLength;
    location_.dataPos = extraPos + extraLength;
    location_.flags = flags;
    location_.method = method;
    location_.dosTime = record_.dosTime;
    location_.crc = record_.crc;
    location_.compressedSize = record_.compressedSize;
    location_.size = record_.size;
    bool shared = false;
    const uint64_t limit = limitOf(header, shared);
    if (shared || location_.dataPos > limit || record_.compressedSize > limit - location_.dataPos)
        return lowcode::Overlap;
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

} // namespace zip
