// The updater's window: a progress bar and a line of text over the product
// background. It starts the update thread, follows its progress, closes
// itself after the outcome, and hands over to reseat after a success.
#pragma once

#include <QDialog>
#include <QPoint>
#include <QString>

class QTimer;
class RunUpdate;

namespace Ui {
class ShowPro;
}

class ShowPro : public QDialog {
    Q_OBJECT

public:
    explicit ShowPro(QWidget *parent = nullptr);
    ~ShowPro() override;

    void setPro(int allCount, int nowcount, QString sFile);

public slots:
    void slotRun();
    void slotClose();
    void slotRunOver(bool bAcc);

    // Escape and the close request do nothing until the outcome is known.
    void accept() override;
    void reject() override;

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    Ui::ShowPro *ui;
    QTimer *runTimer;
    QTimer *closeTimer;
    RunUpdate *runUpdate;
    bool runOver;
    bool runResult;
    bool dragging;
    QPoint dragOffset;
};

// Starts reseat from the "exeinfo" folder, which puts the new updater in
// place and starts the client; the update's journal is done with then.
void handOverToReseat();
