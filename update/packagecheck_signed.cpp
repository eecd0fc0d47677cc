#include "packagecheck.h"
#include "packagekey.h"
#include "packagesignature.h"

bool PackageCheck::accept(platform::FileHandle package) {
    packagesignature::PublicKey key;
    return package && packagesignature::parsePublicKey(packagePublicKey, key) &&
           packagesignature::verify(package, key) == packagesignature::Status::Valid;
}

bool PackageCheck::acceptVersion(const std::string &offered, const std::string &installed) const {
    return offered.empty() || installed.empty() || compareVersions(offered, installed) >= 0;
}
