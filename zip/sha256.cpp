#include "sha256.h"

#include <algorithm>
#include <atomic>
#include <cstring>

// x86 processors (most since 2017) have instructions for SHA-256's rounds
// and message schedule; elsewhere the portable code alone runs.
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#define VELMAR_SHA_INSTRUCTIONS 1
#include <immintrin.h>
#if defined(_MSC_VER)
#include <intrin.h>
#define SHA_TARGET
#else
#include <cpuid.h>
#define SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))
#endif
#endif

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

void compressPortable(uint32_t state[8], const unsigned char *block) {
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
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
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
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

#ifdef VELMAR_SHA_INSTRUCTIONS
bool haveShaInstructions() {
    unsigned leaf1[4] = {}, leaf7[4] = {};
#if defined(_MSC_VER)
    int registers[4];
    __cpuid(registers, 0);
    const bool hasLeaf7 = registers[0] >= 7;
    __cpuidex(registers, 1, 0);
    std::memcpy(leaf1, registers, sizeof leaf1);
    __cpuidex(registers, 7, 0);
    std::memcpy(leaf7, registers, sizeof leaf7);
#else
    const bool hasLeaf7 = __get_cpuid_max(0, nullptr) >= 7;
    __cpuid_count(1, 0, leaf1[0], leaf1[1], leaf1[2], leaf1[3]);
    __cpuid_count(7, 0, leaf7[0], leaf7[1], leaf7[2], leaf7[3]);
#endif
    // SSSE3 and SSE4.1 (leaf 1, ECX bits 9 and 19) for the shuffles, SHA
    // (leaf 7, EBX bit 29).
    return hasLeaf7 && (leaf1[2] & (1u << 9)) && (leaf1[2] & (1u << 19)) && (leaf7[1] & (1u << 29));
}

// The state's eight words as the instructions take them: A B E F in one
// register, C D G H in the other (each from its highest lane down).
SHA_TARGET void compressWithShaInstructions(uint32_t state[8], const unsigned char *blocks,
                                            std::size_t count) {
    const __m128i byteOrder = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state));
    const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state + 4));
    const __m128i badc = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(badc, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, badc, 0xF0);
    for (; count > 0; --count, blocks += 64) {
        const __m128i abefBefore = abef, cdghBefore = cdgh;
        // Four words of the message schedule at a time; the last four kept.
        __m128i words[4];
        for (int group = 0; group < 16; ++group) {
            __m128i quad;
            if (group < 4) {
                quad = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i *>(blocks + 16 * group)),
                    byteOrder);
            } else {
                // W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16].
                const __m128i &older = words[group % 4], &old = words[(group + 1) % 4];
                const __m128i &previous = words[(group + 2) % 4], &last = words[(group + 3) % 4];
                quad = _mm_sha256msg2_epu32(_mm_add_epi32(_mm_sha256msg1_epu32(older, old),
                                                          _mm_alignr_epi8(last, previous, 4)),
                                            last);
            }
            words[group % 4] = quad;
            __m128i message = _mm_add_epi32(quad, _mm_loadu_si128(reinterpret_cast<const __m128i *>(
                                                      RoundConstants + 4 * group)));
            // Two rounds a call, each giving the new A B E F: after the
            // first, the old A B E F are the new C D G H.
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
            message = _mm_shuffle_epi32(message, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
        }
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

std::atomic<bool> shaInstructions{haveShaInstructions()};
#endif

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
        compress(block_, 1);
        filled_ = 0;
    }
    const std::size_t whole = size / sizeof block_;
    compress(bytes, whole);
    bytes += whole * sizeof block_;
    size -= whole * sizeof block_;
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
        compress(block_, 1);
        filled_ = 0;
    }
    std::memset(block_ + filled_, 0, 56 - filled_);
    for (int i = 0; i < 8; ++i)
        block_[56 + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    compress(block_, 1);
    Sha256Digest digest;
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = static_cast<unsigned char>(state_[i] >> (24 - 8 * j));
    return digest;
}

void Sha256::compress(const unsigned char *blocks, std::size_t count) {
#ifdef VELMAR_SHA_INSTRUCTIONS
    if (count > 0 && shaInstructions.load(std::memory_order_relaxed)) {
        compressWithShaInstructions(state_, blocks, count);
        return;
    }
#endif
    for (; count > 0; --count, blocks += 64)
        compressPortable(state_, blocks);
}

Sha256Digest sha256(const void *data, std::size_t size) {
    Sha256 hash;
    hash.update(data, size);
    return hash.finish();
}

bool useShaInstructions(bool use) {
#ifdef VELMAR_SHA_INSTRUCTIONS
    const bool available = haveShaInstructions();
    shaInstructions = use && available;
    return use && available;
#else
    (void)use;
    return false;
#endif
}

} // namespace zip
