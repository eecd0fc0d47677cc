// Signed update packages: the signature that pkgsign and the updater share,
// on archives made by the test's own ZIP writer, and what the ZIP reader
// makes of a signed package.
#include "packagesignature.h"
#include "platform.h"
#include "testsupport.h"
#include "testzip.h"
#include "zipreader.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>

using namespace testsupport;
namespace ps = packagesignature;

namespace {

class PackageSignature : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ps::generateKeyPair(publicKey, secretKey));
        ASSERT_TRUE(ps::generateKeyPair(otherPublicKey, otherSecretKey));
        ASSERT_NE(publicKey, otherPublicKey);
    }

    static std::string smallPackage() {
        return testzip::build(
            testzip::Archive({{"bin/app.dll", "app 2.0.0"}, {"readme.txt", "Orvane 2.0.0\n", 0}}));
    }

    // Signs the bytes of a package with a version ("": the first form); the
    // signed copy's bytes ("" when refused).
    std::string sign(const std::string &package, const ps::SecretKey &key,
                     ps::Status *status = nullptr, const std::string &version = "2.0.0") const {
        writeFile(u8path(temp / "unsigned.zip"), package);
        platform::FileHandle in = open(temp / "unsigned.zip", platform::FileAccess::Read);
        platform::FileHandle out = open(temp / "signed.zip", platform::FileAccess::Write);
        EXPECT_TRUE(in && out);
        const ps::Status result = ps::sign(in, key, out, version);
        platform::closeFile(in);
        platform::closeFile(out);
        if (status)
            *status = result;
        const std::string written = readFile(u8path(temp / "signed.zip"));
        if (result != ps::Status::Valid) {
            EXPECT_EQ(written, "") << "a refused package leaves nothing in the copy";
        }
        return written;
    }
    std::string sign(const std::string &package) const {
        ps::Status status;
        const std::string signedPackage = sign(package, secretKey, &status);
        EXPECT_EQ(status, ps::Status::Valid);
        return signedPackage;
    }

    // The verdict; version receives what the signature binds.
    ps::Status verifyFile(const std::string &path, const ps::PublicKey &key) {
        platform::FileHandle file = open(path, platform::FileAccess::Read);
        EXPECT_TRUE(file);
        const ps::Status status = ps::verify(file, key, version);
        platform::closeFile(file);
        return status;
    }
    ps::Status verify(const std::string &package, const ps::PublicKey &key) {
        writeFile(u8path(temp / "check.zip"), package);
        return verifyFile(temp / "check.zip", key);
    }
    ps::Status verify(const std::string &package) { return verify(package, publicKey); }

    static platform::FileHandle open(const std::string &path, platform::FileAccess access) {
        return platform::openFileA(path.c_str(), access, platform::FileShare::None,
                                   access == platform::FileAccess::Read
                                       ? platform::FileDisposition::OpenExisting
                                       : platform::FileDisposition::CreateAlways);
    }

    TempDir temp;
    std::string version;
    ps::PublicKey publicKey{}, otherPublicKey{};
    ps::SecretKey secretKey{}, otherSecretKey{};
};
} // namespace

TEST_F(PackageSignature, ASignedPackageIsTheArchiveWithTheSignatureAsItsComment) {
    const std::string package = smallPackage();
    // With a version, and in the first form without one.
    for (const std::string signedVersion : {"2.0.0", "2.1 测试版", ""}) {
        ps::Status status;
        const std::string signedPackage = sign(package, secretKey, &status, signedVersion);
        ASSERT_EQ(status, ps::Status::Valid);
        const std::string field = signedVersion.empty() ? "" : "version=" + signedVersion + " ";
        const std::size_t comment = ps::commentSize + field.size();
        ASSERT_EQ(signedPackage.size(), package.size() + comment);
        // The archive as it was, up to the comment length, which now counts
        // the comment; then the marker, the version and 128 lowercase hex
        // digits.
        EXPECT_EQ(signedPackage.substr(0, package.size() - 2),
                  package.substr(0, package.size() - 2));
        EXPECT_EQ(static_cast<unsigned char>(signedPackage[package.size() - 2]) |
                      static_cast<unsigned char>(signedPackage[package.size() - 1]) << 8,
                  static_cast<int>(comment));
        EXPECT_EQ(signedPackage.substr(package.size(), comment - 2 * ps::signatureSize),
                  ps::marker + field);
        EXPECT_EQ(signedPackage.find_first_not_of("0123456789abcdef",
                                                  signedPackage.size() - 2 * ps::signatureSize),
                  std::string::npos);

        EXPECT_EQ(verify(signedPackage), ps::Status::Valid);
        EXPECT_EQ(version, signedVersion);
        EXPECT_EQ(verify(signedPackage, otherPublicKey), ps::Status::WrongSignature);
        // The same key and bytes always give the same signature.
        EXPECT_EQ(sign(package, secretKey, &status, signedVersion), signedPackage);
    }
    EXPECT_EQ(verify(package), ps::Status::Unsigned);
}

