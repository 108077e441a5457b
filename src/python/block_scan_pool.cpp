// The scan of an object array on the pool.
//
// Code in files named *_pool.cpp runs on the pool's worker threads; a test
// holds them to the C API names that worker_reads.hpp admits.
//
// NOTE: The worker threads read cell objects only through worker_reads.hpp,
// whose rule says why that is safe; any cell it does not read stops the
// attempt. The buffer's address and strides are read on the calling thread.
//
// Each block of rows keeps its own state per column: the first row holding
// text, and the entries of its text cells (shared by object, as the
// column-by-column scan shares them), whose indices the cells hold. The merge
// then replays the column rule in row order: numbers read before a column's
// first text become texts by the shortest positional rule, later numbers take
// their own text, and the blocks' entries are joined into one list per
// column, objects listed by several blocks once. The cells keep their block's
// indices; the coding step maps them into the list (LocalIndices).
#include "python/block_scan.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "lib/engine/engine.hpp"
#include "python/object_entries.hpp"
#include "python/cell_text.hpp"
#include "python/worker_reads.hpp"

namespace brindle {
namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// Rows of a block between two checks whether the job was stopped.
constexpr std::size_t kRowsPerStopPoint = 1024;

// How many rows ahead a column that stopped sharing asks for its objects.
constexpr std::size_t kCellsAhead = 16;

// Fewer rows than this per block would cost more in merging than it gains.
constexpr std::size_t kMinBlockRows = std::size_t{1} << 14;

// A column's text cells within one block. Their cells hold indices into the
// block's own entries: first the objects keyed while sharing (entry j is
// share.entry_of.keys()[j], whose text the merge makes once per column),
// then the entries made after sharing stopped, kept as texts.
struct BlockText {
    TextColumn share{/*positional=*/true};
    PagedVector<std::string_view> strings;  // entries from share.entry_of.size() on
    std::vector<NumberEntry> numbers;       // which of `strings` numbers made, when marking
};

struct Block {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::vector<std::size_t> first_text;  // per column: first row holding text, or kNone
    std::vector<std::unique_ptr<BlockText>> text;  // per column, from its first text on
    std::unique_ptr<LabelStore> made = std::make_unique<LabelStore>();
};

class BlockScan {
public:
    BlockScan(const CellBuffer& cells, ColumnScan& scan, double* matrix)
        : scan_(scan), matrix_(matrix), cols_(scan.cols), row_step_(scan.row_step()), col_step_(scan.col_step()),
          buffer_(cells) {}

    bool run(LabelKeep& keep, Interrupts& interrupts) {
        const std::size_t rows = scan_.rows;
        const std::size_t threads = static_cast<std::size_t>(pool().max_concurrency());
        std::size_t count = 1;
        if (threads > 1) count = std::clamp<std::size_t>(rows / kMinBlockRows, 1, 2 * threads);
        blocks_ = std::vector<Block>(count);
        for (std::size_t b = 0; b != count; ++b) {
            blocks_[b].begin = rows * b / count;
            blocks_[b].end = rows * (b + 1) / count;
            blocks_[b].first_text.assign(cols_, kNone);
            blocks_[b].text.resize(cols_);
        }
        bool done = false;
        interrupts.run(rows * cols_, [&] { done = scan_and_merge(); });
        if (!done || interrupts.noticed()) return false;
        for (Block& block : blocks_) keep.more.push_back(std::move(block.made));
        for (std::unique_ptr<LabelStore>& store : column_made_)
            if (store) keep.more.push_back(std::move(store));
        return true;
    }

private:
    bool scan_and_merge() {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, blocks_.size(), 1), [&](const auto& range) {
            for (std::size_t b = range.begin(); b != range.end(); ++b) scan_block(blocks_[b]);
        });
        if (stopped_.load()) return false;
        stop_point();

