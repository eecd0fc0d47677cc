// What the three programs do alike when they start: find the install log,
// report a failed start, and check the named guards that keep them from
// running beside the client, its installer or each other.
#pragma once

#include "platform.h"

#include <QString>

namespace guard {
// Held by the client while it runs, and by the updater.
extern const char client[];
// Held by the client's installer package.
extern const char installer[];
// Held by the uninstaller for its whole run.
extern const char uninstaller[];
} // namespace guard

// A start-up step failed; text is what the message box tells the user.
struct StartupError {
    QString text;
};

// Sets both log paths to "velmarinstall.txt" in the all-users documents
// folder. False, and nothing set, when that folder cannot be resolved.
bool resolveLogPath();

// Shows the shared message box as start-up reports a failure: error grade,
// only the confirm button, the focus on it. Returns when it is closed.
void showStartupError(const QString &title, const QString &text);

// Logs tag + the calling thread's last error, in decimal.
void writeLastErrorLine(const QString &tag);

// Creates the guard asking for ownership. Returns the owned handle; nullptr
// when no handle could be made or the guard existed (that handle is released
// and closed first).
platform::MutexHandle takeGuard(const char *name);
// takeGuard, then gives the guard back at once: true when nobody held it.
bool probeGuard(const char *name);
