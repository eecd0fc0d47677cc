// The update itself, step by step, on the update thread: check the
// environment and the package, unpack the package into the application
// folder and the configuration entries into the client's data folder, record
// the new version, remove the package. Progress and failures leave through
// two signals that the thread forwards to the dialog and the message box.
//
// The data folder lies where every user can write: it is opened once, and
// everything there (the package, the configuration, the update's own work)
// is reached through that open folder, never by path again.
#pragma once

#include "msgbox.h"
#include "packagecheck.h"
#include "paths.h"
#include "unzippackage.h"

#include <QString>
#include <QThread>

#include <memory>
#include <optional>
#include <string>
#include <vector>

// A thread object only to carry the signals: it is never started. It
// listens to the extraction driver for the packages it unpacks.
class update_form : public QThread, public UnzipListener {
    Q_OBJECT

public:
    // The application folder is the running program's unless a test says
    // otherwise.
    explicit update_form(const QString &applicationFolder = ::applicationFolder());

    bool initCheck();
    bool unzipUpdatePackage();
    bool unzipConfigPackage();
    bool updateRegistry();
    bool clearData();
    // The last-error line and the end banner that close every run's log.
    void writeEndLines();

    // The extraction driver's reports.
    int unzipProgress(int total, int index, const char *name, const char *name2,
                      bool allEntries) override;
    // A target that cannot be moved aside (in use) is waited for; a locked
    // "user.ini" keeps its content; anything else gives the package up.
    EntryFailureAction unzipFailed(const char *destDir, const char *name,
                                   const EntryFailure &failure) override;

    // What a finished update leaves to its end, here or (after a crash) at
    // the next start: the version into the uninstall entry, and the package
    // (name in the held folder, path in the log) removed.
    static void recordVersion(const std::string &version);
    // Logs where an undo put the old files whose names the user had taken
    // meanwhile.
    static void logSetAside(const std::vector<std::string> &paths);
    static bool removePackage(platform::FolderHandle folder, const std::string &name,
                              const QString &path);

signals:
    void sigPro(int allCount, int nowcount, QString sFile);
    void setInfo(QString title_info, QString info, MSG_GRADE grade, bool is_cancle_hidden,
                 int ifocus);

private:
    // Logs the failure and asks for the message box (error, confirm only).
    void fail(const QString &logLine, const QString &title, const QString &text);
    // The package is refused before anything changed: its work folders go,
    // then the failure is told.
    bool refuse(const QString &logLine, const QString &text);
    // The update is given up: undone first, then the failure told.
    bool giveUp(const UnzipFailure &failure);
    // Rolls the update back, if one is under way, and logs what became of
    // it; false when something could not be undone (the journal stays for
    // the next start).
    bool undo();
    // The client's data folder and its Config folder, held; the package,
    // opened there (not yet read).
    bool openDataFolder();
    bool openPackage();
    // Copies the package into the update's own folder, checking it on the
    // way, and holds the copy: nothing is read from the data folder's
    // package after this.
    bool takePackage();
    // The configuration package, when the update package delivers one.
    std::optional<UnzipFailure> stageConfigPackage();
    // The version the update will record, before anything changes: the one
    // the publisher signed (which a configuration the package brings must
    // agree with), or in a build without a key the configuration's.
    bool decideVersion();

    QString configDir;
    QString packagePath;
    QString appDir;
    const QString programFolder;
    PackageCheck packageCheck;

    platform::Folder dataFolder;
    platform::File package; // the update's own copy, held from its check to the end
    std::unique_ptr<UpdateTransaction> transaction;
    int installRoot = -1;
    StagedPackage updateStaged;
    std::optional<StagedPackage> configStaged;
    // "veconfig.ini" as it will be once the update stands.
    bool versionFileFound = false;
    QString newVersion;
};
