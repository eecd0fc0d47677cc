// The updater's update thread (not the uninstaller's worker of the same
// name): runs the update's steps away from the dialog and reports through
// its signals; the dialog listens.
#pragma once

#include "msgbox.h"

#include <QString>
#include <QThread>

class RunUpdate : public QThread {
    Q_OBJECT

public:
    explicit RunUpdate(QObject *parent = nullptr);
    ~RunUpdate() override;

signals:
    // The outcome of the whole update: true when every step succeeded.
    void sigRunOver(bool);
    // The steps' reports, emitted on this thread. A listener in another
    // thread connects with Qt::BlockingQueuedConnection: the steps then wait
    // until the bar shows the report, or until the user has closed the box.
    void sigPro(int allCount, int nowcount, QString sFile);
    void setInfo(QString title_info, QString info, MSG_GRADE grade, bool is_cancle_hidden,
                 int ifocus);

protected:
    void run() override;
};
