#include "lib/engine/hashing.hpp"

#include <chrono>
#include <random>

namespace brindle {
namespace detail {
namespace {

// std::random_device may throw when the system has no entropy source; the
// engine lets no such exception escape, so fall back to weaker entropy
// (clock and addresses) rather than fail a call.
std::uint64_t random_word() noexcept {
    try {
        std::random_device rd;
        return (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
    } catch (...) {
        static int anchor;
        const auto t = static_cast<std::uint64_t>(
            std::chrono::high_resolution_clock::now().time_since_epoch().count());
        return mix(t ^ reinterpret_cast<std::uintptr_t>(&anchor), 0x9E3779B97F4A7C15ULL);
    }
}

}  // namespace

const FastKey& fast_key() noexcept {
    static const FastKey key{random_word(), random_word(), random_word()};
    return key;
}

const SipKey& sip_key() noexcept {
    static const SipKey key{random_word(), random_word()};
    return key;
}

}  // namespace detail

}  // namespace brindle
