#include "packagecheck.h"
#include "packagekey.h"
#include "packagesignature.h"

struct PackageCheck::Signature {
    packagesignature::StreamingCheck check;
};

PackageCheck::PackageCheck() : signature_(std::make_unique<Signature>()) {}

PackageCheck::~PackageCheck() = default;

void PackageCheck::observe(const unsigned char *bytes, std::size_t size) {
    signature_->check.update(bytes, size);
}

PackageCheck::Outcome PackageCheck::conclude(platform::FileHandle copy) {
    packagesignature::PublicKey key;
    std::string version;
    if (!packagesignature::parsePublicKey(packagePublicKey, key) ||
        signature_->check.finish(copy, key, version) != packagesignature::Status::Valid)
        return Outcome::Refused;
    if (version.empty())
        return Outcome::Unversioned;
    signedVersion_ = version;
    return Outcome::Taken;
}

bool PackageCheck::acceptVersion(const std::string &offered, const std::string &installed) const {
    return installed.empty() || compareVersions(offered, installed) >= 0;
}
