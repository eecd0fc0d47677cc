#include "forcedelete.h"

#include "batchfile.h"
#include "installlog.h"
#include "paths.h"
#include "platform.h"

#include <QCoreApplication>

#include <atomic>

namespace {

bool isFolder(const QString &path) {
    const uint32_t attributes = platform::pathAttributes(path.toStdString());
    return attributes != platform::attribute::Invalid &&
           (attributes & platform::attribute::Directory);
}

// Only Windows' "not found" means gone: a file waiting for its deletion, or
// one on a path that cannot be read, answers otherwise and is still there.
bool isGone(const QString &path) {
    if (platform::pathExists(path.toStdString()))
        return false;
    const uint32_t error = platform::lastError();
    return error == platform::error::FileNotFound || error == platform::error::PathNotFound;
}

bool liesIn(const QString &folder, const std::string &base) {
    const QString prefix = nativePath(QString::fromStdString(base));
    return folder.compare(prefix, Qt::CaseInsensitive) == 0 ||
           folder.startsWith(prefix + separator(), Qt::CaseInsensitive);
}

// Every user can put files into the all-users documents folder (the data
// folder lies there), and the desktop is where anyone's shortcuts land. A
// batch file written there could be swapped before it runs, so it is written
// into this process's own temporary folder under a name of its own instead.
// The shell cannot start a batch file whose path holds a "%" either: it
// expands what lies between two of them.
QString batchFileFor(const QString &folder) {
    std::string documents, desktop;
    const bool shared = (platform::commonDocumentsFolder(documents) && liesIn(folder, documents)) ||
                        (platform::userDesktopFolder(desktop) && liesIn(folder, desktop));
    if (!shared && !folder.contains(QLatin1Char('%')))
        return folder + separator() + QStringLiteral("auto_delete.bat");
    std::string temporary;
    if (!platform::temporaryFolder(temporary))
        return QString();
    static std::atomic<int> counter{0};
    return nativePath(QString::fromStdString(temporary)) + separator() +
           QStringLiteral("auto_delete-%1-%2.bat")
               .arg(QCoreApplication::applicationPid())
               .arg(++counter);
}

} // namespace

bool deleteByBatch(QString path) {
    // Either separator: a path may be built of a folder as Qt gives it ("/")
    // and a name with "\".
    path = fromAnySeparators(path);
    // cmd.exe's del given a folder deletes the files inside it.
    if (isFolder(path))
        return false;
    const QString folder = folderOf(path);
    const QString batchPath = batchFileFor(folder);
    const QStringList lines{QStringLiteral("del ") + batchQuoted(path) + QStringLiteral(" /q /f"),
                            QStringLiteral("del ") + batchQuoted(batchPath) +
                                QStringLiteral(" /q /f")};
    if (!batchPath.isEmpty() && writeBatchFile(batchPath, lines))
        platform::shellOpen(batchPath.toStdString(), folderOf(batchPath).toStdString(),
                            platform::ShowCommand::Hide);
    return isGone(path);
}

namespace {

// The forced deletion's attempts and log lines around one way of deleting:
// attempt is one try, true when the file is gone; isFolder ends the tries
// early.
template <typename Attempt, typename IsFolder>
bool forceDelete(const QString &path, Attempt attempt, IsFolder isFolder) {
    writeLog(QStringLiteral("强制删除文件:") + path);
    for (int tried = 0;; ++tried) {
        if (attempt()) {
            writeLog(QStringLiteral("删除文件") + path + QStringLiteral("成功"));
            return true;
        }
        // A folder is never a file to force out; no attempt will change that.
        if (tried == 5 || isFolder()) {
            writeLog(QStringLiteral("删除文件") + path + QStringLiteral("失败"));
            return false;
        }
        platform::sleepMs(1500);
    }
}

} // namespace

bool forceDeleteFile(QString path) {
    return forceDelete(
        path, [&] { return deleteByBatch(path); },
        [&] { return isFolder(fromAnySeparators(path)); });
}

bool forceDeleteAt(platform::FolderHandle folder, const std::string &name, const QString &path) {
    const auto attributes = [&] { return platform::attributesAt(folder, name.c_str()); };
    const auto gone = [&] {
        return attributes() == platform::attribute::Invalid &&
               platform::lastError() == platform::error::FileNotFound;
    };
    return forceDelete(
        path,
        [&] {
            const uint32_t found = attributes();
            if (found != platform::attribute::Invalid && (found & platform::attribute::ReadOnly))
                platform::setAttributesAt(folder, name.c_str(),
                                          found & ~platform::attribute::ReadOnly);
            platform::deleteAt(folder, name.c_str());
            return gone();
        },
        [&] {
            const uint32_t found = attributes();
            return found != platform::attribute::Invalid &&
                   (found & platform::attribute::Directory) &&
                   !(found & platform::attribute::ReparsePoint);
        });
}
