#include "hidpi.h"

#include "installlog.h"
#include "msgbox.h"
#include "startup.h"

#include <QApplication>
#include <QPixmap>
#include <QWidget>

#include <cmath>

namespace hidpi {

Shot::Shot(QWidget *window) {
    const QPixmap pixmap = window->grab();
    ratio = pixmap.devicePixelRatioF();
    image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

Shot Shot::at100(QWidget *window) {
    Shot shot;
    shot.image = QImage(window->size(), QImage::Format_ARGB32_Premultiplied);
    shot.image.fill(Qt::transparent);
    window->render(&shot.image);
    return shot;
}

QRect Shot::device(const QRect &logical) const {
    return QRectF(logical.x() * ratio, logical.y() * ratio, logical.width() * ratio,
                  logical.height() * ratio)
        .toAlignedRect()
        .intersected(image.rect());
}

QRect Shot::inkIn(const QRect &area, const std::function<bool(QRgb)> &isText) const {
    QRect ink;
    const QRect box = device(area);
    for (int y = box.top(); y <= box.bottom(); ++y) {
        for (int x = box.left(); x <= box.right(); ++x) {
            if (isText(image.pixel(x, y)))
                ink |= QRect(x, y, 1, 1);
        }
    }
    return ink;
}

bool darkText(QRgb pixel) {
    return qAlpha(pixel) == 255 && qGray(pixel) < 110;
}

bool whiteText(QRgb pixel) {
    return qRed(pixel) > 225 && qGreen(pixel) > 225 && qBlue(pixel) > 225;
}

bool greenText(QRgb pixel) {
    return qGreen(pixel) > qRed(pixel) + 40 && qGreen(pixel) > qBlue(pixel) + 20;
}

void expectTextAsAt100(QWidget *window, const Shot &shot, const QRect &label, const QRect &searched,
                       const std::function<bool(QRgb)> &isText, const char *what) {
    const QRect ink = shot.inkIn(searched, isText);
    ASSERT_FALSE(ink.isEmpty()) << what << ": no text at all at " << shot.ratio * 100 << " %";
    EXPECT_TRUE(shot.device(label).contains(ink))
        << what << ": text outside its label at " << shot.ratio * 100 << " %";
    // Ink in the window's last row or column is a text its edge cuts.
    EXPECT_TRUE(ink.bottom() < shot.image.height() - 1 && ink.right() < shot.image.width() - 1)
        << what << ": cut by the window's edge at " << shot.ratio * 100 << " %";
    const QRect reference = Shot::at100(window).inkIn(searched, isText);
    ASSERT_FALSE(reference.isEmpty()) << what << ": no text at all at 100 %";
    // One logical pixel for the ink's own edge, one device pixel for the
    // rounding of the rectangle.
    const qreal tolerance = 1.0 + 1.0 / shot.ratio;
    const QRectF seen(ink.x() / shot.ratio, ink.y() / shot.ratio, ink.width() / shot.ratio,
                      ink.height() / shot.ratio);
    EXPECT_NEAR(seen.left(), reference.x(), tolerance) << what;
    EXPECT_NEAR(seen.top(), reference.y(), tolerance) << what;
    EXPECT_NEAR(seen.right(), reference.x() + reference.width(), tolerance) << what;
    EXPECT_NEAR(seen.bottom(), reference.y() + reference.height(), tolerance) << what;
}

void expectScaledSize(const Shot &shot, QSize logical) {
    const qreal factor = qApp->devicePixelRatio();
    EXPECT_NEAR(shot.ratio, factor, 1e-4);
    EXPECT_NEAR(shot.image.width(), logical.width() * factor, 1.0);
    EXPECT_NEAR(shot.image.height(), logical.height() * factor, 1.0);
}

void expectSharpBackground(const Shot &shot, const QString &image, const QRect &area, int offset) {
    if (std::abs(shot.ratio - 2.0) > 1e-4)
        return;
    QImage twin(image.left(image.size() - 4) + QStringLiteral("@2x.png"));
    ASSERT_FALSE(twin.isNull()) << image.toStdString() << " has no 2x twin";
    twin = twin.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QRect box = shot.device(area);
    int differing = 0;
    for (int y = box.top(); y <= box.bottom(); ++y) {
        for (int x = box.left(); x <= box.right(); ++x) {
            const QRgb seen = shot.image.pixel(x, y);
            const QRgb drawn = twin.pixel(x + 2 * offset, y + 2 * offset);
            if (std::abs(qRed(seen) - qRed(drawn)) > 2 ||
                std::abs(qGreen(seen) - qGreen(drawn)) > 2 ||
                std::abs(qBlue(seen) - qBlue(drawn)) > 2 ||
                std::abs(qAlpha(seen) - qAlpha(drawn)) > 2)
                ++differing;
        }
    }
    EXPECT_EQ(differing, 0) << "the background is not drawn from " << image.toStdString()
                            << "'s 2x twin";
}

void HighDpi::SetUp() {
    setLogFilePath(QString::fromStdString(folder / "velmarinstall.txt"));
}

void HighDpi::TearDown() {
    MsgBox::releaseInstance();
}

} // namespace hidpi

// The programs' own start-up settings, before the application object.
int main(int argc, char **argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    enableHighDpiScaling();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
