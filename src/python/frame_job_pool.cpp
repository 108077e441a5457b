// The pool job of the frame driver: each column handed to its reader.
//
// Code in files named *_pool.cpp runs on the pool's worker threads; a test
// holds them to the C API names that worker_reads.hpp admits (here: none).
#include "python/frame_job.hpp"

#include <algorithm>
#include <atomic>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "python/arrow_text_reader.hpp"
#include "python/block_scan.hpp"
#include "python/number_reader.hpp"
#include "python/utf8.hpp"

namespace brindle {

bool read_columns(const FramePlan& plan, BoundColumns& bound, ColumnScan& scan, double* base,
                  Interrupts& interrupts) {
    const std::size_t rows = plan.shape.rows;
    const std::size_t cols = plan.columns.size();
    std::atomic<bool> needs_values{false};
    // The object columns' scans run inside this job, where only the pool's
    // threads are: none of them may poll for a Ctrl-C.
    Interrupts unwatched(/*watching=*/false);
    interrupts.run(rows * cols, [&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, cols, 1), [&](const auto& range) {
            for (std::size_t c = range.begin(); c != range.end(); ++c) {
                const FrameColumn& col = plan.columns[c];
                double* out = base + c * rows;
                switch (col.reader) {
                    case ColumnReader::Numbers:
                        read_number_column(bound.buffers[c], bound.sources[c]->numeric(), rows, out);
                        break;
                    case ColumnReader::Objects:
                        if (needs_values.load(std::memory_order_relaxed)) break;
                        if (!scan_in_blocks(bound.buffers[c], *bound.object_scans[c], *bound.keeps[c], out, unwatched))
                            needs_values.store(true, std::memory_order_relaxed);
                        break;
                    case ColumnReader::ArrowText:
                        scan.plain[c] =
                            read_arrow_column(col.arrow, scan.is_text[c], scan.first_text[c], scan.strings[c], out);
                        // Each distinct text once: `values` fails on a text that
                        // is not UTF-8, and no such byte may reach the books.
                        if (!std::all_of(scan.strings[c].begin(), scan.strings[c].end(), is_valid_utf8))
                            needs_values.store(true, std::memory_order_relaxed);
                        break;
                    case ColumnReader::Categorical:
                        if (!col.categorical->read(out)) needs_values.store(true, std::memory_order_relaxed);
                        break;
                    case ColumnReader::Converted:  // made Objects by prepare_columns
                        break;
                }
            }
        });
    });
    return !needs_values.load();
}

}  // namespace brindle
