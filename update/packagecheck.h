// The publisher's signature on the update package. An updater built with the
// publisher's public key (VELMAR_PACKAGE_PUBLIC_KEY) takes only packages that
// the key signed; one built without a key takes every package, as before.
// The build links one of packagecheck_signed.cpp and packagecheck_unsigned.cpp.
#pragma once

#include "platform.h"

#include <string>

class PackageCheck {
public:
    PackageCheck() = default;
    ~PackageCheck() { release(); }
    PackageCheck(const PackageCheck &) = delete;
    PackageCheck &operator=(const PackageCheck &) = delete;

    // True when the package (an 8-bit path) may be unpacked. A package whose
    // signature was checked stays open, shared for reading only, until
    // release(): Windows then lets nobody write, replace or delete it between
    // the check and the end of its extraction.
    bool accept(const std::string &package);
    void release() {
        if (package_)
            platform::closeFile(package_);
        package_ = nullptr;
    }

private:
    platform::FileHandle package_ = nullptr;
};
