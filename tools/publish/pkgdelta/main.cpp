// pkgdelta: the publisher's tool for delta update packages.
//
//   pkgdelta make OLD_RELEASE NEW_RELEASE PACKAGE    what changed, as a package
//   pkgdelta check PACKAGE INSTALLATION              does it apply there?
//
// Exit codes: 0 done (check: it applies), 1 refused or failed (stderr says
// why; check: which entries do not apply), 2 wrong arguments (usage on
// stderr).
#include "platform.h"
#include "toolmain.h"
#include "zipdelta.h"
#include "zipreader.h"

#include <libdeflate.h>
#include <zstd.h>

#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char generalUsage[] = "usage: pkgdelta make OLD_RELEASE NEW_RELEASE PACKAGE\n"
                            "       pkgdelta check PACKAGE INSTALLATION\n"
                            "       pkgdelta [COMMAND] --help\n";

const char makeUsage[] =
    "usage: pkgdelta make OLD_RELEASE NEW_RELEASE PACKAGE\n"
    "Writes the update package PACKAGE that turns an installation of the release\n"
    "folder OLD_RELEASE into NEW_RELEASE: every file that is new or changed, as a\n"
    "delta against the old file where that is smaller than the whole file\n"
    "deflated, else whole; unchanged files are left out. Files the new release no\n"
    "longer has are named on stderr and stay on installations. The package is\n"
    "written beside PACKAGE and takes its place in one step; sign it with\n"
    "pkgsign sign as any package.\n";

const char checkUsage[] =
    "usage: pkgdelta check PACKAGE INSTALLATION\n"
    "Checks, writing nothing, that every delta entry of PACKAGE finds its base in\n"
    "the installation folder INSTALLATION: there, and the file it was made\n"
    "against. Names each entry that does not apply and exits with 1 then.\n";

// zstd's strongest ordinary level: the publisher makes a package once, every
// user downloads it.
constexpr int DeltaLevel = 19;
// The level of the quick tries, a tenth of the time, and the size of a
// delta that they make good enough.
constexpr int ChoiceLevel = 9;
constexpr std::size_t QuickEnough = 16u << 10;
constexpr int DeflateLevel = 9;
constexpr uint16_t UnixHost = 3;
constexpr uint16_t Utf8NameFlag = 0x0800;
constexpr uint32_t LocalSignature = 0x04034b50;
constexpr uint32_t CentralSignature = 0x02014b50;
constexpr uint32_t EndSignature = 0x06054b50;
// Without ZIP64 records, sizes and offsets stay below 4 GiB and the
// entries below 65,535.
constexpr uint64_t Limit32 = 0xFFFFFFFFu;
constexpr std::size_t MaxEntries = 0xFFFF;

int failure(const std::string &subject, const std::string &reason) {
    std::fprintf(stderr, "pkgdelta: %s: %s\n", subject.c_str(), reason.c_str());
    return 1;
}

bool readWhole(const fs::path &path, std::string &bytes) {
    std::error_code error;
    const auto size = fs::file_size(path, error);
    std::ifstream in(path, std::ios::binary);
    if (error || !in)
        return false;
    bytes.resize(size);
    in.read(&bytes[0], static_cast<std::streamsize>(size));
    return static_cast<uint64_t>(in.gcount()) == size;
}

void put16(std::string &out, uint32_t value) {
    out += static_cast<char>(value);
    out += static_cast<char>(value >> 8);
}

