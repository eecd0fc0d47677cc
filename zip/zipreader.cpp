#include "zipreader.h"

#include "ziparchive.h"
#include "zipdelta.h"
#include "zipentrydata.h"
#include "zipnames.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

using namespace zipresult;
using zip::MaxName;

namespace {

constexpr uint16_t Utf8NameFlag = 0x0800;
// "~zx" and four hex digits; shorter when the target's own name is shorter,
// so that the temporary file fits wherever the target does.
constexpr std::size_t TemporaryNameLength = 7;
constexpr int TemporaryAttempts = 64;
// Deflated entries up to this size are read and decoded in one piece (with
// libdeflate, about twice as fast as zlib); larger ones stream through zlib.
// Both buffers of the one-piece path stay within this each, so that the
// reader never holds much more than twice this.
constexpr uint64_t WholeEntryLimit = 4u << 20;
// Entries beyond that limit stream in blocks of this size, in two buffers
// that live only while such an entry is written: zlib copies the last 32 KB
// of its output into its window after every call, an eighth more work on
// blocks of 256 KB, a thirtieth on these.
constexpr uint32_t OverlappedBlockSize = 1u << 20;
// What all readers of the process together keep for entries in one piece:
// with readers on several threads, those beyond it stream, so that memory
// stays bounded whatever the number of threads. Room is left beside it for
// two readers that each stream an entry beyond the limit.
constexpr uint64_t OnePieceBudget = 8u << 20;
std::atomic<uint64_t> onePieceInUse{0};

// The temporary name of that length for a number: "~zx" and four hex
// digits; shorter, "~" and base-36 digits; of one byte, "~" and then each
// digit alone.
std::string temporaryName(std::size_t length, uint32_t number) {
    static const char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    if (length >= TemporaryNameLength) {
        char name[TemporaryNameLength + 1];
        std::snprintf(name, sizeof name, "~zx%04X", number & 0xFFFF);
        return name;
    }
    if (length <= 1)
        return std::string(1, number == 0 ? '~' : digits[(number - 1) % 36]);
    std::string name(length, '~');
    for (std::size_t at = length - 1; at > 0; --at, number /= 36)
        name[at] = digits[number % 36];
    return name;
}

uint32_t clamped(uint64_t size) {
    return static_cast<uint32_t>(std::min<uint64_t>(size, 0xFFFFFFFF));
}

ZipResult readerOf(ZipHandle handle, ZipReader *&reader) {
    if (!handle)
        return BadArgument;
    if (handle->kind != ZipReaderKind)
        return NotReader;
    reader = handle->reader;
    return reader ? Ok : BadArgument;
}

std::string withSeparator(std::string folder) {
    if (zip::afterLastSeparator(folder) != folder.size())
        folder += '/';
    return folder;
}

uint32_t attributesOf(const zip::CentralRecord &record) {
    const unsigned host = record.versionMadeBy >> 8;
    const uint32_t external = record.externalAttributes;
    if (host == 0 || host == 7 || host == 11 || host == 14) // FAT, Macintosh, NTFS, VFAT
        return external & (platform::attribute::ReadOnly | platform::attribute::Hidden |
                           platform::attribute::System | platform::attribute::Directory |
                           platform::attribute::Archive);
    // Elsewhere the high 16 bits hold a Unix mode: 0x40000000 is S_IFDIR,
    // 0x00800000 the owner's write permission.
    uint32_t attributes = platform::attribute::Archive;
    if (external & 0x40000000)
        attributes |= platform::attribute::Directory;
    if (!(external & 0x00800000))
        attributes |= platform::attribute::ReadOnly;
    return attributes;
}

uint64_t fileTimeOfDos(uint32_t dos) {
    const platform::CalendarTime local{static_cast<int>(1980 + (dos >> 25)),
                                       static_cast<int>((dos >> 21) & 0x0F),
                                       static_cast<int>((dos >> 16) & 0x1F),
                                       static_cast<int>((dos >> 11) & 0x1F),
                                       static_cast<int>((dos >> 5) & 0x3F),
                                       static_cast<int>(2 * (dos & 0x1F)),
                                       0};
    uint64_t fileTime = 0;
    // An impossible date keeps 0, which leaves the file's own time alone.
    if (!platform::localTimeToFileTime(local, fileTime))
        return 0;
    return fileTime;
}

uint64_t fileTimeOfUnix(uint32_t stored) {
    const int64_t seconds = static_cast<int32_t>(stored);
    return static_cast<uint64_t>((seconds + 11644473600LL) * 10000000LL);
}

// The "UT" block of the local extra field carries Unix times, more precise
// than the DOS time and not bound to a time zone: the modification time, then
// the access and creation times, each when its flag says so.
void readUnixTimes(const std::vector<unsigned char> &extra, ZipEntryInfo &info) {
    std::size_t p = 0;
    while (p + 4 < extra.size()) {
        const uint16_t id = zip::get16(&extra[p]);
        const uint16_t size = zip::get16(&extra[p + 2]);
        if (id != 0x5455) {
            p += 4 + static_cast<std::size_t>(size);
            continue;
        }
        const std::size_t end = std::min(extra.size(), p + 4 + size);
        const unsigned char flags = extra[p + 4];
        std::size_t q = p + 5;
        const struct {
            uint64_t *time;
            unsigned flag;
        } fields[] = {{&info.writeTime, 1}, {&info.accessTime, 2}, {&info.createTime, 4}};
        for (const auto &field : fields) {
            if (!(flags & field.flag))
                continue;
            if (q + 4 > end)
                return;
            *field.time = fileTimeOfUnix(zip::get32(&extra[q]));
            q += 4;
        }
        return;
    }
}

// What a failed read of entry data means.
ZipResult failureOf(int code) {
    if (code == zip::lowcode::WrongCheckByte)
        return WrongPassword;
    return code == zip::lowcode::MemoryBound ? BeyondMemoryBound : DataError;
}

// Larger writes go out in pieces of this size. The page cache takes larger
// folios for larger writes, and on a virtual machine that hands its free
// memory back to the host, those cost far more than the copy itself: after
// another program's 2 GB output was removed, 2 GB written in 1 MiB pieces
// took 2.1 s of system time there, in 256 KiB pieces 1.3 to 1.7 s, in
// 64 KiB pieces 0.45 s.
constexpr uint32_t WriteSlice = 64u << 10;

bool writeInSlices(platform::FileHandle file, const unsigned char *data, uint32_t size) {
    for (uint32_t done = 0; done < size;) {
        const uint32_t slice = std::min(size - done, WriteSlice);
        if (!platform::writeFile(file, data + done, slice))
            return false;
        done += slice;
    }
    return true;
}

// Writes the blocks of one file on a thread of its own, so that writing a
// block overlaps decoding the next: on an entry of gigabytes the two take
// about as long as each other. One block is written at a time, in the order
// handed over; after a failed write the rest are dropped.
class BlockWriter {
public:
    explicit BlockWriter(platform::FileHandle file) : file_(file), thread_([this] { run(); }) {}
    ~BlockWriter() { finish(); }
    BlockWriter(const BlockWriter &) = delete;
    BlockWriter &operator=(const BlockWriter &) = delete;

