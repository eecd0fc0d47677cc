// Drives the update packages through the ZIP reader and into place, entry by
// entry, with retries; what happens around each entry (progress, failures,
// locked files) is decided by the listener the caller gives. No Qt, no user
// interface: paths and names are 8-bit strings in the local code page.
//
// A package goes in two passes. stagePackage reads it through and decodes
// every entry into a staging folder beside its target (names accepted,
// CRC-32 checked, room on the volume checked first), changing nothing else.
// applyPackage then puts the staged entries in place through the update's
// transaction, in the package's order, reporting each as it is finished.
#pragma once

#include "unziplistener.h"
#include "updatetransaction.h"

#include <string>
#include <vector>

// A package read through and decoded, waiting to be put in place.
struct StagedPackage {
    struct Entry {
        int index;
        std::string name;
        // The transaction's entry; -1 when the listener let the entry be
        // (skipped, or the existing file kept).
        int planned;
    };

    std::string zipPath;
    std::string destDir;
    bool allEntries = true;
    int total = 0;
    std::vector<Entry> entries;
};

// Decodes the package at source into transaction's staging folder for
// destDir: every entry, or with allEntries false only those whose name
// contains "Config". zipPath is the package's name in the reports (source
// may be a copy staged by an earlier package). An entry is tried up to five
// times, 3000 ms apart. On false, listener.unzipError has been called
// exactly once; nothing outside the staging folder has changed.
bool stagePackage(const std::string &zipPath, const std::string &source, const std::string &destDir,
                  UnzipListener &listener, bool allEntries, UpdateTransaction &transaction,
                  StagedPackage &staged);

// Puts a staged package in place; the first call begins the transaction
// (so every package must be staged before). An entry is tried up to five
// times, 3000 ms apart. True when the package was processed to its end; on
// false, listener.unzipError has been called exactly once and the
// transaction is left for the caller to roll back.
bool applyPackage(const StagedPackage &staged, UnzipListener &listener,
                  UpdateTransaction &transaction);
