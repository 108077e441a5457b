// Hash quality and the flood guard. The fixture is 4,096 labels that all
// share one value of an unkeyed polynomial hash ("Aa" and "BB" collide under
// h = 31h + c, so every concatenation of such blocks does too). They must
// not pile up under the engine's hashes, and must trip the guard under the
// weak one.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "lib/engine/column_coding.hpp"
#include "lib/engine/dedupe.hpp"
#include "lib/engine/hashing.hpp"
#include "lib/engine/partition_dedupe.hpp"
#include "lib/engine/text_entries.hpp"
#include "support.hpp"

namespace brindle::testing {
namespace {

struct PolyHash {
    std::size_t operator()(std::string_view s) const noexcept {
        std::size_t h = 0;
        for (char c : s) h = 31 * h + static_cast<unsigned char>(c);
        return h;
    }
};

std::vector<std::string> colliding_labels(int blocks) {
    std::vector<std::string> out;
    for (unsigned mask = 0; mask != (1u << blocks); ++mask) {
        std::string s;
        for (int b = 0; b != blocks; ++b) s += (mask >> b & 1) ? "BB" : "Aa";
        out.push_back(s);
    }
    return out;
}

std::vector<std::string> random_labels(std::size_t n) {
    std::vector<std::string> out = random_column(Shape::many, 4 * n, 7);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    out.resize(std::min(out.size(), n));
    return out;
}

// The most key comparisons that fail during one lookup in a table holding
// all of `keys`: the table's worst probe sequence.
template <class Hash>
std::size_t worst_lookup(const std::vector<std::string>& keys) {
    std::size_t failed = 0;
    detail::GuardedMap<Hash, int> map(0, Hash{}, detail::CountingEq{&failed});
    for (const std::string& k : keys) map.emplace(k, 0);
    std::size_t worst = 0;
    for (const std::string& k : keys) {
        failed = 0;
        EXPECT_TRUE(map.contains(k));
        worst = std::max(worst, failed);
    }
    return worst;
}

const std::vector<std::string>& fixture() {
    static const std::vector<std::string> keys = colliding_labels(12);
    return keys;
}

TEST(Flooding, FixtureFloodsTheUnkeyedHash) {
    ASSERT_EQ(std::set<std::size_t>({PolyHash{}(fixture()[0]), PolyHash{}(fixture()[4095])}).size(), 1u);
    EXPECT_GT(worst_lookup<PolyHash>(fixture()), 1000u);
}

TEST(Flooding, EngineHashesStaySpread) {
    const std::vector<std::string> control = random_labels(fixture().size());
    // Random keys see about one failed comparison at worst; allow a margin.
    EXPECT_LE(worst_lookup<LabelHash>(fixture()), 8u);
    EXPECT_LE(worst_lookup<LabelHash>(control), 8u);
    EXPECT_LE(worst_lookup<detail::FastHash>(fixture()), 8u);
    EXPECT_LE(worst_lookup<detail::FastHash>(control), 8u);

    std::vector<std::string> column = fixture();
    column.insert(column.end(), fixture().begin(), fixture().end());
    const std::optional<detail::Dedupe> d = detail::dedupe<detail::FastHash>(views(column));
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->distinct.size(), fixture().size());
    EXPECT_LT(d->failed_comparisons, column.size() / 8);
}

TEST(Flooding, GuardGivesUpAndSortingCodesTheSame) {
    detail::DedupeEnd end = detail::DedupeEnd::done;
    EXPECT_FALSE(detail::dedupe<PolyHash>(views(fixture()), PolyHash{}, SIZE_MAX, 1.0, &end).has_value());
    EXPECT_EQ(end, detail::DedupeEnd::flooded);
    EXPECT_FALSE(detail::dedupe_one_map<PolyHash>(views(fixture()), PolyHash{}, detail::kChunkRows, 1.0).has_value());
    // The partitioned road's tables, keyed by a short label's words.
    struct OneWordHash {
        std::uint64_t operator()(std::uint64_t, std::uint64_t, std::size_t) const noexcept { return 42; }
    };
    const std::vector<std::string> short_labels = random_labels(4096);
    EXPECT_FALSE(detail::dedupe_partitioned(views(short_labels), OneWordHash{}).has_value());
    EXPECT_TRUE(detail::dedupe_partitioned(views(short_labels)).has_value());
    const Reference want = reference_encode(fixture());
    const LabelCodes got = detail::label_encode_here(views(fixture()), detail::Road::sorted);
    EXPECT_EQ(all_bits(got.codes), want.code_bits);
    EXPECT_EQ(ordered(got.book), want.book);
}

// A reader's text entries: the weak hash floods them by the engine's bound,
// the engine's hash does not, and a text keeps the entry it was first given.
// Released, they count into their own counter still (through a map made
// anew, not one left without a counter).
TEST(Flooding, TextEntriesSayWhenFlooded) {
    const auto fill = [](auto& entries) {
        for (std::size_t i = 0; i != fixture().size() && !entries.flooded(); ++i) entries.try_emplace(fixture()[i], i);
    };
    BasicTextEntries<PolyHash> weak;
    fill(weak);
    EXPECT_TRUE(weak.flooded());
    EXPECT_LT(weak.lookups(), fixture().size() / 8);
    weak.release();
    EXPECT_EQ(weak.size(), 0u);
    const std::size_t before = weak.lookups();
    fill(weak);
    EXPECT_EQ(weak.lookups(), before);  // still flooded: nothing more is tried
    BasicTextEntries<PolyHash> again;
    again.release();
    fill(again);
    EXPECT_TRUE(again.flooded());

    // Short texts are held as their words, under a hash of their own.
    struct OneWordHash {
        std::uint64_t operator()(std::uint64_t, std::uint64_t, std::size_t) const noexcept { return 42; }
    };
    BasicTextEntries<detail::FastHash, OneWordHash> weak_short;
    const std::vector<std::string> short_labels = random_labels(4096);
    for (std::size_t i = 0; i != short_labels.size() && !weak_short.flooded(); ++i)
        weak_short.try_emplace(short_labels[i], i);
    EXPECT_TRUE(weak_short.flooded());

    TextEntries entries;
    fill(entries);
    for (std::size_t i = 0; i != fixture().size(); ++i)
        EXPECT_EQ(entries.try_emplace(fixture()[i], 99999), std::make_pair(std::uint64_t{i}, false));
    EXPECT_FALSE(entries.flooded());
    EXPECT_EQ(entries.size(), fixture().size());
    EXPECT_EQ(entries.lookups(), 2 * fixture().size());
}

// Published SipHash-2-4 vectors (key 00..0f, message 00..len-1) check the
// rounds the books' SipHash-1-3 shares.
TEST(Hashing, SipHashVectors) {
    detail::SipKey key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
    std::string bytes;
    for (char b = 0; b != 15; ++b) bytes.push_back(b);
    const std::pair<std::size_t, std::uint64_t> vectors[] = {
        {0, 0x726fdb47dd0e0e31ULL}, {1, 0x74f839c593dc67fdULL}, {15, 0xa129ca6149be45e5ULL}};
    for (const auto& [len, want] : vectors)
        EXPECT_EQ((detail::siphash<2, 4>(std::string_view(bytes.data(), len), key)), want) << len;
}

TEST(Hashing, LengthAndEveryByteCount) {
    // Zero-filled labels differ only in length; single-byte edits anywhere in
    // a long label must change the hash too.
    std::set<std::uint64_t> seen;
    for (std::size_t n = 0; n <= 40; ++n) seen.insert(detail::fast_hash(std::string(n, '\0'), detail::fast_key()));
    EXPECT_EQ(seen.size(), 41u);
    const std::string base(37, 'q');
    seen.clear();
    for (std::size_t i = 0; i != base.size(); ++i) {
        std::string edited = base;
        edited[i] = 'r';
        seen.insert(detail::fast_hash(edited, detail::fast_key()));
    }
    EXPECT_EQ(seen.size(), base.size());
}

}  // namespace
}  // namespace brindle::testing
