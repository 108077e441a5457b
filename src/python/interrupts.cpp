#include "python/interrupts.hpp"

#include <csignal>

namespace brindle {

Interrupts::~Interrupts() {
    if (noticed_) PyErr_SetInterruptEx(SIGINT);
}

bool Interrupts::noticed() {
    if (watching_ && !noticed_ && PyOS_InterruptOccurred()) noticed_ = true;
    return noticed_;
}

Status Interrupts::deliver() {
    noticed_ = false;
    watching_ = false;
    // Ignored when SIGINT has no Python-level handler any more.
    PyErr_SetInterruptEx(SIGINT);
    BRINDLE_FAIL_IF(PyErr_CheckSignals() != 0);
    return Status::success();
}

}  // namespace brindle
