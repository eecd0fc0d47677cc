#include "paths.h"

#include "platform.h"

#include <QCoreApplication>
#include <QDir>

QString nativePath(const QString &path) {
    return QDir::toNativeSeparators(path);
}

QString fromAnySeparators(const QString &path) {
    QString result = path;
    result.replace(QLatin1Char('\\'), QDir::separator());
    result.replace(QLatin1Char('/'), QDir::separator());
    return result;
}

QString separator() {
    return QString(QDir::separator());
}

QString applicationFolder() {
    return nativePath(QCoreApplication::applicationDirPath());
}

QString programFile(const QString &folder, const QString &name) {
    return folder + separator() + name + QString::fromLatin1(platform::programSuffix);
}

QString folderOf(const QString &path) {
    const int last = path.lastIndexOf(QDir::separator());
    return last < 0 ? path : path.left(last);
}
