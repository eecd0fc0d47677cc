#include "uninstall/runupdate.h"

#include "forcedelete.h"
#include "installlog.h"
#include "paths.h"
#include "platform.h"

#include <QDir>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

const char appPathsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths";
const char uninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char clientSubKey[] = "velmar";

std::string local8(const QString &text) {
    return text.toLocal8Bit().toStdString();
}

bool isLinkAttributes(uint32_t attributes) {
    return attributes != platform::attribute::Invalid &&
           (attributes & platform::attribute::ReparsePoint);
}

// Removes the link name in folder, never what it leads to.
platform::Status removeLinkAt(platform::FolderHandle folder, const std::string &name,
                              uint32_t attributes) {
    return (attributes & platform::attribute::Directory)
               ? platform::removeFolderAt(folder, name.c_str())
               : platform::deleteAt(folder, name.c_str());
}

} // namespace

void RunUpdate::reportFile(const QString &name) {
    emit sigPro(*totalEntries, fileCounter, name);
    ++fileCounter;
}

bool RunUpdate::removeDirectory(QString folderPath) {
    folderPath = nativePath(folderPath);
    // Its parent is where the installation or the Start menu lies: chosen
    // by administrators, and reached as it is. From there down every folder
    // is held open and every entry named in the folder held, so that a
    // folder swapped for a link meanwhile (the Start menu, the all-users
    // places, may be open to users) is never entered or deleted through.
    const QString parentPath = folderOf(folderPath);
    // Its path may hold what the code page cannot (its parent is opened by
    // the UTF-8 path); the folders' own names are ours.
    const platform::Folder parent(
        parentPath == folderPath ? nullptr : platform::openFolder(parentPath.toStdString(), true));
    std::string name;
    if (!parent ||
        !platform::utf8ToLocal8Bit(folderPath.mid(parentPath.size() + 1).toStdString(), name))
        return true; // no folder of that name
    return removeIn(parent.get(), name, folderPath);
}

bool RunUpdate::removeIn(platform::FolderHandle parent, const std::string &name,
                         const QString &folderPath) {
    const uint32_t attributes = platform::attributesAt(parent, name.c_str());
    // A link (a junction on Windows) is removed as a link, never followed:
    // what it points to lies outside the installation.
    if (isLinkAttributes(attributes)) {
        if (removeLinkAt(parent, name, attributes))
            return true;
        writeLog(QStringLiteral("删除最外层目标失败-") + folderPath);
        return false;
    }
    platform::Folder folder(attributes != platform::attribute::Invalid &&
                                    (attributes & platform::attribute::Directory)
                                ? platform::openFolderAt(parent, name.c_str())
                                : nullptr);
    if (!folder)
        return true; // no folder of that name (or none any more)

    // Listed as Qt lists a folder by default: hidden and system entries
    // left out (they stay, and with them every folder above them), by name
    // whatever the case; "." and ".." count in the first listing's size.
    std::vector<platform::FolderEntry> entries;
    platform::listFolderAt(folder.get(), entries);
    std::vector<std::pair<QString, platform::FolderEntry>> listed;
    for (platform::FolderEntry &entry : entries) {
        if (!(entry.attributes & (platform::attribute::Hidden | platform::attribute::System)))
            listed.emplace_back(QString::fromLocal8Bit(entry.name.c_str()), std::move(entry));
    }
    std::stable_sort(listed.begin(), listed.end(), [](const auto &a, const auto &b) {
        return a.first.compare(b.first, Qt::CaseInsensitive) < 0;
    });
    if (!totalEntries)
        totalEntries = static_cast<int>(listed.size()) + 2;

    for (const auto &[shown, entry] : listed) {
        const QString path = folderPath + separator() + shown;
        if (isLinkAttributes(entry.attributes)) {
            removeLinkAt(folder.get(), entry.name, entry.attributes);
            reportFile(shown);
        } else if (entry.attributes & platform::attribute::Directory) {
            if (!removeIn(folder.get(), entry.name, path))
                writeLog(QStringLiteral("删除目录失败-") + path);
        } else {
            // DeleteFile refuses read-only files: clear that first.
            platform::setAttributesAt(folder.get(), entry.name.c_str(),
                                      entry.attributes & ~platform::attribute::ReadOnly);
            platform::deleteAt(folder.get(), entry.name.c_str());
            reportFile(shown);
        }
    }

    folder.reset(); // Windows removes a folder once nobody holds it
    if (platform::removeFolderAt(parent, name.c_str()) ||
        platform::lastError() == platform::error::FileNotFound)
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
    const platform::Folder programsFolder(platform::openFolder(programs, true));
    for (const QString &name : {QStringLiteral("Orvane"), QStringLiteral("Velmar")}) {
        const QString folder = nativePath(QString::fromStdString(programs) + separator() + name);
        // Held, never through a link: the shortcuts of a folder that is a
        // link would be another folder's; the link alone goes.
        const platform::Folder held(
            programsFolder ? platform::openFolderAt(programsFolder.get(), local8(name).c_str())
                           : nullptr);
        for (const QString &link : {QStringLiteral("卸载.lnk"), QStringLiteral("Orvane.lnk")}) {
            const std::string linkName = local8(link);
            if (held && !platform::deleteAt(held.get(), linkName.c_str()))
                forceDeleteAt(held.get(), linkName, folder + separator() + link);
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
