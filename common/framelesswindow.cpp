#include "framelesswindow.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QWidget>

FramelessWindow::FramelessWindow(QWidget *window, const QString &background)
    : QObject(window), window(window), background(background) {
    window->installEventFilter(this);
}

bool FramelessWindow::eventFilter(QObject *watched, QEvent *event) {
    if (watched != window)
        return false;
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        const auto *press = static_cast<QMouseEvent *>(event);
        if (press->button() == Qt::LeftButton)
            dragging = true;
        dragOffset = press->globalPos() - window->pos();
        return true;
    }
    case QEvent::MouseMove:
        if (dragging)
            window->move(static_cast<QMouseEvent *>(event)->globalPos() - dragOffset);
        return true;
    case QEvent::MouseButtonRelease:
        dragging = false;
        return true;
    case QEvent::Paint:
        if (!background.isEmpty()) {
            const QPixmap image(background);
            QPainter painter(window);
            painter.drawPixmap(QRectF(-1.0, -1.0, window->width() + 2.0, window->height() + 2.0),
                               image, QRectF(image.rect()));
        }
        return false;
    default:
        return false;
    }
}
