// zipextract against archives made at test time by the tools people use, with
// Info-ZIP unzip as the judge: both must extract the same names with the same
// bytes. Needs zip, unzip, bsdtar, 7z and python3 (POSIX machines only).
#include "testsupport.h"
#include "zipreader.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

using namespace testsupport;

namespace {

using Tree = std::map<std::string, std::string>;

// Every file with its bytes ("/" for a folder), by relative name.
Tree treeOf(const fs::path &root) {
    Tree tree;
    for (const auto &item : fs::recursive_directory_iterator(root))
        tree[fs::relative(item.path(), root).generic_u8string()] =
            item.is_directory() ? "/" : readFile(item.path());
    return tree;
}

int shell(const std::string &command) {
    const int status = std::system(("set -e; " + command).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string pattern(std::size_t size, unsigned seed) {
    std::string out(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (auto &c : out) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    return out;
}

class Conformance : public ::testing::Test {
protected:
    void SetUp() override {
        // The usual things an update package holds.
        const std::string text = [] {
            std::string lines;
            for (int i = 0; i < 4000; ++i)
                lines += "line " + std::to_string(i) + " of a text file\n";
            return lines;
        }();
        writeFile(src / "readme.txt", text);
        writeFile(src / "empty.txt", "");
        writeFile(src / "one.txt", "1");
        for (std::size_t size : {16383u, 16384u, 16385u})
            writeFile(src / ("blocks/b" + std::to_string(size) + ".bin"), pattern(size, size));
        writeFile(src / "bin/app.dll", pattern(70000, 7) + text);
        writeFile(src / "bin/deeper/still/x.cfg", "[x]\nkey=value\n");
        fs::create_directories(src / "emptyfolder");
    }

    std::string path(const std::string &name) const { return temp / name; }

    // Runs zipextract (on threads threads, 1 as the updater does); its exit
    // code, its complaint in complaint.
    int zipextract(const std::string &zip, const std::string &destination,
                   std::string *complaint = nullptr, int threads = 1) {
        const std::string errors = path("zipextract.err");
        const int code = shell(programPath("zipextract") + " -j " + std::to_string(threads) + " '" +
                               zip + "' '" + destination + "' 2>'" + errors + "' || exit $?");
        if (complaint)
            *complaint = readFile(errors);
        return code;
    }

    // Both extract zip; unzip may warn (exit 1) where it says so.
    void expectSameAsUnzip(const std::string &zip, int unzipMayWarn = 0) {
        const std::string ours = path("ours"), theirs = path("theirs");
        fs::remove_all(ours);
        fs::remove_all(theirs);
        std::string complaint;
        ASSERT_EQ(zipextract(zip, ours, &complaint), 0) << zip << ": " << complaint;
        const int unzip = shell("LC_ALL=C.UTF-8 unzip -o -q '" + zip + "' -d '" + theirs +
                                "' >/dev/null 2>&1 || exit $?");
        ASSERT_LE(unzip, unzipMayWarn) << zip;
        const Tree mine = treeOf(ours);
        EXPECT_FALSE(mine.empty());
        EXPECT_EQ(mine, treeOf(theirs)) << zip;
    }

    TempDir temp;
    const fs::path src = temp.path() / "src";
};

TEST_F(Conformance, InfoZipPlainStoredAndBestWithEmptyFilesAndFolders) {
    for (const char *level : {"-6", "-0", "-9"}) {
        const std::string zip = path(std::string("info") + level + ".zip");
        ASSERT_EQ(shell("cd '" + src.string() + "' && zip -q -r " + level + " '" + zip + "' ."), 0);
        expectSameAsUnzip(zip);
        EXPECT_TRUE(fs::is_directory(path("ours/emptyfolder")));
        EXPECT_EQ(fs::file_size(path("ours/blocks/b16384.bin")), 16384u);
    }
}

TEST_F(Conformance, InfoZipStreamedWithDataDescriptors) {
    const std::string zip = path("streamed.zip");
    ASSERT_EQ(shell("cd '" + src.string() + "' && zip -q -r - . | cat > '" + zip + "'"), 0);
    // The descriptors are there: bit 3 of the first local header's flags.
    EXPECT_TRUE(readFile(zip)[6] & 0x08);
    expectSameAsUnzip(zip);
    const std::string piped = path("piped.zip");
    ASSERT_EQ(
        shell("cat '" + (src / "readme.txt").string() + "' | zip -q - - | cat > '" + piped + "'"),
        0);
    expectSameAsUnzip(piped);
}

TEST_F(Conformance, InfoZipEncryptionIsRefused) {
    const std::string zip = path("secret.zip");
    ASSERT_EQ(shell("cd '" + src.string() + "' && zip -q -P secret '" + zip + "' readme.txt"), 0);
    std::string complaint;
    EXPECT_EQ(zipextract(zip, path("ours"), &complaint), 1);
    // One random header in 256 passes the check byte without the password;
    // the data then fails as corrupted instead.
    const bool refused = complaint.find(": 0x1000\n") != std::string::npos ||
                         complaint.find(": 0x5000000\n") != std::string::npos ||
                         complaint.find(": 0x6000000\n") != std::string::npos;
    EXPECT_TRUE(refused) << complaint;
    EXPECT_NE(complaint.find("extractEntry failed for entry 0 \"readme.txt\""), std::string::npos)
        << complaint;
    EXPECT_FALSE(fs::exists(path("ours/readme.txt")));
}

TEST_F(Conformance, UnixPermissionsAndTimesSurvive) {
    ASSERT_EQ(shell("cd '" + src.string() +
                    "' && chmod 0444 one.txt && touch -d '2020-02-29 12:34:56' readme.txt && "
                    "touch -d '1999-12-31 23:59:58' bin/app.dll && zip -q -r ../perm.zip ."),
              0);
    expectSameAsUnzip(path("perm.zip"));
    struct stat mine {
    }, source{};
    ASSERT_EQ(::stat(path("ours/one.txt").c_str(), &mine), 0);
    EXPECT_EQ(mine.st_mode & 0222, 0u);
    for (const char *name : {"readme.txt", "bin/app.dll"}) {
        ASSERT_EQ(::stat((path("ours/") + name).c_str(), &mine), 0);
        ASSERT_EQ(::stat((src / name).c_str(), &source), 0);
        EXPECT_EQ(mine.st_mtime, source.st_mtime) << name;
    }
}

TEST_F(Conformance, ProgramStubInFront) {
    ASSERT_EQ(shell("cd '" + src.string() + "' && zip -q -r ../plain.zip . && cd .. && " +
                    "head -c 5000 /bin/sh > stub && cat stub plain.zip > sfx.zip"),
              0);
    expectSameAsUnzip(path("sfx.zip"), 1);
}

TEST_F(Conformance, CommentsOfEveryLength) {
    ASSERT_EQ(shell("cd '" + src.string() + "' && zip -q -r ../plain.zip ."), 0);
    for (int length : {0, 1, 1024, 2000, 65535}) {
        const std::string zip = path("comment" + std::to_string(length) + ".zip");
        ASSERT_EQ(shell("python3 -c 'import shutil,sys,zipfile; shutil.copy(sys.argv[1], "
                        "sys.argv[2]); z = zipfile.ZipFile(sys.argv[2], \"a\"); "
                        "z.comment = b\"PK\" * (int(sys.argv[3]) // 2) + b\"x\" * "
                        "(int(sys.argv[3]) % 2); z.close()' '" +
                        path("plain.zip") + "' '" + zip + "' " + std::to_string(length)),
                  0);
        ASSERT_EQ(fs::file_size(zip), fs::file_size(path("plain.zip")) + length);
        expectSameAsUnzip(zip);
    }
}

TEST_F(Conformance, PythonZipfileDescriptorsDosAttributesBackslashesAndUtf8Names) {
    const std::string zip = path("python.zip");
    const std::string script = R"PY(
import sys, zipfile
out = open(sys.argv[1], "wb")
class Pipe:  # not seekable: zipfile writes data descriptors
    def write(self, b): return out.write(b)
    def flush(self): out.flush()
    def tell(self): raise OSError("not seekable")
z = zipfile.ZipFile(Pipe(), "w", zipfile.ZIP_STORED)
z.writestr("stored/descriptor.txt", "stored with a descriptor\n" * 100)
info = zipfile.ZipInfo("dos/readonly.txt", (2020, 1, 2, 3, 4, 6))
info.create_system = 0
info.external_attr = 0x21
z.writestr(info, "read-only on FAT\n")
info = zipfile.ZipInfo("back\\slash\\name.txt", (2020, 1, 2, 3, 4, 6))
info.create_system = 0
z.writestr(info, "backslashes\n")
z.writestr("\u4e2d\u6587/\u00e9t\u00e9.txt", "utf-8 name\n", zipfile.ZIP_DEFLATED)
z.close()
out.close()
)PY";
    writeFile(path("make.py"), script);
    ASSERT_EQ(shell("python3 '" + path("make.py") + "' '" + zip + "'"), 0);
    expectSameAsUnzip(zip, 1); // unzip warns about the backslashes
    EXPECT_EQ(readFile(path("ours/back/slash/name.txt")), "backslashes\n");
    EXPECT_EQ(readFile(path("ours/\u4e2d\u6587/\u00e9t\u00e9.txt")), "utf-8 name\n");
    struct stat mine {};
    ASSERT_EQ(::stat(path("ours/dos/readonly.txt").c_str(), &mine), 0);
    EXPECT_EQ(mine.st_mode & 0222, 0u);
}

TEST_F(Conformance, BsdtarAndSevenZip) {
    ASSERT_EQ(shell("cd '" + src.string() + "' && bsdtar --format zip -cf ../bsdtar.zip * && " +
                    "7z a -tzip ../seven.zip . >/dev/null && 7z a -tzip -mx=0 ../seven0.zip . " +
                    ">/dev/null"),
              0);
    for (const char *zip : {"bsdtar.zip", "seven.zip", "seven0.zip"})
        expectSameAsUnzip(path(zip));
}

// bsdtar -cf pkg.zip . stores "./" first, then "./bin/" and so on.
TEST_F(Conformance, BsdtarOfTheCurrentFolder) {
    const std::string zip = path("dot.zip");
    ASSERT_EQ(shell("cd '" + src.string() + "' && bsdtar --format zip -cf '" + zip + "' ."), 0);
    // The first entry is "./" indeed.
    const std::string bytes = readFile(zip);
    ASSERT_GT(bytes.size(), 32u);
    EXPECT_EQ(bytes.substr(26, 2), std::string("\x02\x00", 2));
    EXPECT_EQ(bytes.substr(30, 2), "./");
    expectSameAsUnzip(zip);
    EXPECT_EQ(readFile(path("ours/bin/deeper/still/x.cfg")), "[x]\nkey=value\n");
}

TEST_F(Conformance, Zip64ForcedByInfoZipAndOverSixtyFiveThousandEntriesByPython) {
    const std::string forced = path("forced.zip");
    ASSERT_EQ(shell("cd '" + src.string() + "' && zip -q -r -fz '" + forced + "' ."), 0);
    expectSameAsUnzip(forced);
    const std::string streamed = path("forced-streamed.zip");
    ASSERT_EQ(shell("cd '" + src.string() + "' && zip -q -r -fz - . | cat > '" + streamed + "'"),
              0);
    // unzip gives up on this one ("missing bytes", then "overlapped
    // components"): the source is the judge.
    std::string complaint;
    ASSERT_EQ(zipextract(streamed, path("streamed"), &complaint), 0) << complaint;
    EXPECT_EQ(treeOf(path("streamed")), treeOf(src));

    // 70,000 entries, the ZIP64 end record Python writes past 65,535: mostly
    // the same folder again (cheap to extract), files around the boundary
    // and at the end.
    const std::string many = path("many.zip");
    const std::string script = R"PY(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    for i in range(70000):
        if i in (0, 65534, 65535, 65536, 69999):
            z.writestr("f/%05d.txt" % i, "entry %d\n" % i)
        else:
            z.writestr(zipfile.ZipInfo("d/"), "")
)PY";
    writeFile(path("many.py"), script);
    ASSERT_EQ(shell("python3 -W ignore '" + path("many.py") + "' '" + many + "'"), 0);
    const std::string out = path("many");
    ASSERT_EQ(zipextract(many, out, &complaint), 0) << complaint;
    for (int i : {0, 65534, 65535, 65536, 69999}) {
        char name[16];
        std::snprintf(name, sizeof name, "%05d", i);
        EXPECT_EQ(readFile(out + "/f/" + name + ".txt"), "entry " + std::to_string(i) + "\n");
    }
    EXPECT_TRUE(fs::is_directory(out + "/d"));
}

// Deflated entries up to the one-piece limit (4 MiB) and above it take two
// ways through the reader; both must give the bytes unzip gives, also when
// the data is corrupted.
TEST_F(Conformance, EntriesJustUnderAndJustOverTheOnePieceLimit) {
    const std::size_t limit = 4u << 20;
    fs::remove_all(src);
    for (std::size_t size : {limit - 1, limit, limit + 1})
        writeFile(src / ("text" + std::to_string(size)),
                  pattern(size, 3).substr(0, size / 2) + std::string(size - size / 2, 'z'));
    const std::string zip = path("limit.zip");
    ASSERT_EQ(shell("cd '" + src.string() + "' && zip -q -r '" + zip + "' ."), 0);
    expectSameAsUnzip(zip);
    // On three threads the readers' shared budget holds one such entry at a
    // time: the others stream, with the same bytes.
    std::string threaded;
    ASSERT_EQ(zipextract(zip, path("threads"), &threaded, 3), 0) << threaded;
    EXPECT_EQ(treeOf(path("threads")), treeOf(path("ours")));
    // One byte of the deflated data of each entry changed: each fails alone,
    // and nothing is left of it.
    const std::string good = readFile(zip);
    for (const char *name : {"text4194303", "text4194304", "text4194305"}) {
        const std::size_t at = good.find(name);
        ASSERT_NE(at, std::string::npos);
        std::string bad = good;
        bad[at + std::strlen(name) + 28 + 5000] ^= 0x55;
        writeFile(path("bad.zip"), bad);
        const std::string out = path(std::string("bad-") + name);
        std::string complaint;
        EXPECT_EQ(zipextract(path("bad.zip"), out, &complaint), 1) << name;
        const bool refused = complaint.find(": 0x5000000\n") != std::string::npos ||
                             complaint.find(": 0x6000000\n") != std::string::npos;
        EXPECT_TRUE(refused) << complaint;
        EXPECT_FALSE(fs::exists(out + "/" + name)) << name;
    }
}

// A write that fails (here beyond the process's file size limit) fails its
// entry with 0x400 and the write's error, whichever way the entry is decoded:
// over the one-piece limit (written on a second thread), in one piece, or
// stored. The old target stays as it was and no temporary file is left.
TEST_F(Conformance, AFailedWriteFailsTheEntryAndKeepsTheOldTarget) {
    const std::string zip = path("large.zip");
    const std::string script = R"PY(
import sys, zipfile
text = lambda size: b"".join(b"%09d\n" % i for i in range(size // 10))
with zipfile.ZipFile(sys.argv[1], "w") as z:
    z.writestr("over.txt", text(6 << 20), zipfile.ZIP_DEFLATED)
    z.writestr("whole.txt", text(3 << 20), zipfile.ZIP_DEFLATED)
    z.writestr("stored.txt", text(3 << 20), zipfile.ZIP_STORED)
)PY";
    writeFile(path("large.py"), script);
    ASSERT_EQ(shell("python3 '" + path("large.py") + "' '" + zip + "'"), 0);
    const std::string out = path("out");
    const char *names[] = {"over.txt", "whole.txt", "stored.txt"};
    for (const char *name : names)
        writeFile(out + "/" + name, std::string("old ") + name);

    ZipResult opened = zipresult::Ok;
    ZipHandle handle = ZipReader::open(zip.c_str(), &opened);
    ASSERT_NE(handle, nullptr) << opened;
    ASSERT_EQ(ZipReader::setBaseFolder(handle, out.c_str()), zipresult::Ok);
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit low = before;
    low.rlim_cur = 1u << 20;
    // Past the limit write fails with EFBIG, once the signal is ignored.
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &low), 0);
    ZipResult results[3];
    uint32_t errors[3];
    for (int i = 0; i < 3; ++i) {
        ZipEntryInfo info{};
        results[i] = ZipReader::entryInfo(handle, i, info);
        if (results[i] == zipresult::Ok)
            results[i] = ZipReader::extractEntry(handle, i, info.name);
        errors[i] = platform::lastError();
    }
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, previous);
    ZipReader::close(handle);

    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(results[i], zipresult::WriteFailed) << names[i];
        EXPECT_EQ(errors[i], platform::error::GenFailure) << names[i];
        EXPECT_EQ(readFile(out + "/" + names[i]), std::string("old ") + names[i]);
    }
    EXPECT_EQ(treeOf(out).size(), 3u);
}

