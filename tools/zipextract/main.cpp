// zipextract [-j THREADS] ARCHIVE DESTDIR
//
// Opens ARCHIVE, makes DESTDIR its base folder, asks for the entry count, then
// describes and extracts every entry in order under its own name, as the
// updater's extraction driver does (without its forced deletion and retries).
// The first failing operation is printed with its entry and result code, and
// the exit code is 1; 0 means every entry was extracted; 2 is a usage error.
//
// With more than one thread (default: one per core, at most four) each thread
// has a reader
// of its own and takes the entries whose target falls to it by name: every
// entry of one target is extracted by one thread in archive order, so the
// result on disk is the one a single thread leaves. Which entries after a
// failing one were extracted already may differ; the failure reported is the
// one of the lowest entry.
#include "zipreader.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const char usageText[] =
    "usage: zipextract [-j THREADS] ARCHIVE DESTDIR\n"
    "Extracts every entry of the ZIP archive ARCHIVE under the folder DESTDIR, the\n"
    "way the updater does, on THREADS threads (default: one per core, at most\n"
    "four). Exit code 0: everything extracted; 1: an operation failed (printed\n"
    "with its entry and result code); 2: wrong arguments.\n";

int usage(std::FILE *to, int code) {
    std::fputs(usageText, to);
    return code;
}

bool isOption(const char *argument) {
    return std::strncmp(argument, "--", 2) == 0;
}

int fail(const char *operation, const char *what, ZipResult code) {
    std::fprintf(stderr, "zipextract: %s failed for %s: 0x%X\n", operation, what, code);
    return 1;
}

int failEntry(const char *operation, int index, const char *name, ZipResult code) {
    std::fprintf(stderr, "zipextract: %s failed for entry %d \"%s\": 0x%X\n", operation, index,
                 name, code);
    return 1;
}

// Which thread extracts a target: the same for every spelling Windows takes
// for the same path (either separator, any ASCII case, a trailing separator).
unsigned ownerOf(const char *name, unsigned threads) {
    std::size_t length = std::strlen(name);
    while (length > 0 && (name[length - 1] == '/' || name[length - 1] == '\\'))
        --length;
    uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < length; ++i) {
        char c = name[i] == '\\' ? '/' : name[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    }
    return hash % threads;
}

// The lowest failing entry and how it failed.
class FirstFailure {
public:
    bool before(int index) const { return index < lowest_.load(); }
    void report(const char *operation, int index, const char *name, ZipResult code) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (index >= lowest_.load())
            return;
        lowest_ = index;
        operation_ = operation;
        name_ = name;
        code_ = code;
    }
    int print() const {
        if (lowest_.load() == INT32_MAX)
            return 0;
        return failEntry(operation_, lowest_.load(), name_.c_str(), code_);
    }

private:
    std::mutex mutex_;
    std::atomic<int> lowest_{INT32_MAX};
    const char *operation_ = "";
    std::string name_;
    ZipResult code_ = zipresult::Ok;
};

// One thread's share: every entry is described (the walk is sequential),
// only its own are extracted.
void extractShare(const char *archive, const char *folder, int total, unsigned thread,
                  unsigned threads, FirstFailure &failure) {
    ZipResult result = zipresult::Ok;
    ZipHandle zip = ZipReader::open(archive, &result);
    if (zip)
        result = ZipReader::setBaseFolder(zip, folder);
    if (result != zipresult::Ok) {
        failure.report("open", 0, archive, result);
        if (zip)
            ZipReader::close(zip);
        return;
    }
    ZipEntryInfo info{};
    for (int i = 0; i < total && failure.before(i); ++i) {
        if ((result = ZipReader::entryInfo(zip, i, info)) != zipresult::Ok)
            failure.report("entryInfo", i, "", result);
        else if (ownerOf(info.name, threads) == thread &&
                 (result = ZipReader::extractEntry(zip, i, info.name)) != zipresult::Ok)
            failure.report("extractEntry", i, info.name, result);
    }
    ZipReader::close(zip);
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0)
        return usage(stdout, 0);
    // Up to four: beyond that the file system, not decoding, sets the pace,
    // and each reader's buffers count against the 16 MiB the tool may use.
    unsigned threads = std::min(4u, std::max(1u, std::thread::hardware_concurrency()));
    int first = 1;
    if (argc == 5 && std::strcmp(argv[1], "-j") == 0) {
        char *end = nullptr;
        const long wanted = std::strtol(argv[2], &end, 10);
        if (*end != '\0' || wanted < 1 || wanted > 256)
            return usage(stderr, 2);
        threads = static_cast<unsigned>(wanted);
        first = 3;
    } else if (argc != 3 || isOption(argv[1]) || isOption(argv[2])) {
        return usage(stderr, 2);
    }
    const char *archive = argv[first];
    const char *folder = argv[first + 1];
    ZipResult result = zipresult::Ok;
    ZipHandle zip = ZipReader::open(archive, &result);
    if (!zip)
        return fail("open", archive, result);
    ZipEntryInfo info{};
    if ((result = ZipReader::setBaseFolder(zip, folder)) != zipresult::Ok) {
        ZipReader::close(zip);
        return fail("setBaseFolder", folder, result);
    }
    if ((result = ZipReader::entryInfo(zip, -1, info)) != zipresult::Ok) {
        ZipReader::close(zip);
        return failEntry("entryInfo", -1, "", result);
    }
    const int total = info.index;
    FirstFailure failure;
    if (threads == 1 || total < 2) {
        for (int i = 0; i < total && failure.before(i); ++i) {
            if ((result = ZipReader::entryInfo(zip, i, info)) != zipresult::Ok)
                failure.report("entryInfo", i, "", result);
            else if ((result = ZipReader::extractEntry(zip, i, info.name)) != zipresult::Ok)
                failure.report("extractEntry", i, info.name, result);
        }
        ZipReader::close(zip);
        return failure.print();
    }
    ZipReader::close(zip);
    threads = std::min(threads, static_cast<unsigned>(total));
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t)
        workers.emplace_back(extractShare, archive, folder, total, t, threads, std::ref(failure));
    for (std::thread &worker : workers)
        worker.join();
    return failure.print();
}
