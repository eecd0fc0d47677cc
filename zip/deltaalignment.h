// What a delta entry does to the new file before zstd sees it, so that a
// small change of a program costs a small delta: where the new file lines
// up with the old one (the alignment), the new bytes are stored as their
// difference from the old bytes at that place, mostly zeros; and the 32-bit
// displacements of x86 calls, jumps and (64-bit code) RIP-relative
// operands are first rewritten as they would read in the old file, so that
// code that only moved reads as it did before. Both steps are exact
// inverses of themselves given the old file and the alignment, which the
// entry carries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zip {

// New bytes [next, next + length) stand where old bytes [base, base +
// length) stood.
struct AlignedBlock {
    uint64_t next;
    uint64_t base;
    uint64_t length;
};

// Blocks in ascending order in both files, none overlapping another, each
// inside both files; and with them a one-to-one map of all positions of the
// new file's frame onto the old file's (see toBase).
class Alignment {
public:
    // At most this many blocks: 24 bytes each in memory.
    static constexpr std::size_t MaxBlocks = 1u << 18;

    // False when the blocks break the rules above or are too many.
    bool assign(std::vector<AlignedBlock> blocks, uint64_t baseSize, uint64_t nextSize);
    const std::vector<AlignedBlock> &blocks() const { return blocks_; }
    // Inside a block, the old position that a new one stands for; between
    // blocks, the positions left over in the new file go in their order to
    // those left over in the old one; outside both files, the position
    // itself. toNext undoes it.
    int64_t toBase(int64_t position) const { return map(position, true); }
    int64_t toNext(int64_t position) const { return map(position, false); }
    // The blocks as the entry carries them: per block three 32-bit values,
    // little-endian: the gap in the new file since the last block, the gap
    // in the old file, the length.
    std::string serialise() const;
    // The larger of the two files' sizes: the positions the map moves.
    int64_t span() const { return span_; }
    bool parse(const unsigned char *bytes, std::size_t size, uint64_t baseSize, uint64_t nextSize);

private:
    int64_t map(int64_t position, bool forward) const;
    // Where a block starts in the new file (inNext) or the old one.
    static int64_t startOn(const AlignedBlock &block, bool inNext) {
        return static_cast<int64_t>(inNext ? block.next : block.base);
    }
    // The positions of one file left over before a block.
    int64_t leftBefore(std::size_t block, bool inNext) const;

    std::vector<AlignedBlock> blocks_;
    // The lengths of the blocks before each, and of all of them last.
    std::vector<uint64_t> before_;
    int64_t span_ = 0;
    // Where the searches of map start: undoing the transform maps every
    // operand it finds, two or three positions each, and the blocks are
    // many. Per stretch of 2^shift_ positions, the blocks that start before
    // it (per side), and per stretch of as many left-over positions, the
    // blocks with fewer left-over positions before them (per side): a
    // search then looks at the few blocks of one stretch. About as many
    // stretches as blocks.
    unsigned shift_ = 0;
    std::vector<uint32_t> starting_[2];
    std::vector<uint32_t> ranked_[2];
};

// Which x86 operands a transform rewrites: 32-bit code (calls, jumps and
// conditional jumps with 32-bit displacements), or 64-bit code (those, the
// usual RIP-relative loads, stores, address loads, compares and indirect
// calls and jumps, and 64-bit words on 8-byte boundaries that hold an
// address in the file).
enum class X86Code { Bits32, Bits64 };

// The old bytes [from, from + size) at hand for a segment.
struct BaseView {
    const unsigned char *bytes;
    uint64_t from;
    uint64_t size;
};

// Transforms the segment data[0, size) of the new file, at position in it:
// displacements first, then differences. False when an aligned byte of the
// segment has its old byte outside base (nothing is changed then).
bool encodeSegment(unsigned char *data, std::size_t size, uint64_t position,
                   const Alignment &alignment, X86Code code, const BaseView &base);
// The inverse: differences first, then displacements.
bool decodeSegment(unsigned char *data, std::size_t size, uint64_t position,
                   const Alignment &alignment, X86Code code, const BaseView &base);
// The old bytes the aligned bytes of [position, position + size) stand
// for, as [from, to); from == to when there are none.
void alignedBaseRange(const Alignment &alignment, uint64_t position, uint64_t size, uint64_t &from,
                      uint64_t &to);

} // namespace zip
