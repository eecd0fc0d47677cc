#include "testdelta.h"

#include "zipdelta.h"

#include <stdexcept>

namespace testzip {

Entry deltaEntry(const std::string &name, const std::string &base, const std::string &next) {
    Entry entry(name, next, zip::DeltaMethod);
    std::string frame;
    // A low level: the tests need a valid frame, not the smallest one.
    if (!zip::makeDeltaFrame(base, next, 3, frame))
        throw std::runtime_error("zstd made no frame");
    entry.payload = frame;
    entry.localExtra = zip::deltaField({base.size(), zip::sha256(base.data(), base.size())});
    entry.centralExtra = entry.localExtra;
    return entry;
}

} // namespace testzip
