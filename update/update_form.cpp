#include "update_form.h"

#include "forcedelete.h"
#include "installfolder.h"
#include "installlog.h"
#include "paths.h"
#include "platform.h"
#include "startup.h"
#include "unzippackage.h"
#include "zipreader.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace {

const char endBanner[] =
    "***************************自动升级程序---解压---结束*******************************";
const char uninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\velmar";
const char checkLabel[] = "初始化检查";
const char registryLabel[] = "更新注册表";
const char cleanLabel[] = "清理数据";

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

} // namespace

update_form::update_form(const QString &applicationFolder) : programFolder(applicationFolder) {}

update_form::~update_form() {
    writeLastErrorLine(QStringLiteral("update---lasterr："));
    writeLog(QString::fromUtf8(endBanner));
}

bool update_form::dirExists(QString path) {
    return QFileInfo(nativePath(path)).isDir();
}

bool update_form::fileExists(QString path) {
    return QFileInfo::exists(path);
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
    QString suffix = separator() + QStringLiteral("velmar");
    QFile configPath(programFolder + separator() + QStringLiteral("exeinfo") + separator() +
                     QStringLiteral("ConfigPath.txt"));
    if (configPath.open(QIODevice::ReadOnly)) {
        suffix += dataFolderSuffix(configPath.readAll());
        configPath.close();
    }
    const QString documents = folderOf(logLinkPath());
    const QString pathMissingText = QStringLiteral("运行路径缺失，详情请查看软件日志");

    configDir = documents + suffix;
    if (!isPlainName(suffix.mid(separator().size())) || !dirExists(configDir)) {
        fail(QStringLiteral("通用路径缺失:") + configDir, QStringLiteral("解压异常"),
             pathMissingText);
        return false;
    }
    emit sigPro(100, 1, QString::fromUtf8(checkLabel));

    configDir += separator() + QStringLiteral("Config");
    if (!dirExists(configDir)) {
        fail(QStringLiteral("通用路径缺失:") + configDir, QStringLiteral("解压异常"),
             pathMissingText);
        return false;
    }
    emit sigPro(100, 3, QString::fromUtf8(checkLabel));

    packagePath = documents + suffix + separator() + QStringLiteral("update.zip");
    if (!fileExists(packagePath)) {
        fail(QStringLiteral("更新包缺失:") + packagePath, QStringLiteral("解压异常"),
             QStringLiteral("更新包缺失，详情请查看软件日志"));
        return false;
    }
    QFile package(packagePath);
    if (!package.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("更新包错误:") + packagePath, QStringLiteral("更新异常"),
             QStringLiteral("更新包错误，详情请查看软件日志"));
        return false;
    }
    if (package.size() <= 0) {
        fail(QStringLiteral("更新包为空:") + packagePath, QStringLiteral("更新异常"),
             QStringLiteral("更新包无有效数据，详情请查看软件日志"));
        return false;
    }
    package.close();
    if (!packageCheck.accept(packagePath.toLocal8Bit().toStdString())) {
        fail(QStringLiteral("更新包签名无效:") + packagePath, QStringLiteral("更新异常"),
             QStringLiteral("更新包签名无效，详情请查看软件日志"));
        return false;
    }
    appDir = programFolder;
    emit sigPro(100, 5, QString::fromUtf8(checkLabel));
    return true;
}

std::string update_form::journalFile(const QString &applicationFolder) {
    return (applicationFolder + separator() + QString::fromLatin1(UpdateTransaction::journalName))
        .toLocal8Bit()
        .toStdString();
}

bool update_form::unzipUpdatePackage() {
    // Both packages are read through before the first file changes: the
    // configuration package as the update package delivers it, when it does.
    const std::string app = appDir.toLocal8Bit().toStdString();
    transaction = std::make_unique<UpdateTransaction>(journalFile(appDir));
    if (!stagePackage(packagePath.toLocal8Bit().toStdString(),
                      packagePath.toLocal8Bit().toStdString(), app, *this, true, *transaction,
                      updateStaged))
        return false;
    const QString configPackage = appDir + separator() + QStringLiteral("Config.zip");
    const std::string configName = configPackage.toLocal8Bit().toStdString();
    std::string configSource = transaction->stagingFolder(0) + "/Config.zip";
    // The transaction's paths are in the local code page, as the reader's.
    if (platform::fileAttributesA(configSource.c_str()) == platform::attribute::Invalid)
        configSource = QFileInfo::exists(configPackage) ? configName : std::string();
    if (!configSource.empty()) {
        const std::string dataFolder = folderOf(nativePath(configDir)).toLocal8Bit().toStdString();
        configStaged = std::make_unique<StagedPackage>();
        if (!stagePackage(configName, configSource, dataFolder, *this, false, *transaction,
                          *configStaged))
            return false;
    }
    return applyPackage(updateStaged, *this, *transaction);
}

