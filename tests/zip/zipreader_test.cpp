// The ZIP reader on archives made here, field by field: what it extracts, how
// it describes entries, and how it refuses hostile or broken archives. Runs on
// the stand-in and, unchanged, under Wine.
#include "platform.h"
#include "process.h"
#include "testdelta.h"
#include "testsupport.h"
#include "testzip.h"
#include "ziparchive.h"
#include "zipdelta.h"
#include "zipreader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>

using namespace testsupport;
using namespace zipresult;
using testzip::crcOf;
using testzip::Entry;

namespace {

const bool standin = platform::programSuffix[0] == '\0';

class ZipReaderTest : public ::testing::Test {
protected:
    // The base folder itself is made by the reader, its parent is not.
    void SetUp() override { fs::create_directories(u8path(temp / "work")); }

    std::string archivePath() const { return temp / "a.zip"; }
    std::string dest() const { return temp / "work/dest"; }

    std::string write(const testzip::Archive &archive) {
        writeFile(u8path(archivePath()), testzip::build(archive));
        return archivePath();
    }

    // What the updater's driver does, stopping at the first failure.
    ZipResult extractAll(const std::string &zipPath, int *failedIndex = nullptr) {
        ZipResult result = Ok;
        ZipHandle zip = ZipReader::open(zipPath.c_str(), &result);
        if (!zip)
            return result;
        ZipEntryInfo info{};
        result = ZipReader::setBaseFolder(zip, dest().c_str());
        if (result == Ok)
            result = ZipReader::entryInfo(zip, -1, info);
        for (int i = 0, total = info.index; result == Ok && i < total; ++i) {
            result = ZipReader::entryInfo(zip, i, info);
            if (result == Ok)
                result = ZipReader::extractEntry(zip, i, info.name);
            if (result != Ok && failedIndex)
                *failedIndex = i;
        }
        EXPECT_EQ(ZipReader::close(zip), Ok);
        return result;
    }

    ZipResult extractOne(const testzip::Entry &entry) { return extractAll(write({{entry}})); }

    ZipResult describeOnly(const testzip::Entry &entry, ZipEntryInfo &info) {
        ZipHandle zip = ZipReader::open(write({{entry}}).c_str());
        EXPECT_NE(zip, nullptr);
        const ZipResult result = ZipReader::entryInfo(zip, 0, info);
        ZipReader::close(zip);
        return result;
    }

    // Every file under the temporary folder with its content ("/" for a
    // folder), relative to it.
    std::map<std::string, std::string> everything() const {
        std::map<std::string, std::string> found;
        for (const auto &item : fs::recursive_directory_iterator(temp.path())) {
            const std::string name = fs::relative(item.path(), temp.path()).generic_u8string();
            found[name] = item.is_directory() ? "/" : readFile(item.path());
        }
        return found;
    }

    // Nothing but the archive and what lies under dest(), and no temporary
    // file anywhere.
    void expectNothingElseWritten() const {
        for (const auto &[name, content] : everything()) {
            EXPECT_TRUE(name == "a.zip" || name == "work" || name.rfind("work/dest", 0) == 0)
                << "written outside the base folder: " << name;
            EXPECT_EQ(name.find("~zx"), std::string::npos) << "temporary file left: " << name;
        }
    }

    std::string inDest(const std::string &name) const {
        return readFile(u8path(dest() + "/" + name));
    }
    bool existsInDest(const std::string &name) const {
        return fs::exists(u8path(dest() + "/" + name));
    }

    // Removes the base folder; read-only files must be made writable first
    // on Windows.
    void clearDest() const {
        std::error_code ignored;
        const fs::path work = u8path(dest());
        for (auto it = fs::recursive_directory_iterator(work, ignored);
             it != fs::recursive_directory_iterator(); it.increment(ignored))
            fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ignored);
        fs::remove_all(work, ignored);
    }

    TempDir temp;
};

std::string text(std::size_t size, char seed = 'a') {
    std::string out;
    for (std::size_t i = 0; i < size; ++i)
        out += static_cast<char>(seed + (i * 7 + i / 13) % 26);
    return out;
}

// x86-64 code as a linker lays it out, from a list of items each jumping
// to, loading from or pointing at another: calls, conditional jumps, RIP-
// relative address loads, 64-bit address words and filler. With an
// insertion before item at, everything after it moves and every reference
// follows, as in the next build of a program. An ELF header says which code
// it is.
std::string program(std::size_t items, std::size_t at = 0, const std::string &insertion = {}) {
    struct Item {
        unsigned kind, target;
        uint32_t filler;
    };
    std::vector<Item> list;
    uint32_t state = 12345;
    const auto next = [&state] { return state = state * 1103515245 + 12345, state >> 8; };
    for (std::size_t i = 0; i < items; ++i)
        list.push_back({next() % 5, static_cast<unsigned>(next() % items), next()});
    std::string out = "\x7F"
                      "ELF";
    out.resize(64);
    out[18] = 62;
    std::vector<uint64_t> where(items);
    // Twice: the first pass places the items, the second writes the
    // references to the places.
    for (int pass = 0; pass < 2; ++pass) {
        out.resize(64);
        for (std::size_t i = 0; i < items; ++i) {
            if (i == at)
                out += insertion;
            const Item &item = list[i];
            if (item.kind == 3)
                out.resize((out.size() + 7) / 8 * 8);
            where[i] = out.size();
            const auto put = [&out](uint64_t value, int bytes) {
                for (int k = 0; k < bytes; ++k)
                    out += static_cast<char>(value >> (8 * k));
            };
            const uint64_t target = where[item.target];
            const std::string opcodes[] = {"\xE8", "\x0F\x84", "\x48\x8D\x05"};
            if (item.kind < 3) {
                out += opcodes[item.kind];
                put(target - (out.size() + 4), 4);
            } else if (item.kind == 3) {
                put(target, 8);
            } else {
                out.append(1 + item.filler % 4, static_cast<char>(0x90 + item.filler % 8)); // nops
            }
        }
    }
    return out;
}

// ---- What comes out ---------------------------------------------------------

TEST_F(ZipReaderTest, ExtractsStoredDeflatedEmptyAndNestedEntries) {
    testzip::Archive archive;
    archive.entries.push_back(testzip::folder("bin/"));
    archive.entries.push_back({"bin/app.dll", text(100000)});
    archive.entries.push_back({"stored.txt", text(40000, 'k'), 0});
    archive.entries.push_back({"deep/er/still/empty.txt", "", 8});
    archive.entries.push_back({"block.bin", text(16384), 8});
    archive.entries.push_back({"block1.bin", text(16385), 0});
    ASSERT_EQ(extractAll(write(archive)), Ok);
    EXPECT_TRUE(fs::is_directory(u8path(dest() + "/bin")));
    EXPECT_EQ(inDest("bin/app.dll"), text(100000));
    EXPECT_EQ(inDest("stored.txt"), text(40000, 'k'));
    EXPECT_TRUE(existsInDest("deep/er/still/empty.txt"));
    EXPECT_EQ(inDest("deep/er/still/empty.txt"), "");
    EXPECT_EQ(inDest("block.bin"), text(16384));
    EXPECT_EQ(inDest("block1.bin"), text(16385));
    expectNothingElseWritten();
}

