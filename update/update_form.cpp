#include "update_form.h"

#include "forcedelete.h"
#include "installfolder.h"
#include "installlog.h"
#include "paths.h"
#include "platform.h"
#include "startup.h"
#include "unzippackage.h"
#include "zipreader.h"

#include <QDir>
#include <QFile>
#include <QSettings>

namespace {

const char uninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\velmar";
const char checkLabel[] = "初始化检查";
const char registryLabel[] = "更新注册表";
const char cleanLabel[] = "清理数据";
const char packageName[] = "update.zip";
const char configPackageName[] = "Config.zip";
const char configFolderName[] = "Config";
const char versionFileName[] = "veconfig.ini";
// The update's own copy of the package, and the copy of the new
// veconfig.ini that the settings reader reads: in the installation's
// staging folder, under names no package entry may take.
const char packageCopyName[] = "~velmar-update.zip";
const char versionCopyName[] = "~velmar-update.ini";
// A veconfig.ini is a few lines; anything much larger is not one.
constexpr uint32_t versionFileLimit = 1u << 20;

// "exeinfo\ConfigPath.txt" completes the data folder's name. An editor's byte
// order mark and final line break are not part of that name.
QString dataFolderSuffix(QByteArray content) {
    const bool utf8 = content.startsWith("\xEF\xBB\xBF");
    if (utf8)
        content.remove(0, 3);
    if (content.endsWith("\r\n"))
        content.chop(2);
    else if (content.endsWith('\n'))
        content.chop(1);
    return utf8 ? QString::fromUtf8(content) : QString::fromLocal8Bit(content);
}

// The data folder is "velmar" and what ConfigPath.txt adds to the name: one
// plain name in the documents folder. A separator or a drive would take it
// anywhere ("\..\..\Windows").
bool isPlainName(const QString &name) {
    return !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) &&
           !name.contains(QLatin1Char(':'));
}

// The base folder's own path, cleaned, with a separator at its end.
QString folderPrefix(const QString &folder) {
    QString prefix = QDir::cleanPath(QDir::fromNativeSeparators(folder));
    if (!prefix.endsWith(QLatin1Char('/')))
        prefix += QLatin1Char('/');
    return prefix;
}

bool liesInside(const QString &path, const QString &folder) {
    return QDir::cleanPath(QDir::fromNativeSeparators(path)).startsWith(folderPrefix(folder));
}

void logCannotUpdate(const QString &path, uint32_t osError, const QString &detail = QString()) {
    writeLog(QStringLiteral("解压失败:") + path + QStringLiteral("无法更新  lasterr:") +
             QString::number(osError) + detail);
}

// Why a delta entry could not be applied; empty for every other failure.
QString deltaReason(ZipResult result) {
    switch (result) {
    case zipresult::BaseMissing:
        return QStringLiteral("原文件缺失");
    case zipresult::BaseChanged:
        return QStringLiteral("原文件已改变");
    case zipresult::BeyondMemoryBound:
        return QStringLiteral("超出256MB内存限制");
    case zipresult::DeltaCorrupt:
        return QStringLiteral("差分数据损坏");
    default:
        return {};
    }
}

std::string local8(const QString &text) {
    return text.toLocal8Bit().toStdString();
}

// The whole content of name in folder, read through the held folder.
bool readAt(platform::FolderHandle folder, const char *name, std::string &content) {
    platform::File file(platform::openFileAt(folder, name, platform::FileAccess::Read,
                                             platform::FileShare::Read,
                                             platform::FileDisposition::OpenExisting));
    if (!file)
        return false;
    content.clear();
    char buffer[16384];
    uint32_t got = 0;
    while (platform::readFile(file.get(), buffer, sizeof buffer, got) && got > 0) {
        content.append(buffer, got);
        if (content.size() > versionFileLimit)
            return false;
    }
    return true;
}

} // namespace

update_form::update_form(const QString &applicationFolder) : programFolder(applicationFolder) {}

void update_form::writeEndLines() {
    writeLastErrorLine(QString::fromUtf8(programs::update.lastErrorTag));
    writeLog(QString::fromUtf8(programs::update.endBanner));
}

