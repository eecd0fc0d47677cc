// What the in-process tests of the worker and the window share: a stand-in
// machine with an installation, the uninstaller's process-wide state reset
// as in a fresh process, a person answering message boxes, and an event loop
// driven step by step.
#pragma once

#include "installation.h"
#include "platform.h"
#include "uninstall_velmar.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QWidget;

namespace uninstalltest {

using testsupport::Process;

// One message box as the person in front of it saw it.
struct SeenBox {
    std::string title, text;
    int grade = -1;
    bool cancelVisible = false;
    bool focusOnConfirm = false;
};

// Answers the shared message box whenever it is up, in turn with the given
// answers ("confirm" or "cancel"; the last one repeats), by clicking.
class BoxAnswerer : public QObject {
public:
    explicit BoxAnswerer(std::vector<std::string> answers = {"confirm"});
    std::vector<SeenBox> seen;

private:
    void look();
    QTimer timer_;
    std::vector<std::string> answers_;
};

// Acts like a person watching the window: each step waits until its
// condition holds (polled in the event loop, also inside message boxes),
// then acts, in order.
class Steps : public QObject {
public:
    Steps();
    void add(const std::string &name, std::function<bool()> when, std::function<void()> then);
    // The names of the steps that never came, for failure messages.
    std::string pending() const;

private:
    struct Step {
        std::string name;
        std::function<bool()> when;
        std::function<void()> then;
    };
    void poll();
    QTimer timer_;
    std::vector<Step> steps_;
    std::size_t next_ = 0;
};

// Runs the application's event loop as main does, until something calls
// QCoreApplication::exit; -1 when that has not happened within timeoutMs.
int runEventLoop(int timeoutMs = testsupport::patienceMs);

// The worker's waits: shortened fiftyfold, except that a closed gate holds
// the next wait until the test opens it.
namespace gate {
void close();
void open();
bool reached();
void sleep(uint32_t ms);
} // namespace gate

// A widget of the uninstall window by its object name.
template <typename Widget> Widget *part(QWidget *window, const char *name) {
    auto *widget = window->findChild<Widget *>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

class OnStandIn : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Keeps a file in use from another process until the test ends.
    Process hold(const std::string &path);
    // What main does after the event loop: finishes and destroys the window.
    // A window whose worker still runs would end the whole test process
    // (with exit code 0) there, so it is left alone, and the test fails.
    void endProgram(std::unique_ptr<uninstall_velmar> &window);

    Machine machine;
    Installation installation{machine};

private:
    platform::SleepFunction previousSleep_ = nullptr;
};

} // namespace uninstalltest
