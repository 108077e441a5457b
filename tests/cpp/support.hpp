// Test support: a sort-everything reference coder written independently of
// the engine, random column generators, and helpers to run work in a local
// arena of a chosen size.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/task_arena.h>

#include "lib/engine/codebook.hpp"
#include "lib/engine/column_coding.hpp"
#include "lib/engine/engine.hpp"

namespace brindle::testing {

using Book = std::map<std::string, std::optional<Code>>;

// The coding roads, each named for test names.
inline constexpr detail::Road kRoads[] = {detail::Road::hashed, detail::Road::sorted, detail::Road::sorted_wide,
                                          detail::Road::one_map, detail::Road::partitioned};
inline std::string road_name(detail::Road road) {
    switch (road) {
        case detail::Road::hashed: return "hashed";
        case detail::Road::sorted: return "sorted";
        case detail::Road::sorted_wide: return "sorted_wide";
        case detail::Road::one_map: return "one_map";
        case detail::Road::partitioned: return "partitioned";
    }
    return "unknown";
}

inline std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }
inline constexpr std::uint64_t kMissingBits = 0x7FF8000000000000ULL;

inline bool byte_less(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
}

// Sort every label, drop repeats, number the non-markers in order.
struct Reference {
    std::vector<std::uint64_t> code_bits;
    Book book;
};

inline Reference reference_encode(const std::vector<std::string>& labels) {
    std::vector<std::string> sorted = labels;
    std::sort(sorted.begin(), sorted.end(), byte_less);
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    Reference ref;
    Code next = 0;
    for (const std::string& s : sorted) {
        const bool marker = s == "nan" || s == "NaN" || s == "<NA>";
        ref.book[s] = marker ? std::nullopt : std::optional<Code>(next++);
    }
    for (const std::string& s : labels) {
        const std::optional<Code> code = ref.book.at(s);
        ref.code_bits.push_back(code ? bits(static_cast<double>(*code)) : kMissingBits);
    }
    return ref;
}

inline Book ordered(const LabelToCode& book) {
    Book out;
    book.for_each([&](std::string_view label, std::optional<Code> code) { out.emplace(label, code); });
    return out;
}
inline std::map<Code, std::string> ordered(const CodeToLabel& book) {
    std::map<Code, std::string> out;
    for (Code code = 0; code != book.size(); ++code) out.emplace(code, book.at(code));
    return out;
}

inline std::vector<std::uint64_t> all_bits(const std::vector<double>& v) {
    std::vector<std::uint64_t> out;
    for (double d : v) out.push_back(bits(d));
    return out;
}

inline std::vector<std::string_view> views(const std::vector<std::string>& labels) {
    return std::vector<std::string_view>(labels.begin(), labels.end());
}

// Runs f in a fresh arena of `threads` threads (up to 8, oversubscribing the
// machine if need be).
template <class F>
void in_arena(int threads, F&& f) {
    static tbb::global_control allow(tbb::global_control::max_allowed_parallelism, 8);
    tbb::task_arena arena(threads);
    arena.execute(std::forward<F>(f));
}

// Random columns of a few shapes that stress different parts of the coder.
enum class Shape { few, some, many, markers_only, nul_bytes, non_ascii, shared_prefix, short_labels };

inline std::string random_label(Shape shape, std::mt19937_64& rng) {
    const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    switch (shape) {
        case Shape::few: {
            static const char* const pool[] = {"", "a", "b", "B", "nan", "NaN", "<NA>", "10", "9", "NAN"};
            return pool[pick(10)];
        }
        // Repeated within every chunk of rows, so the hashing road merges
        // chunks of thousands of labels.
        case Shape::some: return "label-" + std::to_string(pick(20000));
        // Nearly distinct within a chunk: the hashing road sorts instead.
        case Shape::many: return "label-" + std::to_string(pick(100000));
        case Shape::markers_only: {
            static const char* const pool[] = {"nan", "NaN", "<NA>"};
            return pool[pick(3)];
        }
        case Shape::nul_bytes: {
            std::string s(pick(4), '\0');
            for (char& c : s) c = "a\0b"[pick(3)];
            return s;
        }
        case Shape::non_ascii: {
            static const char* const pool[] = {"z", "é", "e\xCC\x81", "\xF0\x9F\x98\x80", "\xFF", "\x7F", "\x80", "ß"};
            return std::string(pool[pick(8)]) + pool[pick(8)];
        }
        case Shape::shared_prefix: return std::string(40, 'p') + std::to_string(pick(300));
        case Shape::short_labels: {
            std::string s(pick(3), '\0');
            for (char& c : s) c = static_cast<char>(pick(256));
            return s;
        }
    }
    return {};
}

inline std::vector<std::string> random_column(Shape shape, std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::string> labels;
    labels.reserve(n);
    for (std::size_t i = 0; i != n; ++i) labels.push_back(random_label(shape, rng));
    return labels;
}

}  // namespace brindle::testing
