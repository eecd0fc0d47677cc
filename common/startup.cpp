#include "startup.h"

#include "installlog.h"
#include "msgbox.h"
#include "paths.h"

namespace guard {
const char client[] = "{AB49C45E-B7A8-4359-8429-51B65B55718C}";
const char installer[] = "{AB49C45E-B7A8-4359-8429-51B65B55718D}";
const char uninstaller[] = "{AB49C45E-B7A8-4359-8429-51B65B55718E}";
} // namespace guard

bool resolveLogPath() {
    std::string documents;
    if (!platform::commonDocumentsFolder(documents))
        return false;
    const QString path =
        nativePath(QString::fromStdString(documents) + separator() + "velmarinstall.txt");
    setLogLinkPath(path);
    setLogFilePath(path);
    return true;
}

bool openLog(const QString &errorTitle, const QString &startBanner) {
    if (!resolveLogPath()) {
        showStartupError(errorTitle, QStringLiteral("软件环境异常,找不到通用路径"));
        MsgBox::releaseInstance();
        return false;
    }
    writeLog(startBanner);
    return true;
}

void endInFailure(const QString &reason, const QString &lastErrorTag, const QString &endBanner,
                  const QString &errorTitle, const QString &text) {
    writeLog(reason);
    writeLastErrorLine(lastErrorTag);
    writeLog(endBanner);
    showStartupError(errorTitle, text);
    MsgBox::releaseInstance();
}

void showStartupError(const QString &title, const QString &text) {
    MsgBox::showInfo(title, text, MSG_ERROR, true, 0);
}

void writeLastErrorLine(const QString &tag) {
    writeLog(tag + QString::number(platform::lastError()));
}

platform::MutexHandle takeGuard(const char *name) {
    platform::MutexHandle handle = platform::createMutex(name);
    const bool existed = platform::lastError() == platform::error::AlreadyExists;
    if (handle && !existed)
        return handle;
    if (handle) {
        platform::releaseMutex(handle);
        platform::closeMutex(handle);
    }
    return nullptr;
}

bool probeGuard(const char *name) {
    platform::MutexHandle handle = takeGuard(name);
    if (!handle)
        return false;
    platform::releaseMutex(handle);
    platform::closeMutex(handle);
    return true;
}
