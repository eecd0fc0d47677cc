// The updater's window: a progress bar and a line of text over the product
// background. It starts the update thread, shows what the thread reports,
// and closes itself after the outcome; main then finishes the program.
#pragma once

#include "msgbox.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QString>

#include <memory>

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

    // After the modal run: waits for the outcome while the window stays
    // alive (50 passes of a second at most), then for the thread's end. When
    // no outcome comes, the process ends here, at once.
    void finish(int passes = 50);
    // The outcome: true when the update succeeded and reseat is due.
    bool succeeded() const { return runResult; }

public slots:
    // Takes the thread's report and returns at once; the bar and the label
    // show the latest report at most every 40 ms (drawing them for every
    // entry of a large package would cost more than the entry), and the
    // last one always.
    void setPro(int allCount, int nowcount, QString sFile);
    // Shows what the thread asks for in the shared message box.
    void slotSetInfo(QString title_info, QString info, MSG_GRADE grade, bool is_cancle_hidden,
                     int ifocus = 0);
    void slotRun();
    void slotClose();
    void slotRunOver(bool bAcc);

    // Escape and the close request do nothing until the outcome is known.
    void accept() override;
    void reject() override;

private:
    // Once the outcome is known: the automatic close is called off, and the
    // window may close now.
    bool closingAllowed();
    // The bar and the label show the latest report.
    void showProgress();

    const std::unique_ptr<Ui::ShowPro> ui;
    QTimer *runTimer;
    QTimer *closeTimer;
    QTimer *progressTimer;
    QElapsedTimer sinceShown;
    int reportedMaximum = 100;
    int reportedValue = 0;
    QString reportedText;
    bool reportShown = true;
    RunUpdate *runUpdate;
    bool runOver;
    bool runResult;
};
