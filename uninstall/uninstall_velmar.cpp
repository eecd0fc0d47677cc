#include "uninstall_velmar.h"

#include "batchfile.h"
#include "framelesswindow.h"
#include "installlog.h"
#include "paths.h"
#include "platform.h"
#include "ui_uninstall_velmar.h"
#include "uninstall/runupdate.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPixmap>
#include <QTimer>

#include <cstdlib>
#include <utility>

namespace {

const char exitBanner[] =
    "***************************Orvane安装程序---安装---退出*******************************";
const char clientAppPathsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\velmar";

const char windowStyle[] =
    "QWidget#widget_ok_show{ background-image:url(:/Resources/install/successed.png)}\n"
    "QWidget#centralWidget{ background-image:url(:/Resources/main/main-bg.png)}";
const char progressStyle[] =
    "QProgressBar{border:none; background:rgb(210, 225, 240); border-radius:3px; "
    "text-align:center; }QProgressBar::chunk{ background:rgb(60, 140, 220); "
    "border-radius:3px; }";
const char closeStyle[] =
    "QPushButton{border-image: url(:/Resources/install/close-normal.png);border:0;outline:0;}"
    "QPushButton:hover{border-image: url(:/Resources/install/close-hover.png);border:0;outline:0;}"
    "QPushButton:pressed{border-image: "
    "url(:/Resources/install/close-active.png);border:0;outline:0;}";
const char exitStyle[] =
    "QPushButton{font-size: 14px;font-weight:bold;color:#666666;font-family: \"宋体\";}"
    "QPushButton{border-image: url(:/Resources/install/calcle-normal.png);border:0;outline:0;}"
    "QPushButton:hover{border-image: url(:/Resources/install/cancle-hover.png);border:0;outline:0;}"
    "QPushButton:pressed{border-image: "
    "url(:/Resources/install/cancle-active.png);border:0;outline:0;}";
const char runFileStyle[] = "QLabel{font-size: 12px;color:#999999;font-family: \"宋体\";}";
const char successTipStyle[] = "QLabel{font-size: 18px;color:#4db117;font-family: \"微软雅黑\";}";
const char titleStyle[] = "QLabel{font-size: 12px;color:#ffffff;font-family: \"宋体\";}";

const char firstBatch[] = "velmar_delete.bat";
const char secondBatch[] = "velmar_delete1.bat";

// cmd.exe reads a batch file in the OEM code page, and it can neither start
// in nor remove a folder whose batch file there would pass MAX_PATH.
bool cmdTakes(const QString &folder) {
    std::string oem;
    return folder.size() + 1 + static_cast<int>(sizeof secondBatch) - 1 < 260 &&
           platform::utf8ToOem8Bit(folder.toStdString(), oem);
}

// How a batch line names folder: as it is where cmd.exe takes that, else by
// its short name; empty when neither will do.
QString cmdName(const QString &folder) {
    if (cmdTakes(folder))
        return folder;
    std::string shortForm;
    if (platform::shortPath(folder.toStdString(), shortForm) &&
        cmdTakes(QString::fromStdString(shortForm)))
        return QString::fromStdString(shortForm);
    return QString();
}

bool isFolderToEnter(const QString &path) {
    const uint32_t attributes = platform::pathAttributes(path.toStdString());
    return attributes != platform::attribute::Invalid &&
           (attributes & platform::attribute::Directory) &&
           !(attributes & platform::attribute::ReparsePoint);
}

// Everything below folder, each folder after what is inside it. A link is
// listed itself, never entered: what it leads to lies outside.
void collectInnermostFirst(const QString &folder, QStringList &paths) {
    const QFileInfoList entries = QDir(folder).entryInfoList(QDir::AllEntries | QDir::Hidden |
                                                             QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        const QString path = folder + separator() + entry.fileName();
        if (isFolderToEnter(path))
            collectInnermostFirst(path, paths);
        paths.append(path);
    }
}

// What no batch line can name goes at the machine's next start: each file
// and folder left in it, innermost first, then the folder itself, each by
// its name in the ANSI code page or else by its short name.
void removeAtRestart(const QString &folder) {
    if (!platform::pathExists(folder.toStdString()))
        return;
    QStringList paths;
    collectInnermostFirst(folder, paths);
    paths.append(folder);
    bool requested = true;
    for (const QString &path : paths) {
        std::string local, shortForm;
        const bool named = platform::utf8ToLocal8Bit(path.toStdString(), local) ||
                           (platform::shortPath(path.toStdString(), shortForm) &&
                            platform::utf8ToLocal8Bit(shortForm, local));
        requested = named && platform::removeAtRestartA(local.c_str()) && requested;
    }
    writeLog((requested ? QStringLiteral("删除目录改为重启后删除:")
                        : QStringLiteral("无法安排重启后删除:")) +
             folder);
}

// Where the batch file for target goes: beside it, where the system has
// always put it, unless cmd.exe cannot open a file there (the folder's name
// outside the OEM code page, or past MAX_PATH, where a short name does not
// help: under Wine cmd.exe opens its batch file by the long one) or the
// shell cannot start one there. Then it goes into this process's own
// temporary folder, where no one else writes.
QString batchFolderFor(const QString &target) {
    // Nor can the shell start a batch file whose path holds a "%": it
    // expands what lies between two of them ("Orvane %TEMP% Co").
    const auto startable = [](const QString &folder) {
        return cmdTakes(folder) && !folder.contains(QLatin1Char('%'));
    };
    const QString beside = folderOf(target);
    if (startable(beside))
        return beside;
    std::string temporary;
    if (platform::temporaryFolder(temporary) && startable(QString::fromStdString(temporary)))
        return QString::fromStdString(temporary);
    return QString();
}

// Leaves target to be removed once this program has ended: a batch file,
// to be started in the folder returned (empty: none to start). Where no
// batch line can name the target, not even by its short name, it goes at
// the machine's next start instead.
QString leaveForRemoval(const QString &target, bool FirstName) {
    const QString batchFolder = batchFolderFor(target);
    const QString name = cmdName(target);
    if (batchFolder.isEmpty() || name.isEmpty()) {
        removeAtRestart(target);
        return QString();
    }
    if (name != target)
        writeLog(QStringLiteral("删除目录使用短路径:") + target + QStringLiteral("----->") + name);
    // A batch file that is not wholly ours is never started.
    return writeDeleteBatch(name, batchFolder, FirstName) ? batchFolder : QString();
}

} // namespace

