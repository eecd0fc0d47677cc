// update: unpacks an update package into the installation folder while the
// client is kept from running, then hands over to reseat.
#include "installlog.h"
#include "msgbox.h"
#include "paths.h"
#include "platform.h"
#include "showpro.h"
#include "startup.h"
#include "update_form.h"
#include "updatetransaction.h"

#include <QApplication>

namespace {

std::string installFolder() {
    return applicationFolder().toLocal8Bit().toStdString();
}

// reseat puts the new updater in place of this one, which cannot replace
// its own file, and starts the client. Until it has been started, a killed
// updater leaves it to its next start.
void startReseat() {
    const QString folder = applicationFolder() + separator() + QStringLiteral("exeinfo");
    const QString reseat = programFile(folder, QStringLiteral("reseat"));
    // The update stands either way; without reseat the old updater stays
    // and the client is not started, which the user must hear of.
    if (!platform::shellOpen(reseat.toStdString(), folder.toStdString(),
                             platform::ShowCommand::Show)) {
        writeLog(QStringLiteral("启动reseat失败:") + reseat);
        showStartupError(QStringLiteral("更新异常"),
                         QStringLiteral("无法启动reseat.exe，详情请查看软件日志"));
        MsgBox::releaseInstance();
    }
    UpdateTransaction::finish(installFolder());
}

// A run that was cut short (killed, power lost) is finished or undone
// before anything else. False when this run ends here: its files stood and
// reseat has been started, or the earlier run could not be undone.
bool recoverEarlierRun() {
    const QString folder = applicationFolder();
    UpdateTransaction::Found found;
    const UpdateTransaction::Recovery recovery = UpdateTransaction::recover(installFolder(), found);
    update_form::logSetAside(found.setAside);
    const UpdateTransaction::Completion &left = found.completion;
    switch (recovery) {
    case UpdateTransaction::Recovery::Nothing:
        return true;
    case UpdateTransaction::Recovery::RolledBack:
        writeLog(QStringLiteral("上次更新未完成，已回滚:") + folder);
        return true;
    case UpdateTransaction::Recovery::CommitDue: {
        // The files stood when the run ended: its end is done now, as the
        // run would have done it.
        update_form::recordVersion(left.version);
        const platform::Folder data(platform::openFolderA(left.packageFolder.c_str()));
        if (data)
            update_form::removePackage(
                data.get(), left.packageName,
                nativePath(QString::fromLocal8Bit(left.packageFolder.c_str()) + separator() +
                           QString::fromLocal8Bit(left.packageName.c_str())));
        UpdateTransaction::reseatDue(installFolder());
    }
        [[fallthrough]];
    case UpdateTransaction::Recovery::ReseatDue:
        writeLog(QStringLiteral("上次更新已完成，启动reseat:") + folder);
        writeLastErrorLine(QString::fromUtf8(programs::update.lastErrorTag));
        writeLog(QString::fromUtf8(programs::update.endBanner));
        MsgBox::releaseInstance();
        startReseat();
        return false;
    case UpdateTransaction::Recovery::Failed:
        break;
    }
    endInFailure(programs::update,
                 QStringLiteral("上次更新无法回滚:") + folder + separator() +
                     QString::fromLatin1(UpdateTransaction::journalName),
                 QStringLiteral("上次更新未能恢复，详情请查看软件日志"));
    return false;
}

} // namespace

int main(int argc, char *argv[]) {
    prepareStart(true);
    QApplication app(argc, argv);
    MsgBox::setStaysOnTop(true);
    MsgBox::getInstance();
    if (!openLog(programs::update))
        return 0;

    // The client must not run while its files are replaced. Taking its
    // guard keeps it from starting until this program ends.
    platform::Mutex clientGuard;
    if (!withinThreeAttempts([&] { return (clientGuard = takeGuard(guard::client)).owned(); })) {
        endInFailure(programs::update, QStringLiteral("Orvane程序正在运行，无法执行更新操作"),
                     QStringLiteral("Orvane程序正在运行"));
        return 0;
    }
    // Files an uninstall is removing must not be written anew. The
    // uninstaller takes its own guard before it probes the client's (which
    // this program holds now): whichever of the two comes second refuses.
    if (!probeGuard(guard::uninstaller)) {
        endInFailure(programs::update, QStringLiteral("Orvane卸载程序正在运行，无法执行更新操作"),
                     QStringLiteral("相关卸载/安装程序已运行"));
        return 0;
    }

    if (!recoverEarlierRun())
        return 0;

    ShowPro progress;
    progress.exec();
    progress.finish();
    MsgBox::releaseInstance();
    if (progress.succeeded())
        startReseat();
    return 0;
}