    // Hands over size bytes at data once the block before is written; data
    // must stay untouched until the next hand-over returns.
    void write(const unsigned char *data, uint32_t size) {
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [this] { return !pending_ && !busy_; });
        pending_ = data;
        pendingSize_ = size;
        work_.notify_one();
    }
    bool failed() {
        std::lock_guard<std::mutex> lock(mutex_);
        return failed_;
    }
    // Waits for the last block and ends the thread; false when a write
    // failed, with its error as this thread's last error.
    bool finish() {
        if (!thread_.joinable())
            return !failed_;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            idle_.wait(lock, [this] { return !pending_ && !busy_; });
            stop_ = true;
            work_.notify_one();
        }
        thread_.join();
        if (failed_)
            platform::setLastError(error_);
        return !failed_;
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            work_.wait(lock, [this] { return pending_ || stop_; });
            if (!pending_)
                return;
            const unsigned char *data = pending_;
            const uint32_t size = pendingSize_;
            pending_ = nullptr;
            busy_ = true;
            const bool skip = failed_;
            lock.unlock();
            const bool written = skip || writeInSlices(file_, data, size);
            const uint32_t error = written ? 0 : platform::lastError();
            lock.lock();
            if (!written) {
                failed_ = true;
                error_ = error;
            }
            busy_ = false;
            idle_.notify_one();
        }
    }

    platform::FileHandle file_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable idle_;
    const unsigned char *pending_ = nullptr;
    uint32_t pendingSize_ = 0;
    bool busy_ = false;
    bool stop_ = false;
    bool failed_ = false;
    uint32_t error_ = 0;
    std::thread thread_;
};

