// Drives one update package through the ZIP reader, entry by entry, with
// retries; what happens around each entry (progress, failures, locked files)
// is decided by the listener the caller gives. No Qt, no user interface:
// paths and names are 8-bit strings in the local code page.
#pragma once

#include "unziplistener.h"

#include <string>

// Extracts the package zipPath into destDir: every entry, or with allEntries
// false only those whose name contains "Config". An entry is tried up to
// five times, 3000 ms apart. True when the package was processed to its end;
// on false, listener.unzipError has been called exactly once.
bool unzipPackage(const std::string &zipPath, const std::string &destDir, UnzipListener &listener,
                  bool allEntries);
