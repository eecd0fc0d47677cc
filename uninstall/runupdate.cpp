#include "uninstall/runupdate.h"

#include "forcedelete.h"
#include "installlog.h"
#include "paths.h"
#include "platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

const char appPathsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths";
const char uninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char clientSubKey[] = "velmar";

bool isLink(const QString &path) {
    const uint32_t attributes = platform::pathAttributes(path.toStdString());
    return attributes != platform::attribute::Invalid &&
           (attributes & platform::attribute::ReparsePoint);
}

} // namespace

void RunUpdate::reportFile(const QString &name) {
    emit sigPro(*totalEntries, fileCounter, name);
    ++fileCounter;
}

bool RunUpdate::removeDirectory(QString folderPath) {
    folderPath = nativePath(folderPath);
    // A link (a junction on Windows) is removed as a link, never followed,
    // the folder given here included: what it points to lies outside the
    // installation.
    if (isLink(folderPath)) {
        if (platform::removeLink(folderPath.toStdString()))
            return true;
        writeLog(QStringLiteral("删除最外层目标失败-") + folderPath);
        return false;
    }
    const QDir folder(folderPath);
    if (!folder.exists())
        return true;

    // Qt's default listing leaves hidden entries out: they stay, and with
    // them every folder above them.
    const QFileInfoList entries = folder.entryInfoList();
    if (!totalEntries)
        totalEntries = entries.size();

    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        if (name == QLatin1String(".") || name == QLatin1String(".."))
            continue;
        const QString path = folderPath + separator() + name;
        if (isLink(path)) {
            platform::removeLink(path.toStdString());
            reportFile(name);
        } else if (entry.isDir()) {
            if (!removeDirectory(path))
                writeLog(QStringLiteral("删除目录失败-") + path);
            folder.rmdir(name);
        } else if (entry.isFile()) {
            // DeleteFile refuses read-only files: clear that first.
            QFile::setPermissions(path, entry.permissions() | QFileDevice::WriteOwner);
            platform::deleteFile(path.toStdString());
            reportFile(name);
        }
    }

    if (!QFileInfo::exists(folderPath) || QDir().rmdir(folderPath))
        return true;
    writeLog(QStringLiteral("删除最外层目标失败-") + folderPath);
    return false;
}

void normalizePath(QString &path) {
    const QString sep = separator();
    path = nativePath(path);
    path.replace(sep + sep, sep);
    const int last = path.lastIndexOf(sep);
    if (last < 0)
        return;
    const QString head = path.left(last);
    QString rest = path;
    if (rest.remove(head) == sep)
        path = head;
}

RunUpdate::RunUpdate(QString installLocation)
    : QThread(nullptr), rootPath(installLocation), progressBase(0), progressSpan(0) {
    qRegisterMetaType<MSG_GRADE>("MSG_GRADE");
    normalizePath(rootPath);
}

void RunUpdate::run() {
    // Each step is tried whatever the ones before it gave; their texts say
    // that the step was done, not that it achieved everything.
    progressBase = 0;
    progressSpan = 70;
    removeDirectory(rootPath + separator() + QStringLiteral("velmar"));
    emit sigPro(100, 100, QStringLiteral("清理文件成功"));

    progressBase = 70;
    progressSpan = 10;
    platform::registryDeleteKey(appPathsKey, clientSubKey);
    emit sigPro(100, 100, QStringLiteral("清理注册表成功"));

    progressBase = 80;
    progressSpan = 10;
    platform::registryDeleteKey(uninstallKey, clientSubKey);
    emit sigPro(100, 100, QStringLiteral("清理卸载表成功"));

    progressBase = 90;
    progressSpan = 10;
    const bool shortcutGone = removeDesktopShortcut();
    if (!shortcutGone)
        emit setInfo(QStringLiteral("卸载提示"), QStringLiteral("清理快捷方式失败"), MSG_WARNING,
                     true, 0);
    removeStartMenuEntries();
    emit sigPro(100, 100, QStringLiteral("清理快捷方式成功"));

    if (shortcutGone)
        emit sigPro(100, 100, QStringLiteral("文件已清除"));
    emit sigRunOver(shortcutGone);
}

bool RunUpdate::removeDesktopShortcut() {
    std::string desktop;
    // Without a desktop nobody can tell whether the shortcut is gone.
    if (!platform::userDesktopFolder(desktop))
        return false;
    // Named as the log has always shown it: the desktop as Qt gives it
    // (with "/"), then "\Orvane.lnk".
    const QString link = QDir::fromNativeSeparators(QString::fromStdString(desktop)) +
                         QStringLiteral("\\Orvane.lnk");
    return platform::deleteFile(fromAnySeparators(link).toStdString()) || forceDeleteFile(link);
}

void RunUpdate::removeStartMenuEntries() {
    std::string programs;
    if (!platform::commonProgramsFolder(programs))
        return;
    for (const QString &name : {QStringLiteral("Orvane"), QStringLiteral("Velmar")}) {
        const QString folder = nativePath(QString::fromStdString(programs) + separator() + name);
        // Through a folder that is a link, the shortcuts would be another
        // folder's; the link alone goes.
        for (const QString &link : {QStringLiteral("卸载.lnk"), QStringLiteral("Orvane.lnk")}) {
            const QString path = folder + separator() + link;
            if (!isLink(folder) && !platform::deleteFile(path.toStdString()))
                forceDeleteFile(path);
        }
        removeDirectory(folder);
    }
}

int RunUpdate::barValue(int allCount, int nowcount) const {
    const double ratio = allCount >= 1 ? static_cast<double>(nowcount) / allCount : 0.0;
    // Capped before the conversion: a deep tree counts far more files than its
    // first listing has entries.
    return progressBase +
           static_cast<int>(std::min(ratio * progressSpan, static_cast<double>(progressSpan)));
}
