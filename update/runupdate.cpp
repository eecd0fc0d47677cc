#include "runupdate.h"

#include "showpro.h"
#include "update_form.h"

RunUpdate::RunUpdate(ShowPro *showPro) : QThread(nullptr), showPro(showPro) {
    qRegisterMetaType<MSG_GRADE>("MSG_GRADE");
}

RunUpdate::~RunUpdate() = default;

void RunUpdate::run() {
    update_form form;
    // This object lives in the GUI thread: each report runs its slot there,
    // and the steps wait until the dialog has shown it (or the user has
    // closed the message box).
    connect(&form, &update_form::sigPro, this, &RunUpdate::slotPro, Qt::BlockingQueuedConnection);
    connect(&form, &update_form::setInfo, this, &RunUpdate::slotSetInfo,
            Qt::BlockingQueuedConnection);

    bool result = false;
    if (form.initCheck() && form.unzipUpdatePackage() && form.unzipConfigPackage() &&
        form.updateRegistry()) {
        form.clearData(); // a package left behind does not undo the update
        result = true;
    }
    emit sigRunOver(result);
}

void RunUpdate::slotSetInfo(QString title_info, QString info, MSG_GRADE grade,
                            bool is_cancle_hidden, int ifocus) {
    MsgBox *box = MsgBox::getInstance();
    box->setInfo(title_info, info, grade, is_cancle_hidden, ifocus);
    box->exec();
}

void RunUpdate::slotPro(int allCount, int nowcount, QString sFile) {
    showPro->setPro(allCount, nowcount, sFile);
}
