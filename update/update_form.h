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

// A thread object only to carry the signals: it is never started.
class update_form : public QThread {
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

    // The extraction driver's reports, through its callbacks.
    int unzipProgress(int total, int index, const char *name, const char *name2, bool allEntries);
    int unzipError(const char *zipPath, const char *destDir, const char *message);

    static bool dirExists(QString path);
    static bool fileExists(QString path);

signals:
    void sigPro(int allCount, int nowcount, QString sFile);
    void setInfo(QString title_info, QString info, MSG_GRADE grade, bool is_cancle_hidden,
                 int ifocus);

private:
    // Logs the failure and asks for the message box (error, confirm only).
    void fail(const QString &logLine, const QString &title, const QString &text);

    QString configDir;
    QString packagePath;
    QString appDir;
    const QString programFolder;
    PackageCheck packageCheck;
};

// The update_form that the extraction callbacks report to.
extern update_form *currentUpdateForm;

// The driver's callbacks as the updater gives them.
int unzipProgressCallback(int total, int index, const char *name, const char *name2,
                          bool allEntries);
int unzipErrorCallback(const char *zipPath, const char *destDir, const char *message);
EntryFailureAction unzipFailedCallback(const char *destDir, const char *name, uint32_t result);
bool unzipCheckCallback(const char *destDir, const char *name);
