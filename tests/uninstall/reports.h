// The worker's progress reports as a test sees them.
#pragma once

#include "uninstall/runupdate.h"

#include <QObject>

#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace uninstalltest {

struct Report {
    int allCount;
    int nowcount;
    std::string text;
};

inline bool operator==(const Report &a, const Report &b) {
    return a.allCount == b.allCount && a.nowcount == b.nowcount && a.text == b.text;
}

inline std::ostream &operator<<(std::ostream &out, const Report &report) {
    return out << "(" << report.allCount << ", " << report.nowcount << ", " << report.text << ")";
}

inline std::vector<std::string> texts(const std::vector<Report> &reports) {
    std::vector<std::string> result;
    for (const Report &report : reports)
        result.push_back(report.text);
    return result;
}

// Records every report of a worker the moment it is emitted, on whichever
// thread that happens.
class ReportRecorder {
public:
    explicit ReportRecorder(RunUpdate *worker) {
        QObject::connect(
            worker, &RunUpdate::sigPro, &context_,
            [this](int allCount, int nowcount, const QString &text) {
                std::lock_guard<std::mutex> lock(mutex_);
                reports_.push_back({allCount, nowcount, text.toStdString()});
            },
            Qt::DirectConnection);
    }

    std::vector<Report> reports() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return reports_;
    }
    std::vector<std::string> texts() const { return uninstalltest::texts(reports()); }

private:
    QObject context_;
    mutable std::mutex mutex_;
    std::vector<Report> reports_;
};

} // namespace uninstalltest
