#include "zipnames.h"

#include "ziparchive.h"

#include <algorithm>
#include <cstring>

namespace zip {

namespace {

// The length of the character at position i: 2 for a lead byte with its
// trail, else 1.
std::size_t charLength(const std::string &text, std::size_t i) {
    return platform::isLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size() ? 2 : 1;
}

bool startsWith(const std::string &text, std::size_t from, const char *prefix) {
    return text.compare(from, std::strlen(prefix), prefix) == 0;
}

bool hasDrive(const std::string &text, std::size_t from) {
    return text.size() >= from + 2 && text[from] != '\0' &&
           !platform::isLeadByte(static_cast<unsigned char>(text[from])) && text[from + 1] == ':';
}

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool equalsIgnoringCase(const std::string &text, const char *word) {
    const std::size_t length = std::strlen(word);
    if (text.size() != length)
        return false;
    for (std::size_t i = 0; i < length; ++i)
        if (upper(text[i]) != word[i])
            return false;
    return true;
}

// Windows opens the device, not a file, for these names whatever follows the
// first dot, and it ignores spaces before that dot.
bool isDeviceName(const std::string &component) {
    std::string stem = component.substr(0, component.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    for (const char *device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (equalsIgnoringCase(stem, device))
            return true;
    if (stem.size() != 4 || stem[3] < '1' || stem[3] > '9')
        return false;
    const std::string head = stem.substr(0, 3);
    return equalsIgnoringCase(head, "COM") || equalsIgnoringCase(head, "LPT");
}

// ".", "..", and what Windows trims to them (trailing dots and spaces).
bool isOnlyDotsAndSpaces(const std::string &component) {
    return !component.empty() && component.find_first_not_of(". ") == std::string::npos;
}

ZipResult checkComponent(const std::string &component) {
    if (isOnlyDotsAndSpaces(component))
        return zipresult::UnsafeName;
    // Windows drops trailing dots and spaces when it makes a folder, yet not
    // when a path leads through it: "a./x" would make "a" and then miss it.
    if (isDeviceName(component) ||
        (!component.empty() && (component.back() == '.' || component.back() == ' ')))
        return zipresult::ReservedName;
    return zipresult::Ok;
}

} // namespace

std::string sanitiseName(const std::string &stored) {
    static const char *const climbs[] = {"\\..\\", "\\../", "/../", "/..\\"};
    std::size_t start = 0;
    for (;;) {
        if (hasDrive(stored, start)) {
            start += 2;
            continue;
        }
        if (start < stored.size() && isSeparator(stored[start])) {
            start += 1;
            continue;
        }
        std::size_t climb = std::string::npos;
        for (const char *pattern : climbs) {
            climb = platform::findText8(stored, pattern, start);
            if (climb != std::string::npos)
                break;
        }
        if (climb != std::string::npos) {
            start = climb + 4;
            continue;
        }
        if (startsWith(stored, start, "../") || startsWith(stored, start, "..\\")) {
            start += 3;
            continue;
        }
        if (startsWith(stored, start, "./") || startsWith(stored, start, ".\\")) {
            start += 2;
            continue;
        }
        return withoutDotParts(stored.substr(start));
    }
}

std::string withoutDotParts(const std::string &name) {
    std::string out;
    std::size_t partStart = 0;
    for (std::size_t i = 0; i <= name.size();) {
        if (i < name.size() && !isSeparator(name[i])) {
            i += charLength(name, i);
            continue;
        }
        const std::size_t end = std::min(i + 1, name.size());
        if (name.compare(partStart, i - partStart, ".") != 0)
            out.append(name, partStart, end - partStart);
        partStart = i = end;
        if (end == name.size())
            break;
    }
    return out;
}

ZipResult checkName(const std::string &name) {
    if (name.empty() || isSeparator(name[0]) || hasDrive(name, 0))
        return zipresult::UnsafeName;
    if (name.size() > MaxName)
        return zipresult::NameTooLong;
    std::size_t componentStart = 0;
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t length = charLength(name, i);
        if (length == 1) {
            const auto c = static_cast<unsigned char>(name[i]);
            if (c < 0x20 || std::strchr("<>:\"|?*", c))
                return zipresult::ReservedName;
            if (isSeparator(name[i])) {
                if (const ZipResult result =
                        checkComponent(name.substr(componentStart, i - componentStart)))
                    return result;
                componentStart = i + 1;
            }
        }
        i += length;
    }
    return checkComponent(name.substr(componentStart));
}

std::size_t nextSeparator(const std::string &path, std::size_t from) {
    std::size_t i = from;
    while (i < path.size() && !isSeparator(path[i]))
        i += charLength(path, i);
    return std::min(i, path.size());
}

std::size_t afterLastSeparator(const std::string &path) {
    std::size_t after = 0;
    for (std::size_t i = 0; i < path.size(); i += charLength(path, i))
        if (isSeparator(path[i]))
            after = i + 1;
    return after;
}

} // namespace zip
