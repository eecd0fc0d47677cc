#include "unzippackage.h"

#include "platform.h"
#include "zipreader.h"

#include <cstdio>

namespace {

constexpr int attemptsPerEntry = 5;

// One package on its way through the reader. Every way out that fails goes
// through giveUp, with the OS error taken where the failure happened.
class PackageRun {
public:
    PackageRun(const std::string &zipPath, const std::string &destDir, UnzipListener &listener)
        : zipPath(zipPath), destDir(destDir), listener(listener) {}
    ~PackageRun() {
        if (zip)
            ZipReader::close(zip);
    }
    PackageRun(const PackageRun &) = delete;
    PackageRun &operator=(const PackageRun &) = delete;

    bool run(bool allEntries);

private:
    // The outcome of one entry: finished, or the package is given up.
    bool extract(int index, const std::string &name);

    template <typename... Values>
    bool giveUp(uint32_t osError, const char *format, Values... values) {
        char message[100] = {};
        std::snprintf(message, sizeof message, format, values..., static_cast<int>(osError));
        listener.unzipError(zipPath.c_str(), destDir.c_str(), message);
        return false;
    }

    const std::string &zipPath;
    const std::string &destDir;
    UnzipListener &listener;
    ZipHandle zip = nullptr;
};

bool PackageRun::run(bool allEntries) {
    zip = ZipReader::open(zipPath.c_str());
    if (!zip)
        return giveUp(platform::lastError(), "open zip err = %d");
    if (ZipReader::setBaseFolder(zip, destDir.c_str()) != zipresult::Ok)
        return giveUp(platform::lastError(), "set zip dir err = %d");
    ZipEntryInfo info{};
    if (ZipReader::entryInfo(zip, -1, info) != zipresult::Ok)
        return giveUp(platform::lastError(), "read zip info err = %d");
    const int total = info.index;

    for (int i = 0; i < total; ++i) {
        if (ZipReader::entryInfo(zip, i, info) != zipresult::Ok)
            return giveUp(platform::lastError(), "read zipfile-%d err = %d", i);
        const std::string name = info.name;
        if (!allEntries && platform::findText8(name, "Config") == std::string::npos)
            continue;
        if (!extract(i, name))
            return false;
        listener.unzipProgress(total, i, name.c_str(), name.c_str(), allEntries);
    }
    return true;
}

bool PackageRun::extract(int index, const std::string &name) {
    for (int attempt = 1;; ++attempt) {
        uint32_t osError;
        const ZipResult result = ZipReader::extractEntry(zip, index, name.c_str());
        if (result == zipresult::Ok) {
            if (listener.unzipCheck(destDir.c_str(), name.c_str()))
                return true;
            osError = platform::lastError();
        } else {
            osError = platform::lastError();
            const EntryFailureAction action =
                listener.unzipFailed(destDir.c_str(), name.c_str(), EntryFailure{result, osError});
            if (action == entryfailure::Abort)
                return giveUp(osError, "upzip file err = %d");
            if (action != entryfailure::Retry)
                return true;
        }
        platform::sleepMs(3000);
        if (attempt == attemptsPerEntry)
            return giveUp(osError, "upzip 5 times ---- file err = %d");
    }
}

} // namespace

bool unzipPackage(const std::string &zipPath, const std::string &destDir, UnzipListener &listener,
                  bool allEntries) {
    PackageRun package(zipPath, destDir, listener);
    return package.run(allEntries);
}
