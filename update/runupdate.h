// The update thread: runs the update's steps away from the dialog and tells
// it the outcome.
#pragma once

#include "msgbox.h"

#include <QString>
#include <QThread>

class ShowPro;

class RunUpdate : public QThread {
    Q_OBJECT

public:
    explicit RunUpdate(ShowPro *showPro);
    ~RunUpdate() override;

signals:
    void sigRunOver(bool);

public slots:
    void slotSetInfo(QString title_info, QString info, MSG_GRADE grade, bool is_cancle_hidden,
                     int ifocus = 0);
    void slotPro(int allCount, int nowcount, QString sFile);

protected:
    void run() override;

private:
    ShowPro *showPro;
};
