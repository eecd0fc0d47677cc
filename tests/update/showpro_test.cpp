// The progress dialog as the user meets it: its first state, and which ways
// of closing it work before and after the update's outcome.
#include "showpro.h"

#include <QApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QThreadPool>
#include <QTimer>

#include <cstdlib>

#include <gtest/gtest.h>

namespace {

void pressEscape(QWidget *widget) {
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(widget, &escape);
}

// Runs the event loop for ms; false when something ended it earlier.
bool eventLoopRunsFor(int ms) {
    QEventLoop loop;
    bool ranOut = false;
    QTimer::singleShot(ms, &loop, [&] {
        ranOut = true;
        loop.quit();
    });
    loop.exec();
    return ranOut;
}

// A dialog whose update thread is never started: the tests act before its
// 2000 ms start timer, and report an outcome so that it can be destroyed.
class ProgressDialog : public ::testing::Test {
protected:
    void TearDown() override {
        if (dialog.isVisible())
            dialog.slotRunOver(false);
    }

    QProgressBar *bar() const { return dialog.findChild<QProgressBar *>("progressBar"); }
    QLabel *label() const { return dialog.findChild<QLabel *>("label_Pro"); }

    ShowPro dialog;
};

} // namespace

TEST_F(ProgressDialog, FirstShowsAnEmptyLabelAndAnEmptyBar) {
    dialog.show();
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("升级"));
    EXPECT_EQ(dialog.size(), QSize(536, 337)) << "the 538 x 339 background less one pixel a side";
    EXPECT_EQ(dialog.windowFlags() & ~Qt::WindowType_Mask, Qt::FramelessWindowHint);
    EXPECT_TRUE(dialog.testAttribute(Qt::WA_TranslucentBackground));
    ASSERT_NE(bar(), nullptr);
    ASSERT_NE(label(), nullptr);
    EXPECT_EQ(bar()->geometry(), QRect(40, 220, 461, 23));
    EXPECT_EQ(bar()->value(), 0);
    EXPECT_EQ(bar()->maximum(), 100);
    EXPECT_EQ(label()->geometry(), QRect(40, 270, 461, 23));
    EXPECT_TRUE(label()->text().isEmpty());
    EXPECT_EQ(label()->alignment(), Qt::AlignCenter);

    dialog.setPro(100, 45, QStringLiteral("bin/app.dll"));
    EXPECT_EQ(bar()->value(), 45);
    EXPECT_EQ(label()->text(), QStringLiteral("bin/app.dll"));
    dialog.slotRunOver(false);
}

// Reports come faster than the window draws them; the last one is what it
// shows once the outcome is known.
TEST_F(ProgressDialog, ShowsTheLastReportOnceTheOutcomeIsKnown) {
    dialog.show();
    for (int entry = 0; entry < 2000; ++entry)
        dialog.setPro(100, 5 + entry * 80 / 2000, QStringLiteral("file%1").arg(entry));
    dialog.setPro(100, 100, QStringLiteral("清理数据"));
    dialog.slotRunOver(true);
    EXPECT_EQ(bar()->value(), 100);
    EXPECT_EQ(label()->text(), QStringLiteral("清理数据"));
}

TEST_F(ProgressDialog, CannotBeClosedWhileTheUpdateRuns) {
    dialog.show();
    pressEscape(&dialog);
    EXPECT_TRUE(dialog.isVisible());
    dialog.close();
    EXPECT_TRUE(dialog.isVisible());
    dialog.reject();
    dialog.accept();
    EXPECT_TRUE(dialog.isVisible());
}

TEST_F(ProgressDialog, ClosesAtOnceOnEscapeOnceTheOutcomeIsKnown) {
    dialog.show();
    dialog.slotRunOver(true);
    pressEscape(&dialog);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    // The closing timer (1500 ms) was stopped with it: nothing ends the
    // program later. (The loop ends before the 2000 ms start timer.)
    EXPECT_TRUE(eventLoopRunsFor(1800));
}

TEST_F(ProgressDialog, TheCloseRequestWorksOnceTheOutcomeIsKnown) {
    dialog.show();
    dialog.slotRunOver(false);
    dialog.close();
    EXPECT_FALSE(dialog.isVisible());
}

TEST_F(ProgressDialog, ClosesItselfAfterTheOutcome) {
    QTimer::singleShot(0, &dialog, [this] { dialog.slotRunOver(false); });
    dialog.exec();
    // Ended by its closing timer, which leaves the modal run without
    // accepting or rejecting: the window is still there for its tear-down.
    EXPECT_TRUE(dialog.isVisible());
}

TEST_F(ProgressDialog, TheLeftButtonDragsItAnywhere) {
    dialog.move(50, 60);
    dialog.show();
    auto send = [this](QEvent::Type type, Qt::MouseButton button, QPoint global,
                       Qt::MouseButtons held) {
        QMouseEvent event(type, dialog.mapFromGlobal(global), global, button, held, Qt::NoModifier);
        QApplication::sendEvent(&dialog, &event);
    };
    send(QEvent::MouseButtonPress, Qt::RightButton, QPoint(100, 100), Qt::RightButton);
    send(QEvent::MouseMove, Qt::NoButton, QPoint(200, 200), Qt::RightButton);
    EXPECT_EQ(dialog.pos(), QPoint(50, 60));
    send(QEvent::MouseButtonRelease, Qt::RightButton, QPoint(200, 200), Qt::NoButton);

    send(QEvent::MouseButtonPress, Qt::LeftButton, QPoint(100, 100), Qt::LeftButton);
    send(QEvent::MouseMove, Qt::NoButton, QPoint(130, 90), Qt::LeftButton);
    EXPECT_EQ(dialog.pos(), QPoint(80, 50));
    send(QEvent::MouseButtonRelease, Qt::LeftButton, QPoint(130, 90), Qt::NoButton);
    send(QEvent::MouseMove, Qt::NoButton, QPoint(300, 300), Qt::NoButton);
    EXPECT_EQ(dialog.pos(), QPoint(80, 50));
}

TEST(ProgressDialogEnd, WithoutAnOutcomeTheProcessEndsAtOnceAndTearsNothingDown) {
    // The child runs in this test's process image: a fork. Qt's idle pooled
    // threads would not come along, though the pool would count on them.
    GTEST_FLAG_SET(death_test_style, "fast");
    QThreadPool::globalInstance()->waitForDone();
    EXPECT_EXIT(
        {
            // An update thread that hangs may still use what exit handlers
            // and static destructors tear down: none of them may run.
            std::atexit([] { std::_Exit(3); });
            ShowPro dialog;
            dialog.finish(1);
            std::_Exit(4);
        },
        ::testing::ExitedWithCode(0), "");
}
