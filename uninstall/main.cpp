// uninstall: removes the client's installation. It refuses to start while
// the client, an installer package or another uninstaller runs, then hands
// over to the uninstall window, which does the work and, when the program
// ends, leaves the batch files behind that remove the client's folders.
#include "msgbox.h"
#include "startup.h"
#include "uninstall_velmar.h"

#include <QApplication>

int main(int argc, char *argv[]) {
    prepareStart(false);
    QApplication app(argc, argv);
    MsgBox::getInstance();
    if (!openLog(programs::uninstall))
        return 0;

    // Its own guard first, held until the process ends: an updater or a
    // second uninstaller that starts from now on refuses. Only then are the
    // client's guard (also the updater's) and the installer's probed, so
    // that an update and an uninstall never both go on. The client and an
    // installer package each hold their guard while they run; a probe
    // leaves it free again.
    // A refusal leaves no guard held, its own included, while its box is
    // up.
    platform::Mutex ownGuard = takeGuard(guard::uninstaller);
    const struct {
        bool free;
        const char *reason, *text;
    } guards[] = {
        {ownGuard.owned(), "相关卸载/安装程序已运行", "相关卸载/安装程序已运行"},
        {ownGuard.owned() && probeGuard(guard::client), "Orvane程序正在运行，无法执行安装操作",
         "Orvane程序正在运行"},
        {ownGuard.owned() && probeGuard(guard::installer), "安装包正在运行，无法执行安装操作",
         "安装包正在运行"},
    };
    for (const auto &check : guards) {
        if (!check.free) {
            ownGuard.reset();
            endInFailure(programs::uninstall, QString::fromUtf8(check.reason),
                         QString::fromUtf8(check.text));
            return 0;
        }
    }

    {
        uninstall_velmar window;
        if (window.initUninstall()) {
            window.show();
            app.exec();
        }
        window.finish(); // leaves the batch files behind that remove the folders
    }
    return 0;
}
