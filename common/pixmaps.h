// The images of the resource bundles at the screen's pixel density.
#pragma once

#include <QPixmap>
#include <QString>

// The resource image at path, taken from its "@2x" twin when the device has
// more than one pixel per logical pixel and the bundle has one. The pixmap
// carries its pixel ratio, so it paints at the same logical size either way:
// on a 150 % or 200 % screen a drawn image stays sharp instead of being
// blown up from the 100 % pixels.
QPixmap resourcePixmap(const QString &path, qreal devicePixelRatio);