void update_form::fail(const QString &logLine, const QString &title, const QString &text) {
    writeLog(logLine);
    emit setInfo(title, text, MSG_ERROR, true, 0);
}

bool update_form::initCheck() {
    if (const auto refusal = refuseInstallFolder(programFolder)) {
        fail(refusal->logLine, refusal->title, refusal->text);
        return false;
    }
    if (!openDataFolder())
        return false;
    appDir = programFolder;
    if (!openPackage() || !takePackage())
        return false;
    emit sigPro(100, 5, QString::fromUtf8(checkLabel));
    return true;
}

bool update_form::openDataFolder() {
    QString suffix = separator() + QStringLiteral("velmar");
    QFile configPath(programFolder + separator() + QStringLiteral("exeinfo") + separator() +
                     QStringLiteral("ConfigPath.txt"));
    if (configPath.open(QIODevice::ReadOnly)) {
        suffix += dataFolderSuffix(configPath.readAll());
        configPath.close();
    }
    const auto pathMissing = [this] {
        fail(QStringLiteral("通用路径缺失:") + configDir, QStringLiteral("解压异常"),
             QStringLiteral("运行路径缺失，详情请查看软件日志"));
        return false;
    };
    // Opened once, and never through a link: whoever may write in the
    // documents folder could put one there.
    configDir = folderOf(logLinkPath()) + suffix;
    packagePath = configDir + separator() + QString::fromLatin1(packageName);
    if (isPlainName(suffix.mid(separator().size())))
        dataFolder.reset(platform::openFolderA(local8(nativePath(configDir)).c_str()));
    if (!dataFolder)
        return pathMissing();
    emit sigPro(100, 1, QString::fromUtf8(checkLabel));

    configDir += separator() + QString::fromLatin1(configFolderName);
    if (!platform::Folder(platform::openFolderAt(dataFolder.get(), configFolderName)))
        return pathMissing();
    emit sigPro(100, 3, QString::fromUtf8(checkLabel));
    return true;
}

bool update_form::openPackage() {
    if (platform::attributesAt(dataFolder.get(), packageName) == platform::attribute::Invalid) {
        fail(QStringLiteral("更新包缺失:") + packagePath, QStringLiteral("解压异常"),
             QStringLiteral("更新包缺失，详情请查看软件日志"));
        return false;
    }
    package.reset(platform::openFileAt(dataFolder.get(), packageName, platform::FileAccess::Read,
                                       platform::FileShare::Read,
                                       platform::FileDisposition::OpenExisting));
    if (!package) {
        fail(QStringLiteral("更新包错误:") + packagePath, QStringLiteral("更新异常"),
             QStringLiteral("更新包错误，详情请查看软件日志"));
        return false;
    }
    int64_t size = 0;
    if (!platform::seekFile(package.get(), 0, platform::SeekOrigin::End, size) || size <= 0) {
        fail(QStringLiteral("更新包为空:") + packagePath, QStringLiteral("更新异常"),
             QStringLiteral("更新包无有效数据，详情请查看软件日志"));
        return false;
    }
    return true;
}

bool update_form::refuse(const QString &logLine, const QString &text) {
    undo();
    fail(logLine, QStringLiteral("更新异常"), text);
    return false;
}

bool update_form::takePackage() {
    // Where the copy cannot be made, the installation is in the way.
    const auto cannotCopy = [this](const char *what) {
        const uint32_t error = platform::lastError();
        return giveUp(UnzipFailure{local8(packagePath), local8(appDir),
                                   what + std::to_string(error), zipresult::Ok, error,
                                   FailureSite::Target});
    };
    transaction = std::make_unique<UpdateTransaction>(local8(appDir));
    installRoot = transaction->addRoot(local8(appDir), UpdateTransaction::Access::Administrators);
    if (installRoot < 0)
        return cannotCopy("set zip dir err = ");
    platform::File copy(platform::openFileAt(
        transaction->stagingFolder(installRoot), packageCopyName, platform::FileAccess::ReadWrite,
        platform::FileShare::None, platform::FileDisposition::CreateNew));
    int64_t start = 0;
    if (!copy || !platform::seekFile(package.get(), 0, platform::SeekOrigin::Begin, start))
        return cannotCopy("copy zip err = ");
    const PackageCheck::Outcome outcome = packageCheck.take(package.get(), copy.get());
    const uint32_t error = platform::lastError();
    // The data folder's package is never read again: the copy is the package.
    package = std::move(copy);
    switch (outcome) {
    case PackageCheck::Outcome::Taken:
        break;
    case PackageCheck::Outcome::ReadFailed:
        return refuse(QStringLiteral("更新包错误:") + packagePath,
                      QStringLiteral("更新包错误，详情请查看软件日志"));
    case PackageCheck::Outcome::WriteFailed:
        platform::setLastError(error);
        return cannotCopy("copy zip err = ");
    case PackageCheck::Outcome::Refused:
        return refuse(QStringLiteral("更新包签名无效:") + packagePath,
                      QStringLiteral("更新包签名无效，详情请查看软件日志"));
    case PackageCheck::Outcome::Unversioned:
        return refuse(QStringLiteral("更新包签名缺少版本号:") + packagePath,
                      QStringLiteral("更新包签名缺少版本号，详情请查看软件日志"));
    }
    return true;
}

