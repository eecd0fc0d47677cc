// pkgsign: the publisher's tool for signed update packages.
//
//   pkgsign keygen SECRET_FILE           new key pair; prints the public key
//   pkgsign sign SECRET_FILE PACKAGE VERSION   signs PACKAGE in place, with
//                                              the release's version
//   pkgsign sign-unversioned SECRET_FILE PACKAGE   signs it for updaters from
//                                              before signed versions
//   pkgsign verify PUBLIC_KEY PACKAGE    exit 0 only for a valid signature
//
// Exit codes: 0 done, 1 refused or failed (one line on stderr says why),
// 2 wrong arguments (usage on stderr).
#include "packagesignature.h"
#include "platform.h"
#include "toolmain.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

namespace ps = packagesignature;

namespace {

const char generalUsage[] = "usage: pkgsign keygen SECRET_FILE\n"
                            "       pkgsign sign SECRET_FILE PACKAGE VERSION\n"
                            "       pkgsign sign-unversioned SECRET_FILE PACKAGE\n"
                            "       pkgsign verify PUBLIC_KEY_HEX PACKAGE\n"
                            "       pkgsign [COMMAND] --help\n";

const char keygenUsage[] =
    "usage: pkgsign keygen SECRET_FILE\n"
    "Makes a new key pair, writes the secret key to SECRET_FILE (which must not\n"
    "exist; readable by its owner only) and prints the public key as 64 hex\n"
    "digits, the value for the updater's VELMAR_PACKAGE_PUBLIC_KEY.\n";

const char signUsage[] =
    "usage: pkgsign sign SECRET_FILE PACKAGE VERSION\n"
    "Signs the ZIP archive PACKAGE in place with the secret key in SECRET_FILE:\n"
    "the signature becomes the archive comment, replacing an earlier signature.\n"
    "VERSION, the release's version (1 to 64 bytes of text), is signed with it:\n"
    "the updater records it and takes no package of an older one. It must be\n"
    "the Server/Version of the veconfig.ini that the package's Config.zip brings,\n"
    "if it brings one. Refuses an archive with another comment or with data\n"
    "after its end record. The package is replaced in one step; on failure it\n"
    "stays as it was.\n";

const char unversionedUsage[] =
    "usage: pkgsign sign-unversioned SECRET_FILE PACKAGE\n"
    "Signs PACKAGE as sign does, but without a version, as updaters from before\n"
    "signed versions take it (and newer ones refuse it): for the package that\n"
    "brings such installations a newer updater.\n";

const char verifyUsage[] =
    "usage: pkgsign verify PUBLIC_KEY_HEX PACKAGE\n"
    "Exits with 0 when PACKAGE carries a valid signature by the key whose public\n"
    "half is PUBLIC_KEY_HEX (64 hex digits); otherwise says why and exits with 1.\n";

int failure(const std::string &subject, const std::string &reason) {
    std::fprintf(stderr, "pkgsign: %s: %s\n", subject.c_str(), reason.c_str());
    return 1;
}

// A file this tool only reads, closed when the scope ends.
class Reading {
public:
    explicit Reading(const std::string &path)
        : file_(platform::openFileA(path.c_str(), platform::FileAccess::Read,
                                    platform::FileShare::Read,
                                    platform::FileDisposition::OpenExisting)) {}
    ~Reading() { close(); }
    Reading(const Reading &) = delete;
    Reading &operator=(const Reading &) = delete;

