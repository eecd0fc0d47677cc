// logwriter LOGFILE ID COUNT: appends COUNT lines "ID:n" to an install log,
// for tests of several programs logging at once.
#include "installlog.h"

#include <QCoreApplication>

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    if (argc != 4)
        return 2;
    setLogFilePath(QString::fromLocal8Bit(argv[1]));
    const QString id = QString::fromLocal8Bit(argv[2]);
    const int count = QString::fromLocal8Bit(argv[3]).toInt();
    for (int n = 0; n < count; ++n)
        writeLog(id + QLatin1Char(':') + QString::number(n));
    return 0;
}
