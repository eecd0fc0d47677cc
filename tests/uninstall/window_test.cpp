// The uninstall window on a stand-in machine, driven like a person would
// under the offscreen platform: its images, the states it goes through, the
// ways to close it, and the batch files it leaves behind.
#include "banners.h"
#include "msgbox.h"
#include "reports.h"
#include "uninstall/runupdate.h"
#include "uninstall_velmar.h"
#include "uninstalltest.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>

using namespace testsupport;
using namespace uninstalltest;

namespace {

class Window : public OnStandIn {
protected:
    void SetUp() override {
        OnStandIn::SetUp();
        window = std::make_unique<uninstall_velmar>();
    }
    void TearDown() override {
        if (window)
            endProgram(window);
        OnStandIn::TearDown();
    }

    template <typename Widget = QWidget> Widget *widget(const char *name) const {
        return part<Widget>(window.get(), name);
    }
    bool visible(const char *name) const { return widget(name)->isVisible(); }
    int bar() const { return widget<QProgressBar>("pro_run_show")->value(); }
    std::string label() const { return widget<QLabel>("lab_run_file")->text().toStdString(); }
    void click(const char *button) const { widget<QPushButton>(button)->click(); }

    std::unique_ptr<uninstall_velmar> window;
};

} // namespace

TEST_F(Window, IsAFramelessPanelOnImagesTheBundleHolds) {
    EXPECT_EQ(window->size(), QSize(536, 337)) << "the 538 x 339 image less one pixel each side";
    EXPECT_EQ(window->windowTitle(), QStringLiteral("安装"));
    EXPECT_EQ(window->windowFlags() & ~Qt::WindowType_Mask, Qt::FramelessWindowHint |
                                                                Qt::WindowMinimizeButtonHint |
                                                                Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window->testAttribute(Qt::WA_TranslucentBackground));

    // Every image the style sheets name is in the bundle, in its size: a
    // misspelt name shows nothing, and no error says so.
    const std::map<QString, QSize> sizes = {
        {"main/main-bg.png", {538, 339}},       {"install/successed.png", {25, 25}},
        {"install/close-normal.png", {30, 30}}, {"install/close-hover.png", {30, 30}},
        {"install/close-active.png", {30, 30}}, {"install/calcle-normal.png", {80, 34}},
        {"install/cancle-hover.png", {80, 34}}, {"install/cancle-active.png", {80, 34}},
    };
    QString styles = window->styleSheet();
    for (QWidget *child : window->findChildren<QWidget *>())
        styles += child->styleSheet();
    const QRegularExpression url(QStringLiteral(R"(url\(:/Resources/([^)]+)\))"));
    std::set<QString> named;
    for (auto match = url.globalMatch(styles); match.hasNext();)
        named.insert(match.next().captured(1));
    EXPECT_EQ(named.size(), sizes.size());
    for (const QString &image : named) {
        ASSERT_TRUE(sizes.count(image)) << image.toStdString();
        EXPECT_EQ(QImage(QStringLiteral(":/Resources/") + image).size(), sizes.at(image))
            << image.toStdString();
    }
}

TEST_F(Window, WithoutAnAbsoluteInstallLocationTheUserIsToldAndNothingStarts) {
    BoxAnswerer person;
    installation.removeInstallLocation();
    EXPECT_FALSE(window->initUninstall());
    // A relative location would name folders below the current folder.
    installation.setInstallLocation("Orvane Client");
    EXPECT_FALSE(window->initUninstall());
    endProgram(window);

    ASSERT_EQ(person.seen.size(), 2u);
    for (const SeenBox &box : person.seen) {
        EXPECT_EQ(box.title, "卸载异常");
        EXPECT_EQ(box.text, "未找到客户端程序");
        EXPECT_EQ(box.grade, 2);
        EXPECT_FALSE(box.cancelVisible);
        EXPECT_TRUE(box.focusOnConfirm);
    }
    EXPECT_EQ(machine.logMessages(),
              (std::vector<std::string>{"未找到客户端程序,注册表数据异常",
                                        "未找到客户端程序,注册表数据异常", banner::windowExit}));
    EXPECT_TRUE(installation.clientUntouched());
    EXPECT_FALSE(installation.batchFilesExist());
}

TEST_F(Window, ClosingDuringTheWaitCancelsTheUninstall) {
    BoxAnswerer person;
    ASSERT_TRUE(window->initUninstall());
    window->show();
    Steps steps;
    steps.add(
        "waiting", [&] { return window->isVisible(); },
        [&] {
            EXPECT_TRUE(visible("widget_run_pro"));
            EXPECT_FALSE(visible("widget_uninstall_success"));
            EXPECT_FALSE(visible("widget_ok_show"));
            EXPECT_EQ(bar(), 0);
            EXPECT_EQ(label(), "正在卸载中,请稍后...");
            click("ptn_close");
        });
    EXPECT_EQ(runEventLoop(), 0);
    EXPECT_EQ(steps.pending(), "none");
    endProgram(window);

    EXPECT_TRUE(person.seen.empty()) << "nothing runs yet: no question";
    EXPECT_TRUE(installation.clientUntouched());
    EXPECT_TRUE(fs::exists(u8path(installation.orvane())));
    EXPECT_FALSE(installation.batchFilesExist());
    EXPECT_EQ(machine.logMessages(), (std::vector<std::string>{banner::windowExit}));
}