void put32(std::string &out, uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

uint32_t dosTime(std::time_t time) {
    std::tm local{};
    localtime_r(&time, &local);
    if (local.tm_year < 80)
        return (1u << 21) | (1u << 16); // 1980-01-01, the earliest DOS date
    return static_cast<uint32_t>(local.tm_year - 80) << 25 |
           static_cast<uint32_t>(local.tm_mon + 1) << 21 |
           static_cast<uint32_t>(local.tm_mday) << 16 | static_cast<uint32_t>(local.tm_hour) << 11 |
           static_cast<uint32_t>(local.tm_min) << 5 | static_cast<uint32_t>(local.tm_sec / 2);
}

// One entry as it goes into the package.
struct Entry {
    std::string name;
    uint16_t method = 0;
    std::string data;
    uint32_t crc = 0;
    uint64_t size = 0;
    uint32_t mode = 0;
    std::time_t modified = 0;
    std::string deltaField; // the base's block, for delta entries
};

// Writes entries one after another, then the central directory.
class PackageWriter {
public:
    explicit PackageWriter(const fs::path &path) : out_(path, std::ios::binary | std::ios::trunc) {}

    bool add(const Entry &entry) {
        if (entry.data.size() > Limit32 || entry.size > Limit32 || offset_ > Limit32 ||
            central_.size() >= MaxEntries)
            return false;
        const bool ascii = std::all_of(entry.name.begin(), entry.name.end(),
                                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        // "UT" with the modification time: more exact than the DOS field and
        // free of time zones.
        std::string extra;
        put16(extra, 0x5455);
        put16(extra, 5);
        extra += '\x01';
        put32(extra, static_cast<uint32_t>(entry.modified));
        extra += entry.deltaField;
        const uint16_t needed = entry.method == zip::DeltaMethod ? 63 : 20;
        std::string fields; // what local header and central record share
        put16(fields, needed);
        put16(fields, ascii ? 0 : Utf8NameFlag);
        put16(fields, entry.method);
        put32(fields, dosTime(entry.modified));
        put32(fields, entry.crc);
        put32(fields, static_cast<uint32_t>(entry.data.size()));
        put32(fields, static_cast<uint32_t>(entry.size));
        put16(fields, static_cast<uint32_t>(entry.name.size()));
        put16(fields, static_cast<uint32_t>(extra.size()));

        std::string local;
        put32(local, LocalSignature);
        local += fields + entry.name + extra;
        put32(central_, CentralSignature);
        put16(central_, UnixHost << 8 | 63);
        central_ += fields;
        put16(central_, 0); // comment
        put16(central_, 0); // disk
        put16(central_, 0); // internal attributes
        put32(central_, entry.mode << 16);
        put32(central_, static_cast<uint32_t>(offset_));
        central_ += entry.name + extra;
        out_.write(local.data(), static_cast<std::streamsize>(local.size()));
        out_.write(entry.data.data(), static_cast<std::streamsize>(entry.data.size()));
        offset_ += local.size() + entry.data.size();
        ++count_;
        return static_cast<bool>(out_);
    }

    bool finish() {
        if (offset_ + central_.size() > Limit32)
            return false;
        std::string end;
        put32(end, EndSignature);
        put32(end, 0); // this disk, the central directory's disk
        put16(end, static_cast<uint32_t>(count_));
        put16(end, static_cast<uint32_t>(count_));
        put32(end, static_cast<uint32_t>(central_.size()));
        put32(end, static_cast<uint32_t>(offset_));
        put16(end, 0); // comment
        out_.write(central_.data(), static_cast<std::streamsize>(central_.size()));
        out_.write(end.data(), static_cast<std::streamsize>(end.size()));
        out_.close();
        return static_cast<bool>(out_);
    }

private:
    std::ofstream out_;
    std::string central_;
    uint64_t offset_ = 0;
    std::size_t count_ = 0;
};

const char *transformName(zip::Transform transform) {
    switch (transform) {
    case zip::Transform::X86:
        return "delta, x86 code";
    case zip::Transform::X86_64:
        return "delta, x86-64 code";
    default:
        return "delta";
    }
}

// A compressor for each file, gone before the next file's tries: its
// tables stayed beside them.
struct CompressorCloser {
    void operator()(libdeflate_compressor *compressor) const {
        libdeflate_free_compressor(compressor);
    }
};

// Into a buffer of which only what is written is touched: one of the
// bound's size held the file's size again.
bool deflateWhole(libdeflate_compressor *compressor, const std::string &data, std::string &out) {
    const std::size_t bound = libdeflate_deflate_compress_bound(compressor, data.size());
    const std::unique_ptr<char[]> buffer(new char[bound]);
    const std::size_t made =
        libdeflate_deflate_compress(compressor, data.data(), data.size(), buffer.get(), bound);
    out.assign(buffer.get(), made);
    return made > 0 || data.empty();
}

// A relative path as the package names it: "/" between the parts.
std::string entryName(const fs::path &relative) {
    return relative.generic_u8string();
}

// The smallest delta of next against base that the quick tries find (for
// programs with their code transformed, aligned by either search, and as it
// is), made again at the strong level where it is not small already: that
// level saves little on a small delta and is slowest on files that barely
// changed. An empty frame where none could be made.
struct Delta {
    std::string frame;
    zip::DeltaBase described;
    zip::Transform transform = zip::Transform::None;
};

Delta smallestDelta(const std::string &base, std::string &next) {
    struct Try {
        zip::Transform transform;
        zip::AlignmentSearch search;
    };
    std::vector<Try> tries;
    if (const zip::Transform code = zip::transformFor(next); code != zip::Transform::None)
        tries = {{code, zip::AlignmentSearch::Narrow}, {code, zip::AlignmentSearch::Wide}};
    tries.push_back({zip::Transform::None, zip::AlignmentSearch::Narrow});
    Try chosen = tries.back();
    Delta best;
    std::string frame;
    zip::DeltaBase described;
    for (const Try &tried : tries) {
        malloc_trim(0);
        if (zip::makeDelta(base, next, ChoiceLevel, tried.transform, frame, described,
                           zip::SegmentSize, tried.search) &&
            (best.frame.empty() || frame.size() < best.frame.size())) {
            best.frame.swap(frame);
            best.described = described;
            best.transform = tried.transform;
            chosen = tried;
        }
    }
    malloc_trim(0);
    if (!best.frame.empty() && best.frame.size() >= QuickEnough &&
        zip::makeDelta(base, next, DeltaLevel, chosen.transform, frame, described, zip::SegmentSize,
                       chosen.search) &&
        frame.size() < best.frame.size()) {
        best.frame.swap(frame);
        best.described = described;
    }
    return best;
}

enum class Outcome { Add, Unchanged, Skip, Failed };

// A file of the new release as its entry: a delta against the old release's
// file where that is smaller than the whole file, else the file deflated.
// The whole file is deflated after the tries and without the base: beside
// them it held a good part of the file's size again at pkgdelta's peak.
Outcome fileEntry(const fs::path &path, const fs::path &oldPath, Entry &entry, const char *&kind) {
    std::string next, base;
    if (!readWhole(path, next))
        return failure(path.u8string(), "cannot be read"), Outcome::Failed;
    std::error_code error;
    const bool hadIt = fs::is_regular_file(fs::symlink_status(oldPath, error));
    if (hadIt && !readWhole(oldPath, base))
        return failure(oldPath.u8string(), "cannot be read"), Outcome::Failed;
    if (hadIt && base == next)
        return Outcome::Unchanged;
    entry.size = next.size();
    entry.crc = libdeflate_crc32(0, next.data(), next.size());
    Delta delta = hadIt ? smallestDelta(base, next) : Delta();
    std::string().swap(base);
    const std::unique_ptr<libdeflate_compressor, CompressorCloser> compressor(
        libdeflate_alloc_compressor(DeflateLevel));
    if (!compressor)
        return failure(path.u8string(), "no memory for the compressor"), Outcome::Failed;
    kind = "whole";
    entry.method = 8;
    if (!deflateWhole(compressor.get(), next, entry.data)) {
        entry.method = 0;
        entry.data = std::move(next);
    }
    if (!delta.frame.empty() &&
        delta.frame.size() + zip::SegmentedFieldSize + 4 < entry.data.size()) {
        entry.method = zip::DeltaMethod;
        entry.data = std::move(delta.frame);
        entry.deltaField = zip::deltaField(delta.described);
        kind = transformName(delta.transform);
    }
    return Outcome::Add;
}

// The entry of one item of the new release; folders the old release had
// exist on installations already and are skipped.
Outcome entryFor(const fs::path &oldRelease, const fs::path &newRelease, const fs::path &relative,
                 Entry &entry, const char *&kind) {
    const fs::path path = newRelease / relative;
    std::error_code error;
    const fs::file_status status = fs::symlink_status(path, error);
    struct stat info {};
    if (error || ::lstat(path.c_str(), &info) != 0)
        return failure(path.u8string(), "cannot be read"), Outcome::Failed;
    entry.name = entryName(relative);
    entry.modified = info.st_mtime;
    entry.mode = info.st_mode & 0xFFFF;
    if (fs::is_directory(status)) {
        if (fs::is_directory(fs::symlink_status(oldRelease / relative, error)))
            return Outcome::Skip;
        entry.name += "/";
        return Outcome::Add;
    }
    if (!fs::is_regular_file(status))
        return failure(path.u8string(), "neither a file nor a folder (a link?)"), Outcome::Failed;
    return fileEntry(path, oldRelease / relative, entry, kind);
}

struct Tally {
    std::size_t deltas = 0, whole = 0, unchanged = 0;
};

// Writes the package of what changed to temporary; 0 when it is whole.
int writePackage(const fs::path &oldRelease, const fs::path &newRelease,
                 const std::vector<fs::path> &items, const fs::path &temporary, Tally &tally) {
    PackageWriter writer(temporary);
    std::size_t done = 0;
    for (const fs::path &relative : items) {
        ++done;
        Entry entry;
        const char *kind = nullptr;
        switch (entryFor(oldRelease, newRelease, relative, entry, kind)) {
        case Outcome::Failed:
            return 1;
        case Outcome::Unchanged:
            ++tally.unchanged;
            continue;
        case Outcome::Skip:
            continue;
        case Outcome::Add:
            break;
        }
        if (kind) {
            ++(entry.method == zip::DeltaMethod ? tally.deltas : tally.whole);
            std::fprintf(stderr, "pkgdelta: [%zu/%zu] %s: %s, %zu of %llu bytes\n", done,
                         items.size(), entry.name.c_str(), kind, entry.data.size(),
                         static_cast<unsigned long long>(entry.size));
        }
        if (!writer.add(entry))
            return failure(temporary.u8string(),
                           "cannot be written (or beyond 4 GiB or 65,535 entries)");
    }
    return writer.finish() ? 0 : failure(temporary.u8string(), "cannot be written");
}

// Nothing takes files away on installations: says which stay behind.
void nameTheGone(const fs::path &oldRelease, const fs::path &newRelease) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(oldRelease, error), end; !error && it != end;
         it.increment(error)) {
        const fs::path relative = fs::relative(it->path(), oldRelease);
        if (!fs::exists(fs::symlink_status(newRelease / relative)))
            std::fprintf(stderr,
                         "pkgdelta: %s is gone from the new release; it stays on "
                         "installations\n",
                         entryName(relative).c_str());
    }
}

