#include "installfolder.h"

#include "platform.h"
#include "updatetransaction.h"

#include <cstring>
#include <string>

namespace {

// MAX_PATH less its terminating zero: the longest path the A functions take.
// A folder they make must leave room for a file name of 8.3 in it.
constexpr std::size_t longestPath = 259;
constexpr std::size_t longestFolder = longestPath - 12;

} // namespace

std::optional<InstallFolderRefusal> refuseInstallFolder(const QString &folder) {
    const QString title = QStringLiteral("更新异常");
    std::string local;
    if (!platform::utf8ToLocal8Bit(folder.toStdString(), local))
        return InstallFolderRefusal{
            QStringLiteral("安装路径含有系统代码页以外的字符:") + folder, title,
            QStringLiteral("安装路径含有无法识别的字符，详情请查看软件日志")};
    // The journal lies in the folder, the staging and backup folders too.
    if (local.size() + 1 + UpdateTransaction::workNameLength > longestFolder ||
        local.size() + 1 + std::strlen(UpdateTransaction::journalName) > longestPath)
        return InstallFolderRefusal{QStringLiteral("安装路径过长:") + folder, title,
                                    QStringLiteral("安装路径过长，详情请查看软件日志")};
    return std::nullopt;
}