TEST_F(Window, ARunGoesOnWhenTheUserCancelsTheCloseAndItsFoldersGoAfterTheProgramEnded) {
    // A location with a trailing separator and what cmd.exe would take for a
    // variable.
    const Installation percent(machine, "Program Files (x86)/Orvane %PATH% Client");
    percent.setInstallLocation(percent.location() + "/");
    // A Start-menu shortcut in use keeps the worker busy where the test holds it.
    Process holder = hold(percent.startMenu() + "/Velmar/Orvane.lnk");
    gate::close();

    BoxAnswerer person({"cancel"});
    ASSERT_TRUE(window->initUninstall());
    window->show();
    Steps steps;
    steps.add(
        "running", [] { return gate::reached(); },
        [&] {
            EXPECT_TRUE(visible("widget_run_pro"));
            EXPECT_EQ(bar(), 90);
            EXPECT_EQ(label(), "清理卸载表成功");
            click("ptn_close");
            ASSERT_EQ(person.seen.size(), 1u);
            EXPECT_EQ(person.seen[0].title, "卸载提示");
            EXPECT_EQ(person.seen[0].text, "相关卸载正在运行，是否确认关闭");
            EXPECT_EQ(person.seen[0].grade, 0);
            EXPECT_TRUE(person.seen[0].cancelVisible);
            EXPECT_TRUE(person.seen[0].focusOnConfirm);
            gate::open();
        });
    steps.add(
        "succeeded", [&] { return visible("widget_uninstall_success"); },
        [&] {
            EXPECT_FALSE(visible("widget_run_pro"));
            EXPECT_TRUE(visible("widget_ok_show"));
            EXPECT_TRUE(visible("ptn_uninstall_exit"));
            click("ptn_uninstall_exit");
        });
    EXPECT_EQ(runEventLoop(), 0);
    EXPECT_EQ(steps.pending(), "none");
    endProgram(window);

    // Both batch files wait three seconds first: they are still there. The
    // shell would expand the variable in a path it starts: they lie in the
    // temporary folder, and name the folders with "%" doubled.
    const std::string escaped = std::regex_replace(percent.location() + "/", std::regex("%"), "%%");
    std::string temporary;
    ASSERT_TRUE(platform::temporaryFolder(temporary));
    const std::string first = temporary + "/velmar_delete.bat";
    const std::string second = temporary + "/velmar_delete1.bat";
    EXPECT_EQ(readFile(u8path(first)), "ping -n 4 127.0.0.1>nul\n"
                                       "rd \"" +
                                           escaped +
                                           "/velmar\" /q /s\n"
                                           "del \"" +
                                           first + "\" /q /f\n");
    EXPECT_EQ(readFile(u8path(second)), "ping -n 4 127.0.0.1>nul\n"
                                        "rd \"" +
                                            escaped +
                                            "/Orvane\" /q /s\n"
                                            "del \"" +
                                            second + "\" /q /f\n");
    EXPECT_TRUE(fs::exists(u8path(percent.orvane() + "/Config/veconfig.ini")));

    // The command interpreter removes both folders and the batch files, and
    // nothing else.
    EXPECT_TRUE(waitFor("the batch files to remove both folders and themselves", [&] {
        return !fs::exists(u8path(percent.orvane())) && !fs::exists(u8path(first)) &&
               !fs::exists(u8path(second));
    }));
    EXPECT_FALSE(fs::exists(u8path(percent.velmar())));
    EXPECT_EQ(readFile(u8path(percent.location() + "/keep.txt")), "not the client's");
    EXPECT_TRUE(percent.othersUntouched());
    EXPECT_EQ(readFile(u8path(installation.velmar() + "/velmar.dll")), "velmar.dll")
        << "the installation of another location";
}