TEST_F(ZipReaderTest, ReplacesAnExistingTargetAndCreatesTheBaseFolder) {
    writeFile(u8path(dest() + "/a.txt"), "old content that is longer");
    ASSERT_EQ(extractOne({"a.txt", "new"}), Ok);
    EXPECT_EQ(inDest("a.txt"), "new");
    expectNothingElseWritten();
}

TEST_F(ZipReaderTest, DataDescriptorsAndEncryptionWithTheEmptyPassword) {
    Entry described{"described.txt", text(5000)};
    described.flags = 0x08;
    Entry locked{"locked.txt", text(3000)};
    locked.encrypt = true;
    Entry lockedStored{"locked-stored.txt", text(70), 0};
    lockedStored.encrypt = true;
    lockedStored.flags = 0x08;
    ASSERT_EQ(extractAll(write({{described, locked, lockedStored}})), Ok);
    EXPECT_EQ(inDest("described.txt"), text(5000));
    EXPECT_EQ(inDest("locked.txt"), text(3000));
    EXPECT_EQ(inDest("locked-stored.txt"), text(70));
}

TEST_F(ZipReaderTest, UsesTheBaseFolderOnlyWhenItsParentExists) {
    ZipHandle zip = ZipReader::open(write({{{"a.txt", "x"}}}).c_str());
    ASSERT_NE(zip, nullptr);
    const std::string orphan = temp / "missing/dest";
    EXPECT_EQ(ZipReader::setBaseFolder(zip, orphan.c_str()), Ok);
    EXPECT_EQ(ZipReader::extractEntry(zip, 0, "a.txt"), CannotCreate);
    EXPECT_FALSE(fs::exists(u8path(orphan)));
    EXPECT_EQ(ZipReader::setBaseFolder(zip, (dest() + "/").c_str()), Ok);
    EXPECT_EQ(ZipReader::extractEntry(zip, 0, "a.txt"), Ok);
    EXPECT_EQ(inDest("a.txt"), "x");
    ZipReader::close(zip);
}

// ---- Descriptions -----------------------------------------------------------

TEST_F(ZipReaderTest, CountsEntriesAndRefusesIndicesOutsideTheArchive) {
    ZipHandle zip = ZipReader::open(write({{{"a", "1"}, {"b", "2"}}}).c_str());
    ASSERT_NE(zip, nullptr);
    ZipEntryInfo info{};
    ASSERT_EQ(ZipReader::entryInfo(zip, -1, info), Ok);
    EXPECT_EQ(info.index, 2);
    EXPECT_EQ(ZipReader::entryInfo(zip, 2, info), BadArgument);
    EXPECT_EQ(ZipReader::entryInfo(zip, -2, info), BadArgument);
    EXPECT_EQ(ZipReader::extractEntry(zip, 2, "b"), BadArgument);
    // Down, up and the same entry again: the walk and the cache agree.
    for (int index : {1, 0, 1, 1, 0}) {
        ASSERT_EQ(ZipReader::entryInfo(zip, index, info), Ok);
        EXPECT_EQ(info.index, index);
        EXPECT_STREQ(info.name, index == 0 ? "a" : "b");
    }
    ZipReader::close(zip);
}

TEST_F(ZipReaderTest, RefusesMissingAndForeignHandles) {
    ZipEntryInfo info{};
    EXPECT_EQ(ZipReader::entryInfo(nullptr, 0, info), BadArgument);
    EXPECT_EQ(ZipReader::setBaseFolder(nullptr, "x"), BadArgument);
    EXPECT_EQ(ZipReader::extractEntry(nullptr, 0, "x"), BadArgument);
    EXPECT_EQ(ZipReader::close(nullptr), BadArgument);
    ZipHandleData writerHandle{2, nullptr};
    EXPECT_EQ(ZipReader::entryInfo(&writerHandle, 0, info), NotReader);
    EXPECT_EQ(ZipReader::extractEntry(&writerHandle, 0, "x"), NotReader);
    EXPECT_EQ(ZipReader::close(&writerHandle), NotReader);
    ZipResult result = Ok;
    EXPECT_EQ(ZipReader::open(nullptr, &result), nullptr);
    EXPECT_EQ(result, BadArgument);
}

TEST_F(ZipReaderTest, MapsAttributesOfEachHost) {
    struct Case {
        uint16_t madeBy;
        uint32_t external;
        uint32_t attributes;
    } cases[] = {
        {testzip::UnixHost, 0100644u << 16, 0x20},
        {testzip::UnixHost, 0100444u << 16, 0x21},
        {testzip::UnixHost, 040755u << 16, 0x30},
        {0x0014, 0x02, 0x02},
        {0x0714, 0x21, 0x21},
        {0x0B14, 0x27, 0x27},
        {0x0E14, 0x10, 0x10},
        {0x0A14, 0x02, 0x21},
    };
    for (const Case &c : cases) {
        Entry entry{"x", "1"};
        entry.versionMadeBy = c.madeBy;
        entry.externalAttributes = c.external;
        ZipEntryInfo info{};
        ASSERT_EQ(describeOnly(entry, info), Ok);
        EXPECT_EQ(info.attributes, c.attributes) << std::hex << c.madeBy << " " << c.external;
    }
}

TEST_F(ZipReaderTest, TakesTimesFromTheDosFieldAndTheUnixBlock) {
    Entry dosOnly{"dos.txt", "d"};
    ZipEntryInfo dos{};
    ASSERT_EQ(describeOnly(dosOnly, dos), Ok);
    uint64_t expected = 0;
    ASSERT_TRUE(platform::localTimeToFileTime({2021, 6, 15, 13, 45, 30, 0}, expected));
    EXPECT_EQ(dos.writeTime, expected);
    EXPECT_EQ(dos.accessTime, expected);
    EXPECT_EQ(dos.createTime, expected);

    // 1700000000 = 2023-11-14 22:13:20 UTC.
    const uint64_t unixTime = (1700000000ULL + 11644473600ULL) * 10000000ULL;
    Entry modifiedOnly{"ut.txt", "u"};
    modifiedOnly.localExtra = testzip::unixTimeBlock(1, {1700000000});
    ZipEntryInfo ut{};
    ASSERT_EQ(describeOnly(modifiedOnly, ut), Ok);
    EXPECT_EQ(ut.writeTime, unixTime);
    EXPECT_EQ(ut.accessTime, expected);
    EXPECT_EQ(ut.createTime, expected);

    Entry all{"all.txt", "a"};
    all.localExtra = std::string("\x99\x99\x02\x00zz", 6) +
                     testzip::unixTimeBlock(7, {1700000000, 1700000100, 1700000200});
    ZipEntryInfo three{};
    ASSERT_EQ(describeOnly(all, three), Ok);
    EXPECT_EQ(three.writeTime, unixTime);
    EXPECT_EQ(three.accessTime, unixTime + 1000000000ULL);
    EXPECT_EQ(three.createTime, unixTime + 2000000000ULL);

    // A block that claims times it does not carry gives only what it has.
    Entry cut{"cut.txt", "c"};
    cut.localExtra = testzip::unixTimeBlock(3, {1700000000});
    ZipEntryInfo partial{};
    ASSERT_EQ(describeOnly(cut, partial), Ok);
    EXPECT_EQ(partial.writeTime, unixTime);
    EXPECT_EQ(partial.accessTime, expected);
}

