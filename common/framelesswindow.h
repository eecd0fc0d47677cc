// What every frameless window of the programs needs and has no title bar
// for: the left button drags the window from anywhere on its surface (a
// press with another button starts nothing), and a painted window draws its
// background image one pixel larger than itself on every side, so that the
// image shows at its natural size with its outermost pixels cut off.
#pragma once

#include <QObject>
#include <QPoint>
#include <QString>

class QWidget;

class FramelessWindow : public QObject {
public:
    // Watches window and belongs to it. background names an image of the
    // resources, loaded for every paint; empty for a window that paints
    // itself (through its style sheet).
    explicit FramelessWindow(QWidget *window, const QString &background = QString());

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *const window;
    const QString background;
    bool dragging = false;
    QPoint dragOffset;
};
