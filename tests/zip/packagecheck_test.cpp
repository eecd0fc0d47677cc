// The updater's check of the package with the test build's key: what it
// takes, and that a package it took stays as it was checked until the
// updater lets go of it.
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
        platform::FileHandle in = open(temp / "unsigned.zip", platform::FileAccess::Read,
                                       platform::FileDisposition::OpenExisting);
        platform::FileHandle out =
            open(package, platform::FileAccess::Write, platform::FileDisposition::CreateAlways);
        ASSERT_TRUE(in && out);
        ASSERT_EQ(ps::sign(in, key, out), ps::Status::Valid);
        platform::closeFile(in);
        platform::closeFile(out);
        signedBytes = readFile(u8path(package));
    }

    static platform::FileHandle open(const std::string &path, platform::FileAccess access,
                                     platform::FileDisposition disposition) {
        return platform::openFileA(path.c_str(), access, platform::FileShare::Read, disposition);
    }
    // Whether someone may put other bytes into the package now.
    bool canOverwrite() const {
        platform::FileHandle file =
            platform::openFileA(package.c_str(), platform::FileAccess::Write,
                                platform::FileShare::None, platform::FileDisposition::OpenExisting);
        if (file)
            platform::closeFile(file);
        return file != nullptr;
    }
    bool canReplace() const {
        writeFile(u8path(temp / "other.zip"), "other");
        return platform::replaceFileA((temp / "other.zip").c_str(), package.c_str());
    }

    TempDir temp;
    const std::string package = temp / "update.zip";
    ps::SecretKey key{};
    std::string signedBytes;
};

} // namespace

TEST_F(PackageHold, ASignedPackageIsTakenAndHeldUntilLetGo) {
    PackageCheck check;
    ASSERT_TRUE(check.accept(package));
    // Others may still read it, as the ZIP reader does.
    platform::FileHandle reader =
        open(package, platform::FileAccess::Read, platform::FileDisposition::OpenExisting);
    EXPECT_TRUE(reader);
    if (reader)
        platform::closeFile(reader);
    EXPECT_FALSE(canOverwrite());
    EXPECT_FALSE(canReplace());
    EXPECT_FALSE(platform::deleteFileA(package.c_str()));
    EXPECT_EQ(readFile(u8path(package)), signedBytes);

    check.release();
    EXPECT_TRUE(canOverwrite());
    EXPECT_TRUE(platform::deleteFileA(package.c_str()));
}

TEST_F(PackageHold, AnythingElseIsRefusedAndNotHeld) {
    std::string changed = signedBytes;
    changed[changed.size() / 2] = static_cast<char>(changed[changed.size() / 2] ^ 0x40);
    for (const std::string &bytes :
         {changed, readFile(u8path(temp / "unsigned.zip")), std::string()}) {
        writeFile(u8path(package), bytes);
        PackageCheck check;
        EXPECT_FALSE(check.accept(package)) << bytes.size();
        EXPECT_TRUE(canOverwrite());
    }
    PackageCheck check;
    EXPECT_FALSE(check.accept(temp / "missing.zip"));
}
