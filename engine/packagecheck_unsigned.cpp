#include "packagecheck.h"

// No publisher's key: every package and every version is taken, so that
// nothing differs from an updater that knows nothing of signatures.
struct PackageCheck::Signature {};

PackageCheck::PackageCheck() : signature_(std::make_unique<Signature>()) {}

PackageCheck::~PackageCheck() = default;

void PackageCheck::observe(const unsigned char *, std::size_t) {}

PackageCheck::Outcome PackageCheck::conclude(platform::FileHandle) {
    return Outcome::Taken;
}

bool PackageCheck::acceptVersion(const std::string &, const std::string &) const {
    return true;
}
