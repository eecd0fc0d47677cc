// What the extraction driver tells whoever runs it, and what it asks of
// them: one listener, handed over with the call, receives every report of
// one package. No Qt: paths and names are 8-bit strings in the local code
// page, as the ZIP reader takes and gives them.
#pragma once

#include "zipresult.h"

#include <cstdint>

// What the listener wants done with an entry that could not be extracted.
// Every value other than Retry and Abort skips the entry.
using EntryFailureAction = int32_t;
namespace entryfailure {
constexpr EntryFailureAction Skip = 0;
constexpr EntryFailureAction Retry = 1;
constexpr EntryFailureAction KeepExisting = 2;
constexpr EntryFailureAction Abort = -1;
} // namespace entryfailure

// Why an entry could not be extracted. The OS error is the one the thread
// had right when the extraction failed: whatever the listener does next
// (logging, forced deletion) sets errors of its own.
struct EntryFailure {
    ZipResult result;
    uint32_t osError;
};

class UnzipListener {
public:
    // An entry is finished (extracted and in place, kept or skipped); name
    // is given twice. The result is ignored.
    virtual int unzipProgress(int total, int index, const char *name, const char *name2,
                              bool allEntries) = 0;
    // The package is given up; called once, just before the driver returns
    // false. message ends with the OS error of the failure. The result is
    // ignored.
    virtual int unzipError(const char *zipPath, const char *destDir, const char *message) = 0;
    // Extracting an entry, or putting it in place, failed: retry it, keep
    // what is there, skip it or give the package up.
    virtual EntryFailureAction unzipFailed(const char *destDir, const char *name,
                                           const EntryFailure &failure) = 0;
    // An entry was extracted: true when it is in place. When false, the
    // thread's last error should tell why (the driver reports it after the
    // last attempt).
    virtual bool unzipCheck(const char *destDir, const char *name) = 0;

protected:
    ~UnzipListener() = default;
};
