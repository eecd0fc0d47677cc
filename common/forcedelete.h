// Deleting a file from outside the process: a hidden batch file deletes it
// (and then itself), retried until the file is gone.
#pragma once

#include "platform.h"

#include <QString>

#include <string>

// Up to six attempts 1500 ms apart; true when the file is gone. Logs the
// attempt and its outcome. A folder fails at once: it is not a file.
bool forceDeleteFile(QString path);
// The same for the file name in the held folder, where others can write:
// each attempt deletes it through the folder (its read-only mark cleared
// first), never by path, and no batch file is written there. path names it
// in the log.
bool forceDeleteAt(platform::FolderHandle folder, const std::string &name, const QString &path);
// One attempt: writes and starts "auto_delete.bat" beside the file (in this
// process's temporary folder under a name of its own when the file lies where
// other users can write); true when the file is already gone right after the
// start. A batch file that could not be written whole is not started.
bool deleteByBatch(QString path);
