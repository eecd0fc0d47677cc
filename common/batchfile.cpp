#include "batchfile.h"

#include "platform.h"

#include <QFile>

QString batchQuoted(const QString &path) {
    QString escaped = path;
    escaped.replace(QLatin1Char('%'), QLatin1String("%%"));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

namespace {

// Clears the place for a new file: a link is removed as a link, a file as a
// file; a folder, or a file that cannot go (read-only, in use), stays and
// fails the write.
bool clearPlace(const std::string &file) {
    const uint32_t attributes = platform::pathAttributes(file);
    if (attributes == platform::attribute::Invalid) {
        const uint32_t error = platform::lastError();
        return error == platform::error::FileNotFound || error == platform::error::PathNotFound;
    }
    if (attributes & platform::attribute::ReparsePoint)
        return platform::removeLink(file);
    return platform::deleteFile(file);
}

} // namespace

bool writeBatchFile(const QString &path, const QStringList &lines) {
    QByteArray content;
    for (const QString &line : lines) {
        std::string encoded;
        if (!platform::utf8ToOem8Bit(line.toStdString(), encoded))
            return false;
        content.append(encoded.data(), static_cast<int>(encoded.size()));
        content.append('\n');
    }
    const std::string file = path.toStdString();
    if (!clearPlace(file))
        return false;
    // NewOnly: whatever appeared in the place since it was cleared, a link
    // included, makes the open fail instead of being written through.
    QFile batch(path);
    if (!batch.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Text))
        return false;
    const bool written = batch.write(content) == content.size();
    batch.close();
    QFile check(path);
    if (written && batch.error() == QFileDevice::NoError &&
        check.open(QIODevice::ReadOnly | QIODevice::Text) && check.readAll() == content)
        return true;
    check.close();
    platform::deleteFile(file);
    return false;
}
