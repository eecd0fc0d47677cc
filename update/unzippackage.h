// Drives one update package through the ZIP reader, entry by entry, with
// retries; what happens around each entry (progress, failures, locked files)
// is decided by the callbacks the caller gives. No Qt, no user interface:
// paths and names are 8-bit strings in the local code page.
#pragma once

#include <cstdint>
#include <string>

// What the failure callback wants done with an entry that could not be
// extracted. Every value other than Retry and Abort skips the entry.
using EntryFailureAction = int32_t;
namespace entryfailure {
constexpr EntryFailureAction Skip = 0;
constexpr EntryFailureAction Retry = 1;
constexpr EntryFailureAction KeepExisting = 2;
constexpr EntryFailureAction Abort = -1;
} // namespace entryfailure

// Called for each finished entry (name is given twice); result ignored.
using UnzipProgressCallback = int (*)(int total, int index, const char *name, const char *name2,
                                      bool allEntries);
// Called once, just before the package is given up; result ignored.
using UnzipErrorCallback = int (*)(const char *zipPath, const char *destDir, const char *message);
// Called when extracting an entry failed; result is the reader's code for
// the failure.
using UnzipFailedCallback = EntryFailureAction (*)(const char *destDir, const char *name,
                                                   uint32_t result);
// Called after an entry was extracted: true when it is in place.
using UnzipCheckCallback = bool (*)(const char *destDir, const char *name);

// Extracts the package zipPath into destDir: every entry, or with allEntries
// false only those whose name contains "Config". An entry is tried up to
// five times, 3000 ms apart. True when the package was processed to its end.
bool unzipPackage(const std::string &zipPath, const std::string &destDir,
                  UnzipProgressCallback progress, UnzipErrorCallback error,
                  UnzipFailedCallback failed, UnzipCheckCallback check, bool allEntries);