TEST_F(ZipReaderTest, GivesTheExtractedFileItsTimesAndAttributes) {
    Entry entry{"ro.txt", "read only"};
    entry.versionMadeBy = testzip::DosHost;
    entry.externalAttributes = 0x23; // archive, hidden, read-only
    entry.localExtra = testzip::unixTimeBlock(7, {1700000000, 1600000000, 1500000000});
    Entry empty{"empty.txt", ""};
    ASSERT_EQ(extractAll(write({{entry, empty}})), Ok);
    const std::string path = dest() + "/ro.txt";
    const uint32_t attributes = platform::pathAttributes(path);
    EXPECT_TRUE(attributes & platform::attribute::ReadOnly);
    if (!standin) {
        EXPECT_TRUE(attributes & platform::attribute::Hidden);
    }
    for (const std::string &name : {std::string("ro.txt"), std::string("empty.txt")}) {
        const std::string file = dest() + "/" + name;
        platform::FileHandle handle =
            platform::openFileA(file.c_str(), platform::FileAccess::Read, platform::FileShare::Read,
                                platform::FileDisposition::OpenExisting);
        ASSERT_NE(handle, nullptr);
        uint64_t creation = 0, access = 0, write = 0;
        ASSERT_TRUE(platform::fileTimes(handle, creation, access, write));
        platform::closeFile(handle);
        if (name == "ro.txt") {
            EXPECT_EQ(write, (1700000000ULL + 11644473600ULL) * 10000000ULL);
            EXPECT_EQ(access, (1600000000ULL + 11644473600ULL) * 10000000ULL);
            // POSIX files have no creation time; Wine, on them, reports the
            // last write as the creation time.
            if (!standin) {
                EXPECT_TRUE(creation == (1500000000ULL + 11644473600ULL) * 10000000ULL ||
                            creation == write)
                    << creation;
            }
        } else {
            uint64_t dosTime = 0;
            ASSERT_TRUE(platform::localTimeToFileTime({2021, 6, 15, 13, 45, 30, 0}, dosTime));
            EXPECT_EQ(write, dosTime);
        }
    }
    // Read only now: reading sets the access time.
    EXPECT_EQ(inDest("ro.txt"), "read only");
}

TEST_F(ZipReaderTest, ConvertsNamesFlaggedUtf8) {
    Entry chinese{"\xE4\xB8\xAD\xE6\x96\x87/\xE6\x96\x87\xE4\xBB\xB6.txt", "zh"};
    chinese.flags = 0x0800;
    ASSERT_EQ(extractOne(chinese), Ok);
    EXPECT_EQ(readFile(u8path(dest() + "/\xE4\xB8\xAD\xE6\x96\x87/\xE6\x96\x87\xE4\xBB\xB6.txt")),
              "zh");
    // In GBK (code page 936) the second byte of both characters is "\": they
    // must stay whole, neither separating folders nor hiding a "\..\".
    Entry trail{"\xE7\x99\xA8/\xE4\xB9\x97.txt", "trail"};
    trail.flags = 0x0800;
    Entry climb{"\xE7\x99\xA8..\\x.txt", "x"};
    climb.flags = 0x0800;
    ASSERT_EQ(extractOne(trail), Ok);
    EXPECT_EQ(readFile(u8path(dest() + "/\xE7\x99\xA8/\xE4\xB9\x97.txt")), "trail");
    // Read byte by byte, "\..\" would climb and leave "x.txt"; read by
    // character, a part ending in dots remains, which Windows cannot hold.
    ZipEntryInfo kept{};
    EXPECT_EQ(describeOnly(climb, kept), ReservedName);
    expectNothingElseWritten();

    Entry broken{"bad\xC3(.txt", "x"};
    broken.flags = 0x0800;
    ZipEntryInfo info{};
    EXPECT_EQ(describeOnly(broken, info), Unrepresentable);
}

// ---- Where the end record is -------------------------------------------------

TEST_F(ZipReaderTest, FindsTheEndRecordBehindCommentsAndStubs) {
    for (std::size_t length : {0, 1, 2000, 65513, 65514, 65535}) {
        testzip::Archive archive{{{"c.txt", "comment " + std::to_string(length)}}};
        archive.comment = std::string(length, 'c');
        archive.stub = length % 2 ? "MZ stub in front of the archive" : "";
        ASSERT_EQ(extractAll(write(archive)), Ok) << length;
        EXPECT_EQ(inDest("c.txt"), "comment " + std::to_string(length));
    }
}

TEST_F(ZipReaderTest, OpensAnArchiveWithoutEntries) {
    ZipHandle zip = ZipReader::open(write({}).c_str());
    ASSERT_NE(zip, nullptr);
    EXPECT_EQ(fs::file_size(u8path(archivePath())), 22u);
    ZipEntryInfo info{};
    ASSERT_EQ(ZipReader::entryInfo(zip, -1, info), Ok);
    EXPECT_EQ(info.index, 0);
    EXPECT_EQ(ZipReader::entryInfo(zip, 0, info), BadArgument);
    ZipReader::close(zip);
}

TEST_F(ZipReaderTest, PrefersTheConsistentRecordOverOneInsideTheComment) {
    // The comment carries a whole archive of its own, end record included.
    const std::string inner = testzip::build({{{"inner.txt", "wrong"}}});
    testzip::Archive archive{{{"outer.txt", "right"}}};
    archive.comment = inner + "tail";
    ASSERT_EQ(extractAll(write(archive)), Ok);
    EXPECT_EQ(inDest("outer.txt"), "right");
    EXPECT_FALSE(existsInDest("inner.txt"));

    // A lone signature in the comment, pointing at nothing.
    archive.comment = std::string("PK\x05\x06", 4) + std::string(40, '\x01');
    ASSERT_EQ(extractAll(write(archive)), Ok);
}

TEST_F(ZipReaderTest, RefusesFilesThatAreNoArchive) {
    struct Case {
        const char *fault;
        std::string bytes;
    } cases[] = {
        {"empty file", ""},
        {"no end record", std::string(70000, 'x')},
        {"end record too far back",
         std::string("PK\x05\x06", 4) + std::string(18, '\0') + std::string(65536, 'x')},
        {"second disk",
         [] {
             std::string bytes = testzip::build({{{"a", "1"}}});
             bytes[bytes.size() - 18] = 1;
             return bytes;
         }()},
        {"counts disagree",
         [] {
             std::string bytes = testzip::build({{{"a", "1"}}});
             bytes[bytes.size() - 14] = 5;
             return bytes;
         }()},
        {"central directory behind the end record",
         [] {
             testzip::Archive archive{{{"a", "1"}}};
             archive.centralOffset = 9999;
             return testzip::build(archive);
         }()},
    };
    for (const Case &c : cases) {
        writeFile(u8path(archivePath()), c.bytes);
        ZipResult result = Ok;
        EXPECT_EQ(ZipReader::open(archivePath().c_str(), &result), nullptr) << c.fault;
        EXPECT_EQ(result, CannotCreate) << c.fault;
    }
    ZipResult result = Ok;
    EXPECT_EQ(ZipReader::open((temp / "none.zip").c_str(), &result), nullptr);
    EXPECT_EQ(result, CannotCreate);
}