// Threads take the large entries first and the rest in archive order; the
// same target twice (a later entry replaces an earlier one) must still end as
// one thread leaves it, also when one of the two is large and the other not.
TEST_F(Conformance, ThreadsLeaveWhatOneThreadLeaves) {
    const std::string zip = path("threads.zip");
    const std::string script = R"PY(
import random, sys, zipfile
rng = random.Random(18)
large = lambda: rng.randbytes(1 << 19) * 3
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("big/first-large.bin", large())
    z.writestr("big/first-small.bin", "small first\n")
    for i in range(3000):
        z.writestr("d%02d/f%04d.txt" % (i % 37, i), ("entry %d\n" % i) * (i % 50))
    for i in range(0, 3000, 7):
        z.writestr("d%02d/f%04d.txt" % (i % 37, i), "replaced %d\n" % i)
        z.writestr("d%02d/f%04d.txt" % (i % 37, i), "again %d\n" % i)
    z.writestr("big\\first-large.bin", "small last\n")
    z.writestr("big\\first-small.bin", large())
    z.writestr("big/alone.bin", large())
)PY";
    writeFile(path("threads.py"), script);
    ASSERT_EQ(shell("python3 -W ignore '" + path("threads.py") + "' '" + zip + "'"), 0);
    std::string complaint;
    ASSERT_EQ(zipextract(zip, path("one"), &complaint, 1), 0) << complaint;
    ASSERT_EQ(zipextract(zip, path("four"), &complaint, 4), 0) << complaint;
    const Tree one = treeOf(path("one"));
    EXPECT_EQ(one.size(), 3041u);
    EXPECT_EQ(one.at("d00/f0000.txt"), "again 0\n");
    EXPECT_EQ(one.at("big/first-large.bin"), "small last\n");
    EXPECT_EQ(one.at("big/first-small.bin").size(), 3u << 19);
    EXPECT_EQ(treeOf(path("four")), one);
}

} // namespace
