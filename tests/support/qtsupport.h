// Helpers for tests of Qt code.
#pragma once

#include "testsupport.h"

#include <string>
#include <vector>

namespace testsupport {

// The messages of the install log at path, in UTF-8: the log holds them in
// the system's code page (GBK on a Chinese Windows), as the programs write.
std::vector<std::string> localLogMessages(const fs::path &path);

} // namespace testsupport
