#include "zipdelta.h"

#include "ziparchive.h"

#include <algorithm>
#include <map>

namespace zip {

namespace {

// The alignment comes from the matches zstd finds at this level, a segment
// of the new file at a time, whose list of matches takes sixteen bytes per
// three bytes of the segment at most.
constexpr int AlignmentLevel = 9;
// How far a block is stretched beyond its exact matches into bytes that
// mostly match (at least half of them).
constexpr uint64_t StretchLimit = 1u << 20;

// Releases a compression context when it goes.
struct ContextCloser {
    void operator()(ZSTD_CCtx *context) const { ZSTD_freeCCtx(context); }
};
using Context = std::unique_ptr<ZSTD_CCtx, ContextCloser>;

// prefix is zstd's prefix; long-distance matching finds what moved across
// the whole of it; the window reaches from the end of next back to the
// start of the prefix. The search tables stay below the window's size, so
// that making a delta of a small file takes little memory.
bool startFrame(ZSTD_CCtx *context, const unsigned char *prefix, std::size_t prefixSize,
                std::size_t size, int level) {
    int windowLog = 10; // zstd's smallest window, 1 KiB
    while (windowLog < MaxWindowLog && (uint64_t{1} << windowLog) < prefixSize + size)
        ++windowLog;
    const ZSTD_compressionParameters defaults = ZSTD_getCParams(level, prefixSize + size, 0);
    ZSTD_CCtx_reset(context, ZSTD_reset_session_and_parameters);
    return !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level)) &&
           !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_enableLongDistanceMatching, 1)) &&
           !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, windowLog)) &&
           !ZSTD_isError(ZSTD_CCtx_setParameter(
               context, ZSTD_c_chainLog,
               std::min(static_cast<int>(defaults.chainLog), windowLog - 1))) &&
           !ZSTD_isError(ZSTD_CCtx_setParameter(
               context, ZSTD_c_hashLog,
               std::min(static_cast<int>(defaults.hashLog), windowLog - 2))) &&
           (prefixSize == 0 || !ZSTD_isError(ZSTD_CCtx_refPrefix(context, prefix, prefixSize)));
}

bool compressFrame(ZSTD_CCtx *context, const unsigned char *prefix, std::size_t prefixSize,
                   const unsigned char *data, std::size_t size, int level, std::string &frame) {
    if (!startFrame(context, prefix, prefixSize, size, level))
        return false;
    frame.resize(ZSTD_compressBound(size));
    const std::size_t made = ZSTD_compress2(context, &frame[0], frame.size(), data, size);
    if (ZSTD_isError(made))
        return false;
    frame.resize(made);
    return true;
}

void put(std::string &out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out += static_cast<char>(value >> (8 * i));
}

// The slice of the base a segment of the new file at position is made
// against: all of a base that fits, else one around where the segment's
// aligned bytes were (or, without them, where the segment stands in
// proportion).
void sliceFor(uint64_t baseSize, uint64_t nextSize, uint64_t position, uint64_t size,
              const Alignment *alignment, uint64_t &from, uint64_t &length) {
    length = std::min<uint64_t>(baseSize, SliceSize);
    uint64_t low = 0, high = 0;
    if (alignment)
        alignedBaseRange(*alignment, position, size, low, high);
    const uint64_t middle =
        low < high ? (low + high) / 2
                   : (position + size / 2) * baseSize / std::max<uint64_t>(nextSize, 1);
    from = std::min(middle - std::min(middle, length / 2), baseSize - length);
}

// The exact matches of next in base, in the order of next.
std::vector<AlignedBlock> matches(const std::string &base, const std::string &next,
                                  ZSTD_CCtx *context) {
    std::vector<AlignedBlock> found;
    std::vector<ZSTD_Sequence> sequences;
    const auto *baseBytes = reinterpret_cast<const unsigned char *>(base.data());
    for (uint64_t position = 0; position < next.size(); position += SegmentSize) {
        const auto size =
            static_cast<std::size_t>(std::min<uint64_t>(SegmentSize, next.size() - position));
        uint64_t from = 0, length = 0;
        sliceFor(base.size(), next.size(), position, size, nullptr, from, length);
        if (!startFrame(context, baseBytes + from, static_cast<std::size_t>(length), size,
                        AlignmentLevel))
            return {};
        sequences.resize(ZSTD_sequenceBound(size));
        const std::size_t count = ZSTD_generateSequences(
            context, sequences.data(), sequences.size(), next.data() + position, size);
        if (ZSTD_isError(count))
            return {};
        uint64_t at = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const ZSTD_Sequence &sequence = sequences[i];
            at += sequence.litLength;
            // Positions of the prefix come first, then the piece's own.
            const int64_t source = static_cast<int64_t>(length + at) - sequence.offset;
            if (sequence.matchLength > 0 && source >= 0 &&
                static_cast<uint64_t>(source) + sequence.matchLength <= length)
                found.push_back(
                    {position + at, from + static_cast<uint64_t>(source), sequence.matchLength});
            at += sequence.matchLength;
        }
    }
    return found;
}

