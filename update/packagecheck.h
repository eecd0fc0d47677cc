// The publisher's signature on the update package, and the version it
// brings. An updater built with the publisher's public key
// (VELMAR_PACKAGE_PUBLIC_KEY) takes only packages that the key signed, and
// none that would take the installation back to an older version; one built
// without a key takes every package, as before. The build links one of
// packagecheck_signed.cpp and packagecheck_unsigned.cpp.
#pragma once

#include "platform.h"

#include <string>

class PackageCheck {
public:
    // True when the package, open in package (read from its start), may be
    // unpacked. The caller keeps it open, shared for reading only, until it
    // has been unpacked: Windows then lets nobody write, replace or delete
    // it between the check and the end of its extraction, and the reader
    // reads through the same handle.
    bool accept(platform::FileHandle package);

    // True when the package may bring version offered over the installed
    // one: an updater with a key refuses an older version (a signed package
    // of a release with known flaws, put back). Either unknown passes.
    bool acceptVersion(const std::string &offered, const std::string &installed) const;
};

// -1, 0 or 1 as version a is lower than, the same as or higher than b,
// compared by their numeric parts ("1.10" after "1.9"; a missing part is 0,
// a part's leading digits are its number: "2.0-rc1" is 2.0).
int compareVersions(const std::string &a, const std::string &b);