bool update_form::unzipUpdatePackage() {
    // Both packages are read through before the first file changes: the
    // configuration package as the update package delivers it, when it does.
    const PackageJob job{local8(packagePath), package.get(), local8(appDir), installRoot, true};
    if (UnzipResult failure = stagePackage(job, *this, *transaction, updateStaged))
        return giveUp(*failure);
    if (std::optional<UnzipFailure> failure = stageConfigPackage())
        return giveUp(*failure);
    if (!decideVersion())
        return false;

    // An older version, even signed, is not taken back: the check comes
    // before anything changes.
    std::string installed;
    if (!platform::registryReadString(uninstallKey, "DisplayVersion", installed))
        installed.clear();
    if (!packageCheck.acceptVersion(newVersion.toStdString(), installed))
        return refuse(QStringLiteral("更新包版本低于已安装版本:") + packagePath,
                      QStringLiteral("更新包版本低于已安装版本，详情请查看软件日志"));
    if (UnzipResult failure = applyPackage(updateStaged, *this, *transaction))
        return giveUp(*failure);
    return true;
}

std::optional<UnzipFailure> update_form::stageConfigPackage() {
    // Only a Config.zip that this package brings: one an earlier update left
    // in the installation is never unpacked again.
    const platform::FolderHandle staging = transaction->stagingFolder(installRoot);
    if (platform::attributesAt(staging, configPackageName) == platform::attribute::Invalid)
        return {}; // the configuration package is optional
    const std::string zipPath =
        local8(appDir + separator() + QString::fromLatin1(configPackageName));
    const std::string dataPath = local8(folderOf(nativePath(configDir)));
    const int root =
        transaction->addRoot(dataPath, UpdateTransaction::Access::Everyone, dataFolder.get());
    if (root < 0) {
        const uint32_t error = platform::lastError();
        return UnzipFailure{zipPath,       dataPath, "set zip dir err = " + std::to_string(error),
                            zipresult::Ok, error,    FailureSite::Target};
    }
    // Closed before the staged copy may be moved into place.
    const platform::File config(
        platform::openFileAt(staging, configPackageName, platform::FileAccess::Read,
                             platform::FileShare::Read, platform::FileDisposition::OpenExisting));
    configStaged.emplace();
    return stagePackage(PackageJob{zipPath, config.get(), dataPath, root, false}, *this,
                        *transaction, *configStaged);
}

