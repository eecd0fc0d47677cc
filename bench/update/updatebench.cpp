// updatebench MACHINE: applies the update package waiting in MACHINE's
// client data folder (Users/Public/Documents/velmar/update.zip) the way the
// updater does, for timing: the update steps on their own thread, every
// entry logged and reported over a blocking connection to the window's
// progress bar and label in the GUI thread. MACHINE becomes a stand-in
// machine; the package goes into MACHINE/app (as it is, or over what is
// there). The clean-up step is left out: removing the package is not the
// work being timed.
#include "showpro.h"
#include "startup.h"
#include "update_form.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QThread>
#include <QTimer>

#include <cstdio>

namespace {

// The update thread's work, reported to the window as the update thread
// reports it.
class Steps : public QThread {
public:
    Steps(ShowPro *window, QString appFolder) : window(window), appFolder(std::move(appFolder)) {}
    bool result = false;

protected:
    void run() override {
        update_form form(appFolder);
        connect(&form, &update_form::sigPro, window, &ShowPro::setPro,
                Qt::BlockingQueuedConnection);
        result = form.initCheck() && form.unzipUpdatePackage() && form.unzipConfigPackage() &&
                 form.updateRegistry();
        QMetaObject::invokeMethod(window, "slotRunOver", Qt::BlockingQueuedConnection,
                                  Q_ARG(bool, result));
    }

private:
    ShowPro *window;
    QString appFolder;
};

} // namespace

int main(int argc, char *argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: updatebench MACHINE\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString machine = QDir(QFile::decodeName(argv[1])).absolutePath();
    const QString data = machine + "/Users/Public/Documents/velmar";
    qputenv("VELMAR_SYSTEM_ROOT", QFile::encodeName(machine));
    QDir().mkpath(data + "/Config");
    QDir().mkpath(machine + "/app");
    QFile ini(data + "/Config/veconfig.ini");
    if (!ini.open(QIODevice::WriteOnly) || ini.write("[Server]\nVersion=2.0.0\n") < 0)
        return 1;
    ini.close();
    if (!resolveLogPath())
        return 1;

    // The window as the updater shows it, without its own run: the bench's
    // steps report to it instead.
    ShowPro window;
    for (QTimer *timer : window.findChildren<QTimer *>())
        timer->stop();
    window.show();
    Steps steps(&window, machine + "/app");
    QObject::connect(&steps, &QThread::finished, &app, &QCoreApplication::quit);
    steps.start();
    app.exec();
    steps.wait();
    return steps.result ? 0 : 1;
}
