#include "zipreader.h"

#include "ziparchive.h"
#include "zipentrydata.h"
#include "zipnames.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

using namespace zipresult;
using zip::MaxName;

namespace {

constexpr uint16_t Utf8NameFlag = 0x0800;
constexpr uint32_t Zip64Marker = 0xFFFFFFFF;
// "~zx" and four hex digits: short, so that a temporary file fits wherever a
// target with a name of its own does.
constexpr std::size_t TemporaryNameLength = 7;
constexpr int TemporaryAttempts = 64;

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

} // namespace

ZipReader::ZipReader() : cachedInfo_{} {}

ZipReader::~ZipReader() = default;

ZipHandle ZipReader::open(const char *path, ZipResult *result) {
    ZipResult outcome = Ok;
    ZipHandle handle = nullptr;
    if (!path || !*path) {
        outcome = BadArgument;
    } else {
        std::unique_ptr<ZipReader> reader(new ZipReader);
        // Without a current folder there is no base folder until one is set
        // ("" + "/" would be the root).
        const std::string current = platform::currentDirectoryA();
        if (!current.empty())
            reader->baseFolder_ = withSeparator(current);
        reader->archive_ = zip::Archive::open(path);
        if (reader->archive_) {
            reader->entryData_.reset(new zip::EntryData(*reader->archive_));
            handle = new ZipHandleData{ZipReaderKind, reader.release()};
        } else {
            outcome = CannotCreate;
        }
    }
    if (result)
        *result = outcome;
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
    reader->lastFolder_.clear();
    return Ok;
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
    if ((record.method != 0 && record.method != 8) || record.compressedSize == Zip64Marker ||
        record.size == Zip64Marker || record.localHeaderOffset == Zip64Marker)
        return Unsupported;
    if (archive_->checkLocalHeader() != 0)
        return HeaderMismatch;
    const zip::EntryLocation &location = archive_->location();
    std::vector<unsigned char> extra(location.extraLength);
    if (!archive_->readLocal(location.extraPos, extra.data(), location.extraLength))
        return ExtraUnreadable;

    std::string name = archive_->recordName();
    if (record.flags & Utf8NameFlag) {
        std::string local;
        if (!platform::utf8ToLocal8Bit(name, local))
            return Unrepresentable;
        name = std::move(local);
    }
    if (name.size() > MaxName)
        return NameTooLong;
    name = zip::sanitiseName(name);
    if (const ZipResult result = zip::checkName(name))
        return result;

    info = ZipEntryInfo{};
    info.index = index;
    std::memcpy(info.name, name.c_str(), name.size() + 1);
    info.attributes = attributesOf(record);
    info.compressedSize = record.compressedSize;
    info.size = record.size;
    info.writeTime = info.accessTime = info.createTime = fileTimeOfDos(record.dosTime);
    readUnixTimes(extra, info);
    cachedInfo_ = info;
    cachedIndex_ = index;
    return Ok;
}

ZipResult ZipReader::extract(int32_t index, const std::string &target) {
    if (index < 0 || index >= archive_->entryCount())
        return BadArgument;
    ZipEntryInfo info;
    if (const ZipResult result = describe(index, info))
        return result;
    if (const ZipResult result = zip::checkName(target))
        return result;
    if (baseFolder_.empty())
        return BadArgument;
    const std::string path = baseFolder_ + target;
    if (path.size() > MaxName)
        return NameTooLong;
    const std::size_t split = zip::afterLastSeparator(path);
    if ((info.attributes & platform::attribute::Directory) || split == path.size())
        return ensureFolder(withSeparator(path)) ? Ok : CannotCreate;
    return extractFile(path.substr(0, split), path, info);
}

