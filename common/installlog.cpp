#include "installlog.h"

#include "platform.h"

#include <QBuffer>
#include <QDateTime>
#include <QTextStream>

namespace {

QString &logFilePath() {
    static QString path = QStringLiteral("install.log");
    return path;
}

QString &linkPath() {
    static QString path = QStringLiteral("C:\\Users\\Public\\Documents\\velmarinstall.txt");
    return path;
}

} // namespace

void writeLog(const QString &message) {
    // The line is formatted the way a text stream writes a text file (the
    // system's code page, the system's line end), then appended in one piece:
    // programs and threads that log at the same moment never tear or
    // overwrite each other's lines, and no handle stays open between lines.
    QByteArray line;
    QBuffer buffer(&line);
    buffer.open(QIODevice::WriteOnly | QIODevice::Text);
    {
        QTextStream stream(&buffer);
        // The calendar time is already local: taken as it is, it needs no
        // look at the time zone, which Qt would make again for every line.
        const platform::CalendarTime now = platform::localTime();
        const QDateTime stamp(QDate(now.year, now.month, now.day),
                              QTime(now.hour, now.minute, now.second), Qt::UTC);
        stream << stamp.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss ddd")) << ":::" << message
               << "\n";
    }
    platform::appendToFile(logFilePath().toStdString(), line.constData(),
                           static_cast<std::size_t>(line.size()));
}

void setLogFilePath(const QString &path) {
    logFilePath() = path;
}

void setLogLinkPath(const QString &path) {
    linkPath() = path;
}

QString logLinkPath() {
    return linkPath();
}
