// reseat: the last step of an update. The updater cannot overwrite its own
// program file, so it hands over to this program, which waits for it to end,
// puts the new updater (delivered beside reseat in "exeinfo") in place of the
// installation folder's old one, and starts the client.
#include "installlog.h"
#include "msgbox.h"
#include "paths.h"
#include "platform.h"
#include "startup.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>

namespace {

const char successBanner[] =
    "***************************自动升级程序---更新---成功*******************************";

// The new updater is copied beside the old one first and then put in its
// place in one step: the old one goes only once the new one is whole, so a
// copy that fails (an unreadable new updater, a full disk) leaves the
// installation with the updater it had. Two copies, 2000 ms apart.
bool stageCopy(const QString &newUpdater, const QString &staged) {
    for (int copy = 0;; ++copy) {
        platform::deleteFile(staged.toStdString()); // a leftover of an earlier run
        if (QFile::copy(newUpdater, staged))
            return true;
        platform::deleteFile(staged.toStdString()); // a partial copy
        if (copy == 1)
            return false;
        platform::sleepMs(2000);
    }
}

bool putInPlace(const QString &staged, const QString &target) {
    // A read-only old updater could not be replaced; it is ours to replace.
    if (QFileInfo::exists(target))
        QFile::setPermissions(target, QFile::permissions(target) | QFileDevice::WriteOwner);
    return platform::replaceFile(staged.toStdString(), target.toStdString());
}

// The old updater may still be in use: the replacement is retried for a
// while (2000 ms, then six times 3000 ms apart) and succeeds silently.
bool putInPlaceOnceFree(const QString &staged, const QString &target) {
    platform::sleepMs(2000);
    for (int retry = 0;; ++retry) {
        if (putInPlace(staged, target))
            return true;
        if (retry == 5)
            return false;
        platform::sleepMs(3000);
    }
}

void replaceUpdater(const QString &newUpdater, const QString &target) {
    writeLog(QStringLiteral("开始更新update.exe"));
    const QString staged = target + QStringLiteral(".new");
    bool replaced = false;
    if (stageCopy(newUpdater, staged)) {
        if (putInPlace(staged, target)) {
            writeLog(QStringLiteral("更新update.exe成功"));
            replaced = true;
        } else {
            replaced = putInPlaceOnceFree(staged, target);
        }
        if (!replaced)
            platform::deleteFile(staged.toStdString());
    }
    if (!replaced) {
        writeLog(QStringLiteral("更新update.exe失败"));
        MsgBox::showInfo(QString::fromUtf8(programs::reseat.errorTitle),
                         QStringLiteral("update.exe更新失败"), MSG_WARNING, true, 0);
    }
}

} // namespace

int main(int argc, char *argv[]) {
    prepareStart(true); // lets the updater that started us end first
    QApplication app(argc, argv);
    MsgBox::getInstance();
    if (!openLog(programs::reseat))
        return 0;

    // The updater may still be ending: three chances, 500 ms apart.
    if (!withinThreeAttempts([] { return probeGuard(guard::client); })) {
        endInFailure(programs::reseat, QStringLiteral("update.exe正在运行，无法执行更新操作"),
                     QStringLiteral("相关程序正在运行"));
        return 0;
    }

    const QString ownFolder = applicationFolder();
    const QString newUpdater = programFile(ownFolder, QStringLiteral("update"));
    if (QFileInfo::exists(newUpdater))
        replaceUpdater(newUpdater, programFile(folderOf(ownFolder), QStringLiteral("update")));

    const QString client = programFile(ownFolder, QStringLiteral("velmar"));
    if (!QFileInfo::exists(client)) {
        // The log has always named the updater's tag here.
        endInFailure(programs::reseat, QStringLiteral("velmar.exe缺失"),
                     QStringLiteral("客户端程序velmar.exe缺失，无法启动"),
                     programs::update.lastErrorTag);
        return 0;
    }
    writeLog(QString::fromUtf8(successBanner));
    MsgBox::releaseInstance();
    platform::shellOpen(client.toStdString(), ownFolder.toStdString(), platform::ShowCommand::Show);
    return 0;
}
