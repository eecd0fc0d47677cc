// What the extraction driver asks of whoever runs it while it works: one
// listener, handed over with the call, hears every entry of one package
// that is done and decides what happens to one that failed. How a package
// as a whole fared the driver returns (see unzippackage.h). No Qt: paths and
// names are 8-bit strings in the local code page, as the ZIP reader takes
// and gives them.
#pragma once

#include "zipresult.h"

#include <cstdint>

// What the listener wants done with an entry that could not be extracted or
// put in place: try it again (after a wait), let it be (a folder entry, or
// a locked user's settings file that keeps its old content) and go on, or
// give the package up.
enum class EntryFailureAction { Skip, Retry, Abort };

// Where an entry failed: while it was decoded from the package (the
// reader's code tells why), or while it was put in place (most often a
// target that another program holds).
enum class EntryStage { Decode, Install };

// Why an entry could not be extracted or put in place. result is the
// reader's code (Ok where the reader had no part). The OS error is the one
// the thread had right when it failed: whatever the listener does next sets
// errors of its own. lastAttempt: no retry follows.
struct EntryFailure {
    EntryStage stage;
    ZipResult result;
    uint32_t osError;
    bool lastAttempt;
};

class UnzipListener {
public:
    // An entry is finished (extracted and in place, kept or skipped); name
    // is given twice. The result is ignored.
    virtual int unzipProgress(int total, int index, const char *name, const char *name2,
                              bool allEntries) = 0;
    // Extracting an entry, or putting it in place, failed: the listener
    // decides what happens to it. What failed in the end the driver returns
    // (see UnzipFailure), for its caller to report.
    virtual EntryFailureAction unzipFailed(const char *destDir, const char *name,
                                           const EntryFailure &failure) = 0;

protected:
    ~UnzipListener() = default;
};
