#include "installlog.h"

#include "platform.h"

#include <QByteArray>
#include <QDateTime>
#include <QTextCodec>

#include <cstring>
#include <mutex>
#include <string>

namespace {

// The log file, opened at its first line and held for the rest of the run:
// an open, a look and a lock for each line cost more than the line. Until
// it opens (its folder missing, the file held without sharing) each line
// tries again and is dropped, as before. The path is converted once, not
// for every line.
struct LogFile {
    std::mutex lock;
    std::string path = "install.log";
    platform::File file;
};

LogFile &logFile() {
    static LogFile log;
    return log;
}

QString &linkPath() {
    static QString path = QStringLiteral("C:\\Users\\Public\\Documents\\velmarinstall.txt");
    return path;
}

// The system's code page, as a text stream without a codec writes in it.
QByteArray inCodePage(const QString &text) {
    return QTextCodec::codecForLocale()->fromUnicode(text);
}

// The time stamp and ":::" for the second now, in the code page: a second
// holds many lines, and formatting the stamp (day names in the system's
// locale) costs more than the rest of a line. The calendar time is already
// local: taken as it is, it needs no look at the time zone. Kept per thread
// in plain storage: a thread-local object with a destructor is torn down
// unreliably when a thread of a MinGW build ends.
struct Stamp {
    platform::CalendarTime second;
    int size;
    char text[96];
};

QByteArray stampNow() {
    thread_local Stamp stamp{};
    const platform::CalendarTime now = platform::localTime();
    const platform::CalendarTime &shown = stamp.second;
    if (stamp.size == 0 || now.second != shown.second || now.minute != shown.minute ||
        now.hour != shown.hour || now.day != shown.day || now.month != shown.month ||
        now.year != shown.year) {
        const QDateTime time(QDate(now.year, now.month, now.day),
                             QTime(now.hour, now.minute, now.second), Qt::UTC);
        const QByteArray text = inCodePage(
            time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss ddd")) + QStringLiteral(":::"));
        if (text.size() > static_cast<int>(sizeof stamp.text))
            return text; // a locale's day name beyond all measure: not kept
        std::memcpy(stamp.text, text.constData(), static_cast<std::size_t>(text.size()));
        stamp.size = text.size();
        stamp.second = now;
    }
    return QByteArray(stamp.text, stamp.size);
}

} // namespace

void writeLog(const QString &message) {
    // The line as a text stream writes a text file (the system's code page,
    // its line ends, a line break inside the message included), appended in
    // one piece: programs and threads that log at the same moment never
    // tear or overwrite each other's lines.
    QByteArray line = stampNow();
    QByteArray text = inCodePage(message);
    if (platform::textLineEnd[1] != '\0')
        text.replace('\n', platform::textLineEnd);
    line += text;
    line += platform::textLineEnd;
    LogFile &log = logFile();
    const std::lock_guard<std::mutex> held(log.lock);
    if (!log.file)
        log.file.reset(platform::openForAppending(log.path));
    if (log.file)
        platform::appendToFile(log.file.get(), line.constData(),
                               static_cast<std::size_t>(line.size()));
}

void setLogFilePath(const QString &path) {
    LogFile &log = logFile();
    const std::lock_guard<std::mutex> held(log.lock);
    log.path = path.toStdString();
    log.file.reset();
}

void setLogLinkPath(const QString &path) {
    linkPath() = path;
}

QString logLinkPath() {
    return linkPath();
}
