// The message box and the progress dialog on a high-DPI screen, as a person
// at 125, 150 or 200 % sees them: each scaled as a whole, every label's text
// inside that label and nothing cut off, and the background drawn from the
// image made for that density.
#include "hidpi.h"
#include "msgbox.h"
#include "showpro.h"

using namespace hidpi;

// The longest texts the box shows: a failed extraction names the folder
// that is in use, here one deep enough to fill the message's lines.
TEST_F(HighDpi, TheMessageBoxScalesWithItsLongestTexts) {
    MsgBox *box = MsgBox::getInstance();
    box->setInfo(QStringLiteral("解压异常"),
                 QStringLiteral("C:\\Program Files\\Orvane Client\\Orvane Client 2024\\"
                                "Orvane Client Data\\velmar") +
                     QStringLiteral(" 正在使用，无法执行更新操作， 详情请查看软件日志"),
                 MSG_ERROR, true, 0);
    box->show();
    const Shot shot(box);
    const QSize size(322, 162);
    expectScaledSize(shot, size);
    // The body between the header and the footer holds only the icon and
    // the text; the title is white on the header, the link green below.
    expectTextAsAt100(box, shot, QRect(78, 60, 222, 50), QRect(60, 33, 262, 88), darkText, "text");
    expectTextAsAt100(box, shot, QRect(0, 0, 272, 30), QRect(0, 0, 272, 30), whiteText, "title");
    expectTextAsAt100(box, shot, QRect(28, 136, 294, 26), QRect(3, 123, 160, 39), greenText,
                      "link");
    // The header right of the title: only the background is there.
    expectSharpBackground(shot, QStringLiteral(":/Resources/closeTips/bg_msg.png"),
                          QRect(150, 0, 172, 32), 1);
    box->hide();
}

TEST_F(HighDpi, TheProgressDialogScalesAsAWhole) {
    ShowPro dialog;
    dialog.setPro(100, 45, QStringLiteral("bin\\plugins\\platforms\\qwindows.dll"));
    dialog.show();
    const Shot shot(&dialog);
    expectScaledSize(shot, QSize(536, 337));
    expectTextAsAt100(&dialog, shot, QRect(40, 270, 461, 23), QRect(3, 250, 530, 60), darkText,
                      "label");
    expectSharpBackground(shot, QStringLiteral(":/Resources/main/main-bg.png"),
                          QRect(0, 0, 536, 200), 1);
    dialog.slotRunOver(false);
}
