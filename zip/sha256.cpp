#include "sha256.h"

#include <algorithm>
#include <cstring>

namespace zip {

namespace {

// The first 32 bits of the fractional parts of the cube roots of the first
// 64 primes.
constexpr uint32_t RoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t rotateRight(uint32_t value, unsigned bits) {
    return (value >> bits) | (value << (32 - bits));
}

} // namespace

Sha256::Sha256()
    // The first 32 bits of the fractional parts of the square roots of the
    // first 8 primes.
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void Sha256::update(const void *data, std::size_t size) {
    auto bytes = static_cast<const unsigned char *>(data);
    length_ += size;
    if (filled_ > 0) {
        const std::size_t take = std::min(size, sizeof block_ - filled_);
        std::memcpy(block_ + filled_, bytes, take);
        filled_ += take;
        bytes += take;
        size -= take;
        if (filled_ < sizeof block_)
            return;
        compress(block_);
        filled_ = 0;
    }
    for (; size >= sizeof block_; bytes += sizeof block_, size -= sizeof block_)
        compress(bytes);
    std::memcpy(block_, bytes, size);
    filled_ = size;
}

Sha256Digest Sha256::finish() {
    // A one bit, zeros up to 56 bytes into a block, then the length in bits,
    // big-endian.
    const uint64_t bits = length_ * 8;
    block_[filled_++] = 0x80;
    if (filled_ > 56) {
        std::memset(block_ + filled_, 0, sizeof block_ - filled_);
        compress(block_);
        filled_ = 0;
    }
    std::memset(block_ + filled_, 0, 56 - filled_);
    for (int i = 0; i < 8; ++i)
        block_[56 + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    compress(block_);
    Sha256Digest digest;
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = static_cast<unsigned char>(state_[i] >> (24 - 8 * j));
    return digest;
}

void Sha256::compress(const unsigned char *block) {
    uint32_t w[64];
    for (int t = 0; t < 16; ++t)
        w[t] = static_cast<uint32_t>(block[4 * t]) << 24 |
               static_cast<uint32_t>(block[4 * t + 1]) << 16 |
               static_cast<uint32_t>(block[4 * t + 2]) << 8 | block[4 * t + 3];
    for (int t = 16; t < 64; ++t) {
        const uint32_t s0 =
            rotateRight(w[t - 15], 7) ^ rotateRight(w[t - 15], 18) ^ (w[t - 15] >> 3);
        const uint32_t s1 =
            rotateRight(w[t - 2], 17) ^ rotateRight(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
    for (int t = 0; t < 64; ++t) {
        const uint32_t sum1 = rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25);
        const uint32_t choice = (e & f) ^ (~e & g);
        const uint32_t t1 = h + sum1 + choice + RoundConstants[t] + w[t];
        const uint32_t sum0 = rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22);
        const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        const uint32_t t2 = sum0 + majority;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
    state_[4] += e;
    state_[5] += f;
    state_[6] += g;
    state_[7] += h;
}

Sha256Digest sha256(const void *data, std::size_t size) {
    Sha256 hash;
    hash.update(data, size);
    return hash.finish();
}

} // namespace zip
