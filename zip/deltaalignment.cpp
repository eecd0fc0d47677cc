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

bool isRexW(unsigned char byte) {
    return (byte & 0xF8) == 0x48;
}

// 8B mov, 8D lea, 89 mov to memory, 3B and 39 cmp, 63 movsxd, 03 add.
bool takesRipOperand(unsigned char opcode) {
    return opcode == 0x8B || opcode == 0x8D || opcode == 0x89 || opcode == 0x3B || opcode == 0x39 ||
           opcode == 0x63 || opcode == 0x03;
}

bool ripRelative(unsigned char modrm) {
    return (modrm & 0xC7) == 0x05;
}

// Where the displacement of an operand starting at data[i] lies (i + 1 to
// i + 3), or 0 when no operand starts there. Only bytes before the
// displacement are looked at, and never one that a displacement found
// further on could take: an operand found at i is skipped whole, whatever
// its top byte, so every decision sees the same bytes both ways.
std::size_t displacementAt(const unsigned char *data, std::size_t i, std::size_t size,
                           X86Code code) {
    const unsigned char op = data[i];
    if (op == 0xE8 || op == 0xE9)
        return i + 1;
    if (i + 2 >= size)
        return 0;
    if (op == 0x0F && (data[i + 1] & 0xF0) == 0x80)
        return i + 2;
    if (code != X86Code::Bits64)
        return 0;
    if (op == 0xFF && (data[i + 1] == 0x15 || data[i + 1] == 0x25))
        return i + 2;
    if ((op == 0x8B || op == 0x8D || op == 0x89) && ripRelative(data[i + 1]))
        return i + 2;
    if (isRexW(op) && takesRipOperand(data[i + 1]) && i + 3 < size && ripRelative(data[i + 2]))
        return i + 3;
    return 0;
}

// Every displacement of data[0, size) (the new file from position), taken
// from where it jumps in the new file to where it would in the old one
// (encode), or back.
void rebase(unsigned char *data, std::size_t size, uint64_t position, const Alignment &alignment,
            X86Code code, bool encode) {
    if (alignment.span() > HalfRing)
        return;
    for (std::size_t i = 0; i + 5 <= size;) {
        const std::size_t at = displacementAt(data, i, size, code);
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
    return true;
}

int64_t Alignment::map(int64_t position, bool forward) const {
    if (position < 0 || position >= span_)
        return position;
    const auto from = [&](const AlignedBlock &b) {
        return static_cast<int64_t>(forward ? b.next : b.base);
    };
    const auto to = [&](const AlignedBlock &b) {
        return static_cast<int64_t>(forward ? b.base : b.next);
    };
    const auto after =
        std::upper_bound(blocks_.begin(), blocks_.end(), position,
                         [&](int64_t at, const AlignedBlock &b) { return at < from(b); });
    const auto index = static_cast<std::size_t>(after - blocks_.begin());
    if (index > 0) {
        const AlignedBlock &inside = blocks_[index - 1];
        if (position < from(inside) + static_cast<int64_t>(inside.length))
            return to(inside) + (position - from(inside));
    }
    // The rank among the positions left over, and the same rank on the
    // other side: the first block whose leftovers before it exceed it.
    const int64_t rank = position - static_cast<int64_t>(before_[index]);
    std::size_t low = 0, high = blocks_.size();
    while (low < high) {
        const std::size_t middle = (low + high) / 2;
        if (to(blocks_[middle]) - static_cast<int64_t>(before_[middle]) <= rank)
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
