#include "testhooks.h"

#include "platform.h"

#include <QCoreApplication>
#include <QDialog>
#include <QFile>
#include <QKeyEvent>
#include <QPointer>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <string>
#include <thread>

namespace testhooks {

namespace {

uint32_t sleepDivisor = 1;
QString lastBox;
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

} // namespace

void install() {
    const int divisor = qEnvironmentVariableIntValue("VELMAR_TEST_SLEEP_DIVISOR");
    if (divisor > 1)
        sleepDivisor = static_cast<uint32_t>(divisor);
    sleepRecord = qEnvironmentVariable("VELMAR_TEST_SLEEP_LOG").toStdString();
    if (sleepDivisor > 1 || !sleepRecord.empty())
        platform::setSleepFunction(testSleep);
}

void messageBoxFilled(const QString &title, const QString &text, int grade, bool cancelHidden,
                      int focus) {
    lastBox = title + QLatin1Char('\t') + text + QLatin1Char('\t') + QString::number(grade) +
              QLatin1Char('\t') + QString::number(cancelHidden ? 1 : 0) + QLatin1Char('\t') +
              QString::number(focus);
}

void messageBoxShown(QDialog *box, QPushButton *confirm, QPushButton *cancel) {
    const QString record = qEnvironmentVariable("VELMAR_TEST_MSGBOX_LOG");
    if (record.isEmpty() && !qEnvironmentVariableIsSet("VELMAR_TEST_MSGBOX_ANSWER"))
        return; // nobody automates this run: a person answers
    if (!record.isEmpty()) {
        QFile file(record);
        if (file.open(QIODevice::WriteOnly | QIODevice::Append))
            file.write((lastBox + QLatin1Char('\n')).toUtf8());
    }

    const QString answer = nextAnswer();
    const int delay = qEnvironmentVariableIsSet("VELMAR_TEST_MSGBOX_DELAY")
                          ? qEnvironmentVariableIntValue("VELMAR_TEST_MSGBOX_DELAY")
                          : 100;
    QPointer<QDialog> target(box);
    QTimer::singleShot(delay, box, [target, confirm, cancel, answer] {
        if (!target || !target->isVisible())
            return;
        if (answer == QLatin1String("cancel") && cancel->isVisible()) {
            cancel->click();
        } else if (answer == QLatin1String("confirm")) {
            confirm->click();
        } else {
            QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QCoreApplication::sendEvent(target, &escape);
        }
    });
}

void successPanelShown(QPushButton *exit) {
    if (!qEnvironmentVariableIsSet("VELMAR_TEST_EXIT_DELAY"))
        return; // a person ends the run
    QPointer<QPushButton> target(exit);
    QTimer::singleShot(qEnvironmentVariableIntValue("VELMAR_TEST_EXIT_DELAY"), exit, [target] {
        if (target && target->isVisible())
            target->click();
    });
}

} // namespace testhooks