// The matches that rise in both files and cover the most of the new one.
std::vector<AlignedBlock> chain(const std::vector<AlignedBlock> &found) {
    // Per end in the base, the best cover ending there, its value rising
    // with the end.
    std::map<uint64_t, std::pair<uint64_t, std::size_t>> best;
    std::vector<std::size_t> previous(found.size());
    uint64_t top = 0;
    std::size_t last = found.size();
    for (std::size_t i = 0; i < found.size(); ++i) {
        const AlignedBlock &block = found[i];
        uint64_t cover = block.length;
        previous[i] = found.size();
        auto before = best.upper_bound(block.base);
        if (before != best.begin()) {
            --before;
            cover += before->second.first;
            previous[i] = before->second.second;
        }
        if (cover > top) {
            top = cover;
            last = i;
        }
        const uint64_t end = block.base + block.length;
        auto at = best.upper_bound(end);
        if (at != best.begin() && std::prev(at)->second.first >= cover)
            continue;
        for (at = best.lower_bound(end); at != best.end() && at->second.first <= cover;)
            at = best.erase(at);
        best[end] = {cover, i};
    }
    std::vector<AlignedBlock> chained;
    for (std::size_t i = last; i < found.size(); i = previous[i])
        chained.push_back(found[i]);
    std::reverse(chained.begin(), chained.end());
    return chained;
}

// Joins neighbours that lie at the same distance in both files, with what
// lies between them.
std::vector<AlignedBlock> joined(const std::vector<AlignedBlock> &blocks, bool touchingOnly) {
    std::vector<AlignedBlock> out;
    for (const AlignedBlock &block : blocks) {
        if (block.length == 0)
            continue;
        if (!out.empty() && out.back().base - out.back().next == block.base - block.next &&
            (!touchingOnly || out.back().next + out.back().length == block.next))
            out.back().length = block.next + block.length - out.back().next;
        else
            out.push_back(block);
    }
    return out;
}

// Stretches each block over the bytes around it that mostly match at its
// distance, as far as the next block lets it: where both would take the
// same bytes, they part where the most of them match.
void stretch(std::vector<AlignedBlock> &blocks, const std::string &base, const std::string &next) {
    for (std::size_t gap = 0; gap <= blocks.size(); ++gap) {
        AlignedBlock *before = gap > 0 ? &blocks[gap - 1] : nullptr;
        AlignedBlock *after = gap < blocks.size() ? &blocks[gap] : nullptr;
        const uint64_t nextFrom = before ? before->next + before->length : 0;
        const uint64_t baseFrom = before ? before->base + before->length : 0;
        const uint64_t nextTo = after ? after->next : next.size();
        const uint64_t baseTo = after ? after->base : base.size();
        const uint64_t room = std::min({nextTo - nextFrom, baseTo - baseFrom, StretchLimit});
        // forward[k], backward[k]: matching bytes among the first k.
        std::vector<int64_t> forward(1, 0), backward(1, 0);
        // The most matching bytes beyond the mismatching ones.
        const auto gain = [](const std::vector<int64_t> &matching, uint64_t k) {
            return 2 * matching[k] - static_cast<int64_t>(k);
        };
        uint64_t ahead = 0, back = 0;
        for (uint64_t k = 0; before && k < room; ++k) {
            forward.push_back(forward.back() + (next[nextFrom + k] == base[baseFrom + k]));
            if (gain(forward, k + 1) > gain(forward, ahead))
                ahead = k + 1;
        }
        for (uint64_t k = 0; after && k < room; ++k) {
            backward.push_back(backward.back() + (next[nextTo - 1 - k] == base[baseTo - 1 - k]));
            if (gain(backward, k + 1) > gain(backward, back))
                back = k + 1;
        }
        if (ahead + back > room) {
            uint64_t split = room - back;
            int64_t most = -1;
            for (uint64_t s = room - back; s <= ahead; ++s)
                if (forward[s] + backward[room - s] > most) {
                    most = forward[s] + backward[room - s];
                    split = s;
                }
            ahead = split;
            back = room - split;
        }
        if (before)
            before->length += ahead;
        if (after) {
            after->next -= back;
            after->base -= back;
            after->length += back;
        }
    }
}

