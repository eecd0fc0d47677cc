// Entry names: making a stored name safe to use under the base folder, and
// checking that a name is one Windows will take for an ordinary file inside
// it. Names are 8-bit strings in the local code page: every search steps over
// double-byte characters, whose second byte may be "\" (0x5C) in GBK.
#pragma once

#include "zipresult.h"

#include <cstddef>
#include <string>

namespace zip {

// Drops, as long as one applies: a drive ("C:"), a leading separator,
// everything up to and including the first "\..\", "\../", "/../" or "/..\",
// a leading "../", "..\", "./" or ".\". What is left may still be refused by
// checkName.
std::string sanitiseName(const std::string &stored);

// Ok for a name that stays inside the folder it is taken relative to and
// that Windows takes for an ordinary file or folder, each part as written;
// else UnsafeName, NameTooLong or ReservedName.
ZipResult checkName(const std::string &name);

// The position just after the last "/" or "\" of path; 0 when it has none.
std::size_t afterLastSeparator(const std::string &path);

// True when c is "/" or "\".
inline bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

} // namespace zip