bool update_form::decideVersion() {
    // The configuration package's veconfig.ini, read through held folders;
    // the settings reader takes only a path, so it reads a copy where only
    // administrators write.
    const auto versionIn = [this](platform::FolderHandle folder, QString &version) {
        std::string content;
        if (!folder || !readAt(folder, versionFileName, content))
            return false;
        const platform::FolderHandle copyFolder = transaction->stagingFolder(installRoot);
        platform::File copy(platform::openFileAt(
            copyFolder, versionCopyName, platform::FileAccess::Write, platform::FileShare::None,
            platform::FileDisposition::CreateAlways));
        if (!copy ||
            !platform::writeFile(copy.get(), content.data(), static_cast<uint32_t>(content.size())))
            return false;
        copy.reset();
        const QString copyPath =
            nativePath(QString::fromLocal8Bit(transaction->stagingPath(installRoot).c_str()) +
                       separator() + QString::fromLatin1(versionCopyName));
        version = QSettings(copyPath, QSettings::IniFormat)
                      .value(QStringLiteral("Server/Version"), QString())
                      .toString();
        return true;
    };
    platform::FolderChain staged(configStaged ? transaction->stagingFolder(configStaged->root)
                                              : nullptr);
    QString configured;
    const bool brought = configStaged && versionIn(staged.reach(configFolderName), configured);

    if (const std::optional<std::string> &signedVersion = packageCheck.signedVersion()) {
        newVersion = QString::fromStdString(*signedVersion);
        versionFileFound = true;
        if (brought && configured != newVersion)
            return refuse(QStringLiteral("更新包版本不一致:") + packagePath,
                          QStringLiteral("更新包版本不一致，详情请查看软件日志"));
        return true;
    }
    // Without a key: the configuration as it will be, the package's or the
    // data folder's own.
    const platform::Folder config(platform::openFolderAt(dataFolder.get(), configFolderName));
    versionFileFound = brought || versionIn(config.get(), configured);
    newVersion = configured;
    return true;
}

bool update_form::unzipConfigPackage() {
    if (!configStaged)
        return true; // the configuration package is optional
    if (UnzipResult failure = applyPackage(*configStaged, *this, *transaction))
        return giveUp(*failure);
    return true;
}

bool update_form::undo() {
    package.reset(); // the copy goes with the work folders
    if (!transaction)
        return true;
    const bool changed = transaction->begun();
    const bool undone = static_cast<bool>(transaction->rollback());
    logSetAside(transaction->setAside());
    if (!undone)
        writeLog(
            QStringLiteral("回滚更新失败:") +
            nativePath(appDir + separator() + QString::fromLatin1(UpdateTransaction::journalName)));
    else if (changed)
        writeLog(QStringLiteral("更新已回滚:") + appDir);
    transaction.reset();
    return undone;
}

bool update_form::giveUp(const UnzipFailure &failure) {
    // The entry that failed, then everything goes back before the user
    // hears of it.
    if (!failure.entry.empty()) {
        const QString path =
            fromAnySeparators(QString::fromLocal8Bit(failure.destDir.c_str()) + separator() +
                              QString::fromLocal8Bit(failure.entry.c_str()));
        const bool decoding =
            failure.stage == EntryStage::Decode && failure.result != zipresult::CannotCreate;
        const QString reason = deltaReason(failure.result);
        if (decoding && !reason.isEmpty())
            writeLog(QStringLiteral("差分更新失败:") + path + QStringLiteral(" ") + reason);
        logCannotUpdate(path, failure.osError,
                        decoding
                            ? QStringLiteral("  zip err:0x") + QString::number(failure.result, 16)
                            : QString());
    }
    undo();
    // A package that is corrupted, cut short or otherwise unusable is told
    // as such; "in use" is for what stands in the way at the targets.
    if (failure.site == FailureSite::Package) {
        fail(QStringLiteral("更新包错误:") + packagePath, QStringLiteral("更新异常"),
             QStringLiteral("更新包错误，详情请查看软件日志"));
        return false;
    }
    const QString folder = QString::fromLocal8Bit(failure.destDir.c_str());
    fail(QStringLiteral("解压失败:") + QString::fromLocal8Bit(failure.zipPath.c_str()) +
             QStringLiteral("----->") + folder + QStringLiteral("  lasterr:") +
             QString::fromLocal8Bit(failure.message.c_str()),
         QStringLiteral("解压失败"),
         folder + QStringLiteral(" 正在使用，无法执行更新操作， 详情请查看软件日志"));
    return false;
}

