#include "packagecheck.h"

#include <cctype>
#include <cstdint>

int compareVersions(const std::string &a, const std::string &b) {
    // The next part's number (its leading digits; none is 0) from at on.
    const auto nextPart = [](const std::string &text, std::size_t &at) {
        uint64_t number = 0;
        for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at)
            number = number < UINT64_MAX / 10 ? number * 10 + (text[at] - '0') : UINT64_MAX;
        while (at < text.size() && text[at] != '.')
            ++at;
        if (at < text.size())
            ++at;
        return number;
    };
    std::size_t atA = 0, atB = 0;
    while (atA < a.size() || atB < b.size()) {
        const uint64_t partA = nextPart(a, atA), partB = nextPart(b, atB);
        if (partA != partB)
            return partA < partB ? -1 : 1;
    }
    return 0;
}