int make(const fs::path &oldRelease, const fs::path &newRelease, const fs::path &package) {
    std::error_code error;
    for (const fs::path &folder : {oldRelease, newRelease})
        if (!fs::is_directory(fs::symlink_status(folder, error)))
            return failure(folder.u8string(), "not a folder");
    // The files in a fixed order, so that one release pair makes one package.
    std::vector<fs::path> items;
    for (fs::recursive_directory_iterator it(newRelease, error), end; !error && it != end;
         it.increment(error))
        items.push_back(fs::relative(it->path(), newRelease));
    if (error)
        return failure(newRelease.u8string(), error.message());
    std::sort(items.begin(), items.end());

    const fs::path temporary = package.u8string() + ".pkgdelta-tmp";
    Tally tally;
    int result = writePackage(oldRelease, newRelease, items, temporary, tally);
    if (result == 0) {
        nameTheGone(oldRelease, newRelease);
        fs::rename(temporary, package, error);
        if (error)
            result = failure(package.u8string(), "cannot replace it: " + error.message());
    }
    if (result != 0) {
        fs::remove(temporary, error);
        return result;
    }
    std::printf("%s: %zu delta, %zu whole, %zu unchanged left out\n", package.u8string().c_str(),
                tally.deltas, tally.whole, tally.unchanged);
    return 0;
}