bool update_form::updateRegistry() {
    emit sigPro(100, 86, QString::fromUtf8(registryLabel));
    const QString ini = configDir + separator() + QString::fromLatin1(versionFileName);
    if (!versionFileFound) {
        undo();
        fail(QStringLiteral("配置文件缺失:") + ini, QStringLiteral("解压异常"),
             QStringLiteral("配置文件缺失，详情请查看软件日志"));
        return false;
    }
    if (newVersion.isEmpty()) {
        undo();
        fail(QStringLiteral("版本号缺失:") + ini, QStringLiteral("解压异常"),
             QStringLiteral("版本号缺失，详情请查看软件日志"));
        return false;
    }
    // From here the update stands: a crash goes forward, to the version,
    // the package's removal and reseat.
    const UpdateTransaction::Completion completion{
        newVersion.toStdString(), local8(folderOf(nativePath(configDir))), packageName};
    package.reset(); // the copy goes with the work folders
    if (const platform::Status committed = transaction->commit(completion); !committed)
        return giveUp(UnzipFailure{local8(packagePath), local8(appDir),
                                   "commit update err = " + std::to_string(committed.error()),
                                   zipresult::Ok, committed.error(), FailureSite::Target});
    recordVersion(completion.version);
    emit sigPro(100, 90, QString::fromUtf8(registryLabel));
    return true;
}

void update_form::logSetAside(const std::vector<std::string> &paths) {
    for (const std::string &path : paths)
        writeLog(QStringLiteral("更新前的文件已另存为:") +
                 nativePath(QString::fromLocal8Bit(path.c_str())));
}

void update_form::recordVersion(const std::string &version) {
    // Not verified, as ever: a version that did not reach the registry only
    // shows an older number in the list of installed programs. But it is
    // on the disk before the journal moves past it: a power cut after that
    // would leave the old number for good.
    platform::registryWriteString(uninstallKey, "DisplayVersion", version);
    platform::registryFlushKey(uninstallKey);
}

bool update_form::removePackage(platform::FolderHandle folder, const std::string &name,
                                const QString &path) {
    // Gone from the disk before the journal moves past it: a package that a
    // power cut brought back would be unpacked again.
    return forceDeleteAt(folder, name, path) && platform::flushFolder(folder);
}

bool update_form::clearData() {
    emit sigPro(100, 95, QString::fromUtf8(cleanLabel));
    const bool removed = removePackage(dataFolder.get(), packageName, packagePath);
    if (transaction)
        transaction->reseatDue();
    emit sigPro(100, 100, QString::fromUtf8(cleanLabel));
    return removed;
}

int update_form::unzipProgress(int total, int index, const char *name, const char *name2,
                               bool allEntries) {
    const QString entry = QString::fromLocal8Bit(name);
    writeLog(QStringLiteral("解压成功:") + entry + QStringLiteral("----->") +
             QString::fromLocal8Bit(name2));
    int value;
    if (allEntries)
        value = total < 1 ? 85 : 5 + static_cast<int>(static_cast<double>(index) / total * 80.0);
    else
        value = total < 1 ? 90 : 85 + static_cast<int>(static_cast<double>(index) / total * 5.0);
    emit sigPro(100, value, allEntries ? entry : QStringLiteral("&") + entry);
    return 0;
}

EntryFailureAction update_form::unzipFailed(const char *destDir, const char *name,
                                            const EntryFailure &failure) {
    // A corrupted package is not a file in use: deleting the installed file
    // would only lose it, and no retry can mend the data.
    if (failure.stage == EntryStage::Decode && failure.result != zipresult::CannotCreate)
        return EntryFailureAction::Abort;
    // Only a folder entry is skipped: a file without a dot in its name
    // (LICENSE) is a file like any other, and skipping it would leave the
    // old one in place behind a package reported as extracted.
    const QByteArray entry(name);
    if (entry.endsWith('/') || entry.endsWith('\\'))
        return EntryFailureAction::Skip;
    const QString folder = QString::fromLocal8Bit(destDir);
    const QString path = fromAnySeparators(folder + separator() + QString::fromLocal8Bit(name));
    if (!liesInside(path, folder))
        return EntryFailureAction::Abort;
    if (path.contains(QStringLiteral("user.ini"))) {
        // The user's own settings, locked: the old ones stay, the update goes on.
        writeLog(QStringLiteral("删除文件") + path + QStringLiteral("失败警告"));
        return EntryFailureAction::Skip;
    }
    // Forcing the file out would delete the one copy an undo could put back:
    // its holder is waited for, and only the last failure is told.
    return failure.lastAttempt ? EntryFailureAction::Abort : EntryFailureAction::Retry;
}
