// The start-up steps the programs share: the log's place and the guards.
#include "installlog.h"
#include "paths.h"
#include "platform.h"
#include "process.h"
#include "startup.h"
#include "testsupport.h"

#include <QByteArray>
#include <QString>

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

const bool standin = platform::programSuffix[0] == '\0';

} // namespace

TEST(Startup, TheLogLivesInTheAllUsersDocumentsFolder) {
    TempDir temp;
    if (standin)
        setEnv("VELMAR_SYSTEM_ROOT", (temp / "machine").c_str());
    const QString oldLink = logLinkPath();

    if (standin) {
        EXPECT_FALSE(resolveLogPath()) << "no documents folder yet";
        EXPECT_EQ(logLinkPath(), oldLink);
        fs::create_directories(u8path(temp / "machine/Users/Public/Documents"));
    }
    ASSERT_TRUE(resolveLogPath());
    std::string documents;
    ASSERT_TRUE(platform::commonDocumentsFolder(documents));
    const QString expected =
        nativePath(QString::fromStdString(documents) + separator() + "velmarinstall.txt");
    EXPECT_EQ(logLinkPath(), expected);
    EXPECT_FALSE(expected.contains(platform::programSuffix[0] ? '/' : '\\'));

    // Both paths are the same: lines go where the link points.
    const std::string marker = uniqueName("startup-test");
    writeLog(QString::fromStdString(marker));
    EXPECT_NE(readFile(u8path(expected.toStdString())).find(marker), std::string::npos);

    setLogFilePath(QStringLiteral("install.log"));
    setLogLinkPath(oldLink);
    if (standin)
        setEnv("VELMAR_SYSTEM_ROOT", nullptr);
}

TEST(Startup, TheLastErrorLineIsUnsignedDecimal) {
    TempDir temp;
    setLogFilePath(QString::fromStdString(temp / "log.txt"));
    platform::setLastError(183);
    writeLastErrorLine(QStringLiteral("update---lasterr："));
    platform::setLastError(0xFFFFFFFFu);
    writeLastErrorLine(QStringLiteral("reseat---lasterr："));
    // The log is in the system's code page: GBK under code page 936.
    const std::string log =
        QString::fromLocal8Bit(QByteArray::fromStdString(readFile(u8path(temp / "log.txt"))))
            .toStdString();
    EXPECT_NE(log.find(":::update---lasterr：183"), std::string::npos) << log;
    EXPECT_NE(log.find(":::reseat---lasterr：4294967295"), std::string::npos) << log;
    setLogFilePath(QStringLiteral("install.log"));
}

TEST(Startup, GuardsAreTakenOnlyWhenNobodyHoldsThem) {
    TempDir temp;
    if (standin)
        setEnv("VELMAR_SYSTEM_ROOT", (temp / "machine").c_str());
    const std::string name = uniqueName("guard");

    // A probe leaves the guard free.
    EXPECT_TRUE(probeGuard(name.c_str()));
    {
        const platform::Mutex mine = takeGuard(name.c_str());
        ASSERT_TRUE(mine.owned());
        EXPECT_FALSE(probeGuard(name.c_str())) << "held by this process";
        EXPECT_FALSE(takeGuard(name.c_str()).owned());
    }

    {
        Process::Options options;
        if (standin)
            options.environment["VELMAR_SYSTEM_ROOT"] = temp / "machine";
        Process other =
            Process::start({programPath("hold"), "mutex", name, helperSeconds}, options);
        ASSERT_TRUE(other.waitForLine("held"));
        EXPECT_FALSE(probeGuard(name.c_str()));
        EXPECT_FALSE(takeGuard(name.c_str()).owned());
    }
    EXPECT_TRUE(probeGuard(name.c_str())) << "given back when it went";
    if (standin)
        setEnv("VELMAR_SYSTEM_ROOT", nullptr);
}
