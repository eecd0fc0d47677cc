// The uninstall worker on a stand-in machine: what it removes and leaves,
// and what the window's bar and label are told along the way.
#include "reports.h"
#include "uninstall/runupdate.h"
#include "uninstall_velmar.h"
#include "uninstalltest.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>

#include <gtest/gtest.h>

#include <optional>

using namespace testsupport;
using namespace uninstalltest;

namespace {

const std::vector<std::string> stepTexts = {"清理文件成功", "清理注册表成功", "清理卸载表成功",
                                            "清理快捷方式成功", "文件已清除"};

struct Outcome {
    std::optional<bool> result;
    std::vector<Report> reports;
    // Every value the bar took, in order.
    std::vector<int> bar;
    std::string label;
};

class Worker : public OnStandIn {
protected:
    Outcome run(RunUpdate &worker) {
        Outcome outcome;
        ReportRecorder recorder(&worker);
        QObject watcher;
        QObject::connect(part<QProgressBar>(&window, "pro_run_show"), &QProgressBar::valueChanged,
                         &watcher, [&](int value) { outcome.bar.push_back(value); });
        QObject::connect(&worker, &RunUpdate::sigRunOver, &watcher, [&](bool result) {
            outcome.result = result;
            QCoreApplication::exit(0);
        });
        window.watch(&worker);
        worker.start();
        EXPECT_EQ(runEventLoop(), 0) << "the worker did not end";
        worker.wait();
        outcome.reports = recorder.reports();
        outcome.label = part<QLabel>(&window, "lab_run_file")->text().toStdString();
        return outcome;
    }

    // Destroyed before the fixture's tear-down: its last log line belongs in
    // the machine's log.
    std::unique_ptr<uninstall_velmar> owner = std::make_unique<uninstall_velmar>();
    uninstall_velmar &window = *owner;

    void TearDown() override {
        owner.reset();
        OnStandIn::TearDown();
    }
};

} // namespace

TEST_F(Worker, RemovesTheInstallationItsKeysAndItsShortcutsAndNothingElse) {
    // As an installer may have written it: doubled and trailing separators.
    RunUpdate worker(
        QString::fromStdString(machine.root() + "/Program Files (x86)//Orvane Client/"));
    const Outcome outcome = run(worker);

    EXPECT_EQ(outcome.result, true);
    EXPECT_FALSE(fs::exists(u8path(installation.velmar())));
    EXPECT_FALSE(installation.keyExists(appPathsKey));
    EXPECT_FALSE(installation.keyExists(uninstallKey));
    EXPECT_FALSE(fs::exists(u8path(installation.desktopLink())));
    EXPECT_FALSE(fs::exists(u8path(installation.startMenu() + "/Orvane")));
    EXPECT_FALSE(fs::exists(u8path(installation.startMenu() + "/Velmar")));
    // "Orvane" beside the installation folder is the batch files' business.
    EXPECT_EQ(readFile(u8path(installation.orvane() + "/Config/veconfig.ini")),
              "[Server]\nVersion=1.0.0\n");
    EXPECT_TRUE(installation.othersUntouched());
    EXPECT_TRUE(machine.logMessages().empty());

    std::vector<std::string> expected = {"ConfigPath.txt", "reseat", "qgif.dll",  "qwindows.dll",
                                         "Qt5Core.dll",    "update", "velmar.dll"};
    expected.insert(expected.end(), stepTexts.begin(), stepTexts.end());
    EXPECT_EQ(texts(outcome.reports), expected);
    // Seven entries in the first listing, seven files: ten points each.
    EXPECT_EQ(outcome.bar, (std::vector<int>{10, 20, 30, 40, 50, 60, 70, 80, 90, 100}));
    EXPECT_EQ(outcome.label, "文件已清除");
}

TEST_F(Worker, TheBarFollowsTheFirstListingAndWhatIsAlreadyGoneChangesNothing) {
    fs::remove_all(u8path(installation.velmar()));
    writeFile(u8path(installation.velmar() + "/a.dll"), "a");
    for (const char *name : {"f1", "f2", "f3", "f4", "f5", "f6"})
        writeFile(u8path(installation.velmar() + "/sub/" + name), name);
    fs::remove_all(u8path(installation.keyFolder(appPathsKey)));
    fs::remove_all(u8path(installation.keyFolder(uninstallKey)));
    fs::remove(u8path(installation.desktopLink()));

    RunUpdate worker(QString::fromStdString(installation.location()));
    const Outcome outcome = run(worker);

    // ".", "..", "a.dll", "sub": file k of 7 shows trunc(70 k / 4), at most 70.
    std::vector<Report> expected = {{4, 1, "a.dll"}, {4, 2, "f1"}, {4, 3, "f2"}, {4, 4, "f3"},
                                    {4, 5, "f4"},    {4, 6, "f5"}, {4, 7, "f6"}};
    for (const std::string &text : stepTexts)
        expected.push_back({100, 100, text});
    EXPECT_EQ(outcome.reports, expected);
    EXPECT_EQ(outcome.bar, (std::vector<int>{17, 35, 52, 70, 80, 90, 100}));
    // A shortcut that is not there is gone, as far as the uninstall goes.
    EXPECT_EQ(outcome.result, true);
    EXPECT_EQ(outcome.label, "文件已清除");
    // Named as the log always named it: the desktop as Qt gives it, then
    // "\Orvane.lnk".
    const std::string logged = installation.desktop() + "\\Orvane.lnk";
    EXPECT_EQ(machine.logMessages(),
              (std::vector<std::string>{"强制删除文件:" + logged, "删除文件" + logged + "成功"}));
    EXPECT_TRUE(installation.othersUntouched());
}

TEST_F(Worker, AMissingInstallationFolderStillReportsItsStepAndReportsScaleIntoTheStep) {
    fs::remove_all(u8path(installation.velmar()));
    RunUpdate worker(QString::fromStdString(installation.location()));
    const Outcome outcome = run(worker);
    ASSERT_FALSE(outcome.reports.empty());
    EXPECT_EQ(outcome.reports.front(), (Report{100, 100, "清理文件成功"}));
    EXPECT_EQ(outcome.bar.front(), 70);
    EXPECT_EQ(outcome.result, true);

    // The last step owns the points from 90 to 100.
    EXPECT_EQ(worker.barValue(0, 5), 90) << "nothing to scale by";
    EXPECT_EQ(worker.barValue(4, 1), 92);
    EXPECT_EQ(worker.barValue(3, 7), 100) << "beyond the scale";
}
