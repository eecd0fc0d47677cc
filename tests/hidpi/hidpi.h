// What the high-DPI tests look at: a window's picture in device pixels, the
// text in it, and where it came from. The screen's factor comes from the
// test run (QT_SCALE_FACTOR); without it the run is the 100 % reference.
#pragma once

#include "testsupport.h"

#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>

#include <gtest/gtest.h>

#include <functional>

class QWidget;

namespace hidpi {

// A window's picture in device pixels, and where its logical rectangles lie
// in it.
class Shot {
public:
    explicit Shot(QWidget *window);
    // The window as it looks at 100 %, whatever the screen's factor.
    static Shot at100(QWidget *window);

    QRect device(const QRect &logical) const;
    // The bounding box, in device pixels, of the pixels within area that
    // are text of the kind isText tells.
    QRect inkIn(const QRect &area, const std::function<bool(QRgb)> &isText) const;

    qreal ratio = 1;
    QImage image;

private:
    Shot() = default;
};

bool darkText(QRgb pixel);
bool whiteText(QRgb pixel);
bool greenText(QRgb pixel);

// Text of a label, searched for within searched: some ink, inside the
// label, clear of the window's edge, and where it is at 100 % in logical
// pixels, so that the text has grown with its label and wraps and fits the
// same. (The label clips its text: one that outgrew it would have lost its
// edges.)
void expectTextAsAt100(QWidget *window, const Shot &shot, const QRect &label, const QRect &searched,
                       const std::function<bool(QRgb)> &isText, const char *what);

// The window's size in device pixels is its logical size times the factor:
// the window is scaled as a whole, not left at its 100 % pixels.
void expectScaledSize(const Shot &shot, QSize logical);

// Where the screen has twice the pixels, an area painted only from image
// must hold exactly its 2x twin's pixels; the window's origin lies at
// (offset, offset) of the image. Checked at 200 % only.
void expectSharpBackground(const Shot &shot, const QString &image, const QRect &area, int offset);

// The install log of the windows' destructors goes into the test's folder.
class HighDpi : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    testsupport::TempDir folder;
};

} // namespace hidpi