bool update_form::unzipConfigPackage() {
    if (!configStaged)
        return true; // the configuration package is optional
    return applyPackage(*configStaged, *this, *transaction);
}

bool update_form::undo() {
    if (!transaction)
        return true;
    const bool changed = transaction->begun();
    const bool undone = transaction->rollback();
    if (!undone)
        writeLog(QStringLiteral("回滚更新失败:") +
                 QString::fromLocal8Bit(journalFile(appDir).c_str()));
    else if (changed)
        writeLog(QStringLiteral("更新已回滚:") + appDir);
    transaction.reset();
    return undone;
}

bool update_form::updateRegistry() {
    emit sigPro(100, 86, QString::fromUtf8(registryLabel));
    const QString ini = configDir + separator() + QStringLiteral("veconfig.ini");
    if (!fileExists(ini)) {
        undo();
        fail(QStringLiteral("配置文件缺失:") + ini, QStringLiteral("解压异常"),
             QStringLiteral("配置文件缺失，详情请查看软件日志"));
        return false;
    }
    const QSettings settings(ini, QSettings::IniFormat);
    const QString version = settings.value(QStringLiteral("Server/Version"), QString()).toString();
    if (version.isEmpty()) {
        undo();
        fail(QStringLiteral("版本号缺失:") + ini, QStringLiteral("解压异常"),
             QStringLiteral("版本号缺失，详情请查看软件日志"));
        return false;
    }
    // From here the update stands: a crash goes forward to reseat.
    if (transaction && !transaction->commit()) {
        const QString message =
            QStringLiteral("commit update err = ") + QString::number(platform::lastError());
        unzipError(packagePath.toLocal8Bit().constData(), appDir.toLocal8Bit().constData(),
                   message.toLocal8Bit().constData());
        return false;
    }
    transaction.reset();
    // Not verified, as ever: a version that did not reach the registry only
    // shows an older number in the list of installed programs.
    platform::registryWriteString(uninstallKey, "DisplayVersion", version.toStdString());
    emit sigPro(100, 90, QString::fromUtf8(registryLabel));
    return true;
}

bool update_form::clearData() {
    emit sigPro(100, 95, QString::fromUtf8(cleanLabel));
    packageCheck.release(); // a package held open could not be deleted
    const bool removed = forceDeleteFile(packagePath);
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

int update_form::unzipError(const char *zipPath, const char *destDir, const char *message) {
    // Everything goes back before the user hears of it.
    undo();
    const QString folder = QString::fromLocal8Bit(destDir);
    fail(QStringLiteral("解压失败:") + QString::fromLocal8Bit(zipPath) + QStringLiteral("----->") +
             folder + QStringLiteral("  lasterr:") + QString::fromLocal8Bit(message),
         QStringLiteral("解压失败"),
         folder + QStringLiteral(" 正在使用，无法执行更新操作， 详情请查看软件日志"));
    return 0;
}

EntryFailureAction update_form::unzipFailed(const char *destDir, const char *name,
                                            const EntryFailure &failure) {
    const QString folder = QString::fromLocal8Bit(destDir);
    const QString path = fromAnySeparators(folder + separator() + QString::fromLocal8Bit(name));
    // A corrupted package is not a file in use: deleting the installed file
    // would only lose it, and no retry can mend the data.
    if (failure.result != zipresult::CannotCreate) {
        logCannotUpdate(path, failure.osError,
                        QStringLiteral("  zip err:0x") + QString::number(failure.result, 16));
        return entryfailure::Abort;
    }
    // Only a folder entry is skipped: a file without a dot in its name
    // (LICENSE) is a file like any other, and skipping it would leave the
    // old one in place behind a package reported as extracted.
    const QByteArray entry(name);
    if (entry.endsWith('/') || entry.endsWith('\\'))
        return entryfailure::Skip;
    if (!liesInside(path, folder)) {
        logCannotUpdate(path, failure.osError);
        return entryfailure::Abort;
    }
    if (path.contains(QStringLiteral("user.ini"))) {
        // The user's own settings, locked: the old ones stay, the update goes on.
        writeLog(QStringLiteral("删除文件") + path + QStringLiteral("失败警告"));
        return entryfailure::KeepExisting;
    }
    // Forcing the file out would delete the one copy an undo could put back:
    // wait for its holder instead, and try again.
    logCannotUpdate(path, failure.osError);
    return entryfailure::Retry;
}

bool update_form::unzipCheck(const char *destDir, const char *name) {
    const QString path = fromAnySeparators(QString::fromLocal8Bit(destDir) + separator() +
                                           QString::fromLocal8Bit(name));
    return platform::pathExists(path.toStdString());
}
