// The frameless-window helper's painting; its dragging is tested with each
// window that uses it.
#include "framelesswindow.h"

#include <QPainter>
#include <QPixmap>
#include <QWidget>

#include <gtest/gtest.h>

TEST(FramelessWindow, PaintsItsBackgroundAtNaturalSizeWithTheOutermostPixelsCutOff) {
    const QString image = QStringLiteral(":/Resources/closeTips/bg_msg.png");
    const QPixmap background(image);
    ASSERT_FALSE(background.isNull());
    QWidget plain;
    plain.resize(background.size() - QSize(2, 2));
    QWidget painted;
    painted.resize(plain.size());
    new FramelessWindow(&painted, image);

    // What the window shows without the helper, with the image drawn over it
    // one pixel up and to the left: both sides go the same way through a
    // pixmap.
    QPixmap expected = plain.grab();
    {
        QPainter painter(&expected);
        painter.drawPixmap(-1, -1, background);
    }
    EXPECT_EQ(painted.grab().toImage(), expected.toImage());

    // Without an image the window paints as it would on its own.
    QWidget unpainted;
    unpainted.resize(plain.size());
    new FramelessWindow(&unpainted);
    EXPECT_EQ(unpainted.grab().toImage(), plain.grab().toImage());
}