// ---- Names ----------------------------------------------------------------

TEST_F(ZipReaderTest, SanitisesNamesSoThatNoneLeavesTheBaseFolder) {
    const std::map<std::string, std::string> cases = {
        {"C:\\dir\\a.txt", "dir\\a.txt"},
        {"/abs/b.txt", "abs/b.txt"},
        {"a\\..\\b.txt", "b.txt"},
        {"x/y/../z.txt", "z.txt"},
        {"../x1", "x1"},
        {"..\\x2", "x2"},
        {"C:..\\x3", "x3"},
        {"a/../../x4", "x4"},
        {"../../../../x5", "x5"},
        {"\\\\server\\share\\x6", "server\\share\\x6"},
        {"./x7", "x7"},
        {"x/..\\..\\/../x8", "x8"},
    };
    for (const auto &[stored, sanitised] : cases) {
        ZipEntryInfo info{};
        ASSERT_EQ(describeOnly({stored, "data"}, info), Ok) << stored;
        EXPECT_EQ(std::string(info.name), sanitised) << stored;
    }
    testzip::Archive archive;
    for (const auto &entry : cases)
        archive.entries.push_back({entry.first, entry.first});
    ASSERT_EQ(extractAll(write(archive)), Ok);
    EXPECT_EQ(inDest("x4"), "a/../../x4");
    expectNothingElseWritten();
}

TEST_F(ZipReaderTest, RefusesNamesThatStillClimbOrVanish) {
    for (const char *name : {"..", "a/..", "dir/.. /x", "C:", "a/...", ".", "./."}) {
        ZipEntryInfo info{};
        EXPECT_EQ(describeOnly({name, "x"}, info), UnsafeName) << name;
    }
    expectNothingElseWritten();
}

// bsdtar -cf pkg.zip . stores "./" first: the base folder itself.
TEST_F(ZipReaderTest, TheBaseFolderEntryAndDotPartsAreHarmless) {
    testzip::Archive archive{{testzip::folder("./"),
                              testzip::folder("./bin/./"),
                              {"./bin/./app.dll", "app"},
                              {"a/./b/.\\c.txt", "c"},
                              {"x/.", "", 0}}};
    archive.entries.back().externalAttributes = 040755u << 16;
    ZipHandle zip = ZipReader::open(write(archive).c_str());
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(ZipReader::setBaseFolder(zip, dest().c_str()), Ok);
    const char *described[] = {"./", "bin/", "bin/app.dll", "a/b/c.txt", "x/"};
    for (int i = 0; i < 5; ++i) {
        ZipEntryInfo info{};
        ASSERT_EQ(ZipReader::entryInfo(zip, i, info), Ok) << i;
        EXPECT_STREQ(info.name, described[i]);
        EXPECT_EQ(ZipReader::extractEntry(zip, i, info.name), Ok) << i;
    }
    // The base folder entry made the base folder; a target given with "."
    // parts lands where it would without them.
    EXPECT_EQ(ZipReader::extractEntry(zip, 2, "./bin/./renamed.dll"), Ok);
    ZipReader::close(zip);
    EXPECT_EQ(inDest("bin/app.dll"), "app");
    EXPECT_EQ(inDest("bin/renamed.dll"), "app");
    EXPECT_EQ(inDest("a/b/c.txt"), "c");
    EXPECT_TRUE(fs::is_directory(u8path(dest() + "/x")));
    expectNothingElseWritten();
    // Only separators left: the base folder too. A file cannot be it.
    for (const char *name : {"/", "\\\\", "./", "C:/"}) {
        ZipEntryInfo info{};
        EXPECT_EQ(describeOnly({name, "data"}, info), Ok) << name;
        EXPECT_STREQ(info.name, "./");
    }
    ZipEntryInfo info{};
    EXPECT_EQ(describeOnly({".", "data"}, info), UnsafeName);
}

TEST_F(ZipReaderTest, RefusesDeviceStreamAndForbiddenNames) {
    for (const char *name :
         {"CON",      "con.txt",   "dir/NUL",  "a/Aux.tar.gz", "COM1",
          "lpt9.log", "prn ",      "nul .txt", "CONOUT$",      "dir/a.txt:stream",
          "x/y:z",    "what?.txt", "a*b",      "a|b",          "quote\"d",
          "<x>",      "tab\there", "dir./x",   "name ",        "a. /b",
          "end."}) {
        ZipEntryInfo info{};
        EXPECT_EQ(describeOnly({name, "x"}, info), ReservedName) << name;
    }
    for (const char *name : {"COM10", "console.txt", "nulls/x", "lpt"}) {
        ZipEntryInfo info{};
        EXPECT_EQ(describeOnly({name, "x"}, info), Ok) << name;
    }
    expectNothingElseWritten();
}

TEST_F(ZipReaderTest, RefusesNamesTooLongInsteadOfShorteningThem) {
    ZipEntryInfo info{};
    EXPECT_EQ(describeOnly({std::string(260, 'n'), "x"}, info), NameTooLong);
    EXPECT_EQ(describeOnly({std::string(259, 'n'), "x"}, info), Ok);
    EXPECT_EQ(std::string(info.name), std::string(259, 'n'));
    // The name fits, the path under the base folder does not.
    EXPECT_EQ(extractOne({std::string(250, 'n'), "x"}), NameTooLong);
    EXPECT_EQ(extractOne({"dir/" + std::string(230, 'n'), "x"}), NameTooLong);
    expectNothingElseWritten();
    // Every target up to 259 bytes works, however short its own name: the
    // temporary file beside it is never longer.
    const std::size_t base = dest().size() + 1;
    for (std::size_t total : {252, 253, 255, 258, 259}) {
        for (std::size_t own : {1, 2, 6, 7, 8}) {
            const std::string folder = std::string(total - base - own - 1, 'f') + "/";
            const std::string name = folder + std::string(own, 'o');
            ASSERT_EQ(extractAll(write({{{name, "fits"}, {name, "again"}}})), Ok) << total << own;
            EXPECT_EQ(inDest(name), "again");
            expectNothingElseWritten();
            clearDest();
        }
    }
    ZipHandle zip = ZipReader::open(archivePath().c_str());
    EXPECT_EQ(ZipReader::setBaseFolder(zip, std::string(259, 'b').c_str()), NameTooLong);
    EXPECT_EQ(ZipReader::setBaseFolder(zip, ""), BadArgument);
    ZipReader::close(zip);
}

