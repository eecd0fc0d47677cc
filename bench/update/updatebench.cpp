// updatebench PACKAGE MACHINE: applies an update package the way the
// updater does, for timing: the update steps on their own thread, every
// entry logged and reported over a blocking connection to a progress bar and
// label in the GUI thread. MACHINE becomes a stand-in machine with the
// package waiting in the client's data folder (copied: the updater opens no
// package through a link; a copy put there before the timing is taken as it
// is); the package is extracted into MACHINE/app. The clean-up step is left out:
// removing the package is a fixed wait of the forced deletion, not work.
#include "installlog.h"
#include "startup.h"
#include "update_form.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QThread>

#include <cstdio>

namespace {

class Steps : public QThread {
public:
    Steps(QProgressBar *bar, QLabel *label, QString appFolder)
        : bar(bar), label(label), appFolder(std::move(appFolder)) {}
    bool result = false;

protected:
    void run() override {
        update_form form(appFolder);
        connect(
            &form, &update_form::sigPro, bar,
            [this](int all, int now, QString text) {
                bar->setMaximum(all);
                bar->setValue(now);
                label->setText(text);
            },
            Qt::BlockingQueuedConnection);
        result = form.initCheck() && form.unzipUpdatePackage() && form.unzipConfigPackage() &&
                 form.updateRegistry();
    }

private:
    QProgressBar *bar;
    QLabel *label;
    QString appFolder;
};

} // namespace

int main(int argc, char *argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: updatebench PACKAGE MACHINE\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString package = QFile::decodeName(argv[1]);
    const QString machine = QDir(QFile::decodeName(argv[2])).absolutePath();
    const QString data = machine + "/Users/Public/Documents/velmar";
    qputenv("VELMAR_SYSTEM_ROOT", QFile::encodeName(machine));
    QDir().mkpath(data + "/Config");
    QDir().mkpath(machine + "/app");
    QFile ini(data + "/Config/veconfig.ini");
    if (!ini.open(QIODevice::WriteOnly) || ini.write("[Server]\nVersion=2.0.0\n") < 0)
        return 1;
    ini.close();
    if (!QFileInfo::exists(data + "/update.zip") && !QFile::copy(package, data + "/update.zip"))
        return 1;
    if (!resolveLogPath())
        return 1;

    QProgressBar bar;
    QLabel label;
    bar.show();
    label.show();
    Steps steps(&bar, &label, machine + "/app");
    QObject::connect(&steps, &QThread::finished, &app, &QCoreApplication::quit);
    steps.start();
    app.exec();
    steps.wait();
    return steps.result ? 0 : 1;
}
