#include "unzippackage.h"

#include "platform.h"
#include "zipreader.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

namespace {

constexpr int attemptsPerEntry = 5;
// What a file takes on the disk at least: sizes are rounded up to it when
// the room for a package is reckoned.
constexpr uint64_t clusterSize = 4096;

// A reader's failure lies at the target only where the target refused to be
// made or written, or a link stood in the way; putting an entry in place
// fails at the target; anything else is in the package.
FailureSite siteOf(EntryStage stage, ZipResult result) {
    return stage == EntryStage::Install || result == zipresult::CannotCreate ||
                   result == zipresult::WriteFailed || result == zipresult::LinkInPath
               ? FailureSite::Target
               : FailureSite::Package;
}

// How one attempt at an entry went: failed or not; the reader's code (Ok
// where the reader had no part) and the OS error, both taken where it
// failed.
struct Attempted {
    bool failed;
    ZipResult result;
    uint32_t osError;
};

// Every way out that fails goes through giveUp, with the OS error taken
// where the failure happened.
class Reports {
public:
    Reports(const std::string &zipPath, const std::string &destDir, UnzipListener &listener)
        : zipPath(zipPath), destDir(destDir), listener(listener) {}

    template <typename... Values>
    UnzipResult giveUp(FailureSite site, uint32_t osError, ZipResult result, const char *format,
                       Values... values) const {
        char message[100] = {};
        std::snprintf(message, sizeof message, format, values..., static_cast<int>(osError));
        return UnzipFailure{zipPath, destDir, message, result,
                            osError, site,    {},      EntryStage::Decode};
    }
    // The same for a failure of one entry, which it names.
    UnzipResult giveUpOn(const std::string &name, EntryStage stage, uint32_t osError,
                         ZipResult result, const char *format) const {
        UnzipResult failure = giveUp(siteOf(stage, result), osError, result, format);
        failure->entry = name;
        failure->stage = stage;
        return failure;
    }

    // Runs attempt until the entry is done, up to five times 3000 ms apart,
    // asking the listener what to do after each failure. attempt tells how
    // it went (see Attempted). check then tells whether the entry is there;
    // where it is not, the attempt is made again. On success, put tells
    // whether the entry was done (not skipped).
    template <typename Attempt, typename Check>
    UnzipResult retry(const std::string &name, EntryStage stage, Attempt attempt, Check check,
                      bool &put) const {
        for (int n = 1;; ++n) {
            const Attempted tried = attempt();
            const ZipResult result = tried.result;
            uint32_t osError = tried.osError;
            if (!tried.failed) {
                if (check()) {
                    put = true;
                    return {};
                }
                osError = platform::lastError();
            } else {
                const EntryFailureAction action = listener.unzipFailed(
                    destDir.c_str(), name.c_str(),
                    EntryFailure{stage, result, osError, n == attemptsPerEntry});
                if (action == EntryFailureAction::Abort)
                    return giveUpOn(name, stage, osError, result, "upzip file err = %d");
                if (action == EntryFailureAction::Skip) {
                    put = false;
                    return {};
                }
            }
            platform::sleepMs(3000);
            if (n == attemptsPerEntry)
                return giveUpOn(name, stage, osError, result, "upzip 5 times ---- file err = %d");
        }
    }

private:
    const std::string &zipPath;
    const std::string &destDir;
    UnzipListener &listener;
};

bool isFolderEntry(const ZipEntryInfo &info) {
    return (info.attributes & platform::attribute::Directory) != 0;
}

bool selected(const StagedPackage &staged, const char *name) {
    return staged.allEntries || platform::findText8(name, "Config") != std::string::npos;
}

bool decodesInItsOwnMemory(uint16_t method) {
    return method == 0 || method == 8;
}

// Windows's name for a target: ASCII letters in one case, either separator,
// no trailing one; a separator only on a character boundary.
std::string targetKey(const char *name) {
    std::string key;
    for (std::size_t at = 0; name[at] != '\0'; ++at) {
        const auto c = static_cast<unsigned char>(name[at]);
        if (platform::isLeadByte(c) && name[at + 1] != '\0') {
            key += name[at];
            key += name[++at];
        } else if (c == '\\' || c == '/') {
            key += '/';
        } else {
            key += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        }
    }
    while (!key.empty() && key.back() == '/')
        key.pop_back();
    return key;
}

// What stagePackage knows of an entry it stages.
struct Chosen {
    int index;
    std::string name;
    bool folder;
    uint16_t method;
};

// Stages the entries that no other entry can touch ahead of the driver's
// walk through the package, on the driver's thread and a second one, each
// with a reader of its own on the one open package: a package's files are
// made on two processors at once. Each thread takes the next run of
// neighbours as it is free, and neither takes another once an entry has
// failed. The driver then walks the package in its order, takes each
// outcome from here and stages the rest itself, so that the listener hears
// of every entry, and its retries, as with one thread.
class EarlyStaging {
public:
    // Those entries: stored and deflated files (a delta entry holds its
    // base in memory, a zstd entry its window: one at a time) whose target
    // is named once, holds no other target and lies in no folder that is
    // named as a file. With another entry of the same target, or a file
    // where a folder is needed, only the package's order gives the outcome.
    explicit EarlyStaging(const std::vector<Chosen> &chosen) {
        // How often each target is named, as a file (low half) and as a
        // folder (high half); and every folder that a target lies in.
        std::map<std::string, int> named;
        std::set<std::string> holding;
        std::vector<std::string> keys;
        for (const Chosen &entry : chosen) {
            keys.push_back(targetKey(entry.name.c_str()));
            named[keys.back()] += entry.folder ? 0x10000 : 1;
            for (std::string &folder : foldersOf(keys.back()))
                holding.insert(std::move(folder));
        }
        for (std::size_t n = 0; n < chosen.size(); ++n) {
            if (chosen[n].folder || named[keys[n]] != 1 || holding.count(keys[n]) != 0 ||
                !decodesInItsOwnMemory(chosen[n].method))
                continue;
            const std::vector<std::string> folders = foldersOf(keys[n]);
            if (std::any_of(folders.begin(), folders.end(), [&](const std::string &folder) {
                    const auto there = named.find(folder);
                    return there != named.end() && (there->second & 0xFFFF) != 0;
                }))
                continue; // under a file
            if (runs_.empty() || runs_.back().size() == RunLength)
                runs_.emplace_back();
            runs_.back().push_back(chosen[n].index);
            outcomes_.emplace(chosen[n].index, Outcome{});
        }
    }

