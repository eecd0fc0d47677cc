// pkgsign, the publisher's tool, as the publisher runs it: keys, signing in
// place, checking, and what it refuses; and the zip tools people use still
// reading what it signed. Needs zip, unzip, bsdtar, 7z and python3 (POSIX
// machines only).
#include "process.h"
#include "testsupport.h"
#include "testzip.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>

using namespace testsupport;

namespace {

const std::string marker = "velmar-package-signature ed25519ph ";

int shell(const std::string &command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string quoted(const std::string &text) {
    return "'" + text + "'";
}

// One run of pkgsign: its exit code and what it printed.
struct Outcome {
    int code = -1;
    std::string out, err;
};

class Pkgsign : public ::testing::Test {
protected:
    void SetUp() override {
        const Outcome made = pkgsign({"keygen", key});
        ASSERT_EQ(made.code, 0) << made.err;
        publicKey = made.out.substr(0, made.out.size() - 1);
        const Outcome other = pkgsign({"keygen", otherKey});
        ASSERT_EQ(other.code, 0) << other.err;
        otherPublicKey = other.out.substr(0, other.out.size() - 1);
        writeFile(u8path(package), testzip::build(testzip::Archive(
                                       {{"bin/app.dll", "app 2.0.0"}, {"readme.txt", "2.0.0\n"}})));
    }

    Outcome pkgsign(const std::vector<std::string> &arguments) const {
        std::string command = quoted(programPath("pkgsign"));
        for (const auto &argument : arguments)
            command += " " + quoted(argument);
        Outcome run;
        run.code = shell(command + " >" + quoted(temp / "out") + " 2>" + quoted(temp / "err"));
        run.out = readFile(u8path(temp / "out"));
        run.err = readFile(u8path(temp / "err"));
        return run;
    }
    // A refusal: exit 1 and one line that names the file and says why.
    void expectRefused(const Outcome &run, const std::string &subject, const std::string &reason) {
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "pkgsign: " + subject + ": " + reason + "\n");
    }
    bool verifies(const std::string &key, const std::string &path) const {
        return pkgsign({"verify", key, path}).code == 0;
    }
    // Only the package itself in its folder: no temporary file left behind.
    std::vector<std::string> packageFolder() const {
        std::vector<std::string> names;
        for (const auto &item : fs::directory_iterator(u8path(temp / "p")))
            names.push_back(item.path().filename().u8string());
        return names;
    }

    TempDir temp;
    const std::string key = temp / "publisher.key";
    const std::string otherKey = temp / "other.key";
    const std::string package = temp / "p/update.zip";
    std::string publicKey, otherPublicKey;
};

} // namespace

