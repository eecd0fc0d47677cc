#include "testdelta.h"

#include "zipdelta.h"

#include <stdexcept>

namespace testzip {

namespace {

// A low level: the tests need valid data, not the smallest.
constexpr int Level = 3;

Entry withData(const std::string &name, const std::string &next, const std::string &data,
               const zip::DeltaBase &base) {
    Entry entry(name, next, zip::DeltaMethod);
    entry.payload = data;
    entry.localExtra = zip::deltaField(base);
    entry.centralExtra = entry.localExtra;
    return entry;
}

} // namespace

Entry deltaEntry(const std::string &name, const std::string &base, const std::string &next,
                 uint32_t segmentSize, zip::AlignmentSearch search) {
    std::string data, transformed = next;
    zip::DeltaBase described;
    if (!zip::makeDelta(base, transformed, Level, zip::transformFor(next), data, described,
                        segmentSize, search))
        throw std::runtime_error("no delta made");
    if (transformed != next)
        throw std::runtime_error("the new file was left transformed");
    return withData(name, next, data, described);
}

Entry firstLayoutEntry(const std::string &name, const std::string &base, const std::string &next) {
    std::string frame;
    if (!zip::makeDeltaFrame(base, next, Level, frame))
        throw std::runtime_error("zstd made no frame");
    return withData(name, next, frame, {base.size(), zip::sha256(base.data(), base.size())});
}

} // namespace testzip
