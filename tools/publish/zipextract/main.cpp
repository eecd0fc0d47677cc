// zipextract [-j THREADS] ARCHIVE DESTDIR
//
// Opens ARCHIVE, makes DESTDIR its base folder, asks for the entry count, then
// describes and extracts every entry in order under its own name, as the
// updater's extraction driver does (without its forced deletion and retries).
// The first failing operation is printed with its entry and result code, and
// the exit code is 1; 0 means every entry was extracted; 2 is a usage error.
//
// With more than one thread (default: one per core, at most four) every entry
// is described once up front; then each thread, with a reader of its own,
// takes work from a shared plan: the largest entries first, then the rest in
// archive order. Every entry of one target is extracted by one thread in
// archive order, so the result on disk is the one a single thread leaves.
// Which entries after a failing one were extracted already may differ; the
// failure reported is the one of the lowest entry.
#include "toolmain.h"
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

// A key for a target that is the same for every spelling Windows takes for
// the same path (either separator, any ASCII case, a trailing separator).
// Two targets that share a key are extracted by one thread, in archive order.
uint32_t targetKey(const char *name) {
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
    return hash;
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

// Entries from this size on are handed out first, largest first: one of
// them left for the end would keep one thread busy while the others idle.
// The rest go in archive order, a run of neighbours at a time, so that each
// reader walks the central directory forwards and the threads seldom work
// in one folder at once.
constexpr uint64_t LargeEntry = 1u << 20;
// Each large entry costs its reader a walk from the first record; beyond
// this many, the smaller ones go in archive order with the rest.
constexpr std::size_t MostLargeFirst = 64;
constexpr int RunLength = 16;

// Which entries each thread takes, decided from one description of every
// entry. Entries of one target form a chain that one thread extracts in
// archive order, so that the result on disk is the one a single thread
// leaves.
class Plan {
public:
    // Describes the entries up to the first that cannot be described (which
    // is reported) and chains those of the same target.
    void make(ZipHandle zip, int total, FirstFailure &failure) {
        std::vector<std::pair<uint32_t, int32_t>> keys;
        keys.reserve(static_cast<std::size_t>(total));
        struct Large {
            uint64_t size;
            int32_t index;
            uint32_t key;
        };
        std::vector<Large> large;
        ZipEntryInfo info{};
        for (int i = 0; i < total; ++i) {
            if (const ZipResult result = ZipReader::entryInfo(zip, i, info)) {
                failure.report("entryInfo", i, "", result);
                break;
            }
            keys.emplace_back(targetKey(info.name), i);
            if (info.size64 >= LargeEntry)
                large.push_back({info.size64, i, keys.back().first});
        }
        const auto count = static_cast<int32_t>(keys.size());
        next_.assign(keys.size(), -1);
        std::vector<bool> follows(keys.size(), false);
        // Sorted by key, then index: each chain's entries lie side by side.
        std::sort(keys.begin(), keys.end());
        for (std::size_t k = 1; k < keys.size(); ++k)
            if (keys[k].first == keys[k - 1].first) {
                next_[keys[k - 1].second] = keys[k].second;
                follows[keys[k].second] = true;
            }
        std::sort(large.begin(), large.end(), [](const Large &a, const Large &b) {
            return a.size != b.size ? a.size > b.size : a.index < b.index;
        });
        if (large.size() > MostLargeFirst)
            large.resize(MostLargeFirst);
        std::vector<bool> early(keys.size(), false);
        for (const Large &entry : large) {
            // A large entry goes early with the whole chain of its target.
            const int32_t head =
                std::lower_bound(keys.begin(), keys.end(), std::make_pair(entry.key, INT32_MIN))
                    ->second;
            if (!early[head]) {
                early[head] = true;
                order_.push_back(head);
            }
        }
        largeCount_ = order_.size();
        for (int32_t i = 0; i < count; ++i)
            if (!follows[i] && !early[i])
                order_.push_back(i);
    }

    // The next chains for a thread to extract: [begin, end) of order(); an
    // empty range when all are taken.
    std::pair<std::size_t, std::size_t> take() {
        std::size_t at = largeNext_.load();
        while (at < largeCount_)
            if (largeNext_.compare_exchange_weak(at, at + 1))
                return {at, at + 1};
        at = largeCount_ + runNext_.fetch_add(RunLength);
        const std::size_t end = std::min(order_.size(), at + RunLength);
        return {std::min(at, end), end};
    }
    int32_t first(std::size_t position) const { return order_[position]; }
    int32_t next(int32_t entry) const { return next_[entry]; }

private:
    std::vector<int32_t> order_;
    std::vector<int32_t> next_;
    std::size_t largeCount_ = 0;
    std::atomic<std::size_t> largeNext_{0};
    std::atomic<std::size_t> runNext_{0};
};

// One thread's work: chains taken from the plan until none is left, each
// with a reader of the thread's own.
// Extracts entry i, reporting a failure.
void extractOne(ZipHandle zip, int32_t i, FirstFailure &failure) {
    ZipEntryInfo info{};
    ZipResult result;
    if ((result = ZipReader::entryInfo(zip, i, info)) != zipresult::Ok)
        failure.report("entryInfo", i, "", result);
    else if ((result = ZipReader::extractEntry(zip, i, info.name)) != zipresult::Ok)
        failure.report("extractEntry", i, info.name, result);
}

void extractShare(const char *archive, const char *folder, Plan &plan, FirstFailure &failure) {
    ZipResult result = zipresult::Ok;
    const ZipArchive zip(ZipReader::open(archive, &result));
    if (zip)
        result = ZipReader::setBaseFolder(zip.get(), folder);
    if (result != zipresult::Ok) {
        failure.report("open", 0, archive, result);
        return;
    }
    for (auto range = plan.take(); range.first < range.second; range = plan.take())
        for (std::size_t k = range.first; k < range.second; ++k)
            for (int32_t i = plan.first(k); i >= 0 && failure.before(i); i = plan.next(i))
                extractOne(zip.get(), i, failure);
}

int extract(int argc, char **argv) {
    // Up to four: beyond that the file system, not decoding, sets the pace,
    // and each reader's buffers count against the 16 MiB the tool may use.
    unsigned threads = std::min(4u, std::max(1u, std::thread::hardware_concurrency()));
    int first = 1;
    if (argc == 5 && std::strcmp(argv[1], "-j") == 0) {
        char *end = nullptr;
        const long wanted = std::strtol(argv[2], &end, 10);
        if (*end != '\0' || wanted < 1 || wanted > 256)
            return toolmain::usageError(usageText);
        threads = static_cast<unsigned>(wanted);
        first = 3;
    } else if (argc != 3 || isOption(argv[1]) || isOption(argv[2])) {
        return toolmain::usageError(usageText);
    }
    const char *archive = argv[first];
    const char *folder = argv[first + 1];
    ZipResult result = zipresult::Ok;
    ZipArchive zip(ZipReader::open(archive, &result));
    if (!zip)
        return fail("open", archive, result);
    ZipEntryInfo info{};
    if ((result = ZipReader::setBaseFolder(zip.get(), folder)) != zipresult::Ok)
        return fail("setBaseFolder", folder, result);
    if ((result = ZipReader::entryInfo(zip.get(), -1, info)) != zipresult::Ok)
        return failEntry("entryInfo", -1, "", result);
    const int total = info.index;
    FirstFailure failure;
    if (threads == 1 || total < 2) {
        for (int i = 0; i < total && failure.before(i); ++i)
            extractOne(zip.get(), i, failure);
        return failure.print();
    }
    Plan plan;
    plan.make(zip.get(), total, failure);
    zip.reset();
    threads = std::min(threads, static_cast<unsigned>(total));
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t)
        workers.emplace_back(extractShare, archive, folder, std::ref(plan), std::ref(failure));
    for (std::thread &worker : workers)
        worker.join();
    return failure.print();
}

} // namespace

int main(int argc, char **argv) {
    return toolmain::single(argc, argv, usageText, extract);
}
