// reseat: the last step of an update. The updater cannot overwrite its own
// program file, so it hands over to this program, which waits for it to end,
// puts the new updater (delivered beside reseat in "exeinfo") in place of the
// installation folder's old one, and starts the client.
#include "forcedelete.h"
#include "installlog.h"
#include "msgbox.h"
#include "paths.h"
#include "platform.h"
#include "startup.h"
#include "testhooks.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>

namespace {

const char startBanner[] =
    "***************************自动升级程序---更新---开始*******************************";
const char endBanner[] =
    "***************************自动升级程序---更新---结束*******************************";
const char successBanner[] =
    "***************************自动升级程序---更新---成功*******************************";
const char errorTitle[] = "更新异常";

// The updater may still be ending: give it three chances, 500 ms apart.
void waitForUpdaterToEnd() {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (probeGuard(guard::client))
            return;
        platform::sleepMs(500);
    }
    throw StartupError{QStringLiteral("相关程序正在运行")};
}

// The first copy after a failed plain deletion: the file may be in use, so
// the forced deletion had its go; copies are retried for a while and succeed
// silently.
bool copyAfterForcedDeletion(const QString &newUpdater, const QString &target) {
    forceDeleteFile(target);
    platform::sleepMs(2000);
    for (int retry = 0;; ++retry) {
        if (QFile::copy(newUpdater, target))
            return true;
        if (retry == 5)
            return false;
        platform::sleepMs(3000);
    }
}

bool copyAndLog(const QString &newUpdater, const QString &target) {
    if (!QFile::copy(newUpdater, target)) {
        platform::sleepMs(2000);
        if (!QFile::copy(newUpdater, target))
            return false;
    }
    writeLog(QStringLiteral("更新update.exe成功"));
    return true;
}

void replaceUpdater(const QString &newUpdater, const QString &target) {
    writeLog(QStringLiteral("开始更新update.exe"));
    bool replaced;
    if (QFileInfo::exists(target)) {
        platform::deleteFile(target.toStdString());
        platform::sleepMs(500);
        replaced = QFileInfo::exists(target) ? copyAfterForcedDeletion(newUpdater, target)
                                             : copyAndLog(newUpdater, target);
    } else {
        replaced = copyAndLog(newUpdater, target);
    }
    if (!replaced) {
        writeLog(QStringLiteral("更新update.exe失败"));
        MsgBox *box = MsgBox::getInstance();
        box->setInfo(QString::fromUtf8(errorTitle), QStringLiteral("update.exe更新失败"),
                     MSG_WARNING, true, 0);
        box->exec();
    }
}

} // namespace

int main(int argc, char *argv[]) {
    testhooks::install();
    platform::sleepMs(1500); // lets the updater that started us end first

    enableHighDpiScaling();
    QApplication app(argc, argv);
    MsgBox::getInstance();
    if (!openLog(QString::fromUtf8(errorTitle), QString::fromUtf8(startBanner)))
        return 0;

    try {
        waitForUpdaterToEnd();
    } catch (const StartupError &error) {
        endInFailure(QStringLiteral("update.exe正在运行，无法执行更新操作"),
                     QStringLiteral("reseat---lasterr："), QString::fromUtf8(endBanner),
                     QString::fromUtf8(errorTitle), error.text);
        return 0;
    }

    const QString ownFolder = applicationFolder();
    const QString newUpdater = programFile(ownFolder, QStringLiteral("update"));
    if (QFileInfo::exists(newUpdater))
        replaceUpdater(newUpdater, programFile(folderOf(ownFolder), QStringLiteral("update")));

    const QString client = programFile(ownFolder, QStringLiteral("velmar"));
    if (!QFileInfo::exists(client)) {
        endInFailure(QStringLiteral("velmar.exe缺失"), QStringLiteral("update---lasterr："),
                     QString::fromUtf8(endBanner), QString::fromUtf8(errorTitle),
                     QStringLiteral("客户端程序velmar.exe缺失，无法启动"));
        return 0;
    }
    writeLog(QString::fromUtf8(successBanner));
    MsgBox::releaseInstance();
    platform::shellOpen(client.toStdString(), ownFolder.toStdString(), platform::ShowCommand::Show);
    return 0;
}
