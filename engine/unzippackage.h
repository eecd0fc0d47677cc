// Drives the update packages through the ZIP reader and into place, entry by
// entry, with retries; what happens around each entry (progress, failures,
// locked files) is decided by the listener the caller gives, and how the
// package fared is the driver's result. No Qt, no user interface: paths and
// names are 8-bit strings in the local code page.
//
// A package goes in two passes. stagePackage reads it through and decodes
// every entry into a staging folder beside its target (names accepted,
// CRC-32 checked, room on the volume checked first), changing nothing else.
// applyPackage then puts the staged entries in place through the update's
// transaction, in the package's order, reporting each as it is finished.
#pragma once

#include "unziplistener.h"
#include "updatetransaction.h"

#include <optional>
#include <string>
#include <vector>

// Where the fault of a package given up lies: in its bytes (corrupted,
// cut short, names the update cannot take), or at its targets (a file in
// use, no room on the volume, a link in the way).
enum class FailureSite { Package, Target };

// Why a package was given up: what failed, with the reader's code (Ok
// where the reader had no part) and the OS error taken where it failed.
// message is the driver's own line for it, as the log shows it ("upzip
// file err = 32").
struct UnzipFailure {
    std::string zipPath;
    std::string destDir;
    std::string message;
    ZipResult result;
    uint32_t osError;
    FailureSite site;
    // Where one entry failed: its name, and where it failed.
    std::string entry = {};
    EntryStage stage = EntryStage::Decode;
};
// Empty when the package went through.
using UnzipResult = std::optional<UnzipFailure>;

// One package and where it goes.
struct PackageJob {
    std::string zipPath;          // its name in the reports
    platform::FileHandle package; // open and kept by the caller: never opened again by name
    std::string destDir;          // the folder its entries go to, by name
    int root;                     // that folder in the transaction (the caller added it)
    // Every entry, or only those whose name contains "Config".
    bool allEntries;
};

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
    int root = -1;
    bool allEntries = true;
    int total = 0;
    std::vector<Entry> entries;
};

// Decodes the package into the transaction's staging folder for its
// target folder. An entry is tried up to five times, 3000 ms apart. On
// failure nothing outside the staging folder has changed.
UnzipResult stagePackage(const PackageJob &job, UnzipListener &listener,
                         UpdateTransaction &transaction, StagedPackage &staged);

// Puts a staged package in place; the first call begins the transaction
// (so every package must be staged before). An entry is tried up to five
// times, 3000 ms apart. On failure the transaction is left for the caller
// to roll back.
UnzipResult applyPackage(const StagedPackage &staged, UnzipListener &listener,
                         UpdateTransaction &transaction);
