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
    Reports(const std::string &zipPath, const std::string &destDir, UnzipListener &listener,
            ZipHandle *zip = nullptr)
        : zipPath(zipPath), destDir(destDir), listener(listener), zip(zip) {}

    template <typename... Values>
    bool giveUp(uint32_t osError, const char *format, Values... values) {
        char message[100] = {};
        std::snprintf(message, sizeof message, format, values..., static_cast<int>(osError));
        // The archive is let go first: the listener undoes the update, and a
        // package still open in its staging folder could not be removed.
        if (zip && *zip) {
            ZipReader::close(*zip);
            *zip = nullptr;
        }
        listener.unzipError(zipPath.c_str(), destDir.c_str(), message);
        return false;
    }

    // Runs attempt until it succeeds, up to five times 3000 ms apart, asking
    // the listener what to do after each failure. attempt gives the
    // failure's reader code (Ok on success) and leaves the OS error set.
    // True when the entry is finished: done, kept or skipped; put tells
    // which.
    template <typename Attempt, typename Check>
    bool retry(const std::string &name, Attempt attempt, Check check, bool &put) {
        for (int n = 1;; ++n) {
            uint32_t osError;
            const ZipResult result = attempt();
            if (result == zipresult::Ok) {
                if (check()) {
                    put = true;
                    return true;
                }
                osError = platform::lastError();
            } else {
                osError = platform::lastError();
                const EntryFailureAction action = listener.unzipFailed(
                    destDir.c_str(), name.c_str(), EntryFailure{result, osError});
                if (action == entryfailure::Abort)
                    return giveUp(osError, "upzip file err = %d");
                if (action != entryfailure::Retry) {
                    put = false;
                    return true;
                }
            }
            platform::sleepMs(3000);
            if (n == attemptsPerEntry)
                return giveUp(osError, "upzip 5 times ---- file err = %d");
        }
    }

private:
    const std::string &zipPath;
    const std::string &destDir;
    UnzipListener &listener;
    ZipHandle *zip;
};

class Archive {
public:
    ~Archive() {
        if (zip)
            ZipReader::close(zip);
    }
    ZipHandle zip = nullptr;
};

bool isFolderEntry(const ZipEntryInfo &info) {
    return (info.attributes & platform::attribute::Directory) != 0;
}

} // namespace

bool stagePackage(const std::string &zipPath, const std::string &source, const std::string &destDir,
                  UnzipListener &listener, bool allEntries, UpdateTransaction &transaction,
                  StagedPackage &staged) {
    Archive archive;
    Reports reports(zipPath, destDir, listener, &archive.zip);
    staged = StagedPackage{zipPath, destDir, allEntries, 0, {}};
    archive.zip = ZipReader::open(source.c_str());
    if (!archive.zip)
        return reports.giveUp(platform::lastError(), "open zip err = %d");
    const int root = transaction.addRoot(destDir);
    if (root < 0 || ZipReader::setBaseFolder(
                        archive.zip, transaction.stagingFolder(root).c_str()) != zipresult::Ok)
        return reports.giveUp(platform::lastError(), "set zip dir err = %d");
    ZipEntryInfo info{};
    if (ZipReader::entryInfo(archive.zip, -1, info) != zipresult::Ok)
        return reports.giveUp(platform::lastError(), "read zip info err = %d");
    staged.total = info.index;

    // Every name accepted and the room known before the first byte is
    // decoded. The old files need no room: they are only moved aside.
    uint64_t needed = 0;
    for (int i = 0; i < staged.total; ++i) {
        if (ZipReader::entryInfo(archive.zip, i, info) != zipresult::Ok)
            return reports.giveUp(platform::lastError(), "read zipfile-%d err = %d", i);
        if (allEntries || platform::findText8(info.name, "Config") != std::string::npos)
            needed += (info.size + clusterSize - 1) / clusterSize * clusterSize + clusterSize;
    }
    uint64_t available = 0;
    if (!platform::freeDiskSpaceA(destDir.c_str(), available))
        return reports.giveUp(platform::lastError(), "disk space err = %d");
    if (available < needed)
        return reports.giveUp(platform::error::DiskFull, "disk space err = %d");

    for (int i = 0; i < staged.total; ++i) {
        if (ZipReader::entryInfo(archive.zip, i, info) != zipresult::Ok)
            return reports.giveUp(platform::lastError(), "read zipfile-%d err = %d", i);
        const std::string name = info.name;
        if (!allEntries && platform::findText8(name, "Config") == std::string::npos)
            continue;
        const bool folder = isFolderEntry(info);
        bool put = false;
        if (!reports.retry(
                name, [&] { return ZipReader::extractEntry(archive.zip, i, name.c_str()); },
                [] { return true; }, put))
            return false;
        int planned = -1;
        if (put) {
            planned = transaction.plan(root, name, folder);
            // A name the update keeps for its own folders and journal.
            if (planned < 0) {
                const uint32_t osError = platform::lastError();
                listener.unzipFailed(destDir.c_str(), name.c_str(),
                                     EntryFailure{zipresult::UnsafeName, osError});
                return reports.giveUp(osError, "upzip file err = %d");
            }
        }
        staged.entries.push_back({i, name, planned});
    }
    return true;
}

bool applyPackage(const StagedPackage &staged, UnzipListener &listener,
                  UpdateTransaction &transaction) {
    Reports reports(staged.zipPath, staged.destDir, listener);
    if (!transaction.begin())
        return reports.giveUp(platform::lastError(), "begin update err = %d");
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
            if (!reports.retry(entry.name, install, check, put))
                return false;
        }
        listener.unzipProgress(staged.total, entry.index, entry.name.c_str(), entry.name.c_str(),
                               staged.allEntries);
    }
    return true;
}