void readRegistryString(const QString &key, QString &value) {
    std::string content;
    if (!platform::registryReadString(key.toStdString(), value.toStdString(), content))
        content.clear();
    value = QString::fromStdString(content);
}

bool writeDeleteBatch(const QString &targetFolder, const QString &batchFolder, bool FirstName) {
    const QString batchPath =
        batchFolder + separator() + QString::fromLatin1(FirstName ? firstBatch : secondBatch);
    // The wait lets the uninstaller end first, so that its own file and
    // folder are free by the time they are removed.
    return writeBatchFile(
        batchPath, {QStringLiteral("ping -n 4 127.0.0.1>nul"),
                    QStringLiteral("rd ") + batchQuoted(targetFolder) + QStringLiteral(" /q /s"),
                    QStringLiteral("del ") + batchQuoted(batchPath) + QStringLiteral(" /q /f")});
}

uninstall_velmar::uninstall_velmar(QWidget *parent)
    : QMainWindow(parent), ui(std::make_unique<Ui::uninstall_velmarClass>()) {
    ui->setupUi(this);
    new FramelessWindow(this);
    msgBox = MsgBox::getInstance();
    setWindowTitle(QStringLiteral("安装"));
    const QPixmap background(QStringLiteral(":/Resources/main/main-bg.png"));
    resize(background.width() - 2, background.height() - 2);
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowMaximizeButtonHint);
    setAttribute(Qt::WA_TranslucentBackground);

    setStyleSheet(QString::fromUtf8(windowStyle));
    ui->pro_run_show->setStyleSheet(QString::fromUtf8(progressStyle));
    ui->ptn_close->setStyleSheet(QString::fromUtf8(closeStyle));
    ui->ptn_close->setText(QString());
    ui->ptn_uninstall_exit->setStyleSheet(QString::fromUtf8(exitStyle));
    ui->ptn_uninstall_exit->setText(QStringLiteral("退出"));
    ui->lab_run_file->setStyleSheet(QString::fromUtf8(runFileStyle));
    ui->lab_uninstall_tip->setStyleSheet(QString::fromUtf8(successTipStyle));
    ui->lab_uninstall_tip->setText(QStringLiteral("卸载成功，感谢您使用Orvane！"));
    ui->lab_tip->setStyleSheet(QString::fromUtf8(titleStyle));

    ui->pro_run_show->setMaximum(100);
    ui->pro_run_show->setValue(0);
    ui->widget_run_pro->show();
    ui->widget_uninstall_success->hide();
    connect(ui->ptn_close, &QPushButton::clicked, this, &uninstall_velmar::slotClose);
    connect(ui->ptn_uninstall_exit, &QPushButton::clicked, this, &uninstall_velmar::slotClose);
    ui->widget_ok_show->show();
    ui->widget_ok_show->hide();
}

uninstall_velmar::~uninstall_velmar() = default;

