// The uninstaller's worker thread. In one pass it removes the installation
// folder tree, the client's two registry keys, the desktop shortcut and the
// Start-menu entries, and reports every step to the window. It never asks
// before it removes: the user agreed by starting the uninstaller.
#pragma once

#include "msgbox.h"

#include <QString>
#include <QThread>

#include <optional>

class uninstall_velmar;

class RunUpdate : public QThread {
    Q_OBJECT

public:
    // Created in the GUI thread without a parent, so that its slots run there
    // while the thread body waits for them.
    RunUpdate(uninstall_velmar *window, QString installLocation);

signals:
    // True when the desktop shortcut is gone: the one step whose failure
    // fails the uninstall.
    void sigRunOver(bool);
    void sigPro(int allCount, int nowcount, QString sFile);
    void setInfo(QString title_info, QString info, MSG_GRADE grade, bool is_cancle_hidden,
                 int ifocus = 0);

public slots:
    void slotSetInfo(QString title_info, QString info, MSG_GRADE grade, bool is_cancle_hidden,
                     int ifocus = 0);
    // Scales a report into the points of the bar the current step owns.
    void slotPro(int allCount, int nowcount, QString sFile);

protected:
    void run() override;

private:
    bool removeDesktopShortcut();
    void removeStartMenuEntries();

    uninstall_velmar *uninstallWindow;
    QString rootPath;
    // Written by the thread only between reports, read by slotPro while the
    // thread waits for it: no lock needed.
    int progressBase;
    int progressSpan;
};

// The worker that every report goes out on, also from inside removeDirectory;
// set by each RunUpdate constructor and never cleared.
extern RunUpdate *currentWorker;
// Ordinal of the next removed file, counted over the whole process.
extern int fileCounter;
// The scale of the file reports: the entry count of the process's first
// folder listing ("." and ".." included). Unset until that listing.
extern std::optional<int> totalEntries;

// Removes a folder tree; true when the folder is gone (or was never there).
// What resists (files in use, hidden files, which are not listed) keeps its
// folders, and each folder that stays is logged.
bool removeDirectory(QString folderPath);

// Turns a registry location into a plain folder path: system separators, no
// doubled ones, no trailing one ("\" alone becomes empty).
void normalizePath(QString &path);
