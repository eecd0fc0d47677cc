#include "update/runupdate.h"

#include "update_form.h"

RunUpdate::RunUpdate(QObject *parent) : QThread(parent) {
    qRegisterMetaType<MSG_GRADE>("MSG_GRADE");
}

RunUpdate::~RunUpdate() = default;

void RunUpdate::run() {
    update_form form;
    // Passed on as they come, on this thread: whoever listens decides how
    // long the steps wait for it.
    connect(&form, &update_form::sigPro, this, &RunUpdate::sigPro, Qt::DirectConnection);
    connect(&form, &update_form::setInfo, this, &RunUpdate::setInfo, Qt::DirectConnection);

    bool result = false;
    if (form.initCheck() && form.unzipUpdatePackage() && form.unzipConfigPackage() &&
        form.updateRegistry()) {
        form.clearData(); // a package left behind does not undo the update
        result = true;
    }
    emit sigRunOver(result);
    form.writeEndLines();
}
