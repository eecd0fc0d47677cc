#include "uninstalltest.h"

#include "installlog.h"
#include "msgbox.h"
#include "uninstall/runupdate.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace uninstalltest {

using namespace testsupport;

BoxAnswerer::BoxAnswerer(std::vector<std::string> answers) : answers_(std::move(answers)) {
    connect(&timer_, &QTimer::timeout, this, &BoxAnswerer::look);
    timer_.start(20);
}

void BoxAnswerer::look() {
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        auto *box = qobject_cast<MsgBox *>(widget);
        if (!box || !box->isVisible())
            continue;
        // The unnamed labels, in creation order: icon, text, link.
        QList<QLabel *> unnamed;
        for (QLabel *label : box->findChildren<QLabel *>(QString(), Qt::FindDirectChildrenOnly))
            if (label->objectName().isEmpty())
                unnamed.append(label);
        auto *confirm = box->findChild<QPushButton *>(QStringLiteral("pushButtonOne"));
        auto *cancel = box->findChild<QPushButton *>(QStringLiteral("pushButtonTwo"));
        if (unnamed.size() != 3 || !confirm || !cancel) {
            ADD_FAILURE() << "the message box is not laid out as expected";
            return;
        }

        SeenBox record;
        // The title line starts with seven spaces.
        record.title =
            box->findChild<QLabel *>(QStringLiteral("labelOne"))->text().mid(7).toStdString();
        record.text = unnamed[1]->text().toStdString();
        // The grade shows as its icon. The box loads it as a pixmap, so the
        // candidates go through a pixmap too: a pixmap holds premultiplied
        // pixels, and converting them back is not exact for semi-transparent
        // ones, so comparing with the file's own pixels depends on the CPU.
        const QImage icon = unnamed[0]->pixmap(Qt::ReturnByValue).toImage();
        const char *icons[] = {"message", "warning", "error"};
        for (int grade = 0; grade < 3; ++grade)
            if (icon ==
                QPixmap(QStringLiteral(":/Resources/closeTips/%1.png").arg(icons[grade])).toImage())
                record.grade = grade;
        record.cancelVisible = cancel->isVisible();
        record.focusOnConfirm = box->focusWidget() == confirm;
        const std::string answer = answers_.at(std::min(seen.size(), answers_.size() - 1));
        seen.push_back(record);
        (answer == "cancel" ? cancel : confirm)->click();
        return;
    }
}

Steps::Steps() {
    connect(&timer_, &QTimer::timeout, this, &Steps::poll);
    timer_.start(20);
}

void Steps::add(const std::string &name, std::function<bool()> when, std::function<void()> then) {
    steps_.push_back({name, std::move(when), std::move(then)});
}

std::string Steps::pending() const {
    std::string names;
    for (std::size_t i = next_; i < steps_.size(); ++i)
        names += (names.empty() ? "" : ", ") + steps_[i].name;
    return names.empty() ? "none" : names;
}

void Steps::poll() {
    if (next_ >= steps_.size() || !steps_[next_].when())
        return;
    // A step may open a message box, whose event loop polls again: the
    // next step is due from now on.
    const auto then = steps_[next_++].then;
    then();
}

int runEventLoop(int timeoutMs) {
    QTimer guard;
    guard.setSingleShot(true);
    bool timedOut = false;
    QObject::connect(&guard, &QTimer::timeout, [&] {
        timedOut = true;
        QCoreApplication::exit(-1);
    });
    guard.start(timeoutMs);
    const int result = QApplication::exec();
    return timedOut ? -1 : result;
}

namespace gate {

namespace {
std::mutex guard;
std::condition_variable opened;
bool closed = false;
bool waitedAt = false;
} // namespace

void close() {
    std::lock_guard<std::mutex> lock(guard);
    closed = true;
    waitedAt = false;
}

void open() {
    {
        std::lock_guard<std::mutex> lock(guard);
        closed = false;
    }
    opened.notify_all();
}

bool reached() {
    std::lock_guard<std::mutex> lock(guard);
    return waitedAt;
}

void sleep(uint32_t ms) {
    {
        std::unique_lock<std::mutex> lock(guard);
        if (closed) {
            waitedAt = true;
            opened.wait(lock, [] { return !closed; });
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms / 50));
}

} // namespace gate

void OnStandIn::SetUp() {
    setEnv("VELMAR_SYSTEM_ROOT", machine.root().c_str());
    setLogFilePath(QString::fromStdString(machine.logPath()));
    gate::open();
    previousSleep_ = platform::setSleepFunction(gate::sleep);
}

void OnStandIn::TearDown() {
    gate::open();
    platform::setSleepFunction(previousSleep_);
    setLogFilePath(QStringLiteral("install.log"));
    setEnv("VELMAR_SYSTEM_ROOT", nullptr);
}

Process OnStandIn::hold(const std::string &path) {
    Process holder = Process::start({programPath("hold"), "file", path, helperSeconds});
    EXPECT_TRUE(holder.waitForLine("held")) << path;
    return holder;
}

void OnStandIn::endProgram(std::unique_ptr<uninstall_velmar> &window) {
    // A worker that has just ended may still owe the window its outcome.
    const RunUpdate *worker = window->uninstallWorker();
    QElapsedTimer waited;
    waited.start();
    while (worker && worker->isRunning() && waited.elapsed() < patienceMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QCoreApplication::processEvents();
    if (worker && worker->isRunning()) {
        ADD_FAILURE() << "the worker still runs; the window is left in place";
        window.release();
        return;
    }
    window->finish();
    window.reset();
}

} // namespace uninstalltest
