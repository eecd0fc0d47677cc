// uninstall: removes the client's installation. It refuses to start while
// the client, an installer package or another uninstaller runs, then hands
// over to the uninstall window, which does the work and, when the program
// ends, leaves the batch files behind that remove the client's folders.
#include "msgbox.h"
#include "startup.h"
#include "testhooks.h"
#include "uninstall_velmar.h"

#include <QApplication>

namespace {

const char startBanner[] =
    "***************************Orvane卸载程序---卸载---开始*******************************";
const char endBanner[] =
    "***************************Orvane卸载程序---卸载---结束*******************************";
const char errorTitle[] = "卸载异常";

// The client and an installer package each hold their guard while they run;
// a probe leaves it free again.
void requireFree(const char *guardName, const char *refusal) {
    if (!probeGuard(guardName))
        throw StartupError{QString::fromUtf8(refusal)};
}

// The handle is never closed: the guard stays taken until the process ends,
// so that a second uninstaller (or an installer) started meanwhile refuses
// to run.
void takeUninstallerGuard() {
    if (!takeGuard(guard::uninstaller))
        throw StartupError{QStringLiteral("相关卸载/安装程序已运行")};
}

int refuse(const QString &logLine, const StartupError &error) {
    endInFailure(logLine, QStringLiteral("uninstall---lasterr："), QString::fromUtf8(endBanner),
                 QString::fromUtf8(errorTitle), error.text);
    return 0;
}

} // namespace

int main(int argc, char *argv[]) {
    testhooks::install();
    QApplication app(argc, argv);
    MsgBox::getInstance();
    if (!openLog(QString::fromUtf8(errorTitle), QString::fromUtf8(startBanner)))
        return 0;

    try {
        requireFree(guard::client, "Orvane程序正在运行");
    } catch (const StartupError &error) {
        return refuse(QStringLiteral("Orvane程序正在运行，无法执行安装操作"), error);
    }
    try {
        requireFree(guard::installer, "安装包正在运行");
    } catch (const StartupError &error) {
        return refuse(QStringLiteral("安装包正在运行，无法执行安装操作"), error);
    }
    try {
        takeUninstallerGuard();
    } catch (const StartupError &error) {
        return refuse(QStringLiteral("相关卸载/安装程序已运行"), error);
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