TEST_F(ZipReaderTest, ChecksTheTargetNameToo) {
    ZipHandle zip = ZipReader::open(write({{{"a.txt", "x"}}}).c_str());
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(ZipReader::setBaseFolder(zip, dest().c_str()), Ok);
    const std::string outside = temp / "outside.txt";
    EXPECT_EQ(ZipReader::extractEntry(zip, 0, outside.c_str()), UnsafeName);
    EXPECT_EQ(ZipReader::extractEntry(zip, 0, "../outside.txt"), UnsafeName);
    EXPECT_EQ(ZipReader::extractEntry(zip, 0, "sub/../../outside.txt"), UnsafeName);
    EXPECT_EQ(ZipReader::extractEntry(zip, 0, "C:\\outside.txt"), UnsafeName);
    EXPECT_EQ(ZipReader::extractEntry(zip, 0, "aux"), ReservedName);
    EXPECT_EQ(ZipReader::extractEntry(zip, 0, nullptr), BadArgument);
    EXPECT_EQ(ZipReader::extractEntry(zip, 0, "renamed\\b.txt"), Ok);
    EXPECT_EQ(inDest("renamed/b.txt"), "x");
    ZipReader::close(zip);
    expectNothingElseWritten();
}

// ---- Broken and hostile archives ------------------------------------------

struct Fault {
    const char *name;
    std::function<void(Entry &)> spoil;
    ZipResult expected;
};

TEST_F(ZipReaderTest, NamesEachBrokenEntryWithItsOwnCode) {
    const std::string content = text(50000);
    const Fault faults[] = {
        {"crc error", [](Entry &e) { e.crc = 0x12345678; }, CrcMismatch},
        {"crc error stored", [](Entry &e) { e.method = 0, e.crc = 1; }, CrcMismatch},
        {"bad deflate data", [](Entry &e) { e.payload = std::string(3000, '\xFF'); }, DataError},
        {"deflate data cut short",
         [&](Entry &e) {
             const std::string whole = testzip::deflateRaw(e.data);
             e.payload = whole.substr(0, whole.size() / 2);
         },
         DataError},
        {"deflate stream ends before the size",
         [&](Entry &e) { e.payload = testzip::deflateRaw(e.data.substr(0, 100)); }, DataError},
        {"stored data shorter than its size",
         [](Entry &e) { e.method = 0, e.payload = e.data.substr(0, 100); }, DataError},
        {"compressed size beyond the archive",
         [](Entry &e) { e.centralCompressedSize = 0x7FFFFFF0, e.flags = 0x08; }, Overlapping},
        {"wrong check byte", [](Entry &e) { e.encrypt = true, e.checkByteDelta = 1; },
         WrongPassword},
        {"unsupported method bzip2", [](Entry &e) { e.method = 12; }, Unsupported},
        {"unsupported method aes", [](Entry &e) { e.method = 99; }, Unsupported},
        {"zip64 sizes without their block",
         [](Entry &e) { e.centralCompressedSize = 0xFFFFFFFF, e.size = 0xFFFFFFFF; }, Unsupported},
        {"zip64 block too short",
         [](Entry &e) {
             e.centralCompressedSize = 0xFFFFFFFF, e.size = 0xFFFFFFFF;
             e.centralExtra = testzip::zip64Block(e.data.size(), 100).substr(0, 12);
         },
         Unsupported},
        {"zip64 local sizes differ", [](Entry &e) { e.zip64 = true, e.centralCompressedSize = 5; },
         HeaderMismatch},
        {"local signature wrong", [](Entry &e) { e.localSignature = 0x04034b51; }, HeaderMismatch},
        {"local method differs", [](Entry &e) { e.localMethod = 0; }, HeaderMismatch},
        {"local crc differs", [](Entry &e) { e.localCrc = 7; }, HeaderMismatch},
        {"local name length differs", [](Entry &e) { e.localName = "file.txtx"; }, HeaderMismatch},
    };
    for (const Fault &fault : faults) {
        writeFile(u8path(dest() + "/file.txt"), "old");
        Entry entry{"file.txt", content};
        fault.spoil(entry);
        EXPECT_EQ(extractOne(entry), fault.expected) << fault.name;
        EXPECT_TRUE(inDest("file.txt") == "old") << fault.name;
        // Read-only entries are checked before any file is made for them.
        entry.externalAttributes = 0100444u << 16;
        EXPECT_EQ(extractOne(entry), fault.expected) << fault.name << " read-only";
        EXPECT_TRUE(inDest("file.txt") == "old") << fault.name;
        expectNothingElseWritten();
    }
}

// A delta entry against the installed file dest/bin/app.dll, in
// segments with x86-64 code transformed, or in the first layout: the exact
// new file comes out, or the entry fails with its code and the old file
// stays. checkBase tells the base's faults alone, before anything is
// decoded.
TEST_F(ZipReaderTest, AppliesADeltaEntryOnlyToItsOwnBase) {
    const std::size_t items = 60000;
    const std::string base = program(items), next = program(items, items / 3, text(999));
    const Entry good = testzip::deltaEntry("bin/app.dll", base, next, 100000);
    const std::string data = *good.payload;
    const std::string zstdWhole = *testzip::firstLayoutEntry("", "", next).payload;
    const auto block = [](Entry &e, const zip::DeltaBase &described) {
        e.localExtra = *e.centralExtra = zip::deltaField(described);
    };
    const std::string installed = dest() + "/bin/app.dll";
    const struct {
        const char *name;
        std::function<void(Entry &)> spoil;
        ZipResult extracted, checked;
    } cases[] = {
        {"good base", [](Entry &) {}, Ok, Ok},
        {"aligned by the wide search",
         [&](Entry &e) {
             e = testzip::deltaEntry("bin/app.dll", base, next, 100000, zip::AlignmentSearch::Wide);
         },
         Ok, Ok},
        {"first layout",
         [&](Entry &e) { e = testzip::firstLayoutEntry("bin/app.dll", base, next); }, Ok, Ok},
        {"zstd whole entry", [&](Entry &e) { e.method = zip::ZstdMethod, e.payload = zstdWhole; },
         Ok, Ok},
        {"base changed in one byte",
         [&](Entry &) { writeFile(u8path(installed), "X" + base.substr(1)); }, BaseChanged,
         BaseChanged},
        {"base of another size", [&](Entry &) { writeFile(u8path(installed), base + "!"); },
         BaseChanged, BaseChanged},
        {"base missing", [&](Entry &) { fs::remove(u8path(installed)); }, BaseMissing, BaseMissing},
        {"first layout, base beyond its bound",
         [&](Entry &e) {
             block(e, {zip::MaxDeltaBase + 1, {}});
         },
         BeyondMemoryBound, BeyondMemoryBound},
        {"unknown transform",
         [&](Entry &e) { e.localExtra.back() = 3, e.centralExtra = e.localExtra; }, DeltaCorrupt,
         DeltaCorrupt},
        {"block of a third size",
         [&](Entry &e) {
             e.localExtra = zip::deltaField({base.size(), {}}) + "??";
             e.localExtra[2] = 42;
             e.centralExtra = e.localExtra;
         },
         DeltaCorrupt, DeltaCorrupt},
        {"segments read as the first layout",
         [&](Entry &e) {
             block(e, {base.size(), zip::sha256(base.data(), base.size())});
         },
         DeltaCorrupt, Ok},
        {"slice beyond the base",
         [&](Entry &e) {
             // The first segment's header follows the alignment.
             std::string spoilt = data;
             spoilt[zip::get32(reinterpret_cast<const unsigned char *>(data.data())) + 4 + 7] = 1;
             e.payload = spoilt;
         },
         DeltaCorrupt, Ok},
        {"corrupt frame", [&](Entry &e) { e.payload = data.substr(0, 200) + std::string(50, 'x'); },
         DeltaCorrupt, Ok},
        {"no base field", [](Entry &e) { e.localExtra.clear(), e.centralExtra.reset(); },
         DeltaCorrupt, DeltaCorrupt},
        {"wrong result crc", [](Entry &e) { e.crc = crcOf(e.data) ^ 1; }, CrcMismatch, Ok},
    };
    for (const auto &test : cases) {
        clearDest();
        writeFile(u8path(installed), base);
        Entry entry = good;
        test.spoil(entry);
        const bool there = fs::exists(u8path(installed));
        const std::string before = there ? inDest("bin/app.dll") : "";
        ZipHandle zip = ZipReader::open(write({{entry}}).c_str());
        ASSERT_NE(zip, nullptr);
        const platform::Folder reference(platform::openFolderA(dest().c_str()));
        ZipEntryInfo info{};
        EXPECT_EQ(ZipReader::setBaseFolder(zip, dest().c_str()), Ok);
        if (entry.method == zip::DeltaMethod) {
            EXPECT_EQ(ZipReader::entryInfo(zip, 0, info), Unsupported) << "without a reference";
        }
        EXPECT_EQ(ZipReader::setReferenceFolder(zip, reference.get()), Ok);
        EXPECT_EQ(ZipReader::checkBase(zip, 0), test.checked) << test.name;
        EXPECT_EQ(ZipReader::extractEntry(zip, 0, "bin/app.dll"), test.extracted) << test.name;
        ZipReader::close(zip);
        if (test.extracted == Ok)
            EXPECT_TRUE(inDest("bin/app.dll") == next) << test.name;
        else if (there)
            EXPECT_TRUE(inDest("bin/app.dll") == before) << test.name;
        else
            EXPECT_FALSE(fs::exists(u8path(installed))) << test.name;
        expectNothingElseWritten();
    }
}