    // Stages them with driver (the driver's reader, on this thread) and a
    // reader of its own on a second thread, both configured as configure
    // does the driver's. Without a second thread or reader, the driver's
    // alone stage them.
    template <typename Configure>
    void stage(const PackageJob &job, ZipHandle driver, Configure configure) {
        if (runs_.empty())
            return;
        const ZipArchive second(ZipReader::openHeld(job.package));
        std::thread helper;
        if (runs_.size() > 1 && second && configure(second.get()) == zipresult::Ok) {
            try {
                helper = std::thread([&] { work(second.get()); });
            } catch (const std::system_error &) {
                // the driver's reader alone
            }
        }
        work(driver);
        if (helper.joinable())
            helper.join();
    }

    // Entry index's outcome when it was staged here, with the OS error set
    // as the attempt left it; nothing when it is the driver's to stage.
    std::optional<ZipResult> outcome(int index) const {
        const auto found = outcomes_.find(index);
        if (found == outcomes_.end() || !found->second.done)
            return std::nullopt;
        platform::setLastError(found->second.osError);
        return found->second.result;
    }

private:
    static constexpr std::size_t RunLength = 16;

    struct Outcome {
        bool done = false;
        ZipResult result = zipresult::Ok;
        uint32_t osError = 0;
    };

    // Each outcome is written by the one thread that took its run and read
    // only after both have ended.
    void work(ZipHandle reader) {
        ZipEntryInfo info{};
        for (std::size_t run; !failed_ && (run = nextRun_++) < runs_.size();) {
            for (const int index : runs_[run]) {
                ZipResult result = ZipReader::entryInfo(reader, index, info);
                if (result == zipresult::Ok)
                    result = ZipReader::extractEntry(reader, index, info.name);
                outcomes_.at(index) = Outcome{true, result, platform::lastError()};
                if (result != zipresult::Ok) {
                    failed_ = true;
                    break;
                }
            }
        }
    }

