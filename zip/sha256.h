// SHA-256 (FIPS 180-4), for the base files of delta entries. None of the
// libraries every build links has one: zlib and libdeflate only checksum,
// zstd keeps its hash to itself, and libsodium is only in builds that check
// signatures.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zip {

using Sha256Digest = std::array<unsigned char, 32>;

class Sha256 {
public:
    Sha256();
    void update(const void *data, std::size_t size);
    // The digest of everything given; the object is spent afterwards.
    Sha256Digest finish();

private:
    void compress(const unsigned char *blocks, std::size_t count);

    uint32_t state_[8];
    unsigned char block_[64];
    std::size_t filled_ = 0;
    uint64_t length_ = 0;
};

Sha256Digest sha256(const void *data, std::size_t size);

// Whether the processor's SHA instructions are used where it has them (the
// default), about eight times as fast as the portable code; off, the
// portable code runs everywhere, so that tests can compare the two. True
// when the instructions are there and used.
bool useShaInstructions(bool use);

} // namespace zip
