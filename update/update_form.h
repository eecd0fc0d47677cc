// The update itself, step by step, on the update thread: check the
// environment and the package, unpack the package into the application
// folder and the configuration entries into the client's data folder, record
// the new version, remove the package. Progress and failures leave through
// two signals that the thread forwards to the dialog and the message box.
#pragma once

#include "msgbox.h"
#include "packagecheck.h"
#include "paths.h"
#include "unzippackage.h"

#include <QString>
#include <QThread>

#include <memory>
#include <string>

// A thread object only to carry the signals: it is never started. It
// listens to the extraction driver for the packages it unpacks.
class update_form : public QThread, public UnzipListener {
    Q_OBJECT

public:
    // The application folder is the running program's unless a test says
    // otherwise.
    explicit update_form(const QString &applicationFolder = ::applicationFolder());
    ~update_form() override;

    bool initCheck();
    bool unzipUpdatePackage();
    bool unzipConfigPackage();
    bool updateRegistry();
    bool clearData();

    // The extraction driver's reports.
    int unzipProgress(int total, int index, const char *name, const char *name2,
                      bool allEntries) override;
    int unzipError(const char *zipPath, const char *destDir, const char *message) override;
    // A target that cannot be moved aside (in use) is tried again later; a
    // locked "user.ini" keeps its content; anything else gives the package
    // up.
    EntryFailureAction unzipFailed(const char *destDir, const char *name,
                                   const EntryFailure &failure) override;
    // The entry is in place when something is at its path, as the file
    // system has it: a shortcut or link is there itself, whatever it names.
    bool unzipCheck(const char *destDir, const char *name) override;

    // The update's journal in the installation folder (see UpdateTransaction).
    static std::string journalFile(const QString &applicationFolder);

    static bool dirExists(QString path);
    static bool fileExists(QString path);

signals:
    void sigPro(int allCount, int nowcount, QString sFile);
    void setInfo(QString title_info, QString info, MSG_GRADE grade, bool is_cancle_hidden,
                 int ifocus);

private:
    // Logs the failure and asks for the message box (error, confirm only).
    void fail(const QString &logLine, const QString &title, const QString &text);
    // Rolls the update back, if one is under way, and logs what became of
    // it; false when something could not be undone (the journal stays for
    // the next start).
    bool undo();

    // The update as one change, from the first package read through to the
    // version recorded.
    std::unique_ptr<UpdateTransaction> transaction;
    StagedPackage updateStaged;
    std::unique_ptr<StagedPackage> configStaged;

    QString configDir;
    QString packagePath;
    QString appDir;
    const QString programFolder;
    PackageCheck packageCheck;
};
