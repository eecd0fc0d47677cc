#include "qtsupport.h"

#include <QString>

namespace testsupport {

std::vector<std::string> localLogMessages(const fs::path &path) {
    std::vector<std::string> messages;
    for (const auto &message : logMessagesOf(readFile(path)))
        messages.push_back(QString::fromLocal8Bit(message.c_str()).toStdString());
    return messages;
}

} // namespace testsupport
