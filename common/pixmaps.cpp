#include "pixmaps.h"

QPixmap resourcePixmap(const QString &path, qreal devicePixelRatio) {
    if (devicePixelRatio > 1.0) {
        const int dot = path.lastIndexOf(QLatin1Char('.'));
        QString twice = path;
        twice.insert(dot < 0 ? path.size() : dot, QLatin1String("@2x"));
        QPixmap pixmap;
        if (pixmap.load(twice)) {
            pixmap.setDevicePixelRatio(2.0);
            return pixmap;
        }
    }
    return QPixmap(path);
}
