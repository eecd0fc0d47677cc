// The publisher's signature on the update package, and the version it
// brings. An updater built with the publisher's public key
// (VELMAR_PACKAGE_PUBLIC_KEY) takes only packages that the key signed, with
// the version the key signed, and none that would take the installation
// back to an older version; one built without a key takes every package, as
// before. The build links one of packagecheck_signed.cpp and
// packagecheck_unsigned.cpp.
#pragma once

#include "platform.h"

#include <memory>
#include <optional>
#include <string>

class PackageCheck {
public:
    enum class Outcome {
        Taken,       // the copy is the package, and it may be unpacked
        ReadFailed,  // the package could not be read to its end
        WriteFailed, // the copy could not be written
        Refused,     // not signed by the publisher's key
        Unversioned, // signed, but without the version (an older form)
    };

    PackageCheck();
    ~PackageCheck();
    PackageCheck(const PackageCheck &) = delete;
    PackageCheck &operator=(const PackageCheck &) = delete;

    // Copies the package, open in package (read from its start), into copy,
    // checking it on the way: the package lies where every user can write,
    // so it is read there once, and only the copy (in a folder of the
    // update's own) is checked and unpacked. What was checked is then what
    // is unpacked, whatever happens to the package meanwhile.
    Outcome take(platform::FileHandle package, platform::FileHandle copy);

    // The version the publisher signed, once a package was taken: it alone
    // is recorded and compared. Nothing in a build without a key, where the
    // configuration's veconfig.ini tells the version.
    const std::optional<std::string> &signedVersion() const { return signedVersion_; }

    // True when the package may bring version offered over the installed
    // one: an updater with a key refuses an older version (a signed package
    // of a release with known flaws, put back). An unknown installed one
    // passes.
    bool acceptVersion(const std::string &offered, const std::string &installed) const;

private:
    // The signature's state while the package goes by, and its verdict; a
    // build without a key has nothing to keep and takes every package.
    struct Signature;
    void observe(const unsigned char *bytes, std::size_t size);
    Outcome conclude(platform::FileHandle copy);

    std::unique_ptr<Signature> signature_;
    std::optional<std::string> signedVersion_;
};

// -1, 0 or 1 as version a is lower than, the same as or higher than b,
// compared part by part ("1.10" after "1.9"; a missing part is 0; a part's
// first digits are its number, letters before them aside: "2.0-rc1" is 2.0,
// "v2.0" is 2.0).
int compareVersions(const std::string &a, const std::string &b);
