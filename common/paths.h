// Paths as the programs build them: from the application folder or a special
// folder, joined and normalised with the system's own separator ("\" on
// Windows, "/" on the stand-in), and program files with the system's suffix.
#pragma once

#include <QString>

// Every "/" (on Windows) turned into the system's separator.
QString nativePath(const QString &path);
// Both "/" and "\" turned into the system's separator: for paths built from
// ZIP entry names, which the 8-bit file functions read with either.
QString fromAnySeparators(const QString &path);
// The system's separator as a one-character string.
QString separator();
// The running program's folder, with the system's separators.
QString applicationFolder();
// folder + separator + name + ".exe" (no suffix on the stand-in).
QString programFile(const QString &folder, const QString &name);
// The part of path before its last separator; the whole path when it has
// none.
QString folderOf(const QString &path);