    platform::FileHandle handle() const { return file_; }
    void close() {
        if (file_)
            platform::closeFile(file_);
        file_ = nullptr;
    }

private:
    platform::FileHandle file_;
};

std::string errorText(uint32_t code) {
    switch (code) {
    case platform::error::FileNotFound:
    case platform::error::PathNotFound:
        return "no such file";
    case platform::error::AccessDenied:
        return "access denied";
    case platform::error::SharingViolation:
        return "the file is in use";
    case platform::error::FileExists:
    case platform::error::AlreadyExists:
        return "the file exists already";
    default:
        return "error " + std::to_string(code);
    }
}

bool readSecretKey(const std::string &path, ps::SecretKey &key, std::string &reason) {
    Reading file(path);
    if (!file.handle()) {
        reason = errorText(platform::lastError());
        return false;
    }
    std::string text;
    char buffer[256];
    uint32_t got = 0;
    while (text.size() <= 2 * ps::secretKeySize + 2 &&
           platform::readFile(file.handle(), buffer, sizeof buffer, got) && got > 0)
        text.append(buffer, got);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    if (!ps::parseSecretKey(text, key)) {
        reason = "not a secret key file made by pkgsign keygen";
        return false;
    }
    return true;
}

int keygen(const std::string &secretFile) {
    ps::PublicKey publicKey;
    ps::SecretKey secretKey;
    if (!ps::generateKeyPair(publicKey, secretKey))
        return failure(secretFile, ps::describe(ps::Status::CryptoUnusable));
    // Created new (never over an older key) and made private before a byte
    // of the key is in it.
    platform::FileHandle file =
        platform::openFileA(secretFile.c_str(), platform::FileAccess::Write,
                            platform::FileShare::None, platform::FileDisposition::CreateNew);
    if (!file)
        return failure(secretFile, errorText(platform::lastError()));
    std::error_code error;
    namespace fs = std::filesystem;
    fs::permissions(fs::path(secretFile), fs::perms::owner_read | fs::perms::owner_write,
                    fs::perm_options::replace, error);
    const std::string text = ps::toHex(secretKey.data(), secretKey.size()) + "\n";
    const bool written =
        !error && platform::writeFile(file, text.data(), static_cast<uint32_t>(text.size()));
    platform::closeFile(file);
    if (!written) {
        platform::deleteFileA(secretFile.c_str());
        return failure(secretFile, error ? "cannot make the file private: " + error.message()
                                         : std::string("cannot write the key"));
    }
    std::printf("%s\n", ps::toHex(publicKey.data(), publicKey.size()).c_str());
    return 0;
}

// version "" signs without one (sign-unversioned).
int sign(const std::string &secretFile, const std::string &package, const std::string &version,
         bool versioned) {
    if (versioned && !ps::isVersionText(version))
        return failure(version, "not a version (1 to 64 bytes of text, no control characters)");
    ps::SecretKey key;
    std::string reason;
    if (!readSecretKey(secretFile, key, reason))
        return failure(secretFile, reason);
    Reading original(package);
    if (!original.handle())
        return failure(package, errorText(platform::lastError()));
    // Written beside the package and put in its place in one step, so that a
    // reader never sees half a package and a failure leaves the old one.
    const std::string temporary = package + ".pkgsign-tmp";
    platform::FileHandle copy =
        platform::openFileA(temporary.c_str(), platform::FileAccess::Write,
                            platform::FileShare::None, platform::FileDisposition::CreateNew);
    if (!copy)
        return failure(temporary, errorText(platform::lastError()));
    const ps::Status status = ps::sign(original.handle(), key, copy, version);
    platform::closeFile(copy);
    original.close();
    if (status != ps::Status::Valid) {
        platform::deleteFileA(temporary.c_str());
        return failure(package, ps::describe(status));
    }
    if (!platform::replaceFileA(temporary.c_str(), package.c_str())) {
        const uint32_t error = platform::lastError();
        platform::deleteFileA(temporary.c_str());
        return failure(package, "cannot replace it: " + errorText(error));
    }
    return 0;
}

int verify(const std::string &publicHex, const std::string &package) {
    ps::PublicKey key;
    if (!ps::parsePublicKey(publicHex, key))
        return failure(publicHex, "not a public key (64 hex digits)");
    Reading file(package);
    if (!file.handle())
        return failure(package, errorText(platform::lastError()));
    std::string version;
    const ps::Status status = ps::verify(file.handle(), key, version);
    if (status != ps::Status::Valid)
        return failure(package, ps::describe(status));
    const std::string signedVersion = version.empty() ? "no version" : "version " + version;
    std::printf("%s: %s, %s\n", package.c_str(), ps::describe(status), signedVersion.c_str());
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    return toolmain::run(
        argc, argv, generalUsage,
        {{"keygen", keygenUsage, 1, [](char **a) { return keygen(a[0]); }},
         {"sign", signUsage, 3, [](char **a) { return sign(a[0], a[1], a[2], true); }},
         {"sign-unversioned", unversionedUsage, 2,
          [](char **a) { return sign(a[0], a[1], std::string(), false); }},
         {"verify", verifyUsage, 2, [](char **a) { return verify(a[0], a[1]); }}});
}