TEST_F(PackageSignature, TheReaderExtractsASignedPackage) {
    const std::string signedPackage = sign(smallPackage());
    writeFile(u8path(temp / "package.zip"), signedPackage);
    fs::create_directories(u8path(temp / "out"));
    ZipResult result = zipresult::Ok;
    ZipHandle zip = ZipReader::open((temp / "package.zip").c_str(), &result);
    ASSERT_TRUE(zip) << std::hex << result;
    EXPECT_EQ(ZipReader::setBaseFolder(zip, (temp / "out").c_str()), zipresult::Ok);
    ZipEntryInfo info{};
    ASSERT_EQ(ZipReader::entryInfo(zip, -1, info), zipresult::Ok);
    ASSERT_EQ(info.index, 2);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(ZipReader::entryInfo(zip, i, info), zipresult::Ok);
        EXPECT_EQ(ZipReader::extractEntry(zip, i, info.name), zipresult::Ok);
    }
    ZipReader::close(zip);
    EXPECT_EQ(readFile(u8path(temp / "out/bin/app.dll")), "app 2.0.0");
    EXPECT_EQ(readFile(u8path(temp / "out/readme.txt")), "Orvane 2.0.0\n");
}

TEST_F(PackageSignature, SigningAgainReplacesTheSignature) {
    const std::string package = smallPackage();
    const std::string byFirst = sign(package);
    ps::Status status;
    const std::string bySecond = sign(byFirst, otherSecretKey, &status);
    ASSERT_EQ(status, ps::Status::Valid);
    EXPECT_EQ(bySecond.size(), byFirst.size());
    EXPECT_EQ(verify(bySecond, otherPublicKey), ps::Status::Valid);
    EXPECT_EQ(verify(bySecond, publicKey), ps::Status::WrongSignature);
    EXPECT_EQ(sign(bySecond), byFirst);
}

TEST_F(PackageSignature, EveryChangedByteIsRefused) {
    const std::string signedPackage = sign(smallPackage());
    const std::string path = temp / "changed.zip";
    writeFile(u8path(path), signedPackage);
    int accepted = 0;
    for (std::size_t at = 0; at < signedPackage.size(); ++at) {
        // Every single bit, and every bit at once; 0x20 also changes the case
        // of a letter, which a lenient hex reader would not notice.
        for (int delta : {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0xFF}) {
            std::fstream file(u8path(path), std::ios::in | std::ios::out | std::ios::binary);
            file.seekp(static_cast<std::streamoff>(at));
            file.put(static_cast<char>(signedPackage[at] ^ delta));
            file.close();
            if (verifyFile(path, publicKey) == ps::Status::Valid) {
                ADD_FAILURE() << "byte " << at << " changed by " << delta << " still verifies";
                ++accepted;
            }
        }
        std::fstream file(u8path(path), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(at));
        file.put(signedPackage[at]);
        ASSERT_LT(accepted, 5);
    }
    EXPECT_EQ(verifyFile(path, publicKey), ps::Status::Valid);
}

