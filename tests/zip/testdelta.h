// Delta entries for the tests: the frame made with the library the
// publisher's tool uses, the base's block in both extra fields.
#pragma once

#include "testzip.h"

#include <string>

namespace testzip {

// The entry that turns base, installed at name, into next.
Entry deltaEntry(const std::string &name, const std::string &base, const std::string &next);

} // namespace testzip