    std::vector<std::vector<int>> runs_;
    std::map<int, Outcome> outcomes_;
    std::atomic<std::size_t> nextRun_{0};
    std::atomic<bool> failed_{false};
};

// Points a reader of the package at the root's staging folder, where its
// files land (the length limits being those of the places they will
// take), and, for the update package, at the installed files that delta
// entries are made against (Config.zip holds whole files only: without a
// reference its delta entries are refused).
ZipResult configureReader(ZipHandle reader, const UpdateTransaction &transaction,
                          const StagedPackage &staged, bool withReference) {
    ZipResult result = ZipReader::setBaseFolder(reader, transaction.stagingFolder(staged.root),
                                                staged.destDir.c_str());
    if (result == zipresult::Ok)
        result = ZipReader::setStagingWrites(reader, !transaction.flushesVolume(staged.root));
    if (result == zipresult::Ok && withReference)
        result = ZipReader::setReferenceFolder(reader, transaction.rootFolder(staged.root));
    return result;
}

// Every name the package holds for this target accepted, and the room for
// them known, before the first byte is decoded. The old files need no
// room: they are only moved aside.
UnzipResult chooseEntries(ZipHandle archive, const Reports &reports, StagedPackage &staged,
                          std::vector<Chosen> &chosen) {
    ZipEntryInfo info{};
    ZipResult result = ZipReader::entryInfo(archive, -1, info);
    if (result != zipresult::Ok)
        return reports.giveUp(FailureSite::Package, platform::lastError(), result,
                              "read zip info err = %d");
    staged.total = info.index;
    uint64_t needed = 0;
    for (int i = 0; i < staged.total; ++i) {
        if ((result = ZipReader::entryInfo(archive, i, info)) != zipresult::Ok)
            return reports.giveUp(FailureSite::Package, platform::lastError(), result,
                                  "read zipfile-%d err = %d", i);
        if (!selected(staged, info.name))
            continue;
        // A name the update keeps for its own folders, journal and copy of
        // the package: nothing of the package is written under it.
        if (UpdateTransaction::reserved(info.name))
            return reports.giveUpOn(info.name, EntryStage::Decode, platform::error::Success,
                                    zipresult::UnsafeName, "upzip file err = %d");
        needed += (info.size64 + clusterSize - 1) / clusterSize * clusterSize + clusterSize;
        chosen.push_back({i, info.name, isFolderEntry(info), ZipReader::entryMethod(archive, i)});
    }
    uint64_t available = 0;
    if (!platform::freeDiskSpaceA(staged.destDir.c_str(), available))
        return reports.giveUp(FailureSite::Target, platform::lastError(), zipresult::Ok,
                              "disk space err = %d");
    if (available < needed)
        return reports.giveUp(FailureSite::Target, platform::error::DiskFull, zipresult::Ok,
                              "disk space err = %d");
    return {};
}

// Decodes the chosen entries in the package's order, each with its
// retries; where an entry was staged early, that was its first attempt.
UnzipResult stageInOrder(ZipHandle archive, const std::vector<Chosen> &chosen,
                         const EarlyStaging &early, const Reports &reports,
                         UpdateTransaction &transaction, StagedPackage &staged) {
    for (const Chosen &entry : chosen) {
        bool put = false;
        bool first = true;
        const auto attempt = [&] {
            const std::optional<ZipResult> outcome =
                std::exchange(first, false) ? early.outcome(entry.index) : std::nullopt;
            const ZipResult result =
                outcome ? *outcome
                        : ZipReader::extractEntry(archive, entry.index, entry.name.c_str());
            return Attempted{result != zipresult::Ok, result, platform::lastError()};
        };
        if (UnzipResult failure = reports.retry(
                entry.name, EntryStage::Decode, attempt, [] { return true; }, put))
            return failure;
        const int planned = put ? transaction.plan(staged.root, entry.name, entry.folder) : -1;
        if (put && planned < 0)
            return reports.giveUpOn(entry.name, EntryStage::Decode, platform::lastError(),
                                    zipresult::UnsafeName, "upzip file err = %d");
        staged.entries.push_back({entry.index, entry.name, planned});
    }
    return {};
}

} // namespace

UnzipResult stagePackage(const PackageJob &job, UnzipListener &listener,
                         UpdateTransaction &transaction, StagedPackage &staged) {
    const Reports reports(job.zipPath, job.destDir, listener);
    staged = StagedPackage{job.zipPath, job.destDir, job.root, job.allEntries, 0, {}};
    ZipResult result = zipresult::Ok;
    const ZipArchive archive(ZipReader::openHeld(job.package, &result));
    if (!archive)
        return reports.giveUp(FailureSite::Package, platform::lastError(), result,
                              "open zip err = %d");
    if ((result = configureReader(archive.get(), transaction, staged, job.allEntries)) !=
        zipresult::Ok)
        return reports.giveUp(FailureSite::Target, platform::lastError(), result,
                              "set zip dir err = %d");
    std::vector<Chosen> chosen;
    if (UnzipResult failure = chooseEntries(archive.get(), reports, staged, chosen))
        return failure;
    EarlyStaging early(chosen);
    early.stage(job, archive.get(), [&](ZipHandle second) {
        return configureReader(second, transaction, staged, false);
    });
    return stageInOrder(archive.get(), chosen, early, reports, transaction, staged);
}

UnzipResult applyPackage(const StagedPackage &staged, UnzipListener &listener,
                         UpdateTransaction &transaction) {
    const Reports reports(staged.zipPath, staged.destDir, listener);
    // Each entry is handed to the window, which the driver waits for: on one
    // processor that is a switch in place, not the waking of another
    // processor (a few microseconds against tens on a virtual machine, for
    // each of thousands of entries).
    const platform::OneProcessor oneProcessor;
    if (const platform::Status begun = transaction.begin(); !begun)
        return reports.giveUp(FailureSite::Target, begun.error(), zipresult::Ok,
                              "begin update err = %d");
    for (const auto &entry : staged.entries) {
        if (entry.planned >= 0) {
            bool put = false;
            const auto install = [&] {
                const platform::Status installed = transaction.install(entry.planned);
                return Attempted{!installed, zipresult::Ok, installed.error()};
            };
            // In place when something is there, as the update finds its
            // folders: a shortcut or link is there itself, whatever it names.
            const auto check = [&] { return transaction.exists(staged.root, entry.name); };
            if (UnzipResult failure =
                    reports.retry(entry.name, EntryStage::Install, install, check, put))
                return failure;
        }
        listener.unzipProgress(staged.total, entry.index, entry.name.c_str(), entry.name.c_str(),
                               staged.allEntries);
    }
    return {};
}
