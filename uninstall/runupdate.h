// The uninstaller's worker thread (not the updater's update thread of the
// same name). In one pass it removes the installation
// folder tree, the client's two registry keys, the desktop shortcut and the
// Start-menu entries, and reports every step to the window. It never asks
// before it removes: the user agreed by starting the uninstaller.
#pragma once

#include "msgbox.h"
#include "platform.h"

#include <QString>
#include <QThread>

#include <optional>
#include <string>

class RunUpdate : public QThread {
    Q_OBJECT

public:
    explicit RunUpdate(QString installLocation);

    // Where a report (allCount, nowcount) puts the bar: its share of the
    // points the current step owns, on top of those reached before. Read
    // while the thread waits for its report to be shown.
    int barValue(int allCount, int nowcount) const;

    // Removes a folder tree; true when the folder is gone (or was never
    // there). What resists (files in use, hidden files, which are not
    // listed) keeps its folders, and each folder that stays is logged. Every
    // file is reported, counted over this worker's whole run.
    bool removeDirectory(QString folderPath);

signals:
    // True when the desktop shortcut is gone: the one step whose failure
    // fails the uninstall.
    void sigRunOver(bool);
    // Emitted on this thread. A listener in another thread connects with
    // Qt::BlockingQueuedConnection: the thread then stands still while the
    // report is shown, or until the user has closed the box it asked for.
    void sigPro(int allCount, int nowcount, QString sFile);
    void setInfo(QString title_info, QString info, MSG_GRADE grade, bool is_cancle_hidden,
                 int ifocus = 0);

protected:
    void run() override;

private:
    // removeDirectory of name in the held folder parent, whose path is
    // folderPath.
    bool removeIn(platform::FolderHandle parent, const std::string &name,
                  const QString &folderPath);
    bool removeDesktopShortcut();
    void removeStartMenuEntries();
    // A file counts for the bar whether or not it could be removed.
    void reportFile(const QString &name);

    QString rootPath;
    // Written by the thread only between reports, read by barValue while the
    // thread waits for it: no lock needed.
    int progressBase;
    int progressSpan;
    // Ordinal of the next removed file.
    int fileCounter = 1;
    // The scale of the file reports: the entry count of the run's first
    // folder listing ("." and ".." included). Unset until that listing.
    std::optional<int> totalEntries;
};

// Turns a registry location into a plain folder path: system separators, no
// doubled ones, no trailing one ("\" alone becomes empty).
void normalizePath(QString &path);