TEST_F(Pkgsign, KeygenWritesAPrivateKeyAndPrintsThePublicHalf) {
    EXPECT_EQ(publicKey.size(), 64u);
    EXPECT_EQ(publicKey.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(publicKey, otherPublicKey);
    struct stat info {};
    ASSERT_EQ(stat(key.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(readFile(u8path(key)).size(), 129u);

    // An existing key is never overwritten.
    const std::string before = readFile(u8path(key));
    const Outcome again = pkgsign({"keygen", key});
    EXPECT_EQ(again.code, 1);
    EXPECT_EQ(again.out, "");
    EXPECT_EQ(readFile(u8path(key)), before);
}

TEST_F(Pkgsign, SignsInPlaceAndVerifies) {
    const std::string original = readFile(u8path(package));
    EXPECT_FALSE(verifies(publicKey, package));
    const Outcome signing = pkgsign({"sign", key, package, "2.0.0"});
    ASSERT_EQ(signing.code, 0) << signing.err;
    EXPECT_EQ(signing.err, "");
    const std::string signedPackage = readFile(u8path(package));
    EXPECT_EQ(signedPackage.substr(0, original.size() - 2),
              original.substr(0, original.size() - 2));
    EXPECT_NE(signedPackage.find(marker, original.size()), std::string::npos);
    EXPECT_EQ(packageFolder(), std::vector<std::string>{"update.zip"});

    const Outcome check = pkgsign({"verify", publicKey, package});
    EXPECT_EQ(check.code, 0) << check.err;
    EXPECT_EQ(check.out, package + ": signature valid, version 2.0.0\n");
    // The first form, for updaters from before signed versions.
    ASSERT_EQ(pkgsign({"sign-unversioned", key, package}).code, 0);
    EXPECT_EQ(pkgsign({"verify", publicKey, package}).out,
              package + ": signature valid, no version\n");
    ASSERT_EQ(pkgsign({"sign", key, package, "2.0.0"}).code, 0);
    // Keys are pasted in either case.
    std::string upper = publicKey;
    for (char &c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(verifies(upper, package));
    expectRefused(pkgsign({"verify", otherPublicKey, package}), package,
                  "the signature does not match this key and these bytes");
}

TEST_F(Pkgsign, SigningTwiceReplacesTheSignature) {
    ASSERT_EQ(pkgsign({"sign", key, package, "2.0.0"}).code, 0);
    const std::string once = readFile(u8path(package));
    ASSERT_EQ(pkgsign({"sign", key, package, "2.0.0"}).code, 0);
    EXPECT_EQ(readFile(u8path(package)), once);

    ASSERT_EQ(pkgsign({"sign", otherKey, package, "2.0.0"}).code, 0);
    EXPECT_EQ(readFile(u8path(package)).size(), once.size());
    EXPECT_TRUE(verifies(otherPublicKey, package));
    EXPECT_FALSE(verifies(publicKey, package));
    EXPECT_EQ(packageFolder(), std::vector<std::string>{"update.zip"});
}

TEST_F(Pkgsign, RefusesWhatItCannotSignAndLeavesItAsItWas) {
    testzip::Archive commented(std::vector<testzip::Entry>{{"a.txt", "a"}});
    commented.comment = "release 2.0.0";
    const std::string withComment = testzip::build(commented);
    const std::string plain = readFile(u8path(package));
    const struct {
        std::string bytes, reason;
    } cases[] = {
        {withComment, "the archive comment is not a package signature"},
        {plain + "appended", "data follows the end of central directory record"},
        {"not a zip file at all",
         "not a ZIP archive: no end of central directory record at the end of the file"},
    };
    for (const auto &bad : cases) {
        writeFile(u8path(package), bad.bytes);
        expectRefused(pkgsign({"sign", key, package, "2.0.0"}), package, bad.reason);
        EXPECT_EQ(readFile(u8path(package)), bad.bytes);
        EXPECT_EQ(packageFolder(), std::vector<std::string>{"update.zip"});
        expectRefused(pkgsign({"verify", publicKey, package}), package, bad.reason);
    }

    writeFile(u8path(package), plain);
    expectRefused(pkgsign({"verify", publicKey, package}), package,
                  "the package is not signed (it has no archive comment)");
    expectRefused(pkgsign({"verify", publicKey.substr(1), package}), publicKey.substr(1),
                  "not a public key (64 hex digits)");
    expectRefused(pkgsign({"sign", key, temp / "p/missing.zip", "2.0.0"}), temp / "p/missing.zip",
                  "no such file");
    writeFile(u8path(temp / "bad.key"), "not a key\n");
    expectRefused(pkgsign({"sign", temp / "bad.key", package, "2.0.0"}), temp / "bad.key",
                  "not a secret key file made by pkgsign keygen");
    EXPECT_EQ(readFile(u8path(package)), plain);
    for (const std::string version : {"", "2.0\t1"})
        expectRefused(pkgsign({"sign", key, package, version}), version,
                      "not a version (1 to 64 bytes of text, no control characters)");
    EXPECT_EQ(readFile(u8path(package)), plain);

    // A leftover temporary file is not overwritten: it may be someone's.
    writeFile(u8path(package + ".pkgsign-tmp"), "mine");
    EXPECT_EQ(pkgsign({"sign", key, package, "2.0.0"}).code, 1);
    EXPECT_EQ(readFile(u8path(package + ".pkgsign-tmp")), "mine");
    EXPECT_EQ(readFile(u8path(package)), plain);
}

TEST_F(Pkgsign, WrongArgumentsGetTheUsageAndHelpIsThere) {
    for (const auto &arguments : std::vector<std::vector<std::string>>{{},
                                                                       {"sign"},
                                                                       {"sign", key, package},
                                                                       {"verify", publicKey},
                                                                       {"keygen"},
                                                                       {"keygen", key, "extra"},
                                                                       {"sgn", key, package}}) {
        const Outcome run = pkgsign(arguments);
        EXPECT_EQ(run.code, 2) << arguments.size();
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind("usage: pkgsign ", 0), 0u) << run.err;
    }
    for (const std::string command : {"keygen", "sign", "sign-unversioned", "verify"}) {
        const Outcome run = pkgsign({command, "--help"});
        EXPECT_EQ(run.code, 0);
        EXPECT_EQ(run.out.rfind("usage: pkgsign " + command + " ", 0), 0u) << run.out;
        EXPECT_EQ(run.err, "");
    }
    const Outcome run = pkgsign({"--help"});
    EXPECT_EQ(run.code, 0);
    EXPECT_NE(run.out.find("pkgsign verify PUBLIC_KEY_HEX PACKAGE"), std::string::npos);
}

TEST_F(Pkgsign, VerifyFailsForEveryChangedByte) {
    writeFile(u8path(package),
              testzip::build(testzip::Archive(std::vector<testzip::Entry>{{"a", "b", 0}})));
    ASSERT_EQ(pkgsign({"sign", key, package, "2.0.0"}).code, 0);
    const std::string signedPackage = readFile(u8path(package));
    const std::string changed = temp / "changed.zip";
    // Started directly, without a shell: a few hundred runs.
    const auto verify = [&] {
        return Process::start({programPath("pkgsign"), "verify", publicKey, changed})
            .wait(patienceMs);
    };
    for (std::size_t at = 0; at < signedPackage.size(); ++at) {
        std::string bytes = signedPackage;
        bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
        writeFile(u8path(changed), bytes);
        ASSERT_EQ(verify(), 1) << "byte " << at;
    }
    writeFile(u8path(changed), signedPackage);
    EXPECT_EQ(verify(), 0);
}

// A package as a publisher makes it, with zip -r, then signed: every tool
// still lists, tests and extracts it.
TEST_F(Pkgsign, TheZipToolsReadASignedPackage) {
    const std::string source = temp / "src";
    writeFile(u8path(source + "/bin/app.dll"), std::string(70000, 'a') + "app 2.0.0");
    writeFile(u8path(source + "/docs/readme.txt"), "Orvane 2.0.0\n");
    writeFile(u8path(source + "/empty.txt"), "");
    const std::string zip = temp / "made/update.zip";
    fs::create_directories(u8path(temp / "made"));
    ASSERT_EQ(shell("cd " + quoted(source) + " && zip -qr " + quoted(zip) + " ."), 0);
    ASSERT_EQ(pkgsign({"sign", key, zip, "2.0.0"}).code, 0);
    ASSERT_TRUE(verifies(publicKey, zip));

    const std::string quiet = " >/dev/null 2>&1";
    EXPECT_EQ(shell("unzip -tq " + quoted(zip) + quiet), 0);
    EXPECT_EQ(shell("bsdtar -tf " + quoted(zip) + quiet), 0);
    EXPECT_EQ(shell("7z t " + quoted(zip) + quiet), 0);
    EXPECT_EQ(shell("python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                    "sys.exit(z.testzip() is not None or not z.comment.startswith(b\"" +
                    marker + "\"))' " + quoted(zip)),
              0);
    // zip -T runs unzip on it; zipinfo shows the comment as the archive's.
    EXPECT_EQ(shell("zip -T " + quoted(zip) + quiet), 0);

    const std::string out = temp / "extracted";
    fs::create_directories(u8path(out));
    ASSERT_EQ(shell(quoted(programPath("zipextract")) + " " + quoted(zip) + " " + quoted(out)), 0);
    EXPECT_EQ(readFile(u8path(out + "/bin/app.dll")), std::string(70000, 'a') + "app 2.0.0");
    EXPECT_EQ(readFile(u8path(out + "/docs/readme.txt")), "Orvane 2.0.0\n");
    EXPECT_TRUE(fs::exists(u8path(out + "/empty.txt")));
}
