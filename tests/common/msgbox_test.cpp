// The message box: its layout with the shipped images, the button swap, the
// answers exec() gives, dragging, and the log link.
#include "installlog.h"
#include "msgbox.h"
#include "platform.h"
#include "process.h"
#include "testsupport.h"

#include <QApplication>
#include <QFont>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

class MessageBox : public ::testing::Test {
protected:
    void SetUp() override { box = MsgBox::getInstance(); }
    void TearDown() override { MsgBox::releaseInstance(); }

    QPushButton *confirm() const { return box->findChild<QPushButton *>("pushButtonOne"); }
    QPushButton *cancel() const { return box->findChild<QPushButton *>("pushButtonTwo"); }
    QLabel *title() const { return box->findChild<QLabel *>("labelOne"); }
    // The unnamed labels, in creation order: icon, text, link.
    QLabel *unnamedLabel(int index) const {
        QList<QLabel *> unnamed;
        for (QLabel *label : box->findChildren<QLabel *>(QString(), Qt::FindDirectChildrenOnly))
            if (label->objectName().isEmpty())
                unnamed.append(label);
        return unnamed.value(index);
    }

    // Runs the box modally and does what a person would once it is up.
    int execAnd(const std::function<void()> &action) {
        QTimer::singleShot(0, box, action);
        return box->exec();
    }

    void press(Qt::MouseButton button, QPoint global) {
        QMouseEvent event(QEvent::MouseButtonPress, box->mapFromGlobal(global), global, button,
                          button, Qt::NoModifier);
        QApplication::sendEvent(box, &event);
    }
    void moveTo(QPoint global, Qt::MouseButtons held) {
        QMouseEvent event(QEvent::MouseMove, box->mapFromGlobal(global), global, Qt::NoButton, held,
                          Qt::NoModifier);
        QApplication::sendEvent(box, &event);
    }

    MsgBox *box = nullptr;
};

} // namespace

