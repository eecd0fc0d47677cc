#include "unzippackage.h"

#include "platform.h"
#include "zipreader.h"

#include <cstdio>

namespace {

constexpr int attemptsPerEntry = 5;

// Reports the failure with the thread's last OS error in the message, as the
// log has always shown it, and gives the package up.
template <typename... Values>
bool giveUp(UnzipErrorCallback error, const std::string &zipPath, const std::string &destDir,
            ZipHandle zip, const char *format, Values... values) {
    char message[100] = {};
    std::snprintf(message, sizeof message, format, values...,
                  static_cast<int>(platform::lastError()));
    error(zipPath.c_str(), destDir.c_str(), message);
    if (zip)
        ZipReader::close(zip);
    return false;
}

} // namespace

bool unzipPackage(const std::string &zipPath, const std::string &destDir,
                  UnzipProgressCallback progress, UnzipErrorCallback error,
                  UnzipFailedCallback failed, UnzipCheckCallback check, bool allEntries) {
    ZipHandle zip = ZipReader::open(zipPath.c_str());
    if (!zip)
        return giveUp(error, zipPath, destDir, nullptr, "open zip err = %d");
    if (ZipReader::setBaseFolder(zip, destDir.c_str()) != zipresult::Ok)
        return giveUp(error, zipPath, destDir, zip, "set zip dir err = %d");
    ZipEntryInfo info{};
    if (ZipReader::entryInfo(zip, -1, info) != zipresult::Ok)
        return giveUp(error, zipPath, destDir, zip, "read zip info err = %d");
    const int total = info.index;

    for (int i = 0; i < total; ++i) {
        if (ZipReader::entryInfo(zip, i, info) != zipresult::Ok)
            return giveUp(error, zipPath, destDir, zip, "read zipfile-%d err = %d", i);
        const std::string name = info.name;
        if (!allEntries && platform::findText8(name, "Config") == std::string::npos)
            continue;

        for (int attempt = 1;; ++attempt) {
            const ZipResult result = ZipReader::extractEntry(zip, i, name.c_str());
            if (result == zipresult::Ok) {
                if (check(destDir.c_str(), name.c_str()))
                    break;
            } else {
                const EntryFailureAction action = failed(destDir.c_str(), name.c_str(), result);
                if (action == entryfailure::Abort)
                    return giveUp(error, zipPath, destDir, zip, "upzip file err = %d");
                if (action != entryfailure::Retry)
                    break;
            }
            platform::sleepMs(3000);
            if (attempt == attemptsPerEntry)
                return giveUp(error, zipPath, destDir, zip, "upzip 5 times ---- file err = %d");
        }
        progress(total, i, name.c_str(), name.c_str(), allEntries);
    }
    ZipReader::close(zip);
    return true;
}
