// The uninstall window on a high-DPI screen, and the images for it: every
// drawn image has its twin for twice the density.
#include "hidpi.h"
#include "uninstall_velmar.h"

#include <QDirIterator>
#include <QImage>

#include <memory>

using namespace hidpi;

// Every drawn image has a twin of twice its size in the bundle.
TEST(Resources, EveryImageHasATwinOfTwiceItsSize) {
    int images = 0;
    QDirIterator it(QStringLiteral(":/Resources"), QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!path.endsWith(QLatin1String(".png")) || path.endsWith(QLatin1String("@2x.png")))
            continue;
        ++images;
        const QImage image(path);
        const QImage twin(path.left(path.size() - 4) + QStringLiteral("@2x.png"));
        EXPECT_FALSE(twin.isNull()) << path.toStdString() << " has no 2x twin";
        EXPECT_EQ(twin.size(), image.size() * 2) << path.toStdString();
    }
    EXPECT_EQ(images, 21) << "the uninstaller's bundle holds every image";
}

TEST_F(HighDpi, TheUninstallWindowScalesAsAWhole) {
    auto window = std::make_unique<uninstall_velmar>();
    window->show();
    const Shot running(window.get());
    expectScaledSize(running, QSize(536, 337));
    expectTextAsAt100(window.get(), running, QRect(29, 21, 201, 16), QRect(3, 3, 300, 50),
                      whiteText, "title");

    // The success panel: its green text and the exit button's caption.
    window->slotRunOver(true);
    const Shot succeeded(window.get());
    // The label reaches past its panel, which cuts it at x 510.
    const QRect tip(32 + 50, 208 + 5, 478 - 50, 40);
    expectTextAsAt100(window.get(), succeeded, tip, QRect(80, 200, 450, 60), greenText,
                      "success text");
    const QRect exit(32 + 361, 208 + 60, 80, 34);
    expectTextAsAt100(window.get(), succeeded, exit, exit.adjusted(-8, -8, 8, 8), darkText,
                      "exit button");
    expectSharpBackground(succeeded, QStringLiteral(":/Resources/main/main-bg.png"),
                          QRect(240, 0, 200, 20), 0);
    window.reset();
}