// The transform undoes what it does, segment by segment at any position,
// for either code, with displacements rewritten (files under 16 MiB) or
// left (larger); and where code only moved, it leaves zeros but for what
// the edit changed. The map of positions is one to one.
TEST(DeltaTransformTest, UndoesWhatItDoesAndLeavesZerosWhereCodeMoved) {
    const std::size_t items = 20000, at = items / 2;
    // A multiple of 8, so that the address words keep their boundaries.
    const std::string base = program(items), insertion = text(504);
    const std::string next = program(items, at, insertion);
    const std::size_t moved = next.find(insertion) + insertion.size();
    const std::size_t from = moved - insertion.size();
    const zip::BaseView view{reinterpret_cast<const unsigned char *>(base.data()), 0, base.size()};
    const struct {
        const char *name;
        zip::X86Code code;
        uint64_t span;
    } cases[] = {{"32-bit", zip::X86Code::Bits32, next.size()},
                 {"64-bit", zip::X86Code::Bits64, next.size()},
                 {"64-bit beyond 16 MiB", zip::X86Code::Bits64, (16u << 20) + 1}};
    for (const auto &test : cases) {
        zip::Alignment alignment;
        ASSERT_TRUE(alignment.assign({{0, 0, from}, {moved, from, next.size() - moved}},
                                     base.size(), test.span))
            << test.name;
        for (int64_t x = -3; x < static_cast<int64_t>(next.size()) + 3; x += 7) {
            const int64_t y = alignment.toBase(x);
            ASSERT_EQ(alignment.toNext(y), x) << test.name;
            ASSERT_EQ(x >= 0 && x < static_cast<int64_t>(test.span),
                      y >= 0 && y < static_cast<int64_t>(test.span))
                << test.name;
        }
        std::string encoded = next;
        for (std::size_t start = 0, size = 4093; start < next.size(); start += size, size *= 3) {
            auto *segment = reinterpret_cast<unsigned char *>(&encoded[start]);
            const std::size_t length = std::min(size, next.size() - start);
            ASSERT_TRUE(zip::encodeSegment(segment, length, start, alignment, test.code, view));
            std::string back(encoded, start, length);
            ASSERT_TRUE(zip::decodeSegment(reinterpret_cast<unsigned char *>(&back[0]), length,
                                           start, alignment, test.code, view));
            ASSERT_TRUE(back == next.substr(start, length)) << test.name << " at " << start;
        }
        std::size_t changed = 0, differing = 0;
        for (std::size_t i = moved; i < next.size(); ++i) {
            changed += encoded[i] != 0;
            differing += next[i] != base[i - insertion.size()];
        }
        EXPECT_GT(differing, 1000u) << test.name;
        // What is left: operands that address words happen to look like.
        if (test.span < (16u << 20) && test.code == zip::X86Code::Bits64) {
            EXPECT_LT(changed * 10, differing) << test.name;
        } else {
            EXPECT_LT(changed, differing) << test.name;
            EXPECT_GT(changed, 0u) << test.name;
        }
    }
    zip::Alignment refused;
    EXPECT_FALSE(refused.assign({{0, 0, 10}, {5, 20, 10}}, 100, 100)) << "overlapping";
    EXPECT_FALSE(refused.assign({{0, 95, 10}}, 100, 100)) << "beyond the base";
    EXPECT_FALSE(
        refused.parse(reinterpret_cast<const unsigned char *>("0123456789012"), 13, 100, 100));
}

// With many blocks of every length and gap, the map takes each position
// where its rules say: an aligned one to its old byte, the ones left over in
// order to those left over on the other side.
TEST(DeltaTransformTest, MapsEveryPositionAsItsRulesSay) {
    std::mt19937 random(34);
    for (const uint64_t baseSize : {5000u, 7000u}) {
        const uint64_t nextSize = 6000, span = std::max(baseSize, nextSize);
        std::vector<zip::AlignedBlock> blocks;
        for (uint64_t next = random() % 3, base = 0;;) {
            const uint64_t length = 1 + random() % 30;
            if (next + length > nextSize || base + length > baseSize)
                break;
            blocks.push_back({next, base, length});
            next += length + random() % 40;
            base += length + random() % 40;
        }
        zip::Alignment alignment;
        ASSERT_TRUE(alignment.assign(blocks, baseSize, nextSize));
        std::vector<int64_t> expected(span, -1);
        std::vector<bool> taken(span);
        for (const zip::AlignedBlock &block : blocks)
            for (uint64_t k = 0; k < block.length; ++k) {
                expected[block.next + k] = static_cast<int64_t>(block.base + k);
                taken[block.base + k] = true;
            }
        for (uint64_t x = 0, left = 0; x < span; ++x)
            if (expected[x] < 0) {
                while (taken[left])
                    ++left;
                expected[x] = static_cast<int64_t>(left++);
            }
        for (uint64_t x = 0; x < span; ++x) {
            ASSERT_EQ(alignment.toBase(static_cast<int64_t>(x)), expected[x])
                << baseSize << " " << x;
            ASSERT_EQ(alignment.toNext(expected[x]), static_cast<int64_t>(x))
                << baseSize << " " << x;
        }
    }
}

