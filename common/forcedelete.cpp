#include "forcedelete.h"

#include "installlog.h"
#include "paths.h"
#include "platform.h"

#include <QFile>
#include <QTextStream>

QString batchQuoted(const QString &path) {
    QString escaped = path;
    escaped.replace(QLatin1Char('%'), QLatin1String("%%"));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

bool deleteByBatch(QString path) {
    path = nativePath(path);
    const QString folder = folderOf(path);
    const QString batchPath = folder + separator() + QStringLiteral("auto_delete.bat");

    QFile batch(batchPath);
    if (batch.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        QTextStream stream(&batch);
        stream << "del " << batchQuoted(path) << " /q /f"
               << "\n"
               << "del " << batchQuoted(batchPath) << " /q /f"
               << "\n";
    }
    batch.close();
    // Started even when it could not be written: an old copy may still do.
    platform::shellOpen(batchPath.toStdString(), folder.toStdString(), platform::ShowCommand::Hide);
    return !platform::pathExists(path.toStdString());
}

bool forceDeleteFile(QString path) {
    writeLog(QStringLiteral("强制删除文件:") + path);
    for (int attempt = 0;; ++attempt) {
        if (deleteByBatch(path)) {
            writeLog(QStringLiteral("删除文件") + path + QStringLiteral("成功"));
            return true;
        }
        if (attempt == 5) {
            writeLog(QStringLiteral("删除文件") + path + QStringLiteral("失败"));
            return false;
        }
        platform::sleepMs(1500);
    }
}
