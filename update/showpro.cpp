#include "showpro.h"

#include "msgbox.h"
#include "paths.h"
#include "platform.h"
#include "runupdate.h"
#include "ui_showpro.h"
#include "update_form.h"
#include "updatetransaction.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QTimer>

#include <cstdlib>

namespace {

const char backgroundImage[] = ":/Resources/main/main-bg.png";
const char progressStyle[] =
    "QProgressBar{border:none; background:rgb(210, 225, 240); border-radius:3px; "
    "text-align:center; }QProgressBar::chunk{ background:rgb(60, 140, 220); border-radius:3px; }";

} // namespace

ShowPro::ShowPro(QWidget *parent) : QDialog(parent), ui(new Ui::ShowPro), dragOffset(0, 0) {
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("升级"));
    dragging = false;
    const QPixmap background(QString::fromLatin1(backgroundImage));
    resize(background.width() - 2, background.height() - 2);
    setWindowFlags(Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground, true);
    ui->progressBar->setStyleSheet(QString::fromLatin1(progressStyle));
    ui->progressBar->setMaximum(100);
    ui->progressBar->setValue(0);
    ui->label_Pro->setText(QString());
    runOver = false;
    runResult = false;

    runUpdate = new RunUpdate(this);
    connect(runUpdate, SIGNAL(sigRunOver(bool)), this, SLOT(slotRunOver(bool)));

    runTimer = new QTimer();
    runTimer->setInterval(2000);
    runTimer->setSingleShot(true);
    connect(runTimer, SIGNAL(timeout()), this, SLOT(slotRun()));
    runTimer->start();

    closeTimer = new QTimer();
    closeTimer->setInterval(1500);
    connect(closeTimer, SIGNAL(timeout()), this, SLOT(slotClose()));
}

ShowPro::~ShowPro() {
    // The modal run may end before the outcome (the application was told to
    // quit): keep the window alive a while longer for the outcome to arrive.
    int passes = 0;
    while (!runOver && passes < 50) {
        ++passes;
        QElapsedTimer stopwatch;
        stopwatch.start();
        while (stopwatch.elapsed() < 1000)
            QCoreApplication::processEvents();
    }
    delete runTimer;
    delete closeTimer;
    if (passes == 50)
        std::exit(0); // the update thread hangs: give up without reseat

    // The outcome is out, but the thread still closes its log; a running
    // thread's object must not be deleted.
    runUpdate->wait();
    delete runUpdate;
    MsgBox::releaseInstance();
    if (runResult)
        handOverToReseat();
    delete ui;
}

void handOverToReseat() {
    const QString folder = applicationFolder() + separator() + QStringLiteral("exeinfo");
    platform::shellOpen(programFile(folder, QStringLiteral("reseat")).toStdString(),
                        folder.toStdString(), platform::ShowCommand::Show);
    // Until here a killed updater leaves reseat to its next start.
    UpdateTransaction::finish(update_form::journalFile(applicationFolder()));
}

void ShowPro::setPro(int allCount, int nowcount, QString sFile) {
    ui->progressBar->setMaximum(allCount);
    ui->progressBar->setValue(nowcount);
    ui->label_Pro->setText(sFile);
}

void ShowPro::slotRun() {
    setFocus(Qt::OtherFocusReason);
    runUpdate->start(QThread::InheritPriority);
}

void ShowPro::slotClose() {
    QCoreApplication::exit(0);
}

void ShowPro::slotRunOver(bool bAcc) {
    runResult = bAcc;
    runOver = true;
    closeTimer->start();
}

void ShowPro::accept() {
    if (!runOver)
        return;
    closeTimer->stop();
    disconnect(closeTimer, SIGNAL(timeout()), this, SLOT(slotClose()));
    QDialog::accept();
}

void ShowPro::reject() {
    if (!runOver)
        return;
    closeTimer->stop();
    disconnect(closeTimer, SIGNAL(timeout()), this, SLOT(slotClose()));
    QDialog::reject();
}

void ShowPro::mousePressEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton)
        dragging = true;
    dragOffset = event->globalPos() - pos();
}

void ShowPro::mouseReleaseEvent(QMouseEvent *) {
    dragging = false;
}

void ShowPro::mouseMoveEvent(QMouseEvent *event) {
    if (dragging)
        move(event->globalPos() - dragOffset);
}

void ShowPro::paintEvent(QPaintEvent *) {
    // One pixel larger than the window on every side: the image is drawn at
    // its natural size with its outermost pixels cut off.
    const QPixmap background(QString::fromLatin1(backgroundImage));
    QPainter painter(this);
    painter.drawPixmap(QRectF(-1.0, -1.0, width() + 2.0, height() + 2.0), background,
                       QRectF(background.rect()));
}
