// Deleting a file from outside the process: a hidden batch file in the file's
// folder deletes it (and then itself), retried until the file is gone.
#pragma once

#include <QString>

// Up to six attempts 1500 ms apart; true when the file is gone. Logs the
// attempt and its outcome.
bool forceDeleteFile(QString path);
// One attempt: writes and starts "auto_delete.bat" beside the file; true when
// the file is already gone right after the start.
bool deleteByBatch(QString path);

// A path as a batch line must hold it: cmd.exe would expand "%NAME%" in it,
// so every "%" is doubled.
QString batchQuoted(const QString &path);