TEST_F(MessageBox, IsLaidOutOnItsBackgroundImage) {
    EXPECT_EQ(box->size(), QSize(322, 162)) << "the 324 x 164 image less one pixel each side";
    EXPECT_TRUE(box->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(box->testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_EQ(title()->geometry(), QRect(0, 0, 272, 30));
    EXPECT_EQ(unnamedLabel(0)->geometry(), QRect(20, 60, 34, 35));
    EXPECT_EQ(unnamedLabel(1)->geometry(), QRect(78, 60, 222, 50));
    EXPECT_EQ(unnamedLabel(2)->geometry(), QRect(28, 136, 322, 26)) << "ends at the box's edge";
    // The link's text is a link.
    QTextDocument link;
    link.setHtml(unnamedLabel(2)->text());
    EXPECT_EQ(link.toPlainText().trimmed(), QStringLiteral("查看日志"));
    EXPECT_TRUE(link.begin().begin().fragment().charFormat().isAnchor());
    EXPECT_EQ(cancel()->geometry(), QRect(248, 130, 64, 26));
    EXPECT_EQ(confirm()->geometry(), QRect(174, 130, 64, 26));
    EXPECT_TRUE(confirm()->text().isEmpty());
    EXPECT_EQ(confirm()->focusPolicy(), Qt::NoFocus);
}

TEST_F(MessageBox, ALoneConfirmButtonTakesTheRightHandPlace) {
    box->setInfo(QStringLiteral("更新异常"), QStringLiteral("相关程序正在运行"), MSG_ERROR, true,
                 0);
    EXPECT_EQ(title()->text(), QStringLiteral("       更新异常"));
    EXPECT_EQ(unnamedLabel(1)->text(), QStringLiteral("相关程序正在运行"));
    EXPECT_TRUE(cancel()->isHidden());
    EXPECT_EQ(confirm()->pos(), QPoint(248, 130));

    // Later boxes with both buttons keep the swapped places.
    box->setInfo(QStringLiteral("卸载提示"), QStringLiteral("是否确认关闭"), MSG_MESSAGE, false, 1);
    EXPECT_FALSE(cancel()->isHidden());
    EXPECT_EQ(cancel()->pos(), QPoint(174, 130));
    EXPECT_EQ(confirm()->pos(), QPoint(248, 130));
}

TEST_F(MessageBox, ALongPathGivesWayInItsMiddleSoThatTheMessageShows) {
    const QString sentence = QStringLiteral(" 正在使用，无法执行更新操作， 详情请查看软件日志");
    QString folder = QStringLiteral("C:\\Program Files");
    while (folder.size() < 280)
        folder += QStringLiteral("\\Orvane Client xxxxxxxxxx");
    folder += QStringLiteral("\\velmar");
    QLabel *text = unnamedLabel(1);
    // The size of Windows' own 9 points at 96 DPI, not a test platform's.
    QFont font = text->font();
    font.setPixelSize(12);
    text->setFont(font);
    for (const QString &root : {QStringLiteral("C:\\"), QStringLiteral("/")}) {
        const QString path = root + folder.mid(3);
        box->setInfo(QStringLiteral("解压失败"), path + sentence, MSG_ERROR, true, 0);
        const QString shown = text->text();
        EXPECT_TRUE(shown.startsWith(root) && shown.contains(QChar(0x2026)) &&
                    shown.endsWith(QStringLiteral("\\velmar") + sentence))
            << shown.toStdString();
        // Its lines hold it, unless the font is too large even for the path's
        // root and last folder alone.
        EXPECT_TRUE(text->heightForWidth(text->width()) <= text->height() ||
                    shown.startsWith(root + QChar(0x2026)))
            << shown.toStdString();
    }
    // A message that fits stays as it is.
    const QString shortText = QStringLiteral("C:\\Orvane\\velmar 正在使用");
    box->setInfo(QStringLiteral("解压失败"), shortText, MSG_ERROR, true, 0);
    EXPECT_EQ(text->text(), shortText);
}

TEST_F(MessageBox, ShowsTheIconOfTheGradeAndKeepsItForUnknownGrades) {
    box->setInfo(QStringLiteral("t"), QStringLiteral("i"), MSG_WARNING, true, 0);
    const QPixmap warning = unnamedLabel(0)->pixmap(Qt::ReturnByValue);
    ASSERT_FALSE(warning.isNull());
    EXPECT_EQ(warning.size(), QSize(34, 35));
    const QImage warningImage = warning.toImage();

    box->setInfo(QStringLiteral("t"), QStringLiteral("i"), MSG_MESSAGE, true, 0);
    EXPECT_EQ(unnamedLabel(0)->pixmap(Qt::ReturnByValue).size(), QSize(33, 35));
    box->setInfo(QStringLiteral("t"), QStringLiteral("i"), MSG_ERROR, true, 0);
    const QImage errorImage = unnamedLabel(0)->pixmap(Qt::ReturnByValue).toImage();
    EXPECT_NE(errorImage, warningImage);
    box->setInfo(QStringLiteral("t"), QStringLiteral("i"), static_cast<MSG_GRADE>(3), true, 0);
    EXPECT_EQ(unnamedLabel(0)->pixmap(Qt::ReturnByValue).toImage(), errorImage);
}

TEST_F(MessageBox, ExecTellsConfirmFromCancelAndEscape) {
    box->setInfo(QStringLiteral("t"), QStringLiteral("i"), MSG_MESSAGE, false, 0);
    EXPECT_EQ(execAnd([this] {
                  EXPECT_EQ(box->focusWidget(), confirm());
                  confirm()->click();
              }),
              QDialog::Accepted);
    EXPECT_EQ(execAnd([this] { cancel()->click(); }), QDialog::Rejected);
    box->setInfo(QStringLiteral("t"), QStringLiteral("i"), MSG_ERROR, true, 0);
    EXPECT_EQ(execAnd([this] {
                  QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
                  QApplication::sendEvent(box, &escape);
              }),
              QDialog::Rejected);
}

TEST_F(MessageBox, OnlyTheLeftButtonDragsIt) {
    box->move(100, 100);
    box->show();
    press(Qt::RightButton, QPoint(150, 110));
    moveTo(QPoint(250, 210), Qt::RightButton);
    EXPECT_EQ(box->pos(), QPoint(100, 100));

    press(Qt::LeftButton, QPoint(150, 110));
    moveTo(QPoint(180, 150), Qt::LeftButton);
    EXPECT_EQ(box->pos(), QPoint(130, 140));
    QMouseEvent release(QEvent::MouseButtonRelease, QPoint(), QPoint(180, 150), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(box, &release);
    moveTo(QPoint(300, 300), Qt::NoButton);
    EXPECT_EQ(box->pos(), QPoint(130, 140));
    box->hide();
}

TEST_F(MessageBox, IsSharedUntilReleased) {
    EXPECT_EQ(MsgBox::getInstance(), box);
    MsgBox::releaseInstance();
    MsgBox::releaseInstance();
    box = MsgBox::getInstance();
    EXPECT_NE(box, nullptr);
    EXPECT_FALSE(box->windowFlags() & Qt::WindowStaysOnTopHint);
    MsgBox::releaseInstance();
    MsgBox::setStaysOnTop(true);
    box = MsgBox::getInstance();
    EXPECT_TRUE(box->windowFlags() & Qt::WindowStaysOnTopHint);
    MsgBox::setStaysOnTop(false);
}

TEST_F(MessageBox, TheLinkOpensTheLogAndTheBoxStays) {
    if (platform::programSuffix[0])
        GTEST_SKIP() << "the stand-in's opener is checked here; Windows opens with its own";
    // A stand-in opener on the PATH records what the shell was asked to open.
    TempDir temp;
    const std::string opened = temp / "opened.txt";
    writeFile(u8path(temp / "bin/xdg-open"), "#!/bin/sh\nprintf '%s' \"$1\" > '" + opened + "'\n");
    fs::permissions(u8path(temp / "bin/xdg-open"), fs::perms::owner_all);
    const std::string oldPath = qEnvironmentVariable("PATH").toStdString();
    setEnv("PATH", (temp / "bin").c_str());
    const QString oldLink = logLinkPath();
    setLogLinkPath(QString::fromStdString(temp / "velmarinstall.txt"));
    writeFile(u8path(temp / "velmarinstall.txt"), "log");

    box->setInfo(QStringLiteral("t"), QStringLiteral("i"), MSG_ERROR, true, 0);
    bool stillOpen = false;
    EXPECT_EQ(execAnd([&] {
                  emit unnamedLabel(2)->linkActivated(QStringLiteral("https://ignored"));
                  stillOpen = box->isVisible();
                  confirm()->click();
              }),
              QDialog::Accepted);
    EXPECT_TRUE(stillOpen);
    EXPECT_TRUE(waitFor("the link to open the log",
                        [&] { return readFile(u8path(opened)) == temp / "velmarinstall.txt"; }));

    setEnv("PATH", oldPath.c_str());
    setLogLinkPath(oldLink);
}