std::string hex(uint32_t value) {
    char text[12];
    std::snprintf(text, sizeof text, "%X", value);
    return text;
}

const char *reasonOf(ZipResult result) {
    switch (result) {
    case zipresult::BaseMissing:
        return "its base is missing";
    case zipresult::BaseChanged:
        return "its base is not the file the delta was made against";
    case zipresult::BeyondMemoryBound:
        return "its base is beyond the updater's 256 MiB for its layout";
    case zipresult::DeltaCorrupt:
        return "its base field is broken";
    default:
        return "it cannot be read";
    }
}

int check(const std::string &package, const std::string &installation) {
    const platform::Folder folder(platform::openFolderA(installation.c_str()));
    if (!folder)
        return failure(installation, "not a folder");
    ZipResult result = zipresult::Ok;
    ZipHandle zip = ZipReader::open(package.c_str(), &result);
    if (!zip)
        return failure(package, "not a readable ZIP archive");
    ZipReader::setReferenceFolder(zip, folder.get());
    ZipEntryInfo info{};
    int failed = 0;
    result = ZipReader::entryInfo(zip, -1, info);
    for (int i = 0, total = info.index; result == zipresult::Ok && i < total; ++i) {
        result = ZipReader::entryInfo(zip, i, info);
        if (result != zipresult::Ok)
            break;
        if (const ZipResult base = ZipReader::checkBase(zip, i)) {
            std::fprintf(stderr, "pkgdelta: %s: does not apply: %s (0x%X)\n", info.name,
                         reasonOf(base), base);
            ++failed;
        }
    }
    ZipReader::close(zip);
    if (result != zipresult::Ok)
        return failure(package, "an entry cannot be read (0x" + hex(result) + ")");
    if (failed > 0)
        return 1;
    std::printf("%s applies to %s\n", package.c_str(), installation.c_str());
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    // Buffers of a file's size and zstd's tables come and go with each file
    // and try: mapped each on its own, they go back to the system when
    // freed. glibc otherwise serves them from its heap after the first one
    // is freed, and keeps what they leave between them.
    mallopt(M_MMAP_THRESHOLD, 256 << 10);
    return toolmain::run(
        argc, argv, generalUsage,
        {{"make", makeUsage, 3,
          [](char **a) { return make(fs::u8path(a[0]), fs::u8path(a[1]), fs::u8path(a[2])); }},
         {"check", checkUsage, 2, [](char **a) { return check(a[0], a[1]); }}});
}