// With a context of its own: the one that collected sequences would go on
// collecting them into the list that is gone.
bool align(const std::string &base, const std::string &next, Alignment &alignment) {
    const Context context(ZSTD_createCCtx());
    if (!context)
        return false;
    std::vector<AlignedBlock> blocks = joined(chain(matches(base, next, context.get())), false);
    stretch(blocks, base, next);
    return alignment.assign(joined(blocks, true), base.size(), next.size());
}

} // namespace

bool makeDeltaFrame(const std::string &base, const std::string &next, int level,
                    std::string &frame) {
    const Context context(ZSTD_createCCtx());
    return context &&
           compressFrame(context.get(), reinterpret_cast<const unsigned char *>(base.data()),
                         base.size(), reinterpret_cast<const unsigned char *>(next.data()),
                         next.size(), level, frame);
}

bool makeDelta(const std::string &base, const std::string &next, int level, Transform transform,
               std::string &data, DeltaBase &described, uint32_t segmentSize) {
    if (segmentSize == 0 || segmentSize > SegmentSize)
        return false;
    const Context context(ZSTD_createCCtx());
    if (!context)
        return false;
    described = {base.size(), sha256(base.data(), base.size()), true, transform};
    const auto *baseBytes = reinterpret_cast<const unsigned char *>(base.data());
    Alignment alignment;
    std::string frame;
    data.clear();
    if (transform != Transform::None) {
        if (!align(base, next, alignment))
            return false;
        const std::string list = alignment.serialise();
        if (!compressFrame(context.get(), nullptr, 0,
                           reinterpret_cast<const unsigned char *>(list.data()), list.size(), level,
                           frame))
            return false;
        put(data, frame.size(), 4);
        data += frame;
    }
    std::string segment;
    for (uint64_t position = 0; position < next.size(); position += segmentSize) {
        const auto size =
            static_cast<std::size_t>(std::min<uint64_t>(segmentSize, next.size() - position));
        uint64_t from = 0, length = 0;
        sliceFor(base.size(), next.size(), position, size,
                 transform != Transform::None ? &alignment : nullptr, from, length);
        segment.assign(next, static_cast<std::size_t>(position), size);
        auto *bytes = reinterpret_cast<unsigned char *>(&segment[0]);
        if (transform != Transform::None &&
            !encodeSegment(bytes, size, position, alignment,
                           transform == Transform::X86 ? X86Code::Bits32 : X86Code::Bits64,
                           {baseBytes + from, from, length}))
            return false;
        if (!compressFrame(context.get(), baseBytes + from, static_cast<std::size_t>(length), bytes,
                           size, level, frame))
            return false;
        put(data, from, 8);
        put(data, length, 4);
        put(data, size, 4);
        put(data, frame.size(), 4);
        data += frame;
    }
    return true;
}

Transform transformFor(const std::string &file) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(file.data());
    if (file.size() >= 64 && file.compare(0, 2, "MZ") == 0) {
        const uint32_t header = get32(bytes + 60);
        if (header <= file.size() - 6 && file.compare(header, 4, std::string("PE\0\0", 4)) == 0) {
            const uint16_t machine = get16(bytes + header + 4);
            return machine == 0x14C    ? Transform::X86
                   : machine == 0x8664 ? Transform::X86_64
                                       : Transform::None;
        }
    }
    if (file.size() >= 20 && file.compare(0, 4,
                                          "\x7F"
                                          "ELF") == 0) {
        const uint16_t machine = get16(bytes + 18);
        return machine == 3 ? Transform::X86 : machine == 62 ? Transform::X86_64 : Transform::None;
    }
    return Transform::None;
}

} // namespace zip
