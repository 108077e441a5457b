// Hash functions behind the engine's maps, all keyed per process from the
// system's random source.
//
// Two strengths, chosen per use:
// - fast_hash: a seeded multiply-mix hash, inlined into the per-row
//   de-duplication, where it runs once per cell. It is not a pseudo-random
//   function, so crafted labels might still collide for every seed; the row
//   maps therefore count failed key comparisons and give up on a flooded
//   column (see dedupe.hpp).
// - siphash<1, 3>: SipHash-1-3, a keyed pseudo-random function. It hashes the
//   code books, which outlive the call and have no fallback, so they must
//   stay fast on any label set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace brindle::detail {

struct FastKey {
    std::uint64_t s0, s1, s2;
};
struct SipKey {
    std::uint64_t k0, k1;
};

// Drawn once per process from std::random_device on first use.
const FastKey& fast_key() noexcept;
const SipKey& sip_key() noexcept;

inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
    const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

inline std::uint64_t load64(const char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline std::uint64_t load32(const char* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Labels of at most this many bytes are covered by two words (see
// short_words), so the words and the length determine the label.
inline constexpr std::size_t kShortLabelBytes = 16;

// The two words covering a label of at most kShortLabelBytes: overlapping
// loads rather than padding, so together with the length they determine the
// label's bytes (below 4 bytes: the first, middle and last byte).
inline void short_words(const char* p, std::size_t n, std::uint64_t& a, std::uint64_t& b) noexcept {
    a = 0;
    b = 0;
    if (n >= 8) {
        a = load64(p);
        b = load64(p + n - 8);
    } else if (n >= 4) {
        a = load32(p);
        b = load32(p + n - 4);
    } else if (n > 0) {
        const auto byte = [p](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])); };
        a = (byte(0) << 16) | (byte(n >> 1) << 8) | byte(n - 1);
    }
}

// fast_hash of the short label whose words are (a, b) and length n.
inline std::uint64_t fast_hash_short(std::uint64_t a, std::uint64_t b, std::size_t n, const FastKey& key) noexcept {
    const std::uint64_t state = key.s0 ^ (n * 0x9E3779B97F4A7C15ULL);
    return mix(mix(a ^ key.s1, b ^ state) ^ key.s2, n ^ key.s1);
}

// NOTE: short labels (the common case) cost two 128-bit multiplies.
inline std::uint64_t fast_hash(std::string_view s, const FastKey& key) noexcept {
    const char* p = s.data();
    const std::size_t n = s.size();
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    if (n <= kShortLabelBytes) {
        short_words(p, n, a, b);
        return fast_hash_short(a, b, n, key);
    }
    std::uint64_t state = key.s0 ^ (n * 0x9E3779B97F4A7C15ULL);
    std::size_t left = n;
    while (left > 16) {
        state = mix(load64(p) ^ key.s1, load64(p + 8) ^ state);
        p += 16;
        left -= 16;
    }
    a = load64(p + left - 16);
    b = load64(p + left - 8);
    return mix(mix(a ^ key.s1, b ^ state) ^ key.s2, n ^ key.s1);
}

inline std::uint64_t rotl(std::uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

// SipHash-c-d over the label's bytes; the code books use c = 1, d = 3.
template <int C, int D>
std::uint64_t siphash(std::string_view s, const SipKey& key) noexcept {
    std::uint64_t v0 = key.k0 ^ 0x736f6d6570736575ULL;
    std::uint64_t v1 = key.k1 ^ 0x646f72616e646f6dULL;
    std::uint64_t v2 = key.k0 ^ 0x6c7967656e657261ULL;
    std::uint64_t v3 = key.k1 ^ 0x7465646279746573ULL;
    const auto round = [&] {
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    };
    const auto absorb = [&](std::uint64_t m) {
        v3 ^= m;
        for (int i = 0; i < C; ++i) round();
        v0 ^= m;
    };
    const char* p = s.data();
    const std::size_t n = s.size();
    const std::size_t whole = n & ~std::size_t{7};
    for (std::size_t i = 0; i < whole; i += 8) absorb(load64(p + i));
    std::uint64_t last = static_cast<std::uint64_t>(n) << 56;
    for (std::size_t i = whole; i < n; ++i)
        last |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * (i - whole));
    absorb(last);
    v2 ^= 0xff;
    for (int i = 0; i < D; ++i) round();
    return v0 ^ v1 ^ v2 ^ v3;
}

struct FastHash {
    std::size_t operator()(std::string_view s) const noexcept { return fast_hash(s, fast_key()); }
};

}  // namespace brindle::detail
