// What the three programs do alike when they start: find the install log,
// report a failed start, and check the named guards that keep them from
// running beside the client, its installer or each other.
#pragma once

#include "platform.h"

#include <QString>

#include <functional>

namespace guard {
// Held by the client while it runs, and by the updater.
extern const char client[];
// Held by the client's installer package.
extern const char installer[];
// Held by the uninstaller for its whole run.
extern const char uninstaller[];
} // namespace guard

// How a program opens and closes its log and names a failed start: each
// program's, described once.
struct ProgramLog {
    const char *startBanner;
    const char *endBanner; // closes a run that ends in a failure
    const char *errorTitle;
    const char *lastErrorTag; // the last-error line, right before the end banner
};

namespace programs {
extern const ProgramLog update;
extern const ProgramLog reseat;
extern const ProgramLog uninstall;
} // namespace programs

// Before the application object: the test builds' hooks; when settleFirst,
// 1500 ms for whoever started the program to end; links that ordinary
// users made are not followed by this process where Windows offers that;
// and Windows at 125 to 200 % gets the windows scaled as a whole at the
// screen's own factor (not rounded to 1 or 2), so every geometry holds in
// logical pixels and the texts keep fitting their labels.
void prepareStart(bool settleFirst);
// The scaling part of it, alone (for tests of the windows).
void enableHighDpiScaling();

// Sets both log paths to "velmarinstall.txt" in the all-users documents
// folder. False, and nothing set, when that folder cannot be resolved.
bool resolveLogPath();

// Start-up's first step with the log, once the application object and the
// shared message box exist: resolves its place and writes the program's
// start banner. When the documents folder cannot be resolved it shows the
// box saying so, releases the message box and returns false: the program
// ends, with nothing logged.
bool openLog(const ProgramLog &program);

// A run that ends in a failure (a refused start, a missing client): logs the
// reason, the last error (after the program's tag, or lastErrorTag when
// given) and the end banner, shows text in the message box and releases it.
void endInFailure(const ProgramLog &program, const QString &reason, const QString &text,
                  const char *lastErrorTag = nullptr);

// Up to three attempts 500 ms apart (the last failure waits its 500 ms
// too); true at the first that succeeds.
bool withinThreeAttempts(const std::function<bool()> &attempt);

// Shows the shared message box as start-up reports a failure: error grade,
// only the confirm button, the focus on it. Returns when it is closed.
void showStartupError(const QString &title, const QString &text);

// Logs tag + the calling thread's last error, in decimal.
void writeLastErrorLine(const QString &tag);

// Creates the guard asking for ownership. Returns the owned handle; nullptr
// when no handle could be made or the guard existed (that handle is released
// and closed first).
platform::Mutex takeGuard(const char *name);
// takeGuard, then gives the guard back at once: true when nobody held it.
bool probeGuard(const char *name);