// The name an entry is made under: in the 8-bit code page where the archive
// stores UTF-8, cleaned of what would lead out of the target, and checked.
ZipResult entryName(std::string name, uint16_t flags, uint32_t attributes, std::string &made) {
    if (flags & Utf8NameFlag) {
        std::string local;
        if (!platform::utf8ToLocal8Bit(name, local))
            return Unrepresentable;
        name = std::move(local);
    }
    if (name.size() > MaxName)
        return NameTooLong;
    const bool folder = !name.empty() && zip::isSeparator(name.back());
    made = zip::sanitiseName(name);
    if (made.empty()) {
        // "./" as bsdtar stores it: the base folder, nothing to make. A file
        // cannot be the base folder.
        if (!folder && !(attributes & platform::attribute::Directory))
            return UnsafeName;
        made = "./";
        return Ok;
    }
    return zip::checkName(made);
}

} // namespace

ZipReader::ZipReader() : cachedInfo_{} {}

ZipReader::~ZipReader() {
    onePieceInUse -= onePieceHeld_;
}

// Takes needed bytes of the process's one-piece budget for this reader
// (what it holds already counts); false when they are not to be had.
bool ZipReader::reserveOnePiece(uint64_t needed) {
    if (needed <= onePieceHeld_)
        return true;
    uint64_t inUse = onePieceInUse.load();
    do {
        if (inUse + (needed - onePieceHeld_) > OnePieceBudget)
            return false;
    } while (!onePieceInUse.compare_exchange_weak(inUse, inUse + (needed - onePieceHeld_)));
    onePieceHeld_ = needed;
    return true;
}

ZipHandle ZipReader::open(const char *path, ZipResult *result) {
    if (!path || !*path) {
        if (result)
            *result = BadArgument;
        return nullptr;
    }
    bool zip64Unreadable = false;
    std::unique_ptr<zip::Archive> archive = zip::Archive::open(path, &zip64Unreadable);
    return start(std::move(archive), zip64Unreadable, result);
}

ZipHandle ZipReader::openHeld(platform::FileHandle file, ZipResult *result) {
    if (!file) {
        if (result)
            *result = BadArgument;
        return nullptr;
    }
    bool zip64Unreadable = false;
    std::unique_ptr<zip::Archive> archive = zip::Archive::open(file, &zip64Unreadable);
    return start(std::move(archive), zip64Unreadable, result);
}

ZipHandle ZipReader::start(std::unique_ptr<zip::Archive> archive, bool zip64Unreadable,
                           ZipResult *result) {
    ZipHandle handle = nullptr;
    if (archive) {
        std::unique_ptr<ZipReader> reader(new ZipReader);
        // Without a current folder there is no base folder until one is set
        // ("" + "/" would be the root).
        const std::string current = platform::currentDirectoryA();
        if (!current.empty())
            reader->baseFolder_ = withSeparator(current);
        reader->archive_ = std::move(archive);
        reader->entryData_.reset(new zip::EntryData(*reader->archive_));
        handle = new ZipHandleData{ZipReaderKind, reader.release()};
    }
    if (result)
        *result = handle ? Ok : zip64Unreadable ? Unsupported : CannotCreate;
    return handle;
}

ZipResult ZipReader::setBaseFolder(ZipHandle handle, const char *folder) {
    ZipReader *reader = nullptr;
    if (const ZipResult result = readerOf(handle, reader))
        return result;
    if (!folder || !*folder)
        return BadArgument;
    std::string base = withSeparator(folder);
    if (base.size() > MaxName)
        return NameTooLong;
    reader->baseFolder_ = std::move(base);
    reader->base_ = nullptr;
    reader->levels_.reset(nullptr);
    reader->ownedBase_.reset();
    return Ok;
}

ZipResult ZipReader::setBaseFolder(ZipHandle handle, platform::FolderHandle folder,
                                   const char *path) {
    if (const ZipResult result = setBaseFolder(handle, path))
        return result;
    if (!folder)
        return BadArgument;
    handle->reader->base_ = folder;
    handle->reader->levels_.reset(folder);
    return Ok;
}

ZipResult ZipReader::setReferenceFolder(ZipHandle handle, platform::FolderHandle folder) {
    ZipReader *reader = nullptr;
    if (const ZipResult result = readerOf(handle, reader))
        return result;
    reader->reference_ = folder;
    reader->cachedIndex_ = -1; // a delta entry described without one was refused
    return Ok;
}

uint16_t ZipReader::entryMethod(ZipHandle handle, int32_t index) {
    ZipReader *reader = nullptr;
    ZipEntryInfo info;
    if (readerOf(handle, reader) != Ok || index < 0 || reader->describe(index, info) != Ok)
        return 0xFFFF;
    return reader->archive_->location().method;
}

