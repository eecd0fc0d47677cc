// Delta entries for the tests: the frame made with the library the
// publisher's tool uses, the base's block in both extra fields.
#pragma once

#include "testzip.h"
#include "zipdelta.h"

#include <string>

namespace testzip {

// The entry that turns base, installed at name, into next, as pkgdelta
// makes it: in segments (of segmentSize bytes), with the transform that
// suits next (aligned by search).
Entry deltaEntry(const std::string &name, const std::string &base, const std::string &next,
                 uint32_t segmentSize = zip::SegmentSize,
                 zip::AlignmentSearch search = zip::AlignmentSearch::Narrow);
// The same in the first layout: one frame against the whole base. With an
// empty base, the frame of a zstd entry.
Entry firstLayoutEntry(const std::string &name, const std::string &base, const std::string &next);

} // namespace testzip
