// The install log: one text file that every program appends to, a line at a
// time, run after run ("yyyy-MM-dd hh:mm:ss ddd:::message" + CR LF, in the
// system's code page).
#pragma once

#include <QString>

// Appends one time-stamped line to the log file. A line that cannot be
// written is dropped without a word: logging never stops the programs.
void writeLog(const QString &message);

// The file that writeLog appends to ("install.log" until start-up sets it).
void setLogFilePath(const QString &path);
// The file that the message box's log link opens; the updater also finds the
// client's data folder beside it.
void setLogLinkPath(const QString &path);
QString logLinkPath();
