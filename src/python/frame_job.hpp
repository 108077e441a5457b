// The frame driver's pool job, which reads every column at once.
#pragma once

#include <memory>
#include <vector>

#include "lib/engine/engine.hpp"
#include "python/cell_source.hpp"
#include "python/frame_plan.hpp"
#include "python/interrupts.hpp"
#include "python/label_store.hpp"

namespace brindle {

// What the pool job reads of the NumPy-backed columns, per column.
struct BoundColumns {
    std::vector<std::unique_ptr<CellSource>> sources;
    std::vector<CellBuffer> buffers;
    std::vector<std::unique_ptr<ColumnScan>> object_scans;
    std::vector<std::unique_ptr<LabelKeep>> keeps;
};

// Runs the pool job: every column read by its reader into its column of the
// column-major matrix at `base`, the Arrow columns' lists into `scan`, the
// object columns' into their own scans. False when a column must be read
// through `values`. A Ctrl-C may cut it short (interrupts.noticed()).
bool read_columns(const FramePlan& plan, BoundColumns& bound, ColumnScan& scan, double* base,
                  Interrupts& interrupts);

}  // namespace brindle
