// The batch files the programs start. The programs run elevated, so a batch
// file is started only when this process has just written all of it: one
// that someone else left or changed could hold any command.
#pragma once

#include <QString>
#include <QStringList>

// A path as a batch line must hold it: cmd.exe would expand "%NAME%" in it,
// so every "%" is doubled.
QString batchQuoted(const QString &path);

// Writes lines as a new batch file at path: deletes whatever is there first,
// creates the file exclusively, writes the lines in the code page cmd.exe
// reads them in with the system's line ends, closes it and reads it back.
// False when any step fails (a file that could not be replaced, a character
// the code page lacks, a short write, other content read back); then the
// file must not be started.
bool writeBatchFile(const QString &path, const QStringList &lines);