ZipResult ZipReader::extractFile(const std::string &folder, const std::string &path,
                                 const ZipEntryInfo &info) {
    if (!ensureFolder(folder))
        return CannotCreate;
    // Everything but read-only goes on at creation; read-only comes last: a
    // read-only temporary file could not be written, nor removed again after
    // a failure.
    const uint32_t attributes = info.attributes & ~platform::attribute::Directory;
    const bool readOnly = (attributes & platform::attribute::ReadOnly) != 0;
    platform::FileHandle file = nullptr;
    std::string temporary;
    ZipResult result =
        createTemporary(folder, attributes & ~platform::attribute::ReadOnly, file, temporary);
    if (result == CannotCreate && platform::lastError() == platform::error::PathNotFound) {
        // Somebody removed the folder since it was made for an earlier entry.
        lastFolder_.clear();
        if (ensureFolder(folder))
            result = createTemporary(folder, attributes & ~platform::attribute::ReadOnly, file,
                                     temporary);
    }
    if (result != Ok)
        return result;
    result = pump(file);
    if (result == Ok)
        platform::setFileTimes(file, info.createTime, info.accessTime, info.writeTime);
    platform::closeFile(file);
    bool marked = false;
    if (result == Ok) {
        marked = readOnly && platform::setFileAttributesA(temporary.c_str(), attributes);
        if ((readOnly && !marked) || !platform::replaceFileA(temporary.c_str(), path.c_str()))
            result = CannotCreate;
    }
    if (result != Ok) {
        // The driver reports the error of the failure, not of the clean-up.
        const uint32_t error = platform::lastError();
        if (marked)
            platform::setFileAttributesA(temporary.c_str(),
                                         attributes & ~platform::attribute::ReadOnly);
        platform::deleteFileA(temporary.c_str());
        platform::setLastError(error);
    }
    return result;
}

ZipResult ZipReader::pump(platform::FileHandle file) {
    entryData_->begin(archive_->location());
    if (!extractBuffer_)
        extractBuffer_.reset(new unsigned char[zip::BlockSize]);
    for (;;) {
        bool end = false;
        const int got = entryData_->read(extractBuffer_.get(), zip::BlockSize, end);
        if (got == zip::lowcode::WrongCheckByte)
            return WrongPassword;
        if (got < 0)
            return DataError;
        if (got > 0 && !platform::writeFile(file, extractBuffer_.get(), static_cast<uint32_t>(got)))
            return WriteFailed;
        if (end)
            break;
        if (got == 0)
            return DataError;
    }
    return entryData_->finish() == zip::lowcode::CrcMismatch ? CrcMismatch : Ok;
}

ZipResult ZipReader::createTemporary(const std::string &folder, uint32_t attributes,
                                     platform::FileHandle &file, std::string &temporary) {
    if (folder.size() + TemporaryNameLength > MaxName)
        return NameTooLong;
    for (int attempt = 0; attempt < TemporaryAttempts; ++attempt) {
        char name[TemporaryNameLength + 1];
        std::snprintf(name, sizeof name, "~zx%04X", temporaryNumber_ & 0xFFFF);
        temporary = folder + name;
        file = platform::openFileA(temporary.c_str(), platform::FileAccess::Write,
                                   platform::FileShare::None, platform::FileDisposition::CreateNew,
                                   attributes);
        if (file)
            return Ok;
        if (platform::lastError() != platform::error::FileExists)
            break;
        // Left over by a run that was killed: take the next name.
        ++temporaryNumber_;
    }
    return CannotCreate;
}

// folder lies under the base folder and ends with a separator.
bool ZipReader::ensureFolder(const std::string &folder) {
    if (lastFolder_.compare(0, folder.size(), folder) == 0)
        return true; // the last one made, or one of its parents
    if (!ensureLevel(folder.substr(0, folder.size() - 1)))
        return false;
    lastFolder_ = folder;
    return true;
}

// Makes folder (no trailing separator) and the missing ones above it, down to
// the base folder itself. The deepest one is looked at first: usually it is
// there already and one check is all it costs.
bool ZipReader::ensureLevel(const std::string &folder) {
    if (folder.empty())
        return true; // the root of a base folder such as "/"
    const uint32_t attributes = platform::fileAttributesA(folder.c_str());
    if (attributes != platform::attribute::Invalid)
        return (attributes & platform::attribute::Directory) != 0;
    if (folder.size() >= baseFolder_.size() &&
        !ensureLevel(folder.substr(0, zip::afterLastSeparator(folder) - 1)))
        return false;
    if (platform::createDirectoryA(folder.c_str()))
        return true;
    const uint32_t now = platform::fileAttributesA(folder.c_str());
    return now != platform::attribute::Invalid && (now & platform::attribute::Directory);
}
