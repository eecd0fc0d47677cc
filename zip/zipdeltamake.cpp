#include "zipdelta.h"

#include "ziparchive.h"

#include <algorithm>
#include <map>
#include <memory>

namespace zip {

namespace {

// The alignment comes from the matches zstd finds at this level, in pieces
// of the new file of this size: the list of a piece's matches takes sixteen
// bytes per three bytes of the piece at most, beside zstd's output of the
// piece. A segment at a time it was five times the segment; pieces of half
// this size found less.
constexpr int AlignmentLevel = 9;
constexpr uint32_t AlignmentPiece = 1u << 20;
// How far a block is stretched beyond its exact matches into bytes that
// mostly match (at least half of them).
constexpr uint64_t StretchLimit = 1u << 20;
// zstd's tables for a frame, sized to its window (the slice of the base and
// the segment) rather than to the level: zstd's strongest level holds about
// 100 MB of them whatever the file. Each of the hash and the chain table
// (4 bytes an entry) has at most an entry per StrongShare bytes of the
// window for the strongest levels (binary trees, whose reach the chain
// table is), per QuickShare for the others (the quick tries and the
// alignment), and at least 2^MinTableLog entries: a small file keeps all
// zstd would give it. Far matches, beyond a chain table's reach, are the
// long-distance matcher's: for the strongest levels, matches of at least
// LongMatch bytes, one position in 2^LongRateLog hashed into a table (8
// bytes an entry) with an entry per LongShare bytes of the window. Chosen
// on the pairs of bench/delta: pkgdelta then holds at most six times the
// largest changed file of a pair beside its own few MiB (4.5 times for a
// 26 MB program), and the deltas of its programs went from 14 % smaller
// to 4 % larger than with zstd's tables, of its text up to 13 % larger.
constexpr uint64_t StrongShare = 8;
constexpr uint64_t QuickShare = 32;
// The alignment's tables: for AlignmentSearch::Narrow as the quick tries',
// for Wide an entry per WideShare bytes of the window. Larger tables find
// other matches, which align one program better and another worse (a third
// smaller delta of one 5 MB program, a tenth larger of another): a
// publisher's tool tries both.
constexpr uint64_t WideShare = 4;
constexpr int MinTableLog = 18;
constexpr int LongMatch = 32;
constexpr int LongRateLog = 4;
constexpr uint64_t LongShare = 32;

// Releases a compression context when it goes.
struct ContextCloser {
    void operator()(ZSTD_CCtx *context) const { ZSTD_freeCCtx(context); }
};
using Context = std::unique_ptr<ZSTD_CCtx, ContextCloser>;

// The largest log whose power of two is at most value (0 for 0).
int floorLog2(uint64_t value) {
    int log = 0;
    while (log < 63 && (uint64_t{2} << log) <= value)
        ++log;
    return log;
}

// prefix is zstd's prefix; long-distance matching finds what moved across
// the whole of it; the window reaches from the end of next back to the
// start of the prefix. share, where not 0, sets the tables' share instead of
// the level.
bool startFrame(ZSTD_CCtx *context, const unsigned char *prefix, std::size_t prefixSize,
                std::size_t size, int level, uint64_t share = 0) {
    const uint64_t window = prefixSize + size;
    int windowLog = 10; // zstd's smallest window, 1 KiB
    while (windowLog < MaxWindowLog && (uint64_t{1} << windowLog) < window)
        ++windowLog;
    const ZSTD_compressionParameters defaults = ZSTD_getCParams(level, size, prefixSize);
    const bool strong = defaults.strategy >= ZSTD_btopt;
    if (share == 0)
        share = strong ? StrongShare : QuickShare;
    const int tableLog = std::max(MinTableLog, floorLog2(window / share));
    const auto set = [context](ZSTD_cParameter parameter, int value) {
        return !ZSTD_isError(ZSTD_CCtx_setParameter(context, parameter, value));
    };
    ZSTD_CCtx_reset(context, ZSTD_reset_session_and_parameters);
    return set(ZSTD_c_compressionLevel, level) && set(ZSTD_c_enableLongDistanceMatching, 1) &&
           set(ZSTD_c_windowLog, windowLog) &&
           set(ZSTD_c_chainLog, std::min(static_cast<int>(defaults.chainLog), tableLog)) &&
           set(ZSTD_c_hashLog, std::min(static_cast<int>(defaults.hashLog), tableLog)) &&
           (!strong ||
            (set(ZSTD_c_ldmHashLog,
                 std::max(ZSTD_LDM_HASHLOG_MIN, floorLog2(window / LongShare))) &&
             set(ZSTD_c_ldmMinMatch, LongMatch) && set(ZSTD_c_ldmHashRateLog, LongRateLog))) &&
           (prefixSize == 0 || !ZSTD_isError(ZSTD_CCtx_refPrefix(context, prefix, prefixSize)));
}

bool compressFrame(ZSTD_CCtx *context, const unsigned char *prefix, std::size_t prefixSize,
                   const unsigned char *data, std::size_t size, int level, std::string &frame) {
    if (!startFrame(context, prefix, prefixSize, size, level))
        return false;
    // Only what zstd writes of the buffer is touched.
    const std::size_t bound = ZSTD_compressBound(size);
    const std::unique_ptr<char[]> out(new char[bound]);
    const std::size_t made = ZSTD_compress2(context, out.get(), bound, data, size);
    if (ZSTD_isError(made))
        return false;
    frame.assign(out.get(), made);
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
                                  AlignmentSearch search, ZSTD_CCtx *context) {
    std::vector<AlignedBlock> found;
    std::vector<ZSTD_Sequence> sequences;
    const auto *baseBytes = reinterpret_cast<const unsigned char *>(base.data());
    for (uint64_t position = 0; position < next.size(); position += AlignmentPiece) {
        const auto size =
            static_cast<std::size_t>(std::min<uint64_t>(AlignmentPiece, next.size() - position));
        uint64_t from = 0, length = 0;
        sliceFor(base.size(), next.size(), position, size, nullptr, from, length);
        if (!startFrame(context, baseBytes + from, static_cast<std::size_t>(length), size,
                        AlignmentLevel, search == AlignmentSearch::Wide ? WideShare : QuickShare))
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

// How far into a gap of room bytes a side takes the most matching bytes
// beyond mismatching ones; matches(k) tells whether the side's k-th byte
// matches.
template <typename Matches> uint64_t reach(uint64_t room, const Matches &matches) {
    uint64_t far = 0;
    for (int64_t matching = 0, best = 0, k = 0; k < static_cast<int64_t>(room); ++k) {
        matching += matches(k);
        if (2 * matching - (k + 1) > best) {
            best = 2 * matching - (k + 1);
            far = k + 1;
        }
    }
    return far;
}

// Where two sides that would both take some bytes of the gap part: at the
// split where the most of the bytes match their side. The matching bytes of
// either side are counted up to each split as it moves.
template <typename Ahead, typename Back>
uint64_t split(uint64_t room, uint64_t forward, uint64_t backward, const Ahead &ahead,
               const Back &back) {
    int64_t fromBefore = 0, fromAfter = 0, most = -1;
    for (uint64_t k = 0; k < room - backward; ++k)
        fromBefore += ahead(k);
    for (uint64_t k = 0; k < backward; ++k)
        fromAfter += back(k);
    uint64_t best = room - backward;
    for (uint64_t s = room - backward; s <= forward; ++s) {
        if (fromBefore + fromAfter > most) {
            most = fromBefore + fromAfter;
            best = s;
        }
        if (s < forward) {
            fromBefore += ahead(s);
            fromAfter -= back(room - s - 1);
        }
    }
    return best;
}

// Stretches each block over the bytes around it that mostly match at its
// distance, as far as the next block lets it: where both would take the
// same bytes, they part where the most of them match. Counted as it goes:
// lists of the counts, 16 bytes per byte of a gap, were the most pkgdelta
// held for a program.
void stretch(std::vector<AlignedBlock> &blocks, const std::string &base, const std::string &next) {
    for (std::size_t gap = 0; gap <= blocks.size(); ++gap) {
        AlignedBlock *before = gap > 0 ? &blocks[gap - 1] : nullptr;
        AlignedBlock *after = gap < blocks.size() ? &blocks[gap] : nullptr;
        const uint64_t nextFrom = before ? before->next + before->length : 0;
        const uint64_t baseFrom = before ? before->base + before->length : 0;
        const uint64_t nextTo = after ? after->next : next.size();
        const uint64_t baseTo = after ? after->base : base.size();
        const uint64_t room = std::min({nextTo - nextFrom, baseTo - baseFrom, StretchLimit});
        // Whether the k-th byte of the gap matches at the distance of the
        // block before it, counted from the gap's start, or of the block
        // after it, counted back from the gap's end.
        const auto ahead = [&](uint64_t k) {
            return static_cast<int64_t>(next[nextFrom + k] == base[baseFrom + k]);
        };
        const auto back = [&](uint64_t k) {
            return static_cast<int64_t>(next[nextTo - 1 - k] == base[baseTo - 1 - k]);
        };
        uint64_t forward = before ? reach(room, ahead) : 0;
        uint64_t backward = after ? reach(room, back) : 0;
        if (forward + backward > room) {
            forward = split(room, forward, backward, ahead, back);
            backward = room - forward;
        }
        if (before)
            before->length += forward;
        if (after) {
            after->next -= backward;
            after->base -= backward;
            after->length += backward;
        }
    }
}

// With a context of its own: the one that collected sequences would go on
// collecting them into the list that is gone. It goes before the matches
// are chained, which takes memory of its own.
bool align(const std::string &base, const std::string &next, AlignmentSearch search,
           Alignment &alignment) {
    std::vector<AlignedBlock> found;
    {
        const Context context(ZSTD_createCCtx());
        if (!context)
            return false;
        found = matches(base, next, search, context.get());
    }
    std::vector<AlignedBlock> blocks = joined(chain(found), false);
    std::vector<AlignedBlock>().swap(found);
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

bool makeDelta(const std::string &base, std::string &next, int level, Transform transform,
               std::string &data, DeltaBase &described, uint32_t segmentSize,
               AlignmentSearch search) {
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
        if (!align(base, next, search, alignment))
            return false;
        const std::string list = alignment.serialise();
        if (!compressFrame(context.get(), nullptr, 0,
                           reinterpret_cast<const unsigned char *>(list.data()), list.size(), level,
                           frame))
            return false;
        put(data, frame.size(), 4);
        data += frame;
    }
    const X86Code code = transform == Transform::X86 ? X86Code::Bits32 : X86Code::Bits64;
    for (uint64_t position = 0; position < next.size(); position += segmentSize) {
        const auto size =
            static_cast<std::size_t>(std::min<uint64_t>(segmentSize, next.size() - position));
        uint64_t from = 0, length = 0;
        sliceFor(base.size(), next.size(), position, size,
                 transform != Transform::None ? &alignment : nullptr, from, length);
        auto *bytes = reinterpret_cast<unsigned char *>(&next[static_cast<std::size_t>(position)]);
        const BaseView view{baseBytes + from, from, length};
        if (transform != Transform::None &&
            !encodeSegment(bytes, size, position, alignment, code, view))
            return false;
        const bool made =
            compressFrame(context.get(), baseBytes + from, static_cast<std::size_t>(length), bytes,
                          size, level, frame);
        if (transform != Transform::None)
            decodeSegment(bytes, size, position, alignment, code, view);
        if (!made)
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
