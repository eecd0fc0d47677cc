// What only the Windows backend has: the ANSI code page and Windows paths.
// The Wine lane runs with code page 936 (GBK), that of the users' Chinese
// Windows; these cases need it.
#include "platform.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <windows.h>

using namespace testsupport;

namespace {

class CodePage936 : public ::testing::Test {
protected:
    void SetUp() override {
        if (::GetACP() != 936)
            GTEST_SKIP() << "needs the ANSI code page 936 (LANG=zh_CN.UTF-8 under Wine)";
    }
};

} // namespace

TEST_F(CodePage936, Utf8BecomesGbkAndLeadBytesAreKnown) {
    std::string local;
    ASSERT_TRUE(platform::utf8ToLocal8Bit("更新/中文.txt", local));
    EXPECT_EQ(local, "\xB8\xFC\xD0\xC2/\xD6\xD0\xCE\xC4.txt");
    EXPECT_TRUE(platform::isLeadByte(0xD6));
    EXPECT_FALSE(platform::isLeadByte('/'));

    // 淺 ends in 0x5C, the byte of "\": only a search that knows the lead
    // byte tells it from a separator.
    ASSERT_TRUE(platform::utf8ToLocal8Bit("淺\\b", local));
    EXPECT_EQ(local, "\x9C\x5C\\b");
    EXPECT_TRUE(platform::isLeadByte(0x9C));
    EXPECT_EQ(platform::findText8(local, "\\"), 2u);
    EXPECT_EQ(platform::findText8(local, "\\", 3), std::string::npos);
    EXPECT_EQ(platform::findText8("a\\b\\c", "\\", 2), 3u);
}

TEST_F(CodePage936, CharactersGbkLacksAreRefusedNotReplaced) {
    std::string local = "untouched";
    // Thai has no place in GBK; "À" would have a best-fit "A".
    EXPECT_FALSE(platform::utf8ToLocal8Bit("ก.txt", local));
    EXPECT_EQ(platform::lastError(), 1113u); // ERROR_NO_UNICODE_TRANSLATION
    EXPECT_FALSE(platform::utf8ToLocal8Bit("À.txt", local));
    EXPECT_EQ(local, "untouched");
}

TEST_F(CodePage936, BatchFilesGetTheOemCodePageTheSameBytesOnChineseWindows) {
    // cmd.exe reads a batch file in the OEM code page; on Chinese Windows it
    // is GBK as well.
    ASSERT_EQ(::GetOEMCP(), 936u);
    std::string oem = "untouched";
    ASSERT_TRUE(platform::utf8ToOem8Bit("del \"更新\\中文.txt\" /q /f", oem));
    EXPECT_EQ(oem, "del \"\xB8\xFC\xD0\xC2\\\xD6\xD0\xCE\xC4.txt\" /q /f");
    EXPECT_FALSE(platform::utf8ToOem8Bit("ก.txt", oem));
    EXPECT_EQ(platform::lastError(), 1113u);
}

TEST_F(CodePage936, EightBitNamesAreReadInTheCodePage) {
    TempDir temp;
    const std::string folder = temp / "";
    std::string name;
    ASSERT_TRUE(platform::utf8ToLocal8Bit(folder + "淺\\中文.txt", name));
    std::string subfolder;
    ASSERT_TRUE(platform::utf8ToLocal8Bit(folder + "淺", subfolder));
    ASSERT_TRUE(platform::createDirectoryA(subfolder.c_str()));
    platform::FileHandle file =
        platform::openFileA(name.c_str(), platform::FileAccess::Write, platform::FileShare::None,
                            platform::FileDisposition::CreateNew);
    ASSERT_NE(file, nullptr) << "error " << platform::lastError();
    ASSERT_TRUE(platform::writeFile(file, "gbk", 3));
    platform::closeFile(file);
    EXPECT_EQ(readFile(u8path(folder + "淺/中文.txt")), "gbk");
}

TEST(WindowsPaths, AbsoluteMeansDriveOrServer) {
    EXPECT_TRUE(platform::isAbsolutePath("C:\\Program Files"));
    EXPECT_TRUE(platform::isAbsolutePath("d:/data"));
    EXPECT_TRUE(platform::isAbsolutePath("\\\\server\\share\\file"));
    EXPECT_FALSE(platform::isAbsolutePath("C:relative"));
    EXPECT_FALSE(platform::isAbsolutePath("\\on the current drive"));
    EXPECT_FALSE(platform::isAbsolutePath("\\\\\\"));

    const std::string program = platform::programFilePath();
    EXPECT_TRUE(platform::isAbsolutePath(program)) << program;
    EXPECT_EQ(program.substr(program.size() - 4), ".exe");
}

// The request lands where the kernel reads it at start: the full path with
// "\??\" before it and an empty new name, after the requests already there.
TEST(WindowsPaths, RemovalAtRestartIsAskedOfTheSessionManager) {
    TempDir temp;
    const std::string old = utf8(temp.path() / "x.dll");
    writeFile(u8path(old), "old");
    ASSERT_TRUE(platform::removeAtRestartA(old.c_str())) << platform::lastError();
    EXPECT_EQ(readFile(u8path(old)), "old") << "nothing goes before the restart";

    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                              L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                              KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    ::RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, nullptr, &size);
    std::wstring value(size / sizeof(wchar_t), L'\0');
    const LONG read = ::RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type,
                                         reinterpret_cast<BYTE *>(value.data()), &size);
    ::RegCloseKey(key);
    ASSERT_EQ(read, ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    wchar_t full[MAX_PATH];
    ASSERT_GT(::GetFullPathNameW(u8path(old).wstring().c_str(), MAX_PATH, full, nullptr), 0u);
    const std::wstring request = L"\\??\\" + std::wstring(full) + std::wstring(1, L'\0');
    EXPECT_NE(value.find(request + std::wstring(1, L'\0')), std::wstring::npos)
        << "the path, then an empty new name";
}
