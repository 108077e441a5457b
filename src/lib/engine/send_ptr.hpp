// The handle through which pool tasks write the shared result matrix.
#pragma once

#include <memory>

namespace brindle {

// A non-owning handle to the base of the shared row-major result matrix.
// Pool tasks write disjoint cells through it; the matrix is owned elsewhere
// and outlives every task. Destroying the handle never frees the matrix.
class SendPtr {
public:
    explicit SendPtr(double* base) noexcept : base_(base) {}
    double* get() const noexcept { return base_; }

private:
    double* base_;
};
using SendPtrHolder = std::shared_ptr<const SendPtr>;

}  // namespace brindle