ZipResult ZipReader::checkBase(ZipHandle handle, int32_t index) {
    ZipReader *reader = nullptr;
    if (const ZipResult result = readerOf(handle, reader))
        return result;
    ZipEntryInfo info;
    if (index < 0)
        return BadArgument;
    if (const ZipResult result = reader->describe(index, info))
        return result;
    if (reader->archive_->location().method != zip::DeltaMethod)
        return Ok;
    platform::File file;
    zip::DeltaBase base;
    if (const ZipResult result = reader->findBase(info, file, base))
        return result;
    return zip::checkBaseHash(file.get(), base);
}

ZipResult ZipReader::entryInfo(ZipHandle handle, int32_t index, ZipEntryInfo &info) {
    ZipReader *reader = nullptr;
    if (const ZipResult result = readerOf(handle, reader))
        return result;
    return reader->describe(index, info);
}

ZipResult ZipReader::extractEntry(ZipHandle handle, int32_t index, const char *target) {
    ZipReader *reader = nullptr;
    if (const ZipResult result = readerOf(handle, reader))
        return result;
    if (!target)
        return BadArgument;
    return reader->extract(index, target);
}

ZipResult ZipReader::setStagingWrites(ZipHandle handle, bool flushEachFile) {
    ZipReader *reader = nullptr;
    if (const ZipResult result = readerOf(handle, reader))
        return result;
    reader->writeInPlace_ = true;
    reader->flushFiles_ = flushEachFile;
    return Ok;
}

ZipResult ZipReader::close(ZipHandle handle) {
    ZipReader *reader = nullptr;
    if (const ZipResult result = readerOf(handle, reader))
        return result;
    delete reader;
    delete handle;
    return Ok;
}

ZipResult ZipReader::describe(int32_t index, ZipEntryInfo &info) {
    const int32_t count = archive_->entryCount();
    if (index < -1 || index >= count)
        return BadArgument;
    if (index == -1) {
        info = ZipEntryInfo{};
        info.index = count;
        return Ok;
    }
    if (index == cachedIndex_) {
        info = cachedInfo_;
        return Ok;
    }
    // The archive's idea of the current entry changes from here on.
    cachedIndex_ = -1;
    if (!archive_->walkTo(index))
        return CentralUnreadable;
    const zip::CentralRecord &record = archive_->record();
    if (record.nameLength > MaxName)
        return NameTooLong;
    const bool decodable = record.method == 0 || record.method == 8 ||
                           record.method == zip::ZstdMethod ||
                           (record.method == zip::DeltaMethod && reference_);
    if (!decodable || record.zip64Missing)
        return Unsupported;
    if (const int check = archive_->checkLocalHeader())
        return check == zip::lowcode::Overlap ? Overlapping : HeaderMismatch;
    const zip::EntryLocation &location = archive_->location();
    std::vector<unsigned char> extra(location.extraLength);
    if (!archive_->readLocal(location.extraPos, extra.data(), location.extraLength))
        return ExtraUnreadable;

    const uint32_t attributes = attributesOf(record);
    std::string name;
    if (const ZipResult result = entryName(archive_->recordName(), record.flags, attributes, name))
        return result;

    info = ZipEntryInfo{};
    info.index = index;
    std::memcpy(info.name, name.c_str(), name.size() + 1);
    info.attributes = attributes;
    info.compressedSize = clamped(record.compressedSize);
    info.size = clamped(record.size);
    info.compressedSize64 = record.compressedSize;
    info.size64 = record.size;
    info.writeTime = info.accessTime = info.createTime = fileTimeOfDos(record.dosTime);
    readUnixTimes(extra, info);
    cachedInfo_ = info;
    cachedIndex_ = index;
    return Ok;
}

ZipResult ZipReader::extract(int32_t index, const std::string &requested) {
    if (index < 0 || index >= archive_->entryCount())
        return BadArgument;
    ZipEntryInfo info;
    if (const ZipResult result = describe(index, info))
        return result;
    // "./" and "." parts name the base folder or the folder they are in.
    const std::string target = zip::withoutDotParts(requested);
    if (!target.empty() || requested.empty())
        if (const ZipResult result = zip::checkName(target))
            return result;
    if (baseFolder_.empty())
        return BadArgument;
    if (baseFolder_.size() + target.size() > MaxName)
        return NameTooLong;
    const std::size_t split = zip::afterLastSeparator(target);
    const bool folderEntry =
        (info.attributes & platform::attribute::Directory) || split == target.size();
    platform::FolderHandle folder = nullptr;
    if (const ZipResult result =
            ensureFolder(folderEntry ? target : target.substr(0, split), folder))
        return result;
    if (folderEntry)
        return Ok;
    return extractFile(folder, target.substr(0, split), target.substr(split), info);
}

