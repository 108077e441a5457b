// The borrow flag of an object whose methods may overlap (through Python code
// they run, or another thread): any number of readers, or one writer. A call
// that is not admitted fails at once; it never waits.
#pragma once

#include <atomic>
#include <cstddef>
#include <limits>

namespace brindle {

using BorrowFlag = std::atomic<std::size_t>;  // 0 free, n readers, kWriter one writer

// Gives the flag back on every path out of a method.
class Borrow {
public:
    static constexpr std::size_t kWriter = std::numeric_limits<std::size_t>::max();

    static bool take_writer(BorrowFlag& flag) noexcept {
        std::size_t expected = 0;
        return flag.compare_exchange_strong(expected, kWriter, std::memory_order_acquire, std::memory_order_relaxed);
    }
    static bool take_reader(BorrowFlag& flag) noexcept {
        std::size_t seen = flag.load(std::memory_order_relaxed);
        do {
            if (seen == kWriter || seen == kWriter - 1) return false;
        } while (!flag.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed));
        return true;
    }
    Borrow(BorrowFlag& flag, bool writer) noexcept : flag_(flag), writer_(writer) {}
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    ~Borrow() {
        if (writer_) {
            flag_.store(0, std::memory_order_release);
        } else {
            flag_.fetch_sub(1, std::memory_order_release);
        }
    }

private:
    BorrowFlag& flag_;
    bool writer_;
};

}  // namespace brindle
