#include "testhooks.h"

#include "msgbox.h"
#include "pixmaps.h"
#include "platform.h"

#include <QApplication>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace testhooks {

namespace {

uint32_t sleepDivisor = 1;
int answersGiven = 0;

std::string sleepRecord;

void testSleep(uint32_t ms) {
    if (!sleepRecord.empty()) {
        const std::string line = std::to_string(ms) + "\n";
        platform::appendToFile(sleepRecord, line.data(), line.size());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms / sleepDivisor));
}

QString nextAnswer() {
    const QStringList answers = qEnvironmentVariable("VELMAR_TEST_MSGBOX_ANSWER", "confirm")
                                    .split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (answers.isEmpty())
        return QStringLiteral("confirm");
    return answers.value(answersGiven++, answers.last()).trimmed();
}

// Acts on what has just shown a moment later, as a person would; with
// VELMAR_TEST_RELEASE only once the test has made that file, however long
// it takes (it is looking at the screen meanwhile). Taking the file away
// is the acknowledgement, and leaves the next box waiting for a new one.
// What the program hides meanwhile needs no answer, and takes no file.
void whenReleased(QWidget *shown, const std::function<void()> &act) {
    const QString release = qEnvironmentVariable("VELMAR_TEST_RELEASE");
    auto *look = new QTimer(shown);
    QObject::connect(look, &QTimer::timeout, shown, [shown, look, release, act] {
        const bool gone = !shown->isVisible();
        if (!gone && !release.isEmpty() && !QFile::remove(release))
            return;
        look->stop();
        look->deleteLater();
        if (!gone)
            act();
    });
    look->start(release.isEmpty() ? 100 : 20);
}

// What the box says, read off its widgets as the person in front of it
// would: "title<TAB>text<TAB>grade<TAB>cancel hidden<TAB>focus".
QString describe(MsgBox *box, QPushButton *confirm, QPushButton *cancel) {
    // The unnamed labels, in creation order: icon, text, link.
    QList<QLabel *> unnamed;
    for (QLabel *label : box->findChildren<QLabel *>(QString(), Qt::FindDirectChildrenOnly))
        if (label->objectName().isEmpty())
            unnamed.append(label);
    const auto *title = box->findChild<QLabel *>(QStringLiteral("labelOne"));
    if (unnamed.size() != 3 || !title)
        return QString();
    // The grade shows as its icon, at either pixel density; both sides go
    // through a pixmap, so that the comparison does not depend on how the CPU
    // premultiplies.
    int grade = -1;
    const QImage icon = unnamed[0]->pixmap(Qt::ReturnByValue).toImage();
    const char *icons[] = {"message", "warning", "error"};
    for (int candidate = 0; candidate < 3; ++candidate) {
        const QString path =
            QStringLiteral(":/Resources/closeTips/%1.png").arg(QLatin1String(icons[candidate]));
        for (const qreal ratio : {1.0, 2.0})
            if (icon == resourcePixmap(path, ratio).toImage())
                grade = candidate;
    }
    const QWidget *focus = box->focusWidget();
    const int focused = focus == confirm ? 0 : focus == cancel ? 1 : -1;
    // The title line starts with seven spaces.
    return title->text().mid(7) + QLatin1Char('\t') + unnamed[1]->text() + QLatin1Char('\t') +
           QString::number(grade) + QLatin1Char('\t') +
           QString::number(cancel->isHidden() ? 1 : 0) + QLatin1Char('\t') +
           QString::number(focused);
}

void messageBoxShown(MsgBox *box) {
    const QString record = qEnvironmentVariable("VELMAR_TEST_MSGBOX_LOG");
    if (record.isEmpty() && !qEnvironmentVariableIsSet("VELMAR_TEST_MSGBOX_ANSWER"))
        return; // nobody automates this run: a person answers
    auto *confirm = box->findChild<QPushButton *>(QStringLiteral("pushButtonOne"));
    auto *cancel = box->findChild<QPushButton *>(QStringLiteral("pushButtonTwo"));
    if (!confirm || !cancel)
        return;
    if (!record.isEmpty()) {
        QFile file(record);
        if (file.open(QIODevice::WriteOnly | QIODevice::Append))
            file.write((describe(box, confirm, cancel) + QLatin1Char('\n')).toUtf8());
    }

    const QString answer = nextAnswer();
    whenReleased(box, [box, confirm, cancel, answer] {
        if (answer == QLatin1String("cancel") && cancel->isVisible()) {
            cancel->click();
        } else if (answer == QLatin1String("confirm")) {
            confirm->click();
        } else {
            QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QCoreApplication::sendEvent(box, &escape);
        }
    });
}

void successPanelShown(QWidget *panel) {
    if (!qEnvironmentVariableIsSet("VELMAR_TEST_EXIT"))
        return; // a person ends the run
    auto *exit = panel->findChild<QPushButton *>(QStringLiteral("ptn_uninstall_exit"));
    if (!exit)
        return;
    whenReleased(exit, [exit] { exit->click(); });
}

// Sees every window and panel of the program appear.
class Watcher : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::Show) {
            if (auto *box = qobject_cast<MsgBox *>(watched))
                messageBoxShown(box);
            else if (watched->objectName() == QLatin1String("widget_uninstall_success"))
                successPanelShown(static_cast<QWidget *>(watched));
        }
        return false;
    }
};

// Runs in the application object's constructor.
void watchApplication() {
    qApp->installEventFilter(new Watcher(qApp));
}

} // namespace

void install() {
    const int divisor = qEnvironmentVariableIntValue("VELMAR_TEST_SLEEP_DIVISOR");
    if (divisor > 1)
        sleepDivisor = static_cast<uint32_t>(divisor);
    sleepRecord = qEnvironmentVariable("VELMAR_TEST_SLEEP_LOG").toStdString();
    if (sleepDivisor > 1 || !sleepRecord.empty())
        platform::setSleepFunction(testSleep);
    qAddPreRoutine(watchApplication);
}

} // namespace testhooks
