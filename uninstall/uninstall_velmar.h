// The uninstaller's only window: a frameless, draggable panel with the
// progress of the worker, then a success panel (or, after a failure, it
// closes itself). It also starts the uninstall three seconds after it is
// shown, and its finishing step leaves the batch files behind that remove
// the client's folders once the uninstaller has ended.
#pragma once

#include "msgbox.h"

#include <QMainWindow>
#include <QString>

#include <functional>
#include <memory>

class QTimer;
class RunUpdate;

namespace Ui {
class uninstall_velmarClass;
}

class uninstall_velmar : public QMainWindow {
    Q_OBJECT

public:
    explicit uninstall_velmar(QWidget *parent = nullptr);
    ~uninstall_velmar() override;

    // Reads the installation location and prepares the run. False (after
    // telling the user) when the client is not registered: the window must
    // then never be shown.
    bool initUninstall();
    // Shows what worker reports, on the bar and in the message box.
    void watch(RunUpdate *worker);
    // The end of the program, after the event loop (or after initUninstall
    // said no): see the .cpp for what happens when.
    void finish();
    RunUpdate *uninstallWorker() const { return worker.get(); }

    void setProgress(int maximum, int value, const QString &text);

public slots:
    void slotRunOver(bool bSuc);
    void slotStart();
    // Asks first while the worker runs.
    void slotClose();
    void slotSetInfo(QString title_info, QString info, MSG_GRADE grade, bool is_cancle_hidden,
                     int ifocus = 0);

private:
    std::unique_ptr<Ui::uninstall_velmarClass> ui;
    MsgBox *msgBox = nullptr; // the shared one, not ours
    // Made without a Qt parent, as the worker thread of the window; ours.
    std::unique_ptr<RunUpdate> worker;
    bool running = false;
    // The window's children.
    QTimer *closeTimer = nullptr;
    QTimer *startTimer = nullptr;
    QString installLocation;
    // A box the worker asked for while the shared box was taken by the close
    // question; shown once that is answered.
    std::function<void()> pendingBox;
};

// Replaces value, which holds a value name, by that string value of the key
// under HKEY_LOCAL_MACHINE; empty when the key or the value is missing.
void readRegistryString(const QString &key, QString &value);

// Writes the batch file that, about three seconds after it was started,
// removes targetFolder with everything in it and then itself:
// "velmar_delete.bat" in batchFolder when FirstName is true, else
// "velmar_delete1.bat". False when it could not be written whole.
bool writeDeleteBatch(const QString &targetFolder, const QString &batchFolder, bool FirstName);