        column_made_.resize(cols_);
        std::atomic<bool> failed{false};
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, cols_, 1), [&](const auto& range) {
            for (std::size_t c = range.begin(); c != range.end(); ++c)
                if (!merge_column(c)) failed.store(true);
        });
        stop_point();
        return !failed.load();
    }

    PyObject* object_at(std::size_t row, std::size_t col) const noexcept {
        return object_in_cell(buffer_.at(row, col));
    }
    double* cell(std::size_t row, std::size_t col) const noexcept { return matrix_ + row * row_step_ + col * col_step_; }

    void scan_block(Block& block) {
        for (std::size_t r = block.begin; r != block.end; ++r) {
            if (stopped_.load(std::memory_order_relaxed)) return;
            stop_point_every(r - block.begin + 1, kRowsPerStopPoint);
            for (std::size_t c = 0; c != cols_; ++c) {
                PyObject* item = object_at(r, c);
                if (block.first_text[c] == kNone) {
                    double value;
                    const CellKind kind = pure_number(item, value);
                    if (kind == CellKind::Number) {
                        std::memcpy(cell(r, c), &value, sizeof value);
                        continue;
                    }
                    if (kind == CellKind::NeedsCode) {
                        stopped_.store(true, std::memory_order_relaxed);
                        return;
                    }
                    block.first_text[c] = r;
                    block.text[c] = std::make_unique<BlockText>();
                }
                const std::size_t cells = r - block.first_text[c] + 1;
                if (!text_cell(block, *block.text[c], item, r, c, cells)) {
                    stopped_.store(true, std::memory_order_relaxed);
                    return;
                }
            }
        }
    }

    // The cell at (r, c) holding `item`; `cells`: the column's text cells in
    // the block so far, this one included.
    bool text_cell(Block& block, BlockText& bt, PyObject* item, std::size_t r, std::size_t c,
                   std::size_t cells) const {
        double* const cell = this->cell(r, c);
        TextColumn& t = bt.share;
        if (t.sharing && t.lookup(item)) {
            put_label_index(cell, t.last_entry);
            return true;
        }
        if (t.sharing) {
            // Every kind handled here has a text fixed by the object alone.
            if (!has_pure_text(item)) return false;
            const std::uint64_t entry = t.entry_of.size();
            put_label_index(cell, entry);
            t.add(item, entry, cells);
            // Once sharing stops, every later cell of the block takes an entry.
            if (!t.sharing) bt.strings.reserve(block.end - r - 1);
            return true;
        }
        // Past sharing, every cell's object is read, mostly one met long ago:
        // ask for the one some rows on, so that the misses overlap.
        if (r + kCellsAhead < block.end) prefetch_cell(object_at(r + kCellsAhead, c));
        std::string_view label;
        if (!pure_text(item, *block.made, label)) return false;
        put_label_index(cell, t.entry_of.size() + bt.strings.size());
        double value;
        if (scan_.mark_numbers && pure_number(item, value) == CellKind::Number)
            bt.numbers.push_back({bt.strings.size(), value});
        bt.strings.push_back(label);
        return true;
    }

    // Builds column c's list from the blocks, in row order, and how each
    // block's local indices map into it. Objects keyed in several blocks are
    // listed once. False if a text cannot be made here (it always can for the
    // kinds read).
    bool merge_column(std::size_t c) {
        std::size_t first = 0;
        while (first != blocks_.size() && blocks_[first].first_text[c] == kNone) ++first;
        if (first == blocks_.size()) return true;  // a numeric column
        scan_.is_text[c] = 1;
        scan_.first_text[c] = blocks_[first].first_text[c];
        column_made_[c] = std::make_unique<LabelStore>();
        Merge m{c, blocks_[first].first_text[c], *column_made_[c], scan_.strings[c], {}};
        reserve_list(m);
        std::vector<LocalIndices>& local = scan_.local[c];
        local.reserve(blocks_.size());
        for (Block& block : blocks_) {
            LocalIndices map;
            map.first_row = block.begin;
            std::uint64_t own = 0;  // the block's own entries
            if (!list_block_entries(m, block, map, own) || !list_lead_cells(m, block, own)) return false;
            local.push_back(std::move(map));
        }
        return true;
    }

    // One column's merge under way.
    struct Merge {
        std::size_t c;
        std::size_t switch_row;  // the column's first text cell
        LabelStore& made;
        PagedVector<std::string_view>& list;
        ObjectEntries listed;  // object -> list index
    };

    // The list's length when no object is keyed by two blocks: every block's
    // entries, and every number read before its first text. Reserved when
    // most entries are not keyed, as in a column that stopped sharing, where
    // growing the list would copy it repeatedly; keyed objects are mostly
    // shared between blocks, and a column of them keeps a short list.
    void reserve_list(Merge& m) const {
        std::size_t keyed = 0;
        std::size_t unkeyed = 0;
        for (const Block& block : blocks_) {
            if (block.text[m.c]) {
                keyed += block.text[m.c]->share.entry_of.size();
                unkeyed += block.text[m.c]->strings.size();
            }
            unkeyed += std::min(block.first_text[m.c], block.end) - block.begin;
        }
        if (unkeyed >= keyed) m.list.reserve(keyed + unkeyed);
    }

    // Lists the block's own entries (its keyed objects once per column, then
    // its texts) and maps its local indices to them; `own` is their count.
    bool list_block_entries(Merge& m, Block& block, LocalIndices& map, std::uint64_t& own) {
        if (!block.text[m.c]) {
            map.tail = m.list.size();
            return true;
        }
        BlockText& bt = *block.text[m.c];
        const std::span<const PyObject* const> keyed = bt.share.entry_of.keys();
        own = keyed.size() + bt.strings.size();
        map.head.resize(keyed.size());
        for (std::size_t j = 0; j != keyed.size(); ++j) {
            std::uint64_t index = m.listed.find(keyed[j]);
            if (index == ObjectEntries::kNone) {
                std::string_view label;
                if (!pure_text(const_cast<PyObject*>(keyed[j]), m.made, label)) return false;
                index = m.list.size();
                m.list.push_back(label);
                m.listed.insert(keyed[j], index);
                mark_if_number(m.c, keyed[j], index);
            }
            map.head[j] = index;
        }
        map.tail = m.list.size();
        for (const NumberEntry& n : bt.numbers) scan_.mark_number(m.c, map.tail + n.index, n.value);
        m.list.insert(m.list.end(), bt.strings.begin(), bt.strings.end());
        block.text[m.c].reset();
        return true;
    }

    // Numbers the block read before its own first text in the column take
    // the local indices after its own entries, listed right after the tail.
    bool list_lead_cells(Merge& m, const Block& block, std::uint64_t next) const {
        const std::size_t c = m.c;
        ObjectEntries lead_entry;
        const std::size_t lead_end = std::min(block.first_text[c], block.end);
        for (std::size_t r = block.begin; r != lead_end; ++r) {
            if (r < m.switch_row) {
                // Read before the column turned to text.
                double value;
                std::memcpy(&value, cell(r, c), sizeof value);
                std::string& text = m.made.make();
                number_before_text(value, text);
                scan_.mark_number(c, m.list.size(), value);
                m.list.emplace_back(text);
                put_label_index(cell(r, c), next++);
                continue;
            }
            // After it: the cell's own text, as for any cell of a text column.
            PyObject* item = object_at(r, c);
            std::uint64_t index = lead_entry.find(item);
            if (index == ObjectEntries::kNone) {
                std::string_view label;
                if (!pure_text(item, m.made, label)) return false;
                mark_if_number(c, item, m.list.size());
                m.list.push_back(label);
                index = next++;
                lead_entry.insert(item, index);
            }
            put_label_index(cell(r, c), index);
        }
        return true;
    }

    // Marks list entry `index` of column c when `item` is a number.
    void mark_if_number(std::size_t c, const PyObject* item, std::uint64_t index) const {
        double value;
        if (scan_.mark_numbers && pure_number(const_cast<PyObject*>(item), value) == CellKind::Number)
            scan_.mark_number(c, index, value);
    }

    ColumnScan& scan_;
    double* const matrix_;
    const std::size_t cols_;
    const std::size_t row_step_;
    const std::size_t col_step_;
    const CellBuffer buffer_;
    std::vector<Block> blocks_;
    std::vector<std::unique_ptr<LabelStore>> column_made_;
    std::atomic<bool> stopped_{false};
};

}  // namespace

bool scan_in_blocks(const CellBuffer& cells, ColumnScan& scan, LabelKeep& keep, double* matrix,
                    Interrupts& interrupts) {
    return BlockScan(cells, scan, matrix).run(keep, interrupts);
}

}  // namespace brindle
