#include "packagecheck.h"
#include "packagekey.h"
#include "packagesignature.h"

bool PackageCheck::accept(const std::string &package) {
    release();
    packagesignature::PublicKey key;
    if (!packagesignature::parsePublicKey(packagePublicKey, key))
        return false;
    package_ =
        platform::openFileA(package.c_str(), platform::FileAccess::Read, platform::FileShare::Read,
                            platform::FileDisposition::OpenExisting);
    if (package_ && packagesignature::verify(package_, key) == packagesignature::Status::Valid)
        return true;
    release();
    return false;
}
