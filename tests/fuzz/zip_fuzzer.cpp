// Arbitrary bytes as an archive: open it, describe and extract every entry as
// the updater's driver does, and stop the run when anything lands outside the
// base folder or a file is there that no successful extraction made (a
// temporary file left behind).
#include "zipreader.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace fs = std::filesystem;

namespace {

// Extraction stops once the entries so far declare this many bytes: an
// archive of a few KB may hold many entries inflating to megabytes each.
// Room for one entry on each side of the one-piece limit (4 MiB).
constexpr uint64_t MaxExtractedBytes = 9u << 20;

const fs::path &workFolder() {
    static const fs::path folder = [] {
        char pattern[] = "/tmp/velmar-zip-fuzz-XXXXXX";
        const char *made = mkdtemp(pattern);
        if (!made)
            std::abort();
        return fs::path(made);
    }();
    return folder;
}

void fail(const std::string &what) {
    std::fprintf(stderr, "zip_fuzzer: %s\n", what.c_str());
    std::abort();
}

// The path as the directory walk spells it: "/" only, never two in a row.
std::string slashes(const std::string &path) {
    std::string out;
    for (char c : path) {
        if (c == '\\')
            c = '/';
        if (c != '/' || out.empty() || out.back() != '/')
            out += c;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const fs::path &work = workFolder();
    const fs::path archive = work / "input.zip";
    const fs::path base = work / "out";
    {
        std::ofstream out(archive, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    }
    std::set<std::string> extracted;
    if (ZipHandle zip = ZipReader::open(archive.c_str())) {
        ZipEntryInfo info{};
        uint64_t declared = 0;
        if (ZipReader::setBaseFolder(zip, base.c_str()) == zipresult::Ok &&
            ZipReader::entryInfo(zip, -1, info) == zipresult::Ok) {
            for (int i = 0, total = info.index; i < total; ++i) {
                if (ZipReader::entryInfo(zip, i, info) != zipresult::Ok)
                    continue;
                declared += info.size64;
                if (declared > MaxExtractedBytes)
                    break;
                if (ZipReader::extractEntry(zip, i, info.name) == zipresult::Ok)
                    extracted.insert(slashes((base / info.name).string()));
            }
        }
        ZipReader::close(zip);
    }
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(work, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        const std::string path = it->path().string();
        if (it->path() != archive && it->path() != base && path.rfind(base.string() + "/", 0) != 0)
            fail("written outside the base folder: " + path);
        if (it->is_regular_file(ignored) && it->path() != archive && !extracted.count(path))
            fail("file that no extraction made: " + path);
    }
    fs::remove_all(base, ignored);
    return 0;
}
