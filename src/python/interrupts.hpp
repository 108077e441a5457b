// Ctrl-C during a long call.
//
// NOTE: while pool workers read cells, labels or buffers of the input, the
// calling thread holds the interpreter lock and no Python code may run, and
// a Python-level signal handler is arbitrary code. So a pending Ctrl-C is
// only noticed here (PyOS_InterruptOccurred runs no Python code; it takes the
// SIGINT from the interpreter's pending signals), the pool's outstanding
// work is cancelled, and the caller drops the whole attempt: its matrix,
// its scan and every reference and view it took. Only then does deliver()
// hand the signal back to the interpreter and run its handler. A handler
// that raises (the default one raises KeyboardInterrupt) ends the call with
// nothing changed; one that returns lets the caller start over, with
// noticing turned off, so a stream of signals cannot keep a call from
// finishing: their handlers run when it returns.
#pragma once

#include <cstddef>

#include "lib/engine/engine.hpp"
#include "python/pyref.hpp"

namespace brindle {

class Interrupts {
public:
    Interrupts() = default;
    // For work nested in a pool job, where the calling thread cannot poll:
    // nothing is watched.
    explicit Interrupts(bool watching) noexcept : watching_(watching) {}
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;
    // A Ctrl-C noticed and never delivered is made pending again, for the
    // interpreter to handle after the call.
    ~Interrupts();

    // Whether a Ctrl-C has been noticed during this attempt. Runs no Python
    // code; call it on the calling thread only.
    bool noticed();

    // Whether a pool job over `cells` cells is to be watched for a Ctrl-C.
    bool watching(std::size_t cells) const noexcept { return watching_ && cells >= kCellsWorthWatching; }

    // Every `kCellsPerCheck` cells of a loop on the calling thread: noticed().
    bool noticed_every(std::size_t& cells) {
        if (++cells < kCellsPerCheck) return false;
        cells = 0;
        return noticed();
    }

    // Runs f on the pool, cut short by a Ctrl-C when the job covers enough
    // cells to be worth watching (see noticed()). f must not read what a loop
    // cut short was to write (see pool_job_stopped()).
    template <class F>
    void run(std::size_t cells, F&& f) {
        if (!watching(cells)) {
            run_in_pool(std::forward<F>(f));
            return;
        }
        run_in_pool_until(f, [this] { return noticed(); });
    }

    // Call once nothing of the stopped attempt is left: runs the SIGINT
    // handler and returns what it raised; if it raised nothing, the caller
    // starts over and no further Ctrl-C is noticed in this call.
    Status deliver();

private:
    // Some tens of milliseconds of work: below it a Ctrl-C is handled when
    // the call returns, soon enough, and the plain road keeps what handing
    // the job to the workers and waking the caller costs (a tenth of a
    // millisecond or more per job, measured on calls of 80,000 cells).
    static constexpr std::size_t kCellsWorthWatching = std::size_t{1} << 20;
    static constexpr std::size_t kCellsPerCheck = 1024;

    bool watching_ = true;
    bool noticed_ = false;
};

}  // namespace brindle