TEST_F(PackageSignature, WhatIsNotASignedArchiveIsRefused) {
    const std::string package = smallPackage();
    const std::string signedPackage = sign(package);
    ps::Status status;

    // Another archive comment is not ours to replace.
    testzip::Archive commented(std::vector<testzip::Entry>{{"a.txt", "a"}});
    commented.comment = "built by hand";
    const std::string withComment = testzip::build(commented);
    sign(withComment, secretKey, &status);
    EXPECT_EQ(status, ps::Status::ForeignComment);
    EXPECT_EQ(verify(withComment), ps::Status::ForeignComment);

    // Bytes after the end record: the reader and the signature could see
    // different archives.
    for (const std::string &glued : {package + "tail", signedPackage + "tail"}) {
        sign(glued, secretKey, &status);
        EXPECT_EQ(status, ps::Status::DataAfterEnd);
        EXPECT_EQ(verify(glued), ps::Status::DataAfterEnd);
    }
    // An unsigned archive glued onto a signed one is what the reader sees.
    EXPECT_EQ(verify(signedPackage + package), ps::Status::Unsigned);

    // No end record, or one that the file cuts short.
    for (const std::string &broken : {std::string(), std::string("PK\x05\x06", 4),
                                      std::string(4096, 'x'), package.substr(0, package.size() - 1),
                                      signedPackage.substr(0, signedPackage.size() - 1)}) {
        sign(broken, secretKey, &status);
        EXPECT_EQ(status, ps::Status::NotAnArchive) << broken.size();
        EXPECT_EQ(verify(broken), ps::Status::NotAnArchive) << broken.size();
    }

    // A signature comment that is not 64 bytes in lowercase hex.
    const std::size_t hexAt = signedPackage.size() - 2 * ps::signatureSize;
    std::string upper = signedPackage;
    for (std::size_t i = hexAt; i < upper.size(); ++i)
        upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper[i])));
    ASSERT_NE(upper, signedPackage) << "a signature without a letter";
    std::vector<std::string> malformed{upper};
    // A version field that is no version, or no version field.
    const std::string hex(2 * ps::signatureSize, 'a');
    for (const std::string &comment :
         {std::string("00ff"), "version= " + hex, "version=2.0\n " + hex, "version=2.0" + hex,
          "release=2.0 " + hex, "version=" + std::string(ps::versionLimit + 1, '9') + " " + hex}) {
        testzip::Archive odd(std::vector<testzip::Entry>{{"a.txt", "a"}});
        odd.comment = ps::marker + comment;
        malformed.push_back(testzip::build(odd));
    }
    for (const std::string &bad : malformed) {
        EXPECT_EQ(verify(bad), ps::Status::Malformed) << bad.substr(bad.size() - 140);
        sign(bad, secretKey, &status);
        EXPECT_EQ(status, ps::Status::Malformed);
    }
    // Nor is a version signed that is no version.
    for (const std::string &notAVersion :
         {std::string("2.0\r"), std::string("\xff", 1), std::string(ps::versionLimit + 1, '1')}) {
        sign(package, secretKey, &status, notAVersion);
        EXPECT_EQ(status, ps::Status::Malformed);
    }
}

TEST(PackageSignatureKeys, KeysAreReadFromExactlyTheirHexDigits) {
    const std::string hex = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";
    ps::PublicKey key{};
    ASSERT_TRUE(ps::parsePublicKey(hex, key));
    EXPECT_EQ(key[0], 0x00);
    EXPECT_EQ(key[10], 0xaa);
    EXPECT_EQ(key[31], 0xff);
    EXPECT_EQ(ps::toHex(key.data(), key.size()),
              "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
    for (const std::string &bad : {hex.substr(1), hex + "0", hex.substr(0, 63) + "g",
                                   " " + hex.substr(1), hex.substr(0, 63) + "\n", std::string()})
        EXPECT_FALSE(ps::parsePublicKey(bad, key)) << bad;

    ps::PublicKey publicKey{};
    ps::SecretKey secretKey{};
    ASSERT_TRUE(ps::generateKeyPair(publicKey, secretKey));
    EXPECT_EQ(ps::publicKeyOf(secretKey), publicKey);
    ps::SecretKey parsed{};
    ASSERT_TRUE(ps::parseSecretKey(ps::toHex(secretKey.data(), secretKey.size()), parsed));
    EXPECT_EQ(parsed, secretKey);
}
