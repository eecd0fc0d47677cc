// The install log: its line format, its append-only file, and several
// programs writing at once.
#include "installlog.h"
#include "platform.h"
#include "process.h"
#include "testsupport.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QString>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>

using namespace testsupport;

namespace {

// The system's text-mode line end.
const std::string lineEnd = platform::programSuffix[0] ? "\r\n" : "\n";

class InstallLog : public ::testing::Test {
protected:
    void SetUp() override { setLogFilePath(QString::fromStdString(file)); }
    void TearDown() override { setLogFilePath(QStringLiteral("install.log")); }

    TempDir temp;
    const std::string file = temp / "velmarinstall.txt";
};

} // namespace

TEST_F(InstallLog, WritesATimeStampThreeColonsAndTheMessage) {
    const QDateTime before = QDateTime::currentDateTime();
    writeLog(QStringLiteral("开始更新update.exe"));
    const std::string content = readFile(u8path(file));

    const QRegularExpression format(QStringLiteral(
        "^(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d) (\\S+):::开始更新update.exe$"));
    ASSERT_GE(content.size(), lineEnd.size());
    ASSERT_EQ(content.substr(content.size() - lineEnd.size()), lineEnd);
    const auto match = format.match(
        QString::fromLocal8Bit(content.substr(0, content.size() - lineEnd.size()).c_str()));
    ASSERT_TRUE(match.hasMatch()) << content;
    const QDateTime stamp =
        QDateTime::fromString(match.captured(1), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    EXPECT_LE(std::abs(stamp.secsTo(before)), 2);
    EXPECT_EQ(match.captured(2), before.toString(QStringLiteral("ddd")));
}

TEST_F(InstallLog, StampsTheLocalTimeOfTheZoneInForce) {
    if (!lineEnd.empty() && lineEnd[0] == '\r')
        GTEST_SKIP() << "Windows' local time does not follow TZ";
    // Two zones without summer time, 18 hours apart, set while the program
    // runs: a stamp in UTC, or one whose zone was read only once, is wrong
    // in at least one. The expected time comes from UTC, so that nothing in
    // the test reads the zone for the log.
    const char *zone = std::getenv("TZ");
    const std::string savedZone = zone ? zone : "";
    const std::pair<const char *, int> zones[] = {{"CST-8", 8 * 3600}, {"HST10", -10 * 3600}};
    for (const auto &[name, offset] : zones) {
        setEnv("TZ", name);
        const QDateTime expected = QDateTime::currentDateTimeUtc().addSecs(offset);
        writeLog(QStringLiteral("zone"));
        const std::string content = readFile(u8path(file));
        const auto lineStart = content.rfind('\n', content.size() - 2);
        const QString line = QString::fromStdString(
            content.substr(lineStart == std::string::npos ? 0 : lineStart + 1, 19));
        QDateTime stamp = QDateTime::fromString(line, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        stamp.setTimeSpec(Qt::UTC);
        EXPECT_TRUE(stamp.isValid()) << name << ": " << content;
        EXPECT_LE(std::abs(stamp.secsTo(expected)), 2) << name << ": " << content;
    }
    setEnv("TZ", zone ? savedZone.c_str() : nullptr);
}

TEST_F(InstallLog, KeepsEmptyAndMultiLineMessagesAsTheyAre) {
    writeLog(QString());
    writeLog(QStringLiteral("first\nsecond"));
    const std::string content = readFile(u8path(file));
    const auto firstEnd = content.find(lineEnd);
    ASSERT_NE(firstEnd, std::string::npos);
    EXPECT_EQ(content.substr(firstEnd - 3, 3), ":::") << "an empty message";
    EXPECT_NE(content.find(":::first" + lineEnd + "second" + lineEnd), std::string::npos);
}

TEST_F(InstallLog, AppendsToWhatIsThereAndNeverCreatesFolders) {
    writeFile(u8path(file), "earlier run" + lineEnd);
    writeLog(QStringLiteral("a"));
    writeLog(QStringLiteral("b"));
    const std::string content = readFile(u8path(file));
    EXPECT_EQ(content.rfind("earlier run" + lineEnd, 0), 0u);
    EXPECT_LT(content.find(":::a"), content.find(":::b"));

    setLogFilePath(QString::fromStdString(temp / "missing folder/log.txt"));
    writeLog(QStringLiteral("lost"));
    EXPECT_FALSE(fs::exists(u8path(temp / "missing folder")));
    // A log that could not be opened is tried again at the next line.
    fs::create_directories(u8path(temp / "missing folder"));
    writeLog(QStringLiteral("found"));
    const std::string found = readFile(u8path(temp / "missing folder/log.txt"));
    EXPECT_EQ(found.find(":::lost"), std::string::npos);
    EXPECT_NE(found.find(":::found"), std::string::npos);
}

TEST_F(InstallLog, ALogThatIsALinkDropsItsLinesAndWritesNothingWhereItPoints) {
    // The documents folder is open to every user: a link planted in the
    // log's place must not make an elevated program write into another file.
    const std::string outside = temp / "system.ini";
    writeFile(u8path(outside), "keep");
    const std::string nowhere = temp / "created by nobody.txt";
    if (!makeLink(file, outside, false))
        GTEST_SKIP() << "this system makes no links";
    writeLog(QStringLiteral("开始更新update.exe"));
    EXPECT_EQ(readFile(u8path(outside)), "keep");
    EXPECT_TRUE(fs::is_symlink(u8path(file)));

    fs::remove(u8path(file));
    ASSERT_TRUE(makeLink(file, nowhere, false));
    writeLog(QStringLiteral("开始更新update.exe"));
    EXPECT_FALSE(fs::exists(u8path(nowhere)));
}

TEST_F(InstallLog, KeepsTheLinkPathApartFromTheFilePath) {
    const QString old = logLinkPath();
    setLogLinkPath(QStringLiteral("elsewhere.txt"));
    EXPECT_EQ(logLinkPath(), QStringLiteral("elsewhere.txt"));
    writeLog(QStringLiteral("x"));
    EXPECT_FALSE(readFile(u8path(file)).empty());
    setLogLinkPath(old);
}

TEST_F(InstallLog, SeveralProgramsLoggingAtOnceLoseAndTearNoLine) {
    // Windows moves every write of a handle opened for appending alone to
    // the end of the file in one step; Wine finds the end and writes there
    // in two, so writers in several processes overwrite each other's lines.
    if (std::getenv("VELMAR_UNDER_WINE"))
        GTEST_SKIP() << "Wine does not append atomically across processes";
    constexpr int writers = 8, perWriter = 2000;
    {
        std::vector<Process> running;
        for (int id = 0; id < writers; ++id)
            running.push_back(
                Process::start({programPath("logwriter"), file, "writer" + std::to_string(id),
                                std::to_string(perWriter)}));
        for (auto &writer : running)
            ASSERT_TRUE(writer.endsWith(0));
    }
    std::map<std::string, int> next;
    std::istringstream lines(readFile(u8path(file)));
    std::string line;
    int total = 0;
    const QRegularExpression format(QStringLiteral(
        "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\S+:::(writer\\d):(\\d+)\\r?$"));
    while (std::getline(lines, line)) {
        // The weekday is in the system's language and code page.
        const auto match = format.match(QString::fromLocal8Bit(line.c_str()));
        ASSERT_TRUE(match.hasMatch()) << "torn line: " << line;
        const std::string writer = match.captured(1).toStdString();
        EXPECT_EQ(match.captured(2).toInt(), next[writer]) << "lost or reordered: " << line;
        next[writer] = match.captured(2).toInt() + 1;
        ++total;
    }
    EXPECT_EQ(total, writers * perWriter);
}
