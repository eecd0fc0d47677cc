#include "deltaalignment.h"

#include "ziparchive.h"

#include <algorithm>

namespace zip {

namespace {

// Displacements are rewritten modulo 2^25: 24 bits and the sign, as a
// displacement whose top byte is 00 or FF holds them. The top byte stays
// 00 or FF, so that the inverse finds the same operands; and the map is
// one-to-one only where a displacement reaches over both files whole.
constexpr int64_t Ring = int64_t{1} << 25;
constexpr int64_t HalfRing = Ring / 2;

void put32(std::string &out, uint64_t value) {
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>(value >> (8 * i));
}

bool ripRelative(unsigned char modrm) {
    return (modrm & 0xC7) == 0x05;
}

// Per code, per first two bytes of an operand: where its displacement lies
// after its start (1 to 3), or 0 where none can start; at 3 the third byte
// must still name a RIP-relative operand. Most pairs start none, and a
// branch on this one table is mispredicted much less often in x86 code than
// the tests that it gathers, each true at every sixth byte or so.
class Openers {
public:
    Openers() : offsets_(2 * 65536) {
        for (unsigned pair = 0; pair < 65536; ++pair) {
            const unsigned char op = pair >> 8, second = pair & 0xFF;
            const bool jump32 = op == 0xE8 || op == 0xE9; // call, jmp
            const bool conditional = op == 0x0F && (second & 0xF0) == 0x80;
            offsets_[pair] = jump32 ? 1 : conditional ? 2 : 0;
            // FF 15, FF 25: call and jmp through a pointer; 8B mov, 8D lea,
            // 89 mov to memory with a RIP-relative operand; REX.W and one
            // of 8B, 8D, 89, 3B and 39 cmp, 63 movsxd, 03 add.
            const bool indirect = op == 0xFF && (second == 0x15 || second == 0x25);
            const bool rip = (op == 0x8B || op == 0x8D || op == 0x89) && ripRelative(second);
            const bool rexW =
                (op & 0xF8) == 0x48 &&
                (second == 0x8B || second == 0x8D || second == 0x89 || second == 0x3B ||
                 second == 0x39 || second == 0x63 || second == 0x03);
            offsets_[65536 + pair] = jump32 ? 1 : conditional || indirect || rip ? 2 : rexW ? 3 : 0;
        }
    }
    const unsigned char *of(X86Code code) const {
        return offsets_.data() + (code == X86Code::Bits64 ? 65536 : 0);
    }

private:
    std::vector<unsigned char> offsets_;
};

// Where the displacement of an operand starting at data[i] lies (i + 1 to
// i + 3), or 0 when no operand starts there; data[i + 2] must be there.
// Only bytes before the displacement are looked at, and never one that a
// displacement found further on could take: an operand found at i is
// skipped whole, whatever its top byte, so every decision sees the same
// bytes both ways.
std::size_t displacementAt(const unsigned char *data, std::size_t i, const unsigned char *offsets) {
    const unsigned offset = offsets[data[i] << 8 | data[i + 1]];
    if (offset == 0 || (offset == 3 && !ripRelative(data[i + 2])))
        return 0;
    return i + offset;
}

// Every displacement of data[0, size) (the new file from position), taken
// from where it jumps in the new file to where it would in the old one
// (encode), or back.
void rebase(unsigned char *data, std::size_t size, uint64_t position, const Alignment &alignment,
            X86Code code, bool encode) {
    if (alignment.span() > HalfRing)
        return;
    static const Openers openers;
    const unsigned char *offsets = openers.of(code);
    for (std::size_t i = 0; i + 5 <= size;) {
        const std::size_t at = displacementAt(data, i, offsets);
        if (at == 0 || at + 4 > size) {
            ++i;
            continue;
        }
        i = at + 4;
        unsigned char *field = data + at;
        if (field[3] != 0x00 && field[3] != 0xFF)
            continue;
        const int64_t stored = (get32(field) & 0xFFFFFF) | (field[3] ? HalfRing : 0);
        const auto end = static_cast<int64_t>(position + at + 4);
        int64_t value;
        if (encode) {
            const int64_t target = end + (stored >= HalfRing ? stored - Ring : stored);
            value = alignment.toBase(target) - alignment.toBase(end);
        } else {
            // The one position within half the ring of the operand's end
            // that the stored value names, seen from the old frame.
            const int64_t low = end - HalfRing;
            const int64_t seen = alignment.toBase(end) + stored;
            const int64_t target = low + (((seen - low) % Ring) + Ring) % Ring;
            value = alignment.toNext(target) - end;
        }
        value = ((value % Ring) + Ring) % Ring;
        field[0] = static_cast<unsigned char>(value);
        field[1] = static_cast<unsigned char>(value >> 8);
        field[2] = static_cast<unsigned char>(value >> 16);
        field[3] = value >= HalfRing ? 0xFF : 0x00;
    }
}

std::vector<AlignedBlock>::const_iterator firstEndingAfter(const std::vector<AlignedBlock> &blocks,
                                                           uint64_t position) {
    return std::upper_bound(
        blocks.begin(), blocks.end(), position,
        [](uint64_t at, const AlignedBlock &b) { return at < b.next + b.length; });
}

// Whether base holds the old bytes of every aligned byte of the segment.
bool covers(const Alignment &alignment, uint64_t position, uint64_t size, const BaseView &base) {
    uint64_t from = 0, to = 0;
    alignedBaseRange(alignment, position, size, from, to);
    return from == to || (from >= base.from && to <= base.from + base.size);
}

// 64-bit code keeps addresses in its data as 64-bit words on 8-byte
// boundaries, and in libraries they are addresses in the file: each such
// word below 2^32 goes where the map takes it (a permutation of the
// positions below 2^32 when both files are smaller), so that a table of
// addresses that only moved reads as before.
void rebaseWords(unsigned char *data, std::size_t size, uint64_t position,
                 const Alignment &alignment, bool encode) {
    if (alignment.span() > (int64_t{1} << 32))
        return;
    for (std::size_t i = (8 - position % 8) % 8; i + 8 <= size; i += 8) {
        unsigned char *word = data + i;
        if (word[4] | word[5] | word[6] | word[7])
            continue;
        const int64_t value = get32(word);
        const int64_t moved = encode ? alignment.toBase(value) : alignment.toNext(value);
        for (int k = 0; k < 4; ++k)
            word[k] = static_cast<unsigned char>(moved >> (8 * k));
    }
}

// The aligned bytes of data[0, size) minus (encode) or plus the old bytes
// at their place.
void difference(unsigned char *data, std::size_t size, uint64_t position,
                const Alignment &alignment, const BaseView &base, bool encode) {
    const auto &blocks = alignment.blocks();
    const uint64_t end = position + size;
    for (auto block = firstEndingAfter(blocks, position);
         block != blocks.end() && block->next < end; ++block) {
        const uint64_t from = std::max(block->next, position);
        const uint64_t to = std::min(block->next + block->length, end);
        const unsigned char *old = base.bytes + (block->base + (from - block->next) - base.from);
        unsigned char *bytes = data + (from - position);
        const auto count = static_cast<std::size_t>(to - from);
        if (encode)
            for (std::size_t i = 0; i < count; ++i)
                bytes[i] = static_cast<unsigned char>(bytes[i] - old[i]);
        else
            for (std::size_t i = 0; i < count; ++i)
                bytes[i] = static_cast<unsigned char>(bytes[i] + old[i]);
    }
}

// For a key that rises with the blocks: per stretch of 2^shift values of it,
// from the first on, how many blocks have a key below the stretch.
template <typename Key>
std::vector<uint32_t> stretches(std::size_t count, int64_t span, unsigned shift, Key key) {
    std::vector<uint32_t> below(static_cast<std::size_t>((span >> shift) + 2));
    std::size_t block = 0;
    for (std::size_t k = 0; k < below.size(); ++k) {
        while (block < count && key(block) < static_cast<int64_t>(k) << shift)
            ++block;
        below[k] = static_cast<uint32_t>(block);
    }
    return below;
}

} // namespace

bool Alignment::assign(std::vector<AlignedBlock> blocks, uint64_t baseSize, uint64_t nextSize) {
    if (blocks.size() > MaxBlocks)
        return false;
    uint64_t nextEnd = 0, baseEnd = 0;
    for (const AlignedBlock &block : blocks) {
        if (block.length == 0 || block.next < nextEnd || block.base < baseEnd ||
            block.next + block.length > nextSize || block.base + block.length > baseSize)
            return false;
        nextEnd = block.next + block.length;
        baseEnd = block.base + block.length;
    }
    blocks_ = std::move(blocks);
    before_.assign(1, 0);
    for (const AlignedBlock &block : blocks_)
        before_.push_back(before_.back() + block.length);
    span_ = static_cast<int64_t>(std::max(baseSize, nextSize));
    shift_ = 0;
    while ((span_ >> shift_) > static_cast<int64_t>(blocks_.size()))
        ++shift_;
    for (const bool forward : {true, false}) {
        const std::size_t side = forward ? 0 : 1;
        starting_[side] = stretches(blocks_.size(), span_, shift_,
                                    [&](std::size_t b) { return startOn(blocks_[b], forward); });
        ranked_[side] = stretches(blocks_.size(), span_, shift_,
                                  [&](std::size_t b) { return leftBefore(b, !forward); });
    }
    return true;
}

int64_t Alignment::leftBefore(std::size_t block, bool inNext) const {
    return startOn(blocks_[block], inNext) - static_cast<int64_t>(before_[block]);
}

int64_t Alignment::map(int64_t position, bool forward) const {
    if (position < 0 || position >= span_)
        return position;
    const std::size_t side = forward ? 0 : 1;
    const auto stretch = static_cast<std::size_t>(position >> shift_);
    const auto first = blocks_.begin();
    const auto after = std::upper_bound(
        first + starting_[side][stretch], first + starting_[side][stretch + 1], position,
        [&](int64_t at, const AlignedBlock &b) { return at < startOn(b, forward); });
    const auto index = static_cast<std::size_t>(after - first);
    if (index > 0) {
        const AlignedBlock &inside = blocks_[index - 1];
        const int64_t from = startOn(inside, forward);
        if (position < from + static_cast<int64_t>(inside.length))
            return startOn(inside, !forward) + (position - from);
    }
    // The rank among the positions left over, and the same rank on the
    // other side: the first block whose leftovers before it exceed it.
    const int64_t rank = position - static_cast<int64_t>(before_[index]);
    const auto ranks = static_cast<std::size_t>(rank >> shift_);
    std::size_t low = ranked_[side][ranks], high = ranked_[side][ranks + 1];
    while (low < high) {
        const std::size_t middle = (low + high) / 2;
        if (leftBefore(middle, !forward) <= rank)
            low = middle + 1;
        else
            high = middle;
    }
    return rank + static_cast<int64_t>(before_[low]);
}

std::string Alignment::serialise() const {
    std::string out;
    uint64_t nextEnd = 0, baseEnd = 0;
    for (const AlignedBlock &block : blocks_) {
        put32(out, block.next - nextEnd);
        put32(out, block.base - baseEnd);
        put32(out, block.length);
        nextEnd = block.next + block.length;
        baseEnd = block.base + block.length;
    }
    return out;
}

bool Alignment::parse(const unsigned char *bytes, std::size_t size, uint64_t baseSize,
                      uint64_t nextSize) {
    if (size % 12 != 0 || size / 12 > MaxBlocks)
        return false;
    std::vector<AlignedBlock> blocks(size / 12);
    uint64_t nextEnd = 0, baseEnd = 0;
    for (AlignedBlock &block : blocks) {
        block.next = nextEnd + get32(bytes);
        block.base = baseEnd + get32(bytes + 4);
        block.length = get32(bytes + 8);
        bytes += 12;
        nextEnd = block.next + block.length;
        baseEnd = block.base + block.length;
    }
    return assign(std::move(blocks), baseSize, nextSize);
}

bool encodeSegment(unsigned char *data, std::size_t size, uint64_t position,
                   const Alignment &alignment, X86Code code, const BaseView &base) {
    if (!covers(alignment, position, size, base))
        return false;
    if (code == X86Code::Bits64)
        rebaseWords(data, size, position, alignment, true);
    rebase(data, size, position, alignment, code, true);
    difference(data, size, position, alignment, base, true);
    return true;
}

bool decodeSegment(unsigned char *data, std::size_t size, uint64_t position,
                   const Alignment &alignment, X86Code code, const BaseView &base) {
    if (!covers(alignment, position, size, base))
        return false;
    difference(data, size, position, alignment, base, false);
    rebase(data, size, position, alignment, code, false);
    if (code == X86Code::Bits64)
        rebaseWords(data, size, position, alignment, false);
    return true;
}

void alignedBaseRange(const Alignment &alignment, uint64_t position, uint64_t size, uint64_t &from,
                      uint64_t &to) {
    const auto &blocks = alignment.blocks();
    const uint64_t end = position + size;
    auto block = firstEndingAfter(blocks, position);
    from = to = 0;
    for (bool first = true; block != blocks.end() && block->next < end; ++block, first = false) {
        const uint64_t start = std::max(block->next, position);
        const uint64_t stop = std::min(block->next + block->length, end);
        if (first)
            from = block->base + (start - block->next);
        to = block->base + (stop - block->next);
    }
}

} // namespace zip
