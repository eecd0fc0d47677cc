#include "showpro.h"

#include "framelesswindow.h"
#include "ui_showpro.h"
#include "update/runupdate.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QTimer>

#include <cstdlib>

namespace {

const char backgroundImage[] = ":/Resources/main/main-bg.png";
const char progressStyle[] =
    "QProgressBar{border:none; background:rgb(210, 225, 240); border-radius:3px; "
    "text-align:center; }QProgressBar::chunk{ background:rgb(60, 140, 220); border-radius:3px; }";

} // namespace

ShowPro::ShowPro(QWidget *parent) : QDialog(parent), ui(new Ui::ShowPro) {
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("升级"));
    new FramelessWindow(this, QString::fromLatin1(backgroundImage));
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

    // Parented: the window owns its thread and timers. finish() makes sure
    // the thread has ended before the window goes.
    runUpdate = new RunUpdate(this);
    connect(runUpdate, &RunUpdate::sigRunOver, this, &ShowPro::slotRunOver);
    // The thread waits until the bar shows its report, or until the user has
    // closed the box it asked for.
    connect(runUpdate, &RunUpdate::sigPro, this, &ShowPro::setPro, Qt::BlockingQueuedConnection);
    connect(runUpdate, &RunUpdate::setInfo, this, &ShowPro::slotSetInfo,
            Qt::BlockingQueuedConnection);

    runTimer = new QTimer(this);
    runTimer->setInterval(2000);
    runTimer->setSingleShot(true);
    connect(runTimer, &QTimer::timeout, this, &ShowPro::slotRun);
    runTimer->start();

    closeTimer = new QTimer(this);
    closeTimer->setInterval(1500);
    connect(closeTimer, &QTimer::timeout, this, &ShowPro::slotClose);

    progressTimer = new QTimer(this);
    progressTimer->setSingleShot(true);
    connect(progressTimer, &QTimer::timeout, this, &ShowPro::showProgress);
}

// Here, where Ui::ShowPro is whole, for ui's deleter.
ShowPro::~ShowPro() = default;

void ShowPro::finish(int passes) {
    // The modal run may end before the outcome (the application was told to
    // quit): keep the window alive a while longer for the outcome to arrive.
    for (int pass = 0; !runOver && pass < passes; ++pass) {
        QElapsedTimer stopwatch;
        stopwatch.start();
        while (stopwatch.elapsed() < 1000)
            QCoreApplication::processEvents();
    }
    runTimer->stop();
    closeTimer->stop();
    if (!runOver) {
        // The update thread hangs, and may still be writing anywhere: nothing
        // may be torn down under it, so no static destructor or exit handler
        // runs. No reseat.
        std::_Exit(0);
    }
    // The outcome is out, but the thread still closes its log; a running
    // thread's object must not be deleted.
    runUpdate->wait();
}

void ShowPro::setPro(int allCount, int nowcount, QString sFile) {
    constexpr qint64 interval = 40;
    reportedMaximum = allCount;
    reportedValue = nowcount;
    reportedText = std::move(sFile);
    reportShown = false;
    if (!sinceShown.isValid() || sinceShown.elapsed() >= interval)
        showProgress();
    else if (!progressTimer->isActive())
        progressTimer->start(static_cast<int>(interval - sinceShown.elapsed()));
}

void ShowPro::showProgress() {
    progressTimer->stop();
    if (reportShown)
        return;
    ui->progressBar->setMaximum(reportedMaximum);
    ui->progressBar->setValue(reportedValue);
    ui->label_Pro->setText(reportedText);
    reportShown = true;
    sinceShown.start();
}

void ShowPro::slotSetInfo(QString title_info, QString info, MSG_GRADE grade, bool is_cancle_hidden,
                          int ifocus) {
    showProgress(); // the box stands over the window as it is now
    MsgBox::showInfo(title_info, info, grade, is_cancle_hidden, ifocus);
}

void ShowPro::slotRun() {
    setFocus(Qt::OtherFocusReason);
    runUpdate->start(QThread::InheritPriority);
}

void ShowPro::slotClose() {
    QCoreApplication::exit(0);
}

void ShowPro::slotRunOver(bool bAcc) {
    showProgress(); // the last report is the one the window keeps
    runResult = bAcc;
    runOver = true;
    closeTimer->start();
}

bool ShowPro::closingAllowed() {
    if (!runOver)
        return false;
    closeTimer->stop();
    disconnect(closeTimer, &QTimer::timeout, this, &ShowPro::slotClose);
    return true;
}

void ShowPro::accept() {
    if (closingAllowed())
        QDialog::accept();
}

void ShowPro::reject() {
    if (closingAllowed())
        QDialog::reject();
}