// Called by main after the event loop (or after initUninstall said no). Only
// a worker that ran to its end leaves the batch files behind: one that still
// runs ends the process at once, and one that never started means the user
// stopped before anything was removed.
void uninstall_velmar::finish() {
    writeLog(QString::fromUtf8(exitBanner));
    if (closeTimer)
        closeTimer->stop();
    if (startTimer)
        startTimer->stop();
    if (running) {
        // The worker thread is still busy with files and the log: no static
        // destructor may pull anything from under it, so nothing runs after
        // this.
        std::_Exit(0);
    }

    bool workerRan = false;
    if (worker) {
        worker->wait();
        workerRan = worker->isFinished();
    }
    const QString orvane = nativePath(installLocation + separator() + QStringLiteral("Orvane"));
    const QString velmar = nativePath(installLocation + separator() + QStringLiteral("velmar"));
    const QString orvaneStart = workerRan ? leaveForRemoval(orvane, false) : QString();
    const QString velmarStart = workerRan ? leaveForRemoval(velmar, true) : QString();
    MsgBox::releaseInstance();
    msgBox = nullptr;
    if (!velmarStart.isEmpty())
        platform::shellOpen(firstBatch, velmarStart.toStdString(), platform::ShowCommand::Hide);
    if (!orvaneStart.isEmpty())
        platform::shellOpen(secondBatch, orvaneStart.toStdString(), platform::ShowCommand::Hide);
}

bool uninstall_velmar::initUninstall() {
    installLocation = QStringLiteral("InstallLocation");
    readRegistryString(QString::fromLatin1(clientAppPathsKey), installLocation);
    // A relative location would name folders below whatever the current
    // folder happens to be.
    if (installLocation.isEmpty() || !platform::isAbsolutePath(installLocation.toStdString())) {
        writeLog(QStringLiteral("未找到客户端程序,注册表数据异常"));
        MsgBox::showInfo(QStringLiteral("卸载异常"), QStringLiteral("未找到客户端程序"), MSG_ERROR,
                         true, 0);
        return false;
    }

    closeTimer = new QTimer(this);
    closeTimer->setInterval(2000);
    connect(closeTimer, &QTimer::timeout, this, &uninstall_velmar::slotClose);

    worker = std::make_unique<RunUpdate>(installLocation);
    watch(worker.get());
    connect(worker.get(), &RunUpdate::sigRunOver, this, &uninstall_velmar::slotRunOver);

    // Three seconds for the user to see what is about to happen, and to stop it.
    startTimer = new QTimer(this);
    startTimer->setSingleShot(true);
    startTimer->setInterval(3000);
    connect(startTimer, &QTimer::timeout, this, &uninstall_velmar::slotStart);
    startTimer->start();
    return true;
}

void uninstall_velmar::watch(RunUpdate *worker) {
    // Blocking: the worker stands still while the window shows a report or a
    // box it asked for, so the bar never lags behind the work.
    connect(
        worker, &RunUpdate::sigPro, this,
        [this, worker](int allCount, int nowcount, QString sFile) {
            setProgress(100, worker->barValue(allCount, nowcount), sFile);
        },
        Qt::BlockingQueuedConnection);
    connect(worker, &RunUpdate::setInfo, this, &uninstall_velmar::slotSetInfo,
            Qt::BlockingQueuedConnection);
}

void uninstall_velmar::setProgress(int maximum, int value, const QString &text) {
    ui->pro_run_show->setMaximum(maximum);
    ui->pro_run_show->setValue(value);
    ui->lab_run_file->setText(text);
}

void uninstall_velmar::slotStart() {
    running = true;
    worker->start(QThread::InheritPriority);
}

void uninstall_velmar::slotRunOver(bool bSuc) {
    running = false;
    if (bSuc) {
        ui->widget_run_pro->hide();
        ui->widget_uninstall_success->show();
        ui->widget_ok_show->show();
    } else {
        // The user has seen the warning; the window goes by itself.
        closeTimer->start();
    }
}

void uninstall_velmar::slotClose() {
    // The shared box is up (the close question itself, or a box the worker
    // asked for): the closing timer comes back, and the buttons cannot be
    // reached under a modal box.
    if (msgBox->isVisible())
        return;
    if (running) {
        const int answer = MsgBox::showInfo(QStringLiteral("卸载提示"),
                                            QStringLiteral("相关卸载正在运行，是否确认关闭"),
                                            MSG_MESSAGE, false, 0);
        if (answer != QDialog::Accepted) {
            if (pendingBox)
                std::exchange(pendingBox, nullptr)();
            return;
        }
    }
    QCoreApplication::exit(0);
}

void uninstall_velmar::slotSetInfo(QString title_info, QString info, MSG_GRADE grade,
                                   bool is_cancle_hidden, int ifocus) {
    if (msgBox->isVisible()) {
        // The close question is open: running the same box inside it would
        // return at once and overwrite the question. The worker goes on; the
        // box follows once the question is answered.
        pendingBox = [=] { MsgBox::showInfo(title_info, info, grade, is_cancle_hidden, ifocus); };
        return;
    }
    MsgBox::showInfo(title_info, info, grade, is_cancle_hidden, ifocus);
}
