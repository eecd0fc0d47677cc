// The updater's check of the package with the test build's key: what it
// takes, and which versions it lets follow each other.
#include "packagecheck.h"
#include "packagesignature.h"
#include "platform.h"
#include "testsupport.h"
#include "testzip.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace testsupport;
namespace ps = packagesignature;

namespace {

class PackageHold : public ::testing::Test {
protected:
    void SetUp() override {
        const char *keyFile = std::getenv("VELMAR_TEST_SIGNING_KEY");
        ASSERT_TRUE(keyFile);
        std::string hex = readFile(u8path(keyFile));
        hex.resize(2 * ps::secretKeySize);
        ASSERT_TRUE(ps::parseSecretKey(hex, key));

        writeFile(u8path(temp / "unsigned.zip"),
                  testzip::build(
                      testzip::Archive(std::vector<testzip::Entry>{{"bin/app.dll", "app 2.0.0"}})));
        signedBytes = signedAs("2.0.0");
        unversionedBytes = signedAs("");
    }

    std::string signedAs(const std::string &version) const {
        platform::FileHandle in = open(temp / "unsigned.zip", platform::FileAccess::Read,
                                       platform::FileDisposition::OpenExisting);
        platform::FileHandle out =
            open(package, platform::FileAccess::Write, platform::FileDisposition::CreateAlways);
        EXPECT_TRUE(in && out);
        EXPECT_EQ(ps::sign(in, key, out, version), ps::Status::Valid);
        platform::closeFile(in);
        platform::closeFile(out);
        return readFile(u8path(package));
    }

    static platform::FileHandle open(const std::string &path, platform::FileAccess access,
                                     platform::FileDisposition disposition) {
        return platform::openFileA(path.c_str(), access, platform::FileShare::Read, disposition);
    }

    TempDir temp;
    const std::string package = temp / "update.zip";
    ps::SecretKey key{};
    std::string signedBytes, unversionedBytes;
};

} // namespace

// The package is read once, into the update's own copy, and checked on the
// way: what is taken is the copy, and only with the version the key signed.
TEST_F(PackageHold, TakesACopyOfExactlyTheSignedPackageWithItsVersion) {
    std::string changed = signedBytes;
    changed[changed.size() / 2] = static_cast<char>(changed[changed.size() / 2] ^ 0x40);
    using Outcome = PackageCheck::Outcome;
    const struct {
        std::string bytes;
        Outcome outcome;
    } packages[] = {{signedBytes, Outcome::Taken},
                    {changed, Outcome::Refused},
                    {readFile(u8path(temp / "unsigned.zip")), Outcome::Refused},
                    {unversionedBytes, Outcome::Unversioned},
                    {std::string(), Outcome::Refused}};
    for (const auto &candidate : packages) {
        writeFile(u8path(package), candidate.bytes);
        const platform::File file(
            open(package, platform::FileAccess::Read, platform::FileDisposition::OpenExisting));
        const platform::File copy(open(temp / "copy.zip", platform::FileAccess::ReadWrite,
                                       platform::FileDisposition::CreateAlways));
        ASSERT_TRUE(file && copy);
        PackageCheck check;
        EXPECT_EQ(check.take(file.get(), copy.get()), candidate.outcome) << candidate.bytes.size();
        EXPECT_EQ(readFile(u8path(temp / "copy.zip")), candidate.bytes);
        EXPECT_EQ(check.signedVersion(), candidate.outcome == Outcome::Taken
                                             ? std::optional<std::string>("2.0.0")
                                             : std::nullopt);
    }
}

// A signed package of an older release, put back, does not take the
// installation back; the same version again, or an unknown one, passes.
TEST(PackageVersions, AnOlderVersionIsRefusedByItsNumericParts) {
    const struct {
        const char *offered, *installed;
        bool taken;
    } versions[] = {
        {"2.0.0", "1.5.0", true},  {"1.5.0", "2.0.0", false}, {"2.0.0", "2.0.0", true},
        {"1.10", "1.9", true},     {"1.9", "1.10", false},    {"2", "2.0.0", true},
        {"2.0-rc1", "2.1", false}, {"1.0", "", true},         {"v2.0", "v1.9", true},
        {"v1.9", "2.0", false},    {"V2", "1.9", true},
    };
    const PackageCheck check;
    for (const auto &version : versions)
        EXPECT_EQ(check.acceptVersion(version.offered, version.installed), version.taken)
            << version.offered << " over " << version.installed;
}
