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

// Before the application object: Windows at 125 to 200 % gets the windows
// scaled as a whole at the screen's own factor (not rounded to 1 or 2), so
// every geometry holds in logical pixels and the texts keep fitting their
// labels; images come in the screen's density.
void enableHighDpiScaling();

// Sets both log paths to "velmarinstall.txt" in the all-users documents
// folder. False, and nothing set, when that folder cannot be resolved.
bool resolveLogPath();

// Start-up's first step with the log: resolves its place and writes the
// program's start banner. When the documents folder cannot be resolved it
// shows the box saying so under errorTitle, releases the message box and
// returns false: the program ends, with nothing logged.
bool openLog(const QString &errorTitle, const QString &startBanner);

// A run that ends in a failure (a refused start, a missing client): logs the
// reason, the last error (after lastErrorTag) and the end banner, shows the
// failure in the message box and releases it.
void endInFailure(const QString &reason, const QString &lastErrorTag, const QString &endBanner,
                  const QString &errorTitle, const QString &text);

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
