#include "unzippackage.h"

#include "platform.h"
#include "zipreader.h"

#include <cstdio>

namespace {

constexpr int attemptsPerEntry = 5;
// What a file takes on the disk at least: sizes are rounded up to it when
// the room for a package is reckoned.
constexpr uint64_t clusterSize = 4096;

// Every way out that fails goes through giveUp, with the OS error taken
// where the failure happened.
class Reports {
public:
    Reports(const std::string &zipPath, const std::string &destDir, UnzipListener &listener)
        : zipPath(zipPath), destDir(destDir), listener(listener) {}

    template <typename... Values>
    UnzipResult giveUp(uint32_t osError, ZipResult result, const char *format,
                       Values... values) const {
        char message[100] = {};
        std::snprintf(message, sizeof message, format, values..., static_cast<int>(osError));
        return UnzipFailure{zipPath, destDir, message, result, osError};
    }

    // Runs attempt until it succeeds, up to five times 3000 ms apart, asking
    // the listener what to do after each failure. attempt gives the
    // failure's reader code (Ok on success) and leaves the OS error set.
    // On success, put tells whether the entry was done (not skipped).
    template <typename Attempt, typename Check>
    UnzipResult retry(const std::string &name, Attempt attempt, Check check, bool &put) const {
        for (int n = 1;; ++n) {
            uint32_t osError;
            ZipResult result = attempt();
            if (result == zipresult::Ok) {
                if (check()) {
                    put = true;
                    return {};
                }
                osError = platform::lastError();
            } else {
                osError = platform::lastError();
                const EntryFailureAction action =
                    listener.unzipFailed(destDir.c_str(), name.c_str(),
                                         EntryFailure{result, osError, n == attemptsPerEntry});
                if (action == EntryFailureAction::Abort)
                    return giveUp(osError, result, "upzip file err = %d");
                if (action == EntryFailureAction::Skip) {
                    put = false;
                    return {};
                }
            }
            platform::sleepMs(3000);
            if (n == attemptsPerEntry)
                return giveUp(osError, result, "upzip 5 times ---- file err = %d");
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

} // namespace

UnzipResult stagePackage(const PackageJob &job, UnzipListener &listener,
                         UpdateTransaction &transaction, StagedPackage &staged) {
    const Reports reports(job.zipPath, job.destDir, listener);
    staged = StagedPackage{job.zipPath, job.destDir, -1, job.allEntries, 0, {}};
    ZipResult result = zipresult::Ok;
    const ZipArchive archive(ZipReader::openHeld(job.package, &result));
    if (!archive)
        return reports.giveUp(platform::lastError(), result, "open zip err = %d");
    staged.root = transaction.addRoot(job.destDir, job.access, job.destFolder);
    if (staged.root < 0)
        return reports.giveUp(platform::lastError(), zipresult::Ok, "set zip dir err = %d");
    // The staged files land in the transaction's own folder; the length
    // limits are those of the places they will take.
    result = ZipReader::setBaseFolder(archive.get(), transaction.stagingFolder(staged.root),
                                      job.destDir.c_str());
    if (result == zipresult::Ok)
        result =
            ZipReader::setStagingWrites(archive.get(), !transaction.flushesVolume(staged.root));
    // Delta entries are made against the installed files. Config.zip holds
    // whole files only: without a reference its delta entries are refused.
    if (result == zipresult::Ok && job.allEntries)
        result = ZipReader::setReferenceFolder(archive.get(), transaction.rootFolder(staged.root));
    if (result != zipresult::Ok)
        return reports.giveUp(platform::lastError(), result, "set zip dir err = %d");
    ZipEntryInfo info{};
    if ((result = ZipReader::entryInfo(archive.get(), -1, info)) != zipresult::Ok)
        return reports.giveUp(platform::lastError(), result, "read zip info err = %d");
    staged.total = info.index;

    // Every name accepted and the room known before the first byte is
    // decoded. The old files need no room: they are only moved aside.
    uint64_t needed = 0;
    for (int i = 0; i < staged.total; ++i) {
        if ((result = ZipReader::entryInfo(archive.get(), i, info)) != zipresult::Ok)
            return reports.giveUp(platform::lastError(), result, "read zipfile-%d err = %d", i);
        if (selected(staged, info.name))
            needed += (info.size64 + clusterSize - 1) / clusterSize * clusterSize + clusterSize;
    }
    uint64_t available = 0;
    if (!platform::freeDiskSpaceA(job.destDir.c_str(), available))
        return reports.giveUp(platform::lastError(), zipresult::Ok, "disk space err = %d");
    if (available < needed)
        return reports.giveUp(platform::error::DiskFull, zipresult::Ok, "disk space err = %d");

    for (int i = 0; i < staged.total; ++i) {
        if ((result = ZipReader::entryInfo(archive.get(), i, info)) != zipresult::Ok)
            return reports.giveUp(platform::lastError(), result, "read zipfile-%d err = %d", i);
        const std::string name = info.name;
        if (!selected(staged, info.name))
            continue;
        const bool folder = isFolderEntry(info);
        bool put = false;
        if (UnzipResult failure = reports.retry(
                name, [&] { return ZipReader::extractEntry(archive.get(), i, name.c_str()); },
                [] { return true; }, put))
            return failure;
        int planned = -1;
        if (put) {
            planned = transaction.plan(staged.root, name, folder);
            // A name the update keeps for its own folders and journal.
            if (planned < 0) {
                const uint32_t osError = platform::lastError();
                listener.unzipFailed(job.destDir.c_str(), name.c_str(),
                                     EntryFailure{zipresult::UnsafeName, osError, true});
                return reports.giveUp(osError, zipresult::UnsafeName, "upzip file err = %d");
            }
        }
        staged.entries.push_back({i, name, planned});
    }
    return {};
}

UnzipResult applyPackage(const StagedPackage &staged, UnzipListener &listener,
                         UpdateTransaction &transaction) {
    const Reports reports(staged.zipPath, staged.destDir, listener);
    if (!transaction.begin())
        return reports.giveUp(platform::lastError(), zipresult::Ok, "begin update err = %d");
    for (const auto &entry : staged.entries) {
        if (entry.planned >= 0) {
            bool put = false;
            const auto install = [&] {
                // The target is in the way (in use): as when the reader
                // cannot create it.
                return transaction.install(entry.planned) ? zipresult::Ok : zipresult::CannotCreate;
            };
            const auto check = [&] {
                return listener.unzipCheck(staged.destDir.c_str(), entry.name.c_str());
            };
            if (UnzipResult failure = reports.retry(entry.name, install, check, put))
                return failure;
        }
        listener.unzipProgress(staged.total, entry.index, entry.name.c_str(), entry.name.c_str(),
                               staged.allEntries);
    }
    return {};
}