// FIPS 180-4's examples, and a message that crosses many blocks in uneven
// pieces.
TEST(Sha256Test, GivesTheStandardsDigests) {
    const auto hex = [](const zip::Sha256Digest &digest) {
        std::string out;
        char two[3];
        for (unsigned char byte : digest) {
            std::snprintf(two, sizeof two, "%02x", byte);
            out += two;
        }
        return out;
    };
    const std::pair<std::string, const char *> vectors[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    // The processor's SHA instructions where it has them, and the portable
    // code.
    for (const bool instructions : {true, false}) {
        zip::useShaInstructions(instructions);
        for (const auto &[message, digest] : vectors) {
            EXPECT_EQ(hex(zip::sha256(message.data(), message.size())), digest) << instructions;
            zip::Sha256 pieces;
            for (std::size_t at = 0; at < message.size(); at += 777)
                pieces.update(message.data() + at, std::min<std::size_t>(777, message.size() - at));
            EXPECT_EQ(hex(pieces.finish()), digest) << instructions;
        }
    }
    zip::useShaInstructions(true);
}

TEST_F(ZipReaderTest, ReadsZip64RecordsAndBlocks) {
    for (const std::string stub : {"", "MZ stub in front"}) {
        testzip::Archive archive{{{"big/a.bin", text(70000)},
                                  testzip::folder("big/"),
                                  {"stored.txt", "stored", 0},
                                  {"plain.txt", "plain"}}};
        archive.entries[0].zip64 = archive.entries[2].zip64 = true;
        archive.entries[1].zip64 = true;
        archive.zip64End = true;
        archive.stub = stub;
        ZipHandle zip = ZipReader::open(write(archive).c_str());
        ASSERT_NE(zip, nullptr) << stub;
        ZipEntryInfo info{};
        ASSERT_EQ(ZipReader::entryInfo(zip, -1, info), Ok);
        EXPECT_EQ(info.index, 4);
        ASSERT_EQ(ZipReader::entryInfo(zip, 0, info), Ok);
        EXPECT_EQ(info.size64, 70000u);
        EXPECT_EQ(info.size, 70000u);
        EXPECT_EQ(info.compressedSize64, info.compressedSize);
        ZipReader::close(zip);
        ASSERT_EQ(extractAll(archivePath()), Ok) << stub;
        EXPECT_EQ(inDest("big/a.bin"), text(70000));
        EXPECT_EQ(inDest("stored.txt"), "stored");
        EXPECT_EQ(inDest("plain.txt"), "plain");
        clearDest();
    }
    // zip -fz into a pipe marks the central directory's offset and writes no
    // ZIP64 record: its size still tells where it starts. With the size
    // marked too nothing does.
    std::string bytes = testzip::build({{{"a.txt", "piped"}}});
    const std::size_t end = bytes.size() - 22;
    bytes.replace(end + 16, 4, "\xFF\xFF\xFF\xFF");
    writeFile(u8path(archivePath()), bytes);
    ASSERT_EQ(extractAll(archivePath()), Ok);
    EXPECT_EQ(inDest("a.txt"), "piped");
    bytes.replace(end + 12, 4, "\xFF\xFF\xFF\xFF");
    writeFile(u8path(archivePath()), bytes);
    ZipResult result = Ok;
    EXPECT_EQ(ZipReader::open(archivePath().c_str(), &result), nullptr);
    EXPECT_EQ(result, Unsupported);
}

// Several records on one local header, or data that runs into the next
// entry: a few bytes that would unpack into many entries' worth.
TEST_F(ZipReaderTest, RefusesOverlappingEntries) {
    testzip::Archive shared{{{"a.txt", text(3000)}, {"b.txt", text(3000)}, {"c.txt", "c"}}};
    shared.entries[1].sharesHeaderOf = 0;
    shared.entries[1].localName = "a.txt";
    shared.entries[1].name = "a.txt";
    int failed = -1;
    EXPECT_EQ(extractAll(write(shared), &failed), Overlapping);
    EXPECT_EQ(failed, 0);
    EXPECT_FALSE(existsInDest("a.txt"));

    testzip::Archive runsOn{{{"a.txt", text(3000)}, {"b.txt", text(3000)}}};
    runsOn.entries[0].flags = 0x08;
    runsOn.entries[0].centralCompressedSize = 4000;
    failed = -1;
    EXPECT_EQ(extractAll(write(runsOn), &failed), Overlapping);
    EXPECT_EQ(failed, 0);
    ZipHandle zip = ZipReader::open(archivePath().c_str());
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(ZipReader::setBaseFolder(zip, dest().c_str()), Ok);
    ZipEntryInfo info{};
    EXPECT_EQ(ZipReader::extractEntry(zip, 1, "b.txt"), Ok);
    EXPECT_EQ(ZipReader::entryInfo(zip, 0, info), Overlapping);
    ZipReader::close(zip);
    EXPECT_EQ(inDest("b.txt"), text(3000));
    expectNothingElseWritten();
}

// The one way every reader of ours finds an archive's end (the extraction
// and the package signature alike).
TEST_F(ZipReaderTest, FindsTheEndRecordByOneSetOfRules) {
    const std::string plain = testzip::build({{{"a.txt", "a"}}});
    testzip::Archive stubbed{{{"a.txt", "a"}}};
    stubbed.stub = "MZ stub";
    // A comment that holds an end record of its own, consistent or not:
    // the one that ends the file wins.
    testzip::Archive hiding{{{"a.txt", "a"}}};
    hiding.comment = plain.substr(plain.size() - 22);
    std::string zip64Marked = plain;
    zip64Marked.replace(zip64Marked.size() - 10, 8, std::string(8, '\xFF'));
    const struct {
        const char *what;
        std::string bytes;
        zip::EndSearch search;
        bool reachesEnd;
        uint64_t bytesBefore;
    } cases[] = {
        {"plain", plain, zip::EndSearch::Found, true, 0},
        {"bytes after it", plain + "tail", zip::EndSearch::Found, false, 0},
        {"a program in front", testzip::build(stubbed), zip::EndSearch::Found, true, 7},
        {"an end record in the comment", testzip::build(hiding), zip::EndSearch::Found, true, 0},
        {"a comment cut short", plain.substr(0, plain.size() - 2) + std::string("\x05\x00", 2),
         zip::EndSearch::Found, false, 0},
        {"nothing", "", zip::EndSearch::Missing, false, 0},
        {"a record alone", std::string("PK\x05\x06", 4) + std::string(18, '\x01'),
         zip::EndSearch::Missing, false, 0},
        {"ZIP64 marks without their record", zip64Marked, zip::EndSearch::Zip64Unreadable, false,
         0},
    };
    for (const auto &archive : cases) {
        writeFile(u8path(archivePath()), archive.bytes);
        platform::File file(platform::openFileA(archivePath().c_str(), platform::FileAccess::Read,
                                                platform::FileShare::Read,
                                                platform::FileDisposition::OpenExisting));
        ASSERT_TRUE(file);
        zip::PositionedFile reader(file.get());
        zip::EndRecord end;
        EXPECT_EQ(zip::findEndRecord(reader, end), archive.search) << archive.what;
        if (archive.search != zip::EndSearch::Found)
            continue;
        EXPECT_EQ(end.reachesEnd, archive.reachesEnd) << archive.what;
        EXPECT_EQ(end.bytesBefore, archive.bytesBefore) << archive.what;
        EXPECT_EQ(end.entryCount, 1) << archive.what;
    }
}

TEST_F(ZipReaderTest, EndsTheWalkAtACentralRecordItCannotRead) {
    testzip::Archive archive{{{"a", "1"}, {"b", "2"}}};
    archive.entryCount = 3;
    ZipHandle zip = ZipReader::open(write(archive).c_str());
    ASSERT_NE(zip, nullptr);
    ZipEntryInfo info{};
    EXPECT_EQ(ZipReader::entryInfo(zip, 2, info), CentralUnreadable);
    EXPECT_EQ(ZipReader::extractEntry(zip, 2, "c"), CentralUnreadable);
    EXPECT_EQ(ZipReader::entryInfo(zip, 1, info), Ok);
    EXPECT_STREQ(info.name, "b");
    EXPECT_EQ(ZipReader::entryInfo(zip, 2, info), CentralUnreadable);
    ZipReader::close(zip);
}

TEST_F(ZipReaderTest, SurvivesEveryTruncationAndEveryFlippedByte) {
    testzip::Archive archive{{testzip::folder("d/"), {"d/a.txt", text(600)}, {"b", "bb", 0}}};
    archive.entries[1].localExtra = testzip::unixTimeBlock(1, {1700000000});
    archive.comment = "comment";
    const std::string good = testzip::build(archive);
    for (std::size_t cut = 0; cut < good.size(); ++cut) {
        writeFile(u8path(archivePath()), good.substr(0, cut));
        const ZipResult result = extractAll(archivePath());
        // Only a cut inside the comment leaves an archive to read.
        if (cut < good.size() - archive.comment.size())
            EXPECT_EQ(result, CannotCreate) << cut;
        else
            EXPECT_EQ(result, Ok) << cut;
        expectNothingElseWritten();
        clearDest();
    }
    for (std::size_t at = 0; at < good.size(); ++at) {
        std::string bad = good;
        bad[at] = static_cast<char>(bad[at] ^ 0x5A);
        writeFile(u8path(archivePath()), bad);
        int failed = -1;
        const ZipResult result = extractAll(archivePath(), &failed);
        if (result == Ok && fs::is_regular_file(u8path(dest() + "/d/a.txt"))) {
            EXPECT_TRUE(inDest("d/a.txt") == text(600)) << at;
        }
        expectNothingElseWritten();
        clearDest();
    }
}

// ---- A target in use --------------------------------------------------------

TEST_F(ZipReaderTest, ATargetHeldOpenWithoutSharingGives0x200AndStaysAsItWas) {
    writeFile(u8path(dest() + "/held.dll"), "old");
    const std::string zipPath = write({{{"held.dll", text(30000)}}});
    auto holder =
        Process::start({programPath("hold"), "file", dest() + "/held.dll", helperSeconds});
    ASSERT_TRUE(holder.waitForLine("held"));
    int failed = -1;
    EXPECT_EQ(extractAll(zipPath, &failed), CannotCreate);
    EXPECT_EQ(failed, 0);
    // A read-only entry too: its temporary file is made read-only only at
    // the end, and made writable again to be removed when the target stays.
    Entry readOnly{"held.dll", text(30000)};
    readOnly.externalAttributes = 0100444u << 16;
    EXPECT_EQ(extractAll(write({{readOnly}})), CannotCreate);
    holder.terminate();
    holder.wait(patienceMs);
    EXPECT_EQ(inDest("held.dll"), "old");
    expectNothingElseWritten();
    EXPECT_EQ(extractAll(zipPath), Ok);
    EXPECT_EQ(inDest("held.dll"), text(30000));
}

// A link among the folders below the base folder (made by someone who may
// write there) must not carry the extraction elsewhere; a link as the target
// itself is replaced.
TEST_F(ZipReaderTest, NeverWritesThroughALinkedFolder) {
    const fs::path outside = u8path(temp / "outside");
    writeFile(outside / "app.dll", "outside");
    writeFile(outside / "sub/x.txt", "outside sub");
    fs::create_directories(u8path(dest()));
    std::error_code linkError;
    fs::create_directory_symlink(outside, u8path(dest() + "/bin"), linkError);
    if (linkError && !standin) {
        // Where symbolic links need a privilege, a junction does not.
        std::string command = "mklink /J \"" + dest() + "/bin\" \"" + outside.u8string() + "\"";
        std::replace(command.begin(), command.end(), '/', '\\');
        if (std::system(command.c_str()) == 0 && fs::exists(u8path(dest() + "/bin")))
            linkError.clear();
    }
    if (linkError)
        GTEST_SKIP() << "neither a symbolic link nor a junction can be made here";
    const uint32_t attributes = platform::pathAttributes(dest() + "/bin");
    EXPECT_EQ(attributes & (platform::attribute::ReparsePoint | platform::attribute::Directory),
              platform::attribute::ReparsePoint | platform::attribute::Directory);
    for (const Entry &entry :
         {Entry{"bin/app.dll", "new"}, Entry{"bin/sub/x.txt", "new"}, Entry{"bin/new/y.txt", "new"},
          testzip::folder("bin/"), testzip::folder("bin/made/")}) {
        int failed = -1;
        EXPECT_EQ(extractAll(write({{{"first.txt", "1"}, entry}}), &failed), LinkInPath)
            << entry.name;
        EXPECT_EQ(failed, 1);
    }
    EXPECT_EQ(readFile(outside / "app.dll"), "outside");
    EXPECT_EQ(readFile(outside / "sub/x.txt"), "outside sub");
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(outside),
                            fs::recursive_directory_iterator()),
              3);

    // A linked file as the target: the link goes, the file it led to stays.
    // (Windows makes file links only with a privilege.)
    fs::remove(u8path(dest() + "/bin"));
    fs::create_symlink(outside / "app.dll", u8path(dest() + "/app.dll"), linkError);
    if (linkError && !standin)
        return;
    ASSERT_FALSE(linkError);
    ASSERT_EQ(extractOne({"app.dll", "replaced"}), Ok);
    EXPECT_FALSE(fs::is_symlink(u8path(dest() + "/app.dll")));
    EXPECT_EQ(inDest("app.dll"), "replaced");
    EXPECT_EQ(readFile(outside / "app.dll"), "outside");
}

TEST_F(ZipReaderTest, AFileWhereAFolderMustGoGives0x200) {
    writeFile(u8path(dest() + "/d"), "a file");
    EXPECT_EQ(extractOne({"d/x.txt", "x"}), CannotCreate);
    EXPECT_EQ(extractOne(testzip::folder("d/")), CannotCreate);
    EXPECT_EQ(inDest("d"), "a file");
    expectNothingElseWritten();
}

} // namespace
