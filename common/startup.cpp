#include "startup.h"

#include "installlog.h"
#include "msgbox.h"
#include "paths.h"
#include "testhooks.h"

#include <QGuiApplication>

namespace guard {
const char client[] = "{AB49C45E-B7A8-4359-8429-51B65B55718C}";
const char installer[] = "{AB49C45E-B7A8-4359-8429-51B65B55718D}";
const char uninstaller[] = "{AB49C45E-B7A8-4359-8429-51B65B55718E}";
} // namespace guard

namespace programs {
const ProgramLog update{
    "***************************自动升级程序---解压---开始*******************************",
    "***************************自动升级程序---解压---结束*******************************",
    "解压异常", "update---lasterr："};
const ProgramLog reseat{
    "***************************自动升级程序---更新---开始*******************************",
    "***************************自动升级程序---更新---结束*******************************",
    "更新异常", "reseat---lasterr："};
const ProgramLog uninstall{
    "***************************Orvane卸载程序---卸载---开始*******************************",
    "***************************Orvane卸载程序---卸载---结束*******************************",
    "卸载异常", "uninstall---lasterr："};
} // namespace programs

void prepareStart(bool settleFirst) {
    testhooks::install();
    if (settleFirst)
        platform::sleepMs(1500); // before anything else: lets whoever started us settle
    platform::refuseUserRedirections();
    enableHighDpiScaling();
}

void enableHighDpiScaling() {
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    // Rounded, 150 % would draw at 200 % and 125 % at 100 %, where the
    // texts, sized in points, outgrow their fixed labels again.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
}

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

bool openLog(const ProgramLog &program) {
    if (!resolveLogPath()) {
        showStartupError(QString::fromUtf8(program.errorTitle),
                         QStringLiteral("软件环境异常,找不到通用路径"));
        MsgBox::releaseInstance();
        return false;
    }
    writeLog(QString::fromUtf8(program.startBanner));
    return true;
}

void endInFailure(const ProgramLog &program, const QString &reason, const QString &text,
                  const char *lastErrorTag) {
    writeLog(reason);
    writeLastErrorLine(QString::fromUtf8(lastErrorTag ? lastErrorTag : program.lastErrorTag));
    writeLog(QString::fromUtf8(program.endBanner));
    showStartupError(QString::fromUtf8(program.errorTitle), text);
    MsgBox::releaseInstance();
}

bool withinThreeAttempts(const std::function<bool()> &attempt) {
    for (int tried = 0; tried < 3; ++tried) {
        if (attempt())
            return true;
        platform::sleepMs(500);
    }
    return false;
}

void showStartupError(const QString &title, const QString &text) {
    MsgBox::showInfo(title, text, MSG_ERROR, true, 0);
}

void writeLastErrorLine(const QString &tag) {
    writeLog(tag + QString::number(platform::lastError()));
}

platform::Mutex takeGuard(const char *name) {
    platform::Mutex guard(name);
    if (!guard.owned())
        guard.reset();
    return guard;
}

bool probeGuard(const char *name) {
    return takeGuard(name).owned();
}
