// Whether the updater can work in its installation folder at all. It names
// every file there in the ANSI code page, in paths no longer than Windows'
// MAX_PATH (the 8-bit names of the ZIP reader and the update's journal,
// staging and backup folders): a folder with a character the code page
// lacks, or one so deep that its own work folders would not fit, fails at the
// first file it touches, after the client was already kept from starting.
#pragma once

#include <QString>

#include <optional>

// Why the update cannot be made in a folder: the log line and the message
// box that say so.
struct InstallFolderRefusal {
    QString logLine;
    QString title;
    QString text;
};

// Nothing when the updater can work in folder, the refusal otherwise.
std::optional<InstallFolderRefusal> refuseInstallFolder(const QString &folder);
