// updatebench [--floor] MACHINE: applies the update package waiting in
// MACHINE's client data folder (Users/Public/Documents/velmar/update.zip)
// the way the updater does, for timing: the update steps on their own
// thread, every entry logged and reported over a blocking connection to the
// window's progress bar and label in the GUI thread. MACHINE becomes a
// stand-in machine; the package goes into MACHINE/app (as it is, or over
// what is there). The clean-up step is left out: removing the package is
// not the work being timed.
//
// --floor runs the same transaction without the entries' log lines and
// their hand-over to the window: what the update costs beyond that is
// their cost.
#include "showpro.h"
#include "startup.h"
#include "update_form.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// The steps, with every finished entry passed over in silence.
class SilentSteps : public update_form {
public:
    using update_form::update_form;
    int unzipProgress(int, int, const char *, const char *, bool) override { return 0; }
};

// The update thread's work, reported to the window as the update thread
// reports it.
class Steps : public QThread {
public:
    Steps(ShowPro *window, QString appFolder, bool floor)
        : window(window), appFolder(std::move(appFolder)), floor(floor) {}
    bool result = false;

protected:
    void run() override {
        const std::unique_ptr<update_form> form = floor ? std::make_unique<SilentSteps>(appFolder)
                                                        : std::make_unique<update_form>(appFolder);
        connect(form.get(), &update_form::sigPro, window, &ShowPro::setPro,
                Qt::BlockingQueuedConnection);
        result = form->initCheck() && form->unzipUpdatePackage() && form->unzipConfigPackage() &&
                 form->updateRegistry();
        QMetaObject::invokeMethod(window, "slotRunOver", Qt::BlockingQueuedConnection,
                                  Q_ARG(bool, result));
    }

private:
    ShowPro *window;
    QString appFolder;
    bool floor;
};

} // namespace

int main(int argc, char *argv[]) {
    const bool floor = argc == 3 && std::strcmp(argv[1], "--floor") == 0;
    if (argc != 2 && !floor) {
        std::fprintf(stderr, "usage: updatebench [--floor] MACHINE\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString machine = QDir(QFile::decodeName(argv[argc - 1])).absolutePath();
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
    Steps steps(&window, machine + "/app", floor);
    QObject::connect(&steps, &QThread::finished, &app, &QCoreApplication::quit);
    steps.start();
    app.exec();
    steps.wait();
    return steps.result ? 0 : 1;
}
