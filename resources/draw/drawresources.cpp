// Draws every image of the programs' resource bundles and the program icon
// into the resources folder given as the only argument. The committed images
// are what the build uses; this runs only when the artwork changes:
//
//     cmake --build <build folder> --target draw-resources
//
// The output depends on nothing but this file, Qt and the Noto CJK fonts:
// texts are turned into unhinted outlines of a font loaded from its file, so
// the machine's font configuration cannot change a pixel.

#include <QBuffer>
#include <QByteArray>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QProcess>
#include <QStandardPaths>
#include <QVector>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>

namespace {

// One blue family around the progress bar's colours, the success green, and
// neutral greys for text and borders on light surfaces.
const QColor kBlue(60, 140, 220);       // progress chunk
const QColor kBlueTrack(210, 225, 240); // progress track
const QColor kBlueLight(88, 164, 236);
const QColor kBlueDark(34, 100, 174);
const QColor kBlueDeep(24, 78, 142);
const QColor kGreen(0x4d, 0xb1, 0x17);
const QColor kInk(0x2b, 0x3a, 0x4c);
const QColor kBorder(0xc3, 0xcd, 0xd8);

const char kFontFamily[] = "Noto Sans CJK SC";
const char *const kFontFiles[] = {
    "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc",
    "/usr/share/fonts/opentype/noto/NotoSansCJK-Bold.ttc",
};

// Pixels per logical pixel of the images being drawn: 1 for the images the
// programs name, 2 for their "@2x" twins, which high-DPI screens use. Every
// drawing below is in logical pixels; the canvas scales it.
int pixelRatio = 1;

QImage canvas(int width, int height) {
    QImage image(width * pixelRatio, height * pixelRatio, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(pixelRatio);
    image.fill(Qt::transparent);
    return image;
}

class Painter : public QPainter {
public:
    explicit Painter(QImage *image) : QPainter(image) {
        setRenderHint(QPainter::Antialiasing);
        setPen(Qt::NoPen);
    }
};

QColor withAlpha(QColor colour, int alpha) {
    colour.setAlpha(alpha);
    return colour;
}

QLinearGradient vertical(const QRectF &rect, const QColor &top, const QColor &bottom) {
    QLinearGradient gradient(rect.topLeft(), rect.bottomLeft());
    gradient.setColorAt(0, top);
    gradient.setColorAt(1, bottom);
    return gradient;
}

QPainterPath roundedRect(const QRectF &rect, qreal radius) {
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

// A text as an outline centred on its ink, so that a caption sits in the
// same place in every state of a button whatever its glyphs' side bearings.
QPainterPath textPath(const QString &text, int pixelSize, bool bold, QPointF centre,
                      qreal letterSpacing = 0) {
    QFont font(QString::fromLatin1(kFontFamily));
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    font.setHintingPreference(QFont::PreferNoHinting);
    font.setStyleStrategy(QFont::NoFontMerging);
    font.setLetterSpacing(QFont::AbsoluteSpacing, letterSpacing);
    QPainterPath path;
    path.addText(0, 0, font, text);
    path.translate(centre - path.boundingRect().center());
    return path;
}

// Cuts `layer` to `shape` with an anti-aliased edge.
void clipTo(QImage *layer, const QPainterPath &shape) {
    Painter painter(layer);
    painter.setCompositionMode(QPainter::CompositionMode_DestinationIn);
    painter.setBrush(Qt::black);
    painter.drawPath(shape);
}

// The soft edge of a window: a few pixels of shadow fading outwards, so the
// window stands off light and dark desktops alike.
void drawShadow(QPainter &painter, const QRectF &card, qreal radius, int width) {
    for (int i = width; i >= 1; --i) {
        painter.setBrush(QColor(8, 30, 60, 14 + 16 * (width - i)));
        painter.drawPath(roundedRect(card.adjusted(-i, -i, i, i), radius + i));
    }
}

// The window shell shared by the main window and the message box: a white
// card with rounded corners and a blue header band for the white title.
QImage windowShell(QSize size, int margin, qreal radius, int headerBottom) {
    const QRectF card(margin, margin, size.width() - 2 * margin, size.height() - 2 * margin);
    const QPainterPath shape = roundedRect(card, radius);

    QImage layer = canvas(size.width(), size.height());
    {
        Painter painter(&layer);
        painter.setBrush(vertical(card, QColor(255, 255, 255), QColor(0xf0, 0xf5, 0xfb)));
        painter.drawRect(card);

        const QRectF header(card.left(), card.top(), card.width(), headerBottom - card.top());
        QLinearGradient band(header.topLeft(), header.topRight());
        band.setColorAt(0, kBlueDark);
        band.setColorAt(1, kBlue);
        painter.setBrush(band);
        painter.drawRect(header);
        // A faint sheen on the upper half lifts the band off the body.
        const QRectF upper = header.adjusted(0, 0, 0, -header.height() / 2);
        painter.setBrush(vertical(upper, QColor(255, 255, 255, 30), QColor(255, 255, 255, 0)));
        painter.drawRect(upper);
        painter.setBrush(QColor(255, 255, 255, 60));
        painter.drawRect(QRectF(card.left(), card.top(), card.width(), 1));
        painter.setBrush(withAlpha(kBlueDeep, 90));
        painter.drawRect(QRectF(card.left(), headerBottom - 1, card.width(), 1));
    }
    clipTo(&layer, shape);

    QImage image = canvas(size.width(), size.height());
    Painter painter(&image);
    drawShadow(painter, card, radius, margin);
    painter.drawImage(0, 0, layer);
    // A hairline keeps the white body apart from a white desktop.
    painter.setPen(QPen(QColor(20, 60, 110, 70), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(roundedRect(card.adjusted(0.5, 0.5, -0.5, -0.5), radius - 0.5));
    return image;
}

struct MarkColours {
    QColor top;
    QColor bottom;
    QColor ring;
    QColor dot;
};

const MarkColours kMarkColours = {kBlueLight, kBlueDark, Qt::white, kGreen.lighter(125)};

// The product mark: an orbit drawn as an open "O" with a satellite in its
// gap, on a rounded blue tile.
void drawMark(QPainter &painter, const QRectF &tile, const MarkColours &colours) {
    const qreal s = tile.width();
    painter.setPen(Qt::NoPen);
    QLinearGradient fill(tile.topLeft(), tile.bottomRight());
    fill.setColorAt(0, colours.top);
    fill.setColorAt(1, colours.bottom);
    painter.setBrush(fill);
    painter.drawRoundedRect(tile, s * 0.22, s * 0.22);

    const QPointF centre = tile.center();
    const qreal radius = s * 0.26;
    painter.setPen(QPen(colours.ring, s * 0.13, Qt::SolidLine, Qt::RoundCap));
    painter.setBrush(Qt::NoBrush);
    painter.drawArc(QRectF(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius),
                    100 * 16, 280 * 16);

    painter.setPen(Qt::NoPen);
    painter.setBrush(colours.dot);
    const QPointF satellite = centre + QPointF(radius * 0.77, -radius * 0.77);
    painter.drawEllipse(satellite, s * 0.1, s * 0.1);
}

// A swell along the foot of the window: a curve from the left edge at
// height left to the right edge at height right, filled down to the foot.
void drawSwell(QPainter &layer, qreal left, QPointF first, QPointF second, qreal right, int alpha) {
    QPainterPath path;
    path.moveTo(3, left);
    path.cubicTo(first, second, QPointF(535, right));
    path.lineTo(535, 336);
    path.lineTo(3, 336);
    path.closeSubpath();
    layer.setBrush(withAlpha(kBlueTrack, alpha));
    layer.drawPath(path);
}

QImage mainBackground() {
    const QSize size(538, 339);
    QImage image = windowShell(size, 3, 8, 58);
    Painter painter(&image);

    // Two soft swells along the foot of the window, clear of the bar and the
    // label above them.
    QImage swell = canvas(size.width(), size.height());
    {
        Painter layer(&swell);
        drawSwell(layer, 318, {150, 290}, {330, 340}, 296, 90);
        drawSwell(layer, 326, {200, 336}, {360, 300}, 318, 130);
    }
    clipTo(&swell, roundedRect(QRectF(3.5, 3.5, 531, 332), 7.5));
    painter.drawImage(0, 0, swell);

    // Orbits in the header's right half echo the mark; the title keeps the
    // plain left part, the close button sits on the outer orbit.
    QImage orbits = canvas(size.width(), size.height());
    {
        Painter layer(&orbits);
        layer.setBrush(Qt::NoBrush);
        const QPointF centre(418, 24);
        layer.setPen(QPen(QColor(255, 255, 255, 34), 1.5));
        layer.drawEllipse(centre, 40, 40);
        layer.setPen(QPen(QColor(255, 255, 255, 24), 1.5));
        layer.drawEllipse(centre, 66, 66);
        layer.setPen(QPen(QColor(255, 255, 255, 14), 1.5));
        layer.drawEllipse(centre, 94, 94);
        layer.setPen(Qt::NoPen);
        layer.setBrush(QColor(255, 255, 255, 70));
        layer.drawEllipse(centre + QPointF(-40 * 0.94, 40 * 0.34), 3, 3);
        layer.setBrush(QColor(255, 255, 255, 45));
        layer.drawEllipse(centre + QPointF(66 * 0.5, 66 * 0.5), 2.5, 2.5);
    }
    clipTo(&orbits, roundedRect(QRectF(3, 4, 532, 53), 8));
    painter.drawImage(0, 0, orbits);

    // The mark and the name in the middle of the body.
    const QPainterPath name = textPath(QStringLiteral("Orvane"), 40, true, QPointF(0, 0), 0.5);
    const qreal markSize = 58;
    const qreal gap = 16;
    const qreal groupWidth = markSize + gap + name.boundingRect().width();
    const qreal left = (size.width() - groupWidth) / 2;
    const qreal middle = 136;
    const QRectF tile(left, middle - markSize / 2, markSize, markSize);
    for (int i = 3; i >= 1; --i) {
        painter.setBrush(withAlpha(kBlueDeep, 12));
        painter.drawRoundedRect(tile.adjusted(-i + 1, i, i - 1, i + 1), markSize * 0.22 + i,
                                markSize * 0.22 + i);
    }
    drawMark(painter, tile, kMarkColours);
    painter.setPen(Qt::NoPen);
    painter.setBrush(kInk);
    painter.drawPath(
        textPath(QStringLiteral("Orvane"), 40, true,
                 QPointF(left + markSize + gap + name.boundingRect().width() / 2, middle), 0.5));
    return image;
}

QImage messageBackground() {
    QImage image = windowShell(QSize(324, 164), 3, 6, 32);
    Painter painter(&image);
    // The footer that carries the log link and the buttons.
    const QRectF footer(3, 122, 318, 39);
    QImage layer = canvas(324, 164);
    {
        Painter footerPainter(&layer);
        footerPainter.setBrush(QColor(0xf2, 0xf6, 0xfa));
        footerPainter.drawRect(footer);
        footerPainter.setBrush(QColor(0xdf, 0xe6, 0xee));
        footerPainter.drawRect(QRectF(footer.left(), footer.top(), footer.width(), 1));
    }
    clipTo(&layer, roundedRect(QRectF(3.5, 3.5, 317, 157), 5.5));
    painter.drawImage(0, 0, layer);
    return image;
}

// A severity badge: a disc (or a rounded triangle) with a white symbol,
// slightly lit from above.
enum class Badge { Message, Warning, Error };

QImage badge(Badge kind, int width) {
    QImage image = canvas(width, 35);
    Painter painter(&image);
    const QPointF centre(width / 2.0, 17.5);
    const QRectF box(centre.x() - 15.5, centre.y() - 15.5, 31, 31);

    QColor light;
    QColor dark;
    QPainterPath shape;
    if (kind == Badge::Warning) {
        light = QColor(0xfb, 0xbf, 0x45);
        dark = QColor(0xec, 0x93, 0x12);
        // Rounded triangle: straight sides between arcs at the corners.
        const QPointF top(centre.x(), 4.5);
        const QPointF right(centre.x() + 14.5, 30);
        const QPointF left(centre.x() - 14.5, 30);
        QPainterPath triangle;
        triangle.moveTo(top);
        triangle.lineTo(right);
        triangle.lineTo(left);
        triangle.closeSubpath();
        QPainterPathStroker stroker;
        stroker.setWidth(5);
        stroker.setJoinStyle(Qt::RoundJoin);
        shape = triangle.united(stroker.createStroke(triangle)).simplified();
    } else {
        light = kind == Badge::Message ? kBlueLight : QColor(0xf2, 0x65, 0x5c);
        dark = kind == Badge::Message ? kBlueDark : QColor(0xd3, 0x38, 0x2f);
        shape.addEllipse(box);
    }
    const QRectF bounds = shape.boundingRect();
    painter.setBrush(withAlpha(dark, 50));
    painter.drawPath(shape.translated(0, 1));
    painter.setBrush(vertical(bounds, light, dark));
    painter.drawPath(shape);
    painter.setPen(QPen(withAlpha(dark.darker(115), 150), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(shape);

    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    if (kind == Badge::Message) {
        painter.drawEllipse(QPointF(centre.x(), 9.6), 2.3, 2.3);
        painter.drawRoundedRect(QRectF(centre.x() - 2, 14, 4, 13.5), 2, 2);
    } else if (kind == Badge::Warning) {
        painter.drawRoundedRect(QRectF(centre.x() - 2, 11.5, 4, 10.5), 2, 2);
        painter.drawEllipse(QPointF(centre.x(), 25.8), 2.2, 2.2);
    } else {
        painter.setPen(QPen(Qt::white, 3.6, Qt::SolidLine, Qt::RoundCap));
        const qreal arm = 6.6;
        painter.drawLine(centre + QPointF(-arm, -arm), centre + QPointF(arm, arm));
        painter.drawLine(centre + QPointF(arm, -arm), centre + QPointF(-arm, arm));
    }
    return image;
}

struct ButtonLook {
    QColor top;
    QColor bottom;
    QColor border;
    QColor text;
    QColor glow; // inner ring: the highlight of a raised face or the focus ring
};

QImage button(QSize size, qreal radius, const ButtonLook &look, const QString &caption) {
    QImage image = canvas(size.width(), size.height());
    Painter painter(&image);
    const QRectF face(0.5, 0.5, size.width() - 1, size.height() - 1);
    painter.setBrush(vertical(face, look.top, look.bottom));
    painter.setPen(QPen(look.border, 1));
    painter.drawRoundedRect(face, radius, radius);
    painter.setPen(QPen(look.glow, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(face.adjusted(1, 1, -1, -1), radius - 1, radius - 1);
    if (!caption.isEmpty()) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(look.text);
        painter.drawPath(textPath(caption, 13, false, face.center(), 2));
    }
    return image;
}

// The message box's buttons: confirm is the strong blue one, cancel the quiet
// one. "active" is both the pressed and the focused look, and the box gives
// confirm the focus whenever it opens, so it must read as ready, not as
// stuck down: a deeper blue with a light focus ring.
const ButtonLook kConfirmNormal = {QColor(0x4c, 0x9b, 0xe6), QColor(0x35, 0x83, 0xd3),
                                   QColor(0x2a, 0x74, 0xc2), Qt::white, QColor(255, 255, 255, 45)};
const ButtonLook kConfirmHover = {QColor(0x65, 0xad, 0xf0), QColor(0x47, 0x95, 0xe2),
                                  QColor(0x34, 0x82, 0xd0), Qt::white, QColor(255, 255, 255, 70)};
const ButtonLook kConfirmActive = {QColor(0x2c, 0x77, 0xc6), QColor(0x23, 0x67, 0xb3),
                                   QColor(0x1a, 0x52, 0x94), Qt::white, QColor(255, 255, 255, 110)};
const ButtonLook kCancelNormal = {Qt::white, QColor(0xf1, 0xf4, 0xf8), kBorder,
                                  QColor(0x4a, 0x55, 0x62), QColor(255, 255, 255, 160)};
const ButtonLook kCancelHover = {QColor(0xf6, 0xfa, 0xff), QColor(0xe4, 0xef, 0xfb), kBlue,
                                 QColor(0x2a, 0x74, 0xc2), QColor(255, 255, 255, 160)};
const ButtonLook kCancelActive = {QColor(0xe2, 0xe9, 0xf1), QColor(0xd6, 0xe0, 0xea),
                                  QColor(0x8f, 0xa3, 0xb8), QColor(0x33, 0x3d, 0x48),
                                  QColor(0, 0, 0, 0)};

// The uninstaller's exit button. The program writes "退出" on it in bold
// grey (#666666), so every state stays light.
const ButtonLook kExitNormal = {Qt::white, QColor(0xee, 0xf2, 0xf6), kBorder, Qt::transparent,
                                QColor(255, 255, 255, 160)};
const ButtonLook kExitHover = {QColor(0xf7, 0xfb, 0xff), QColor(0xe3, 0xee, 0xfa), kBlue,
                               Qt::transparent, QColor(255, 255, 255, 160)};
const ButtonLook kExitActive = {QColor(0xdf, 0xe7, 0xef), QColor(0xd5, 0xdf, 0xe9),
                                QColor(0x8f, 0xa3, 0xb8), Qt::transparent, QColor(0, 0, 0, 0)};

// The uninstaller's close button sits on the blue header: a white cross,
// on a light square when hovered and a dark one when pressed.
QImage closeButton(const QColor &plate, int crossAlpha) {
    QImage image = canvas(30, 30);
    Painter painter(&image);
    painter.setBrush(plate);
    painter.drawRoundedRect(QRectF(3, 3, 24, 24), 4, 4);
    painter.setPen(QPen(QColor(255, 255, 255, crossAlpha), 1.8, Qt::SolidLine, Qt::RoundCap));
    const qreal arm = 5;
    const QPointF centre(15, 15);
    painter.drawLine(centre + QPointF(-arm, -arm), centre + QPointF(arm, arm));
    painter.drawLine(centre + QPointF(arm, -arm), centre + QPointF(-arm, arm));
    return image;
}

QPainterPath checkStroke(const QPointF &origin, qreal scale) {
    QPainterPath tick;
    tick.moveTo(origin + QPointF(-0.55, 0.02) * scale);
    tick.lineTo(origin + QPointF(-0.15, 0.4) * scale);
    tick.lineTo(origin + QPointF(0.55, -0.38) * scale);
    return tick;
}

QImage checkBox(const QColor &fill, const QColor &border, bool ticked) {
    QImage image = canvas(14, 14);
    Painter painter(&image);
    painter.setBrush(fill);
    painter.setPen(QPen(border, 1));
    painter.drawRoundedRect(QRectF(0.5, 0.5, 13, 13), 2.5, 2.5);
    if (ticked) {
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(Qt::white, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPath(checkStroke(QPointF(7, 7), 7.5));
    }
    return image;
}

QImage successBadge() {
    QImage image = canvas(25, 25);
    Painter painter(&image);
    const QRectF disc(0.5, 0.5, 24, 24);
    painter.setBrush(vertical(disc, kGreen.lighter(112), kGreen.darker(108)));
    painter.drawEllipse(disc);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(Qt::white, 2.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(checkStroke(QPointF(12.5, 12.8), 11));
    return image;
}

// --- The program icon ------------------------------------------------------
//
// Windows keeps 16- and 256-colour images of an icon for low colour displays
// and older shells. Qt's ICO writer only writes true colour, so the icon file
// is written here: BMP images with a palette, an XOR (colour) part and an
// AND (transparency) mask, rows bottom-up and padded to four bytes.

using Palette = QVector<QRgb>;

// The standard 16 colours of the VGA palette, in Windows' order.
const Palette kVgaPalette = {
    qRgb(0, 0, 0),       qRgb(128, 0, 0),   qRgb(0, 128, 0),   qRgb(128, 128, 0),
    qRgb(0, 0, 128),     qRgb(128, 0, 128), qRgb(0, 128, 128), qRgb(192, 192, 192),
    qRgb(128, 128, 128), qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
    qRgb(0, 0, 255),     qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255),
};

// The 16-colour images are drawn straight in flat palette colours, since the
// brand blues have no close VGA neighbour and a gradient would split in two.
const MarkColours kVgaMarkColours = {QColor(0, 0, 255), QColor(0, 0, 255), Qt::white,
                                     QColor(0, 255, 0)};

QImage iconImage(int size, const MarkColours &colours) {
    QImage image = canvas(size, size);
    Painter painter(&image);
    drawMark(painter, QRectF(0, 0, size, size), colours);
    return image.convertToFormat(QImage::Format_ARGB32);
}

bool opaque(QRgb pixel) {
    return qAlpha(pixel) >= 128;
}

int nearest(const Palette &palette, QRgb colour) {
    int best = 0;
    int bestDistance = INT_MAX;
    for (int i = 0; i < palette.size(); ++i) {
        const int dr = qRed(colour) - qRed(palette[i]);
        const int dg = qGreen(colour) - qGreen(palette[i]);
        const int db = qBlue(colour) - qBlue(palette[i]);
        const int distance = 2 * dr * dr + 4 * dg * dg + 3 * db * db;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = i;
        }
    }
    return best;
}

// A 256-colour palette for one image by median cut over its opaque pixels.
// Entry 0 stays black: transparent pixels use it, so that the XOR part leaves
// the screen as the AND mask found it.
Palette medianCut(const QImage &image) {
    using Box = QVector<QRgb>;
    QVector<Box> boxes(1);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            if (opaque(pixel))
                boxes[0].append(qRgb(qRed(pixel), qGreen(pixel), qBlue(pixel)));
        }
    }
    const std::array<int (*)(QRgb), 3> channels = {qRed, qGreen, qBlue};
    auto range = [&](const Box &box, int channel) {
        const auto [low, high] = std::minmax_element(box.begin(), box.end(), [&](QRgb a, QRgb b) {
            return channels[channel](a) < channels[channel](b);
        });
        return channels[channel](*high) - channels[channel](*low);
    };
    while (boxes.size() < 255) {
        int widest = -1;
        int widestChannel = 0;
        int widestRange = 0;
        for (int i = 0; i < boxes.size(); ++i) {
            for (int c = 0; c < 3; ++c) {
                const int r = range(boxes[i], c);
                if (r > widestRange) {
                    widestRange = r;
                    widest = i;
                    widestChannel = c;
                }
            }
        }
        if (widest < 0)
            break;
        Box &box = boxes[widest];
        std::sort(box.begin(), box.end(), [&](QRgb a, QRgb b) {
            const int ca = channels[widestChannel](a);
            const int cb = channels[widestChannel](b);
            return ca != cb ? ca < cb : a < b;
        });
        const int half = box.size() / 2;
        boxes.append(box.mid(half));
        boxes[widest].resize(half);
    }
    Palette palette = {qRgb(0, 0, 0)};
    for (const Box &box : boxes) {
        if (box.isEmpty())
            continue;
        qint64 sum[3] = {0, 0, 0};
        for (QRgb colour : box) {
            for (int c = 0; c < 3; ++c)
                sum[c] += channels[c](colour);
        }
        const qint64 n = box.size();
        palette.append(
            qRgb(int((sum[0] + n / 2) / n), int((sum[1] + n / 2) / n), int((sum[2] + n / 2) / n)));
    }
    palette.resize(256);
    return palette;
}

struct IconEntry {
    int size;
    int bits;
    QByteArray bitmap;
};

IconEntry paletteBitmap(const QImage &image, const Palette &palette, int bits) {
    const int size = image.width();
    const int colourStride = (size * bits + 31) / 32 * 4;
    const int maskStride = (size + 31) / 32 * 4;
    QByteArray colourRows(colourStride * size, '\0');
    QByteArray maskRows(maskStride * size, '\0');
    char *colourBits = colourRows.data();
    char *maskBits = maskRows.data();
    for (int y = 0; y < size; ++y) {
        const int row = size - 1 - y;
        for (int x = 0; x < size; ++x) {
            const QRgb pixel = image.pixel(x, y);
            if (!opaque(pixel)) {
                maskBits[row * maskStride + x / 8] |= char(0x80 >> (x % 8));
                continue;
            }
            const int index = nearest(palette, pixel);
            const int bit = x * bits;
            colourBits[row * colourStride + bit / 8] |= char(index << (8 - bits - bit % 8));
        }
    }

    QByteArray bitmap;
    QDataStream out(&bitmap, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint32(40) << qint32(size) << qint32(2 * size) // colour part and mask
        << quint16(1) << quint16(bits) << quint32(0)       // planes, depth, uncompressed
        << quint32(colourRows.size() + maskRows.size()) << qint32(0) << qint32(0)
        << quint32(palette.size()) << quint32(0);
    for (QRgb colour : palette)
        out << quint8(qBlue(colour)) << quint8(qGreen(colour)) << quint8(qRed(colour)) << quint8(0);
    out.writeRawData(colourRows.constData(), colourRows.size());
    out.writeRawData(maskRows.constData(), maskRows.size());
    return {size, bits, bitmap};
}

// A true-colour image with its alpha channel, for today's shells at the
// larger sizes. The AND mask still marks the fully transparent pixels for
// shells that ignore the alpha channel.
IconEntry alphaBitmap(const QImage &image) {
    const int size = image.width();
    const int maskStride = (size + 31) / 32 * 4;
    QByteArray colourRows;
    QByteArray maskRows(maskStride * size, '\0');
    QDataStream rows(&colourRows, QIODevice::WriteOnly);
    rows.setByteOrder(QDataStream::LittleEndian);
    for (int row = 0; row < size; ++row) {
        const int y = size - 1 - row;
        for (int x = 0; x < size; ++x) {
            const QRgb pixel = image.pixel(x, y);
            rows << quint8(qBlue(pixel)) << quint8(qGreen(pixel)) << quint8(qRed(pixel))
                 << quint8(qAlpha(pixel));
            if (qAlpha(pixel) == 0)
                maskRows.data()[row * maskStride + x / 8] |= char(0x80 >> (x % 8));
        }
    }
    QByteArray bitmap;
    QDataStream out(&bitmap, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint32(40) << qint32(size) << qint32(2 * size) << quint16(1) << quint16(32)
        << quint32(0) << quint32(colourRows.size() + maskRows.size()) << qint32(0) << qint32(0)
        << quint32(0) << quint32(0);
    out.writeRawData(colourRows.constData(), colourRows.size());
    out.writeRawData(maskRows.constData(), maskRows.size());
    return {size, 32, bitmap};
}

// The 256-pixel image is kept as PNG inside the icon, as Windows' own icons
// keep theirs: as a bitmap it would weigh a quarter of a megabyte.
IconEntry pngEntry(const QImage &image) {
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    writer.setQuality(0);
    writer.write(image);
    return {image.width(), 32, data};
}

QByteArray iconFile(const QVector<IconEntry> &entries) {
    QByteArray file;
    QDataStream out(&file, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint16(0) << quint16(1) << quint16(entries.size());
    quint32 offset = 6 + 16 * entries.size();
    for (const IconEntry &entry : entries) {
        // A size of 256 is written as 0.
        out << quint8(entry.size) << quint8(entry.size)
            << quint8(entry.bits == 4 ? 16 : 0) // colour count; 0 stands for 256
            << quint8(0) << quint16(1) << quint16(entry.bits) << quint32(entry.bitmap.size())
            << offset;
        offset += entry.bitmap.size();
    }
    for (const IconEntry &entry : entries)
        out.writeRawData(entry.bitmap.constData(), entry.bitmap.size());
    return file;
}

QByteArray programIcon() {
    QVector<IconEntry> entries;
    // Today's shells take the true-colour images at every size; the
    // palette ones, whose rounded corners are jagged, stay for the old.
    for (int size : {16, 32}) {
        entries.append(paletteBitmap(iconImage(size, kVgaMarkColours), kVgaPalette, 4));
        const QImage full = iconImage(size, kMarkColours);
        entries.append(paletteBitmap(full, medianCut(full), 8));
        entries.append(alphaBitmap(full));
    }
    entries.append(alphaBitmap(iconImage(48, kMarkColours)));
    entries.append(pngEntry(iconImage(256, kMarkColours)));
    return iconFile(entries);
}

class Output {
public:
    explicit Output(const QString &folder)
        : root(folder), optipng(QStandardPaths::findExecutable(QStringLiteral("optipng"))) {}

    // Writes name, or its "@2x" twin when the image is drawn at twice the
    // density.
    void png(QString name, const QImage &image) {
        if (image.devicePixelRatio() == 2.0)
            name.insert(name.lastIndexOf(QLatin1Char('.')), QLatin1String("@2x"));
        if (!root.mkpath(QFileInfo(name).path())) {
            fail(name);
            return;
        }
        QImageWriter writer(root.filePath(name), "png");
        writer.setQuality(0); // strongest compression
        if (!writer.write(image.convertToFormat(QImage::Format_ARGB32))) {
            fail(name);
            return;
        }
        // optipng finds smaller encodings of the same pixels; without it the
        // files are only somewhat larger.
        if (!optipng.isEmpty() &&
            QProcess::execute(optipng, {QStringLiteral("-quiet"), QStringLiteral("-o7"),
                                        QStringLiteral("-strip"), QStringLiteral("all"),
                                        root.filePath(name)}) != 0)
            fail(name);
    }

    void file(const QString &name, const QByteArray &data) {
        QFile out(root.filePath(name));
        if (!out.open(QIODevice::WriteOnly) || out.write(data) != data.size())
            fail(name);
    }

    bool ok() const { return failures == 0; }

private:
    void fail(const QString &name) {
        std::fprintf(stderr, "drawresources: cannot write %s\n", qPrintable(root.filePath(name)));
        ++failures;
    }

    QDir root;
    QString optipng;
    int failures = 0;
};

bool loadFonts() {
    for (const char *file : kFontFiles) {
        const int id = QFontDatabase::addApplicationFont(QString::fromLatin1(file));
        if (!QFontDatabase::applicationFontFamilies(id).contains(QLatin1String(kFontFamily))) {
            std::fprintf(stderr,
                         "drawresources: %s with \"%s\" is needed (Debian: fonts-noto-cjk)\n", file,
                         kFontFamily);
            return false;
        }
    }
    return true;
}

void drawImages(Output &out) {
    out.png(QStringLiteral("main/main-bg.png"), mainBackground());

    out.png(QStringLiteral("closeTips/bg_msg.png"), messageBackground());
    out.png(QStringLiteral("closeTips/message.png"), badge(Badge::Message, 33));
    out.png(QStringLiteral("closeTips/warning.png"), badge(Badge::Warning, 34));
    out.png(QStringLiteral("closeTips/error.png"), badge(Badge::Error, 34));
    const QSize small(64, 26);
    const QString ok = QStringLiteral("确定");
    const QString cancel = QStringLiteral("取消");
    out.png(QStringLiteral("closeTips/confirm-normal.png"), button(small, 3, kConfirmNormal, ok));
    out.png(QStringLiteral("closeTips/confirm-hover.png"), button(small, 3, kConfirmHover, ok));
    out.png(QStringLiteral("closeTips/confirm-active.png"), button(small, 3, kConfirmActive, ok));
    out.png(QStringLiteral("closeTips/cancle-normal.png"), button(small, 3, kCancelNormal, cancel));
    out.png(QStringLiteral("closeTips/cancle-hover.png"), button(small, 3, kCancelHover, cancel));
    out.png(QStringLiteral("closeTips/cancle-active.png"), button(small, 3, kCancelActive, cancel));

    out.png(QStringLiteral("install/close-normal.png"), closeButton(Qt::transparent, 230));
    out.png(QStringLiteral("install/close-hover.png"), closeButton(QColor(255, 255, 255, 50), 255));
    out.png(QStringLiteral("install/close-active.png"),
            closeButton(withAlpha(kBlueDeep, 150), 220));
    out.png(QStringLiteral("install/check-normal.png"),
            checkBox(Qt::white, QColor(0xa9, 0xb6, 0xc4), false));
    out.png(QStringLiteral("install/check-hover.png"),
            checkBox(QColor(0xf2, 0xf8, 0xff), kBlue, false));
    out.png(QStringLiteral("install/check-active.png"),
            checkBox(kBlue, QColor(0x2a, 0x74, 0xc2), true));
    // The exit button's normal image is spelled "calcle" in the bundle.
    const QSize wide(80, 34);
    out.png(QStringLiteral("install/calcle-normal.png"), button(wide, 4, kExitNormal, QString()));
    out.png(QStringLiteral("install/cancle-hover.png"), button(wide, 4, kExitHover, QString()));
    out.png(QStringLiteral("install/cancle-active.png"), button(wide, 4, kExitActive, QString()));
    out.png(QStringLiteral("install/successed.png"), successBadge());
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: drawresources <resources folder>\n");
        return 2;
    }
    // Fonts need a GUI application, not a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (!loadFonts())
        return 1;

    Output out(QString::fromLocal8Bit(argv[1]));
    for (const int ratio : {1, 2}) {
        pixelRatio = ratio;
        drawImages(out);
    }
    pixelRatio = 1;
    out.file(QStringLiteral("velmar.ico"), programIcon());
    return out.ok() ? 0 : 1;
}