ZipResult ZipReader::extractFile(platform::FolderHandle folder, const std::string &folderPart,
                                 const std::string &name, const ZipEntryInfo &info) {
    // Everything but read-only goes on at creation; read-only comes last: a
    // read-only temporary file could not be written, nor removed again after
    // a failure.
    const uint32_t attributes = info.attributes & ~platform::attribute::Directory;
    const bool readOnly = (attributes & platform::attribute::ReadOnly) != 0;
    platform::FileHandle file = nullptr;
    // The target itself when written in place, else a temporary file beside it.
    std::string temporary;
    ZipResult result =
        createFile(folder, name, attributes & ~platform::attribute::ReadOnly, file, temporary);
    if (result == CannotCreate && (platform::lastError() == platform::error::FileNotFound ||
                                   platform::lastError() == platform::error::PathNotFound)) {
        // Somebody removed the folder since it was made for an earlier entry.
        levels_.reset(base_);
        result = ensureFolder(folderPart, folder);
        if (result == Ok)
            result = createFile(folder, name, attributes & ~platform::attribute::ReadOnly, file,
                                temporary);
    }
    if (result != Ok)
        return result;
    result = pump(file, info);
    if (result == Ok)
        platform::setFileTimes(file, info.createTime, info.accessTime, info.writeTime);
    if (result == Ok && flushFiles_ && !platform::flushFile(file))
        result = WriteFailed;
    platform::closeFile(file);
    bool marked = false;
    if (result == Ok) {
        marked = readOnly && platform::setAttributesAt(folder, temporary.c_str(), attributes);
        if ((readOnly && !marked) ||
            (temporary != name &&
             !platform::moveAt(folder, temporary.c_str(), folder, name.c_str(), true)))
            result = CannotCreate;
    }
    if (result != Ok) {
        // The driver reports the error of the failure, not of the clean-up.
        const uint32_t error = platform::lastError();
        if (marked)
            platform::setAttributesAt(folder, temporary.c_str(),
                                      attributes & ~platform::attribute::ReadOnly);
        platform::deleteAt(folder, temporary.c_str());
        platform::setLastError(error);
    }
    return result;
}

// A deflated entry that fits is read and decoded in one piece and written in
// one call; anything else, or an entry whose data one-piece decoding finds
// wanting, streams (the stream decides, so that both ways give one result).
ZipResult ZipReader::pump(platform::FileHandle file, const ZipEntryInfo &info) {
    const zip::EntryLocation &location = archive_->location();
    if (location.method == zip::ZstdMethod || location.method == zip::DeltaMethod)
        return pumpZstd(file, info);
    if (location.method == 8 && info.size64 > 0 && info.size64 <= WholeEntryLimit &&
        info.compressedSize64 <= WholeEntryLimit &&
        reserveOnePiece(std::max<uint64_t>(info.size64, zip::StreamBlockSize) +
                        info.compressedSize64)) {
        if (extractBuffer_.size() < info.size64)
            extractBuffer_.resize(static_cast<std::size_t>(info.size64));
        entryData_->begin(location);
        const int got = entryData_->readWhole(extractBuffer_.data());
        if (got == zip::lowcode::WrongCheckByte)
            return WrongPassword;
        if (got == zip::lowcode::ReadError)
            return DataError;
        if (got > 0) {
            if (!writeInSlices(file, extractBuffer_.data(), static_cast<uint32_t>(got)))
                return WriteFailed;
            return entryData_->finish() == zip::lowcode::CrcMismatch ? CrcMismatch : Ok;
        }
    }
    return stream(file, info.size64);
}

ZipResult ZipReader::stream(platform::FileHandle file, uint64_t size) {
    entryData_->begin(archive_->location());
    if (extractBuffer_.size() < zip::StreamBlockSize)
        extractBuffer_.resize(zip::StreamBlockSize);
    // A thread costs more than it saves on an entry of a few blocks.
    if (size > WholeEntryLimit)
        return streamOverlapped(file);
    for (;;) {
        bool end = false;
        const int got = entryData_->read(extractBuffer_.data(), zip::StreamBlockSize, end);
        if (got < 0)
            return failureOf(got);
        if (got > 0 && !writeInSlices(file, extractBuffer_.data(), static_cast<uint32_t>(got)))
            return WriteFailed;
        if (end)
            break;
        if (got == 0)
            return DataError;
    }
    return entryData_->finish() == zip::lowcode::CrcMismatch ? CrcMismatch : Ok;
}