TEST_F(Window, AShortcutThatStaysInUseFailsTheRunAndTheWindowClosesByItself) {
    Process holder = hold(installation.desktopLink());
    BoxAnswerer person;
    ASSERT_TRUE(window->initUninstall());
    ReportRecorder reports(window->uninstallWorker());
    window->show();
    Steps steps;
    steps.add(
        "failed", [&] { return !person.seen.empty() && label() == "清理快捷方式成功"; },
        [&] {
            EXPECT_TRUE(visible("widget_run_pro"));
            EXPECT_EQ(bar(), 100);
            EXPECT_FALSE(visible("widget_uninstall_success"));
            EXPECT_FALSE(visible("widget_ok_show"));
        });
    // Nobody clicks: the window closes itself.
    EXPECT_EQ(runEventLoop(), 0);
    EXPECT_EQ(steps.pending(), "none");
    endProgram(window);

    ASSERT_EQ(person.seen.size(), 1u);
    EXPECT_EQ(person.seen[0].title, "卸载提示");
    EXPECT_EQ(person.seen[0].text, "清理快捷方式失败");
    EXPECT_EQ(person.seen[0].grade, 1);
    EXPECT_FALSE(person.seen[0].cancelVisible);
    EXPECT_TRUE(person.seen[0].focusOnConfirm);
    const std::vector<std::string> texts = reports.texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "清理快捷方式成功");
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "文件已清除"), 0);
    EXPECT_EQ(readFile(u8path(installation.desktopLink())), "shortcut");
    // The worker ran to its end: the folders go all the same.
    EXPECT_TRUE(fs::exists(u8path(installation.batch("velmar_delete.bat"))));
    EXPECT_TRUE(fs::exists(u8path(installation.batch("velmar_delete1.bat"))));
}

TEST_F(Window, AWarningThatComesWhileTheCloseQuestionIsOpenFollowsItsAnswer) {
    // The desktop shortcut stays in use: the worker asks for a warning. It
    // waits at the shortcut's forced deletion until the question is up.
    Process holder = hold(installation.desktopLink());
    gate::close();
    ASSERT_TRUE(window->initUninstall());
    window->show();
    MsgBox *box = MsgBox::getInstance();
    std::vector<std::string> seen;
    auto answer = [&](const char *button) {
        // The unnamed labels, in creation order: icon, text, link.
        QList<QLabel *> unnamed;
        for (QLabel *label : box->findChildren<QLabel *>(QString(), Qt::FindDirectChildrenOnly))
            if (label->objectName().isEmpty())
                unnamed.append(label);
        ASSERT_EQ(unnamed.size(), 3);
        seen.push_back(unnamed[1]->text().toStdString());
        box->findChild<QPushButton *>(QString::fromLatin1(button))->click();
    };
    Steps steps;
    // The question runs outside the steps' own timer, which does not fire
    // again while one of its steps is still under way.
    steps.add(
        "running", [] { return gate::reached(); },
        [&] { QTimer::singleShot(0, window.get(), [&] { click("ptn_close"); }); });
    steps.add(
        "asked", [&] { return box->isVisible(); },
        [&] {
            gate::open();
            // Let the worker's request come in while the question is open.
            const RunUpdate *worker = window->uninstallWorker();
            while (!worker->isFinished())
                QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QCoreApplication::processEvents();
            answer("pushButtonTwo"); // go on with the uninstall
        });
    steps.add(
        "warned", [&] { return seen.size() == 1 && box->isVisible(); },
        [&] { answer("pushButtonOne"); });
    EXPECT_EQ(runEventLoop(), 0) << steps.pending();
    EXPECT_EQ(steps.pending(), "none");
    endProgram(window);

    // The question kept its text until it was answered, then the warning
    // had the box to itself.
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], "相关卸载正在运行，是否确认关闭");
    EXPECT_EQ(seen[1], "清理快捷方式失败");
    EXPECT_TRUE(fs::exists(u8path(installation.batch("velmar_delete.bat"))));
}

TEST_F(Window, ConfirmingTheCloseWhileRunningEndsTheProcessAtOnce) {
    Process holder = hold(installation.startMenu() + "/Velmar/Orvane.lnk");
    gate::close();
    // The child must work on this test's machine: a fork, not a new run.
    // Qt's idle pooled threads would not come along, though the pool would
    // count on them: they end first.
    GTEST_FLAG_SET(death_test_style, "fast");
    QThreadPool::globalInstance()->waitForDone();
    EXPECT_EXIT(
        {
            BoxAnswerer person({"confirm"});
            window->initUninstall();
            window->show();
            Steps steps;
            steps.add(
                "running", [] { return gate::reached(); }, [&] { click("ptn_close"); });
            runEventLoop();
            window->finish();
        },
        ::testing::ExitedWithCode(0), "");

    EXPECT_FALSE(installation.batchFilesExist());
    const std::string busy = installation.startMenu() + "/Velmar/Orvane.lnk";
    EXPECT_EQ(machine.logMessages(),
              (std::vector<std::string>{"强制删除文件:" + busy, banner::windowExit}));
    // What the worker had removed stays removed, the rest stays.
    EXPECT_FALSE(fs::exists(u8path(installation.velmar())));
    EXPECT_FALSE(installation.keyExists(appPathsKey));
    EXPECT_TRUE(fs::exists(u8path(busy)));
    EXPECT_EQ(readFile(u8path(installation.orvane() + "/Config/veconfig.ini")),
              "[Server]\nVersion=1.0.0\n");
    EXPECT_TRUE(installation.othersUntouched());
}
