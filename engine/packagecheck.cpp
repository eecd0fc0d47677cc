#include "packagecheck.h"

#include <cctype>
#include <cstdint>
#include <vector>

PackageCheck::Outcome PackageCheck::take(platform::FileHandle package, platform::FileHandle copy) {
    signedVersion_.reset();
    std::vector<unsigned char> block(1u << 18);
    for (;;) {
        uint32_t got = 0;
        if (!platform::readFile(package, block.data(), static_cast<uint32_t>(block.size()), got))
            return Outcome::ReadFailed;
        if (got == 0)
            break;
        observe(block.data(), got);
        if (!platform::writeFile(copy, block.data(), got))
            return Outcome::WriteFailed;
    }
    return conclude(copy);
}

int compareVersions(const std::string &a, const std::string &b) {
    // The next part's number from at on: its first digits, after any
    // letters in front of them ("v2" is 2; none is 0).
    const auto nextPart = [](const std::string &text, std::size_t &at) {
        uint64_t number = 0;
        while (at < text.size() && text[at] != '.' &&
               !std::isdigit(static_cast<unsigned char>(text[at])))
            ++at;
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