// As above, with the writes on a second thread and two buffers taking turns;
// a failed write still wins over what decoding finds after it.
ZipResult ZipReader::streamOverlapped(platform::FileHandle file) {
    const std::unique_ptr<unsigned char[]> blocks(new unsigned char[2 * OverlappedBlockSize]);
    unsigned char *buffers[2] = {blocks.get(), blocks.get() + OverlappedBlockSize};
    BlockWriter writer(file);
    ZipResult result = Ok;
    for (int turn = 0;; turn ^= 1) {
        bool end = false;
        const int got = entryData_->read(buffers[turn], OverlappedBlockSize, end);
        if (got < 0) {
            result = failureOf(got);
            break;
        }
        if (got > 0)
            writer.write(buffers[turn], static_cast<uint32_t>(got));
        if (end || writer.failed())
            break;
        if (got == 0) {
            result = DataError;
            break;
        }
    }
    if (!writer.finish())
        return WriteFailed;
    if (result != Ok)
        return result;
    return entryData_->finish() == zip::lowcode::CrcMismatch ? CrcMismatch : Ok;
}

ZipResult ZipReader::createFile(platform::FolderHandle folder, const std::string &name,
                                uint32_t attributes, platform::FileHandle &file,
                                std::string &written) {
    if (writeInPlace_) {
        written = name;
        file = platform::openFileAt(folder, name.c_str(), platform::FileAccess::Write,
                                    platform::FileShare::None, platform::FileDisposition::CreateNew,
                                    attributes);
        if (file)
            return Ok;
        if (platform::lastError() != platform::error::FileExists)
            return CannotCreate;
        // A name the archive gives twice: the later entry takes the earlier
        // one's place, as anywhere else.
    }
    return createTemporary(folder, name.size(), attributes, file, written);
}

// The temporary file's name is never longer than room (the target's own
// name), so that it fits wherever the target does.
ZipResult ZipReader::createTemporary(platform::FolderHandle folder, std::size_t room,
                                     uint32_t attributes, platform::FileHandle &file,
                                     std::string &temporary) {
    const std::size_t length = std::min(room, TemporaryNameLength);
    for (int attempt = 0; attempt < TemporaryAttempts; ++attempt) {
        temporary = temporaryName(length, temporaryNumber_);
        file = platform::openFileAt(folder, temporary.c_str(), platform::FileAccess::Write,
                                    platform::FileShare::None, platform::FileDisposition::CreateNew,
                                    attributes);
        if (file)
            return Ok;
        if (platform::lastError() != platform::error::FileExists)
            break;
        // Left over by a run that was killed, or taken by another reader in
        // the same folder: take the next name.
        ++temporaryNumber_;
    }
    return CannotCreate;
}

// The base folder, opened (and made, one level) by the first extraction
// when the caller gave only its path. It may be reached through a link: the
// caller chose it.
ZipResult ZipReader::openBase() {
    if (base_)
        return Ok;
    std::string path = baseFolder_;
    if (path.size() > 1)
        path.pop_back(); // its separator
    ownedBase_.reset(platform::openFolderA(path.c_str(), true));
    if (!ownedBase_ && platform::lastError() == platform::error::FileNotFound &&
        (platform::createDirectoryA(path.c_str()) ||
         platform::lastError() == platform::error::AlreadyExists))
        ownedBase_.reset(platform::openFolderA(path.c_str(), true));
    if (!ownedBase_)
        return CannotCreate;
    base_ = ownedBase_.get();
    levels_.reset(base_);
    return Ok;
}

// Holds the folder relative (a name below the base folder, "" for the base
// itself) open in folder, making what is missing. Each level is opened from
// the one above it and never through a link: a link among them ends the
// extraction, whatever it points to.
ZipResult ZipReader::ensureFolder(const std::string &relative, platform::FolderHandle &folder) {
    if (const ZipResult result = openBase())
        return result;
    folder = levels_.reach(relative, platform::FolderAccess::Inherited);
    if (folder)
        return Ok;
    return platform::lastError() == platform::error::StoppedOnSymlink ? LinkInPath : CannotCreate;
}
